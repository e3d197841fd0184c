#include "core/Backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <type_traits>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "platform/Folders.h"
#include "platform/ProfileFile.h"
#include "platform/TextUtil.h"

namespace kvo {
namespace {

// Runs Body in a keeping frame and forgets whatever failed inside it: the
// backup and the restore report nothing, and a recorded error must not be
// mistaken for one of the caller's.
template <class F>
auto Swallowed_(const char* Name, F&& Body) {
  if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
    MonitoredKeep(Name, Body);
    ClearError();
  } else {
    auto result = MonitoredKeep(Name, Body);
    ClearError();
    return result;
  }
}

// Any entry at all, in any letter case, takes the name: on the FAT drive
// the batch file will run on, logo1.bmp and LOGO1.BMP are one file.
bool NameTaken_(const std::string& Folder, const std::string& Name) {
  struct stat st {};
  return ::lstat(FindFileNoCase(Folder, Name).c_str(), &st) == 0;
}

bool ReadWholeFile_(const std::string& Path, std::string& Bytes) {
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

// Whether a command line of the batch file already names LogoPath. The
// comparison ignores letter case, as the paths did on the original drive;
// a match in the first character cannot be a command's argument.
bool BatNamesLogo_(const std::string& BatPath, const std::string& LogoPath) {
  std::string wanted = UpperText(LogoPath);
  int32_t handle = INVALID_ID;
  TXTOpen(handle, BatPath, FM_READ);
  std::string line;
  bool found = false;
  while (!found && TXTReadLine(handle, line)) {
    std::string u = UpperText(TrimBlanks(line));
    if (u.starts_with("REM")) continue;
    size_t at = u.find(wanted);
    found = at != std::string::npos && at > 0;
  }
  TXTClose(handle);
  return found;
}

void WriteNewBat_(const std::string& BatPath, const std::string& Line) {
  int32_t handle = INVALID_ID;
  TXTOpen(handle, BatPath, FM_CREATE);
  TXTWrite(handle, RESTORE_HEADER_RULE);
  TXTWrite(handle, RESTORE_HEADER_TEXT);
  TXTWrite(handle, RESTORE_HEADER_RULE);
  TXTWrite(handle, "");
  TXTWrite(handle, Line);
  TXTClose(handle);
}

std::vector<std::string> ReadBatLines_(const std::string& BatPath) {
  std::vector<std::string> lines;
  Swallowed_("Backup.ReadBatLines_", [&] {
    int32_t handle = INVALID_ID;
    TXTOpen(handle, BatPath, FM_READ);
    std::string line;
    while (TXTReadLine(handle, line)) lines.push_back(line);
    TXTClose(handle);
  });
  return lines;
}

// One command of the batch file; REM lines, empty lines and anything else
// are skipped.
void RestoreLine_(const std::string& Line) {
  std::string line(TrimBlanks(Line));
  std::string u = UpperText(line);
  if (u.starts_with("DEL")) {
    std::string name = QuotedField(line, 1);
    if (!name.empty()) FDelete(name);
  } else if (u.starts_with("COPY")) {
    std::string source(TrimBlanks(QuotedField(line, 1)));
    std::string target(TrimBlanks(QuotedField(line, 2)));
    if (!source.empty() && !target.empty()) CopyFileReplace(source, target);
  }
}

}  // namespace

std::string RestoreBatFile() { return FindFileNoCase(BackupDir(), RESTORE_BAT); }

bool CopyFileReplace(const std::string& Source, const std::string& Target) {
  TProcScope trace("Backup.CopyFileReplace");
  std::string bytes;
  return ReadWholeFile_(Source, bytes) && ReplaceFileAtomic(Target, bytes);
}

std::string NextBackupName(const std::string& Folder) {
  TProcScope trace("Backup.NextBackupName");
  for (uint32_t n = 1;; ++n) {
    std::string name = "logo" + std::to_string(n) + ".bmp";
    if (!NameTaken_(Folder, name)) return Folder + name;
  }
}

std::string QuotedField(const std::string& Line, int N) {
  if (N < 1) N = 1;
  size_t open = std::string::npos;
  size_t from = 0;
  // The opening quote of field N is quote number 2N - 1.
  for (int q = 1; q <= 2 * N - 1; ++q) {
    open = Line.find('"', from);
    if (open == std::string::npos) return {};
    from = open + 1;
  }
  size_t close = Line.find('"', from);
  if (close == std::string::npos) return {};
  return Line.substr(open + 1, close - open - 1);
}

bool AddRestoreLine(const std::string& BatPath, const std::string& LogoPath,
                    const std::string& Line) {
  return Swallowed_("Backup.AddRestoreLine", [&]() -> bool {
    if (!FileExists(BatPath)) {
      WriteNewBat_(BatPath, Line);
      return true;
    }
    if (BatNamesLogo_(BatPath, LogoPath)) return false;
    int32_t handle = INVALID_ID;
    TXTOpen(handle, BatPath, FM_APPEND);
    TXTWrite(handle, Line);
    TXTClose(handle);
    return true;
  });
}

void BackupLogo(const std::string& LogoPath) {
  Swallowed_("Backup.BackupLogo", [&] {
    std::string folder = BackupDir();
    if (!MakeLongDir(folder)) return;
    std::string bat = FindFileNoCase(folder, RESTORE_BAT);
    if (FileExists(bat) && BatNamesLogo_(bat, LogoPath)) return;
    if (!FileExists(LogoPath)) {
      AddRestoreLine(bat, LogoPath, "del  \"" + LogoPath + "\"");
      return;
    }
    // The copy is made before its line is written: a line naming a copy
    // that failed would keep this logo from ever being backed up again,
    // and its restore would fail.
    std::string backup = NextBackupName(folder);
    if (!CopyFileReplace(LogoPath, backup)) return;
    if (!AddRestoreLine(bat, LogoPath, "copy \"" + backup + "\" \"" + LogoPath + "\""))
      ::unlink(backup.c_str());
  });
}

void RestoreLogos() {
  TProcScope trace("Backup.RestoreLogos");
  std::string bat = RestoreBatFile();
  if (!FileExists(bat)) return;
  // Each command stands alone: one that fails must not keep the others
  // from restoring their logos.
  for (const std::string& line : ReadBatLines_(bat))
    Swallowed_("Backup.RestoreLine_", [&] { RestoreLine_(line); });
}

void UninstallRun() {
  TProcScope trace("Backup.UninstallRun");
  SetAutoRun(false);
  RestoreLogos();
}

void RestoreCommand() {
  TProcScope trace("Backup.RestoreCommand");
  if (YesNo("Do you want to restore previous logos?", true) != 'Y') return;
  UninstallRun();
  ShowInfo("Previous logos restored.");
}

}  // namespace kvo
