// SPDX-License-Identifier: GPL-3.0-or-later
// The image record, its basic operations and the frame every geometric
// operation runs in. The scalers live in IMGScale.cpp.
//
// Pictures come from hostile files and from arithmetic on their sizes, so
// the operations here hold to a few rules, each pinned by a test:
// - A record that does not describe a picture (no tracked or borrowed block,
//   a depth other than 8, 15, 16, 24 or 32, a width or height below 1, or a
//   block smaller than its geometry) is refused with EG_IMG 2 before a pixel
//   is read.
// - Byte counts are computed in 64 bits. A picture whose pixel block would
//   not fit the allocator's 32-bit sizes fails with EG_MEM 5, the
//   allocator's own answer, instead of receiving a block cut short.
// - Pastes and crops refuse a negative position (and a crop a size below 1)
//   with EG_GEN 1 "Out of range.". No caller computes one on purpose, so it
//   reveals a fault upstream; clipping it silently would hide that fault.
//   A position at or beyond the right or bottom edge ends the operation
//   without error, as the callers expect.
#include "image/IMGBasic.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "base/Basic.h"
#include "base/Errors.h"
#include "image/PalOpt.h"

namespace kvo {
namespace {

constexpr int64_t kMaxBlock = std::numeric_limits<int32_t>::max();

// Records the error and leaves the monitored procedure. SetError raises by
// itself; the MonExit only matters while monitoring is switched off (during
// a frame's cleanup), where the body must still not go on.
[[noreturn]] void Fail_(int32_t Group, int32_t Code, int Line) {
  SetError(Group, Code, Line);
  MonExit();
}

bool IsDepth_(int32_t BitsPerPixel) {
  return BitsPerPixel == 8 || BitsPerPixel == 15 || BitsPerPixel == 16 || BitsPerPixel == 24 ||
         BitsPerPixel == 32;
}

int32_t BytesOf_(int32_t BitsPerPixel) { return (BitsPerPixel + 7) / 8; }

// Width * Height * bytes per pixel without wrapping; anything beyond the
// largest block comes back as more than kMaxBlock. Width and Height >= 0.
int64_t PixelBytes_(int32_t Width, int32_t Height, int32_t BitsPerPixel) {
  const int64_t pixels = static_cast<int64_t>(Width) * Height;  // < 2^62
  if (pixels > kMaxBlock) return kMaxBlock + 1;
  return pixels * BytesOf_(BitsPerPixel);
}

// Bytes the record's block really holds: the allocator's padded size for a
// tracked block, the owner's word (Size) for a borrowed one.
int64_t Capacity_(const TImg& Img) {
  if (Img.Borrowed) return Img.Size;
  const TMemRecord* rec = MemRecord(MemFind(Img.Data));
  return rec ? rec->Size : 0;
}

// Allocates or resizes the record's pixel block. The allocator records the
// record's own Data field as the block's holder: the next allocation into
// the same record then resizes the block in place and keeps its pixels,
// which pastes rely on, instead of making a second block.
void AllocPixels_(TImg& Img, int64_t Bytes, int Line, const std::string& Name) {
  _memalloc_(Img.Data, Bytes, Line, Name, MK_MEM);
}

void CheckImg_(const TImg& Img, int Line) {
  const bool shaped = IsDepth_(Img.BitsPerPixel) &&
                      Img.BytesPerPixel == BytesOf_(Img.BitsPerPixel) && Img.Width >= 1 &&
                      Img.Height >= 1 && Img.Data != nullptr;
  if (!shaped || PixelBytes_(Img.Width, Img.Height, Img.BitsPerPixel) > Capacity_(Img))
    Fail_(EG_IMG, 2, Line);
}

// ---- depth conversion kernels ------------------------------------------------------
// Words are little-endian whatever the host. No rounding anywhere: narrowing
// truncates, widening pads with zero bits.

inline uint32_t Load16_(const uint8_t* P) { return P[0] | (static_cast<uint32_t>(P[1]) << 8); }

inline void Store16_(uint8_t* P, uint32_t W) {
  P[0] = static_cast<uint8_t>(W);
  P[1] = static_cast<uint8_t>(W >> 8);
}

// Blue, green, red bytes packed into a 15-bit (five bits of green) or a
// 16-bit (six bits of green) word.
inline uint32_t PackWord_(const uint8_t* Bgr, bool Green6) {
  if (Green6) return (Bgr[0] >> 3) | ((Bgr[1] >> 2) << 5) | ((Bgr[2] >> 3) << 11);
  return (Bgr[0] >> 3) | ((Bgr[1] >> 3) << 5) | ((Bgr[2] >> 3) << 10);
}

inline void UnpackWord_(uint32_t W, bool Green6, uint8_t* Bgr) {
  Bgr[0] = static_cast<uint8_t>((W & 31) << 3);
  if (Green6) {
    Bgr[1] = static_cast<uint8_t>(((W >> 5) & 63) << 2);
    Bgr[2] = static_cast<uint8_t>(((W >> 11) & 31) << 3);
  } else {
    Bgr[1] = static_cast<uint8_t>(((W >> 5) & 31) << 3);
    Bgr[2] = static_cast<uint8_t>(((W >> 10) & 31) << 3);
  }
}

// 8 bits into 15 or 16: the palette packed once into a table of 256 words,
// then one lookup per pixel.
void Conv8ToWord_(const TPalette& Pal, const uint8_t* S, uint8_t* D, bool Green6, int64_t N) {
  uint16_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint16_t>(PackWord_(Pal[i], Green6));
  for (int64_t i = 0; i < N; ++i) Store16_(D + 2 * i, table[S[i]]);
}

// 8 bits into 24 or 32 (DestBytes 3 or 4; the fourth byte is 0).
void Conv8ToRgb_(const TPalette& Pal, const uint8_t* S, uint8_t* D, int DestBytes, int64_t N) {
  for (int64_t i = 0; i < N; ++i, D += DestBytes) {
    const uint8_t* e = Pal[S[i]];
    D[0] = e[0];
    D[1] = e[1];
    D[2] = e[2];
    if (DestBytes == 4) D[3] = 0;
  }
}

// 15 into 16: red and green move up one bit, green gains a zero low bit,
// blue stays. 16 into 15: green and red move down one bit, green loses its
// lowest bit.
void ConvWordToWord_(const uint8_t* S, uint8_t* D, bool ToGreen6, int64_t N) {
  for (int64_t i = 0; i < N; ++i) {
    const uint32_t w = Load16_(S + 2 * i);
    const uint32_t o =
        ToGreen6 ? ((w << 1) & 0xFFC0) | (w & 0x1F) : ((w >> 1) & 0x7FE0) | (w & 0x1F);
    Store16_(D + 2 * i, o);
  }
}

void ConvWordToRgb_(const uint8_t* S, bool Green6, uint8_t* D, int DestBytes, int64_t N) {
  for (int64_t i = 0; i < N; ++i, D += DestBytes) {
    UnpackWord_(Load16_(S + 2 * i), Green6, D);
    if (DestBytes == 4) D[3] = 0;
  }
}

void ConvRgbToWord_(const uint8_t* S, int SrcBytes, uint8_t* D, bool Green6, int64_t N) {
  for (int64_t i = 0; i < N; ++i, S += SrcBytes) Store16_(D + 2 * i, PackWord_(S, Green6));
}

// 24 into 32 (fourth byte 0) or 32 into 24 (fourth byte dropped).
void ConvRgbToRgb_(const uint8_t* S, int SrcBytes, uint8_t* D, int DestBytes, int64_t N) {
  for (int64_t i = 0; i < N; ++i, S += SrcBytes, D += DestBytes) {
    D[0] = S[0];
    D[1] = S[1];
    D[2] = S[2];
    if (DestBytes == 4) D[3] = 0;
  }
}

// Converts every pixel of Src into Target, which already has Src's width
// and height at its own depth. Src and Target are different records.
void ConvPixels_(TImg& Src, TImg& Target) {
  const int64_t n = static_cast<int64_t>(Src.Width) * Src.Height;
  const int32_t from = Src.BitsPerPixel, to = Target.BitsPerPixel;
  const bool toWord = to == 15 || to == 16;
  if (to == 8) {
    ConvTo8bit(Src, Target, 0);
  } else if (from == 8) {
    if (toWord)
      Conv8ToWord_(Src.Palette, Src.Data, Target.Data, to == 16, n);
    else
      Conv8ToRgb_(Src.Palette, Src.Data, Target.Data, Target.BytesPerPixel, n);
  } else if (from == 15 || from == 16) {
    if (toWord)
      ConvWordToWord_(Src.Data, Target.Data, to == 16, n);
    else
      ConvWordToRgb_(Src.Data, from == 16, Target.Data, Target.BytesPerPixel, n);
  } else if (toWord) {
    ConvRgbToWord_(Src.Data, Src.BytesPerPixel, Target.Data, to == 16, n);
  } else {
    ConvRgbToRgb_(Src.Data, Src.BytesPerPixel, Target.Data, Target.BytesPerPixel, n);
  }
}

// ---- the operation frame ------------------------------------------------------------

int32_t DepthFor_(const TImgOpInfo& Info, int32_t BitsPerPixel) {
  switch (BitsPerPixel) {
    case 8: return Info.DepthFor8;
    case 15: return Info.DepthFor15;
    case 16: return Info.DepthFor16;
    case 24: return Info.DepthFor24;
    case 32: return Info.DepthFor32;
    default: return Info.DepthOther;
  }
}

// Brings a destination that already holds a picture to the working depth,
// or (DepthToHigher) raises the working depth to the destination's.
int32_t SettleDestDepth_(const TImgOpInfo& Info, TImg& Dest, int32_t Depth) {
  if (Info.DepthToHigher && Dest.BitsPerPixel != Depth) {
    if (Dest.BitsPerPixel < Depth)
      ImgConvBpp(Dest, Dest, Depth);
    else
      Depth = Dest.BitsPerPixel;
  } else if (Info.DestToSourceDepth && Dest.BitsPerPixel != Depth) {
    ImgConvBpp(Dest, Dest, Depth);
  }
  return Depth;
}

void ChooseRecords_(const TImgOpInfo& Info, TImgOpVars& V, TImg& Src, TImg& Dest, int32_t Depth) {
  if (Depth != Src.BitsPerPixel) {
    ImgConvBpp(Src, V.Temp, Depth);
    V.Src = &V.Temp;
    V.FreeTemp = true;
    V.Dest = &Dest;
  } else if (Info.InPlace || &Src != &Dest) {
    V.Src = &Src;
    V.Dest = &Dest;
  } else {
    // Cannot work in place on one record: produce into Temp and exchange.
    _imgalloc_(V.Temp, V.NewWidth, V.NewHeight, Depth, __LINE__, "IMGBasic.ImgInitEx.temp_ih");
    V.FreeTemp = true;
    V.Exchange = true;
    V.Src = &Src;
    V.Dest = &V.Temp;
  }
}

void FillLengths_(const TImgOpInfo& Info, TImgOpVars& V) {
  TImg& s = *V.Src;
  TImg& d = *V.Dest;
  V.SrcRowBytes = static_cast<int64_t>(s.Width) * s.BytesPerPixel;
  V.SrcBytes = V.SrcRowBytes * s.Height;
  V.DestRowBytes = static_cast<int64_t>(V.NewWidth) * d.BytesPerPixel;
  V.DestBytes = V.DestRowBytes * V.NewHeight;
  V.SrcPixels = static_cast<int64_t>(s.Width) * s.Height;
  V.DestPixels = static_cast<int64_t>(V.NewWidth) * V.NewHeight;
  if (Info.PaletteOnly && s.BitsPerPixel == 8) {
    V.SrcUnits = V.DestUnits = 256;
    V.SrcPtr = &s.Palette[0][0];
    V.DestPtr = &d.Palette[0][0];
    V.SrcLen = V.DestLen = 768;
    V.CopyData = true;
  } else {
    V.SrcUnits = V.SrcPixels;
    V.DestUnits = V.DestPixels;
    V.SrcPtr = s.Data;
    V.DestPtr = d.Data;
    V.SrcLen = V.SrcBytes;
    V.DestLen = V.DestBytes;
    V.CopyData = false;
  }
  V.CopyPalette = s.BitsPerPixel == 8;
}

// ---- pastes ----------------------------------------------------------------------------

// Copies W pixels of one row, skipping those equal to the key at the
// pixel's own width: the key's low byte, low 16 bits, low 24 bits or all 32.
void SpriteRow_(const uint8_t* S, uint8_t* D, int64_t W, int32_t BitsPerPixel, uint32_t Key) {
  switch (BitsPerPixel) {
    case 8:
      for (int64_t i = 0; i < W; ++i)
        if (S[i] != (Key & 0xFF)) D[i] = S[i];
      break;
    case 15:
    case 16:
      for (int64_t i = 0; i < W; ++i, S += 2, D += 2)
        if (Load16_(S) != (Key & 0xFFFF)) std::memcpy(D, S, 2);
      break;
    case 24:
      for (int64_t i = 0; i < W; ++i, S += 3, D += 3)
        if ((Load16_(S) | (static_cast<uint32_t>(S[2]) << 16)) != (Key & 0xFFFFFF))
          std::memcpy(D, S, 3);
      break;
    default:
      for (int64_t i = 0; i < W; ++i, S += 4, D += 4)
        if ((Load16_(S) | (Load16_(S + 2) << 16)) != Key) std::memcpy(D, S, 4);
      break;
  }
}

// Pastes the working source at (X, Y) of the working destination, clipped at
// the right and bottom edges.
void PutRows_(int32_t Op, const TImgOpVars& V, int32_t X, int32_t Y, uint32_t Key) {
  const TImg& s = *V.Src;
  TImg& d = *V.Dest;
  const int64_t w = std::min<int64_t>(s.Width, static_cast<int64_t>(d.Width) - X);
  const int64_t h = std::min<int64_t>(s.Height, static_cast<int64_t>(d.Height) - Y);
  const int64_t bpp = d.BytesPerPixel;
  for (int64_t r = 0; r < h; ++r) {
    const uint8_t* sp = s.Data + r * V.SrcRowBytes;
    uint8_t* dp = d.Data + (Y + r) * V.DestRowBytes + X * bpp;
    if (Op == IOP_SPRITE)
      SpriteRow_(sp, dp, w, d.BitsPerPixel, Key);
    else
      std::memcpy(dp, sp, static_cast<size_t>(w * bpp));
  }
}

}  // namespace

// ---- allocation and bookkeeping ---------------------------------------------

void _imgalloc_(TImg& Img, int32_t Width, int32_t Height, int32_t BitsPerPixel, int Line,
                const char* Label) {
  Monitored("IMGBasic._imgalloc_", [&] {
    if (!MemValid(Img.Data)) {
      Img.Data = nullptr;
      Img.Size = Img.Width = Img.Height = Img.BytesPerPixel = Img.BitsPerPixel = 0;
    }
    if (!IsDepth_(BitsPerPixel)) Fail_(EG_IMG, 1, Line);
    // A size below 1 asks for no memory: the allocator's own refusal.
    if (Width < 1 || Height < 1) Fail_(EG_MEM, 5, Line);
    const int64_t bytes = PixelBytes_(Width, Height, BitsPerPixel);
    if (bytes > kMaxBlock) Fail_(EG_MEM, 5, Line);
    AllocPixels_(Img, bytes, Line, std::string("(ImgAlloc):") + (Label ? Label : ""));
    Img.Size = static_cast<int32_t>(bytes);
    Img.Width = Width;
    Img.Height = Height;
    Img.BytesPerPixel = BytesOf_(BitsPerPixel);
    Img.BitsPerPixel = BitsPerPixel;
    Img.Borrowed = 0;
  });
}

void ImgAlloc(TImg& Img, int32_t Width, int32_t Height, int32_t BitsPerPixel) {
  _imgalloc_(Img, Width, Height, BitsPerPixel, 0, "");
}

// A borrowed block belongs to someone else, who releases it.
void ImgFree(TImg& Img) {
  if (!Img.Borrowed) MemFree(Img.Data);
  Img = TImg{};
}

bool ImgIsValid(const TImg& Img) { return Img.Borrowed != 0 || MemValid(Img.Data); }

void ImgSetDims(TImg& Img, int32_t Width, int32_t Height, int32_t BitsPerPixel) {
  Img.Width = Width;
  Img.Height = Height;
  Img.BitsPerPixel = BitsPerPixel;
  Img.BytesPerPixel = BytesOf_(BitsPerPixel);
  if (Img.Borrowed) {
    // A size that cannot be told in 32 bits describes no usable block: 0
    // makes every operation refuse the record.
    const bool negative = Width < 0 || Height < 0 || BitsPerPixel < 0;
    const int64_t bytes = negative ? 0 : PixelBytes_(Width, Height, BitsPerPixel);
    Img.Size = bytes > kMaxBlock ? 0 : static_cast<int32_t>(bytes);
  }
}

void ImgCopyDims(const TImg& Src, TImg& Dest) {
  if (&Src == &Dest) return;
  Dest.Width = Src.Width;
  Dest.Height = Src.Height;
  Dest.BytesPerPixel = Src.BytesPerPixel;
  Dest.BitsPerPixel = Src.BitsPerPixel;
}

// ---- copying and exchange -----------------------------------------------------

void ImgCopyData(const TImg& Src, TImg& Dest) {
  Monitored("IMGBasic.ImgCopyData", [&] {
    if (&Src == &Dest) MonExit();
    CheckImg_(Src, __LINE__);
    _imgalloc_(Dest, Src.Width, Src.Height, Src.BitsPerPixel, __LINE__,
               "IMGBasic.ImgCopyData.dest");
    std::memcpy(Dest.Data, Src.Data,
                static_cast<size_t>(PixelBytes_(Src.Width, Src.Height, Src.BitsPerPixel)));
  });
}

void ImgCopyPalette(const TImg& Src, TImg& Dest) {
  if (&Src != &Dest && Src.BitsPerPixel == 8)
    std::memcpy(Dest.Palette, Src.Palette, sizeof(TPalette));
}

// The geometry comes with the allocation of ImgCopyData, so Dest never
// describes more than its block even when that allocation fails.
void ImgCopy(const TImg& Src, TImg& Dest) {
  Monitored("IMGBasic.ImgCopy", [&] {
    if (&Src == &Dest) MonExit();
    ImgCopyData(Src, Dest);
    ImgCopyDims(Src, Dest);
    ImgCopyPalette(Src, Dest);
  });
}

void ImgXchg(TImg& A, TImg& B) {
  Monitored("IMGBasic.ImgXchg", [&] {
    if (&A == &B) MonExit();
    MemXchg(A.Data, B.Data);
    std::swap(A, B);
  });
}

// ---- depth conversion ------------------------------------------------------------

void ImgConvBpp(TImg& Src, TImg& Dest, int32_t BitsPerPixel) {
  ImgConvBppEx(Src, Dest, BitsPerPixel, 0);
}

// Mode 0 is the only mode; the parameter stays for the callers' sake.
void ImgConvBppEx(TImg& Src, TImg& Dest, int32_t BitsPerPixel, int32_t Mode) {
  Monitored("IMGBasic.ImgConvBppEx", [&] {
    (void)Mode;
    if (!IsDepth_(BitsPerPixel)) Fail_(EG_IMG, 1, __LINE__);
    CheckImg_(Src, __LINE__);
    const bool same = &Src == &Dest;
    if (Src.BitsPerPixel == BitsPerPixel) {
      if (!same) ImgCopy(Src, Dest);
      MonExit();
    }
    TImg temp;
    TImg& target = same ? temp : Dest;
    _imgalloc_(target, Src.Width, Src.Height, BitsPerPixel, __LINE__,
               same ? "IMGBasic.ImgConvBppEx.ih_temp" : "IMGBasic.ImgConvBppEx.dest");
    ConvPixels_(Src, target);
    if (same) {
      ImgXchg(Src, temp);
      ImgFree(temp);
    }
  });
}

void ImgRowTo24(const uint8_t* Src, int32_t BitsPerPixel, const TPalette& Palette,
                int64_t Pixels, uint8_t* Dest) {
  switch (BitsPerPixel) {
    case 8: Conv8ToRgb_(Palette, Src, Dest, 3, Pixels); break;
    case 15:
    case 16: ConvWordToRgb_(Src, BitsPerPixel == 16, Dest, 3, Pixels); break;
    case 32: ConvRgbToRgb_(Src, 4, Dest, 3, Pixels); break;
    default: std::memcpy(Dest, Src, static_cast<size_t>(Pixels * 3)); break;
  }
}

void ImgCheck(const TImg& Img, int Line) { CheckImg_(Img, Line); }

// ---- operation frame ---------------------------------------------------------------

void ImgInitInfo(TImgOpInfo& Info) { Info = TImgOpInfo{}; }

void ImgInfo(TImgOpInfo& Info, int32_t Op) {
  ImgInitInfo(Info);
  Info.Op = Op;
  auto keepAll = [&Info] {
    Info.DepthFor8 = 8;
    Info.DepthFor15 = 15;
    Info.DepthFor16 = 16;
    Info.DepthFor32 = 32;
  };
  switch (Op) {
    case IOP_FLIPV: keepAll(); break;
    case IOP_SWAPRB: Info.DepthFor8 = 8; Info.PaletteOnly = -1; break;
    case IOP_SPRITE: keepAll(); Info.InPlace = 0; Info.DestToSourceDepth = -1; break;
    case IOP_RESIZE: Info.DepthFor8 = 8; Info.InPlace = 0; break;
    case IOP_RESAMPLE: Info.InPlace = 0; break;
    case IOP_CROP: Info.DepthFor8 = 8; break;
    case IOP_INSERT: keepAll(); Info.InPlace = 0; Info.DepthToHigher = -1; break;
    default: break;
  }
}

void ImgInitEx(const TImgOpInfo& Info, TImgOpVars& Vars, TImg& Src, TImg* Dest,
               int32_t NewWidth, int32_t NewHeight) {
  Monitored("IMGBasic.ImgInitEx", [&] {
    Vars = TImgOpVars{};
    if (!Info.InPlace && !Dest) Fail_(EG_IMG, 6, __LINE__);
    TImg& dest = Dest ? *Dest : Src;
    CheckImg_(Src, __LINE__);
    if (NewWidth < 1 || NewHeight < 1) Fail_(EG_GEN, 1, __LINE__);
    Vars.NewWidth = NewWidth;
    Vars.NewHeight = NewHeight;
    int32_t depth = DepthFor_(Info, Src.BitsPerPixel);
    if (Info.DepthToHigher || Info.DestToSourceDepth) {
      CheckImg_(dest, __LINE__);
      depth = SettleDestDepth_(Info, dest, depth);
    }
    ChooseRecords_(Info, Vars, Src, dest, depth);
    // A destination that already holds a block of this size keeps its
    // pixels: the allocator resizes in place.
    if (Vars.Src != Vars.Dest)
      _imgalloc_(*Vars.Dest, NewWidth, NewHeight, depth, __LINE__, "IMGBasic.ImgInitEx.pdest^");
    FillLengths_(Info, Vars);
  });
}

void ImgInit(const TImgOpInfo& Info, TImgOpVars& Vars, TImg& Src, TImg* Dest) {
  ImgInitEx(Info, Vars, Src, Dest, Src.Width, Src.Height);
}

// The geometry is set before the exchange, so the record that receives the
// result (the caller's, after an exchange) carries it.
void ImgDone(TImgOpVars& Vars) {
  Monitored("IMGBasic.ImgDone", [&] {
    if (Vars.CopyData)
      ImgCopyData(*Vars.Src, *Vars.Dest);
    else if (Vars.CopyPalette)
      ImgCopyPalette(*Vars.Src, *Vars.Dest);
    Vars.Dest->Width = Vars.NewWidth;
    Vars.Dest->Height = Vars.NewHeight;
    if (Vars.Exchange) ImgXchg(*Vars.Src, Vars.Temp);
    if (Vars.FreeTemp) ImgFree(Vars.Temp);
  });
}

// ---- geometric operations ----------------------------------------------------------

void ImgInsert(TImg& Src, TImg& Dest, int32_t X, int32_t Y) {
  AutoPut_(IOP_INSERT, Src, Dest, X, Y, 0);
}

void ImgSprite(TImg& Src, TImg& Dest, int32_t X, int32_t Y, uint32_t Key) {
  AutoPut_(IOP_SPRITE, Src, Dest, X, Y, Key);
}

void AutoPut_(int32_t Op, TImg& Src, TImg& Dest, int32_t X, int32_t Y, uint32_t Key) {
  Monitored("IMGBasic.AutoPut_", [&] {
    if (Op != IOP_INSERT && Op != IOP_SPRITE) Fail_(EG_IMG, 6, __LINE__);
    if (&Src == &Dest) MonExit();
    CheckImg_(Src, __LINE__);
    CheckImg_(Dest, __LINE__);
    if (X < 0 || Y < 0) Fail_(EG_GEN, 1, __LINE__);
    if (X >= Dest.Width || Y >= Dest.Height) MonExit();
    TImgOpInfo info;
    ImgInfo(info, Op);
    TImgOpVars vars;
    ImgInitEx(info, vars, Src, &Dest, Dest.Width, Dest.Height);
    PutRows_(Op, vars, X, Y, Key);
    ImgDone(vars);
  });
}

void ImgCrop(TImg& Src, TImg& Dest, int32_t X, int32_t Y, int32_t Width, int32_t Height) {
  Monitored("IMGBasic.ImgCrop", [&] {
    CheckImg_(Src, __LINE__);
    if (X < 0 || Y < 0 || Width < 1 || Height < 1) Fail_(EG_GEN, 1, __LINE__);
    if (X >= Src.Width || Y >= Src.Height) MonExit();
    const int32_t w = std::min(Width, Src.Width - X);
    const int32_t h = std::min(Height, Src.Height - Y);
    TImgOpInfo info;
    ImgInfo(info, IOP_CROP);
    TImgOpVars vars;
    ImgInitEx(info, vars, Src, &Dest, w, h);
    const int64_t rowLen = static_cast<int64_t>(w) * vars.Dest->BytesPerPixel;
    const int64_t left = static_cast<int64_t>(X) * vars.Src->BytesPerPixel;
    // In place the rows move towards the start of the same block; each
    // destination row ends before the next source row begins, so moving
    // them top down never overwrites a row still to be read.
    for (int64_t r = 0; r < h; ++r)
      MemMove(vars.Src->Data + (Y + r) * vars.SrcRowBytes + left,
              vars.Dest->Data + r * vars.DestRowBytes, rowLen);
    ImgDone(vars);
  });
}

void ImgFlipV(TImg& Src, TImg& Dest) {
  Monitored("IMGBasic.ImgFlipV", [&] {
    TImgOpInfo info;
    ImgInfo(info, IOP_FLIPV);
    TImgOpVars vars;
    ImgInit(info, vars, Src, &Dest);
    const int64_t row = vars.SrcRowBytes;
    const int64_t rows = vars.Src->Height;
    uint8_t* s = vars.Src->Data;
    uint8_t* d = vars.Dest->Data;
    if (vars.Src == vars.Dest) {
      for (int64_t top = 0, bottom = rows - 1; top < bottom; ++top, --bottom)
        std::swap_ranges(s + top * row, s + (top + 1) * row, s + bottom * row);
    } else {
      for (int64_t i = 0; i < rows; ++i)
        std::memcpy(d + (rows - 1 - i) * row, s + i * row, static_cast<size_t>(row));
    }
    ImgDone(vars);
  });
}

void ImgOrient(TImg& Img, int32_t Orientation) {
  Monitored("IMGBasic.ImgOrient", [&] {
    if (Orientation < 2 || Orientation > 8) MonExit();
    ImgCheck(Img, __LINE__);
    const bool transposes = OrientationTransposes(Orientation);
    const int64_t w = Img.Width, h = Img.Height, bpp = Img.BytesPerPixel;
    const int64_t outW = transposes ? h : w, outH = transposes ? w : h;
    TImg turned;
    _imgalloc_(turned, static_cast<int32_t>(outW), static_cast<int32_t>(outH), Img.BitsPerPixel,
               __LINE__, "IMGBasic.ImgOrient.turned");
    ImgCopyPalette(Img, turned);
    // The stored pixel seen at (x, y) is First + x * StepX + y * StepY,
    // counted in pixels of the stored picture.
    const int64_t last = w - 1, bottom = (h - 1) * w;
    struct TWalk { int64_t First, StepX, StepY; };
    const TWalk walks[9] = {{},
                            {0, 1, w},              {last, -1, w},
                            {bottom + last, -1, -w}, {bottom, 1, -w},
                            {0, w, 1},              {bottom, -w, 1},
                            {bottom + last, -w, -1}, {last, w, -1}};
    const TWalk& walk = walks[Orientation];
    uint8_t* out = turned.Data;
    for (int64_t y = 0; y < outH; ++y) {
      const int64_t row = walk.First + y * walk.StepY;
      for (int64_t x = 0; x < outW; ++x, out += bpp)
        std::memcpy(out, Img.Data + (row + x * walk.StepX) * bpp, static_cast<size_t>(bpp));
    }
    ImgXchg(Img, turned);
    ImgFree(turned);
  });
}

void ImgSwapRB(TImg& Src, TImg& Dest) {
  Monitored("IMGBasic.ImgSwapRB", [&] {
    TImgOpInfo info;
    ImgInfo(info, IOP_SWAPRB);
    TImgOpVars vars;
    ImgInit(info, vars, Src, &Dest);
    if (vars.SrcPtr == vars.DestPtr)
      SwapRBInPlace(vars.SrcUnits, vars.SrcPtr);
    else
      CopySwapRB(vars.SrcUnits, vars.DestPtr, vars.SrcPtr);
    ImgDone(vars);
  });
}

// ---- images from foreign buffers -------------------------------------------------

void MakeQimg(TImg& Img, const uint8_t* Pixels, int32_t Width, int32_t Height,
              int32_t BitsPerPixel, int64_t Stride, bool TopDown) {
  Monitored("IMGBasic.MakeQimg", [&] {
    if (!IsDepth_(BitsPerPixel)) Fail_(EG_IMG, 1, __LINE__);
    const int64_t rowLen = static_cast<int64_t>(std::max(Width, 0)) * BytesOf_(BitsPerPixel);
    // Rows closer together than their length would overlap: no buffer
    // that describes a picture has them.
    if (!Pixels || Stride < rowLen) Fail_(EG_GEN, 1, __LINE__);
    _imgalloc_(Img, Width, Height, BitsPerPixel, __LINE__, "IMGBasic.MakeQimg.img");
    if (TopDown && Stride == rowLen) {
      std::memcpy(Img.Data, Pixels, static_cast<size_t>(rowLen * Height));
      MonExit();
    }
    for (int64_t i = 0; i < Height; ++i) {
      const int64_t to = TopDown ? i : Height - 1 - i;
      std::memcpy(Img.Data + to * rowLen, Pixels + i * Stride, static_cast<size_t>(rowLen));
    }
  });
}

// The header is trusted only as far as the bytes behind it reach: every
// field that sizes a read is checked against DibSize first (EG_IMG 4). Only
// bottom-up bitmaps of 8, 15, 16, 24 or 32 bits are taken (EG_IMG 1 for the
// other depths); a top-down one (negative height) is refused as invalid.
void DibToQimg(TImg& Img, const uint8_t* Dib, int64_t DibSize) {
  Monitored("IMGBasic.DibToQimg", [&] {
    constexpr int64_t kHeader = 40, kColourTable = 1024;
    if (!Dib || DibSize < kHeader) Fail_(EG_IMG, 4, __LINE__);
    auto u32 = [Dib](int At) { return Load16_(Dib + At) | (Load16_(Dib + At + 2) << 16); };
    const int64_t biSize = u32(0);
    const int32_t width = static_cast<int32_t>(u32(4));
    const int32_t height = static_cast<int32_t>(u32(8));
    const int32_t bitCount = static_cast<int32_t>(Load16_(Dib + 14));
    const int32_t depth = bitCount == 16 ? 15 : bitCount;
    if (!IsDepth_(depth)) Fail_(EG_IMG, 1, __LINE__);
    if (biSize < kHeader || width < 1 || height < 1) Fail_(EG_IMG, 4, __LINE__);
    const int64_t rowLen = static_cast<int64_t>(width) * BytesOf_(depth);
    const int64_t stride = (rowLen + 3) / 4 * 4;
    const int64_t pixelsAt = biSize + (depth == 8 ? kColourTable : 0);
    // Budget: what follows the pixel offset must hold every padded row.
    if (pixelsAt > DibSize || (depth == 8 && kHeader + kColourTable > DibSize))
      Fail_(EG_IMG, 4, __LINE__);
    if (height > (DibSize - pixelsAt) / stride) Fail_(EG_IMG, 4, __LINE__);
    MakeQimg(Img, Dib + pixelsAt, width, height, depth, stride, false);
    if (depth == 8) PalImport(false, 4, 256, &Img.Palette[0][0], Dib + kHeader);
  });
}

// ---- helpers shared with the format readers ----------------------------------------

void PalGreyRamp(TPalette& Palette) {
  for (int i = 0; i < 256; ++i)
    Palette[i][0] = Palette[i][1] = Palette[i][2] = static_cast<uint8_t>(i);
}

void PalGreyRampInv(TPalette& Palette) {
  for (int i = 0; i < 256; ++i)
    Palette[i][0] = Palette[i][1] = Palette[i][2] = static_cast<uint8_t>(255 - i);
}

// Entries of one byte describe no colour and are not converted.
void PalImport(bool Swap, int32_t EntrySize, int32_t Count, uint8_t* DestEntries,
               const uint8_t* Src) {
  if (EntrySize < 2) return;
  for (int32_t i = 0; i < Count; ++i, Src += EntrySize, DestEntries += 3) {
    uint8_t e[3];
    if (EntrySize == 2) {
      const uint32_t w = Load16_(Src);
      e[0] = static_cast<uint8_t>(((w >> 10) & 31) * 8);
      e[1] = static_cast<uint8_t>(((w >> 5) & 31) * 8);
      e[2] = static_cast<uint8_t>((w & 31) * 8);
    } else {
      std::memcpy(e, Src, 3);
    }
    if (Swap) std::swap(e[0], e[2]);
    std::memcpy(DestEntries, e, 3);
  }
}

void CopySwapRB(int64_t Count, uint8_t* Dest, const uint8_t* Src) {
  for (int64_t i = 0; i < Count; ++i, Src += 3, Dest += 3) {
    const uint8_t b = Src[0], g = Src[1], r = Src[2];
    Dest[0] = r;
    Dest[1] = g;
    Dest[2] = b;
  }
}

void SwapRBInPlace(int64_t Count, uint8_t* Buf) {
  for (int64_t i = 0; i < Count; ++i, Buf += 3) std::swap(Buf[0], Buf[2]);
}

void ColorSplit(uint32_t Color, uint8_t& Red, uint8_t& Green, uint8_t& Blue) {
  Red = static_cast<uint8_t>(Color);
  Green = static_cast<uint8_t>(Color >> 8);
  Blue = static_cast<uint8_t>(Color >> 16);
}

}  // namespace kvo
