// SPDX-License-Identifier: GPL-3.0-or-later
// Preferences: one current profile file and section, set by PrefsPrepare,
// that every read and write goes to. Each call reads or writes the file, so
// two targets can be used in turn by calling PrefsPrepare again; only
// between PrefsHoldWrites and PrefsFlushCache are the writes kept in memory
// and then written in one step, so that a failure leaves the file all old
// or all new.
//
// A file name without a "/" names the file in the Windows folder, as it does
// for the Windows profile functions: PrefsPrepare("win.ini", ...) reaches
// the win.ini of the managed drive (found whatever its letter case).
//
// Until a file and a section are both set, reads give empty text (the typed
// readers their default) and writes do nothing. Reads never fail.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvo {

// Longest value a read delivers, as the fixed read buffer allowed.
inline constexpr size_t PREFS_VALUE_MAX = 1023;

void PrefsPrepare(std::string_view FileName, std::string_view Section);

// Key of the current section, Default when it is missing; at most
// PREFS_VALUE_MAX characters; empty text when no target is set.
std::string _PrefsReadStr(std::string_view Key, std::string_view Default);
void _PrefsWriteStr(std::string_view Key, std::string_view Value);
// Keeps the writes to the current target that follow in memory (reads see
// them) until PrefsFlushCache or the next PrefsPrepare writes them at once.
// A file that cannot be read is not held: its writes go on one by one.
void PrefsHoldWrites();
// Writes what PrefsHoldWrites held back. False when that write failed;
// true when nothing was held.
bool PrefsFlushCache();

void PrefsReadStr(std::string_view Key, std::string& Value, std::string_view Default);
// Default when the value is empty or not an integer (decimal, or hexadecimal
// after "$" or "0x").
void PrefsReadInt(std::string_view Key, int32_t& Value, int32_t Default);
// The first character decides: 1, T, Y true; 0, F, N false (any case);
// anything else, or no value, gives Default.
void PrefsReadBool(std::string_view Key, bool& Value, bool Default);
void PrefsWriteStr(std::string_view Key, std::string_view Value);
void PrefsWriteInt(std::string_view Key, int32_t Value);
// Stores "1" or "0".
void PrefsWriteBool(std::string_view Key, bool Value);

}  // namespace kvo
