// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's Trash (freedesktop.org convention): see Trash.h.
#include "platform/Trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "platform/FaultInject.h"
#include "platform/Folders.h"

namespace kvo {
namespace {

std::string ParentOf(const std::string& Path) {
  const size_t slash = Path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : Path.substr(0, slash);
}

std::string BaseOf(const std::string& Path) {
  const size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

// Path with its folder resolved (links, "..", a relative start), the file
// itself as named: what Path= records and what putting back restores.
bool ResolvedPath(const std::string& Path, std::string& Resolved) {
  char buf[PATH_MAX];
  if (!::realpath(ParentOf(Path).c_str(), buf)) return false;
  const std::string dir = buf;
  Resolved = (dir == "/" ? "" : dir) + "/" + BaseOf(Path);
  return true;
}

// The file system an existing path, or its nearest existing folder, is on.
dev_t DeviceOf(std::string Path) {
  struct stat st {};
  while (::stat(Path.c_str(), &st) != 0 && Path != "/" && Path != ".") Path = ParentOf(Path);
  return st.st_dev;
}

// The top folder of the file system Folder (resolved) is on.
std::string TopFolderOf(const std::string& Folder) {
  std::string top = Folder;
  const dev_t dev = DeviceOf(Folder);
  while (top != "/") {
    std::string up = ParentOf(top);
    struct stat st {};
    if (::stat(up.c_str(), &st) != 0 || st.st_dev != dev) break;
    top = up;
  }
  return top;
}

// A folder only its owner may enter, as a trash and its parts must be.
bool MakePrivateFolder(const std::string& Folder) {
  if (FolderExists(Folder)) return true;
  if (FaultInjected(TFaultOp::MakeFolder)) return false;
  return ::mkdir(Folder.c_str(), 0700) == 0 || (errno == EEXIST && FolderExists(Folder));
}

// The trash a file in Folder goes to, and the folder its Path= is relative
// to (empty: Path= is absolute).
void ChooseTrash(const std::string& Folder, std::string& Trash, std::string& Top) {
  Top.clear();
  Trash = HomeTrashDir();
  if (DeviceOf(Folder) == DeviceOf(Trash)) return;
  Top = TopFolderOf(Folder);
  const std::string base = Top == "/" ? "" : Top;
  const std::string uid = std::to_string(::getuid());
  // An administrator's shared $topdir/.Trash serves only when it is a real
  // folder with the sticky bit, so no user can take another's files out.
  struct stat st {};
  const std::string shared = base + "/.Trash";
  if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
    Trash = shared + "/" + uid;
    if (MakePrivateFolder(Trash)) return;
  }
  Trash = base + "/.Trash-" + uid;
}

// Bytes outside the unreserved set and "/" as %XX, as URIs write them.
std::string PercentEncoded(const std::string& Path) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : Path) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
    if (keep) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// The local time, as DeletionDate= records it.
std::string NowText() {
  const std::time_t now = std::time(nullptr);
  std::tm t {};
  ::localtime_r(&now, &t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &t);
  return buf;
}

// The n-th candidate name for Name in the trash: Name, then NAME.2.EXT ...
std::string Candidate(const std::string& Name, int N) {
  if (N == 1) return Name;
  const size_t dot = Name.find_last_of('.');
  const bool ext = dot != std::string::npos && dot > 0;
  return (ext ? Name.substr(0, dot) : Name) + "." + std::to_string(N) + (ext ? Name.substr(dot) : "");
}

bool WriteAll(int Fd, const std::string& Text) {
  size_t done = 0;
  while (done < Text.size()) {
    const ssize_t n =
        FaultInjected(TFaultOp::Write) ? -1 : ::write(Fd, Text.data() + done, Text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void RemoveKeepingErrno(const std::string& Path) {
  const int saved = errno;
  if (!FaultInjected(TFaultOp::Delete)) ::unlink(Path.c_str());
  errno = saved;
}

// Claims a free name in Trash by creating its information file (O_EXCL, so
// two deletions at once cannot take the same name) and fills it in.
bool WriteInfo(const std::string& Trash, const std::string& Name, const std::string& PathText,
               TTrashed& Trashed) {
  for (int n = 1; n < 100000; ++n) {
    const std::string name = Candidate(Name, n);
    struct stat st {};
    if (::lstat((Trash + "/files/" + name).c_str(), &st) == 0) continue;
    const std::string info = Trash + "/info/" + name + ".trashinfo";
    const int fd = FaultInjected(TFaultOp::Open)
                       ? -1
                       : ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return false;
    const bool written =
        WriteAll(fd, "[Trash Info]\nPath=" + PathText + "\nDeletionDate=" + NowText() + "\n");
    const int writeErrno = errno;
    const bool closed = ::close(fd) == 0 && !FaultInjected(TFaultOp::Close);
    if (!written || !closed) {
      if (!written) errno = writeErrno;
      RemoveKeepingErrno(info);
      return false;
    }
    Trashed.InTrash = Trash + "/files/" + name;
    Trashed.Info = info;
    return true;
  }
  errno = EEXIST;
  return false;
}

}  // namespace

std::string HomeTrashDir() { return XdgDataHome() + "/Trash"; }

bool MoveToTrash(const std::string& Path, TTrashed& Trashed) {
  Trashed = TTrashed{};
  std::string resolved;
  if (!ResolvedPath(Path, resolved)) return false;
  struct stat st {};
  if (::lstat(resolved.c_str(), &st) != 0) return false;
  std::string trash, top;
  ChooseTrash(ParentOf(resolved), trash, top);
  if (top.empty() && !EnsureFolder(XdgDataHome())) return false;
  if (!MakePrivateFolder(trash) || !MakePrivateFolder(trash + "/files") ||
      !MakePrivateFolder(trash + "/info"))
    return false;
  // In a file system's own trash the path is kept relative to its top, so
  // the trash stays right wherever the file system is mounted next.
  const std::string recorded =
      top.empty() ? resolved : resolved.substr(top == "/" ? 1 : top.size() + 1);
  if (!WriteInfo(trash, BaseOf(resolved), PercentEncoded(recorded), Trashed)) return false;
  if (FaultInjected(TFaultOp::Rename) || ::rename(resolved.c_str(), Trashed.InTrash.c_str()) != 0) {
    RemoveKeepingErrno(Trashed.Info);
    Trashed = TTrashed{};
    return false;
  }
  Trashed.Original = resolved;
  return true;
}

bool PutBackFromTrash(const TTrashed& Trashed) {
  struct stat st {};
  if (::lstat(Trashed.Original.c_str(), &st) == 0) {
    errno = EEXIST;  // never over a file made since
    return false;
  }
  if (FaultInjected(TFaultOp::Rename) ||
      ::rename(Trashed.InTrash.c_str(), Trashed.Original.c_str()) != 0)
    return false;
  RemoveKeepingErrno(Trashed.Info);
  return true;
}

}  // namespace kvo
