// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop window lives in a module of its own (libkvodesktop.so, built
// from Desktop.cpp and the Qt windows), loaded only when a window is to be
// shown. The program itself links no Qt library, so "/shuffle" and
// "/uninst", which run at every session start, never pay for loading the
// window system's libraries. The module takes the core from the program,
// which exports it whole: both work on the one set of settings, lists and
// tracked tables.
#include "app/Desktop.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Module.h"

// Where the installation puts the module, and where the build leaves it; a
// build without the window (no Qt) names neither.
#ifndef KVO_DESKTOP_INSTALLED
#define KVO_DESKTOP_INSTALLED ""
#endif
#ifndef KVO_DESKTOP_BUILD
#define KVO_DESKTOP_BUILD ""
#endif

namespace kvo {
namespace {

constexpr const char* kModuleName = "libkvodesktop.so";

using TDesktopMain = int (*)(int, char**);
using TDesktopVersion = const char* (*)();

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* v = std::getenv(name);
    if (v && *v) return true;
  }
  return false;
}

// The module's entry, or nullptr. A module of another version (an older
// installation found first) is passed over.
TDesktopMain FindModule(std::string& Why) {
  TDesktopMain entry = nullptr;
  const TModuleCheck sameVersion = [&entry](void* Handle) {
    auto version = reinterpret_cast<TDesktopVersion>(::dlsym(Handle, "KvoDesktopVersion"));
    entry = reinterpret_cast<TDesktopMain>(::dlsym(Handle, "KvoDesktopMain"));
    return version && entry && std::strcmp(version(), KVO_VERSION) == 0;
  };
  if (!LoadModule(kModuleName, {KVO_DESKTOP_INSTALLED, KVO_DESKTOP_BUILD}, sameVersion, Why))
    return nullptr;
  return entry;
}

}  // namespace

int RunDesktop(int argc, char** argv) {
  if (!HasDisplay()) {
    std::fputs("kvopanoramics: no display to show the window on (DISPLAY is not set).\n"
               "The switches /shuffle and /uninst run without one, and so does the\n"
               "command-line companion: see `kvo --help`.\n",
               stderr);
    return 1;
  }
  std::string why = "it is not installed";
  TDesktopMain entry = FindModule(why);
  if (!entry) {
    std::fprintf(stderr,
                 "kvopanoramics: the desktop window (%s) cannot be loaded: %s.\n"
                 "The logos and the picture store can be managed with the command-line\n"
                 "companion: see `kvo --help`.\n",
                 kModuleName, why.c_str());
    return 1;
  }
  return entry(argc, argv);
}

}  // namespace kvo
