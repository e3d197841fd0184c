// Finding and loading the FFmpeg module.
#include "formats/AvModule.h"

#include <dlfcn.h>

#include <optional>
#include <string>

#include "platform/Folders.h"

// Where the installation puts the module (below the installation prefix,
// and as an absolute path), and where the build leaves it; a build without
// the module (the fuzzing build) names none of them.
#ifndef KVO_AV_INSTALL_DIR
#define KVO_AV_INSTALL_DIR ""
#endif
#ifndef KVO_AV_INSTALLED
#define KVO_AV_INSTALLED ""
#endif
#ifndef KVO_AV_BUILD
#define KVO_AV_BUILD ""
#endif

namespace kvo {

namespace {

constexpr const char* kModuleName = "libkvoav.so";

struct TAvState {
  bool Tried = false;
  const KvoAvProcs* Procs = nullptr;
  std::optional<std::string> Forced;  // a test's one place to look
};

TAvState& State() {
  static TAvState state;
  return state;
}

// The module's table at Path, or nullptr. The library stays loaded for the
// rest of the run (FFmpeg is not made to be unloaded), and RTLD_LOCAL keeps
// its symbols out of the program's.
const KvoAvProcs* LoadFrom(const std::string& Path) {
  if (Path.empty()) return nullptr;
  void* handle = ::dlopen(Path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  auto entry = reinterpret_cast<KvoAvEntry>(::dlsym(handle, KVOAV_ENTRY_NAME));
  const KvoAvProcs* procs = entry ? entry(KVOAV_ABI_VERSION) : nullptr;
  // A module of another version: leave it and look on.
  if (!procs) ::dlclose(handle);
  return procs;
}

// Next to the program; in the installation the program belongs to (an
// installation moved elsewhere as a whole still finds its module); where
// it was installed; in the build tree.
const KvoAvProcs* Search() {
  const std::string exeDir = ExecutableDir();
  const std::string installDir(KVO_AV_INSTALL_DIR);
  const std::string sibling =
      installDir.empty() ? std::string() : exeDir + "../" + installDir + "/" + kModuleName;
  for (const std::string& path : {exeDir + kModuleName, sibling, std::string(KVO_AV_INSTALLED),
                                  std::string(KVO_AV_BUILD)})
    if (const KvoAvProcs* procs = LoadFrom(path)) return procs;
  return nullptr;
}

}  // namespace

const KvoAvProcs* AvProcs() {
  TAvState& s = State();
  if (!s.Tried) {
    s.Procs = s.Forced ? LoadFrom(*s.Forced) : Search();
    s.Tried = true;
  }
  return s.Procs;
}

void AvSetModulePath_(const char* Path) {
  TAvState& s = State();
  s.Forced = Path ? std::optional<std::string>(Path) : std::nullopt;
  s.Tried = false;
  s.Procs = nullptr;
}

}  // namespace kvo
