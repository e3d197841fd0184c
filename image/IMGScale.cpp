// Fitting into a box, nearest-neighbour resizing and smoothing resampling.
//
// Positions are integer fixed point: one pixel or row is kScale units, and
// a step is source size * kScale div new size (truncating). Results are
// bit for bit those of the counters described at each kernel; no floating
// point and no rounding constants enter the scalers.
//
// Beyond the sizes the program was designed for (shrink factors up to 255,
// pictures up to 65535 rows) the counters and sums are simply wider here:
// positions and offsets are 64-bit, box sums 32-bit with a 32-bit count,
// which gives the same results inside that range. A box that could still
// overflow a 32-bit sum (over 16843009 source pixels or rows for one
// output) is refused with EG_GEN 1. Sizes below 1 are refused by the frame
// with EG_GEN 1.
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

// Box average. An output whose position lands exactly on a pixel boundary
// (a == p) takes one more source pixel.
void BoxRow_(const uint8_t* In, int32_t InW, uint8_t* Out, int32_t OutW, int64_t StepX) {
  int64_t a = 0, p = 0, s = 0;
  for (int32_t k = 0; k < OutW; ++k, Out += 3) {
    const uint8_t* px = In + std::min<int64_t>(s, InW - 1) * 3;
    uint32_t sum[3] = {px[0], px[1], px[2]};
    uint32_t count = 1;
    ++s;
    a += StepX;
    p += kScale;
    if (a >= p) {
      do {
        if (s < InW) {
          for (int c = 0; c < 3; ++c) sum[c] += In[s * 3 + c];
          ++count;
        }
        ++s;
        p += kScale;
      } while (p < a);
    }
    for (int c = 0; c < 3; ++c) Out[c] = static_cast<uint8_t>(sum[c] / count);
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

// Out[i] := floor(Acc[i] / Count) for sums of at most 255 * Count. Below
// 4104 rows a multiplication by m = ceil(2^32 / Count) and a shift give the
// same quotient: with m = 2^32 / Count + e (0 <= e < 1), Acc * m / 2^32
// exceeds Acc / Count by less than 255 * Count / 2^32, which stays below
// the 1 / Count that separates Acc / Count from the next integer as long as
// 255 * Count^2 < 2^32.
void DivideRow_(const uint32_t* Acc, uint8_t* Out, int64_t N, uint32_t Count) {
  if (Count < 4104) {
    const uint64_t m = ((uint64_t{1} << 32) + Count - 1) / Count;
    for (int64_t i = 0; i < N; ++i) Out[i] = static_cast<uint8_t>((Acc[i] * m) >> 32);
  } else {
    for (int64_t i = 0; i < N; ++i) Out[i] = static_cast<uint8_t>(Acc[i] / Count);
  }
}

// Averages groups of source rows into the NewH rows of Mid. Unlike the
// horizontal box, a row whose position lands exactly on a boundary ends
// its group (acc > pos). With the truncated step the source runs out
// exactly at row NewH, so every row of Mid is written.
void ShrinkRows_(const uint8_t* Src, int64_t RowBytes, int32_t SrcH, uint8_t* Mid, int32_t NewH,
                 int64_t StepY, uint32_t* Acc) {
  int64_t acc = 0, pos = 0, r = 0;
  for (int64_t out = 0; r < SrcH && out < NewH; ++out, ++r) {
    const uint8_t* row = Src + r * RowBytes;
    uint8_t* o = Mid + out * RowBytes;
    acc += StepY;
    pos += kScale;
    if (!(acc > pos)) {
      std::memcpy(o, row, static_cast<size_t>(RowBytes));
      continue;
    }
    for (int64_t i = 0; i < RowBytes; ++i) Acc[i] = row[i];
    uint32_t count = 1;
    do {
      if (++r < SrcH) {
        const uint8_t* next = Src + r * RowBytes;
        for (int64_t i = 0; i < RowBytes; ++i) Acc[i] += next[i];
        ++count;
      }
      pos += kScale;
    } while (pos < acc);
    DivideRow_(Acc, o, RowBytes, count);
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

// Runs the passes of one resampling on the working records of the frame.
void ResamplePasses_(const TImgOpVars& V) {
  const TImg& s = *V.Src;
  const int32_t srcW = s.Width, srcH = s.Height, newW = V.NewWidth, newH = V.NewHeight;
  const int64_t stepX = Step_(srcW, newW), stepY = Step_(srcH, newH);
  const int32_t factorX = newW / srcW, factorY = newH / srcH;
  if (stepX / kScale + 2 > kMaxBox || stepY / kScale + 2 > kMaxBox) Fail_(EG_GEN, 1, __LINE__);
  // One row buffer pair, or 32-bit sums for a whole source row.
  const int64_t maxRow = std::max(V.SrcRowBytes, V.DestRowBytes);
  uint8_t* scratch = nullptr;
  _memalloc_(scratch, 4 * maxRow, __LINE__, "IMGBasic.ImgResample.tmpbuf1");
  TImg mid;
  const uint8_t* in = s.Data;
  int64_t inRows = srcH;
  if (factorY == 0) {
    _imgalloc_(mid, srcW, newH, 24, __LINE__, "IMGBasic.ImgResample.ih3");
    ShrinkRows_(s.Data, V.SrcRowBytes, srcH, mid.Data, newH, stepY,
                reinterpret_cast<uint32_t*>(scratch));
    in = mid.Data;
    inRows = newH;
  }
  uint8_t* d = V.Dest->Data;
  for (int64_t r = 0; r < inRows; ++r) {
    const uint8_t* row = in + r * V.SrcRowBytes;
    uint8_t* out = d + r * V.DestRowBytes;
    if (stepX > kScale)
      BoxRow_(row, srcW, out, newW, stepX);
    else
      EnlargeRow_(row, srcW, out, newW, factorX, scratch, scratch + maxRow);
  }
  if (factorY >= 1) EnlargeRows_(d, V.DestRowBytes, srcH, newH, factorY);
  MemFree(scratch);
  ImgFree(mid);
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

void ImgResample(TImg& Src, TImg& Dest, int32_t NewWidth, int32_t NewHeight) {
  Monitored("IMGBasic.ImgResample", [&] {
    TImgOpInfo info;
    ImgInfo(info, IOP_RESAMPLE);
    TImgOpVars vars;
    ImgInitEx(info, vars, Src, &Dest, NewWidth, NewHeight);
    ResamplePasses_(vars);
    ImgDone(vars);
  });
}

}  // namespace kvo
