// SPDX-License-Identifier: GPL-3.0-or-later
// Queries about the host system: kernel version, memory and disk space.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvo {

struct TKernelVersion {
  uint32_t Major = 0;
  uint32_t Minor = 0;
  uint32_t Patch = 0;
};

// The release text of the running kernel (uname), empty when unknown.
std::string KernelRelease();
// "6.1.0-18-amd64" -> 6, 1, 0. Missing parts are 0; nullopt when the text
// does not start with a number.
std::optional<TKernelVersion> ParseKernelRelease(std::string_view Release);

struct TMemoryStatus {
  uint64_t TotalPhys = 0;  // bytes
  uint64_t AvailPhys = 0;
  uint64_t TotalSwap = 0;
  uint64_t AvailSwap = 0;
};
// nullopt when the system does not answer.
std::optional<TMemoryStatus> QueryMemoryStatus();

struct TDiskSpace {
  uint64_t Total = 0;  // bytes of the file system
  uint64_t Avail = 0;  // bytes an unprivileged caller may still use
};
// The file system that holds Folder; nullopt when it cannot be queried.
std::optional<TDiskSpace> QueryDiskSpace(const std::string& Folder);

}  // namespace kvo
