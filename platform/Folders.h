// SPDX-License-Identifier: GPL-3.0-or-later
// Folders of the desktop session: the XDG base folders, the executable's own
// folder, and letter-case-blind lookup on a managed (FAT-born) drive.
#pragma once

#include <string>

namespace kvo {

// $XDG_CONFIG_HOME, or ~/.config; no trailing "/".
std::string XdgConfigHome();
// $XDG_DATA_HOME, or ~/.local/share; no trailing "/".
std::string XdgDataHome();
// The running program file, resolved through /proc/self/exe.
std::string ExecutablePath();
// The folder of the running program, with a trailing "/".
std::string ExecutableDir();
// $XDG_CONFIG_HOME/KvoPanoramics/ with a trailing "/"; created when missing.
std::string ConfigFolder();
// The default managed drive: $XDG_DATA_HOME/KvoPanoramics/drive_c/
std::string DefaultDriveFolder();
// Creates Folder and every missing parent; true when it exists afterwards.
bool EnsureFolder(const std::string& Folder);
// Folder + Name, where an existing entry of Folder whose name equals Name
// without regard to letter case stands in for Name (LOGOW.SYS for logow.sys),
// as FAT would find it. Folder must end in "/". An exact match wins.
std::string FindFileNoCase(const std::string& Folder, const std::string& Name);
// True when the path names an existing regular file.
bool FileExists(const std::string& Path);
// True when the path names an existing folder.
bool FolderExists(const std::string& Path);

}  // namespace kvo
