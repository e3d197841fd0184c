// SPDX-License-Identifier: GPL-3.0-or-later
// The reduction to the logo palette alone, for bench/palette: each canvas
// picture (a 320 x 400 PNG) is reduced Rounds times in this process, the
// median time printed, and the last result written as a PPM for the
// quality measures.
//
// Usage: kvo_reduce REDUCTION ROUNDS OUTDIR FILE...
//   REDUCTION  standard | best (the import's own ways), or
//              best:SPEED,QUALITY,DITHER to try another tuning of Best
//              (the palette step only; the logo layout takes no time).
// Prints one line per picture: its output file, the median milliseconds of
// wall time and of processor time (every thread of the process).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/VCLUtils.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "formats/ConForm.h"
#include "image/IMGBasic.h"
#include "image/PalBest.h"

namespace {

double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double Median(std::vector<double> V) {
  std::sort(V.begin(), V.end());
  return V[V.size() / 2];
}

bool WritePpm(const std::string& Path, const kvo::TImg& Img) {
  std::FILE* f = std::fopen(Path.c_str(), "wb");
  if (!f) return false;
  std::fprintf(f, "P6\n%d %d\n255\n", Img.Width, Img.Height);
  const int64_t n = int64_t{Img.Width} * Img.Height;
  std::vector<uint8_t> rgb(static_cast<size_t>(n) * 3);
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t* p = Img.Palette[Img.Data[i]];
    rgb[3 * i] = p[2];
    rgb[3 * i + 1] = p[1];
    rgb[3 * i + 2] = p[0];
  }
  const bool ok = std::fwrite(rgb.data(), 1, rgb.size(), f) == rgb.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s standard|best|best:SPEED,QUALITY,DITHER ROUNDS OUTDIR FILE...\n",
                 argv[0]);
    return 2;
  }
  kvo::InstallSilentDialogs();
  const std::string reduction = argv[1];
  const int rounds = std::max(1, std::atoi(argv[2]));
  const std::string outDir = argv[3];
  kvo::TBestTuning tuning;
  const bool tuned = reduction.rfind("best:", 0) == 0;
  if (tuned && std::sscanf(reduction.c_str() + 5, "%d,%d,%f", &tuning.Speed, &tuning.MaxQuality,
                           &tuning.DitherLevel) != 3) {
    std::fprintf(stderr, "bad tuning %s\n", reduction.c_str());
    return 2;
  }
  const int32_t palette = reduction == "standard" ? kvo::PALETTE_STANDARD : kvo::PALETTE_BEST;
  int failed = 0;
  for (int i = 4; i < argc; ++i) {
    const std::string source = argv[i];
    kvo::TImg original;
    std::vector<double> times, cpu;
    kvo::TImg result;
    kvo::MonitoredKeep("kvo_reduce", [&] {
      kvo::ImgLoad(source, original, kvo::INVALID_ID);
      for (int r = 0; r < rounds; ++r) {
        kvo::ImgFree(result);
        if (!tuned) kvo::ImgCopy(original, result);
        const auto t = std::chrono::steady_clock::now();
        const double c = CpuMs();
        if (tuned)
          kvo::PalReduceBest(original, result, kvo::LOGO_COLORS, tuning);
        else
          kvo::ReduceToLogoPalette(result, palette);
        times.push_back(std::chrono::duration<double, std::milli>(
                            std::chrono::steady_clock::now() - t).count());
        cpu.push_back(CpuMs() - c);
      }
    });
    const std::string name = source.substr(source.rfind('/') + 1);
    const std::string out = outDir + "/" + name.substr(0, name.rfind('.')) + ".ppm";
    if (!kvo::NoError() || !WritePpm(out, result)) {
      std::fprintf(stderr, "%s: %s\n", source.c_str(), kvo::LastErrorText().c_str());
      kvo::ClearError();
      ++failed;
    } else {
      std::printf("%s %.3f %.3f\n", out.c_str(), Median(times), Median(cpu));
    }
    kvo::ImgFree(original);
    kvo::ImgFree(result);
  }
  kvo::ConDone();
  kvo::BasicFinalize();
  kvo::ErrorsFinalize();
  return failed ? 1 : 0;
}
