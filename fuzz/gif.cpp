// SPDX-License-Identifier: GPL-3.0-or-later
// GIF reader under the fuzzer. The bytes go to a file that is described,
// loaded as a still picture, and played as a movie: every frame in turn,
// then a jump back. Checked: a picture is always the logical screen in 8
// bits, the frame counter only moves as far as the frames go, and once the
// position table is released no block or file stays behind.
#include "formats/ConForm.h"
#include "formats/FF_GIF.h"
#include "fuzz/LibFormatFuzz.h"

namespace {

using kvo::fuzz::Check;

// Screens larger than this are described but not decoded: allocating up to
// a quarter gigabyte for an input would only slow the fuzzer down, and the
// decoder runs the same code for any size.
constexpr int64_t kMaxScreen = 1024 * 1024;
constexpr int32_t kMaxFrames = 64;

void CheckPicture(const kvo::TImg& Img, const kvo::TGIFFile& Gf) {
  Check(kvo::ImgIsValid(Img), "a decoded frame holds a tracked block");
  Check(Img.Width == Gf.Width && Img.Height == Gf.Height, "a frame is the logical screen");
  Check(Img.BitsPerPixel == 8 && Img.BytesPerPixel == 1, "frames are 8 bits");
  Check(Img.Size >= int64_t{Img.Width} * Img.Height, "the block holds the frame");
}

void PlayMovie(const std::string& Path) {
  kvo::TGIFFile gf;
  kvo::TImg img;
  kvo::MonitoredKeep("fuzz.Movie", [&] {
    kvo::GIFOpen(gf, Path, 0);
    if (int64_t{gf.Width} * gf.Height > kMaxScreen) return;
    for (int32_t k = 1; k <= std::min(gf.FrameCount, kMaxFrames); ++k) {
      kvo::GIFLoad(gf, img, 0, 1);
      Check(gf.CurFrame == k, "the next frame is counted");
      CheckPicture(img, gf);
    }
    if (gf.FrameCount > 1) {
      kvo::GIFLoad(gf, img, 1, 0);
      Check(gf.CurFrame == 1, "a jump back lands on the frame asked for");
      CheckPicture(img, gf);
    }
  });
  kvo::ClearError();
  kvo::MonitoredKeep("fuzz.Close", [&] { kvo::GIFClose(gf); });
  kvo::ClearError();
  // A failure releases all its keeping frame recorded, the picture of the
  // frames before included: the record then names a released block.
  if (img.Data && !kvo::MemValid(img.Data)) img = kvo::TImg{};
  kvo::ImgFree(img);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string path = kvo::fuzz::InputPath(".gif");
  if (!kvo::fuzz::WriteInput(path, Data, Size)) return 0;

  const int mem = kvo::MemCount(), files = kvo::FCount();
  kvo::TFileInfo info;
  kvo::MonitoredKeep("fuzz.Info", [&] { kvo::GIFInfo(path, info, 0); });
  const bool described = kvo::NoError();
  kvo::ClearError();
  if (described && int64_t{info.Width} * info.Height <= kMaxScreen) {
    kvo::TImg img;
    kvo::MonitoredKeep("fuzz.Still", [&] { kvo::GIFLoadStill(path, img); });
    if (kvo::NoError()) {
      Check(img.Width == info.Width && img.Height == info.Height, "the still is the screen");
      Check(img.BitsPerPixel == 8, "the still has 8 bits");
    }
    kvo::ClearError();
    kvo::ImgFree(img);
  }
  PlayMovie(path);
  kvo::GIFDone();
  Check(kvo::MemCount() == mem, "every block is released");
  Check(kvo::FCount() == files, "every file is closed");
  return 0;
}
