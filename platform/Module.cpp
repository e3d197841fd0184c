// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Module.h"

#include <dlfcn.h>

#include "platform/Folders.h"

namespace kvo {

void* LoadModuleAt(const std::string& Path, const TModuleCheck& Check, std::string& Why) {
  if (Path.empty()) return nullptr;
  void* handle = ::dlopen(Path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* text = ::dlerror();
    Why = text ? text : Path + " cannot be loaded";
    return nullptr;
  }
  if (Check(handle)) return handle;
  // A module of another version (an older installation found first): leave
  // it and look on.
  Why = Path + " is of another version";
  ::dlclose(handle);
  return nullptr;
}

void* LoadModule(const std::string& Name, const std::vector<std::string>& Known,
                 const TModuleCheck& Check, std::string& Why) {
  const std::string exeDir = ExecutableDir();
  std::vector<std::string> places = {exeDir + Name,
                                     exeDir + "../" + MODULE_INSTALL_DIR + "/" + Name};
  places.insert(places.end(), Known.begin(), Known.end());
  for (const std::string& path : places)
    if (void* handle = LoadModuleAt(path, Check, Why)) return handle;
  return nullptr;
}

}  // namespace kvo
