// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/RegWrap.h"

#include "base/Errors.h"
#include "base/MiscProcs.h"

namespace kvo {
namespace {

}  // namespace

std::string RegReadStr(TRegistry& Key, std::string_view ValueName, std::string_view Default) {
  TProcScope trace("regwrap.RegReadStr");
  try {
    if (Key.ValueExists(ValueName)) return Key.ReadString(ValueName);
  } catch (...) {
    // a value that cannot be read is as good as missing
  }
  return std::string(Default);
}

std::string RegGetString(TRegRoot Root, std::string_view KeyPath, std::string_view ValueName) {
  TProcScope trace("regwrap.RegGetString");
  std::string value;
  try {
    TRegistry reg;
    reg.OpenKey(Root, KeyPath, false);
    value = RegReadStr(reg, ValueName, "");
    reg.CloseKey();
  } catch (...) {
    value.clear();
  }
  return value;
}

std::string _GetRegistryFolder(TRegRoot Root, std::string_view KeyPath,
                               std::string_view ValueName) {
  TProcScope trace("regwrap._GetRegistryFolder");
  try {
    std::string folder = RegGetString(Root, KeyPath, ValueName);
    // Hand-edited values often join parts with a doubled separator.
    for (size_t p = folder.find("//"); p != std::string::npos; p = folder.find("//"))
      folder.erase(p, 1);
    return AddBS(folder);
  } catch (...) {
    return {};
  }
}

std::string GetProgFilesFolder() {
  TProcScope trace("regwrap.GetProgFilesFolder");
  return _GetRegistryFolder(HKEY_LOCAL_MACHINE, "\\Software\\Microsoft\\Windows\\CurrentVersion",
                            "ProgramFilesDir");
}

}  // namespace kvo
