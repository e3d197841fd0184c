#include "core/Backup.h"

#include <type_traits>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
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
bool NameTaken_(TDrive& Drive, const std::string& Folder, const std::string& Name) {
  std::string path = Drive.FindNoCase(Folder, Name);
  return Drive.FileExists(path) || Drive.FolderExists(path);
}

std::vector<std::string> SplitLines_(const std::string& Bytes) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < Bytes.size()) {
    size_t eol = Bytes.find('\n', from);
    std::string line = Bytes.substr(from, eol == std::string::npos ? std::string::npos : eol - from);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    from = eol == std::string::npos ? Bytes.size() : eol + 1;
  }
  return lines;
}

std::vector<std::string> ReadBatLines_(const std::string& BatPath) {
  std::string bytes;
  if (!ManagedDrive().ReadFile(BatPath, bytes)) return {};
  return SplitLines_(bytes);
}

// Whether a command line of the batch file already names LogoPath, as
// Windows names it or (in files written before) as this system does. The
// comparison ignores letter case, as FAT does; a match in the first
// character cannot be a command's argument.
bool BatNamesLogo_(const std::vector<std::string>& Lines, const std::string& LogoPath) {
  std::string guest = UpperText(GuestPath(ManagedDrive(), LogoPath));
  std::string host = UpperText(LogoPath);
  for (const std::string& line : Lines) {
    std::string u = UpperText(TrimBlanks(line));
    if (u.starts_with("REM")) continue;
    size_t at = u.find(guest);
    if (at == std::string::npos) at = u.find(host);
    if (at != std::string::npos && at > 0) return true;
  }
  return false;
}

std::string NewBatText_() {
  return std::string(RESTORE_HEADER_RULE) + "\r\n" + RESTORE_HEADER_TEXT + "\r\n" +
         RESTORE_HEADER_RULE + "\r\n\r\n";
}

// One command of the batch file; REM lines, empty lines and anything else
// are skipped. Paths as Windows names them are found on the managed drive.
void RestoreLine_(const std::string& Line) {
  TDrive& drive = ManagedDrive();
  std::string line(TrimBlanks(Line));
  std::string u = UpperText(line);
  if (u.starts_with("DEL")) {
    std::string name = QuotedField(line, 1);
    if (!name.empty()) drive.DeleteFile(PathFromGuest(drive, name));
  } else if (u.starts_with("COPY")) {
    std::string source(TrimBlanks(QuotedField(line, 1)));
    std::string target(TrimBlanks(QuotedField(line, 2)));
    if (!source.empty() && !target.empty())
      CopyDriveFile(drive, PathFromGuest(drive, source), PathFromGuest(drive, target));
  }
}

}  // namespace

std::string RestoreBatFile() { return ManagedDrive().FindNoCase(BackupDir(), RESTORE_BAT); }

bool CopyFileReplace(const std::string& Source, const std::string& Target) {
  TProcScope trace("Backup.CopyFileReplace");
  return CopyDriveFile(ManagedDrive(), Source, Target);
}

std::string NextBackupName(const std::string& Folder) {
  TProcScope trace("Backup.NextBackupName");
  for (uint32_t n = 1;; ++n) {
    std::string name = "logo" + std::to_string(n) + ".bmp";
    if (!NameTaken_(ManagedDrive(), Folder, name)) return ManagedDrive().FindNoCase(Folder, name);
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
    TDrive& drive = ManagedDrive();
    std::string bytes = NewBatText_();
    if (drive.FileExists(BatPath)) {
      if (!drive.ReadFile(BatPath, bytes) || BatNamesLogo_(SplitLines_(bytes), LogoPath))
        return false;
      if (!bytes.empty() && bytes.back() != '\n') bytes += "\r\n";
    }
    // The whole file is written anew and put in place in one step, so a
    // failure leaves the lines that were there.
    return drive.ReplaceFile(BatPath, bytes + Line + "\r\n");
  });
}

bool BackupLogo(const std::string& LogoPath) {
  return Swallowed_("Backup.BackupLogo", [&] {
    if (TrimBlanks(LogoPath).empty()) return false;
    TDrive& drive = ManagedDrive();
    std::string folder = BackupDir();
    if (!drive.MakeFolder(folder)) return false;
    std::string bat = drive.FindNoCase(folder, RESTORE_BAT);
    if (drive.FileExists(bat) && BatNamesLogo_(ReadBatLines_(bat), LogoPath)) return true;
    // The batch file runs inside Windows, so it names files as Windows does.
    std::string logo = GuestPath(drive, LogoPath);
    if (!drive.FileExists(LogoPath)) return AddRestoreLine(bat, LogoPath, "del  \"" + logo + "\"");
    // The copy is made before its line is written: a line naming a copy
    // that failed would keep this logo from ever being backed up again,
    // and its restore would fail.
    std::string backup = NextBackupName(folder);
    if (!CopyDriveFile(drive, LogoPath, backup)) return false;
    if (AddRestoreLine(bat, LogoPath, "copy \"" + GuestPath(drive, backup) + "\" \"" + logo + "\""))
      return true;
    drive.DeleteFile(backup);
    return false;
  });
}

bool RestoreLogos() {
  TProcScope trace("Backup.RestoreLogos");
  TDriveLock lock(ManagedDrive());
  if (!lock.Held()) return false;
  std::string bat = RestoreBatFile();
  if (!ManagedDrive().FileExists(bat)) return true;
  // Each command stands alone: one that fails must not keep the others
  // from restoring their logos.
  for (const std::string& line : ReadBatLines_(bat))
    Swallowed_("Backup.RestoreLine_", [&] { RestoreLine_(line); });
  return true;
}

bool UninstallRun() {
  TProcScope trace("Backup.UninstallRun");
  SetAutoRun(false);
  return RestoreLogos();
}

void RestoreCommand() {
  TProcScope trace("Backup.RestoreCommand");
  if (YesNo("Do you want to restore previous logos?", true) != 'Y') return;
  TChangeLock changing;
  if (!changing.Held()) return;
  if (UninstallRun())
    ShowInfo("Previous logos restored.");
  else
    ShowError(ManagedDrive().LastError());
}

}  // namespace kvo
