// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Locations.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>

#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "base/RegWrap.h"
#include "base/VCLUtils.h"
#include "base/WinUtils.h"
#include "core/Backup.h"
#include "core/Settings.h"
#include "core/Shuffle.h"
#include "platform/Folders.h"
#include "platform/HostFiles.h"
#include "drive/ImageExport.h"
#include "platform/Registry.h"
#include "platform/TextUtil.h"

namespace kvo {
namespace {

std::string& ExePath_() {
  static std::string path;
  return path;
}

// The disk image choice lives in the registry beside the folder drive's
// SystemRoot; an empty value means the folder drive.
constexpr const char* DRIVE_KEY_PATH = "\\Software\\KvoPanoramics";
constexpr const char* DRIVE_VALUE = "WindowsDrive";
constexpr const char* VERSION_KEY_PATH = "\\Software\\Microsoft\\Windows\\CurrentVersion";

std::string& Override_() {
  static std::string choice;
  return choice;
}

// The drive in use and what it was opened from, so it is reopened only
// when the choice (or the folder drive's registry values) changes.
struct TOpenDrive_ {
  std::string Key;
  std::unique_ptr<TDrive> Drive;
};

TOpenDrive_& Open_() {
  static TOpenDrive_ open;
  return open;
}

std::string ImageStorageDir_() { return XdgDataHome() + "/KvoPanoramics/store/"; }

std::string ProgramFilesStorageDir_() {
  // Without a program files folder this is "kvoLogos/" in the current
  // folder, as it was without the registry value.
  return GetProgFilesFolder() + "kvoLogos/";
}

}  // namespace

std::unique_ptr<TDrive> OpenDrive(const std::string& Choice) {
  if (IsImageChoice(Choice)) return OpenImageDrive(Choice, ImageStorageDir_());
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(Choice, ec);
  std::string folder = AddBS(ec ? Choice : abs.lexically_normal().string());
  std::string windows = WinFolderOfFolder(folder);
  // A folder without a Windows folder is still shown as itself, with its
  // Windows folder missing.
  return OpenFolderDrive(windows.empty() ? folder + "WINDOWS/" : windows, ProgramFilesStorageDir_());
}

TDrive& ManagedDrive() {
  std::string choice = Override_().empty() ? RememberedDrive() : Override_();
  std::string winFolder = choice.empty() ? GetWinFolder() : std::string();
  std::string key = choice + "\n" + winFolder + "\n" + ProgramFilesStorageDir_();
  TOpenDrive_& open = Open_();
  if (!open.Drive || open.Key != key) {
    open.Drive = choice.empty() ? OpenFolderDrive(winFolder, ProgramFilesStorageDir_()) : OpenDrive(choice);
    open.Key = key;
  }
  return *open.Drive;
}

void SetDriveOverride(const std::string& Choice) { Override_() = Choice; }

std::string RememberedDrive() { return RegGetString(HKEY_CURRENT_USER, DRIVE_KEY_PATH, DRIVE_VALUE); }

bool RememberDrive(const std::string& Choice, std::string& Error) {
  TProcScope trace("Locations.RememberDrive");
  if (TrimBlanks(Choice).empty()) {
    Error = "Choose a folder or a disk image.";
    return false;
  }
  std::unique_ptr<TDrive> drive = OpenDrive(Choice);
  TDriveInfo info = drive->Describe();
  if (info.Error.empty() && !info.WinFolderFound) info.Error = Choice + " holds no Windows folder.";
  if (!info.Error.empty()) {
    Error = info.Error;
    return false;
  }
  try {
    TRegistry reg;
    reg.OpenKey(HKEY_CURRENT_USER, DRIVE_KEY_PATH, true);
    if (IsImageChoice(Choice)) {
      reg.WriteString(DRIVE_VALUE, drive->Identity());
    } else {
      reg.DeleteValue(DRIVE_VALUE);
      reg.OpenKey(HKEY_LOCAL_MACHINE, VERSION_KEY_PATH, true);
      std::string windows = drive->WinFolder();
      reg.WriteString("SystemRoot", windows.substr(0, windows.size() - 1));
    }
    reg.CloseKey();
  } catch (const std::exception& e) {
    Error = e.what();
    return false;
  }
  return true;
}

std::string WinFolderOfFolder(const std::string& Folder) {
  std::string root = AddBS(Folder);
  std::unique_ptr<TDrive> host = OpenFolderDrive(std::string(), std::string());
  std::string windows = FindWinFolder(*host, root);
  if (!windows.empty()) return windows;
  // The Windows folder itself may be what the user named.
  bool isWindows = host->FileExists(host->FindNoCase(root, "win.com")) ||
                   host->FileExists(host->FindNoCase(root, "win.ini"));
  return isWindows ? root : std::string();
}

std::string PositionCaption(uint32_t Position) {
  switch (Position) {
    case POS_STARTUP: return "Startup";
    case POS_WAIT: return "Wait to shut down";
    case POS_TURNOFF: return "Turn off";
    default: return {};
  }
}

int PositionIndex(uint32_t Position) {
  switch (Position) {
    case POS_STARTUP: return 0;
    case POS_WAIT: return 1;
    case POS_TURNOFF: return 2;
    default: return -1;
  }
}

std::string BootDriveRoot() {
  TProcScope trace("Locations.BootDriveRoot");
  return ManagedDrive().Root();
}

std::string GetLogoFile(uint32_t Position) {
  int i = PositionIndex(Position);
  return i < 0 ? std::string() : Settings().LogoFile[i];
}

void SetLogoFile(uint32_t Position, const std::string& Path) {
  int i = PositionIndex(Position);
  if (i >= 0) Settings().LogoFile[i] = std::string(TrimBlanks(Path));
}

std::string DefaultLogoFile(uint32_t Position) {
  TProcScope trace("Locations.DefaultLogoFile");
  // A logo written on the Windows side of a FAT drive may carry any letter
  // case (LOGOW.SYS); the existing file is the one Windows will show.
  return DefaultLogoFile(ManagedDrive(), Position);
}

std::string DefaultLogoFile(TDrive& Drive, uint32_t Position) {
  switch (Position) {
    case POS_STARTUP: return Drive.FindNoCase(Drive.Root(), "logo.sys");
    case POS_WAIT: return Drive.FindNoCase(Drive.WinFolder(), "logow.sys");
    case POS_TURNOFF: return Drive.FindNoCase(Drive.WinFolder(), "logos.sys");
    default: return {};
  }
}

std::string GetStorageDir() { return AddBS(Settings().StorageDir); }

void SetStorageDir(const std::string& Path) { Settings().StorageDir = AddBS(Path); }

std::string DefaultStorageDir() {
  TProcScope trace("Locations.DefaultStorageDir");
  return ManagedDrive().StorageFolder();
}

std::string BackupDir() {
  TDrive& drive = ManagedDrive();
  return AddBS(drive.FindNoCase(drive.WinFolder(), "logos.bak"));
}

const std::string& ExecutablePathSetting() { return ExePath_(); }

void SetExecutablePath(const std::string& Path) { ExePath_() = Path; }

void SetAutoRun(bool Enable) {
  TProcScope trace("Locations.SetAutoRun");
  // Off is off for good: the setting goes too, so neither the next start
  // nor the options dialog brings back a job the restore removed.
  if (!Enable) StoreAutoChangeOff();
  TRegistry reg;
  try {
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, RUN_KEY_PATH, Enable)) {
      if (Enable)
        reg.WriteString(RUN_VALUE_NAME, ExecutablePathSetting() + " " + SWITCH_SHUFFLE);
      else
        reg.DeleteValue(RUN_VALUE_NAME);
    }
  } catch (const std::exception&) {
    // A Run value that cannot be written is not reported: automatic change
    // is a convenience, and the next start tries again.
  }
  reg.CloseKey();
}

void RemoveLeftovers() {
  TProcScope trace("Locations.RemoveLeftovers");
  // While this run holds the change lock no other run changes the store,
  // the logos or the backup; when another holds it, or the lock cannot be
  // taken at all (a read-only settings folder), only files named for a
  // gone process or a minute old are taken.
  TChangeLock changing(true, std::chrono::milliseconds(0));
  TDrive& drive = ManagedDrive();
  const std::string settings = AddBS(GetAppDir());
  const std::string store = GetStorageDir(), backup = BackupDir();
  std::set<std::string> folders{settings, store, backup};
  for (uint32_t p : POSITIONS) {
    const std::string logo = GetLogoFile(p);
    size_t slash = logo.rfind('/');
    if (slash != std::string::npos) folders.insert(logo.substr(0, slash + 1));
  }
  for (const std::string& folder : folders) {
    // Settings saves take no lock: the settings folder (kvo.ini and the
    // program's own win.ini) may hold a save in progress whatever the lock
    // says.
    const bool locked = folder == store || folder == backup || drive.InVolume(folder);
    const bool idle = changing.Exclusive() && locked && folder != settings;
    if (drive.InVolume(folder))
      drive.RemoveLeftovers(folder, idle);
    else
      RemoveHostLeftovers(folder, idle);
  }
  // Exports first: a killed run's own folder goes once its mount is down.
  RemoveStaleExports();
  RemoveHostTempLeftovers();
}

bool HasCommandSwitch(const std::vector<std::string>& Args) {
  for (const std::string& arg : Args) {
    std::string_view a = TrimBlanks(arg);
    if (SameText(a, SWITCH_SHUFFLE) || SameText(a, SWITCH_UNINST)) return true;
  }
  return false;
}

bool ProcessCommandLine(const std::vector<std::string>& Args) {
  TProcScope trace("Locations.ProcessCommandLine");
  bool recognised = false;
  for (const std::string& arg : Args) {
    std::string_view a = TrimBlanks(arg);
    if (SameText(a, SWITCH_SHUFFLE)) {
      ShuffleCommandRun();
      recognised = true;
    } else if (SameText(a, SWITCH_UNINST)) {
      TChangeLock changing;
      if (changing.Held() && !UninstallRun()) ShowError(ManagedDrive().LastError());
      recognised = true;
    }
  }
  return recognised;
}

}  // namespace kvo
