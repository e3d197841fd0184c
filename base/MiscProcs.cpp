// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/MiscProcs.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>

#include "base/Basic.h"
#include "base/Errors.h"
#include "platform/Folders.h"

namespace kvo {
namespace {

// Puts a routine's name on the trace name stack for its lifetime, so an
// early return or an exception cannot leave it behind.
// Runs Body inside two nested keeping frames. A failure of the tracked file
// layer then stops here: the failing frame closes what Body opened, and the
// recorded error is cleared, because these helpers report nothing.
template <class F>
void KeptTwice(const char* Name, F&& Body) {
  TProcScope trace(Name);
  MonEnterKeep();
  try {
    MonEnterKeep();
    try {
      Body();
    } catch (...) {
      MonExcept();
    }
    MonLeave();
  } catch (...) {
    MonExcept();
  }
  MonLeave();
  ClearError();
}

// ---- wildcard search ------------------------------------------------------

// Only "*" and "?" are wildcards, as in a Windows file mask; "[" and "\"
// are ordinary characters of a name.
std::string MaskToPattern(std::string_view Mask) {
  std::string p;
  for (char c : Mask) {
    if (c == '[' || c == ']' || c == '\\') p += '\\';
    p += c;
  }
  return p;
}

// Windows mask matching: without regard to letter case (a managed drive is
// FAT-born), leading dots are not special, and a mask ending in ".*" also
// matches a name without any extension ("pic.*" finds "pic", "*.*" finds
// everything).
bool MaskMatches(std::string_view Mask, const char* Entry) {
  const int flags = FNM_CASEFOLD;
  if (::fnmatch(MaskToPattern(Mask).c_str(), Entry, flags) == 0) return true;
  if (Mask.size() >= 2 && Mask.substr(Mask.size() - 2) == ".*")
    return ::fnmatch(MaskToPattern(Mask.substr(0, Mask.size() - 2)).c_str(), Entry, flags) == 0;
  return false;
}

// The matching entry of Folder that sorts first, so the answer does not
// depend on the order in which the file system lists its entries.
std::optional<std::string> FirstMatch(const std::string& Folder, std::string_view Mask) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(Folder.empty() ? "." : Folder.c_str()),
                                          ::closedir);
  if (!dir) return std::nullopt;
  std::optional<std::string> best;
  while (const dirent* e = ::readdir(dir.get())) {
    std::string_view n = e->d_name;
    if (n == "." || n == "..") continue;
    if (!MaskMatches(Mask, e->d_name)) continue;
    if (!best || n < *best) best = std::string(n);
  }
  return best;
}

// A folder's size is 0, so sizes shown or added up count files alone; only
// files have a size of their own.
int64_t SizeOf(const std::string& Path) {
  struct stat st {};
  if (::stat(Path.c_str(), &st) != 0) return INVALID_ID;
  return S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
}

std::string FormatFixed1(double Value) { return RealToStr(Value, 0, 1); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string AddBS(std::string_view Path) {
  TProcScope trace("miscprocs.AddBS");
  std::string r(Path);
  if (!r.empty() && r.back() != '/') r += '/';
  return r;
}

std::string AppDirFor(std::string_view ExeDir) {
  TProcScope trace("miscprocs.GetAppDir");
  std::string dir = AddBS(ExeDir);
  if (!dir.empty()) {
    // Portable mode needs an ini the program can write back on exit; a
    // read-only copy beside a system-wide install must not capture the
    // settings.
    std::string ini = dir + "kvo.ini";
    if (FileExists(ini) && ::access(ini.c_str(), W_OK) == 0) return dir;
  }
  return AddBS(ConfigFolder());
}

std::string GetAppDir() { return AppDirFor(ExecutableDir()); }

int64_t GetFileSize(std::string_view Name) {
  TProcScope trace("miscprocs.GetFileSize");
  if (Name.empty()) return INVALID_ID;
  size_t slash = Name.rfind('/');
  std::string folder(slash == std::string_view::npos ? std::string_view() : Name.substr(0, slash + 1));
  std::string_view mask = slash == std::string_view::npos ? Name : Name.substr(slash + 1);
  // A plain name is looked up as it is first; the scan then finds it
  // whatever its letter case.
  if (mask.find_first_of("*?") == std::string_view::npos) {
    int64_t size = SizeOf(std::string(Name));
    if (size != INVALID_ID || mask.empty()) return size;
  }
  std::optional<std::string> found = FirstMatch(folder, mask);
  return found ? SizeOf(folder + *found) : INVALID_ID;
}

std::string GetFileSizeStr(double Size) {
  TProcScope trace("miscprocs.GetFileSizeStr");
  constexpr double KB = 1024.0;
  constexpr double MB = KB * 1024.0;
  constexpr double GB = MB * 1024.0;
  constexpr double TB = GB * 1024.0;
  if (Size > TB) return FormatFixed1(Size / TB) + " TB";
  if (Size > GB) return FormatFixed1(Size / GB) + " GB";
  if (Size > MB) return FormatFixed1(Size / MB) + " MB";
  return FormatFixed1(Size / KB) + " kB";
}

int32_t HexToInt(std::string_view Text, int32_t Default) {
  TProcScope trace("miscprocs.HexToInt");
  if (Text.empty()) return Default;
  uint32_t value = 0;  // unsigned, so overflow wraps instead of being undefined
  for (char c : Text) {
    int d = HexDigit(c);
    if (d < 0) return Default;
    value = value * 16u + static_cast<uint32_t>(d);
  }
  return static_cast<int32_t>(value);
}

std::string FileToStr(std::string_view Name) {
  std::string text;
  KeptTwice("miscprocs.FileToStr", [&] {
    int32_t handle = INVALID_ID;
    TXTOpen(handle, Name, 0);
    std::string line;
    while (TXTReadLine(handle, line)) {
      text += line;
      text += "\r\n";
    }
    TXTClose(handle);
  });
  if (!text.empty()) text.resize(text.size() - 2);
  return text;
}

void StrToFile(std::string_view Name, std::string_view Text, bool Append) {
  KeptTwice("miscprocs.StrToFile", [&] {
    int32_t handle = INVALID_ID;
    TXTOpen(handle, Name, Append ? FM_APPEND : FM_CREATE);
    TXTWrite(handle, Text);
    TXTClose(handle);
  });
}

double DivisibleFloat(double Value, double Step) {
  TProcScope trace("miscprocs.DivisibleFloat");
  return std::trunc(Value / Step) * Step;
}

std::string SecToStr(double Seconds, int Flags) {
  TProcScope trace("miscprocs.SecToStr");
  double hours = std::trunc(Seconds / 3600.0);
  double rest = Seconds - hours * 3600.0;
  double minutes = std::trunc(rest / 60.0);
  rest -= minutes * 60.0;
  double whole = std::trunc(rest);
  double msec = std::trunc((rest - whole) * 1000.0);

  std::string text;
  if (hours >= 1 || (Flags & STS_HOURS)) {
    Flags |= STS_MINUTES | STS_SECONDS;
    text = NumToStr(static_cast<uint32_t>(hours), 202);
  }
  if (minutes > 0 || (Flags & STS_MINUTES)) {
    Flags |= STS_SECONDS;
    if (!text.empty()) text += ':';
    text += NumToStr(static_cast<uint32_t>(minutes), 202);
  }
  if (whole > 0 || (Flags & STS_SECONDS)) {
    if (!text.empty()) text += ':';
    text += NumToStr(static_cast<uint32_t>(whole), 202);
  }
  if ((msec > 0 || (Flags & STS_MSEC)) && !(Flags & STS_NO_MSEC)) {
    if (text.empty()) text = "0";
    text += '.';
    text += NumToStr(static_cast<uint32_t>(msec), 203);
  }
  return text;
}

std::string ExtractFileName(std::string_view Path) {
  size_t slash = Path.rfind('/');
  return std::string(slash == std::string_view::npos ? Path : Path.substr(slash + 1));
}

std::string ForceFileExt(std::string_view Name, std::string_view Ext) {
  TProcScope trace("miscprocs.ForceFileExt");
  size_t slash = Name.rfind('/');
  size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  size_t dot = Name.rfind('.');
  size_t end = (dot != std::string_view::npos && dot >= start) ? dot : Name.size();
  std::string r(Name.substr(0, end));
  if (!Ext.empty() && Ext.front() != '.') r += '.';
  r += Ext;
  return r;
}

bool MakeLongDir(const std::string& Folder) {
  TProcScope trace("miscprocs.MakeLongDir");
  if (Folder.empty()) throw std::runtime_error("Unable to create directory");
  return EnsureFolder(Folder);
}

std::string ReplaceStr(std::string_view Text, std::string_view Old, std::string_view New) {
  TProcScope trace("miscprocs.ReplaceStr");
  if (Old.empty()) return std::string(Text);
  // Searching from the start again would never end when New brings Old
  // back, so that case gives nothing at all.
  if (New.find(Old) != std::string_view::npos) return {};
  std::string r(Text);
  size_t from = 0;
  size_t pos;
  while ((pos = r.find(Old, from)) != std::string::npos) {
    r.replace(pos, Old.size(), New);
    // Everything before pos held no Old, so a new occurrence can only
    // begin where it overlaps the replacement: the same result as starting
    // over, without rescanning the head each time.
    from = pos >= Old.size() - 1 ? pos - (Old.size() - 1) : 0;
  }
  return r;
}

int PosFrom(std::string_view Sub, std::string_view Text, int Start) {
  TProcScope trace("miscprocs.PosFrom");
  if (Sub.empty() || Text.empty()) return 0;
  if (Start < 1) Start = 1;
  // An occurrence may start anywhere up to the last place Sub still fits,
  // so a line break right before a short last line is found too.
  if (static_cast<int64_t>(Start) - 1 >
      static_cast<int64_t>(Text.size()) - static_cast<int64_t>(Sub.size()))
    return 0;
  size_t pos = Text.find(Sub, static_cast<size_t>(Start - 1));
  return pos == std::string_view::npos ? 0 : static_cast<int>(pos + 1);
}

std::string IIfStr(bool Condition, std::string_view A, std::string_view B) {
  return std::string(Condition ? A : B);
}

int32_t IIfInt(bool Condition, int32_t A, int32_t B) { return Condition ? A : B; }

}  // namespace kvo
