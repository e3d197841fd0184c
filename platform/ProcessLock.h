// SPDX-License-Identifier: GPL-3.0-or-later
// An advisory lock that runs of this program take on a lock file while they
// change what they share, so that two of them never interleave their
// steps. It is an flock on the file: the system ends it when its holder
// ends, however it ends, so a killed run never leaves the lock behind.
#pragma once

#include <chrono>
#include <string>

namespace kvo {

class TProcessLock {
 public:
  // Takes the lock on Path (the file is created when missing), waiting up
  // to Wait while another process holds it. A lock on a path this process
  // already holds is granted at once and kept until the outermost one
  // ends, so a command may run others that take it too. A lock file that
  // cannot be opened at all (a read-only folder) holds nothing back.
  TProcessLock(const std::string& Path, std::chrono::milliseconds Wait);
  ~TProcessLock();
  TProcessLock(const TProcessLock&) = delete;
  TProcessLock& operator=(const TProcessLock&) = delete;
  // Whether the caller may go on: false when another process kept the lock
  // for the whole wait.
  bool Held() const { return Held_; }
  // Whether no other process can hold it meanwhile: false when the lock
  // file could not be opened or locked, and the caller goes on unguarded.
  bool Exclusive() const;

 private:
  std::string Path_;
  bool Held_ = false;
};

}  // namespace kvo
