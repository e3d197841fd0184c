// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/IniWrap.h"

#include <optional>

#include "base/Errors.h"
#include "base/WinUtils.h"
#include "platform/Folders.h"
#include "platform/ProfileFile.h"

namespace kvo {
namespace {

struct TPrefsTarget_ {
  std::string File;
  std::string Section;
  std::optional<TProfile> Held;  // the writes PrefsHoldWrites keeps back
  std::string HeldFile;          // the file they go to
  std::string HeldFrom;          // its bytes when the hold began
};

TPrefsTarget_& Target_() {
  static TPrefsTarget_ target;
  return target;
}

bool HasTarget_() { return !Target_().File.empty() && !Target_().Section.empty(); }

// The file the target names: a bare name lives in the Windows folder, as
// win.ini does; empty when there is no Windows folder to put it in.
std::string TargetFile_() {
  const std::string& name = Target_().File;
  if (name.find('/') != std::string::npos) return name;
  std::string winDir = GetWinFolder();
  return winDir.empty() ? std::string() : FindFileNoCase(winDir, name);
}

int DigitValue_(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// A signed decimal, or hexadecimal after "$" or "0x" (which wraps at 32
// bits, so "$FFFFFFFF" is -1). Nothing else, and no overflowing decimal.
std::optional<int32_t> ParseInt_(std::string_view S) {
  bool negative = !S.empty() && S.front() == '-';
  if (!S.empty() && (S.front() == '-' || S.front() == '+')) S.remove_prefix(1);
  int base = 10;
  if (!S.empty() && S.front() == '$') {
    base = 16;
    S.remove_prefix(1);
  } else if (S.size() >= 2 && S[0] == '0' && (S[1] == 'x' || S[1] == 'X')) {
    base = 16;
    S.remove_prefix(2);
  }
  if (S.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : S) {
    int d = DigitValue_(c);
    if (d < 0 || d >= base) return std::nullopt;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFull) return std::nullopt;
  }
  if (base == 10 && v > (negative ? 2147483648ull : 2147483647ull)) return std::nullopt;
  uint32_t u = static_cast<uint32_t>(v);
  return static_cast<int32_t>(negative ? 0u - u : u);
}

}  // namespace

void PrefsPrepare(std::string_view FileName, std::string_view Section) {
  TProcScope trace("iniwrap.PrefsPrepare");
  PrefsFlushCache();
  Target_().File.assign(FileName);
  Target_().Section.assign(Section);
}

std::string _PrefsReadStr(std::string_view Key, std::string_view Default) {
  TProcScope trace("iniwrap._PrefsReadStr");
  if (!HasTarget_()) return {};
  std::string file = TargetFile_();
  std::string value;
  if (Target_().Held)
    value = ProfileGetValue(*Target_().Held, Target_().Section, Key).value_or(std::string(Default));
  else
    value = file.empty() ? std::string(Default)
                         : ProfileReadString(file, Target_().Section, Key, Default);
  if (value.size() > PREFS_VALUE_MAX) value.resize(PREFS_VALUE_MAX);
  return value;
}

void _PrefsWriteStr(std::string_view Key, std::string_view Value) {
  TProcScope trace("iniwrap._PrefsWriteStr");
  if (!HasTarget_()) return;
  std::string file = TargetFile_();
  // A failed write is not reported: preferences are best effort, and the
  // callers go on with the value they hold in memory.
  if (Target_().Held)
    ProfileSetValue(*Target_().Held, Target_().Section, Key, Value);
  else if (!file.empty())
    ProfileWriteString(file, Target_().Section, Key, Value);
}

void PrefsHoldWrites() {
  TProcScope trace("iniwrap.PrefsHoldWrites");
  PrefsFlushCache();
  std::string file = HasTarget_() ? TargetFile_() : std::string();
  TProfile p;
  if (file.empty() || !ProfileLoad(file, p)) return;
  Target_().HeldFrom = ProfileSerialise(p);
  Target_().Held = std::move(p);
  Target_().HeldFile = file;
}

bool PrefsFlushCache() {
  TProcScope trace("iniwrap.PrefsFlushCache");
  TPrefsTarget_& t = Target_();
  if (!t.Held) return true;
  std::string bytes = ProfileSerialise(*t.Held);
  t.Held.reset();
  // Unchanged values do not touch the file, as single writes would not.
  return bytes == t.HeldFrom || ReplaceFileAtomic(t.HeldFile, bytes);
}

void PrefsReadStr(std::string_view Key, std::string& Value, std::string_view Default) {
  TProcScope trace("iniwrap.PrefsReadStr");
  Value = _PrefsReadStr(Key, Default);
}

void PrefsReadInt(std::string_view Key, int32_t& Value, int32_t Default) {
  TProcScope trace("iniwrap.PrefsReadInt");
  Value = ParseInt_(_PrefsReadStr(Key, "")).value_or(Default);
}

void PrefsReadBool(std::string_view Key, bool& Value, bool Default) {
  TProcScope trace("iniwrap.PrefsReadBool");
  std::string text = _PrefsReadStr(Key, "");
  Value = Default;
  if (text.empty()) return;
  switch (text.front()) {
    case '1': case 'T': case 't': case 'Y': case 'y': Value = true; break;
    case '0': case 'F': case 'f': case 'N': case 'n': Value = false; break;
    default: break;
  }
}

void PrefsWriteStr(std::string_view Key, std::string_view Value) {
  TProcScope trace("iniwrap.PrefsWriteStr");
  _PrefsWriteStr(Key, Value);
}

void PrefsWriteInt(std::string_view Key, int32_t Value) {
  TProcScope trace("iniwrap.PrefsWriteInt");
  _PrefsWriteStr(Key, std::to_string(Value));
}

void PrefsWriteBool(std::string_view Key, bool Value) {
  TProcScope trace("iniwrap.PrefsWriteBool");
  _PrefsWriteStr(Key, Value ? "1" : "0");
}

}  // namespace kvo
