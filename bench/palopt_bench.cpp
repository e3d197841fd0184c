// SPDX-License-Identifier: GPL-3.0-or-later
// The quantiser on a logo-sized photograph: the reduction the import runs
// for every picture (count, reduce to 235 entries, dithered remap), and the
// 256-colour depth conversion.
//
// The photograph is the test data's picture of a mountain
// (tests/data/jpeg/pillow/exif-72dpi-int.jpg, 500 x 450), filled into
// 320 x 400 and centre-cropped by ImageMagick into raw blue-green-red bytes
// once at start. Without ImageMagick or the picture a smooth gradient with
// noise stands in, and the benchmark's label says so.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "base/Basic.h"
#include "image/IMGBasic.h"
#include "image/PalOpt.h"

namespace kvo {
namespace {

constexpr int kWidth = 320, kHeight = 400;
constexpr int64_t kBytes = int64_t{kWidth} * kHeight * 3;

bool LoadPhoto(std::string& Bgr) {
  const std::string photo =
      std::string(KVO_SOURCE_DIR) + "/tests/data/jpeg/pillow/exif-72dpi-int.jpg";
  char raw[] = "/tmp/kvo-palbench-XXXXXX";
  const int fd = ::mkstemp(raw);
  if (fd < 0) return false;
  ::close(fd);
  const std::string command = "convert '" + photo +
                              "' -resize 320x400^ -gravity center -extent 320x400 -depth 8 "
                              "bgr:'" + raw + "' 2>/dev/null";
  bool ok = std::system(command.c_str()) == 0;
  Bgr.assign(static_cast<size_t>(kBytes), '\0');
  if (ok) {
    std::FILE* f = std::fopen(raw, "rb");
    ok = f && std::fread(Bgr.data(), 1, Bgr.size(), f) == Bgr.size();
    if (f) std::fclose(f);
  }
  ::unlink(raw);
  return ok;
}

void SynthesiseGradient(std::string& Bgr) {
  std::mt19937 rng(1);
  std::normal_distribution<double> noise(0, 6);
  Bgr.resize(static_cast<size_t>(kBytes));
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const double base[3] = {255.0 * y / kHeight, 128 + 100.0 * x / kWidth - 50.0 * y / kHeight,
                              255.0 * x / kWidth};
      for (int c = 0; c < 3; ++c) {
        const double v = base[c] + noise(rng);
        Bgr[(static_cast<size_t>(y) * kWidth + x) * 3 + c] =
            static_cast<char>(v < 0 ? 0 : v > 255 ? 255 : v);
      }
    }
}

// The picture, loaded once for every benchmark.
const std::string& Picture(const char*& Label) {
  static std::string bgr;
  static const char* label = nullptr;
  if (!label) {
    label = LoadPhoto(bgr) ? "photo exif-72dpi-int.jpg" : "synthetic gradient + noise";
    if (label[0] == 's') SynthesiseGradient(bgr);
  }
  Label = label;
  return bgr;
}

// Runs Step on a fresh copy of the picture per iteration: the dithered
// remap writes its errors into the source.
template <class F>
void RunOnPicture(benchmark::State& State, F&& Step) {
  const char* label;
  const std::string& bgr = Picture(label);
  TImg work, out;
  ImgAlloc(work, kWidth, kHeight, 24);
  for (auto _ : State) {
    State.PauseTiming();
    std::memcpy(work.Data, bgr.data(), bgr.size());
    ImgFree(out);  // the import remaps into a new temporary every time
    State.ResumeTiming();
    Step(work, out);
    benchmark::DoNotOptimize(out.Data);
    benchmark::ClobberMemory();
  }
  State.SetLabel(label);
  ImgFree(work);
  ImgFree(out);
}

void BM_ImportReduction235Dithered(benchmark::State& State) {
  RunOnPicture(State, [](TImg& Src, TImg& Dest) {
    PalInit();
    PalClearVars();
    PalCountColors(Src);
    PalReduce(235);
    PalRemap(Src, Dest, 1);
    PalDone();
  });
}
BENCHMARK(BM_ImportReduction235Dithered)->Unit(benchmark::kMillisecond);

void BM_ConvTo8bit256(benchmark::State& State) {
  RunOnPicture(State, [](TImg& Src, TImg& Dest) { ConvTo8bit(Src, Dest, 0); });
}
BENCHMARK(BM_ConvTo8bit256)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kvo
