// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/LogoCheck.h"

#include <cstdlib>

#include "base/Basic.h"
#include "base/Errors.h"
#include "core/Backup.h"
#include "core/Composer.h"
#include "core/Locations.h"
#include "formats/ByteCursor.h"

namespace kvo {
namespace {

// The bitmap file header and the Windows 3 information header.
constexpr size_t BMP_HEADERS = 14 + 40;

std::string ShowingText(const TLogoSetting& S) {
  switch (S.Showing) {
    case TLogoShowing::All: return "Windows shows the logos.";
    case TLogoShowing::NoStartup: return "Windows will not show the Startup logo: MSDOS.SYS has Logo=0.";
    case TLogoShowing::None:
      return "Windows starts at the command prompt (BootGUI=0): no logo is shown.";
    case TLogoShowing::NotKnown: break;
  }
  const std::string lead = "Whether Windows shows the logos is not known: ";
  switch (S.Msdos.Form) {
    case TMsdosForm::Missing: return lead + "the drive has no MSDOS.SYS.";
    case TMsdosForm::NotText: return lead + "MSDOS.SYS is not the text file of Windows 95 or 98.";
    default: return lead + S.Error;
  }
}

// The header fields a logo is judged by, read from a header known to be
// long enough.
struct TBmpHead {
  uint32_t HeaderSize = 0;
  int32_t Width = 0, Height = 0;
  uint16_t Bits = 0;
  uint32_t Compression = 0, Important = 0;
};

bool ReadBmpHead(std::string_view Head, TBmpHead& H) {
  if (Head.size() < BMP_HEADERS || Head[0] != 'B' || Head[1] != 'M') return false;
  TByteCursor c = CurMake(reinterpret_cast<const uint8_t*>(Head.data()), BMP_HEADERS);
  c.pos = 14;
  H.HeaderSize = CurU32LE(c);
  if (H.HeaderSize < 40) return false;  // the OS/2 form has none of these fields
  H.Width = static_cast<int32_t>(CurU32LE(c));
  H.Height = static_cast<int32_t>(CurU32LE(c));
  CurU16LE(c);  // planes
  H.Bits = CurU16LE(c);
  H.Compression = CurU32LE(c);
  c.pos = static_cast<size_t>(BMP_IMPORTANT_COLORS_OFFSET);
  H.Important = CurU32LE(c);
  return true;
}

}  // namespace

TLogoSetting ReadLogoSetting(TDrive& Drive) {
  TLogoSetting s;
  // A drive whose root is not known has no MSDOS.SYS to look for.
  if (!Drive.Root().empty()) s.Path = Drive.FindNoCase(Drive.Root(), MSDOS_SYS);
  if (s.Path.empty() || !Drive.FileExists(s.Path)) {
    s.Msdos.Form = TMsdosForm::Missing;
  } else if (!Drive.ReadFile(s.Path, s.Bytes, MAX_TEXT_FILE_BYTES)) {
    s.Msdos.Form = TMsdosForm::Unreadable;
    s.Error = Drive.LastError();
  } else {
    s.Msdos = ParseMsdosSys(s.Bytes);
  }
  if (s.Msdos.Form == TMsdosForm::Text)
    s.Showing = !s.Msdos.BootGui ? TLogoShowing::None
                : !s.Msdos.Logo  ? TLogoShowing::NoStartup
                                 : TLogoShowing::All;
  s.Text = ShowingText(s);
  return s;
}

bool WindowsShowsLogo(const TLogoSetting& Setting, uint32_t Position) {
  if (Setting.Showing == TLogoShowing::None) return false;
  return !(Setting.Showing == TLogoShowing::NoStartup && Position == POS_STARTUP);
}

std::string UnseenLogoWarning(const TLogoSetting& Setting, uint32_t Positions) {
  for (uint32_t p : POSITIONS)
    if ((Positions & p) && !WindowsShowsLogo(Setting, p)) return Setting.Text;
  return {};
}

bool SwitchStartupLogo(bool On, std::string& Error) {
  TDrive& drive = ManagedDrive();
  TDriveLock lock(drive);
  if (!lock.Held()) {
    Error = drive.LastError();
    return false;
  }
  const TLogoSetting s = ReadLogoSetting(drive);
  if (s.Msdos.Form != TMsdosForm::Text) {
    // Only the text file of Windows 95 and 98 has the setting; writing one
    // anywhere else could keep the system from starting.
    Error = s.Msdos.Form == TMsdosForm::Unreadable ? s.Error : s.Text + " It is left as it is.";
    return false;
  }
  const std::string changed = MsdosWithLogo(s.Bytes, On);
  if (changed == s.Bytes) return true;
  // The original comes back with Restore, as the logos do.
  if (!BackupMsdosSys(s.Path)) {
    Error = "MSDOS.SYS could not be backed up, so it was not changed.";
    if (!drive.LastError().empty()) Error += " " + drive.LastError();
    return false;
  }
  if (drive.ReplaceFile(s.Path, changed)) return true;
  Error = drive.LastError();
  return false;
}

std::string LogoFileProblem(std::string_view Head, uint64_t FileSize) {
  TBmpHead h;
  if (!ReadBmpHead(Head, h)) return "not a bitmap";
  if (h.Bits != 8) return std::to_string(h.Bits) + "-bit picture";
  if (h.Compression != 0) return "compressed";
  if (h.Width == LOGO_WIDTH && h.Height == -LOGO_HEIGHT) return "stored top-down";
  if (h.Width != LOGO_WIDTH || h.Height != LOGO_HEIGHT)
    return std::to_string(h.Width) + " \u00d7 " + std::to_string(std::abs(static_cast<int64_t>(h.Height)));
  if (h.HeaderSize != 40) return "bitmap header of " + std::to_string(h.HeaderSize) + " bytes, not 40";
  if (FileSize != LOGO_FILE_BYTES)
    return GroupedDigits(FileSize) + " bytes, not " + GroupedDigits(LOGO_FILE_BYTES);
  return {};
}

bool LogoFileAnimated(std::string_view Head) {
  TBmpHead h;
  return ReadBmpHead(Head, h) && h.Important >= 1 && h.Important <= 255;
}

TLogoFileState CheckLogoFile(TDrive& Drive, uint32_t Position) {
  TLogoFileState st;
  st.Position = Position;
  st.Path = DefaultLogoFile(Drive, Position);
  st.Present = Drive.FileExists(st.Path);
  if (!st.Present) {
    st.Text = Position == POS_STARTUP ? "missing (Windows shows its own logo)" : "missing";
    return st;
  }
  // A file larger than any logo is not read at all; its header alone
  // decides the rest.
  std::string bytes;
  if (!Drive.ReadFile(st.Path, bytes, MAX_LOGO_FILE_BYTES)) {
    st.Text = "present, but it cannot be read: " + Drive.LastError();
    return st;
  }
  const std::string_view head = std::string_view(bytes).substr(0, BMP_HEADERS);
  const std::string problem = LogoFileProblem(head, bytes.size());
  st.Showable = problem.empty();
  if (!st.Showable)
    st.Text = "present, but Windows cannot show it: " + problem;
  else if (Position == POS_STARTUP && !LogoFileAnimated(head))
    st.Text = "present, not animated";
  else
    st.Text = "present";
  return st;
}

std::string BuiltInLogoNote(uint32_t Position) {
  if (Position != POS_STARTUP) return {};
  TDrive& drive = ManagedDrive();
  const std::string logo = GetLogoFile(POS_STARTUP);
  if (logo.empty() || drive.FileExists(logo)) return {};
  return "There is no Startup logo file (" + GuestPath(drive, logo) +
         "): Windows shows its built-in logo.";
}

}  // namespace kvo
