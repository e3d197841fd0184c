// SPDX-License-Identifier: GPL-3.0-or-later
// SGI reader under the fuzzer. Besides what every reader's target checks
// (see LibFormatFuzz.h: a valid picture or an error, no block or file left
// behind), a loaded picture has the depth its channel count says: grey for
// one or two channels, then 24 and 32 bits.
#include "formats/FF_SGI.h"
#include "fuzz/LibFormatFuzz.h"

namespace {

using kvo::fuzz::Check;

int CheckSgi(const uint8_t* Data, size_t Size) {
  const std::string path = kvo::fuzz::InputPath(".sgi");
  if (!kvo::fuzz::WriteInput(path, Data, Size)) return 0;

  const int mem = kvo::MemCount(), files = kvo::FCount();
  kvo::TImg img;
  kvo::MonitoredKeep("fuzz.Load", [&] { kvo::SGILoad(path, img); });
  const bool loaded = kvo::NoError();
  kvo::ClearError();
  kvo::TFileInfo info;
  kvo::MonitoredKeep("fuzz.Info", [&] { kvo::SGIInfo(path, info); });
  const bool described = kvo::NoError();
  kvo::ClearError();
  if (loaded) {
    Check(kvo::ImgIsValid(img), "a loaded picture holds a tracked block");
    Check(img.Width > 0 && img.Height > 0, "a loaded picture has pixels");
    Check(img.Size >= int64_t{img.Width} * img.Height * img.BytesPerPixel, "the block holds it");
    Check(described && info.VideoLoadable, "a loadable file is described as loadable");
    Check(info.Width == img.Width && info.Height == img.Height, "the same size");
    const int32_t z = info.BytesPerPixel;
    Check(img.BitsPerPixel == (z <= 2 ? 8 : z * 8), "the depth the channels give");
  } else {
    Check(img.Data == nullptr || kvo::ImgIsValid(img), "a failed load keeps no released block");
  }
  kvo::ImgFree(img);
  Check(kvo::MemCount() == mem, "every block is released");
  Check(kvo::FCount() == files, "every file is closed");
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  return CheckSgi(Data, Size);
}
