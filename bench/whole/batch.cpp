// SPDX-License-Identifier: GPL-3.0-or-later
// A batch import in one process, photo by photo: what "kvo add" of many
// photos does (the store's import of each file in turn), with the time of
// each photo, the resident memory after it and the tracked tables' counts.
// A batch must not slow down as it goes, and memory must come back to its
// level between photos.
//
// Usage: kvo_batch border|crop|stretch FILE...
// Prints one line per photo: number, milliseconds, resident KiB after it,
// tracked memory blocks, open tracked files.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "formats/ConForm.h"
#include "bench/whole/Resident.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s border|crop|stretch FILE...\n", argv[0]);
    return 2;
  }
  kvo::InstallSilentDialogs();
  kvo::ReadSettings(true);
  const std::string mode = argv[1];
  kvo::Settings().ResizeMode = mode == "crop"      ? kvo::RESIZE_CROP
                               : mode == "stretch" ? kvo::RESIZE_STRETCH
                                                   : kvo::RESIZE_BORDER;
  kvo::MakeLongDir(kvo::GetStorageDir());
  kvo::BatchAnswer() = kvo::BA_OVERWRITE_ALL;
  std::printf("start 0 %ld %d %d\n", ResidentKiB(), kvo::MemCount(), kvo::FCount());
  int failed = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string source = argv[i];
    std::string dest = kvo::GetStorageDir() + kvo::CUSTOM_PREFIX + "--" +
                       kvo::ForceFileExt(kvo::ExtractFileName(source), kvo::STORED_EXT);
    const auto t = std::chrono::steady_clock::now();
    failed += !kvo::ImportPicture(source, dest);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
    std::printf("photo%d %.3f %ld %d %d\n", i - 1, ms, ResidentKiB(), kvo::MemCount(),
                kvo::FCount());
  }
  kvo::ConDone();
  kvo::BasicFinalize();
  kvo::ErrorsFinalize();
  return failed ? 1 : 0;
}
