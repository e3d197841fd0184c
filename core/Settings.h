// SPDX-License-Identifier: GPL-3.0-or-later
// The settings of the logo manager (kvo.ini, section "Main") and the three
// message texts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ProcessLock.h"

namespace kvo {

inline constexpr int32_t RESIZE_BORDER = 0;
inline constexpr int32_t RESIZE_CROP = 1;
inline constexpr int32_t RESIZE_STRETCH = 2;

// How an imported picture is reduced to the logo palette: the program's own
// median cut with its dithering ("Standard"), or libimagequant's palette and
// remap ("Best"), which keeps smooth gradients of photographs smoother.
inline constexpr int32_t PALETTE_STANDARD = 0;
inline constexpr int32_t PALETTE_BEST = 1;

// The rate of the PC timer that drives the rotation at boot: the default
// of the AnimSpeed setting.
inline constexpr int32_t ANIM_STEPS_PER_SECOND = 18;
inline constexpr int32_t ANIM_TOP = 0;
inline constexpr int32_t ANIM_BOTTOM = 1;
inline constexpr int32_t ANIM_VERTICAL = 2;
inline constexpr int32_t ANIM_SMOOTH = 0;
inline constexpr int32_t ANIM_VEGAS = 1;

inline constexpr int32_t PICK_RANDOM = 0;
inline constexpr int32_t PICK_FIRST = 1;

// Only this many characters of FontName name the face; the cut is made
// when the font is created, so the setting keeps what the user typed.
inline constexpr size_t FONT_NAME_MAX = 32;

inline constexpr const char* SETTINGS_SECTION = "Main";

struct TSettings {
  std::string GalDir = "/";
  std::string LogoFile[3];  // LogoFile0 .. LogoFile2
  std::string LogoDrive;    // the drive (TDrive::Identity) the logo files were chosen on
  std::string FileOpenDir = "/";
  int32_t ResizeMode = RESIZE_BORDER;
  int32_t Palette = PALETTE_STANDARD;  // the reduction of imported pictures
  // Off for a new user: the log-in job that puts random logos on the drive
  // exists only once the user turned it on. A kvo.ini that says
  // AutoChange=1 keeps it on.
  bool AutoChange = false;
  std::string FontName = "Verdana";
  bool FontBold = true;
  bool FontItalic = false;
  bool FontUnderline = false;
  bool FontStrikeout = false;
  int32_t FontSize = 10;
  uint32_t TextColor = 16777215;
  uint32_t TextBorderColor = 0;
  bool AnimEnabled = true;
  int32_t AnimShape = ANIM_BOTTOM;
  int32_t AnimMove = ANIM_SMOOTH;
  uint32_t AnimColor1 = 16744448;
  uint32_t AnimColor2 = 8404992;
  int32_t AnimSpeed = ANIM_STEPS_PER_SECOND;  // palette steps a second in the previews
  bool MsgEnabled[3] = {true, true, true};  // Msg0Enabled .. Msg2Enabled
  int32_t MsgPickMethod = PICK_RANDOM;
  std::string Messages[3];  // startup, wait, turn off; UTF-8 with CR LF line breaks
  std::string StorageDir;   // kept in the program's own win.ini, not in kvo.ini
};

// The one settings record of the program.
TSettings& Settings();

void LoadSettings(bool ReadMessages);
// LoadSettings without its duties as the program's start: the executable
// path and the Run value are left alone (the kvo command reads settings
// but is not the program automatic change starts).
void ReadSettings(bool ReadMessages);
void SaveSettings(bool WriteMessages);
// After another drive was chosen: its own logo files take the place of the
// old drive's. The pictures stay those the user has: only a Windows folder
// whose own win.ini names a storage folder brings that store with it.
// Nothing on the drive is written.
void DriveChanged();
// Turns automatic change off where it is stored: the setting in memory, and
// kvo.ini's AutoChange key when the file says on. The file is not created
// for it (without one, automatic change is off anyway).
void StoreAutoChangeOff();

// Which stored picture (file name) each logo of the managed drive was last
// written from, kept in the settings file with the drive it belongs to, so
// the window can mark those pictures in the list. Empty when unknown, when
// written for another drive, or after the originals were restored.
// The record lives in a file of its own beside the settings, written in one
// step once a command has written all its logos; it is a convenience, so a
// failure to write it is not reported and leaves the old record.
void RememberLogoSources(const std::string (&FileNames)[3]);  // empty: unchanged
std::string LogoSource(uint32_t Position);
void ForgetLogoSources();
std::string LogoSourcesFile();
std::string GetMessages(uint32_t Position);
void SetMessages(uint32_t Position, const std::string& Text);

// The settings file and the message file of a position, in the
// application folder.
std::string SettingsFile();
// The program's own win.ini, beside the settings file: the storage folder
// is remembered there between runs. A managed drive's win.ini is only read.
std::string OwnWinIniFile();
std::string MessageFile(uint32_t Position);

// ---- one change at a time ---------------------------------------------------------
// Every command that writes the store, the logos or restore.bat holds the
// change lock (the lock file ChangeLockFile(), beside the settings) from
// before it reads what it changes until it has finished, so two runs of the
// program (the window, kvo, "/shuffle" at session start) never interleave.
inline constexpr const char* CHANGE_LOCK_BUSY =
    "Another KvoPanoramics is changing the logos; try again.";
// How long a command waits for another run's change to end.
inline constexpr std::chrono::milliseconds CHANGE_LOCK_WAIT{2000};
// "/shuffle" at session start waits longer, then skips without a word:
// the window started by the same login may be changing the logos.
inline constexpr std::chrono::milliseconds SESSION_LOCK_WAIT{5000};

std::string ChangeLockFile();

class TChangeLock {
 public:
  // Waits up to Wait for another run's change to end; when it does not,
  // says CHANGE_LOCK_BUSY (unless Quiet) and Held() is false.
  explicit TChangeLock(bool Quiet = false, std::chrono::milliseconds Wait = CHANGE_LOCK_WAIT);
  bool Held() const { return Lock_.Held(); }
  bool Exclusive() const { return Lock_.Exclusive(); }

 private:
  TProcessLock Lock_;
};

// The values as they act: an unknown ResizeMode fits like RESIZE_BORDER,
// an unknown MsgPickMethod picks like PICK_FIRST. The settings keep what was
// stored, so a value written by a newer version survives a save.
int32_t EffectiveResizeMode(const TSettings& S);
int32_t EffectivePickMethod(const TSettings& S);
// An unknown Palette reduces as PALETTE_STANDARD.
int32_t EffectivePalette(const TSettings& S);
// The face name the message font is created with: the first FONT_NAME_MAX
// characters of FontName.
std::string FontFaceName(const TSettings& S);

}  // namespace kvo
