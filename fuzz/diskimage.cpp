// Disk images: any bytes are recognised as an image with its volumes or
// refused with a reason; every volume found lies inside the disk's data.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/DiskImage.h"

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
  }
  return 0;
}
