// SPDX-License-Identifier: GPL-3.0-or-later
// Loading the program's own modules: the desktop window and the FFmpeg
// readers are shared libraries of their own, so that starting a program
// never pays for Qt or FFmpeg until a window or a movie needs them.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kvo {

// Where an installation keeps its modules, below its prefix.
inline constexpr const char* MODULE_INSTALL_DIR = "lib/kvopanoramics";

// Tells whether a loaded module is the one wanted (its entry points are
// there and of this program's version).
using TModuleCheck = std::function<bool(void* Handle)>;

// Loads the module at Path (RTLD_NOW | RTLD_LOCAL) and keeps it when Check
// accepts it; a module Check refuses is unloaded again. nullptr when it
// cannot be loaded or is refused; Why then says why.
void* LoadModuleAt(const std::string& Path, const TModuleCheck& Check, std::string& Why);

// Looks for the module Name beside the running program, then in the
// installation the program belongs to (../lib/kvopanoramics/ from its
// folder, so an installation moved as a whole still finds its modules),
// then at each of Known (the installed and the build-tree path; empty
// entries are passed over). The first one Check accepts is kept loaded
// for the rest of the run.
void* LoadModule(const std::string& Name, const std::vector<std::string>& Known,
                 const TModuleCheck& Check, std::string& Why);

}  // namespace kvo
