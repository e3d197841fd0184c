#include "platform/Drive.h"

#include <dirent.h>
#include <strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/DriveFolder.h"
#include "platform/FaultInject.h"
#include "platform/Folders.h"
#include "platform/ProfileFile.h"

namespace kvo {
namespace {

bool IsGuestRoot(std::string_view Text) {
  return Text.size() >= 3 && (Text[0] == 'C' || Text[0] == 'c') && Text[1] == ':' && Text[2] == '\\';
}

// Root followed by the "\\"-separated Guest path, each part looked up as
// FAT would, so a name typed in another letter case still finds its file
// on a folder drive.
std::string PathBelow_(TDrive& Drive, const std::string& Root, const std::string& Guest) {
  std::string path = Root;
  size_t from = 0;
  while (from <= Guest.size()) {
    size_t sep = Guest.find('\\', from);
    std::string part = Guest.substr(from, sep == std::string::npos ? std::string::npos : sep - from);
    if (sep == std::string::npos) return part.empty() ? path : Drive.FindNoCase(path, part);
    if (!part.empty()) path = Drive.FindNoCase(path, part) + "/";
    from = sep + 1;
  }
  return path;
}

bool HostReadFile(const std::string& Path, std::string& Bytes) {
  int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char buf[65536];
  Bytes.clear();
  while (ok) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    Bytes.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

constexpr const char* SCRATCH_MARK = ".kvo-new-";
// ReplaceBegin's temporary files: the target's name, this mark and six
// characters of mkostemp.
constexpr std::string_view REPLACE_MARK = ".kvo-tmp-";
// A temporary file not written to for this long belongs to nobody.
constexpr time_t ABANDONED_AFTER_SECONDS = 60;

std::string HostScratchBeside(const std::string& Path) {
  // Beside the target, so that putting it in place is a rename within one
  // file system; the process number keeps two programs apart.
  return Path + SCRATCH_MARK + std::to_string(::getpid());
}

bool IsReplaceTemp(const std::string& Name) {
  size_t mark = Name.rfind(REPLACE_MARK);
  return mark != std::string::npos && mark > 0 && Name.size() == mark + REPLACE_MARK.size() + 6;
}

// Whether Digits is the number of a process that is no longer running.
bool ProcessGone(const std::string& Digits) {
  if (Digits.empty() || Digits.size() > 9 ||
      Digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  pid_t pid = static_cast<pid_t>(std::stol(Digits));
  return pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Whether Name is a scratch file of a process that is no longer running,
// or the temporary file it was being written under.
bool ScratchOfGoneProcess(std::string Name) {
  if (IsReplaceTemp(Name)) Name.erase(Name.rfind(REPLACE_MARK));
  size_t mark = Name.rfind(SCRATCH_MARK);
  return mark != std::string::npos && ProcessGone(Name.substr(mark + std::strlen(SCRATCH_MARK)));
}

// Host copies of files on a disk image are made in the temporary folder,
// named for their use and the process number, then six characters of
// mkstemp: "kvo-drive-1234-Ab12Cd".
constexpr std::string_view HOST_TEMP_KINDS[] = {"kvo-drive-", "kvo-local-"};

// Whether Name is such a copy made by a process that is no longer running.
bool HostTempOfGoneProcess(const std::string& Name) {
  for (std::string_view kind : HOST_TEMP_KINDS) {
    if (Name.compare(0, kind.size(), kind) != 0) continue;
    size_t dash = Name.find('-', kind.size());
    return dash != std::string::npos && Name.size() == dash + 7 &&
           ProcessGone(Name.substr(kind.size(), dash - kind.size()));
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

}  // namespace

// ---- the folder drive ------------------------------------------------------

TFolderDrive::TFolderDrive(const std::string& WinFolder, const std::string& StorageFolder)
    : WinFolder_(WinFolder), StorageFolder_(StorageFolder) {}

std::string TFolderDrive::Root() const {
  // The drive is the folder that holds the Windows folder; "/" is its own
  // parent, as "C:\" is its own drive.
  if (WinFolder_.empty()) return {};
  std::string w = WinFolder_;
  w.pop_back();
  size_t slash = w.rfind('/');
  return slash == std::string::npos ? std::string() : w.substr(0, slash + 1);
}

std::string TFolderDrive::WinFolder() const { return WinFolder_; }

std::string TFolderDrive::Identity() const { return Root(); }

TDriveInfo TFolderDrive::Describe() {
  TDriveInfo info;
  info.Kind = "folder";
  info.Path = Root();
  info.WinFolder = WinFolder_;
  info.WinFolderFound = kvo::FolderExists(WinFolder_);
  if (WinFolder_.empty()) info.Error = "The Windows folder is not known.";
  return info;
}

bool TFolderDrive::FileExists(const std::string& Path) { return kvo::FileExists(Path); }

bool TFolderDrive::FolderExists(const std::string& Path) { return kvo::FolderExists(Path); }

std::string TFolderDrive::FindNoCase(const std::string& Folder, const std::string& Name) {
  return FindFileNoCase(Folder, Name);
}

std::vector<std::string> TFolderDrive::List(const std::string& Folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(Folder.c_str()), ::closedir);
  if (!dir) return names;
  while (dirent* e = ::readdir(dir.get())) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    names.push_back(kvo::FolderExists(Folder + n) ? n + "/" : n);
  }
  return names;
}

bool TFolderDrive::ReadFile(const std::string& Path, std::string& Bytes) {
  if (HostReadFile(Path, Bytes)) return true;
  return Fail("Cannot read " + Path + ".");
}

std::string TFolderDrive::ScratchFile(const std::string& Path) { return HostScratchBeside(Path); }

bool TFolderDrive::InstallFile(const std::string& Scratch, const std::string& Path) {
  if (!FaultInjected(TFaultOp::Rename) && ::rename(Scratch.c_str(), Path.c_str()) == 0) return true;
  ::unlink(Scratch.c_str());
  return Fail("Cannot write " + Path + ".");
}

bool TFolderDrive::ReplaceFile(const std::string& Path, std::string_view Bytes) {
  if (ReplaceFileAtomic(Path, Bytes)) return true;
  return Fail("Cannot write " + Path + ".");
}

bool TFolderDrive::DeleteFile(const std::string& Path) {
  if (!FaultInjected(TFaultOp::Delete) && (::unlink(Path.c_str()) == 0 || errno == ENOENT))
    return true;
  return Fail("Cannot delete " + Path + ".");
}

bool TFolderDrive::MakeFolder(const std::string& Path) {
  if (EnsureFolder(Path)) return true;
  return Fail("Cannot create the folder " + Path + ".");
}

void TFolderDrive::RemoveLeftovers(const std::string& Folder, bool Idle) {
  const time_t now = std::time(nullptr);
  auto named = [](const std::string& Name) {
    return IsReplaceTemp(Name) || Name.find(SCRATCH_MARK) != std::string::npos;
  };
  RemoveFilesIf(Folder, named, [&](const std::string& Name, const struct stat& St) {
    return ScratchOfGoneProcess(Name) ||
           (IsReplaceTemp(Name) && (Idle || now - St.st_mtime > ABANDONED_AFTER_SECONDS));
  });
}

int MakeHostTemp(std::string_view Kind, std::string& Name) {
  Name = (std::filesystem::temp_directory_path() /
          (std::string(Kind) + std::to_string(::getpid()) + "-XXXXXX")).string();
  return ::mkostemp(Name.data(), O_CLOEXEC);
}

void RemoveHostTempLeftovers() {
  std::error_code ec;
  const std::string folder = std::filesystem::temp_directory_path(ec).string();
  if (ec) return;
  // Only this user's own files: the folder is shared with everyone.
  RemoveFilesIf(folder + "/", HostTempOfGoneProcess, [](const std::string&, const struct stat& St) {
    return St.st_uid == ::getuid();
  });
}

std::unique_ptr<TDrive> OpenFolderDrive(const std::string& WinFolder,
                                        const std::string& StorageFolder) {
  return std::make_unique<TFolderDrive>(WinFolder, StorageFolder);
}

// ---- what both kinds share -------------------------------------------------

bool CopyDriveFile(TDrive& Drive, const std::string& Source, const std::string& Target) {
  std::string bytes;
  return Drive.ReadFile(Source, bytes) && Drive.ReplaceFile(Target, bytes);
}

std::string GuestPath(const TDrive& Drive, const std::string& Path) {
  // Letter case does not tell files apart on the drive Windows sees.
  std::string root = Drive.Root();
  if (root.empty() || Path.size() < root.size() ||
      ::strncasecmp(Path.c_str(), root.c_str(), root.size()) != 0)
    return Path;
  std::string guest = "C:\\" + Path.substr(root.size());
  for (char& c : guest)
    if (c == '/') c = '\\';
  return guest;
}

std::string PathFromGuest(TDrive& Drive, const std::string& Text) {
  if (!IsGuestRoot(Text) || Drive.Root().empty()) return Text;
  return PathBelow_(Drive, Drive.Root(), Text.substr(3));
}

std::string FindWinFolder(TDrive& Drive, const std::string& Root) {
  std::string msdos = Drive.FindNoCase(Root, "MSDOS.SYS"), text;
  if (Drive.FileExists(msdos) && Drive.ReadFile(msdos, text)) {
    std::string dir = ProfileGetValue(ProfileParse(text), "Paths", "WinDir").value_or("");
    if (dir.size() >= 2 && dir[1] == ':') dir.erase(0, 2);
    std::string folder = dir.empty() ? std::string() : PathBelow_(Drive, Root, dir);
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    if (!folder.empty() && Drive.FolderExists(folder)) return folder + "/";
  }
  std::string windows = Drive.FindNoCase(Root, "WINDOWS");
  return Drive.FolderExists(windows) ? windows + "/" : std::string();
}

TLocalFile::TLocalFile(TDrive& Drive, const std::string& Path) {
  if (!Drive.InVolume(Path)) {
    Path_ = Path;
    return;
  }
  std::string bytes;
  if (!Drive.ReadFile(Path, bytes)) return;
  std::string name;
  int fd = MakeHostTemp("kvo-local-", name);
  if (fd < 0) return;
  bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ::close(fd);
  if (!ok) {
    ::unlink(name.c_str());
    return;
  }
  Path_ = name;
  Temporary_ = true;
}

TLocalFile::~TLocalFile() {
  if (Temporary_) ::unlink(Path_.c_str());
}

}  // namespace kvo
