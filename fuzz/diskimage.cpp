// SPDX-License-Identifier: GPL-3.0-or-later
// Disk images: any bytes are recognised as an image with its volumes or
// refused with a reason; every volume found lies inside the disk's data,
// and the size its boot sector claims is read as the bytes say, so the
// check that keeps writes inside the partition sees the true claim.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "drive/DiskImage.h"

using namespace kvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string path = fuzz::InputPath(".img");
  fuzz::Check(fuzz::WriteInput(path, Data, Size), "the input can be written");
  TDiskLayout layout;
  std::string error;
  bool ok = ProbeDiskImage(path, layout, error);
  fuzz::Check(ok == error.empty(), "a refusal says why, an image has no reason");
  if (!ok) return 0;
  fuzz::Check(layout.DataSize <= Size, "the data lies inside the file");
  fuzz::Check(!layout.Volumes.empty(), "an image has a volume or a partition table");
  for (const TVolumeInfo& v : layout.Volumes) {
    if (v.FileSystem.empty()) continue;
    fuzz::Check(v.Offset < layout.DataSize && v.Size <= layout.DataSize - v.Offset,
                "a FAT volume lies inside the data");
    // The claim worked out here from the raw bytes: 16-bit sector count at
    // 19, else the 32-bit one at 32, times bytes per sector at 11.
    uint8_t boot[512] = {};
    for (size_t i = 0; i < sizeof boot && v.Offset + i < Size; ++i) boot[i] = Data[v.Offset + i];
    auto le = [&](size_t At, int Bytes) {
      uint64_t n = 0;
      for (int i = Bytes - 1; i >= 0; --i) n = n << 8 | boot[At + static_cast<size_t>(i)];
      return n;
    };
    const uint64_t sectors = le(19, 2) != 0 ? le(19, 2) : le(32, 4);
    fuzz::Check(v.FileSystemSize == sectors * le(11, 2), "the boot sector's claim is read as written");
    fuzz::Check(FatClaimedSize(boot) == v.FileSystemSize, "one reading of the claim");
    fuzz::Check(v.FileSystemFits() == (v.FileSystemSize <= v.Size), "a volume fits only when its claim does");
  }
  return 0;
}
