// SPDX-License-Identifier: GPL-3.0-or-later
// Where everything the logo manager touches lives, the Run value, and the
// command-line switches.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drive/Drive.h"

namespace kvo {

// Logo positions: bit values, so a set of positions fits in one integer.
// Wherever all three are handled, they go in this order.
inline constexpr uint32_t POS_STARTUP = 1;
inline constexpr uint32_t POS_WAIT = 2;
inline constexpr uint32_t POS_TURNOFF = 4;
inline constexpr uint32_t POS_ALL = POS_STARTUP | POS_WAIT | POS_TURNOFF;
inline constexpr uint32_t POSITIONS[3] = {POS_STARTUP, POS_WAIT, POS_TURNOFF};

// The Run value that starts "/shuffle" at every session start while
// automatic change is on (an autostart entry on this system).
inline constexpr const char* RUN_KEY_PATH = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr const char* RUN_VALUE_NAME = "KvoPanoramics";

// The command-line switches, compared without regard to case after trimming.
inline constexpr const char* SWITCH_SHUFFLE = "/shuffle";
inline constexpr const char* SWITCH_UNINST = "/uninst";

// The win.ini section that remembers the storage folder between runs (in
// the program's own win.ini; a drive's is only read).
inline constexpr const char* MAKER_SECTION = "tarvoni";
inline constexpr const char* MAKER_DATE = "2000-10-10";

// "Startup", "Wait to shut down", "Turn off"; empty for other values.
std::string PositionCaption(uint32_t Position);
// 0, 1, 2 for the three positions; -1 for any other value.
int PositionIndex(uint32_t Position);

// The managed Windows drive: the disk image chosen for this run (see
// SetDriveOverride) or remembered in the registry, else the folder drive
// that holds the Windows folder (SystemRoot). Reopened whenever the choice
// changes.
TDrive& ManagedDrive();
// The drive Choice ("PATH[:PARTITION]", a folder or a disk image) names,
// opened only to be looked at: the drive in use and the remembered choice
// stay as they are.
std::unique_ptr<TDrive> OpenDrive(const std::string& Choice);
// Uses Choice ("PATH[:PARTITION]", a folder or a disk image) for the rest of
// this run, without remembering it; an empty Choice ends that.
void SetDriveOverride(const std::string& Choice);
// The remembered disk image ("PATH[:PARTITION]"); empty for a folder drive.
std::string RememberedDrive();
// Remembers Choice as the managed drive: a disk image by its path and partition, a folder
// as the SystemRoot of its Windows folder. False with the reason in Error
// when Choice names nothing usable (the choice is then unchanged).
bool RememberDrive(const std::string& Choice, std::string& Error);
// The Windows folder of the folder drive Folder: the one its MSDOS.SYS
// names, else its "windows" folder in any letter case, else Folder itself
// when it is a Windows folder; empty when there is none.
std::string WinFolderOfFolder(const std::string& Folder);

// The root of the managed drive, with a trailing "/"; empty when the
// Windows folder is unknown.
std::string BootDriveRoot();

std::string GetLogoFile(uint32_t Position);
void SetLogoFile(uint32_t Position, const std::string& Path);
std::string DefaultLogoFile(uint32_t Position);
// Where Windows looks for the logo of Position on Drive.
std::string DefaultLogoFile(TDrive& Drive, uint32_t Position);
std::string GetStorageDir();
void SetStorageDir(const std::string& Path);
std::string DefaultStorageDir();
// Windows folder + "logos.bak/" (an existing folder of that name in any
// letter case serves).
std::string BackupDir();

// The program's own full file name, remembered at start for the Run value
// and win.ini.
const std::string& ExecutablePathSetting();
void SetExecutablePath(const std::string& Path);

// Creates or removes the Run value, the log-in job that runs "/shuffle".
// Removing it also turns the AutoChange setting off where it is stored
// (StoreAutoChangeOff), so the job stays gone until the user turns
// automatic change on again.
void SetAutoRun(bool Enable);
// Part of every start: removes the scratch files that runs which ended
// halfway (killed, or stopped by a failing disk) left in the folders the
// program writes: the settings folder, the storage folder, and the logo and
// backup folders of the managed drive. Never a file another run is writing.
void RemoveLeftovers();
// Runs the recognised switches of Args (the parameters after the program
// name) in order; true when at least one was recognised.
bool ProcessCommandLine(const std::vector<std::string>& Args);
// Whether Args hold a switch ProcessCommandLine acts on.
bool HasCommandSwitch(const std::vector<std::string>& Args);

}  // namespace kvo
