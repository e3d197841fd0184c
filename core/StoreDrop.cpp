// SPDX-License-Identifier: GPL-3.0-or-later
// Files handed over by the desktop: galleries opened, pictures and the
// pictures of folders added.
#include "core/StoreDrop.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "base/VCLUtils.h"
#include "core/Gallery.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "formats/FFBasic.h"
#include "platform/Folders.h"

namespace kvo {

bool IsGalleryFile(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  uint8_t header[GAL_HEADER_SIZE];
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return false;
  return ParseGalleryHeader(header).Magic == GAL_MAGIC;
}

std::vector<std::string> PicturesInFolder(const std::string& Folder) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(Folder, ec)) {
    if (!entry.is_regular_file(ec)) continue;
    const std::string path = entry.path().string();
    // A file whose extension names no format is taken by its signature:
    // a folder of collected logos holds LOGO.SYS files.
    TFormatRow row;
    FFGetFormat(path, row, FF_TABLE_READ);
    const TFormatRow* byContent =
        row.Id == INVALID_ID ? FFReadRowById(FFFormatOfFile(path)) : nullptr;
    const uint32_t flags = byContent ? byContent->Flags : row.Flags;
    if ((row.Id != INVALID_ID || byContent) && (flags & FFF_PICTURES)) files.push_back(path);
  }
  std::sort(files.begin(), files.end());
  return files;
}

int32_t AddDroppedFiles(const std::vector<std::string>& Paths) {
  if (StoreBusy()) return -1;
  std::vector<std::string> pictures, galleries;
  for (const std::string& path : Paths) {
    if (FolderExists(path)) {
      const std::vector<std::string> inside = PicturesInFolder(path);
      pictures.insert(pictures.end(), inside.begin(), inside.end());
    } else if (!ImportableFile(path)) {
      continue;
    } else if (IsGalleryFile(path)) {
      galleries.push_back(path);
    } else {
      // Anything else is offered to the import, which names what it cannot read.
      pictures.push_back(path);
    }
  }
  int32_t select = -1;
  for (const std::string& gallery : galleries) {
    ShowBusy();
    const int32_t first = InstallGallery(gallery);
    ShowReady();
    if (first >= 0) select = first;
  }
  if (pictures.empty() || !ExecResizeDialog(Settings().ResizeMode)) return select;
  ShowBusy();
  select = AddPictureFiles(pictures);
  ShowReady();
  ShowStatus(StatusSummary(), false);
  return select;
}

std::vector<std::string> FilesToOpen(const std::vector<std::string>& Args) {
  std::vector<std::string> files;
  for (const std::string& arg : Args)
    if (FileExists(arg) || FolderExists(arg)) files.push_back(arg);
  return files;
}

std::string PastedName(std::time_t When) {
  std::tm local{};
  localtime_r(&When, &local);
  char name[32];
  std::strftime(name, sizeof name, "Pasted-%Y%m%d-%H%M%S", &local);
  return name;
}

}  // namespace kvo
