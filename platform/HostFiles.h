// SPDX-License-Identifier: GPL-3.0-or-later
// The files of this system that the program itself keeps: scratch copies
// in the temporary folder, its private runtime folder, and the sweep of
// what killed runs left in its own folders. Nothing here takes a name from
// a file of the managed drive: the drive reaches the host only through
// these few calls, with names the program made.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvo {

// Whether Digits (a number taken from a file name) is that of a process
// that is no longer running; false for anything that is not a number.
bool ProcessGone(const std::string& Digits);

// Writes all of Bytes to Fd; false on any failure (or an injected one).
bool WriteAllFd(int Fd, std::string_view Bytes);

// Reads the regular file Path whole into Bytes; false when it cannot be
// opened or read, is not a regular file (a FIFO is never waited on), or
// holds more than MaxBytes. With NoFollow, a symbolic link in Path's last
// place is refused rather than followed.
bool HostReadFile(const std::string& Path, std::string& Bytes, uint64_t MaxBytes,
                  bool NoFollow = false);

// The temporary folder, as an absolute path without a trailing "/": a
// relative TMPDIR is anchored to the current folder, so no name made in it
// can be taken for an option by another program.
std::string HostTempFolder();

// A new empty file in the temporary folder for a copy of a file on a disk
// image, named for Kind ("kvo-drive-", "kvo-local-") and this process; its
// open descriptor, or -1 with errno set.
int MakeHostTemp(std::string_view Kind, std::string& Name);
// Removes this user's copies that runs which were killed left in the
// temporary folder, with the temporary files they were being written
// under, and the private folders they made there (LeftRunFolders).
void RemoveHostTempLeftovers();

// Removes from Folder (ending in "/") the scratch files of runs of this
// program that ended halfway: those named for a process that is gone,
// and the others once they are a minute old (a live save renames its
// file within moments) or at once when Idle (the caller knows that no
// run of the program is writing in Folder now).
void RemoveHostLeftovers(const std::string& Folder, bool Idle);

// A folder only this user can enter, for the program's runtime files, with
// a trailing "/": $XDG_RUNTIME_DIR/KvoPanoramics/, else "kvopanoramics-UID"
// in the temporary folder. One that another user owns, or a link, is never
// used: when that name is taken, the run makes a folder of its own beside it
// ("kvopanoramics-UID-PID-XXXXXX", by mkdtemp), uses it for the rest of the
// process and removes it at the end. Each call checks the folder again (and
// makes it again when something cleaned it away). Empty only when no
// private folder can be had at all; Why then says which folder could not be
// used and why, and why no other could be made.
std::string PrivateRunFolder(std::string& Why);
std::string PrivateRunFolder();

// The private folders that runs now gone made in place of the usual one
// (see PrivateRunFolder) and left behind when they were killed, with a
// trailing "/": for the sweep of the exports still mounted in them.
// RemoveHostTempLeftovers removes them, and all they hold but a mount.
std::vector<std::string> LeftRunFolders();

}  // namespace kvo
