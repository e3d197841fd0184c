// SPDX-License-Identifier: GPL-3.0-or-later
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
#include "drive/MsdosSys.h"
#include "platform/ProfileFile.h"
#include "platform/TextUtil.h"

namespace kvo {
namespace {

// Runs Body in a keeping frame and forgets whatever failed inside it: the
// backup reports nothing, and a recorded error must not be mistaken for
// one of the caller's.
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

// Folder + Stem + N + Ext for the smallest N >= 1 that is free.
std::string NextFreeName_(const std::string& Folder, const std::string& Stem, const std::string& Ext) {
  for (uint32_t n = 1;; ++n) {
    std::string name = Stem + std::to_string(n) + Ext;
    if (!NameTaken_(ManagedDrive(), Folder, name)) return ManagedDrive().FindNoCase(Folder, name);
  }
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
  if (!ManagedDrive().ReadFile(BatPath, bytes, MAX_TEXT_FILE_BYTES)) return {};
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

// MSDOS.SYS of the drive's root as Canonical names it; empty when the root
// is not known.
std::string MsdosSysKey_(TDrive& Drive) {
  return Drive.Root().empty() ? std::string() : Drive.Canonical(Drive.FindNoCase(Drive.Root(), MSDOS_SYS));
}

// Whether the file whose Canonical key is Key lies in the backup folder,
// and that folder on the drive.
bool InBackupFolder_(TDrive& Drive, const std::string& Key) {
  const std::string bat = BackupDir() + RESTORE_BAT, batKey = Drive.Canonical(bat);
  auto folderOf = [](const std::string& K) { return K.substr(0, K.rfind('/') + 1); };
  return !Key.empty() && Drive.Holds(bat) && folderOf(Key) == folderOf(batKey);
}

// The drive path of a file the batch file names, when a restore may act on
// it: one of the three logo files (where the settings put them, or where
// Windows looks for them), or a file of the backup folder when that folder
// lies on the drive. Empty for anything else: the batch file
// comes with the drive, and whoever wrote it may name any file at all.
std::string RestorablePath_(TDrive& Drive, const std::string& Named) {
  const std::string path = PathFromGuest(Drive, std::string(TrimBlanks(Named)));
  const std::string key = path.empty() ? std::string() : Drive.Canonical(path);
  if (key.empty() || key == MsdosSysKey_(Drive)) return {};
  for (uint32_t p : POSITIONS)
    if (key == Drive.Canonical(GetLogoFile(p)) || key == Drive.Canonical(DefaultLogoFile(Drive, p)))
      return path;
  return InBackupFolder_(Drive, key) ? path : std::string();
}

// What one command of the batch file came to. Refused: it names a file a
// restore may not touch, and was left alone. Failed: the logo it names
// (Subject, as the batch file names it) was not put back, for Why.
enum class TLineResult { Done, Refused, Failed };
struct TLineOutcome {
  TLineResult Result = TLineResult::Failed;
  std::string Subject, Why;
};

TLineOutcome Done_() { return {TLineResult::Done, {}, {}}; }
TLineOutcome Refused_() { return {TLineResult::Refused, {}, {}}; }
TLineOutcome Failed_(const std::string& Subject, const std::string& Why) {
  return {TLineResult::Failed, Subject, Why};
}

// Why the copy From could not be put in place: its absence first, since
// the drive's own words for a missing file say less.
std::string CopyFailure_(TDrive& Drive, const std::string& From) {
  const std::string copy = "its backup copy " + GuestPath(Drive, From);
  if (!Drive.FileExists(From)) return copy + " is missing";
  return Drive.LastError().empty() ? copy + " could not be copied" : Drive.LastError();
}

// The copy that brings MSDOS.SYS back: only from the backup folder, and
// only the text file of Windows 95 or 98, since anything else written there
// would keep Windows from starting. Deleting it is never restoring it.
TLineOutcome RestoreMsdosSys_(TDrive& Drive, const std::string& From, const std::string& To,
                              const std::string& Subject) {
  if (!InBackupFolder_(Drive, Drive.Canonical(From))) return Refused_();
  std::string bytes;
  if (!Drive.ReadFile(From, bytes, MAX_TEXT_FILE_BYTES))
    return Failed_(Subject, CopyFailure_(Drive, From));
  // Anything but that text is no backup this program made: the line is
  // refused, as one naming a file no restore may touch.
  if (!IsMsdosText(bytes)) return Refused_();
  if (!Drive.ReplaceFile(To, bytes)) return Failed_(Subject, Drive.LastError());
  return Done_();
}

// One command of the batch file; REM lines, empty lines and anything else
// are skipped. Paths as Windows names them are found on the managed drive.
TLineOutcome RestoreLine_(const std::string& Line) {
  TDrive& drive = ManagedDrive();
  std::string line(TrimBlanks(Line));
  std::string u = UpperText(line);
  if (u.starts_with("DEL")) {
    const std::string name = QuotedField(line, 1);
    if (name.empty()) return Done_();
    const std::string path = RestorablePath_(drive, name);
    if (path.empty()) return Refused_();
    if (!drive.DeleteFile(path)) return Failed_(std::string(TrimBlanks(name)), drive.LastError());
  } else if (u.starts_with("COPY")) {
    const std::string source = QuotedField(line, 1), target = QuotedField(line, 2);
    if (TrimBlanks(source).empty() || TrimBlanks(target).empty()) return Done_();
    const std::string subject(TrimBlanks(target));
    const std::string from = RestorablePath_(drive, source);
    const std::string msdos = PathFromGuest(drive, subject);
    if (!from.empty() && !msdos.empty() && drive.Canonical(msdos) == MsdosSysKey_(drive))
      return RestoreMsdosSys_(drive, from, msdos, subject);
    const std::string to = RestorablePath_(drive, target);
    if (from.empty() || to.empty()) return Refused_();
    // A backup too large to be read was moved there whole; it moves back.
    if (!CopyDriveFile(drive, from, to, MAX_LOGO_FILE_BYTES) && !(drive.TooLarge() && drive.MoveFile(from, to)))
      return Failed_(subject, CopyFailure_(drive, from));
  }
  return Done_();
}

// Saves the state of Path before its first change: restore.bat gets the
// line CopyLine(copy, file) naming a numbered copy Stem N Ext in the backup
// folder, or a "del" line for a file that did not exist. True when
// restore.bat names Path afterwards, so it may be changed.
// A file too large to be read (with Movable, a logo of megabytes, which
// Windows could never have shown) is moved into the backup folder as it
// is instead: nothing of it is read, and the new file takes its place.
template <class F>
bool BackupFile_(const std::string& Path, uint64_t MaxBytes, bool Movable, const char* Stem,
                 const char* Ext, F CopyLine) {
  if (TrimBlanks(Path).empty()) return false;
  TDrive& drive = ManagedDrive();
  std::string folder = BackupDir();
  if (!drive.MakeFolder(folder)) return false;
  // A backup folder that leads off the drive (a link put in its place)
  // is not written into: its restore.bat would never be obeyed anyway.
  if (!drive.Holds(folder + RESTORE_BAT)) return false;
  std::string bat = drive.FindNoCase(folder, RESTORE_BAT);
  if (drive.FileExists(bat) && BatNamesLogo_(ReadBatLines_(bat), Path)) return true;
  // The batch file runs inside Windows, so it names files as Windows does.
  std::string file = GuestPath(drive, Path);
  if (!drive.FileExists(Path)) return AddRestoreLine(bat, Path, "del  \"" + file + "\"");
  // The copy is made before its line is written: a line naming a copy
  // that failed would keep this file from ever being backed up again,
  // and its restore would fail.
  std::string backup = NextFreeName_(folder, Stem, Ext);
  bool moved = false;
  if (!CopyDriveFile(drive, Path, backup, MaxBytes)) {
    if (!Movable || !drive.TooLarge() || !drive.MoveFile(Path, backup)) return false;
    moved = true;
    ShowStatus(file + " was larger than any logo Windows can show; it is kept as " + GuestPath(drive, backup) +
               ".");
  }
  if (AddRestoreLine(bat, Path, CopyLine(GuestPath(drive, backup), file))) return true;
  moved ? drive.MoveFile(backup, Path) : drive.DeleteFile(backup);
  return false;
}

}  // namespace

std::string RestoreBatFile() { return ManagedDrive().FindNoCase(BackupDir(), RESTORE_BAT); }

bool CopyFileReplace(const std::string& Source, const std::string& Target) {
  TProcScope trace("Backup.CopyFileReplace");
  return CopyDriveFile(ManagedDrive(), Source, Target, MAX_LOGO_FILE_BYTES);
}

std::string NextBackupName(const std::string& Folder) {
  TProcScope trace("Backup.NextBackupName");
  return NextFreeName_(Folder, "logo", ".bmp");
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
      if (!drive.ReadFile(BatPath, bytes, MAX_TEXT_FILE_BYTES) || BatNamesLogo_(SplitLines_(bytes), LogoPath))
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
    return BackupFile_(LogoPath, MAX_LOGO_FILE_BYTES, true, "logo", ".bmp", [](const std::string& Copy, const std::string& Logo) {
      return "copy \"" + Copy + "\" \"" + Logo + "\"";
    });
  });
}

bool BackupMsdosSys(const std::string& Path) {
  return Swallowed_("Backup.BackupMsdosSys", [&] {
    // Windows keeps MSDOS.SYS read-only, hidden and system, and COPY will
    // not write over a read-only file: the batch file lifts the attributes
    // for the copy and puts them back after it.
    return BackupFile_(Path, MAX_TEXT_FILE_BYTES, false, "msdos", ".sys", [](const std::string& Copy, const std::string& File) {
      return "attrib -r -h -s \"" + File + "\"\r\ncopy \"" + Copy + "\" \"" + File +
             "\"\r\nattrib +r +h +s \"" + File + "\"";
    });
  });
}

bool RestoreLogos(std::vector<std::string>* NotRestored) {
  TProcScope trace("Backup.RestoreLogos");
  TDriveLock lock(ManagedDrive());
  if (!lock.Held()) return false;
  std::string bat = RestoreBatFile();
  if (!ManagedDrive().FileExists(bat)) return true;
  // A batch file that cannot be read (one far larger than any this
  // program writes) restores nothing, and says so.
  std::string bytes;
  if (!ManagedDrive().ReadFile(bat, bytes, MAX_TEXT_FILE_BYTES)) return false;
  // Each command stands alone: one that fails, or names a file no restore
  // may touch, must not keep the others from restoring their logos.
  std::string refused;
  std::vector<std::string> failed;
  for (const std::string& line : SplitLines_(bytes)) {
    // A line whose work ended in a failure of the system's own has not
    // restored its logo either.
    TLineOutcome out;
    MonitoredKeep("Backup.RestoreLine_", [&] { out = RestoreLine_(line); });
    if (!NoError()) out = Failed_(std::string(TrimBlanks(line)), LastErrorText());
    ClearError();
    if (out.Result == TLineResult::Refused) refused += "\n" + std::string(TrimBlanks(line));
    if (out.Result == TLineResult::Failed) failed.push_back(out.Subject + ": " + out.Why);
  }
  if (!refused.empty())
    ShowWarning("These lines of " + GuestPath(ManagedDrive(), bat) +
                " name files other than the logos and their backups, and were skipped:" + refused);
  if (NotRestored)
    *NotRestored = failed;
  else if (!failed.empty())
    ShowError(NotRestoredText(failed));
  // The logos are the originals again, no longer the stored pictures'.
  ForgetLogoSources();
  return true;
}

std::string NotRestoredText(const std::vector<std::string>& NotRestored) {
  std::string text = "These logos could not be restored:";
  for (const std::string& n : NotRestored) text += "\n" + n;
  return text;
}

bool UninstallRun(std::vector<std::string>* NotRestored) {
  TProcScope trace("Backup.UninstallRun");
  SetAutoRun(false);
  return RestoreLogos(NotRestored);
}

void RestoreCommand() {
  TProcScope trace("Backup.RestoreCommand");
  if (YesNo("Do you want to restore previous logos?", true) != 'Y') return;
  TChangeLock changing;
  if (!changing.Held()) return;
  // Success is said only when every logo came back.
  std::vector<std::string> failed;
  if (!UninstallRun(&failed))
    ShowError(ManagedDrive().LastError());
  else if (!failed.empty())
    ShowError(NotRestoredText(failed));
  else
    ShowInfo("Previous logos restored.");
}

}  // namespace kvo
