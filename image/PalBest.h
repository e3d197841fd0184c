// SPDX-License-Identifier: GPL-3.0-or-later
// The "Best" palette reduction: libimagequant's palette and its dithered
// remap, for pictures that keep the photograph they came from (smooth skies
// and skin without the noise a coarse palette dithers into them).
#pragma once

#include <cstdint>

#include "image/IMGBasic.h"

namespace kvo {

// The tuning of the reduction, measured on photographs (bench/palette --tune).
// Speed 5 is the fastest at which libimagequant, run on one thread, still
// makes its dither map (at 6 the photographs lose nearly 1 dB); 1 to 4 are
// barely better and slower. Half the error is diffused: full dithering
// adds the very noise this reduction is for, while with none at all smooth
// gradients fall into bands, which the measures do not see but the eye does.
// Posterisation is always off.
struct TBestTuning {
  int32_t Speed = 5;          // 1 (most thorough) .. 10
  int32_t MaxQuality = 100;   // 0 .. 100
  float DitherLevel = 0.5f;   // 0 (none) .. 1 (full)
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
