// SPDX-License-Identifier: GPL-3.0-or-later
// The palette quantiser. See PalOpt.h for the order of the steps.
//
// Pictures come from hostile files, so every picture is checked against the
// block that holds it before a pixel is read, and every offset is computed in
// 64 bits: nothing is read or written outside a block whatever the width or
// the height.
#include "image/PalOpt.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "base/Basic.h"
#include "base/Errors.h"

namespace kvo {
namespace {

constexpr int32_t kMaxCount = std::numeric_limits<int32_t>::max();

constexpr std::string_view kQuantName = "PalOpt.PalInit.quant";

TQuant* quant = nullptr;

// The state, or nullptr. A failing monitored frame releases the blocks it
// recorded without knowing the variables that held them, so our pointer may
// point to a released block, or to one the allocator has since handed to
// someone else: only a block recorded under our own owner name counts.
TQuant* LiveQuant_() {
  if (!quant) return nullptr;
  const TMemRecord* rec = MemRecord(MemFind(quant));
  const bool ours = rec && rec->Size >= static_cast<int64_t>(sizeof(TQuant)) &&
                    rec->Desc.size() > kQuantName.size() + 2 &&
                    rec->Desc.compare(2, kQuantName.size(), kQuantName) == 0 &&
                    rec->Desc[kQuantName.size() + 2] == ':';
  if (!ours) quant = nullptr;
  return quant;
}

void ReleaseQuant_() {
  if (LiveQuant_()) MemFree(quant);
  quant = nullptr;
}

// Records an image error and leaves the monitored procedure. The MonExit
// only matters where SetError cannot raise (monitoring switched off): the
// body must never go on with what it refused.
[[noreturn]] void Fail_(int32_t Code, int Line) {
  SetError(EG_IMG, Code, Line);
  MonExit();
}

// The state for a step that needs it: calling a step before PalInit (or
// after PalDone) is an error, not a crash.
TQuant& Q_(int Line) {
  TQuant* q = LiveQuant_();
  if (!q) Fail_(6, Line);
  return *q;
}

// Bytes per pixel of the depths the quantiser knows, 0 for any other.
int32_t DepthBytes_(int32_t BitsPerPixel) {
  switch (BitsPerPixel) {
    case 8: return 1;
    case 15:
    case 16: return 2;
    case 24: return 3;
    case 32: return 4;
    default: return 0;
  }
}

// The pixel count of a picture of a known depth whose block really holds
// its pixels. A record that claims more than its block holds is refused
// before any pixel is touched.
int64_t CheckedPixels_(const TImg& Img, int Line) {
  const int32_t bpp = DepthBytes_(Img.BitsPerPixel);
  if (Img.Width < 0 || Img.Height < 0 || Img.BytesPerPixel != bpp) Fail_(2, Line);
  const int64_t pixels = static_cast<int64_t>(Img.Width) * Img.Height;
  if (pixels == 0) return 0;
  // pixels <= Size first, so pixels * bpp cannot overflow.
  if (!Img.Data || !ImgIsValid(Img) || pixels > Img.Size || pixels * bpp > Img.Size)
    Fail_(2, Line);
  if (!Img.Borrowed) {
    const TMemRecord* rec = MemRecord(MemFind(Img.Data));
    if (!rec || pixels * bpp > rec->Size) Fail_(2, Line);
  }
  return pixels;
}

// ---- counting -------------------------------------------------------------------

inline void Increment_(int32_t& Cell) {
  if (Cell != kMaxCount) ++Cell;
}

void Count24_(TQuant& Q, const uint8_t* P, int64_t Pixels, int Step) {
  for (int64_t i = 0; i < Pixels; ++i, P += Step) Increment_(Q.Hist[PalCell(P[2], P[1], P[0])]);
}

// 15 bits: blue 0-4, green 5-9, red 10-14. 16 bits: blue 0-4, green 5-10,
// red 11-15. Five-bit fields land on even cells, as their 8-bit widening
// (shift left by 3) would.
void Count16_(TQuant& Q, const uint8_t* P, int64_t Pixels, bool Green6) {
  for (int64_t i = 0; i < Pixels; ++i, P += 2) {
    const uint32_t w = P[0] | (static_cast<uint32_t>(P[1]) << 8);
    const uint32_t b = 2 * (w & 31);
    const uint32_t g = Green6 ? (w >> 5) & 63 : 2 * ((w >> 5) & 31);
    const uint32_t r = Green6 ? 2 * ((w >> 11) & 31) : 2 * ((w >> 10) & 31);
    Increment_(Q.Hist[r + (g << 6) + (b << 12)]);
  }
}

// Counts the indices first and adds each used palette entry's count to its
// colour's cell, so entries of one colour add up and unused entries (often
// a tail of black ones) count nothing.
void Count8_(TQuant& Q, const TImg& Img, int64_t Pixels) {
  int64_t counts[256] = {};
  for (int64_t i = 0; i < Pixels; ++i) ++counts[Img.Data[i]];
  for (int i = 0; i < 256; ++i) {
    if (counts[i] == 0) continue;
    int32_t& cell = Q.Hist[PalCell(Img.Palette[i][2], Img.Palette[i][1], Img.Palette[i][0])];
    const int64_t sum = static_cast<int64_t>(cell) + counts[i];
    cell = static_cast<int32_t>(std::min<int64_t>(sum, kMaxCount));
  }
}

// ---- palette building -----------------------------------------------------------

// Scaled components below 4 become 0: a mean colour just above black is
// black, so dark pictures keep a true black.
void CreateCorrectionMap(TQuant& Q) {
  for (int i = 0; i < 256; ++i) Q.CorrMap[i] = i < 4 ? 0 : i;
}

// Whether any cell of the given sub-box is populated.
bool AnyPopulated_(const TQuant& Q, int32_t R0, int32_t R1, int32_t G0, int32_t G1, int32_t B0,
                   int32_t B1) {
  for (int32_t b = B0; b <= B1; ++b)
    for (int32_t g = G0; g <= G1; ++g) {
      const int32_t* row = &Q.Hist[(b << 12) + (g << 6)];
      for (int32_t r = R0; r <= R1; ++r)
        if (row[r] != PAL_EMPTY) return true;
    }
  return false;
}

int32_t CountPopulated_(const TQuant& Q, const TPalBox& X) {
  int32_t n = 0;
  for (int32_t b = X.BMin; b <= X.BMax; ++b)
    for (int32_t g = X.GMin; g <= X.GMax; ++g) {
      const int32_t* row = &Q.Hist[(b << 12) + (g << 6)];
      for (int32_t r = X.RMin; r <= X.RMax; ++r) n += row[r] != PAL_EMPTY;
    }
  return n;
}

// Pulls each face of the box in to the first plane that holds a colour.
// The "min < max" guards only matter for an empty box, which the splitting
// never makes; they keep the bounds ordered whatever the cube holds.
void ShrinkBox(TQuant& Q, int32_t Index) {
  TPalBox& x = Q.Boxes[Index];
  while (x.RMin < x.RMax && !AnyPopulated_(Q, x.RMin, x.RMin, x.GMin, x.GMax, x.BMin, x.BMax))
    ++x.RMin;
  while (x.RMax > x.RMin && !AnyPopulated_(Q, x.RMax, x.RMax, x.GMin, x.GMax, x.BMin, x.BMax))
    --x.RMax;
  while (x.GMin < x.GMax && !AnyPopulated_(Q, x.RMin, x.RMax, x.GMin, x.GMin, x.BMin, x.BMax))
    ++x.GMin;
  while (x.GMax > x.GMin && !AnyPopulated_(Q, x.RMin, x.RMax, x.GMax, x.GMax, x.BMin, x.BMax))
    --x.GMax;
  while (x.BMin < x.BMax && !AnyPopulated_(Q, x.RMin, x.RMax, x.GMin, x.GMax, x.BMin, x.BMin))
    ++x.BMin;
  while (x.BMax > x.BMin && !AnyPopulated_(Q, x.RMin, x.RMax, x.GMin, x.GMax, x.BMax, x.BMax))
    --x.BMax;
  x.DR = x.RMax - x.RMin;
  x.DG = x.GMax - x.GMin;
  x.DB = x.BMax - x.BMin;
  x.Splittable = (x.DR > 0 || x.DG > 0 || x.DB > 0) ? -1 : 0;
  x.Volume = 4 * x.DR * x.DR + 9 * x.DG * x.DG + x.DB * x.DB;
  x.Population = CountPopulated_(Q, x);
}

// The splittable box with the largest population (or volume); only values
// above 0 count, and the lower index wins a tie. -1 when there is none.
int32_t FindLargest_(const TQuant& Q, bool ByPopulation) {
  int32_t best = -1, bestValue = 0;
  for (int32_t i = 0; i < Q.BoxCount; ++i) {
    const TPalBox& x = Q.Boxes[i];
    const int32_t v = ByPopulation ? x.Population : x.Volume;
    if (x.Splittable && v > bestValue) {
      best = i;
      bestValue = v;
    }
  }
  return best;
}

// Cuts a box at the midpoint of its longest axis (green wins a tie with
// red, and red or green win a tie with blue); the new box takes the upper
// half and the next index.
void SplitBox_(TQuant& Q, int32_t Chosen) {
  const int32_t added = Q.BoxCount++;
  Q.Boxes[added] = Q.Boxes[Chosen];
  TPalBox& low = Q.Boxes[Chosen];
  TPalBox& high = Q.Boxes[added];
  // The axis, as its bounds within a box.
  int32_t TPalBox::*min = &TPalBox::GMin;
  int32_t TPalBox::*max = &TPalBox::GMax;
  int32_t extent = low.DG;
  if (low.DR > low.DG) {
    min = &TPalBox::RMin;
    max = &TPalBox::RMax;
    extent = low.DR;
  }
  if (low.DB > extent) {
    min = &TPalBox::BMin;
    max = &TPalBox::BMax;
  }
  const int32_t m = (low.*min + low.*max) / 2;
  low.*max = m;
  high.*min = m + 1;
  ShrinkBox(Q, Chosen);
  ShrinkBox(Q, added);
}

// Halves boxes until Wanted exist or none can be cut. The first half of the
// cuts goes by population, so every well-populated region gets entries;
// the rest by volume, so sparse but far-flung colours are not lost.
void SplitBoxes(TQuant& Q) {
  Q.BoxCount = 1;
  Q.Boxes[0] = TPalBox{0, 63, 0, 63, 0, 63, 0, 0, 0, 0, 0, 0};
  ShrinkBox(Q, 0);
  do {
    const int32_t chosen = FindLargest_(Q, 2 * Q.BoxCount <= Q.Wanted);
    if (chosen < 0) break;
    SplitBox_(Q, chosen);
  } while (Q.BoxCount < Q.Wanted);
}

// Entry Index := the pixel-weighted mean colour of the box; every cell of
// the box, populated or not, then maps to Index, so colours that were not
// counted still find their box.
void ProcessBox_(TQuant& Q, int32_t Index) {
  const TPalBox& x = Q.Boxes[Index];
  // Counts reach 2^31 and sums far beyond: doubles hold them exactly for
  // any picture the allocator can hold.
  double n = 0, sumR = 0, sumG = 0, sumB = 0;
  for (int32_t b = x.BMin; b <= x.BMax; ++b)
    for (int32_t g = x.GMin; g <= x.GMax; ++g) {
      int32_t* row = &Q.Hist[(b << 12) + (g << 6)];
      for (int32_t r = x.RMin; r <= x.RMax; ++r) {
        if (row[r] != PAL_EMPTY) {
          const double c = static_cast<double>(row[r]) + 1.0;
          n += c;
          sumR += c * r;
          sumG += c * g;
          sumB += c * b;
        }
        row[r] = Index;
      }
    }
  if (n == 0) n = 1;
  auto component = [&](double Sum) {
    const int32_t scaled = static_cast<int32_t>(4.0 * Sum / n);  // truncates
    return static_cast<uint8_t>(Q.CorrMap[std::clamp(scaled, 0, 255)]);
  };
  Q.Pal[Index][0] = component(sumB);
  Q.Pal[Index][1] = component(sumG);
  Q.Pal[Index][2] = component(sumR);
}

void CreateHighPalette(TQuant& Q) {
  for (int32_t i = 0; i < Q.BoxCount; ++i) ProcessBox_(Q, i);
}

// Few enough colours for one entry each: entries in cube order, each the
// cell's own colour at 6 bits.
void CreateLowPalette(TQuant& Q) {
  int32_t k = 0;
  // ColorCount (at most Wanted, so at most 256) was counted just before.
  for (int32_t cell = 0; cell < PAL_CUBE_CELLS && k < Q.ColorCount; ++cell) {
    if (Q.Hist[cell] == PAL_EMPTY) continue;
    Q.Hist[cell] = k;
    Q.Pal[k][0] = static_cast<uint8_t>(Q.CorrMap[4 * (cell >> 12)]);
    Q.Pal[k][1] = static_cast<uint8_t>(Q.CorrMap[4 * ((cell >> 6) & 63)]);
    Q.Pal[k][2] = static_cast<uint8_t>(Q.CorrMap[4 * (cell & 63)]);
    ++k;
  }
}

// The entry of the first Count nearest to (R, G, B) by 4*dR^2 + 9*dG^2 +
// dB^2; the lowest index wins a tie. The green term, the heaviest, is
// weighed first: an entry it alone rules out costs no further work.
int32_t FindNearest_(const TQuant& Q, int32_t R, int32_t G, int32_t B, int32_t Count) {
  Count = std::clamp(Count, 0, 256);
  int32_t best = kMaxCount, result = 0;
  for (int32_t i = 0; i < Count; ++i) {
    const int32_t dg = G - Q.Pal[i][1];
    int32_t d = 9 * dg * dg;
    if (d > best) continue;
    const int32_t dr = R - Q.Pal[i][2];
    const int32_t db = B - Q.Pal[i][0];
    d += 4 * dr * dr + db * db;
    if (d < best) {
      best = d;
      result = i;
    }
  }
  return result;
}

// The same search for the many colours of the dithered remap, over the
// entries sorted by green: it starts at the green of the colour and walks
// outwards both ways, and a way ends where the green term alone exceeds the
// best distance found, as no entry beyond can then come closer. An entry of
// equal distance still wins when its index is lower, so the result is that
// of the search above.
struct TNearest_ {
  int32_t R[256], G[256], B[256], Index[256];
  int32_t Count;

  TNearest_(const TQuant& Q, int32_t N) : Count(std::clamp(N, 0, 256)) {
    int32_t order[256];
    for (int32_t i = 0; i < Count; ++i) order[i] = i;
    std::stable_sort(order, order + Count,
                     [&Q](int32_t A, int32_t B) { return Q.Pal[A][1] < Q.Pal[B][1]; });
    for (int32_t k = 0; k < Count; ++k) {
      const int32_t i = order[k];
      R[k] = Q.Pal[i][2];
      G[k] = Q.Pal[i][1];
      B[k] = Q.Pal[i][0];
      Index[k] = i;
    }
  }

  int32_t Find(int32_t Red, int32_t Green, int32_t Blue) const {
    int32_t up = static_cast<int32_t>(std::lower_bound(G, G + Count, Green) - G);
    int32_t down = up - 1;
    int32_t best = kMaxCount, result = 0;
    auto weigh = [&](int32_t K) {
      const int32_t dr = Red - R[K], dg = Green - G[K], db = Blue - B[K];
      const int32_t d = 4 * dr * dr + 9 * dg * dg + db * db;
      if (d < best || (d == best && Index[K] < result)) {
        best = d;
        result = Index[K];
      }
    };
    for (;;) {
      const bool goUp = up < Count && 9 * (G[up] - Green) * (G[up] - Green) <= best;
      const bool goDown = down >= 0 && 9 * (Green - G[down]) * (Green - G[down]) <= best;
      if (!goUp && !goDown) return result;
      if (goUp) weigh(up++);
      if (goDown) weigh(down--);
    }
  }
};

// Index 0 must be the darkest entry (the logo layout keeps black there).
void SetDarkColorFirst(TQuant& Q) {
  const int32_t d = FindNearest_(Q, 0, 0, 0, Q.Wanted);
  if (d == 0) return;
  for (int c = 0; c < 3; ++c) std::swap(Q.Pal[0][c], Q.Pal[d][c]);
  for (int32_t& cell : Q.Hist) {
    if (cell == 0)
      cell = d;
    else if (cell == d)
      cell = 0;
  }
}

// ---- remapping -------------------------------------------------------------------

// The index of a colour through its palette entry; an uncounted colour
// outside every box (-1) gives 255.
void Remap8(const TQuant& Q, const TImg& Src, uint8_t* Dest, int64_t Pixels) {
  uint8_t table[256];
  for (int i = 0; i < 256; ++i)
    table[i] = static_cast<uint8_t>(
        Q.Hist[PalCell(Src.Palette[i][2], Src.Palette[i][1], Src.Palette[i][0])]);
  for (int64_t i = 0; i < Pixels; ++i) Dest[i] = table[Src.Data[i]];
}

void Remap24(const TQuant& Q, const uint8_t* Src, uint8_t* Dest, int64_t Pixels, int Step) {
  for (int64_t i = 0; i < Pixels; ++i, Src += Step)
    Dest[i] = static_cast<uint8_t>(Q.Hist[PalCell(Src[2], Src[1], Src[0])]);
}

// Widens 15- or 16-bit pixels to blue, green, red; low bits zero.
void Widen16To24_(const uint8_t* Src, uint8_t* Dest, int64_t Pixels, bool Green6) {
  for (int64_t i = 0; i < Pixels; ++i, Src += 2, Dest += 3) {
    const uint32_t w = Src[0] | (static_cast<uint32_t>(Src[1]) << 8);
    Dest[0] = static_cast<uint8_t>((w & 31) << 3);
    Dest[1] = static_cast<uint8_t>(Green6 ? ((w >> 5) & 63) << 2 : ((w >> 5) & 31) << 3);
    Dest[2] = static_cast<uint8_t>(((w >> (Green6 ? 11 : 10)) & 31) << 3);
  }
}

inline uint8_t ClampByte_(int32_t V) { return static_cast<uint8_t>(std::clamp(V, 0, 255)); }

// Adds one weighted share of an error (table offsets eB, eG, eR = error +
// 255) to a neighbour's components.
inline void Diffuse_(uint8_t* P, const int32_t* Table, int32_t EB, int32_t EG, int32_t ER) {
  P[0] = ClampByte_(P[0] + Table[EB]);
  P[1] = ClampByte_(P[1] + Table[EG]);
  P[2] = ClampByte_(P[2] + Table[ER]);
}

// Floyd-Steinberg in one pass, rows top to bottom, each left to right; the
// errors go into Src's own pixels (Step bytes apart), so Src changes. The
// first pixel of an even row passes nothing on, and the error tables pass
// nothing on for errors of 58 or more, which keeps hard edges from smearing.
void RemapDither24(TQuant& Q, TImg& Src, TImg& Dest, int Step) {
  int32_t e1[ERR_TABLE_SIZE], e3[ERR_TABLE_SIZE], e5[ERR_TABLE_SIZE], e7[ERR_TABLE_SIZE];
  _MakeErrTable(1, e1);
  _MakeErrTable(3, e3);
  _MakeErrTable(5, e5);
  _MakeErrTable(7, e7);
  const TNearest_ nearest(Q, Q.Wanted);
  const int64_t width = Src.Width, height = Src.Height;
  const int64_t rowBytes = width * Step;
  for (int64_t y = 0; y < height; ++y) {
    uint8_t* row = Src.Data + y * rowBytes;
    uint8_t* below = y + 1 < height ? row + rowBytes : nullptr;
    uint8_t* out = Dest.Data + y * width;
    for (int64_t x = 0; x < width; ++x) {
      uint8_t* p = row + x * Step;
      int32_t& cell = Q.Hist[PalCell(p[2], p[1], p[0])];
      // Colours made by the diffusion are searched once, then cached.
      if (cell == PAL_EMPTY) cell = nearest.Find(p[2], p[1], p[0]);
      const uint8_t index = static_cast<uint8_t>(cell);
      out[x] = index;
      if ((y & 1) == 0 && x == 0) continue;
      const int32_t eB = p[0] - Q.Pal[index][0] + 255;
      const int32_t eG = p[1] - Q.Pal[index][1] + 255;
      const int32_t eR = p[2] - Q.Pal[index][2] + 255;
      if (x + 1 < width) Diffuse_(p + Step, e7, eB, eG, eR);
      if (!below) continue;
      uint8_t* q = below + x * Step;
      if (x > 0) Diffuse_(q - Step, e3, eB, eG, eR);
      Diffuse_(q, e5, eB, eG, eR);
      if (x + 1 < width) Diffuse_(q + Step, e1, eB, eG, eR);
    }
  }
}

// Dest is allocated; Src is checked and holds Pixels pixels of 15 to 32 bits.
void RemapTrueColour_(TQuant& Q, TImg& Src, TImg& Dest, int64_t Pixels, int32_t Dither) {
  TImg temp;
  TImg* work = &Src;
  if (Src.BitsPerPixel == 15 || Src.BitsPerPixel == 16) {
    _imgalloc_(temp, Src.Width, Src.Height, 24, __LINE__, "PalOpt.PalRemap.temp24");
    Widen16To24_(Src.Data, temp.Data, Pixels, Src.BitsPerPixel == 16);
    work = &temp;
  }
  const int step = work->BitsPerPixel == 32 ? 4 : 3;
  if (Dither)
    RemapDither24(Q, *work, Dest, step);
  else
    Remap24(Q, work->Data, Dest.Data, Pixels, step);
  if (work == &temp) ImgFree(temp);
}

}  // namespace

// ---- public steps --------------------------------------------------------------

void PalInit() {
  Monitored("PalOpt.PalInit", [&] {
    if (!LiveQuant_()) {
      _memalloc_(quant, static_cast<int64_t>(sizeof(TQuant)), __LINE__, kQuantName);
      // A remap before any PalReduce then finds an all-black palette and no
      // wanted entries instead of heap leftovers.
      std::memset(quant, 0, sizeof(TQuant));
    }
    PalClearVars();
  });
}

void PalClearVars() {
  Monitored("PalOpt.PalClearVars", [&] {
    TQuant& q = Q_(__LINE__);
    std::fill(std::begin(q.Hist), std::end(q.Hist), PAL_EMPTY);
    q.ColorCount = 0;
  });
}

void PalCountColors(const TImg& Img) {
  Monitored("PalOpt.PalCountColors", [&] {
    TQuant& q = Q_(__LINE__);
    if (DepthBytes_(Img.BitsPerPixel) == 0) return;  // other depths add nothing
    const int64_t pixels = CheckedPixels_(Img, __LINE__);
    switch (Img.BitsPerPixel) {
      case 8: Count8_(q, Img, pixels); break;
      case 15: Count16_(q, Img.Data, pixels, false); break;
      case 16: Count16_(q, Img.Data, pixels, true); break;
      case 24: Count24_(q, Img.Data, pixels, 3); break;
      case 32: Count24_(q, Img.Data, pixels, 4); break;
    }
  });
}

void PalReduce(int32_t N) {
  Monitored("PalOpt.PalReduce", [&] {
    TQuant& q = Q_(__LINE__);
    std::memset(q.Pal, 255, sizeof q.Pal);
    q.Wanted = std::clamp(N, 2, 256);
    q.ColorCount = static_cast<int32_t>(PAL_CUBE_CELLS -
                                        std::count(std::begin(q.Hist), std::end(q.Hist), PAL_EMPTY));
    CreateCorrectionMap(q);
    if (q.Wanted < q.ColorCount) {
      SplitBoxes(q);
      CreateHighPalette(q);
    } else {
      CreateLowPalette(q);
    }
    SetDarkColorFirst(q);
  });
}

void PalRemap(TImg& Src, TImg& Dest, int32_t Dither) {
  Monitored("PalOpt.PalRemap", [&] {
    TQuant& q = Q_(__LINE__);
    if (&Src == &Dest) Fail_(6, __LINE__);
    if (DepthBytes_(Src.BitsPerPixel) == 0) Fail_(1, __LINE__);
    const int64_t pixels = CheckedPixels_(Src, __LINE__);
    _imgalloc_(Dest, Src.Width, Src.Height, 8, __LINE__, "PalOpt.PalRemap.img8bit");
    std::memcpy(Dest.Palette, q.Pal, sizeof q.Pal);
    if (Src.BitsPerPixel == 8)
      Remap8(q, Src, Dest.Data, pixels);  // a palette picture is never dithered
    else
      RemapTrueColour_(q, Src, Dest, pixels, Dither);
  });
}

void PalDone() {
  Monitored("PalOpt.PalDone", [&] { ReleaseQuant_(); });
}

void ConvTo8bit(TImg& Src, TImg& Dest, int32_t Dither) {
  Monitored("PalOpt.ConvTo8bit", [&] {
    // Depth conversion must leave no quantiser state behind however it ends,
    // also when the state existed before the call and so is not among the
    // blocks this frame would release on failure.
    struct TRelease {
      ~TRelease() { ReleaseQuant_(); }
    } release;
    if (&Src == &Dest) Fail_(6, __LINE__);
    PalInit();
    PalCountColors(Src);
    PalReduce(256);
    PalRemap(Src, Dest, Dither);
    PalDone();
  });
}

TQuant* PalQuant() { return LiveQuant_(); }

// b(i) := Weight * i / 16 rounded half to even for i = 0..19. Errors up to
// 19 pass b(e); 20..38 pass half of b(e - 19), 39..57 a quarter of
// b(e - 38); larger errors are edges, not noise, and pass nothing.
void _MakeErrTable(int32_t Weight, int32_t (&Table)[ERR_TABLE_SIZE]) {
  int32_t b[20];
  for (int32_t i = 0; i < 20; ++i) {
    const int32_t q = Weight * i;
    int32_t v = q >> 4;
    const int32_t rest = q & 15;
    if (rest > 8 || (rest == 8 && (v & 1))) ++v;
    b[i] = v;
  }
  for (int32_t e = -255; e <= 255; ++e) {
    const int32_t a = e < 0 ? -e : e;
    const int32_t v = a <= 19 ? b[a] : a <= 38 ? b[a - 19] / 2 : a <= 57 ? b[a - 38] / 4 : 0;
    Table[e + 255] = e < 0 ? -v : v;
  }
}

}  // namespace kvo
