// SPDX-License-Identifier: GPL-3.0-or-later
#include "drive/ImageUse.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/HostFiles.h"

namespace kvo {
namespace {

constexpr const char* CLOSE_FIRST = "; close the virtual machine first.";

bool AllDigits(const char* S) {
  if (!*S) return false;
  for (; *S; ++S)
    if (*S < '0' || *S > '9') return false;
  return true;
}

// The parent of process Pid, from /proc/PID/stat; 0 when unknown.
pid_t ParentOf(const std::string& Pid) {
  std::string stat;
  if (!HostReadFile("/proc/" + Pid + "/stat", stat, 4096)) return 0;
  // The name in parentheses may hold anything, spaces too: the fields
  // follow its last parenthesis.
  size_t close = stat.rfind(')');
  int ppid = 0;
  char state = 0;
  if (close == std::string::npos || std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) return 0;
  return static_cast<pid_t>(ppid);
}

// Whether descriptor Fd of process Pid is open for writing, from the flags
// its fdinfo shows.
bool OpenForWriting(const std::string& Pid, const std::string& Fd) {
  std::string info;
  if (!HostReadFile("/proc/" + Pid + "/fdinfo/" + Fd, info, 65536)) return false;
  size_t at = info.find("flags:");
  if (at == std::string::npos) return false;
  const unsigned long flags = std::strtoul(info.c_str() + at + 6, nullptr, 8);
  return (flags & O_ACCMODE) == O_WRONLY || (flags & O_ACCMODE) == O_RDWR;
}

// A process other than this one and its children that holds the file
// Image (device and inode) open for writing: "86Box (process 4121)".
std::string Writer(const struct stat& Image) {
  std::unique_ptr<DIR, int (*)(DIR*)> procs(::opendir("/proc"), ::closedir);
  if (!procs) return {};
  const pid_t self = ::getpid();
  while (dirent* p = ::readdir(procs.get())) {
    if (!AllDigits(p->d_name)) continue;
    const std::string pid = p->d_name, fds = "/proc/" + pid + "/fd/";
    if (std::atol(p->d_name) == self) continue;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(fds.c_str()), ::closedir);
    if (!dir) continue;  // another user's process, or one that just ended
    while (dirent* f = ::readdir(dir.get())) {
      struct stat st {};
      if (!AllDigits(f->d_name) || ::stat((fds + f->d_name).c_str(), &st) != 0) continue;
      if (st.st_dev != Image.st_dev || st.st_ino != Image.st_ino || !OpenForWriting(pid, f->d_name))
        continue;
      if (ParentOf(pid) == self) break;  // our own helper
      std::string name;
      HostReadFile("/proc/" + pid + "/comm", name, 256);
      while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) name.pop_back();
      return (name.empty() ? std::string("another program") : name) + " (process " + pid + ")";
    }
  }
  return {};
}

}  // namespace

std::string ImageInUse(const std::string& Path, int Fd) {
  struct stat lockInfo {};
  // Bochs leaves IMAGE.lock beside an image it runs; VMware a folder
  // IMAGE.lck.
  if (::lstat((Path + ".lock").c_str(), &lockInfo) == 0)
    return "The disk image is in use by Bochs (" + Path + ".lock is there)" + CLOSE_FIRST;
  if (::lstat((Path + ".lck").c_str(), &lockInfo) == 0 && S_ISDIR(lockInfo.st_mode))
    return "The disk image is in use by VMware (" + Path + ".lck is there)" + CLOSE_FIRST;
  struct stat image {};
  if (::fstat(Fd, &image) != 0) return {};
  const std::string writer = Writer(image);
  return writer.empty() ? std::string() : "The disk image is in use by " + writer + CLOSE_FIRST;
}

}  // namespace kvo
