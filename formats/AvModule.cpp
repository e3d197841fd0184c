// SPDX-License-Identifier: GPL-3.0-or-later
// Finding and loading the FFmpeg module.
#include "formats/AvModule.h"

#include <dlfcn.h>

#include <optional>
#include <string>

#include "platform/Module.h"

// Where the installation puts the module and where the build leaves it; a
// build without the module (the fuzzing build) names neither.
#ifndef KVO_AV_INSTALLED
#define KVO_AV_INSTALLED ""
#endif
#ifndef KVO_AV_BUILD
#define KVO_AV_BUILD ""
#endif

namespace kvo {

namespace {

struct TAvState {
  bool Tried = false;
  const KvoAvProcs* Procs = nullptr;
  std::optional<std::string> Forced;  // a test's one place to look
};

TAvState& State() {
  static TAvState state;
  return state;
}

// Accepts a module whose entry hands out a table of this program's
// interface version, and keeps the table in Procs. FFmpeg is not made to
// be unloaded: a module once taken stays for the rest of the run.
TModuleCheck TakeTable(const KvoAvProcs*& Procs) {
  return [&Procs](void* Handle) {
    auto entry = reinterpret_cast<KvoAvEntry>(::dlsym(Handle, KVOAV_ENTRY_NAME));
    Procs = entry ? entry(KVOAV_ABI_VERSION) : nullptr;
    return Procs != nullptr;
  };
}

const KvoAvProcs* Load(const TAvState& S) {
  const KvoAvProcs* procs = nullptr;
  std::string why;
  if (S.Forced)
    LoadModuleAt(*S.Forced, TakeTable(procs), why);
  else
    LoadModule("libkvoav.so", {KVO_AV_INSTALLED, KVO_AV_BUILD}, TakeTable(procs), why);
  return procs;
}

}  // namespace

const KvoAvProcs* AvProcs() {
  TAvState& s = State();
  if (!s.Tried) {
    s.Procs = Load(s);
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
