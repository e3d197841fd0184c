// SPDX-License-Identifier: GPL-3.0-or-later
// FLIC reader under the fuzzer. The bytes go to a file that is described
// and played: every frame in turn, then a jump back that rewinds. Checked:
// a picture always has the header's size in 8 bits, the frame counter
// follows the frames, and no block or file stays behind.
#include "formats/ConForm.h"
#include "formats/FF_FLC.h"
#include "fuzz/LibFormatFuzz.h"

namespace {

using kvo::fuzz::Check;

// Larger pictures are described but not decoded (see fuzz/gif.cpp).
constexpr int64_t kMaxPicture = 1024 * 1024;
constexpr int32_t kMaxFrames = 64;

void CheckPicture(const kvo::TImg& Img, const kvo::TFLCFile& F) {
  Check(kvo::ImgIsValid(Img), "a decoded frame holds a tracked block");
  Check(Img.Width == F.Width && Img.Height == F.Height, "a frame has the header's size");
  Check(Img.BitsPerPixel == 8 && Img.BytesPerPixel == 1, "frames are 8 bits");
  Check(Img.Size >= int64_t{Img.Width} * Img.Height, "the block holds the frame");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string path = kvo::fuzz::InputPath(".flc");
  if (!kvo::fuzz::WriteInput(path, Data, Size)) return 0;

  const int mem = kvo::MemCount(), files = kvo::FCount();
  kvo::TFileInfo info;
  kvo::MonitoredKeep("fuzz.Info", [&] { kvo::FLCInfo(path, info); });
  kvo::ClearError();
  kvo::TFLCFile flc;
  kvo::TImg img;
  kvo::MonitoredKeep("fuzz.Movie", [&] {
    kvo::FLCOpen(flc, path);
    if (flc.PixelCount > kMaxPicture) return;
    for (int32_t k = 1; k <= std::min(flc.FrameCount, kMaxFrames); ++k) {
      kvo::FLCLoad(flc, img, 0, 1);
      Check(flc.CurFrame == k, "the next frame is counted");
      CheckPicture(img, flc);
    }
    if (flc.CurFrame > 1) {
      kvo::FLCLoad(flc, img, 1, 0);
      Check(flc.CurFrame == 1, "a jump back lands on the frame asked for");
      CheckPicture(img, flc);
    }
  });
  kvo::ClearError();
  kvo::MonitoredKeep("fuzz.Close", [&] { kvo::FLCClose(flc); });
  kvo::ClearError();
  // A failure releases all its keeping frame recorded, the picture of the
  // frames before included: the record then names a released block.
  if (img.Data && !kvo::MemValid(img.Data)) img = kvo::TImg{};
  kvo::ImgFree(img);
  Check(kvo::MemCount() == mem, "every block is released");
  Check(kvo::FCount() == files, "every file is closed");
  return 0;
}
