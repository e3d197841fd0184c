// SPDX-License-Identifier: GPL-3.0-or-later
// The resident size of this process, for the whole-process benchmarks that
// watch their own memory as they go.
#pragma once

#include <cstdio>

inline long ResidentKiB() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  long pages = 0, resident = 0;
  if (f) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * 4;
}
