// SPDX-License-Identifier: GPL-3.0-or-later
// MSDOS.SYS of Windows 95 and 98: the text file in the root of the boot
// drive whose [Options] section tells the start-up what to do. Two of its
// keys decide whether the logos are seen at all: Logo=0 leaves out the
// Startup logo (boot-tuning guides recommend it to save a second), and
// BootGUI=0 stops at the command prompt before any logo.
//
// Reading follows the start-up's own habits: the section and key names in
// any letter case, blanks around them and around the value ignored, lines
// whose first non-blank character is ';' skipped, the first line of a key
// winning, and nothing after the end-of-file mark (^Z, 26) read. A key that
// is absent has the value Windows gives it, 1 for both.
// The MSDOS.SYS of MS-DOS and Windows 3.x is a program, not text: it says
// nothing about logos and is never written.
//
// Writing changes the value of Logo= and nothing else: every other byte
// (line ends, letter case, spacing, the ';' lines that keep the file over
// 1024 bytes, other keys, all that follows an end-of-file mark) stays as
// it was.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvo {

inline constexpr const char* MSDOS_SYS = "MSDOS.SYS";

enum class TMsdosForm {
  Missing,     // no such file on the drive
  Text,        // the text file of Windows 95 or 98
  NotText,     // another form (the MS-DOS program) or not a file of Windows at all
  Unreadable,  // there, but it could not be read (or is larger than any MSDOS.SYS)
};

struct TMsdosSys {
  TMsdosForm Form = TMsdosForm::Missing;
  int32_t Logo = 1;      // [Options] Logo=, 0 or 1
  int32_t BootGui = 1;   // [Options] BootGUI=, 0 or 1
  bool LogoKey = false;  // whether the file has a Logo= line
};

// Whether Bytes can be the text MSDOS.SYS: no control characters but tabs,
// line ends, form feeds and the end-of-file mark 26.
bool IsMsdosText(std::string_view Bytes);
// The settings Bytes holds; Form is Text or NotText.
TMsdosSys ParseMsdosSys(std::string_view Bytes);
// Bytes with Logo= set to 1 (On) or 0: the value of every Logo= line of
// [Options] that says otherwise replaced, or, when there is no such line,
// a "Logo=0" line added after the last key of the first [Options] section
// (a new section at the end when there is none). Bytes unchanged when they
// already say so, or are not the text form.
std::string MsdosWithLogo(std::string_view Bytes, bool On);

}  // namespace kvo
