#include "core/Locations.h"

#include <stdexcept>

#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "base/RegWrap.h"
#include "base/WinUtils.h"
#include "core/Backup.h"
#include "core/Settings.h"
#include "core/Shuffle.h"
#include "platform/Folders.h"
#include "platform/Registry.h"
#include "platform/TextUtil.h"

namespace kvo {
namespace {

std::string& ExePath_() {
  static std::string path;
  return path;
}

}  // namespace

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
  std::string windows = GetWinFolder();
  if (windows.empty()) return {};
  // The drive part of "C:\WINDOWS\" is "C:"; here the managed drive is the
  // folder that holds the Windows folder. "/" is its own parent, as "C:\"
  // is its own drive.
  windows.pop_back();
  size_t slash = windows.rfind('/');
  if (slash == std::string::npos) return {};
  return windows.substr(0, slash + 1);
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
  switch (Position) {
    case POS_STARTUP: return FindFileNoCase(BootDriveRoot(), "logo.sys");
    case POS_WAIT: return FindFileNoCase(GetWinFolder(), "logow.sys");
    case POS_TURNOFF: return FindFileNoCase(GetWinFolder(), "logos.sys");
    default: return {};
  }
}

std::string GetStorageDir() { return AddBS(Settings().StorageDir); }

void SetStorageDir(const std::string& Path) { Settings().StorageDir = AddBS(Path); }

std::string DefaultStorageDir() {
  TProcScope trace("Locations.DefaultStorageDir");
  // Without a program files folder this is "kvoLogos/" in the current
  // folder, as it was without the registry value.
  return GetProgFilesFolder() + "kvoLogos/";
}

std::string BackupDir() {
  return AddBS(FindFileNoCase(GetWinFolder(), "logos.bak"));
}

const std::string& ExecutablePathSetting() { return ExePath_(); }

void SetExecutablePath(const std::string& Path) { ExePath_() = Path; }

void SetAutoRun(bool Enable) {
  TProcScope trace("Locations.SetAutoRun");
  TRegistry reg;
  try {
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, RUN_KEY_PATH, true)) {
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

bool ProcessCommandLine(const std::vector<std::string>& Args) {
  TProcScope trace("Locations.ProcessCommandLine");
  bool recognised = false;
  for (const std::string& arg : Args) {
    std::string_view a = TrimBlanks(arg);
    if (SameText(a, SWITCH_SHUFFLE)) {
      ShuffleCommandRun();
      recognised = true;
    } else if (SameText(a, SWITCH_UNINST)) {
      UninstallRun();
      recognised = true;
    }
  }
  return recognised;
}

}  // namespace kvo
