// SPDX-License-Identifier: GPL-3.0-or-later
// Fitting into a box, nearest-neighbour resizing and smoothing resampling.
//
// Positions are integer fixed point: one pixel or row is kScale units, and
// a step is source size * kScale div new size (truncating). Results are
// bit for bit those of the counters described at each kernel; no rounding
// constants enter the scalers, and the one multiplication in floating point
// (the averages of rows, AverageStrip16_) gives the exact integer quotient.
//
// ImgResample and the import's fitting both run through the feed at the
// end of this file, which takes the source one row at a time: a decoder
// can hand its rows straight over, and no copy of the source (cut, widened
// with black or converted to 24 bits) is ever made.
//
// Beyond the sizes the program was designed for (shrink factors up to 255,
// pictures up to 65535 rows) the counters and sums are simply wider here:
// positions and offsets are 64-bit, box sums 32-bit with a 32-bit count,
// which gives the same results inside that range. A box that could still
// overflow a 32-bit sum (over 16843009 source pixels or rows for one
// output) is refused with EG_GEN 1, as are sizes below 1.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "base/Basic.h"
#include "base/Errors.h"
#include "image/IMGBasic.h"

namespace kvo {
namespace {

constexpr int64_t kScale = 100000;
// The most pixels one box may sum without overflowing 32 bits.
constexpr int64_t kMaxBox = std::numeric_limits<uint32_t>::max() / 255;

[[noreturn]] void Fail_(int32_t Group, int32_t Code, int Line) {
  SetError(Group, Code, Line);
  MonExit();
}

int64_t Step_(int32_t SrcSize, int32_t NewSize) {
  return static_cast<int64_t>(SrcSize) * kScale / NewSize;
}

template <int B>
inline void CopyPx_(uint8_t* D, const uint8_t* S) {
  std::memcpy(D, S, B);
}

// ---- nearest neighbour ------------------------------------------------------------

// One row of W pixels of B bytes into NewW pixels. Shrinking, output pixel
// k takes source pixel ceil(k * step / kScale); enlarging or equal, floor.
template <int B>
void ResizeRow_(const uint8_t* S, int32_t W, uint8_t* D, int32_t NewW, int64_t StepX) {
  int64_t a = 0, p = 0, s = 0;
  if (StepX > kScale) {
    for (int32_t k = 0; k < NewW; ++k, D += B) {
      CopyPx_<B>(D, S + std::min<int64_t>(s, W - 1) * B);
      a += StepX;
      p += kScale;
      ++s;
      while (p < a) {
        ++s;
        p += kScale;
      }
    }
  } else {
    for (int32_t k = 0; k < NewW; ++k, D += B) {
      CopyPx_<B>(D, S + s * B);
      a += StepX;
      if (a >= p + kScale) {
        ++s;
        p += kScale;
      }
    }
  }
}

// Rows follow the same rule as pixels: shrinking skips rows, enlarging
// repeats the row just scaled until the row counter catches up.
template <int B>
void ResizeRows_(const TImgOpVars& V) {
  const TImg& s = *V.Src;
  uint8_t* d = V.Dest->Data;
  const int64_t stepX = Step_(s.Width, V.NewWidth), stepY = Step_(s.Height, V.NewHeight);
  int64_t so = 0, dof = 0, acc = 0, pos = 0;
  while (so < V.SrcBytes && dof < V.DestBytes) {
    ResizeRow_<B>(s.Data + so, s.Width, d + dof, V.NewWidth, stepX);
    if (stepY > kScale) {
      acc += stepY;
      dof += V.DestRowBytes;
      while (acc > pos) {
        so += V.SrcRowBytes;
        pos += kScale;
      }
    } else {
      pos += kScale;
      const int64_t written = dof;
      while (acc < pos && dof < V.DestBytes) {
        if (dof != written)
          std::memcpy(d + dof, d + written, static_cast<size_t>(V.DestRowBytes));
        dof += V.DestRowBytes;
        acc += stepY;
      }
      so += V.SrcRowBytes;
    }
  }
}

// ---- resampling: horizontal -------------------------------------------------------
// Rows are 24-bit. A mean is per byte floor((a + b) / 2), a box average
// per channel floor(sum / count).

inline void MeanPx_(uint8_t* D, const uint8_t* A, const uint8_t* B) {
  for (int c = 0; c < 3; ++c) D[c] = static_cast<uint8_t>((A[c] + B[c]) >> 1);
}

// The box average along a row, planned once per resampling: every row has
// the same boxes. Output pixel k averages Count source pixels from Start on;
// Mul is ceil(2^32 / Count), with which a multiplication and a shift give
// floor(sum / Count) (see DivideRow_), or 0 when Count is too large for it.
struct TBoxCell_ {
  int32_t Start;
  uint32_t Count;
  uint64_t Mul;
};

// An output whose position lands exactly on a pixel boundary (a == p) takes
// one more source pixel; past the row's end the last pixel alone serves.
void PlanBoxes_(int32_t InW, int32_t OutW, int64_t StepX, TBoxCell_* Plan) {
  int64_t a = 0, p = 0, s = 0;
  for (int32_t k = 0; k < OutW; ++k) {
    TBoxCell_& cell = Plan[k];
    cell.Start = static_cast<int32_t>(std::min<int64_t>(s, InW - 1));
    cell.Count = 1;
    ++s;
    a += StepX;
    p += kScale;
    if (a >= p) {
      do {
        if (s < InW) ++cell.Count;
        ++s;
        p += kScale;
      } while (p < a);
    }
    cell.Mul = cell.Count < 4104 ? ((uint64_t{1} << 32) + cell.Count - 1) / cell.Count : 0;
  }
}

inline uint8_t BoxQuot_(uint32_t Sum, const TBoxCell_& Cell) {
  return static_cast<uint8_t>(Cell.Mul ? (Sum * Cell.Mul) >> 32 : Sum / Cell.Count);
}

void BoxRow_(const uint8_t* In, const TBoxCell_* Plan, uint8_t* Out, int32_t OutW) {
  for (int32_t k = 0; k < OutW; ++k, Out += 3) {
    const TBoxCell_& cell = Plan[k];
    const uint8_t* px = In + static_cast<int64_t>(cell.Start) * 3;
    uint32_t s0 = 0, s1 = 0, s2 = 0;
    for (uint32_t j = 0; j < cell.Count; ++j, px += 3) {
      s0 += px[0];
      s1 += px[1];
      s2 += px[2];
    }
    Out[0] = BoxQuot_(s0, cell);
    Out[1] = BoxQuot_(s1, cell);
    Out[2] = BoxQuot_(s2, cell);
  }
}

// Pixel 2k is pixel k, pixel 2k + 1 the mean of k and k + 1; the last
// pixel is repeated.
void DoubleRow_(const uint8_t* In, int64_t Len, uint8_t* Out) {
  for (int64_t k = 0; k < Len; ++k, In += 3, Out += 6) {
    CopyPx_<3>(Out, In);
    if (k + 1 < Len)
      MeanPx_(Out + 3, In, In + 3);
    else
      CopyPx_<3>(Out + 3, In);
  }
}

// The remaining factor below 2: source pixels in order, with at most one
// mean placed between two of them whenever the output falls behind.
void FracRow_(const uint8_t* In, int64_t Len, uint8_t* Out, int32_t OutW) {
  const int64_t s = Len * kScale / OutW;
  auto px = [In, Len](int64_t k) { return In + std::min(k, Len - 1) * 3; };
  int64_t a = 0, p = 0, k = 0;
  CopyPx_<3>(Out, In);
  int64_t o = 1;
  while (o < OutW) {
    a += s;
    p += kScale;
    if (a < p) {
      MeanPx_(Out + 3 * o++, px(k), px(k + 1));
      a += s;
      if (o >= OutW) break;
    }
    ++k;
    CopyPx_<3>(Out + 3 * o++, px(k));
  }
}

// Enlarging: double while the factor allows, then the fractional pass.
// BufA and BufB hold one output row each.
void EnlargeRow_(const uint8_t* In, int32_t InW, uint8_t* Out, int32_t OutW, int32_t FactorX,
                 uint8_t* BufA, uint8_t* BufB) {
  const uint8_t* cur = In;
  int64_t len = InW;
  uint8_t* bufs[2] = {BufA, BufB};
  for (int which = 0; FactorX > 1; FactorX /= 2, which ^= 1) {
    uint8_t* next = len * 2 == OutW ? Out : bufs[which];
    DoubleRow_(cur, len, next);
    cur = next;
    len *= 2;
  }
  if (len == OutW) {
    if (cur != Out) std::memcpy(Out, cur, static_cast<size_t>(len * 3));
    return;
  }
  FracRow_(cur, len, Out, OutW);
}

// ---- resampling: vertical ---------------------------------------------------------

// Averages of groups of rows, floor(sum / Count) per byte, a column strip
// at a time: the strip's sums stay in the first cache level while every row
// of the group is read once.
//
// Up to 257 rows the sums fit 16 bits and the quotient comes from one
// multiplication in single precision: (a + 0.5) / c lies at least 0.5 / c
// (>= 0.0019) away from either neighbouring integer, and a + 0.5 (below
// 2^17) times the rounded 1 / c is off by less than 256 * 2^-23 = 3.1e-5,
// so truncating it gives floor(a / c) exactly. More rows go through 32-bit
// sums and a multiplication by m = ceil(2^32 / Count) and a shift: with
// m = 2^32 / Count + e (0 <= e < 1), a * m / 2^32 exceeds a / Count by less
// than 255 * Count / 2^32, below the 1 / Count that separates a / Count
// from the next integer as long as 255 * Count^2 < 2^32 (Count < 4104);
// beyond that a true division.
constexpr int64_t kStrip = 1024;

// The summing of rows is the hottest loop of an import: on x86-64 it is
// built for AVX2 as well as for any processor, and the program picks the
// one the processor runs when it starts. Both give the same sums.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KVO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KVO_VECTOR_CLONES
#endif

// Rows are added two at a time (two bytes fit a 16-bit lane), which keeps
// the compiler's vectorised inner loop: unrolling over rows alone would
// interleave the rows into a scalar loop.
template <class TSum>
[[gnu::always_inline]] inline void SumStrip_(const uint8_t* const* Rows, int32_t N, int64_t From,
                                             int64_t Len, TSum* Sum) {
  std::memset(Sum, 0, static_cast<size_t>(Len) * sizeof(TSum));
  int32_t r = 0;
  for (; r + 1 < N; r += 2) {
    const uint8_t* a = Rows[r] + From;
    const uint8_t* b = Rows[r + 1] + From;
    for (int64_t i = 0; i < Len; ++i)
      Sum[i] = static_cast<TSum>(Sum[i] + static_cast<uint16_t>(a[i] + b[i]));
  }
  if (r < N) {
    const uint8_t* a = Rows[r] + From;
    for (int64_t i = 0; i < Len; ++i) Sum[i] = static_cast<TSum>(Sum[i] + a[i]);
  }
}

KVO_VECTOR_CLONES void AverageStrip16_(const uint8_t* const* Rows, int32_t N, uint32_t Count,
                                       int64_t From, int64_t Len, uint8_t* Out) {
  alignas(64) uint16_t sum[kStrip];
  SumStrip_(Rows, N, From, Len, sum);
  const float inv = 1.0f / static_cast<float>(Count);
  for (int64_t i = 0; i < Len; ++i)
    Out[From + i] =
        static_cast<uint8_t>(static_cast<int32_t>((static_cast<float>(sum[i]) + 0.5f) * inv));
}

// Out := floor(Sums / Count), for sums of 32 bits (see above).
void DivideSums_(const uint32_t* Sums, int64_t N, uint32_t Count, uint8_t* Out) {
  const uint64_t m = ((uint64_t{1} << 32) + Count - 1) / Count;
  for (int64_t i = 0; i < N; ++i)
    Out[i] = static_cast<uint8_t>(Count < 4104 ? (Sums[i] * m) >> 32 : Sums[i] / Count);
}

void AverageStrip32_(const uint8_t* const* Rows, int32_t N, uint32_t Count, int64_t From,
                     int64_t Len, uint8_t* Out) {
  alignas(64) uint32_t sum[kStrip];
  SumStrip_(Rows, N, From, Len, sum);
  DivideSums_(sum, Len, Count, Out + From);
}

// Out := the average of the N rows (of Bytes bytes) and Count - N black
// rows.
void AverageRows_(const uint8_t* const* Rows, int32_t N, uint32_t Count, int64_t Bytes,
                  uint8_t* Out) {
  for (int64_t from = 0; from < Bytes; from += kStrip) {
    const int64_t len = std::min(kStrip, Bytes - from);
    if (Count <= 257)
      AverageStrip16_(Rows, N, Count, from, len, Out);
    else
      AverageStrip32_(Rows, N, Count, from, len, Out);
  }
}

inline uint8_t* Row_(uint8_t* Block, int64_t RowBytes, int64_t Index) {
  return Block + Index * RowBytes;
}

// Per byte mean of rows A and B into D. D may be A or B itself: each byte
// is read before it is written.
void MeanRow_(uint8_t* D, const uint8_t* A, const uint8_t* B, int64_t RowBytes) {
  for (int64_t i = 0; i < RowBytes; ++i) D[i] = static_cast<uint8_t>((A[i] + B[i]) >> 1);
}

void MoveRow_(uint8_t* Block, int64_t RowBytes, int64_t From, int64_t To) {
  if (From != To) std::memmove(Row_(Block, RowBytes, To), Row_(Block, RowBytes, From), RowBytes);
}

// Doubling upwards: the Rows rows at the top of the block of N rows end at
// its bottom. Each row goes to the write position, the mean with the row
// above it (itself for the top row) just above; the write position runs
// ahead of the reading, so no unread row is overwritten.
void DoubleUp_(uint8_t* Blk, int64_t RowBytes, int64_t Rows, int64_t N) {
  int64_t w = N - 1;
  for (int64_t r = Rows - 1; r >= 0; --r, w -= 2) {
    MoveRow_(Blk, RowBytes, r, w);
    MeanRow_(Row_(Blk, RowBytes, w - 1), Row_(Blk, RowBytes, r),
             Row_(Blk, RowBytes, r > 0 ? r - 1 : r), RowBytes);
  }
}

// Doubling downwards: the Rows rows at the bottom end at the top; the mean
// is with the row below (itself for the last row).
void DoubleDown_(uint8_t* Blk, int64_t RowBytes, int64_t Rows, int64_t N) {
  const int64_t base = N - Rows;
  int64_t w = 0;
  for (int64_t j = 0; j < Rows; ++j, w += 2) {
    MoveRow_(Blk, RowBytes, base + j, w);
    MeanRow_(Row_(Blk, RowBytes, w + 1), Row_(Blk, RowBytes, base + j),
             Row_(Blk, RowBytes, j + 1 < Rows ? base + j + 1 : base + j), RowBytes);
  }
}

// The fractional pass, in the direction of the last doubling's successor:
// each row is written once, and a mean with its neighbour follows it
// whenever the output falls behind. Rows sit at the top when Up, at the
// bottom otherwise; writing starts at the opposite end and stops at the
// block's edge.
void FracRows_(uint8_t* Blk, int64_t RowBytes, int64_t Rows, int64_t N, bool Up) {
  const int64_t step = Rows * kScale / N;
  const int64_t dir = Up ? -1 : 1;
  const int64_t base = Up ? 0 : N - Rows;
  int64_t acc = 0, pos = 0, w = Up ? N - 1 : 0;
  for (int64_t i = 0; i < Rows && w >= 0 && w < N; ++i, w += dir) {
    const int64_t r = Up ? Rows - 1 - i : base + i;
    const int64_t nb = i + 1 < Rows ? r + dir : r;
    MoveRow_(Blk, RowBytes, r, w);
    pos += kScale;
    acc += step;
    if (acc < pos) {
      w += dir;
      if (w >= 0 && w < N)
        MeanRow_(Row_(Blk, RowBytes, w), Row_(Blk, RowBytes, r), Row_(Blk, RowBytes, nb), RowBytes);
      acc += step;
    }
  }
}

// The Rows rows produced by the horizontal pass sit at the top of Dest's
// block of N rows. Alternating directions keeps every pass inside it.
void EnlargeRows_(uint8_t* Blk, int64_t RowBytes, int64_t Rows, int64_t N, int32_t FactorY) {
  bool up = true;
  for (; FactorY > 1; FactorY /= 2, Rows *= 2, up = !up) {
    if (up)
      DoubleUp_(Blk, RowBytes, Rows, N);
    else
      DoubleDown_(Blk, RowBytes, Rows, N);
  }
  if (Rows * kScale / N < kScale) FracRows_(Blk, RowBytes, Rows, N, up);
}

// ---- the feed -----------------------------------------------------------------------
// Frame rows pass through in order. Shrinking vertically (fewer destination
// rows than frame rows), the rows of each group are kept until the group is
// complete, averaged, and the average goes through the horizontal pass into
// the next destination row. Otherwise every frame row goes through the
// horizontal pass into the destination row of its own number, and the
// vertical enlargement runs inside the destination at the end.
//
// A row the feed must hold (one a decoder wrote into the feed, or one that
// needed black columns or another depth) sits in one of the line slots, a
// line per row a group holds; a 24-bit row of a picture in memory that the
// frame takes as it is stays where it is. A group holds at most kMaxSlots
// rows at a time; a taller one adds them into 32-bit sums as it goes.

int64_t Align16_(int64_t N) { return (N + 15) / 16 * 16; }

// Columns of a line: the frame and whatever of the picture overhangs it,
// from the leftmost of either.
int64_t LineLeft_(const TImgFeedShape& S) { return std::min(0, S.X); }

int64_t LineBytes_(const TImgFeedShape& S) {
  return Align16_(
      (std::max<int64_t>(S.FrameWidth, static_cast<int64_t>(S.X) + S.Width) - LineLeft_(S)) * 3);
}

// Byte offsets of the parts of the feed's work block.
struct TFeedLayout_ {
  int64_t Group = 0, Mid = 0, Sums = 0, BufA = 0, BufB = 0, Plan = 0, Size = 0;
};

// Rows a group holds at most before they are added into 32-bit sums: the
// slots of a very tall group would otherwise take a good part of the
// picture's memory. A very wide frame gets fewer, so that its slots never
// take more than kSlotBytes: a tiny file may claim rows of millions of
// pixels. Folding gives the same averages, only later.
constexpr int64_t kMaxSlots = 64;
constexpr int64_t kSlotBytes = int64_t{16} << 20;

bool Folds_(const TImgFeed& F) { return F.StepY / kScale + 2 > F.Slots; }

TFeedLayout_ FeedLayout_(const TImgFeed& F) {
  const TImgFeedShape& s = F.Shape;
  const int64_t destRow = static_cast<int64_t>(s.NewWidth) * 3;
  TFeedLayout_ l;
  int64_t at = 0;
  if (F.FactorY == 0) {
    l.Group = at;
    at += Align16_(F.Slots * static_cast<int64_t>(sizeof(const uint8_t*)));
    l.Mid = at;
    at += Align16_(static_cast<int64_t>(s.FrameWidth) * 3);
    if (Folds_(F)) {
      l.Sums = at;
      at += Align16_(static_cast<int64_t>(s.FrameWidth) * 3 * 4);
    }
  }
  if (F.StepX > kScale) {
    l.Plan = at;
    at += Align16_(static_cast<int64_t>(s.NewWidth) * static_cast<int64_t>(sizeof(TBoxCell_)));
  } else {
    l.BufA = at;
    at += Align16_(destRow);
    l.BufB = at;
    at += Align16_(destRow);
  }
  l.Size = std::max<int64_t>(at, 16);
  return l;
}

const uint8_t** Group_(const TImgFeed& F) {
  return reinterpret_cast<const uint8_t**>(F.Work + FeedLayout_(F).Group);
}

// The slot the next held row goes to.
uint8_t* Slot_(const TImgFeed& F) { return F.Lines + F.Held * LineBytes_(F.Shape); }

uint8_t* FramePart_(const TImgFeed& F) { return Slot_(F) - LineLeft_(F.Shape) * 3; }

uint8_t* PicturePart_(const TImgFeed& F) {
  return Slot_(F) + (F.Shape.X - LineLeft_(F.Shape)) * 3;
}

// One frame row (nullptr: a black one) through the horizontal pass.
void Horizontal_(const TImgFeed& F, const uint8_t* Row, uint8_t* Out) {
  const TImgFeedShape& s = F.Shape;
  if (!Row) {
    std::memset(Out, 0, static_cast<size_t>(s.NewWidth) * 3);  // black stays black
    return;
  }
  const TFeedLayout_ l = FeedLayout_(F);
  if (F.StepX > kScale)
    BoxRow_(Row, reinterpret_cast<const TBoxCell_*>(F.Work + l.Plan), Out, s.NewWidth);
  else
    EnlargeRow_(Row, s.FrameWidth, Out, s.NewWidth, F.FactorX, F.Work + l.BufA, F.Work + l.BufB);
}

uint8_t* DestRow_(const TImgFeed& F, int64_t Index) {
  return F.Dest->Data + Index * F.Shape.NewWidth * 3;
}

// Adds the rows the group holds into its 32-bit sums and frees their slots.
void Fold_(TImgFeed& F) {
  auto* sums = reinterpret_cast<uint32_t*>(F.Work + FeedLayout_(F).Sums);
  const int64_t n = static_cast<int64_t>(F.Shape.FrameWidth) * 3;
  if (!F.Folded) std::memset(sums, 0, static_cast<size_t>(n) * sizeof(uint32_t));
  const uint8_t* const* rows = Group_(F);
  for (int32_t r = 0; r < F.Kept; ++r)
    for (int64_t i = 0; i < n; ++i) sums[i] += rows[r][i];
  F.Folded = true;
  F.Kept = 0;
  F.Held = 0;
}

// Averages the complete group into the middle row and passes that on to
// destination row Out.
void CloseGroup_(TImgFeed& F, int64_t Out) {
  uint8_t* mid = F.Work + FeedLayout_(F).Mid;
  const int64_t n = static_cast<int64_t>(F.Shape.FrameWidth) * 3;
  if (F.Folded) {
    Fold_(F);
    DivideSums_(reinterpret_cast<const uint32_t*>(F.Work + FeedLayout_(F).Sums), n, F.Count, mid);
  } else {
    AverageRows_(Group_(F), F.Kept, F.Count, n, mid);
  }
  Horizontal_(F, mid, DestRow_(F, Out));
  F.Count = 0;
  F.Kept = 0;
  F.Held = 0;
  F.Folded = false;
}

// Adds a row to the open group; a black row only counts. A full group
// folds its rows into its sums, so the next row finds a free slot.
void Keep_(TImgFeed& F, const uint8_t* Row, bool InSlot) {
  ++F.Count;
  if (!Row) return;
  Group_(F)[F.Kept++] = Row;
  if (InSlot) ++F.Held;
  if (F.Kept == F.Slots) Fold_(F);
}

// Vertical shrinking, one frame row at a time. A row starts a group when
// the row counter runs ahead of the destination's (acc > pos); a row whose
// position lands exactly on a boundary ends its group, unlike the
// horizontal box. With the truncated step the frame runs out exactly at the
// last destination row.
void ShrinkRow_(TImgFeed& F, const uint8_t* Row, bool InSlot) {
  if (F.Out >= F.Shape.NewHeight) return;
  if (F.Count == 0) {
    F.Acc += F.StepY;
    F.Pos += kScale;
    if (!(F.Acc > F.Pos)) {
      Horizontal_(F, Row, DestRow_(F, F.Out++));
      return;
    }
    Keep_(F, Row, InSlot);
    return;
  }
  Keep_(F, Row, InSlot);
  F.Pos += kScale;
  if (!(F.Pos < F.Acc)) CloseGroup_(F, F.Out++);
}

// The groups of ShrinkRow_ laid out beforehand, for rows that come bottom
// row first: destination row o averages frame rows Starts[o] up to
// Starts[o + 1]; Starts[NewHeight] ends the rows that count, and a
// destination row of no frame rows stays black. A group is complete when
// its first row arrives. Sums do not depend on the order of their rows, so
// every group averages to what the top-down order gives.
void PlanGroups_(TImgFeed& F) {
  const int32_t n = F.Shape.NewHeight;
  int32_t* s = F.Starts;
  int64_t acc = 0, pos = 0;
  int32_t out = 0, count = 0, f = 0;
  s[0] = 0;
  for (; f < F.Shape.FrameHeight && out < n; ++f) {
    if (count == 0) {
      acc += F.StepY;
      pos += kScale;
      if (acc > pos)
        count = 1;
      else
        s[++out] = f + 1;
      continue;
    }
    pos += kScale;
    if (!(pos < acc)) {
      s[++out] = f + 1;
      count = 0;
    }
  }
  if (count > 0) s[++out] = f;
  while (out < n) s[out + 1] = s[out], ++out;
  F.Out = n - 1;
}

void ShrinkRowUp_(TImgFeed& F, int64_t Frame, const uint8_t* Row, bool InSlot) {
  if (Frame >= F.Starts[F.Shape.NewHeight]) return;
  while (F.Starts[F.Out] > Frame) --F.Out;
  Keep_(F, Row, InSlot);
  if (Frame == F.Starts[F.Out]) CloseGroup_(F, F.Out);
}

void FrameRow_(TImgFeed& F, const uint8_t* Row, bool InSlot) {
  const int64_t frame =
      F.Shape.BottomUp ? int64_t{F.Shape.FrameHeight} - 1 - F.FrameRows : F.FrameRows;
  if (F.FactorY != 0)
    Horizontal_(F, Row, DestRow_(F, frame));
  else if (F.Shape.BottomUp)
    ShrinkRowUp_(F, frame, Row, InSlot);
  else
    ShrinkRow_(F, Row, InSlot);
  ++F.FrameRows;
}

// The checks of ImgResample: sizes of at least 1, boxes whose sums fit 32
// bits.
void CheckShape_(const TImgFeedShape& S) {
  if (S.Width < 1 || S.Height < 1 || S.FrameWidth < 1 || S.FrameHeight < 1 || S.NewWidth < 1 ||
      S.NewHeight < 1)
    Fail_(EG_GEN, 1, __LINE__);
  if (S.BitsPerPixel != 8 && S.BitsPerPixel != 15 && S.BitsPerPixel != 16 &&
      S.BitsPerPixel != 24 && S.BitsPerPixel != 32)
    Fail_(EG_IMG, 1, __LINE__);
  if (Step_(S.FrameWidth, S.NewWidth) / kScale + 2 > kMaxBox ||
      Step_(S.FrameHeight, S.NewHeight) / kScale + 2 > kMaxBox)
    Fail_(EG_GEN, 1, __LINE__);
}

}  // namespace

void CalcBoxResize(int32_t SrcWidth, int32_t SrcHeight, int32_t BoxWidth, int32_t BoxHeight,
                   bool Always, int32_t& OffsetX, int32_t& OffsetY, int32_t& NewWidth,
                   int32_t& NewHeight) {
  bool fitted = false;
  // A keeping frame: the error is recorded, the caller gets the whole box.
  MonitoredKeep("IMGBasic.CalcBoxResize", [&] {
    NewWidth = SrcWidth;
    NewHeight = SrcHeight;
    // An empty source has no proportions to keep, whether or not it "fits".
    if (SrcWidth < 1 || SrcHeight < 1) Fail_(EG_GEN, 1, __LINE__);
    if (!Always && SrcWidth <= BoxWidth && SrcHeight <= BoxHeight) {
      OffsetX = (BoxWidth - SrcWidth) / 2;
      OffsetY = (BoxHeight - SrcHeight) / 2;
      fitted = true;
      MonExit();
    }
    const double rx = static_cast<double>(BoxWidth) / SrcWidth;
    const double ry = static_cast<double>(BoxHeight) / SrcHeight;
    if (!(rx > 0) || !(ry > 0)) Fail_(EG_GEN, 1, __LINE__);
    if (rx < ry) {
      NewWidth = BoxWidth;
      NewHeight = static_cast<int32_t>(std::trunc(SrcHeight * rx));
    } else {
      NewHeight = BoxHeight;
      NewWidth = static_cast<int32_t>(std::trunc(SrcWidth * ry));
    }
    NewWidth = std::max(NewWidth, 1);
    NewHeight = std::max(NewHeight, 1);
    OffsetX = static_cast<int32_t>(std::llabs(static_cast<int64_t>(BoxWidth) - NewWidth) / 2);
    OffsetY = static_cast<int32_t>(std::llabs(static_cast<int64_t>(BoxHeight) - NewHeight) / 2);
    fitted = true;
  });
  if (!fitted) {
    NewWidth = BoxWidth;
    NewHeight = BoxHeight;
    OffsetX = OffsetY = 0;
  }
}

void ImgResize(TImg& Src, TImg& Dest, int32_t NewWidth, int32_t NewHeight) {
  Monitored("IMGBasic.ImgResize", [&] {
    TImgOpInfo info;
    ImgInfo(info, IOP_RESIZE);
    TImgOpVars vars;
    ImgInitEx(info, vars, Src, &Dest, NewWidth, NewHeight);
    if (vars.Src->BytesPerPixel == 1)
      ResizeRows_<1>(vars);
    else
      ResizeRows_<3>(vars);
    ImgDone(vars);
  });
}

// Every depth is worked at 24 bits, row by row as the rows are fed, so the
// source is never converted as a whole. Source and destination may be one
// record: the result is then made beside it and exchanged in.
void ImgResample(TImg& Src, TImg& Dest, int32_t NewWidth, int32_t NewHeight) {
  Monitored("IMGBasic.ImgResample", [&] {
    ImgCheck(Src, __LINE__);
    if (NewWidth < 1 || NewHeight < 1) Fail_(EG_GEN, 1, __LINE__);
    TImgFeedShape shape;
    shape.FrameWidth = Src.Width;
    shape.FrameHeight = Src.Height;
    shape.NewWidth = NewWidth;
    shape.NewHeight = NewHeight;
    if (&Src != &Dest) {
      ImgFeedPicture(Src, Dest, shape);
      MonExit();
    }
    TImg temp;
    ImgFeedPicture(Src, temp, shape);
    ImgXchg(Src, temp);
    ImgFree(temp);
  });
}

// Rows are read where they lie (see ImgFeedPutRow).
void ImgFeedPicture(const TImg& Src, TImg& Dest, TImgFeedShape Shape) {
  Monitored("IMGBasic.ImgFeedPicture", [&] {
    if (&Src == &Dest) Fail_(EG_IMG, 6, __LINE__);
    ImgCheck(Src, __LINE__);
    Shape.Width = Src.Width;
    Shape.Height = Src.Height;
    Shape.BitsPerPixel = Src.BitsPerPixel;
    Shape.RowsInPlace = true;
    TImgFeed feed;
    ImgFeedStart(feed, Dest, Shape, &Src.Palette);
    const int64_t rowBytes = static_cast<int64_t>(Src.Width) * Src.BytesPerPixel;
    for (int32_t y = 0; y < Src.Height; ++y) ImgFeedPutRow(feed, Src.Data + y * rowBytes);
    ImgFeedDone(feed);
  });
}

void ImgFeedStart(TImgFeed& F, TImg& Dest, const TImgFeedShape& Shape, const TPalette* Palette) {
  Monitored("IMGBasic.ImgFeedStart", [&] {
    CheckShape_(Shape);
    F = TImgFeed{};
    F.Shape = Shape;
    if (Palette) std::memcpy(F.Palette, *Palette, sizeof(TPalette));
    F.StepX = Step_(Shape.FrameWidth, Shape.NewWidth);
    F.StepY = Step_(Shape.FrameHeight, Shape.NewHeight);
    F.FactorX = Shape.NewWidth / Shape.FrameWidth;
    F.FactorY = Shape.NewHeight / Shape.FrameHeight;
    // A group takes at most step / kScale + 2 rows, and holds at most
    // kMaxSlots of them at a time. Rows handed over in place need no slot
    // unless they must be widened or given black columns.
    const bool asTheyAre = Shape.RowsInPlace && Shape.BitsPerPixel == 24 && Shape.X <= 0 &&
                           static_cast<int64_t>(Shape.X) + Shape.Width >= Shape.FrameWidth;
    const int64_t affordable = std::max<int64_t>(kSlotBytes / LineBytes_(Shape), 1);
    F.Slots = F.FactorY == 0 ? std::min({F.StepY / kScale + 2, kMaxSlots, affordable}) : 1;
    _imgalloc_(Dest, Shape.NewWidth, Shape.NewHeight, 24, __LINE__, "IMGBasic.ImgResample.dest");
    F.Dest = &Dest;
    const TFeedLayout_ l = FeedLayout_(F);
    _memalloc_(F.Work, l.Size, __LINE__, "IMGBasic.ImgResample.tmpbuf1");
    if (F.StepX > kScale)
      PlanBoxes_(Shape.FrameWidth, Shape.NewWidth, F.StepX,
                 reinterpret_cast<TBoxCell_*>(F.Work + l.Plan));
    const int64_t lines = (asTheyAre ? 1 : F.Slots) * LineBytes_(Shape);
    _memalloc_(F.Lines, lines, __LINE__, "IMGBasic.ImgResample.lines");
    std::memset(F.Lines, 0, static_cast<size_t>(lines));  // the frame's black columns
    if (Shape.BitsPerPixel != 24)
      _memalloc_(F.In, static_cast<int64_t>(Shape.Width) * ((Shape.BitsPerPixel + 7) / 8),
                 __LINE__, "IMGBasic.ImgResample.in");
    if (Shape.BottomUp) ImgFeedBottomUp(F);
  });
}

void ImgFeedBottomUp(TImgFeed& F) {
  Monitored("IMGBasic.ImgFeedBottomUp", [&] {
    if (F.Rows != 0) Fail_(EG_IMG, 6, __LINE__);
    F.Shape.BottomUp = true;
    if (F.FactorY != 0 || F.Starts) MonExit();
    _memalloc_(F.Starts, (int64_t{F.Shape.NewHeight} + 1) * int64_t{sizeof(int32_t)}, __LINE__,
               "IMGBasic.ImgResample.starts");
    PlanGroups_(F);
  });
}

uint8_t* ImgFeedRow(TImgFeed& F) { return F.In ? F.In : PicturePart_(F); }

void ImgFeedPut(TImgFeed& F) { ImgFeedPutRow(F, ImgFeedRow(F)); }

// A 24-bit row is read where it lies whenever the frame takes nothing but
// picture columns from it; only a row that needs black columns beside it,
// or another depth, is copied into a slot first.
void ImgFeedPutRow(TImgFeed& F, const uint8_t* Row) {
  const TImgFeedShape& s = F.Shape;
  if (F.Rows >= s.Height) return;
  const int64_t y = s.BottomUp ? int64_t{s.Height} - 1 - F.Rows : F.Rows;
  ++F.Rows;
  if ((F.Rows & 63) == 0 && F.Progress) F.Progress(F);
  const int64_t f = y + s.Y;
  if (f < 0 || f >= s.FrameHeight) return;  // cut away by the frame
  // The border before the picture, above it (or below, bottom-up).
  const int64_t order = s.BottomUp ? int64_t{s.FrameHeight} - 1 - f : f;
  while (F.FrameRows < order) FrameRow_(F, nullptr, false);
  const bool inPlace = s.X <= 0 && static_cast<int64_t>(s.X) + s.Width >= s.FrameWidth;
  if (s.BitsPerPixel != 24)
    ImgRowTo24(Row, s.BitsPerPixel, F.Palette, s.Width, PicturePart_(F));
  else if (inPlace)
    return FrameRow_(F, Row - static_cast<int64_t>(s.X) * 3, Row == PicturePart_(F));
  else if (Row != PicturePart_(F))
    std::memcpy(PicturePart_(F), Row, static_cast<size_t>(s.Width) * 3);
  FrameRow_(F, FramePart_(F), true);
}

void ImgFeedDone(TImgFeed& F) {
  Monitored("IMGBasic.ImgFeedDone", [&] {
    const TImgFeedShape& s = F.Shape;
    // The border after the picture, below it (above it, bottom-up), and
    // the rows of a picture that came short, which stay black.
    while (F.FrameRows < s.FrameHeight) FrameRow_(F, nullptr, false);
    if (F.FactorY == 0 && s.BottomUp) {
      for (int32_t o = 0; o < s.NewHeight; ++o)
        if (F.Starts[o] == F.Starts[o + 1]) Horizontal_(F, nullptr, DestRow_(F, o));
    } else if (F.FactorY == 0) {
      if (F.Count > 0) CloseGroup_(F, F.Out++);
      for (; F.Out < s.NewHeight; ++F.Out) Horizontal_(F, nullptr, DestRow_(F, F.Out));
    } else {
      EnlargeRows_(F.Dest->Data, static_cast<int64_t>(s.NewWidth) * 3, s.FrameHeight,
                   s.NewHeight, F.FactorY);
    }
    MemFree(F.Starts);
    MemFree(F.In);
    MemFree(F.Lines);
    MemFree(F.Work);
  });
}

}  // namespace kvo
