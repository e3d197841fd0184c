// SPDX-License-Identifier: GPL-3.0-or-later
// What Windows will really show: whether MSDOS.SYS lets the logos appear at
// all, whether each logo file is one Windows can show, and the switch of
// the Startup logo in MSDOS.SYS. A new logo that never appears is most often
// explained here rather than by the picture.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "drive/Drive.h"
#include "drive/MsdosSys.h"

namespace kvo {

// The only logo file Windows shows: a 320 x 400, 8-bit, uncompressed
// bitmap with the 40-byte header and 256 palette entries.
inline constexpr uint64_t LOGO_FILE_BYTES = 129078;

enum class TLogoShowing {
  All,        // Windows shows the logos
  NoStartup,  // Logo=0: the others still show
  None,       // BootGUI=0: the command prompt, no logo at all
  NotKnown,   // no MSDOS.SYS of Windows 95 or 98 to tell
};

struct TLogoSetting {
  std::string Path;  // MSDOS.SYS as a drive path
  std::string Bytes;  // its contents, as read
  TMsdosSys Msdos;
  std::string Error;  // why it could not be read (Form Unreadable)
  TLogoShowing Showing = TLogoShowing::NotKnown;
  std::string Text;  // the sentence for the user
};

// MSDOS.SYS of Drive's root as the start-up of Windows reads it.
TLogoSetting ReadLogoSetting(TDrive& Drive);
// Whether Windows shows a logo written at Position under Setting (a
// setting not known counts as showing).
bool WindowsShowsLogo(const TLogoSetting& Setting, uint32_t Position);
// The sentence Set warns with when one of the Positions it wrote will not
// be shown; empty when all will be.
std::string UnseenLogoWarning(const TLogoSetting& Setting, uint32_t Positions);

// Switches the Startup logo of the managed drive on or off in MSDOS.SYS
// (Logo=1 or 0), backing the file up before its first change. False with
// the reason in Error when MSDOS.SYS is missing, not the text file of
// Windows 95 or 98, or cannot be written; a file that already says so is
// left untouched.
bool SwitchStartupLogo(bool On, std::string& Error);

// Why Windows cannot show the logo file whose first bytes are Head and
// whose size is FileSize ("24-bit picture", "compressed", "640 × 480", "not
// a bitmap", ...); empty when it can.
std::string LogoFileProblem(std::string_view Head, uint64_t FileSize);
// Whether a Startup logo with this header rotates its palette: its
// important-colours field lies in 1 .. 255.
bool LogoFileAnimated(std::string_view Head);

struct TLogoFileState {
  uint32_t Position = 0;
  std::string Path;      // where Windows looks, as a drive path
  bool Present = false;
  bool Showable = false;  // present and of the one form Windows shows
  std::string Text;       // "present", "missing", "present, but Windows cannot show it: ..."
};
// The logo file Windows reads for Position on Drive, judged from its header.
TLogoFileState CheckLogoFile(TDrive& Drive, uint32_t Position);
// The sentence shown instead of a picture when the Startup logo file is
// missing: Windows shows its built-in logo. Empty when Position is another
// or its file is there.
std::string BuiltInLogoNote(uint32_t Position);

}  // namespace kvo
