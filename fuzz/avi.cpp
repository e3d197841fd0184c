// SPDX-License-Identifier: GPL-3.0-or-later
// AVI reader under the fuzzer, through the FFmpeg module as the program
// loads it: the RIFF check, the module's stream setup, frame decoding in
// and out of order, and the frame-to-picture conversion. The module is
// loaded once before the first input, so its code counts as coverage.
// Checked: a described movie opens and an opened one is described alike,
// sizes and counts are sane, a delivered frame is a whole picture of the
// movie's size, and no block or file stays behind.
#include <algorithm>

#include "formats/AvModule.h"
#include "formats/FF_AVI.h"
#include "fuzz/FuzzSupport.h"
#include "image/IMGBasic.h"

#ifndef KVO_FUZZ_AV_MODULE
#error "the AVI fuzz target needs the path of the FFmpeg module"
#endif

namespace {

using kvo::fuzz::Check;

constexpr int32_t kMaxFramesTried = 4;

void CheckFrame(const kvo::TAviFile& A, const kvo::TImg& Img) {
  Check(Img.Width == A.Width && Img.Height == A.Height && Img.BytesPerPixel == A.BytesPerPixel,
        "a frame has the movie's size and depth");
  Check(kvo::ImgIsValid(Img), "a frame holds a tracked block");
  Check(int64_t{Img.Width} * Img.Height * Img.BytesPerPixel <= Img.Size,
        "the block holds the whole frame");
  uint32_t sum = 0;
  const int64_t n = int64_t{Img.Width} * Img.Height * Img.BytesPerPixel;
  for (int64_t i = 0; i < n; ++i) sum += Img.Data[i];
  volatile uint32_t keep = sum;
  (void)keep;
}

// The first frames in order, then the last and the first again: the
// module decodes forward and seeks back, both of which hostile indexes
// exercise.
void LoadFrames(kvo::TAviFile& A) {
  if (!A.VideoOk) return;
  const int32_t n = std::min(A.FrameCount, kMaxFramesTried);
  const int32_t order[] = {1, 0, 0, A.FrameCount, 1};
  kvo::TImg img;
  for (int32_t i = 0; i < 5; ++i) {
    if (i > 0 && i < 3 && i >= n) continue;
    kvo::MonitoredKeep("fuzz.Frame", [&] { kvo::AviImgLoad(A, img, order[i], 0); });
    if (kvo::NoError()) CheckFrame(A, img);
    kvo::ClearError();
    kvo::ImgFree(img);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kvo::AvSetModulePath_(KVO_FUZZ_AV_MODULE);
  Check(kvo::AvProcs() != nullptr, "the FFmpeg module loads");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string path = kvo::fuzz::InputPath(".avi");
  if (!kvo::fuzz::WriteInput(path, Data, Size)) return 0;
  const int mem = kvo::MemCount(), files = kvo::FCount();

  kvo::TFileInfo info;
  kvo::MonitoredKeep("fuzz.Info", [&] { kvo::AviInfo(path, info); });
  const bool described = kvo::NoError();
  kvo::ClearError();

  kvo::TAviFile a;
  kvo::MonitoredKeep("fuzz.Open", [&] { kvo::AviOpen(a, path); });
  const bool opened = kvo::NoError();
  kvo::ClearError();
  Check(opened == described, "opening and describing agree");
  if (opened) {
    Check(a.FrameCount >= 0 && a.Width >= 0 && a.Height >= 0, "sizes are not negative");
    Check(!a.VideoOk || (a.Width > 0 && a.Height > 0 && a.FrameCount > 0),
          "decodable video has frames");
    Check(!a.HasAudio || a.AudioLength >= 0, "kept sound has a length");
    LoadFrames(a);
    kvo::MonitoredKeep("fuzz.Close", [&] { kvo::AviClose(a); });
    kvo::ClearError();
  }
  kvo::fuzz::CheckTables(mem, files);
  return 0;
}
