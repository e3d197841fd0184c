// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Settings.h"

#include "base/Errors.h"
#include "base/IniWrap.h"
#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "base/WinUtils.h"
#include "core/Locations.h"
#include "platform/Folders.h"
#include "platform/Fonts.h"

namespace kvo {
namespace {

// Every key of kvo.ini's "Main" section, in the order the file is written
// and read. Reader and writer both walk this one list, so a key cannot be
// saved without being loaded again, or the other way round.
template <class V>
void VisitKeys_(TSettings& S, V& Visit) {
  Visit.Str("GalDir", S.GalDir, "/");
  Visit.Logo("LogoFile0", S.LogoFile[0], POS_STARTUP);
  Visit.Logo("LogoFile1", S.LogoFile[1], POS_WAIT);
  Visit.Logo("LogoFile2", S.LogoFile[2], POS_TURNOFF);
  Visit.Str("LogoDrive", S.LogoDrive, "");
  Visit.Str("FileOpenDir", S.FileOpenDir, "/");
  Visit.Int("ResizeMode", S.ResizeMode, RESIZE_BORDER);
  Visit.Bool("AutoChange", S.AutoChange, false);
  Visit.Str("FontName", S.FontName, "Verdana");
  Visit.Bool("FontBold", S.FontBold, true);
  Visit.Bool("FontItalic", S.FontItalic, false);
  Visit.Bool("FontUnderline", S.FontUnderline, false);
  Visit.Bool("FontStrikeout", S.FontStrikeout, false);
  Visit.Int("FontSize", S.FontSize, 10);
  Visit.Color("TextColor", S.TextColor, 16777215);
  Visit.Color("TextBorderColor", S.TextBorderColor, 0);
  Visit.Bool("AnimEnabled", S.AnimEnabled, true);
  Visit.Int("AnimShape", S.AnimShape, ANIM_BOTTOM);
  Visit.Int("AnimMove", S.AnimMove, ANIM_SMOOTH);
  Visit.Color("AnimColor1", S.AnimColor1, 16744448);
  Visit.Color("AnimColor2", S.AnimColor2, 8404992);
  Visit.Int("AnimSpeed", S.AnimSpeed, ANIM_STEPS_PER_SECOND);
  Visit.Bool("Msg0Enabled", S.MsgEnabled[0], true);
  Visit.Bool("Msg1Enabled", S.MsgEnabled[1], true);
  Visit.Bool("Msg2Enabled", S.MsgEnabled[2], true);
  Visit.Int("MsgPickMethod", S.MsgPickMethod, PICK_RANDOM);
  Visit.Int("Palette", S.Palette, PALETTE_STANDARD);
}

struct TKeyReader_ {
  void Str(const char* Key, std::string& V, const char* Default) { PrefsReadStr(Key, V, Default); }
  // The default of a logo file depends on the Windows folder, so it is
  // worked out right before its key is read.
  void Logo(const char* Key, std::string& V, uint32_t Position) {
    PrefsReadStr(Key, V, DefaultLogoFile(Position));
  }
  void Int(const char* Key, int32_t& V, int32_t Default) { PrefsReadInt(Key, V, Default); }
  void Bool(const char* Key, bool& V, bool Default) { PrefsReadBool(Key, V, Default); }
  // Colours are 0x00BBGGRR and are stored as the signed decimal the
  // integer preferences use.
  void Color(const char* Key, uint32_t& V, uint32_t Default) {
    int32_t v = 0;
    PrefsReadInt(Key, v, static_cast<int32_t>(Default));
    V = static_cast<uint32_t>(v);
  }
};

struct TKeyWriter_ {
  void Str(const char* Key, std::string& V, const char*) { PrefsWriteStr(Key, V); }
  void Logo(const char* Key, std::string& V, uint32_t) { PrefsWriteStr(Key, V); }
  void Int(const char* Key, int32_t& V, int32_t) { PrefsWriteInt(Key, V); }
  void Bool(const char* Key, bool& V, bool) { PrefsWriteBool(Key, V); }
  void Color(const char* Key, uint32_t& V, uint32_t) {
    PrefsWriteInt(Key, static_cast<int32_t>(V));
  }
};

// The storage folder the managed drive's own win.ini names: a Windows
// folder that an earlier version of the program, or another installation,
// looked after. Empty for a disk image (its files are not read here), a
// drive without a Windows folder, and a win.ini that names none. The file is
// only read: a managed drive's win.ini is Windows' own.
std::string DriveStorageDir_() {
  TDrive& drive = ManagedDrive();
  if (drive.Root().rfind(IMAGE_ROOT, 0) == 0 || drive.WinFolder().empty()) return {};
  const std::string winIni = drive.FindNoCase(drive.WinFolder(), "win.ini");
  // A bare name would be taken for the Windows folder's file.
  if (winIni.find('/') == std::string::npos || !FileExists(winIni)) return {};
  PrefsPrepare(winIni, MAKER_SECTION);
  std::string storage;
  PrefsReadStr("kvo-StorageDir", storage, "");
  return storage;
}

// The storage folder at start: the one the program remembers, unless the
// managed drive is not the one the settings were saved with and its
// win.ini names a store (the drive brings its pictures, as choosing it in
// the window does). Settings of a version that kept the folder only in the
// drive's win.ini find it there.
void SettleStorageDir_(bool OtherDrive) {
  PrefsPrepare(OwnWinIniFile(), MAKER_SECTION);
  std::string own;
  PrefsReadStr("kvo-StorageDir", own, "");
  const std::string drives = (OtherDrive || own.empty()) ? DriveStorageDir_() : std::string();
  const std::string& storage = drives.empty() ? own : drives;
  SetStorageDir(storage.empty() ? DefaultStorageDir() : storage);
}

// The maker's keys, in the program's own win.ini: the program's path and
// date for other tools, and the storage folder.
void WriteMakerSection_() {
  PrefsPrepare(OwnWinIniFile(), MAKER_SECTION);
  PrefsHoldWrites();
  PrefsWriteStr("kvo-Path", ExecutablePathSetting());
  PrefsWriteStr("kvo-Date", MAKER_DATE);
  PrefsWriteStr("kvo-StorageDir", GetStorageDir());
  PrefsFlushCache();
}

// Logo files chosen on another drive name nothing on this one: the drive's
// own logo files take their place. Files written before drives were
// chosen hold logo files of the folder drive. True when the drive is
// another than the one the settings were saved with.
bool MatchLogoFilesToDrive_(TSettings& S) {
  std::string current = ManagedDrive().Identity();
  std::string chosenOn = S.LogoDrive;
  if (chosenOn.empty()) chosenOn = OpenFolderDrive(GetWinFolder(), std::string())->Identity();
  const bool other = chosenOn != current;
  if (other)
    for (uint32_t p : POSITIONS) S.LogoFile[PositionIndex(p)] = DefaultLogoFile(p);
  S.LogoDrive = current;
  return other;
}

const char* MessageFileName_(uint32_t Position) {
  switch (Position) {
    case POS_STARTUP: return "msg-startup.txt";
    case POS_WAIT: return "msg-wait.txt";
    case POS_TURNOFF: return "msg-turnoff.txt";
    default: return nullptr;
  }
}

}  // namespace

TSettings& Settings() {
  static TSettings settings;
  return settings;
}

std::string SettingsFile() { return GetAppDir() + "kvo.ini"; }

std::string OwnWinIniFile() { return GetAppDir() + "win.ini"; }

std::string ChangeLockFile() { return GetAppDir() + "kvo.lock"; }

TChangeLock::TChangeLock(bool Quiet, std::chrono::milliseconds Wait) : Lock_(ChangeLockFile(), Wait) {
  if (!Held() && !Quiet) ShowError(CHANGE_LOCK_BUSY);
}

std::string MessageFile(uint32_t Position) {
  const char* name = MessageFileName_(Position);
  return name ? GetAppDir() + name : std::string();
}

void ReadSettings(bool ReadMessages) {
  TProcScope trace("Settings.ReadSettings");
  TSettings& s = Settings();
  PrefsPrepare(SettingsFile(), SETTINGS_SECTION);
  TKeyReader_ reader;
  VisitKeys_(s, reader);
  const bool otherDrive = MatchLogoFilesToDrive_(s);
  // Messages are held as UTF-8; a file written in the Windows code page is
  // read as such (TextToUtf8) and keeps its look.
  if (ReadMessages)
    for (uint32_t p : POSITIONS)
      s.Messages[PositionIndex(p)] = TextToUtf8(FileToStr(MessageFile(p)));
  SettleStorageDir_(otherDrive);
  s.GalDir = AddBS(s.GalDir);
  s.FileOpenDir = AddBS(s.FileOpenDir);
}

void LoadSettings(bool ReadMessages) {
  TProcScope trace("Settings.LoadSettings");
  ReadSettings(ReadMessages);
  SetExecutablePath(ExecutablePath());
  SetAutoRun(Settings().AutoChange);
}

void SaveSettings(bool WriteMessages) {
  TProcScope trace("Settings.SaveSettings");
  TSettings& s = Settings();
  s.LogoDrive = ManagedDrive().Identity();
  PrefsPrepare(SettingsFile(), SETTINGS_SECTION);
  // Every key in one write: a failure leaves the old settings whole.
  PrefsHoldWrites();
  TKeyWriter_ writer;
  VisitKeys_(s, writer);
  PrefsFlushCache();
  if (WriteMessages)
    for (uint32_t p : POSITIONS) StrToFile(MessageFile(p), s.Messages[PositionIndex(p)], false);
  WriteMakerSection_();
}

void DriveChanged() {
  TProcScope trace("Settings.DriveChanged");
  MatchLogoFilesToDrive_(Settings());
  // A drive whose win.ini names no store leaves the pictures the user has
  // in view.
  const std::string storage = DriveStorageDir_();
  if (!storage.empty()) SetStorageDir(storage);
}

void StoreAutoChangeOff() {
  TProcScope trace("Settings.StoreAutoChangeOff");
  Settings().AutoChange = false;
  if (!FileExists(SettingsFile())) return;
  PrefsPrepare(SettingsFile(), SETTINGS_SECTION);
  bool stored = false;
  PrefsReadBool("AutoChange", stored, false);
  if (stored) PrefsWriteBool("AutoChange", false);
}

namespace {

constexpr const char* SOURCES_SECTION = "CurrentLogos";
constexpr const char* SOURCE_KEYS[3] = {"Startup", "Wait", "TurnOff"};

}  // namespace

std::string LogoSourcesFile() { return GetAppDir() + "logos.ini"; }

void RememberLogoSources(const std::string (&FileNames)[3]) {
  // An error already recorded belongs to the command; this record never
  // adds one of its own.
  if (!NoError()) return;
  const std::string drive = ManagedDrive().Identity();
  MonitoredKeep("Settings.RememberLogoSources", [&] {
    PrefsPrepare(LogoSourcesFile(), SOURCES_SECTION);
    std::string recordedFor;
    PrefsReadStr("Drive", recordedFor, "");
    PrefsHoldWrites();
    // Names recorded for another drive say nothing about this one's logos.
    if (recordedFor != drive) {
      for (const char* key : SOURCE_KEYS) PrefsWriteStr(key, "");
      PrefsWriteStr("Drive", drive);
    }
    for (int i = 0; i < 3; ++i)
      if (!FileNames[i].empty()) PrefsWriteStr(SOURCE_KEYS[i], FileNames[i]);
    PrefsFlushCache();
  });
  ClearError();
}

std::string LogoSource(uint32_t Position) {
  const int i = PositionIndex(Position);
  if (i < 0) return {};
  if (!FileExists(LogoSourcesFile())) return {};
  PrefsPrepare(LogoSourcesFile(), SOURCES_SECTION);
  std::string recordedFor, name;
  PrefsReadStr("Drive", recordedFor, "");
  if (recordedFor.empty() || recordedFor != ManagedDrive().Identity()) return {};
  PrefsReadStr(SOURCE_KEYS[i], name, "");
  return name;
}

void ForgetLogoSources() {
  if (!NoError() || !FileExists(LogoSourcesFile())) return;
  MonitoredKeep("Settings.ForgetLogoSources", [] {
    PrefsPrepare(LogoSourcesFile(), SOURCES_SECTION);
    PrefsWriteStr("Drive", "");
  });
  ClearError();
}

std::string GetMessages(uint32_t Position) {
  int i = PositionIndex(Position);
  return i < 0 ? std::string() : Settings().Messages[i];
}

void SetMessages(uint32_t Position, const std::string& Text) {
  int i = PositionIndex(Position);
  if (i >= 0) Settings().Messages[i] = Text;
}

int32_t EffectiveResizeMode(const TSettings& S) {
  return (S.ResizeMode == RESIZE_CROP || S.ResizeMode == RESIZE_STRETCH) ? S.ResizeMode
                                                                         : RESIZE_BORDER;
}

int32_t EffectivePickMethod(const TSettings& S) {
  return S.MsgPickMethod == PICK_RANDOM ? PICK_RANDOM : PICK_FIRST;
}

int32_t EffectivePalette(const TSettings& S) {
  return S.Palette == PALETTE_BEST ? PALETTE_BEST : PALETTE_STANDARD;
}

std::string FontFaceName(const TSettings& S) { return S.FontName.substr(0, FONT_NAME_MAX); }

}  // namespace kvo
