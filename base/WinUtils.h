// SPDX-License-Identifier: GPL-3.0-or-later
// The host system as the program sees it: version, Windows folder, memory,
// disk space, starting other programs, and the fatal-error box.
//
// The "Windows folder" is that of the managed drive (a disk image or a
// mounted Windows 98 drive), kept as the registry value SystemRoot.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvo {

// Platform ids of the version record. The host is none of the Windows
// families, so its version reads as "Unknown system".
inline constexpr int32_t VER_PLATFORM_WIN32S = 0;
inline constexpr int32_t VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr int32_t VER_PLATFORM_WIN32_NT = 2;
inline constexpr int32_t VER_PLATFORM_HOST = -1;

// "Win98 4.10 build 2222": the family name chosen by the platform id, the
// version and the low 16 bits of the build.
std::string FormatWinVersion(int32_t PlatformId, uint32_t Major, uint32_t Minor,
                             uint32_t Build);
// The running system: "Unknown system " + kernel major.minor + " build " + patch.
std::string GetWinVersionStr();

// The Windows folder of the managed drive with a trailing "/"; empty when
// it cannot be found out.
std::string GetWinFolder();
// The root of the managed drive (the parent of the Windows folder) +
// "trace.txt"; empty when there is no Windows folder.
std::string TraceFileName();

// Total and available physical memory in bytes; 0 when unknown.
uint64_t GetWinPhysicalMemory();
uint64_t GetWinFreeMemory();
// Total bytes and bytes available to us on the file system of Folder;
// false (and both 0) when it cannot be queried.
bool GetDriveFreeSpace(const std::string& Folder, uint64_t& Total, uint64_t& Free);

// The owner of message boxes and started programs. The core has no window
// system, so there is none.
uintptr_t GetWindowHandle();
// The system's fatal-error box (caption "Error", error icon, OK).
void DvlShowError(const std::string& Text);

// Opens Program (an executable with Params, a document or an address) and
// returns at once; true when it could be started.
bool _ExecNoWait(std::string_view Program, std::string_view Params, std::string_view Folder);
// Runs Program + " " + Params in Folder and waits until it ends; true when
// it could be started.
bool _ExecDoWait(std::string_view Program, std::string_view Params, std::string_view Folder);
// _ExecDoWait when Wait is true, else _ExecNoWait.
bool ExecuteProgram(std::string_view Program, std::string_view Params, std::string_view Folder,
                    bool Wait);

}  // namespace kvo
