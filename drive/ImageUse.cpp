// SPDX-License-Identifier: GPL-3.0-or-later
// The writer is looked for in what the kernel says of each descriptor
// (/proc/PID/fdinfo: its open flags, its mount, its inode number), never by
// stat or open through /proc/PID/fd: those enter the file system of every
// file of every process, and one file on a network or FUSE mount that has
// stopped answering would hang the check for ever. The device of a
// descriptor comes from its mount, in the mount table of its namespace.
#include "drive/ImageUse.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <unordered_map>

#include "platform/HostFiles.h"

namespace kvo {
namespace {

constexpr const char* CLOSE_FIRST = "; close the virtual machine first.";

// What /proc may hand back, bounded: an fdinfo is a few lines (an epoll or
// inotify descriptor adds one a watch), a mount table one line a mount.
constexpr uint64_t FDINFO_MAX = 65536, MOUNTINFO_MAX = 8 << 20, STAT_MAX = 4096, COMM_MAX = 256;

using TDirPtr = std::unique_ptr<DIR, int (*)(DIR*)>;
using TMounts = std::unordered_map<unsigned long long, dev_t>;

bool AllDigits(const char* S) {
  if (!*S) return false;
  for (; *S; ++S)
    if (*S < '0' || *S > '9') return false;
  return true;
}

// The text of the symbolic link Path itself, never followed; empty when
// it cannot be read or does not fit.
std::string LinkText(const std::string& Path) {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink(Path.c_str(), buf, sizeof buf);
  return n > 0 && static_cast<size_t>(n) < sizeof buf ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The number after Name ("flags:") at the start of a line of Text, in
// Base; nothing when the line is missing or holds no number that fits.
std::optional<unsigned long long> FieldNumber(const std::string& Text, const std::string& Name, int Base) {
  const size_t at = Text.starts_with(Name) ? 0 : Text.find("\n" + Name);
  if (at == std::string::npos) return std::nullopt;
  const char* digits = Text.c_str() + at + (at ? 1 : 0) + Name.size();
  char* past = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(digits, &past, Base);
  if (past == digits || errno != 0) return std::nullopt;
  return value;
}

// A descriptor as its fdinfo shows it. Kernels before fdinfo gained
// "ino:" leave Ino empty.
struct TFdInfo {
  unsigned long long Flags = 0, MntId = 0;
  std::optional<unsigned long long> Ino;
};

bool ReadFdInfo(const std::string& Path, TFdInfo& Info) {
  std::string text;
  if (!HostReadFile(Path, text, FDINFO_MAX)) return false;
  const auto flags = FieldNumber(text, "flags:", 8), mount = FieldNumber(text, "mnt_id:", 10);
  if (!flags || !mount) return false;
  Info = {*flags, *mount, FieldNumber(text, "ino:", 10)};
  return true;
}

bool Writable(unsigned long long Flags) {
  return (Flags & O_ACCMODE) == O_WRONLY || (Flags & O_ACCMODE) == O_RDWR;
}

// Mount id -> device from a mount table, whose lines ("36 35 98:0 /mnt1
// /mnt2 rw ...") begin with the mount's id, its parent's and its device.
TMounts ReadMounts(const std::string& Path) {
  TMounts mounts;
  std::string text;
  if (!HostReadFile(Path, text, MOUNTINFO_MAX)) return mounts;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    unsigned long long id = 0, parent = 0;
    unsigned major = 0, minor = 0;
    if (std::sscanf(line.c_str(), "%llu %llu %u:%u", &id, &parent, &major, &minor) == 4)
      mounts.emplace(id, makedev(major, minor));
  }
  return mounts;
}

// The image as the scan looks for it, and the mount tables of other
// namespaces it meets on the way, read once each.
struct TScan {
  pid_t Self = 0;
  struct stat Image {};
  std::optional<unsigned long long> MntId;  // the image's own mount
  dev_t MountDev = 0;                       // that mount's device in the table
  std::string Link;                         // our /proc/self/fd name for it
  std::string Namespace;                    // our mount namespace
  TMounts Ours;
  std::map<std::string, TMounts> Others;    // by namespace, or by process
};

bool StartScan(int Fd, TScan& S) {
  if (::fstat(Fd, &S.Image) != 0) return false;
  S.Self = ::getpid();
  const std::string fd = std::to_string(Fd);
  if (TFdInfo own; ReadFdInfo("/proc/self/fdinfo/" + fd, own)) S.MntId = own.MntId;
  S.Ours = ReadMounts("/proc/self/mountinfo");
  const auto mount = S.MntId ? S.Ours.find(*S.MntId) : S.Ours.end();
  S.MountDev = mount != S.Ours.end() ? mount->second : S.Image.st_dev;
  S.Link = LinkText("/proc/self/fd/" + fd);
  S.Namespace = LinkText("/proc/self/ns/mnt");
  return true;
}

// The device of mount MntId as process Pid sees it. Mount ids are unique
// across namespaces, so one missing from our table belongs to another
// namespace (or to no file system a table lists: a pipe, a socket).
std::optional<dev_t> MountDevice(TScan& S, const std::string& Pid, unsigned long long MntId) {
  if (const auto mount = S.Ours.find(MntId); mount != S.Ours.end()) return mount->second;
  std::string ns = LinkText("/proc/" + Pid + "/ns/mnt");
  if (!ns.empty() && ns == S.Namespace) return std::nullopt;
  if (ns.empty()) ns = "process " + Pid;
  auto [table, fresh] = S.Others.try_emplace(ns);
  if (fresh) table->second = ReadMounts("/proc/" + Pid + "/mountinfo");
  if (const auto mount = table->second.find(MntId); mount != table->second.end()) return mount->second;
  return std::nullopt;
}

// Whether a descriptor of process Pid is the image: the same inode number
// on the same device, through the image's own mount or any other mount of
// its device (a bind mount, the copy of a mount in another namespace).
// The device is taken both as fstat gives it and as the mount table does,
// as the two differ on btrfs; a writer is never missed for it, at worst a
// file of another btrfs subvolume with the same inode number is taken for
// the image. Without our own mount table the inode number alone decides.
bool SameInode(TScan& S, const std::string& Pid, const TFdInfo& Info) {
  if (*Info.Ino != static_cast<unsigned long long>(S.Image.st_ino)) return false;
  if ((S.MntId && Info.MntId == *S.MntId) || S.Ours.empty()) return true;
  const std::optional<dev_t> dev = MountDevice(S, Pid, Info.MntId);
  return dev && (*dev == S.Image.st_dev || *dev == S.MountDev);
}

// Without an inode number in fdinfo, the name the kernel keeps for the
// descriptor tells instead: reading the link (not following it) enters
// no file system. It misses the image reached through another mount.
bool SameName(const TScan& S, const std::string& Pid, const char* Fd) {
  return !S.Link.empty() && LinkText("/proc/" + Pid + "/fd/" + Fd) == S.Link;
}

// Whether process Pid holds the image open for writing.
bool HoldsForWriting(TScan& S, const std::string& Pid) {
  const std::string infos = "/proc/" + Pid + "/fdinfo/";
  TDirPtr dir(::opendir(infos.c_str()), ::closedir);
  if (!dir) return false;  // another user's process, or one that just ended
  while (const dirent* f = ::readdir(dir.get())) {
    TFdInfo info;
    if (!AllDigits(f->d_name) || !ReadFdInfo(infos + f->d_name, info) || !Writable(info.Flags)) continue;
    if (info.Ino ? SameInode(S, Pid, info) : SameName(S, Pid, f->d_name)) return true;
  }
  return false;
}

// The parent of process Pid, from /proc/PID/stat; 0 when unknown.
pid_t ParentOf(const std::string& Pid) {
  std::string stat;
  if (!HostReadFile("/proc/" + Pid + "/stat", stat, STAT_MAX)) return 0;
  // The name in parentheses may hold anything, spaces too: the fields
  // follow its last parenthesis.
  size_t close = stat.rfind(')');
  int ppid = 0;
  char state = 0;
  if (close == std::string::npos || std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) return 0;
  return static_cast<pid_t>(ppid);
}

// A process other than this one and its children that holds the image
// open for writing: "86Box (process 4121)".
std::string Writer(TScan& S) {
  TDirPtr procs(::opendir("/proc"), ::closedir);
  if (!procs) return {};
  while (const dirent* p = ::readdir(procs.get())) {
    if (!AllDigits(p->d_name) || std::atol(p->d_name) == S.Self) continue;
    const std::string pid = p->d_name;
    if (!HoldsForWriting(S, pid) || ParentOf(pid) == S.Self) continue;  // not it, or our own helper
    std::string name;
    HostReadFile("/proc/" + pid + "/comm", name, COMM_MAX);
    while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) name.pop_back();
    return (name.empty() ? std::string("another program") : name) + " (process " + pid + ")";
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
  TScan scan;
  if (!StartScan(Fd, scan)) return {};
  const std::string writer = Writer(scan);
  return writer.empty() ? std::string() : "The disk image is in use by " + writer + CLOSE_FIRST;
}

}  // namespace kvo
