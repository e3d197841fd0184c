// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Registry.h"
#include "platform/TextUtil.h"

#include <unistd.h>

#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/FaultInject.h"
#include "platform/Folders.h"
#include "platform/ProfileFile.h"

namespace kvo {
namespace {

constexpr std::string_view kCurrentVersion = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr std::string_view kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// Keeps the Run value's data exactly as written beside the Exec line, which
// can only hold its meaning (an unquoted program path with blanks comes back
// quoted from there).
constexpr std::string_view kRunDataKey = "X-KvoPanoramics-RunValue";
constexpr size_t kMaxFileName = 255;

// "\Software\\Microsoft\" -> "Software\Microsoft": no outer or doubled
// backslashes, so every spelling of a path finds the same section.
std::string NormaliseKeyPath_(std::string_view Path) {
  std::string out;
  for (char c : Path) {
    if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

std::string SectionName_(TRegRoot Root, const std::string& Path) {
  return Path.empty() ? RegRootName(Root) : RegRootName(Root) + "\\" + Path;
}

// Profile reads trim values and drop one pair of surrounding quotes; a value
// that would lose something that way is stored inside one more pair.
std::string ProtectValue_(std::string_view Value) {
  bool blankEdge = !Value.empty() && (Value.front() == ' ' || Value.front() == '\t' ||
                                      Value.back() == ' ' || Value.back() == '\t');
  bool quoted = Value.size() >= 2 && Value.front() == Value.back() &&
                (Value.front() == '"' || Value.front() == '\'');
  if (blankEdge || quoted) return "\"" + std::string(Value) + "\"";
  return std::string(Value);
}

[[noreturn]] void RegFail_(const std::string& What, std::string_view Name) {
  throw std::runtime_error(What + " '" + std::string(Name) + "'");
}

// ---- the Run key -----------------------------------------------------------------------

// A value name becomes a file name inside the autostart folder and must not
// lead out of it.
bool ValidRunName_(std::string_view Name) {
  return !Name.empty() && Name != "." && Name != ".." &&
         Name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos &&
         Name.size() + 8 <= kMaxFileName;
}

std::string RunEntryFile_(std::string_view Name) {
  return FindFileNoCase(AutostartFolder(), std::string(Name) + ".desktop");
}

// Windows starts a Run value whose program path holds blanks without quotes
// by trying ever longer prefixes up to a blank until one names a file. Here
// the path found that way is quoted before the line is split.
std::vector<std::string> RunDataToArgs_(std::string_view Data) {
  constexpr auto npos = std::string_view::npos;
  size_t start = Data.find_first_not_of(" \t");
  if (start == npos) return {};
  std::string_view line = Data.substr(start);
  size_t end = line.find_first_of(" \t");
  if (line.front() == '"' || end == npos || FileExists(std::string(line.substr(0, end))))
    return SplitCommandLine(line);
  do {
    end = line.find_first_of(" \t", end + 1);
    std::string_view prog = line.substr(0, end);
    if (prog.find('"') != npos) break;
    if (FileExists(std::string(prog))) {
      std::string rest(end == npos ? std::string_view() : line.substr(end));
      return SplitCommandLine("\"" + std::string(prog) + "\"" + rest);
    }
  } while (end != npos);
  return SplitCommandLine(line);
}

// The value of Key in the [Desktop Entry] group; keys there are exact-case.
std::optional<std::string> DesktopEntryValue_(const TProfile& Entry, std::string_view Key) {
  bool inGroup = false;
  for (const auto& line : Entry.Lines) {
    std::string_view t = line.Text;
    if (!t.empty() && t.front() == '[') {
      inGroup = t == "[Desktop Entry]";
      continue;
    }
    size_t eq = t.find('=');
    if (!inGroup || eq == std::string_view::npos) continue;
    std::string_view k = t.substr(0, eq);
    while (!k.empty() && k.back() == ' ') k.remove_suffix(1);
    if (k != Key) continue;
    std::string_view v = t.substr(eq + 1);
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    return std::string(v);
  }
  return std::nullopt;
}

std::optional<std::string> ReadRunValue_(std::string_view Name) {
  if (!ValidRunName_(Name)) return std::nullopt;
  TProfile entry;
  std::string file = RunEntryFile_(Name);
  if (!FileExists(file) || !ProfileLoad(file, entry)) return std::nullopt;
  auto exec = DesktopEntryValue_(entry, "Exec");
  if (!exec) return std::nullopt;
  std::vector<std::string> args = DesktopExecArgs(*exec);
  auto data = DesktopEntryValue_(entry, kRunDataKey);
  // The kept data wins only while it still means what the Exec line says,
  // so an entry edited by hand reads as edited.
  if (data) {
    std::string raw = DesktopUnescapeString(*data);
    if (RunDataToArgs_(raw) == args) return raw;
  }
  return JoinCommandLine(args);
}

bool WriteRunValue_(std::string_view Name, std::string_view Data) {
  if (!ValidRunName_(Name) || !EnsureFolder(AutostartFolder())) return false;
  std::string n = DesktopEscapeString(Name);
  std::string text = "[Desktop Entry]\nType=Application\nName=" + n +
                     "\nComment=Started at every desktop session start (" + n +
                     ")\nExec=" + DesktopExecLine(RunDataToArgs_(Data)) +
                     "\nX-GNOME-Autostart-enabled=true\n" + std::string(kRunDataKey) + "=" +
                     DesktopEscapeString(Data) + "\n";
  return ReplaceFileAtomic(RunEntryFile_(Name), text);
}

bool DeleteRunValue_(std::string_view Name) {
  if (!ValidRunName_(Name)) return false;
  std::string file = RunEntryFile_(Name);
  return FileExists(file) && !FaultInjected(TFaultOp::Delete) && ::unlink(file.c_str()) == 0;
}

// ---- registry.ini ----------------------------------------------------------------------

bool HasSectionOrSubkey_(const std::string& Section) {
  for (const auto& s : ProfileSections(RegistryFile())) {
    if (SameText(s, Section)) return true;
    if (s.size() > Section.size() && s[Section.size()] == '\\' &&
        SameText(std::string_view(s).substr(0, Section.size()), Section))
      return true;
  }
  return false;
}

std::optional<std::string> ReadIniValue_(const std::string& Section, std::string_view Name) {
  TProfile p;
  if (Name.empty() || !ProfileLoad(RegistryFile(), p)) return std::nullopt;
  return ProfileGetValue(p, Section, Name);
}

}  // namespace

std::string RegRootName(TRegRoot Root) {
  switch (Root) {
    case HKEY_CLASSES_ROOT: return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER: return "HKEY_CURRENT_USER";
    case HKEY_USERS: return "HKEY_USERS";
    case HKEY_LOCAL_MACHINE: break;
  }
  return "HKEY_LOCAL_MACHINE";
}

std::string AutostartFolder() { return XdgConfigHome() + "/autostart/"; }

std::string RegistryFile() {
  std::string file = ConfigFolder() + "registry.ini";
  if (FileExists(file)) return file;
  std::string drive = DefaultDriveFolder();
  std::string winDir = drive + "WINDOWS";
  std::string progDir = drive + "Program Files";
  EnsureFolder(winDir);
  EnsureFolder(progDir);
  TProfile p;
  p.Lines.push_back({"; The registry values of KvoPanoramics, one section per key.", p.Eol});
  p.Lines.push_back({"; Point SystemRoot at the WINDOWS folder of a mounted drive to manage it.",
                     p.Eol});
  std::string section = SectionName_(HKEY_LOCAL_MACHINE, std::string(kCurrentVersion));
  ProfileSetValue(p, section, "SystemRoot", winDir);
  ProfileSetValue(p, section, "ProgramFilesDir", progDir);
  ProfileSave(file, p);
  return file;
}

bool TRegistry::OpenKey(TRegRoot Root, std::string_view KeyPath, bool CanCreate) {
  CloseKey();
  std::string path = NormaliseKeyPath_(KeyPath);
  std::string section = SectionName_(Root, path);
  bool isRun = SameText(path, kRunKey);
  if (isRun) {
    // The autostart folder stands for a key every installation has.
    if (CanCreate) EnsureFolder(AutostartFolder());
  } else if (!HasSectionOrSubkey_(section)) {
    if (!CanCreate || !ProfileCreateSection(RegistryFile(), section)) return false;
  }
  Open_ = true;
  IsRun_ = isRun;
  Section_ = section;
  return true;
}

bool TRegistry::OpenKeyReadOnly(TRegRoot Root, std::string_view KeyPath) {
  if (!OpenKey(Root, KeyPath, false)) return false;
  ReadOnly_ = true;
  return true;
}

bool TRegistry::KeyExists(TRegRoot Root, std::string_view KeyPath) {
  std::string path = NormaliseKeyPath_(KeyPath);
  return SameText(path, kRunKey) || HasSectionOrSubkey_(SectionName_(Root, path));
}

bool TRegistry::ValueExists(std::string_view Name) {
  if (!Open_) return false;
  return (IsRun_ ? ReadRunValue_(Name) : ReadIniValue_(Section_, Name)).has_value();
}

std::string TRegistry::ReadString(std::string_view Name) {
  if (!Open_) RegFail_("No registry key is open to read", Name);
  auto v = IsRun_ ? ReadRunValue_(Name) : ReadIniValue_(Section_, Name);
  if (!v) RegFail_("Registry value not found:", Name);
  return *v;
}

void TRegistry::WriteString(std::string_view Name, std::string_view Value) {
  if (!Open_ || ReadOnly_) RegFail_("No registry key is open to write", Name);
  bool ok = IsRun_ ? WriteRunValue_(Name, Value)
                   : ProfileWriteString(RegistryFile(), Section_, Name, ProtectValue_(Value));
  if (!ok) RegFail_("Cannot write registry value", Name);
}

bool TRegistry::DeleteValue(std::string_view Name) {
  if (!Open_ || ReadOnly_ || !ValueExists(Name)) return false;
  if (IsRun_) return DeleteRunValue_(Name);
  return ProfileDeleteKey(RegistryFile(), Section_, Name);
}

void TRegistry::CloseKey() {
  Open_ = false;
  ReadOnly_ = false;
  IsRun_ = false;
  Section_.clear();
}

}  // namespace kvo
