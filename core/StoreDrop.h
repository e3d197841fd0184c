// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures, folders and gallery files handed over by the desktop: dragged
// onto the window, pasted, or named on the program's command line. They
// are added and opened the way Add and Gallery > Open do it, with the same
// questions.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace kvo {

// True when the file begins as a gallery file does (its header and magic),
// whatever its name.
bool IsGalleryFile(const std::string& Path);
// The files directly in Folder whose extension names a format that gives
// pictures (what Add would import), or whose extension names no format and
// whose content is such a picture (LOGO.SYS), sorted by name.
std::vector<std::string> PicturesInFolder(const std::string& Folder);
// Opens the galleries among Paths as Gallery > Open does, then adds the
// other files, and the pictures in the folders among them, as Add does:
// the resize question once, the overwrite questions as usual. Returns the
// list index to select afterwards, or -1 to keep the selection.
int32_t AddDroppedFiles(const std::vector<std::string>& Paths);
// The arguments of the program's command line that name existing files or
// folders (a gallery opened from a file manager arrives this way); the
// switches never reach this far.
std::vector<std::string> FilesToOpen(const std::vector<std::string>& Args);
// "Pasted-YYYYMMDD-HHMMSS" of the local time When: the name a picture
// pasted from the clipboard is stored under.
std::string PastedName(std::time_t When);

}  // namespace kvo
