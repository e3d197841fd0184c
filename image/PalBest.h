// The "Best" palette reduction: libimagequant's palette and its dithered
// remap, for pictures that keep the photograph they came from (smooth skies
// and skin without the noise a coarse palette dithers into them).
#pragma once

#include <cstdint>

#include "image/IMGBasic.h"

namespace kvo {

// The tuning of the reduction, measured on photographs (bench/quality):
// libimagequant's slowest, most thorough search, full quality, no
// posterisation, and a dithering level that softens its diffusion where the
// palette already comes close.
struct TBestTuning {
  int32_t Speed = 1;            // 1 (most thorough) .. 10
  int32_t MaxQuality = 100;     // 0 .. 100
  float DitherLevel = 1.0f;     // 0 (none) .. 1 (full)
};

// Reduces Src (8, 15, 16, 24 or 32 bits) to the 8-bit Dest (allocated here
// at Src's size) with at most Colors entries (clamped to 2 .. 256) at
// 0 .. Colors - 1; the entries beyond those the picture uses are zero.
// Every pixel counts as opaque: the depths' fourth byte is no alpha the
// logo could show. A picture of no more than Colors distinct colours is
// kept exactly. Src and Dest must be different records.
void PalReduceBest(const TImg& Src, TImg& Dest, int32_t Colors,
                   const TBestTuning& Tuning = TBestTuning{});

}  // namespace kvo
