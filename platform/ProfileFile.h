// SPDX-License-Identifier: GPL-3.0-or-later
// Profile (ini) files with the semantics of the Windows private-profile
// functions, which kvo.ini, win.ini and the registry stand-in rely on.
//
// Reading: section and key names match without regard to (ASCII) letter
// case; the first of duplicate sections or keys wins; a value is trimmed of
// blanks and tabs, and one matching pair of surrounding double or single
// quotes is dropped, as GetPrivateProfileString does. Lines whose first
// non-blank character is ';' are comments.
//
// Writing: every line the write does not change (comments, blank lines,
// lines that are neither section nor key, other sections and keys, their
// order and their own line ends) stays byte for byte. A key that exists is
// replaced in its line; a new key goes to the end of its section, before the
// section's trailing blank lines; a new section goes to the end of the file.
// New lines take the line end the file already uses (CR LF for a new file,
// as win.ini has). The file is replaced atomically: a failed write leaves the
// old file as it was.
//
// Files larger than ProfileMaxSize or with more than ProfileMaxLines lines
// are not profiles of ours; they read as missing and are never overwritten.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvo {

inline constexpr int64_t ProfileMaxSize = 16 * 1024 * 1024;
inline constexpr size_t ProfileMaxLines = 1024 * 1024;

// One line of a profile file and the line end that closed it ("\r\n", "\n",
// "\r", or empty for a last line without one).
struct TProfileLine {
  std::string Text;
  std::string Eol;
};

// A whole profile file in memory, line by line.
struct TProfile {
  std::vector<TProfileLine> Lines;
  std::string Eol = "\r\n";  // line end for lines the writer adds
};

// ---- in memory ------------------------------------------------------------------

// Splits Bytes into lines at CR LF, LF or a lone CR; any byte value is kept.
// The line end style for new lines is the file's first line end.
TProfile ProfileParse(std::string_view Bytes);
// The exact inverse of ProfileParse for an unchanged profile.
std::string ProfileSerialise(const TProfile& Profile);

// The value of Key in the first Section, trimmed and unquoted; nullopt when
// the section or the key is missing.
std::optional<std::string> ProfileGetValue(const TProfile& Profile, std::string_view Section,
                                           std::string_view Key);
// Sets Key=Value in the first Section, creating the section when needed.
// Section and Key are trimmed first. False (and Profile unchanged) when the
// names or the value cannot be stored in a profile line: empty names, line
// breaks anywhere, a key with '=' or starting with '[' or ';'.
bool ProfileSetValue(TProfile& Profile, std::string_view Section, std::string_view Key,
                     std::string_view Value);
// Removes every line of Key in the first Section; true when one was removed.
bool ProfileRemoveKey(TProfile& Profile, std::string_view Section, std::string_view Key);
// Removes every section named Section with all its lines; true when one was
// removed.
bool ProfileRemoveSection(TProfile& Profile, std::string_view Section);
// Appends an empty Section when no section of that name exists. False when
// the name cannot be stored.
bool ProfileAddSection(TProfile& Profile, std::string_view Section);
// The key names of the first Section in file order, each once (first
// spelling).
std::vector<std::string> ProfileListKeys(const TProfile& Profile, std::string_view Section);
// The section names in file order, each once (first spelling).
std::vector<std::string> ProfileListSections(const TProfile& Profile);

// ---- on disk --------------------------------------------------------------------

// Reads File whole. True with an empty Profile for a missing file; false for
// a file that exists but cannot be read, is not a regular file, or exceeds
// ProfileMaxSize or ProfileMaxLines.
bool ProfileLoad(const std::string& File, TProfile& Profile);
// Writes Profile to File atomically, keeping File's permission bits.
bool ProfileSave(const std::string& File, const TProfile& Profile);
// What a replacement does with a symbolic link in the target's place:
// Follow replaces the file it names and keeps the link (the program's own
// settings); Replace puts the new file in place of the link itself, so a
// link planted in a shared folder never sends a write elsewhere.
enum class TLinks { Follow, Replace };

// Replaces Path by Bytes atomically: a temporary file in the same folder is
// written, flushed and renamed over Path. The permission bits of an
// existing file are kept; a new file gets 0666 less the umask.
bool ReplaceFileAtomic(const std::string& Path, std::string_view Bytes,
                       TLinks Links = TLinks::Follow);

// A replacement in the making: the new file is written under Temp, beside
// Target, and only a commit puts it in Target's place. Every file the
// program writes over goes this way (the tracked file layer's FM_CREATE
// too), so a failed write never costs the old file.
struct TReplacement {
  int Fd = -1;         // open for reading and writing
  std::string Target;  // the file replaced (a symbolic link's target)
  std::string Temp;    // "<target name>.kvo-tmp-XXXXXX" in Target's folder
};
// Creates Temp with the permission bits the new file is to have. False (R
// empty) when Path is not a regular file or the folder takes no new file.
bool ReplaceBegin(const std::string& Path, TReplacement& R, TLinks Links = TLinks::Follow);
// Flushes and closes Fd (unless the caller already closed it and set Fd to
// -1) and renames Temp over Target. False, with Temp removed, when any step
// fails; R is empty afterwards either way.
bool ReplaceCommit(TReplacement& R);
// Closes Fd and removes Temp; Target stays as it was.
void ReplaceAbandon(TReplacement& R);

std::string ProfileReadString(const std::string& File, std::string_view Section,
                              std::string_view Key, std::string_view Default);
// False when the file cannot be read or written, or the names or the value
// cannot be stored (see ProfileSetValue). Rewriting an unchanged value does
// not touch the file.
bool ProfileWriteString(const std::string& File, std::string_view Section, std::string_view Key,
                        std::string_view Value);
// True when the key is gone afterwards (also when it never existed; a
// missing file is not created).
bool ProfileDeleteKey(const std::string& File, std::string_view Section, std::string_view Key);
// True when the section is gone afterwards (also when it never existed).
bool ProfileDeleteSection(const std::string& File, std::string_view Section);
// Creates Section (empty) when the file has none of that name.
bool ProfileCreateSection(const std::string& File, std::string_view Section);
std::vector<std::string> ProfileSectionKeys(const std::string& File, std::string_view Section);
std::vector<std::string> ProfileSections(const std::string& File);

}  // namespace kvo
