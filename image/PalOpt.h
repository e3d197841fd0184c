// SPDX-License-Identifier: GPL-3.0-or-later
// The palette quantiser: reduces a picture of any depth to an 8-bit picture
// of at most 256 colours.
//
// Colours are counted in a cube of 6 bits per channel, the populated part of
// the cube is cut into boxes at their midpoints, each box becomes one palette
// entry, the darkest entry goes to index 0, and every pixel is mapped to its
// entry, optionally with Floyd-Steinberg error diffusion.
//
// The state lives in one tracked block from PalInit to PalDone and is shared
// by every step, so the steps run in the order
//   PalInit, PalClearVars, PalCountColors (one or more pictures), PalReduce,
//   PalRemap (one or more pictures), PalDone.
// It is a single module-wide state: one quantisation at a time, on the
// calling thread. ConvTo8bit runs the whole sequence in one call and so ends
// any quantisation in progress.
#pragma once

#include <cstdint>

#include "image/IMGBasic.h"

namespace kvo {

// Cells of the colour cube: 64 per channel.
inline constexpr int32_t PAL_CUBE_CELLS = 262144;
// Hist value of a cell without pixels (and, after PalReduce, without index).
inline constexpr int32_t PAL_EMPTY = -1;

// A box of the cube, in cell coordinates 0..63, bounds inclusive.
struct TPalBox {
  int32_t RMin, RMax, GMin, GMax, BMin, BMax;
  int32_t DR, DG, DB;    // extents: max - min
  int32_t Splittable;    // nonzero when any extent is above 0
  int32_t Volume;        // 4*DR^2 + 9*DG^2 + DB^2
  int32_t Population;    // populated cells inside (pixel counts do not enter it)
};

// The quantiser's state, one tracked block "PalOpt.PalInit.quant".
struct TQuant {
  // Cell (R shr 2) + (G shr 2) * 64 + (B shr 2) * 4096. While counting: -1
  // no pixel, v >= 0 means v + 1 pixels (saturating at 2147483647). After
  // PalReduce: the palette index of the cell's colour, or -1.
  int32_t Hist[PAL_CUBE_CELLS];
  int32_t ColorCount;      // populated cells, set by PalReduce
  uint8_t Pal[256][3];     // blue, green, red as in TImg
  int32_t CorrMap[256];    // scaled component (0..255) -> palette component
  int32_t BoxCount;
  TPalBox Boxes[256];
  int32_t Wanted;          // entries asked for, 2..256
};

// The cube cell of an 8-bit colour.
constexpr int32_t PalCell(uint8_t Red, uint8_t Green, uint8_t Blue) {
  return (Red >> 2) + ((Green >> 2) << 6) + ((Blue >> 2) << 12);
}

// Allocates the state when there is none yet, then clears the counts.
void PalInit();
// Empties the colour cube: every cell -1, ColorCount 0.
void PalClearVars();
// Adds the pixels of a picture of 8, 15, 16, 24 or 32 bits to the cube;
// pictures of other depths add nothing.
void PalCountColors(const TImg& Img);
// Builds a palette of at most N entries (N clamped to 2..256) and turns the
// cube into the colour-to-index table.
void PalReduce(int32_t N);
// Writes the 8-bit picture Dest (allocated at Src's size) with the palette
// built by PalReduce. With Dither nonzero, 15- to 32-bit pictures are error
// diffused, and the diffused errors are written into Src's own pixels (a 15
// or 16-bit Src is diffused in a temporary copy and stays as it was). 8-bit
// pictures are never dithered. Src and Dest must be different records.
void PalRemap(TImg& Src, TImg& Dest, int32_t Dither);
// Releases the state.
void PalDone();

// The whole sequence with 256 entries; releases the state at its end, also
// when it fails. Src and Dest must be different records.
void ConvTo8bit(TImg& Src, TImg& Dest, int32_t Dither);

// The state between PalInit and PalDone, nullptr outside. For the import,
// which reads the palette, and for diagnostics.
TQuant* PalQuant();

// Length of an error table: errors -255..255, at index error + 255.
inline constexpr int ERR_TABLE_SIZE = 511;
// Fills the correction table of one Floyd-Steinberg weight (1, 3, 5 or 7
// sixteenths).
void _MakeErrTable(int32_t Weight, int32_t (&Table)[ERR_TABLE_SIZE]);

}  // namespace kvo
