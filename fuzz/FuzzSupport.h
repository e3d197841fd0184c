// Shared by the fuzz targets: a private scratch folder per process, and the
// checks every target makes after each input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/Basic.h"
#include "base/Errors.h"

namespace kvo::fuzz {

// A folder of this process's own, with a trailing "/".
inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvo-fuzz-XXXXXX";
    if (!::mkdtemp(t.data())) std::abort();
    return t + "/";
  }();
  return dir;
}

// Writes the input to a file in the scratch folder and returns its path.
inline std::string WriteInput(const std::string& Name, const uint8_t* Data, size_t Size) {
  std::string path = ScratchDir() + Name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (Size) std::fwrite(Data, 1, Size, f);
  std::fclose(f);
  return path;
}

// Every input must leave the tracked tables as it found them.
inline void CheckTables(int Mem, int Files) {
  if (MemCount() != Mem || FCount() != Files || MonDepth() != 0) std::abort();
}

}  // namespace kvo::fuzz
