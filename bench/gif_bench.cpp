// SPDX-License-Identifier: GPL-3.0-or-later
// GIF decoding of the largest animated test file (42 frames of 245 x 245),
// against giflib's DGifSlurp on the same file in the same run. Both read
// the file and decode every frame; the reader here also scans for frame
// positions (the cache is emptied each time) and composes each frame onto
// the logical screen, which giflib leaves to its caller.
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cstdint>
#include <string>

#include "base/Errors.h"
#include "formats/FF_GIF.h"

namespace kvo {
namespace {

const std::string& File() {
  static const std::string path =
      std::string(KVO_SOURCE_DIR) + "/tests/data/gif/pillow/iss634.gif";
  return path;
}

void BM_GifDecodeKvo(benchmark::State& State) {
  TImg img;
  int64_t pixels = 0;
  for (auto _ : State) {
    GIFDone();  // a fresh scan each time, as for a file opened the first time
    TGIFFile gf;
    MonitoredKeep("bench.Gif", [&] {
      GIFOpen(gf, File(), 0);
      while (gf.CurFrame < gf.FrameCount) GIFLoadNext(gf, img);
      GIFClose(gf);
    });
    if (!NoError()) {
      State.SkipWithError("the reader refused the file");
      break;
    }
    pixels += int64_t(gf.Width) * gf.Height * gf.FrameCount;
    benchmark::DoNotOptimize(img.Data);
  }
  State.counters["pixels/s"] = benchmark::Counter(double(pixels), benchmark::Counter::kIsRate);
  ImgFree(img);
  GIFDone();
}

void BM_GifDecodeGiflib(benchmark::State& State) {
  int64_t pixels = 0;
  for (auto _ : State) {
    int error = 0;
    GifFileType* gif = DGifOpenFileName(File().c_str(), &error);
    if (!gif || DGifSlurp(gif) != GIF_OK) {
      State.SkipWithError("giflib refused the file");
      if (gif) DGifCloseFile(gif, &error);
      break;
    }
    pixels += int64_t(gif->SWidth) * gif->SHeight * gif->ImageCount;
    benchmark::DoNotOptimize(gif->SavedImages);
    DGifCloseFile(gif, &error);
  }
  State.counters["pixels/s"] = benchmark::Counter(double(pixels), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_GifDecodeKvo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GifDecodeGiflib)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kvo
