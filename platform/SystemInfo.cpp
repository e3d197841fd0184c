// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/SystemInfo.h"

#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>

namespace kvo {
namespace {

// Reads the decimal number at the front of Text and drops it; false when
// there is none. Digits beyond 32 bits saturate rather than wrap.
bool TakeNumber(std::string_view& Text, uint32_t& Value) {
  size_t i = 0;
  uint64_t v = 0;
  while (i < Text.size() && Text[i] >= '0' && Text[i] <= '9') {
    v = v * 10 + static_cast<uint64_t>(Text[i] - '0');
    if (v > UINT32_MAX) v = UINT32_MAX;
    ++i;
  }
  if (i == 0) return false;
  Value = static_cast<uint32_t>(v);
  Text.remove_prefix(i);
  return true;
}

// Moves past a "." that is followed by a number part.
bool TakeDot(std::string_view& Text) {
  if (Text.size() < 2 || Text[0] != '.' || Text[1] < '0' || Text[1] > '9') return false;
  Text.remove_prefix(1);
  return true;
}

}  // namespace

std::string KernelRelease() {
  struct utsname u {};
  if (::uname(&u) != 0) return {};
  return u.release;
}

std::optional<TKernelVersion> ParseKernelRelease(std::string_view Release) {
  TKernelVersion v;
  if (!TakeNumber(Release, v.Major)) return std::nullopt;
  if (TakeDot(Release) && TakeNumber(Release, v.Minor) && TakeDot(Release))
    TakeNumber(Release, v.Patch);
  return v;
}

std::optional<TMemoryStatus> QueryMemoryStatus() {
  struct sysinfo si {};
  if (::sysinfo(&si) != 0) return std::nullopt;
  const uint64_t unit = si.mem_unit ? si.mem_unit : 1;
  TMemoryStatus m;
  m.TotalPhys = static_cast<uint64_t>(si.totalram) * unit;
  m.AvailPhys = static_cast<uint64_t>(si.freeram) * unit;
  m.TotalSwap = static_cast<uint64_t>(si.totalswap) * unit;
  m.AvailSwap = static_cast<uint64_t>(si.freeswap) * unit;
  return m;
}

std::optional<TDiskSpace> QueryDiskSpace(const std::string& Folder) {
  struct statvfs s {};
  if (Folder.empty() || ::statvfs(Folder.c_str(), &s) != 0) return std::nullopt;
  const uint64_t unit = s.f_frsize ? s.f_frsize : s.f_bsize;
  TDiskSpace d;
  d.Total = static_cast<uint64_t>(s.f_blocks) * unit;
  d.Avail = static_cast<uint64_t>(s.f_bavail) * unit;
  return d;
}

}  // namespace kvo
