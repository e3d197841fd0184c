// SPDX-License-Identifier: GPL-3.0-or-later
#include "drive/Drive.h"

#include <dirent.h>
#include <strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "drive/DriveFolder.h"
#include "platform/FaultInject.h"
#include "platform/Folders.h"
#include "platform/HostFiles.h"
#include "platform/ProfileFile.h"
#include "platform/TextUtil.h"

namespace kvo {
namespace {

bool IsGuestRoot(std::string_view Text) {
  return Text.size() >= 3 && (Text[0] == 'C' || Text[0] == 'c') && Text[1] == ':' && Text[2] == '\\';
}

// Whether Part may be one step of a path a file of the drive names: a
// plain name, never a way up or a separator of this system.
bool PlainPart(std::string_view Part) {
  return Part != "." && Part != ".." && Part.find('/') == std::string_view::npos &&
         Part.find('\0') == std::string_view::npos;
}

// The folder entry of Names (a listing, folders ending in "/") that Part
// names, as FAT finds it: an exact match first, else one in another letter
// case. Empty when there is none.
std::string FolderEntry(const std::vector<std::string>& Names, const std::string& Part) {
  const std::string wanted = Part + "/", upper = UpperText(wanted);
  std::string found;
  for (const std::string& n : Names) {
    if (n == wanted) return n;
    if (found.empty() && UpperText(n) == upper) found = n;
  }
  return found;
}

// Root followed by the "\\"-separated Guest path, each part looked up as
// FAT would, so a name typed in another letter case still finds its file.
// Each folder on the way is listed once, and the walk ends at the first
// one that is missing: a path no folder holds names nothing.
std::string PathBelow_(TDrive& Drive, const std::string& Root, std::string_view Guest) {
  if (Guest.size() > MAX_GUEST_PATH) return {};
  std::string path = Root;
  size_t from = 0;
  for (;;) {
    size_t sep = Guest.find('\\', from);
    std::string part(Guest.substr(from, sep == std::string_view::npos ? std::string_view::npos : sep - from));
    if (!PlainPart(part)) return {};
    if (sep == std::string_view::npos) return part.empty() ? path : Drive.FindNoCase(path, part);
    if (!part.empty()) {
      std::string entry = FolderEntry(Drive.List(path), part);
      if (entry.empty()) return {};
      path += entry;
    }
    from = sep + 1;
  }
}

}  // namespace

std::string ParentOf(const std::string& Path) {
  std::string p = Path;
  if (!p.empty() && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

std::string NameOf(const std::string& Path) {
  std::string p = Path;
  if (!p.empty() && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string TooLargeText(const std::string& Name, uint64_t MaxBytes) {
  return Name + " is larger than " + std::to_string(MaxBytes) +
         " bytes, more than such a file can be; it is not read.";
}

std::string FolderInTheWayText(const std::string& Name) {
  return Name + " is a folder, not a file; nothing was written.";
}

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

bool TFolderDrive::FileExists(const std::string& Path) {
  // A link is no file of the drive: it is neither read nor backed up, and
  // a new file takes its place.
  struct stat st {};
  return ::lstat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

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

bool TFolderDrive::ReadFile(const std::string& Path, std::string& Bytes, uint64_t MaxBytes) {
  TooLarge_ = false;
  if (HostReadFile(Path, Bytes, MaxBytes, true)) return true;
  TooLarge_ = errno == EFBIG;
  return Fail(TooLarge_ ? TooLargeText(Path, MaxBytes) : "Cannot read " + Path + ".");
}

bool TFolderDrive::MoveFile(const std::string& Source, const std::string& Target) {
  // Only a file of the drive's own moves: a link in its place is never
  // carried into the backup folder as if it were the logo.
  struct stat st {};
  if (::lstat(Source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail("Cannot move " + Source + ".");
  if (!FaultInjected(TFaultOp::Rename) && ::rename(Source.c_str(), Target.c_str()) == 0) return true;
  return Fail("Cannot move " + Source + " to " + Target + ": " + std::strerror(errno));
}

bool TFolderDrive::InstallFile(const std::string& Scratch, const std::string& Path) {
  // The scratch file lies in the temporary folder, most often on another
  // file system: its bytes are put in place as any replacement is.
  std::string bytes;
  const bool read = HostReadFile(Scratch, bytes, MAX_SCRATCH_BYTES);
  ::unlink(Scratch.c_str());
  if (!read) return Fail("Cannot read " + Scratch + ".");
  return ReplaceFile(Path, bytes);
}

bool TFolderDrive::ReplaceFile(const std::string& Path, std::string_view Bytes) {
  struct stat st {};
  if (::lstat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Fail(FolderInTheWayText(Path));
  if (ReplaceFileAtomic(Path, Bytes, TLinks::Replace)) return true;
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

namespace {

// Folder with its links resolved, with a trailing "/"; empty when it does
// not exist.
std::string RealFolder(const std::string& Folder) {
  std::unique_ptr<char, void (*)(void*)> r(::realpath(Folder.c_str(), nullptr), std::free);
  if (!r) return {};
  std::string f = r.get();
  return f.back() == '/' ? f : f + "/";
}

}  // namespace

std::string TFolderDrive::Canonical(const std::string& Path) {
  const std::string folder = RealFolder(ParentOf(Path)), name = NameOf(Path);
  if (folder.empty() || name.empty() || !PlainPart(name)) return {};
  return UpperText(folder + name);
}

bool TFolderDrive::Holds(const std::string& Path) {
  // The real folders, so that a link to somewhere else, put in a shared
  // folder under a name the program uses, leads nowhere. The root and the
  // Windows folder are the user's choice, links and all.
  const std::string folder = RealFolder(ParentOf(Path));
  auto below = [&](const std::string& Top) {
    return !Top.empty() && folder.compare(0, Top.size(), Top) == 0;
  };
  return !folder.empty() && PlainPart(NameOf(Path)) &&
         (below(RealFolder(Root())) || below(RealFolder(WinFolder_)));
}

void TFolderDrive::RemoveLeftovers(const std::string& Folder, bool Idle) {
  RemoveHostLeftovers(Folder, Idle);
}

std::unique_ptr<TDrive> OpenFolderDrive(const std::string& WinFolder,
                                        const std::string& StorageFolder) {
  return std::make_unique<TFolderDrive>(WinFolder, StorageFolder);
}

// ---- what both kinds share -------------------------------------------------

std::string TDrive::ScratchFile(const std::string&) {
  std::string name;
  int fd = MakeHostTemp("kvo-drive-", name);
  if (fd < 0) {
    Fail("Cannot create a temporary file: " + std::string(std::strerror(errno)));
    return {};
  }
  ::close(fd);
  return name;
}

bool TDrive::CanWriteFile(const std::string& Path) {
  return !FolderExists(Path) || Fail(FolderInTheWayText(GuestPath(*this, Path)));
}

bool CopyDriveFile(TDrive& Drive, const std::string& Source, const std::string& Target,
                   uint64_t MaxBytes) {
  std::string bytes;
  return Drive.ReadFile(Source, bytes, MaxBytes) && Drive.ReplaceFile(Target, bytes);
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
  if (IsGuestRoot(Text))
    return Drive.Root().empty() ? std::string()
                                : PathBelow_(Drive, Drive.Root(), std::string_view(Text).substr(3));
  if (Text.empty() || Text[0] != '/' || Text.size() > MAX_GUEST_PATH) return {};
  for (size_t from = 1; from <= Text.size();) {
    size_t sep = std::min(Text.find('/', from), Text.size());
    if (!PlainPart(std::string_view(Text).substr(from, sep - from))) return {};
    from = sep + 1;
  }
  return Text;
}

std::string FindWinFolder(TDrive& Drive, const std::string& Root) {
  std::string msdos = Drive.FindNoCase(Root, "MSDOS.SYS"), text;
  if (Drive.FileExists(msdos) && Drive.ReadFile(msdos, text, MAX_TEXT_FILE_BYTES)) {
    std::string dir = ProfileGetValue(ProfileParse(text), "Paths", "WinDir").value_or("");
    // Only the drive Windows starts from is this drive.
    if (dir.size() >= 2 && dir[1] == ':' && (dir[0] == 'C' || dir[0] == 'c')) dir.erase(0, 2);
    std::string folder = dir.empty() ? std::string() : PathBelow_(Drive, Root, dir);
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    if (!folder.empty() && folder + "/" != Root && Drive.FolderExists(folder)) return folder + "/";
  }
  std::string windows = Drive.FindNoCase(Root, "WINDOWS");
  return Drive.FolderExists(windows) ? windows + "/" : std::string();
}

TLocalFile::TLocalFile(TDrive& Drive, const std::string& Path, uint64_t MaxBytes) {
  // Always a copy of our own: a reader given the drive's file by name
  // would follow a link or wait on a FIFO placed there.
  std::string bytes;
  if (!Drive.ReadFile(Path, bytes, MaxBytes)) return;
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
}

TLocalFile::~TLocalFile() {
  if (!Path_.empty()) ::unlink(Path_.c_str());
}

}  // namespace kvo
