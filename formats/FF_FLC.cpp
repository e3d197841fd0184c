// SPDX-License-Identifier: GPL-3.0-or-later
// FLIC movie reader.
//
// A frame is read whole (as far as the file holds it) and every chunk is
// decoded from its own sub-cursor over the frame's bytes, so a chunk can
// never read its neighbour or past the frame. Every size is checked before
// use: a chunk smaller than its own header is refused (EG_IMG 2), which
// also rules out loops that make no progress.
//
// Odd files the reader tolerates, because real writers make them:
// - a last frame whose size reaches a few bytes past the end of the file
//   (its chunks are all there): the frame is what the file holds;
// - a depth field of 0 (early FLI writers): every FLIC is 8 bits;
// - chunks of other types (postage stamps and the like): skipped;
// - run and delta data that ends early: the chunk ends there; runs that
//   cross the end of a row: cut at the row's end; palette packets past
//   entry 255: cut there.
// Refused: a delta that addresses a row outside the picture (EG_MVI 3), a
// picture beyond the readers' limit (EG_IMG 12), a chunk running past its
// frame (EG_FILE 3, as a short read).
#include "formats/FF_FLC.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ConForm.h"
#include "formats/FFLib.h"

namespace kvo {

namespace {

constexpr int kFrameHeader = 16;
constexpr int kChunkHeader = 6;

uint8_t* FLCCmpsData = nullptr;  // one frame's bytes

std::string LowerExt_(const std::string& FileName) {
  std::string ext = std::filesystem::path(FileName).extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// Frames per second to one decimal; the extension names the speed's unit.
double FrameRate_(uint32_t Speed, const std::string& FileName) {
  if (Speed == 0) return 0;
  const double unit = LowerExt_(FileName) == ".fli" ? 70.0 : 1000.0;
  return static_cast<double>(RoundHalfEven(unit / Speed * 10)) * 0.1;
}

}  // namespace

void FLCOpen(TFLCFile& F, const std::string& FileName) {
  Monitored("FF_FLC.FLCOpen", [&] {
    F = TFLCFile{};
    FOpen(F.Handle, FileName, FM_READ);
    const int64_t size = FSize(F.Handle);
    FRead(F.Handle, F.Header, FLC_HEADER_BYTES);
    TByteCursor c = CurMake(F.Header, FLC_HEADER_BYTES);
    F.HeaderSize = CurU32LE(c);
    F.Magic = CurU16LE(c);
    F.FrameCount = CurU16LE(c);
    F.Width = CurU16LE(c);
    F.Height = CurU16LE(c);
    F.Depth = CurU16LE(c);
    F.Flags = CurU16LE(c);
    F.Speed = CurU32LE(c);
    if (F.Magic != 0xAF11 && F.Magic != 0xAF12) SetError(EG_IMG, 2, __LINE__);
    if (size > INT32_MAX) SetError(EG_IMG, 1, __LINE__);
    F.FileSize = static_cast<int32_t>(size);
    F.PixelCount = int64_t{F.Width} * F.Height;
    F.FrameRate = FrameRate_(F.Speed, FileName);
    F.BytesPerPixel = 1;
    F.BitsPerPixel = 8;
    F.NextPos = FLC_HEADER_BYTES;
  });
}

// ---- palette and pixel chunks --------------------------------------------------------

void FLCGetPal_(TByteCursor& Data, TPalette& Palette, int32_t Type) {
  TProcScope trace("FF_FLC.FLCGetPal_");
  const int shift = Type == FLC_COLOR_64 ? 2 : 0;
  if (!CurHas(Data, 2)) return;
  const int32_t packets = CurU16LE(Data);
  int32_t entry = 0;
  for (int32_t p = 0; p < packets && CurHas(Data, 2); ++p) {
    entry += CurU8(Data);
    int32_t count = CurU8(Data);
    if (count == 0) count = 256;
    for (int32_t k = 0; k < count && CurHas(Data, 3); ++k, ++entry) {
      const uint8_t* rgb = CurBytes(Data, 3);
      if (entry > 255) continue;
      Palette[entry][0] = static_cast<uint8_t>(rgb[2] << shift);
      Palette[entry][1] = static_cast<uint8_t>(rgb[1] << shift);
      Palette[entry][2] = static_cast<uint8_t>(rgb[0] << shift);
    }
  }
}

namespace {

// One row of the target, with every write cut at its end.
struct TFlcRow {
  uint8_t* Px;
  int64_t Width;
};

// Copies N literal bytes to column X (as many as the data holds); false
// when the data ran out.
bool Literal_(TByteCursor& D, TFlcRow R, int64_t X, int64_t N) {
  const int64_t avail = std::min<int64_t>(N, static_cast<int64_t>(CurLeft(D)));
  const uint8_t* src = CurBytes(D, static_cast<uint64_t>(avail));
  if (X < R.Width && avail > 0)
    std::memcpy(R.Px + X, src, static_cast<size_t>(std::min(avail, R.Width - X)));
  return avail == N;
}

// Repeats the Unit bytes at Src N times from column X.
void Repeat_(TFlcRow R, int64_t X, const uint8_t* Src, int Unit, int64_t N) {
  for (int64_t i = 0; i < N * Unit && X + i < R.Width; ++i) R.Px[X + i] = Src[i % Unit];
}

TFlcRow Row_(TImg& Img, int64_t Y) {
  if (Y < 0 || Y >= Img.Height) SetError(EG_MVI, 3, __LINE__);
  return {Img.Data + Y * Img.Width, Img.Width};
}

// Byte run: every row, a packet count byte that is not used, then signed
// counts: negative copies that many bytes, positive repeats the next byte.
void FlcByteRun_(TByteCursor& D, TImg& Img) {
  for (int64_t y = 0; y < Img.Height; ++y) {
    const TFlcRow row = Row_(Img, y);
    if (!CurHas(D, 1)) return;
    CurSkip(D, 1);
    for (int64_t x = 0; x < row.Width;) {
      if (!CurHas(D, 1)) return;
      const int32_t n = static_cast<int8_t>(CurU8(D));
      if (n < 0) {
        if (!Literal_(D, row, x, -n)) return;
      } else if (n > 0) {
        if (!CurHas(D, 1)) return;
        Repeat_(row, x, CurBytes(D, 1), 1, n);
      }
      x += n < 0 ? -n : n;
    }
  }
}

// The packets of one delta row: column skip, then a signed count of Unit-
// byte pieces (positive: literal pieces, negative: one piece repeated).
bool FlcPackets_(TByteCursor& D, TFlcRow Row, int32_t Packets, int Unit) {
  int64_t x = 0;
  for (int32_t p = 0; p < Packets; ++p) {
    if (!CurHas(D, 2)) return false;
    x += CurU8(D);
    const int32_t n = static_cast<int8_t>(CurU8(D));
    if (n > 0) {
      if (!Literal_(D, Row, x, int64_t{n} * Unit)) return false;
    } else if (n < 0) {
      if (!CurHas(D, static_cast<uint64_t>(Unit))) return false;
      Repeat_(Row, x, CurBytes(D, static_cast<uint64_t>(Unit)), Unit, -n);
    }
    x += int64_t{n < 0 ? -n : n} * Unit;
  }
  return true;
}

// Byte-oriented delta: first row, row count, then per row a packet count.
void FlcDeltaFli_(TByteCursor& D, TImg& Img) {
  if (!CurHas(D, 4)) return;
  int64_t y = CurU16LE(D);
  const int32_t rows = CurU16LE(D);
  for (int32_t r = 0; r < rows; ++r, ++y) {
    const TFlcRow row = Row_(Img, y);
    if (!CurHas(D, 1)) return;
    if (!FlcPackets_(D, row, CurU8(D), 1)) return;
  }
}

// Word-oriented delta: a count of rows that carry packets; before each
// row's packet count, words that skip rows (top bits 11) or set the row's
// last pixel (top bits 10, for odd widths).
void FlcDeltaFlc_(TByteCursor& D, TImg& Img) {
  if (!CurHas(D, 2)) return;
  int32_t rows = CurU16LE(D);
  int64_t y = 0;
  while (rows > 0) {
    if (!CurHas(D, 2)) return;
    const uint32_t word = CurU16LE(D);
    if ((word & 0xC000) == 0xC000) {
      y += 0x10000 - word;
    } else if ((word & 0xC000) == 0x8000) {
      const TFlcRow row = Row_(Img, y);
      row.Px[row.Width - 1] = static_cast<uint8_t>(word & 0xFF);
    } else {
      const TFlcRow row = Row_(Img, y);
      if (!FlcPackets_(D, row, static_cast<int32_t>(word), 2)) return;
      ++y;
      --rows;
    }
  }
}

}  // namespace

void FLCunCmps_(TByteCursor& Data, TImg& Img, int32_t Type) {
  Monitored("FF_FLC.FLCunCmps_", [&] {
    if (Type == FLC_BYTE_RUN)
      FlcByteRun_(Data, Img);
    else if (Type == FLC_DELTA_FLI)
      FlcDeltaFli_(Data, Img);
    else if (Type == FLC_DELTA_FLC)
      FlcDeltaFlc_(Data, Img);
    else
      SetError(EG_MVI, 3, __LINE__);
  });
}

// ---- frames --------------------------------------------------------------------------------

namespace {

// From NextPos, skips every chunk that is not a frame; returns the frame's
// start and the size its header gives.
int64_t FlcFindFrame_(TFLCFile& F, int64_t& Size) {
  int64_t pos = F.NextPos;
  for (;;) {
    uint8_t hdr[kFrameHeader];
    FSeek(F.Handle, pos);
    FRead(F.Handle, hdr, sizeof hdr);
    TByteCursor c = CurMake(hdr, sizeof hdr);
    Size = CurU32LE(c);
    const int32_t type = CurU16LE(c);
    if (type == FLC_FRAME) {
      if (Size < kFrameHeader) SetError(EG_IMG, 2, __LINE__);
      return pos;
    }
    if (Size < kChunkHeader || pos + Size > F.FileSize) SetError(EG_IMG, 2, __LINE__);
    pos += Size;
  }
}

void FlcChunk_(TFLCFile& F, TImg& Img, TByteCursor& Frame) {
  const int64_t size = CurU32LE(Frame);
  const int32_t type = CurU16LE(Frame);
  if (size < kChunkHeader) SetError(EG_IMG, 2, __LINE__);
  TByteCursor d = CurTake(Frame, static_cast<uint64_t>(size - kChunkHeader));
  d.errGroup = EG_MVI;  // a decoder reading past its chunk has met bad data
  d.errCode = 3;
  switch (type) {
    case FLC_COLOR_256:
    case FLC_COLOR_64:
      FLCGetPal_(d, Img.Palette, type);
      F.PalChunk = -1;
      break;
    case FLC_DELTA_FLC:
    case FLC_DELTA_FLI:
    case FLC_BYTE_RUN:
      FLCunCmps_(d, Img, type);
      break;
    case FLC_BLACK:
      MemFill(Img.Data, F.PixelCount, 0);
      break;
    case FLC_COPY: {
      const int64_t n = std::min<int64_t>(F.PixelCount, static_cast<int64_t>(CurLeft(d)));
      CurCopy(d, Img.Data, static_cast<uint64_t>(n));
      break;
    }
    default:
      break;
  }
}

}  // namespace

void FLCLoadNext(TFLCFile& F, TImg& Img) {
  Monitored("FF_FLC.FLCLoadNext", [&] {
    F.PalChunk = 0;
    if (F.FrameCount < F.CurFrame + 1) SetError(EG_FLIC, 1, __LINE__);
    FFCheckPictureSize(F.Width, F.Height, 8);
    _imgalloc_(Img, F.Width, F.Height, 8, __LINE__, "FF_FLC.FLCLoadNext.ih");
    if (F.CurFrame == 0) {  // the first frame starts from black
      MemFill(Img.Data, F.PixelCount, 0);
      MemFill(Img.Palette, sizeof Img.Palette, 0);
    }
    int64_t size = 0;
    const int64_t start = FlcFindFrame_(F, size);
    const int64_t avail = std::min<int64_t>(size, F.FileSize - start);
    FLCCmpsData = nullptr;
    _memalloc_(FLCCmpsData, avail, __LINE__, "FF_FLC.FLCLoadNext.IMGvars.cmpsdata");
    FSeek(F.Handle, start);
    FRead(F.Handle, FLCCmpsData, avail);
    TByteCursor frame = CurMake(FLCCmpsData, static_cast<size_t>(avail));
    CurSkip(frame, 6);
    const int32_t chunks = CurU16LE(frame);
    CurSkip(frame, kFrameHeader - 8);
    for (int32_t i = 0; i < chunks && CurHas(frame, kChunkHeader); ++i) FlcChunk_(F, Img, frame);
    MemFree(FLCCmpsData);
    F.NextPos = start + size;
    ++F.CurFrame;
    F.PalChanged = F.PalChunk;
    ImgSetDims(Img, F.Width, F.Height, 8);
  });
}

void FLCRewind(TFLCFile& F) {
  Monitored("FF_FLC.FLCRewind", [&] {
    FSeek(F.Handle, FLC_HEADER_BYTES);
    F.NextPos = FLC_HEADER_BYTES;
    F.CurFrame = 0;
  });
}

void FLCLoad(TFLCFile& F, TImg& Img, int32_t FrameNo, int32_t Flags) {
  Monitored("FF_FLC.FLCLoad", [&] {
    TImgLoadGuard guard(Img);
    if (FrameNo < 0 || FrameNo > F.FrameCount) SetError(EG_MVI, 1, __LINE__);
    if (FrameNo == 0 || FrameNo == F.CurFrame + 1) {
      FLCLoadNext(F, Img);
      return;
    }
    const bool holds = Flags & 1;
    if (holds && F.CurFrame == FrameNo) return;
    if (!(holds && F.CurFrame < FrameNo)) FLCRewind(F);
    while (F.CurFrame < FrameNo) FLCLoadNext(F, Img);
  });
}

void FLCClose(TFLCFile& F) {
  Monitored("FF_FLC.FLCClose", [&] {
    const int32_t handle = F.Handle;
    F.Handle = 0;
    FClose(handle);
  });
}

void FLCInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("FF_FLC.FLCInfo", [&] {
    TFLCFile f;
    FLCOpen(f, FileName);
    Info.FileSize = f.FileSize;
    Info.Width = f.Width;
    Info.Height = f.Height;
    Info.BytesPerPixel = 1;
    Info.BitsPerPixel = 8;
    Info.FrameCount = f.FrameCount;
    Info.FramesPerSecond = f.FrameRate;
    Info.VideoCompression = "RLE + pixel difference from previous frame";
    Info.VideoValid = Info.VideoLoadable = f.Width > 0 ? -1 : 0;
    FLCClose(f);
  });
}

// ---- the movie reader -------------------------------------------------------------------

namespace {

// The frame flag of a FLIC movie is its palette-chunk flag.
void FlcView_(TFLCFile& F, TMviView& View) {
  View.FrameCount = &F.FrameCount;
  View.CurFrame = &F.CurFrame;
  View.FrameFlag = &F.PalChunk;
}

}  // namespace

const TMviReader kFlcMovie = TMviAdapter<TFLCFile, FLCOpen, FLCLoad, FLCClose, FlcView_>::Reader(
    &TMviFile::FLC, "conform.MviOpen.mf.FLC");

}  // namespace kvo
