// SPDX-License-Identifier: GPL-3.0-or-later
// The backup of the logos as they were before the program first changed
// them, and their restore.
//
// The backup folder (BackupDir(), "logos.bak" in the Windows folder) holds
// numbered copies logo1.bmp, logo2.bmp, ... and "restore.bat", a batch file
// that names, for every logo file ever touched, the one command that brings
// back its state before the first change:
//
//   REM --------------------------------------------
//   REM  Run this file to restore previous logos.
//   REM --------------------------------------------
//
//   del  "<logo that did not exist>"
//   copy "<backup copy>" "<logo that existed>"
//
// with CR LF line ends and paths as Windows names them (C:\WINDOWS\LOGOS.SYS),
// so the file can be run by hand inside Windows. Every file goes through
// the managed drive, a folder or a disk image alike.
// Every file error of the backup is swallowed: a failed backup never stops
// a logo from being written. The restore goes on with the next line, and
// names each logo it could not put back.
#pragma once

#include <string>
#include <vector>

namespace kvo {

inline constexpr const char* RESTORE_BAT = "restore.bat";
inline constexpr const char* RESTORE_HEADER_RULE = "REM --------------------------------------------";
inline constexpr const char* RESTORE_HEADER_TEXT = "REM  Run this file to restore previous logos.";

// The restore batch file of the backup folder (found in any letter case).
std::string RestoreBatFile();

// Saves the state of LogoPath before its first change; later calls for the
// same path (compared without regard to case) add nothing. True when
// restore.bat names the logo afterwards, so it may be changed.
bool BackupLogo(const std::string& LogoPath);
// The same for MSDOS.SYS of the drive's root before the program first
// switches its logo setting: a copy msdosN.sys, and restore lines that lift
// its read-only, hidden and system attributes around the copy, so the
// batch file also works when run inside Windows.
bool BackupMsdosSys(const std::string& Path);
// Appends Line to the batch file BatPath (created with its header when
// missing) unless a command line already names LogoPath. True when Line
// was written.
bool AddRestoreLine(const std::string& BatPath, const std::string& LogoPath,
                    const std::string& Line);
// Folder + "logoN.bmp" for the smallest N >= 1 that does not exist yet.
std::string NextBackupName(const std::string& Folder);
// The text between the (2N-1)-th and the 2N-th double quote of Line (N < 1
// counts as 1); empty when they are missing.
std::string QuotedField(const std::string& Line, int N);
// Carries out the batch file: deletes the logos that had not existed and
// copies the others back. The backup stays, so every restore brings back
// the state from before the very first change. False (with the reason in
// the drive's LastError) only when the drive could not be written at all.
// Each logo that could not be put back (its copy missing, the drive full)
// is named with the reason, "C:\LOGO.SYS: REASON", in NotRestored; without
// NotRestored they are shown as one error (NotRestoredText).
bool RestoreLogos(std::vector<std::string>* NotRestored = nullptr);
// "These logos could not be restored:" and one line each.
std::string NotRestoredText(const std::vector<std::string>& NotRestored);
// The "/uninst" run: removes the Run value, then restores the logos.
bool UninstallRun(std::vector<std::string>* NotRestored = nullptr);
// The menu command "Restore Original Logos...": asks, then UninstallRun.
void RestoreCommand();

// Copies Source over Target through a temporary file in Target's folder,
// so a failed copy never leaves half a file. False when it failed.
bool CopyFileReplace(const std::string& Source, const std::string& Target);

}  // namespace kvo
