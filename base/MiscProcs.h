// SPDX-License-Identifier: GPL-3.0-or-later
// Small file-name, text, number and file helpers used throughout the program.
//
// Paths are host paths: "/" separates folders, and a folder that "ends in a
// separator" ends in "/".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvo {

// Flags of SecToStr (bits).
inline constexpr int STS_HOURS = 1;     // always show hours
inline constexpr int STS_MINUTES = 2;   // always show minutes
inline constexpr int STS_SECONDS = 4;   // always show seconds
inline constexpr int STS_MSEC = 8;      // always show milliseconds
inline constexpr int STS_NO_MSEC = 16;  // never show milliseconds

// Path with "/" appended when it does not end in one; empty stays empty.
std::string AddBS(std::string_view Path);

// The application folder, with a trailing "/": the executable's folder when
// it holds a writable kvo.ini (portable mode), otherwise the configuration
// folder of the desktop session.
std::string GetAppDir();
// GetAppDir for a given executable folder (with or without trailing "/").
std::string AppDirFor(std::string_view ExeDir);

// Size in bytes of the first file or folder matching Name; "*" and "?" may
// appear in the final component. INVALID_ID when nothing matches.
int64_t GetFileSize(std::string_view Name);
// Size with one unit ("1.5 kB", "3.0 GB").
std::string GetFileSizeStr(double Size);

// Text read as hexadecimal digits; Default when empty or not hexadecimal.
// The value wraps at 32 bits.
int32_t HexToInt(std::string_view Text, int32_t Default);

// The whole text file with its lines joined by CR LF. Never raises and
// reports nothing; a missing or unreadable file gives what was read so far.
std::string FileToStr(std::string_view Name);
// Writes Text and one CR LF; Append adds to an existing file, otherwise the
// file is created or truncated. Never raises and reports nothing.
void StrToFile(std::string_view Name, std::string_view Text, bool Append);

// The multiple of Step nearest to Value on the side of zero.
double DivisibleFloat(double Value, double Step);

// Seconds as "hh:mm:ss.mmm", leaving out empty leading parts (STS_* flags).
std::string SecToStr(double Seconds, int Flags);

// Name with its extension replaced by Ext ("." added when missing); an empty
// Ext removes the extension.
// The file name without its folder (the part after the last "/").
std::string ExtractFileName(std::string_view Path);
std::string ForceFileExt(std::string_view Name, std::string_view Ext);

// Creates Folder and its missing parents; true when it exists afterwards.
// Throws std::runtime_error("Unable to create directory") for an empty name.
bool MakeLongDir(const std::string& Folder);

// Every Old replaced by New, searching from the start after each
// replacement. Empty text when New contains Old; Text when Old is empty.
std::string ReplaceStr(std::string_view Text, std::string_view Old, std::string_view New);

// 1-based position of Sub in Text at or after Start (below 1 counts as 1);
// 0 when there is none or either is empty.
int PosFrom(std::string_view Sub, std::string_view Text, int Start);

std::string IIfStr(bool Condition, std::string_view A, std::string_view B);
int32_t IIfInt(bool Condition, int32_t A, int32_t B);

// Exchanges the red and blue bytes of a 0x00BBGGRR colour.
constexpr uint32_t SwapRB(uint32_t Color) {
  return (Color & 0xFF00FF00u) | ((Color & 0xFFu) << 16) | ((Color >> 16) & 0xFFu);
}

}  // namespace kvo
