// SPDX-License-Identifier: GPL-3.0-or-later
// The import's row by row readers under the fuzzer: the bytes go to a file
// that every reader with a feed (JPEG, PNG, TIFF, BMP, TGA, PCX, PNM, SGI,
// Sun raster) decodes straight into a feed, fitted to the logo canvas
// through a frame that crops, stretches or adds borders (the first byte
// picks which); the same bytes are recognised by their signature too. A
// decode gives the full canvas, 24 bits, or
// an error; either way no block or file of the tracked tables stays behind.
#include <algorithm>
#include <cstdint>
#include <string>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ConForm.h"
#include "formats/FFBasic.h"
#include "fuzz/FuzzSupport.h"
#include "image/IMGBasic.h"

namespace {

// Border: the picture in the middle of a frame a few pixels larger; crop:
// the middle part of the picture; stretch: the picture itself.
kvo::TImgFeedShape Frame(const kvo::TImg& Shape, uint8_t Mode) {
  kvo::TImgFeedShape s;
  s.Width = s.FrameWidth = Shape.Width;
  s.Height = s.FrameHeight = Shape.Height;
  s.BitsPerPixel = Shape.BitsPerPixel;
  if (Mode % 3 == 1) {
    s.FrameWidth += 7;
    s.FrameHeight += 5;
    s.X = 3;
    s.Y = 2;
  } else if (Mode % 3 == 2) {
    s.FrameWidth = Shape.Width > 2 ? Shape.Width / 2 : Shape.Width;
    s.FrameHeight = Shape.Height > 2 ? Shape.Height / 2 : Shape.Height;
    s.X = -(Shape.Width - s.FrameWidth) / 2;
    s.Y = -(Shape.Height - s.FrameHeight) / 2;
  }
  s.NewWidth = 320;
  s.NewHeight = 400;
  return s;
}

void Fit(const std::string& Path, uint8_t Mode, kvo::TFFFeedProc LoadFed) {
  const int mem = kvo::MemCount(), files = kvo::FCount();
  kvo::TImg canvas;
  kvo::TImgFeed feed;
  kvo::TImgFeedStarter start = [&](kvo::TImgFeed& F, const kvo::TImg& Shape) {
    kvo::ImgFeedStart(F, canvas, Frame(Shape, Mode), &Shape.Palette);
  };
  kvo::MonitoredKeep("fuzz.Fitted", [&] { LoadFed(Path, feed, start); });
  const bool fitted = kvo::NoError();
  kvo::ClearError();
  if (fitted) {
    kvo::fuzz::Check(kvo::ImgIsValid(canvas), "the canvas holds a tracked block");
    kvo::fuzz::Check(canvas.Width == 320 && canvas.Height == 400 && canvas.BitsPerPixel == 24,
                     "the canvas is 320 x 400 at 24 bits");
    kvo::ImgFree(canvas);
  }
  kvo::fuzz::CheckTables(mem, files);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string path = kvo::fuzz::InputPath(".img");
  if (!kvo::fuzz::WriteInput(path, Data, Size)) return 0;
  const uint8_t mode = Size > 0 ? Data[0] : 0;
  // Recognition by content reads the same bytes: it names a reading format
  // or none, and whatever it names agrees with the bytes in memory.
  const int32_t byContent = kvo::FFFormatOfFile(path);
  kvo::fuzz::Check(byContent == kvo::INVALID_ID || kvo::FFReadRowById(byContent) != nullptr,
                   "recognition by content names a reading format");
  const size_t tail = Size < kvo::FF_SNIFF_TAIL ? 0 : kvo::FF_SNIFF_TAIL;
  kvo::fuzz::Check(byContent == kvo::FFFormatOfBytes({Data, std::min(Size, kvo::FF_SNIFF_HEAD)},
                                                     {Data + Size - tail, tail}),
                   "a file and its bytes are recognised alike");
  for (int32_t id = 1; id <= kvo::FF_MAX_ID; ++id) {
    const kvo::TFormatProcs* procs = kvo::FFProcs(id);
    if (procs && procs->Feed) Fit(path, mode, procs->Feed);
  }
  return 0;
}
