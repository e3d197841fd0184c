// SPDX-License-Identifier: GPL-3.0-or-later
// HAV reader under the fuzzer. The bytes go to a file that is described
// and played: every frame in turn, then a jump back to an earlier frame
// (from its key frame, with the palette looked up backwards). Checked: a
// picture always has the header's size and depth, the frame counter
// follows the frames, and no block or file stays behind.
#include <algorithm>

#include "formats/ConForm.h"
#include "formats/FF_HAV.h"
#include "fuzz/FuzzSupport.h"

namespace {

using kvo::fuzz::Check;

// Larger pictures are described but not decoded (see fuzz/gif.cpp).
constexpr int64_t kMaxPicture = 1024 * 1024;
constexpr int32_t kMaxFrames = 64;

void CheckPicture(const kvo::TImg& Img, const kvo::THAVFile& F) {
  Check(kvo::ImgIsValid(Img), "a decoded frame holds a tracked block");
  Check(Img.Width == F.Width && Img.Height == F.Height, "a frame has the header's size");
  Check(Img.BytesPerPixel == F.BytesPerPixel && Img.BitsPerPixel == F.BytesPerPixel * 8,
        "a frame has the header's depth");
  Check(Img.Size >= F.FrameBytes, "the block holds the frame");
}

void Play(kvo::THAVFile& F, kvo::TImg& Img) {
  if (F.FrameBytes > kMaxPicture) return;
  const int32_t last = std::min(F.FrameCount, kMaxFrames);
  for (int32_t k = 1; k <= last; ++k) {
    kvo::HAVImgLoad(F, Img, 0, 1);
    Check(F.CurFrame == k, "the next frame is counted");
    CheckPicture(Img, F);
  }
  if (F.CurFrame > 1) {
    const int32_t back = F.CurFrame / 2;
    kvo::HAVImgLoad(F, Img, back, 0);
    Check(F.CurFrame == back, "a jump back lands on the frame asked for");
    CheckPicture(Img, F);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string path = kvo::fuzz::InputPath(".hav");
  if (!kvo::fuzz::WriteInput(path, Data, Size)) return 0;

  const int mem = kvo::MemCount(), files = kvo::FCount();
  kvo::TFileInfo info;
  kvo::MonitoredKeep("fuzz.Info", [&] { kvo::HAVInfo(path, info); });
  kvo::ClearError();
  kvo::THAVFile hav;
  kvo::TImg img;
  kvo::MonitoredKeep("fuzz.Movie", [&] {
    kvo::HAVOpen(hav, path);
    Play(hav, img);
  });
  kvo::ClearError();
  kvo::MonitoredKeep("fuzz.Close", [&] { kvo::HAVClose(hav); });
  kvo::ClearError();
  Check(hav.PredictImg == nullptr, "closing releases the prediction buffer");
  // A failure releases all its keeping frame recorded, the picture of the
  // frames before included: the record then names a released block.
  if (img.Data && !kvo::MemValid(img.Data)) img = kvo::TImg{};
  kvo::ImgFree(img);
  kvo::fuzz::CheckTables(mem, files);
  return 0;
}
