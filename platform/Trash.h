// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's Trash, as the freedesktop.org Trash convention lays it out:
// a deleted file goes to TRASH/files/NAME with TRASH/info/NAME.trashinfo
// beside it (its original Path= and DeletionDate=), so every file manager
// can show it and put it back. TRASH is $XDG_DATA_HOME/Trash for files on
// the same file system as the home trash; a file on another one goes to the
// trash at the top of its own file system ($topdir/.Trash/$uid, or
// $topdir/.Trash-$uid), since a move across file systems would be a copy.
#pragma once

#include <string>

namespace kvo {

// Where MoveToTrash put a file.
struct TTrashed {
  std::string Original;  // the path it had
  std::string InTrash;   // TRASH/files/NAME
  std::string Info;      // TRASH/info/NAME.trashinfo
};

// $XDG_DATA_HOME/Trash, no trailing "/".
std::string HomeTrashDir();
// Moves the file Path into the Trash under a name no other trashed file
// has (NAME, NAME.2.EXT, NAME.3.EXT ...). True when it is there with its
// information file; false with errno set when the file is left where it
// was and nothing of it is in the Trash.
bool MoveToTrash(const std::string& Path, TTrashed& Trashed);
// Puts a file MoveToTrash moved back where it was and forgets its
// information; false with errno set when it could not.
bool PutBackFromTrash(const TTrashed& Trashed);

}  // namespace kvo
