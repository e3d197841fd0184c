// SPDX-License-Identifier: GPL-3.0-or-later
// The scalers on the sizes the program meets: a camera picture brought down
// to the logo canvas, and the canvas stretched to a preview width.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

#include "image/IMGBasic.h"

namespace kvo {
namespace {

// A deterministic picture with detail in every channel.
void FillPattern(TImg& Img, int32_t W, int32_t H) {
  ImgAlloc(Img, W, H, 24);
  uint32_t x = 2463534242u;  // xorshift32
  const int64_t n = int64_t(W) * H * 3;
  for (int64_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    Img.Data[i] = static_cast<uint8_t>(x);
  }
}

template <void (*Scale)(TImg&, TImg&, int32_t, int32_t)>
void Run(benchmark::State& State, int32_t W, int32_t H, int32_t NewW, int32_t NewH) {
  TImg src, dest;
  FillPattern(src, W, H);
  for (auto _ : State) {
    Scale(src, dest, NewW, NewH);
    benchmark::DoNotOptimize(dest.Data);
    benchmark::ClobberMemory();
  }
  State.SetItemsProcessed(State.iterations() * int64_t(W) * H);
  ImgFree(dest);
  ImgFree(src);
}

void BM_ResampleCameraToCanvas(benchmark::State& State) {
  Run<ImgResample>(State, 6000, 4000, 320, 400);
}
void BM_ResampleCanvasToPreview(benchmark::State& State) {
  Run<ImgResample>(State, 320, 400, 480, 400);
}
void BM_ResizeCanvasToPreview(benchmark::State& State) {
  Run<ImgResize>(State, 320, 400, 480, 400);
}

// A camera picture fitted with borders as the import does it: rows arrive
// one at a time, as from a decoder, and are written into the feed (from a
// few rows kept in cache, so the decoding itself is left out).
void BM_FeedCameraRowsToCanvas(benchmark::State& State) {
  constexpr int32_t W = 6000, H = 4000;
  TImg rows, dest;
  FillPattern(rows, W, 16);
  TImgFeedShape shape;
  shape.Width = W;
  shape.Height = H;
  shape.FrameWidth = W;
  shape.FrameHeight = 5000;  // 6000 * 5 / 6: black above and below
  shape.Y = 500;
  shape.NewWidth = 320;
  shape.NewHeight = 400;
  for (auto _ : State) {
    TImgFeed feed;
    ImgFeedStart(feed, dest, shape, nullptr);
    for (int32_t y = 0; y < H; ++y) {
      std::memcpy(ImgFeedRow(feed), rows.Data + (y % 16) * int64_t{W} * 3, size_t{W} * 3);
      ImgFeedPut(feed);
    }
    ImgFeedDone(feed);
    benchmark::DoNotOptimize(dest.Data);
  }
  State.SetItemsProcessed(State.iterations() * int64_t{W} * H);
  ImgFree(dest);
  ImgFree(rows);
}

BENCHMARK(BM_ResampleCameraToCanvas)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FeedCameraRowsToCanvas)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResampleCanvasToPreview)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ResizeCanvasToPreview)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kvo
