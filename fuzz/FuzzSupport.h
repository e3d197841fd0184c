// SPDX-License-Identifier: GPL-3.0-or-later
// What every fuzz target shares: the invariant check, a scratch folder of
// the process's own, writing the input where the readers read files, and
// the tracked tables' check after each input.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/Basic.h"
#include "base/Errors.h"

namespace kvo::fuzz {

inline void Check(bool Ok, const char* What) {
  if (Ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", What);
  std::abort();
}

// A folder of this process's own, with a trailing "/", removed at exit.
inline const std::string& ScratchDir() {
  // Kept on the heap for the whole run: the removal at exit needs the name
  // after static objects are gone.
  static const std::string& dir = *new std::string([] {
    const char* tmp = std::getenv("TMPDIR");
    std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvo-fuzz-XXXXXX";
    Check(::mkdtemp(t.data()) != nullptr, "a scratch folder can be made");
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(ScratchDir(), ec);
    });
    return t + "/";
  }());
  return dir;
}

// The one input file of the process.
inline std::string InputPath(const char* Ext) { return ScratchDir() + "input" + Ext; }

// Overwrites the input file in place and cuts it to size: a file emptied
// and rewritten is flushed to disk on close, which slows every run.
inline bool WriteInput(const std::string& Path, const uint8_t* Data, size_t Size) {
  const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = (Size == 0 || ::pwrite(fd, Data, Size, 0) == static_cast<ssize_t>(Size)) &&
                  ::ftruncate(fd, static_cast<off_t>(Size)) == 0;
  ::close(fd);
  return ok;
}

// Every input must leave the tracked tables as it found them.
inline void CheckTables(int Mem, int Files) {
  Check(MemCount() == Mem, "every block is released");
  Check(FCount() == Files, "every file is closed");
  Check(MonDepth() == 0, "every monitor frame is popped");
}

}  // namespace kvo::fuzz
