// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ProcessLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <thread>

namespace kvo {
namespace {

constexpr std::chrono::milliseconds POLL_STEP{50};

// The locks this process holds, by path: the open file that carries the
// flock (-1 when the file could not be opened), whether the flock was taken
// (false when the file or its file system cannot be locked) and how many
// holders share it.
struct THeld_ {
  int Fd = -1;
  bool Exclusive = false;
  int Depth = 0;
};

std::map<std::string, THeld_>& HeldLocks_() {
  static std::map<std::string, THeld_> held;
  return held;
}

int OpenLockFile_(const std::string& Path) {
  // Never through a link: one left at the lock's name would have the
  // file created wherever it points.
  int fd = ::open(Path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  // flock needs no write access: a lock file another user made will do.
  if (fd < 0 && errno != ELOOP) fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  return fd;
}

enum class TTake_ { Taken, Busy, Unlockable };

// Busy only when another process kept the lock for the whole wait; a file
// system that cannot lock holds nothing back. Polls rather than blocks, so
// the wait has an end.
TTake_ TakeWithin_(int Fd, std::chrono::milliseconds Wait) {
  auto until = std::chrono::steady_clock::now() + Wait;
  while (::flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return TTake_::Unlockable;
    if (std::chrono::steady_clock::now() >= until) return TTake_::Busy;
    std::this_thread::sleep_for(POLL_STEP);
  }
  return TTake_::Taken;
}

}  // namespace

TProcessLock::TProcessLock(const std::string& Path, std::chrono::milliseconds Wait) : Path_(Path) {
  auto& held = HeldLocks_();
  if (auto it = held.find(Path_); it != held.end()) {
    ++it->second.Depth;
    Held_ = true;
    return;
  }
  int fd = OpenLockFile_(Path_);
  const TTake_ take = fd >= 0 ? TakeWithin_(fd, Wait) : TTake_::Unlockable;
  if (take == TTake_::Busy) {
    ::close(fd);
    return;
  }
  held[Path_] = THeld_{fd, take == TTake_::Taken, 1};
  Held_ = true;
}

bool TProcessLock::Exclusive() const {
  if (!Held_) return false;
  auto it = HeldLocks_().find(Path_);
  return it != HeldLocks_().end() && it->second.Exclusive;
}

TProcessLock::~TProcessLock() {
  if (!Held_) return;
  auto& held = HeldLocks_();
  auto it = held.find(Path_);
  if (it == held.end() || --it->second.Depth > 0) return;
  if (it->second.Fd >= 0) ::close(it->second.Fd);  // ends the lock
  held.erase(it);
}

}  // namespace kvo
