// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/HostFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/FaultInject.h"

namespace kvo {
namespace {

// Scratch files that earlier versions wrote beside a logo: its name, this
// mark and the process number.
constexpr const char* SCRATCH_MARK = ".kvo-new-";
// ReplaceBegin's temporary files: the target's name, this mark and six
// characters of mkostemp.
constexpr std::string_view REPLACE_MARK = ".kvo-tmp-";
constexpr size_t TEMP_SUFFIX = 6;
// A temporary file not written to for this long belongs to nobody.
constexpr time_t ABANDONED_AFTER_SECONDS = 60;

bool IsReplaceTemp(const std::string& Name) {
  size_t mark = Name.rfind(REPLACE_MARK);
  return mark != std::string::npos && mark > 0 && Name.size() == mark + REPLACE_MARK.size() + TEMP_SUFFIX;
}

// Name without the temporary-file suffix it was being written under.
std::string WithoutReplaceMark(std::string Name) {
  if (IsReplaceTemp(Name)) Name.erase(Name.rfind(REPLACE_MARK));
  return Name;
}

// Whether Name is a scratch file of a process that is no longer running,
// or the temporary file it was being written under.
bool ScratchOfGoneProcess(const std::string& Name) {
  const std::string n = WithoutReplaceMark(Name);
  size_t mark = n.rfind(SCRATCH_MARK);
  return mark != std::string::npos && ProcessGone(n.substr(mark + std::strlen(SCRATCH_MARK)));
}

// Host copies of files on a disk image are made in the temporary folder,
// named for their use and the process number, then six characters of
// mkstemp: "kvo-drive-1234-Ab12Cd".
constexpr std::string_view HOST_TEMP_KINDS[] = {"kvo-drive-", "kvo-local-"};

// Whether Name is such a copy made by a process that is no longer running,
// or a file it was being rewritten under.
bool HostTempOfGoneProcess(const std::string& Name) {
  const std::string n = WithoutReplaceMark(Name);
  for (std::string_view kind : HOST_TEMP_KINDS) {
    if (n.compare(0, kind.size(), kind) != 0) continue;
    size_t dash = n.find('-', kind.size());
    return dash != std::string::npos && n.size() == dash + 1 + TEMP_SUFFIX &&
           ProcessGone(n.substr(kind.size(), dash - kind.size()));
  }
  return false;
}

// Removes the regular files of Folder (ending in "/") whose name Named
// takes and that Doomed then picks by their status; never follows a link.
// Only the files named are looked at: a store holds thousands.
template <typename TName, typename TPick>
void RemoveFilesIf(const std::string& Folder, TName Named, TPick Doomed) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(Folder.c_str()), ::closedir);
  if (!dir) return;
  while (dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name, path = Folder + name;
    struct stat st {};
    if (Named(name) && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && Doomed(name, st))
      ::unlink(path.c_str());
  }
}

// Makes Folder when it is missing; empty when it is then a real folder of
// this user that nobody else may enter (made so when it was not), else
// what keeps it from being one, naming it.
std::string PrivateFolderProblem(const std::string& Folder) {
  if (::mkdir(Folder.c_str(), 0700) != 0 && errno != EEXIST)
    return Folder + " cannot be made: " + std::strerror(errno);
  struct stat st {};
  if (::lstat(Folder.c_str(), &st) != 0) return Folder + " cannot be examined: " + std::strerror(errno);
  if (S_ISLNK(st.st_mode)) return Folder + " is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return Folder + " is not a folder";
  if (st.st_uid != ::getuid())
    return Folder + " belongs to another user (user " + std::to_string(st.st_uid) + ")";
  if ((st.st_mode & 077) != 0 && ::chmod(Folder.c_str(), 0700) != 0)
    return Folder + " cannot be closed to other users: " + std::strerror(errno);
  return std::string();
}

// The usual private folder in the temporary folder, "kvopanoramics-UID".
// When another user or a link holds that name, a run makes a folder of its
// own beside it under a name nobody can foresee: this name, "-", the
// process number, "-" and six characters of mkdtemp.
std::string UsualTempRunFolder() {
  return HostTempFolder() + "/kvopanoramics-" + std::to_string(::getuid());
}

int RemoveTreeEntry(const char* Path, const struct stat*, int Kind, struct FTW*) {
  if (Kind == FTW_DP)
    ::rmdir(Path);
  else if (Kind == FTW_F || Kind == FTW_SL || Kind == FTW_SLN)
    ::unlink(Path);
  return 0;
}

// Removes Folder, a folder of this user, with what is in it: never through
// a link, never into another file system (an export still mounted there
// keeps it for the sweep that takes such mounts down).
void RemoveRunFolderTree(std::string Folder) {
  // Without a trailing "/", which would lead through a link.
  while (Folder.size() > 1 && Folder.back() == '/') Folder.pop_back();
  struct stat st {};
  if (::lstat(Folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return;
  ::nftw(Folder.c_str(), RemoveTreeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

// The folder this process made for itself that way, kept for the rest of
// the run so that every part of it finds its files in one place; removed
// when the process ends (or, when it was killed, by the sweep of the next
// run). A child made by fork leaves it to its maker.
struct TMadeRunFolder {
  std::string Path;
  pid_t Maker = 0;
  ~TMadeRunFolder() {
    if (!Path.empty() && Maker == ::getpid()) RemoveRunFolderTree(Path);
  }
};

TMadeRunFolder& MadeRunFolder() {
  static TMadeRunFolder made;
  return made;
}

// Whether Name, in the temporary folder, is a folder made in place of the
// usual one by a process that is no longer running.
bool RunFolderOfGoneProcess(const std::string& Name) {
  const std::string usual = "kvopanoramics-" + std::to_string(::getuid()) + "-";
  if (Name.compare(0, usual.size(), usual) != 0) return false;
  const size_t dash = Name.find('-', usual.size());
  return dash != std::string::npos && Name.size() == dash + 1 + TEMP_SUFFIX &&
         ProcessGone(Name.substr(usual.size(), dash - usual.size()));
}

}  // namespace

bool ProcessGone(const std::string& Digits) {
  if (Digits.empty() || Digits.size() > 9 ||
      Digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  pid_t pid = static_cast<pid_t>(std::stol(Digits));
  return pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;
}

bool WriteAllFd(int Fd, std::string_view Bytes) {
  while (!Bytes.empty()) {
    ssize_t n = FaultInjected(TFaultOp::Write) ? -1 : ::write(Fd, Bytes.data(), Bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    Bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool HostReadFile(const std::string& Path, std::string& Bytes, uint64_t MaxBytes, bool NoFollow) {
  Bytes.clear();
  // Non-blocking, so that a FIFO or a device put where a file belongs is
  // refused at once instead of waited on.
  int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (NoFollow ? O_NOFOLLOW : 0));
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<uint64_t>(st.st_size) <= MaxBytes;
  char buf[65536];
  while (ok) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    Bytes.append(buf, static_cast<size_t>(n));
    // A file that grows while it is read is held to the same limit.
    ok = Bytes.size() <= MaxBytes;
  }
  const bool tooLarge = !ok && (Bytes.size() > MaxBytes || static_cast<uint64_t>(st.st_size) > MaxBytes);
  ::close(fd);
  if (!ok) Bytes.clear();
  if (tooLarge) errno = EFBIG;
  return ok;
}

std::string HostTempFolder() {
  std::error_code ec;
  std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  if (ec) temp = "/tmp";
  std::filesystem::path abs = std::filesystem::absolute(temp, ec);
  std::string folder = (ec ? std::filesystem::path("/tmp") : abs.lexically_normal()).string();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

int MakeHostTemp(std::string_view Kind, std::string& Name) {
  Name = HostTempFolder() + "/" + std::string(Kind) + std::to_string(::getpid()) + "-XXXXXX";
  return ::mkostemp(Name.data(), O_CLOEXEC);
}

void RemoveHostTempLeftovers() {
  // Only this user's own files: the folder is shared with everyone.
  RemoveFilesIf(HostTempFolder() + "/", HostTempOfGoneProcess,
                [](const std::string&, const struct stat& St) { return St.st_uid == ::getuid(); });
  for (const std::string& folder : LeftRunFolders()) RemoveRunFolderTree(folder);
}

void RemoveHostLeftovers(const std::string& Folder, bool Idle) {
  const time_t now = std::time(nullptr);
  auto named = [](const std::string& Name) {
    return IsReplaceTemp(Name) || Name.find(SCRATCH_MARK) != std::string::npos;
  };
  RemoveFilesIf(Folder, named, [&](const std::string& Name, const struct stat& St) {
    return ScratchOfGoneProcess(Name) ||
           (IsReplaceTemp(Name) && (Idle || now - St.st_mtime > ABANDONED_AFTER_SECONDS));
  });
}

std::string PrivateRunFolder(std::string& Why) {
  Why.clear();
  // Looked at anew each time: a long run outlives what cleans the
  // temporary folder, and the folder is made again where it was.
  TMadeRunFolder& made = MadeRunFolder();
  if (!made.Path.empty()) {
    if (PrivateFolderProblem(made.Path).empty()) return made.Path + "/";
    made.Path.clear();
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') {
    std::string mine = std::string(runtime) + "/KvoPanoramics";
    if (PrivateFolderProblem(mine).empty()) return mine + "/";
  }
  const std::string usual = UsualTempRunFolder();
  const std::string problem = PrivateFolderProblem(usual);
  if (problem.empty()) return usual + "/";
  // Another user or a link took the usual name first: a folder under a
  // name nobody can take before us (mkdtemp makes it, mode 0700).
  std::string fresh = usual + "-" + std::to_string(::getpid()) + "-XXXXXX";
  if (::mkdtemp(fresh.data())) {
    made.Path = fresh;
    made.Maker = ::getpid();
    return fresh + "/";
  }
  const std::string why = std::strerror(errno);
  Why = problem + ", and no other private folder can be made in " + HostTempFolder() + ": " + why + ".";
  return std::string();
}

std::string PrivateRunFolder() {
  std::string ignored;
  return PrivateRunFolder(ignored);
}

std::vector<std::string> LeftRunFolders() {
  std::vector<std::string> left;
  const std::string temp = HostTempFolder() + "/";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(temp.c_str()), ::closedir);
  if (!dir) return left;
  while (dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    struct stat st {};
    if (RunFolderOfGoneProcess(name) && ::lstat((temp + name).c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode) && st.st_uid == ::getuid())
      left.push_back(temp + name + "/");
  }
  return left;
}

}  // namespace kvo
