// SPDX-License-Identifier: GPL-3.0-or-later
// Installs arbitrary bytes as a gallery into a scratch storage folder: no
// crash, no file outside the storage folder, tables back to their count.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/VCLUtils.h"
#include "core/Gallery.h"
#include "core/Locations.h"
#include "fuzz/FuzzSupport.h"

namespace {

int CountEntries(const std::string& Dir) {
  int n = 0;
  if (DIR* d = ::opendir(Dir.c_str())) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

void ClearStore(const std::string& Dir) {
  if (DIR* d = ::opendir(Dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.' || (e->d_name[1] && (e->d_name[1] != '.' || e->d_name[2])))
        ::unlink((Dir + e->d_name).c_str());
    ::closedir(d);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace kvo;
  static bool ready = [] {
    InstallSilentDialogs();
    Dialogs().ShowError = Dialogs().ShowInfo = Dialogs().ShowWarning = [](const std::string&) {};
    // Answer the prefix question with "Yes" so every input reaches the entries.
    Dialogs().YesNoCancel = [](const std::string&, char) { return 'Y'; };
    ::mkdir((fuzz::ScratchDir() + "store").c_str(), 0777);
    SetStorageDir(fuzz::ScratchDir() + "store");
    return true;
  }();
  (void)ready;
  int mem = MemCount(), files = FCount();
  std::string path = fuzz::InputPath(".gal");
  fuzz::Check(fuzz::WriteInput(path, Data, Size), "the input file is written whole");
  InstallGallery(path);
  fuzz::CheckTables(mem, files);
  // Only the input and the storage folder may exist in the scratch folder.
  fuzz::Check(CountEntries(fuzz::ScratchDir()) == 4, "nothing is written outside the storage folder");
  ClearStore(GetStorageDir());
  return 0;
}
