// SPDX-License-Identifier: GPL-3.0-or-later
// Command lines in their two dialects: the Windows one that values of the
// Run key hold ("C:\path with blanks\prog.exe" /switch), and the Exec line
// of a desktop entry, which is what the Run key becomes on Linux.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kvo {

// ---- Windows command lines ---------------------------------------------------------

// Splits a command line into arguments the way Windows programs receive
// them: blanks (space, tab) separate arguments, double quotes group blanks
// into one. The program name (the first argument) ends at its closing quote
// or at the first blank, and backslashes in it are plain characters. In the
// other arguments 2n backslashes before a quote give n backslashes and the
// quote opens or closes a group, 2n+1 give n backslashes and a literal quote,
// and "" inside a group is a literal quote; backslashes before anything else
// are plain characters.
std::vector<std::string> SplitCommandLine(std::string_view Line);
// Splits a parameter text (a command line without its program name): every
// argument follows the rules of the arguments after the program name.
std::vector<std::string> SplitArguments(std::string_view Params);
// The inverse of SplitCommandLine: arguments joined with one blank, each put
// in quotes (and escaped) only when it is empty or holds blanks or quotes.
std::string JoinCommandLine(const std::vector<std::string>& Args);

// ---- desktop entries -----------------------------------------------------------------

// The general escaping of desktop entry string values: "\\" for a backslash,
// "\n", "\t", "\r" for those characters and "\s" for a leading blank.
std::string DesktopEscapeString(std::string_view Text);
// Undoes DesktopEscapeString. Unknown escapes are kept as they are, so the
// Exec quoting below still sees them.
std::string DesktopUnescapeString(std::string_view Text);

// The value of an Exec key that runs Args: each argument holding a reserved
// character is put in double quotes with '"', '`', '$' and '\' escaped by a
// backslash, every '%' is doubled, and the whole is escaped as a string
// value.
std::string DesktopExecLine(const std::vector<std::string>& Args);
// The arguments of an Exec value: unescaped as a string value, then split at
// unquoted blanks. "%%" gives '%'; other field codes (%f, %U, ...) stand for
// files the launcher would pass and are dropped.
std::vector<std::string> DesktopExecArgs(std::string_view ExecValue);

}  // namespace kvo
