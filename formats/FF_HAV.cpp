// SPDX-License-Identifier: GPL-3.0-or-later
// HAV movie reader.
//
// Layout, all integers 32-bit little-endian: the header (its length at
// offset 4), the page table of 256 page offsets right after it, pages of
// 256 frame entries (offset, size, flags), and the frames. A frame's data
// starts with a 16-byte header (unused, offset of the first record, number
// of records, unused) followed by its records.
//
// How the records follow one another: each record begins where the one
// before it ends. A palette record ends after its colour data (3 bytes an
// entry at the offset its header gives); an image record ends after the
// data of the strips that come with it (its fourth value says how many).
// The data of the remaining strips follows in the file directly after the
// data of those, past the frame's first read, and is read in batches; a
// writer therefore puts the image record last. Every strip's data follows
// the one before it.
//
// Every offset, size and count of a page, frame entry, record, strip
// descriptor and token is checked against the bytes actually read before it
// is used: a frame entry outside the file or larger than the frame buffer,
// a record outside its frame, a strip outside the picture, a token whose
// source lies outside the picture or whose output runs past its strip, a
// repeat of an empty match-table entry, or a bit stream that ends before
// its end token is EG_MVI 3, "Cannot decompress movie image data."
//
// What the reader takes that a stricter one might refuse: a header longer
// than the fields it uses (the rest is skipped), a frame entry larger than
// its records (the rest is ignored), strips that cover fewer rows than the
// picture (the rows below keep their content), a mode other than the three
// named ones (decoded by its two low bits, described as "N/A"). Prediction
// sums each byte of a pixel separately, whatever the pixel's size, and
// never reaches past its strip. A file without frames needs no page at all.
#include "formats/FF_HAV.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ByteCursor.h"
#include "formats/ConForm.h"
#include "formats/FFLib.h"

namespace kvo {

namespace {

constexpr int kPageTableBytes = HAV_PAGES * 4;

[[noreturn]] void Fault_(int Line) {
  SetError(EG_MVI, 3, Line);
  MonExit();  // never reached inside a monitored procedure
}

[[noreturn]] void Invalid_(int Line) {
  SetError(EG_MVI, 1, Line);
  MonExit();
}

// The record's pointer names a block whose record names the pointer
// itself. A failing frame releases the blocks it allocated without
// clearing the pointers that held them, so a long-lived pointer is checked
// before use rather than trusted.
void DropStale_(uint8_t*& Var) {
  if (!Var) return;
  const int i = MemFind(Var);
  if (i == INVALID_ID || MemRecord(i)->VarAddr != &Var) Var = nullptr;
}

// ---- the header --------------------------------------------------------------------------

void ParseHeader_(THAVFile& F, const uint8_t* Head) {
  TByteCursor c = CurMake(Head, HAV_HEADER_BYTES);
  CurSkip(c, 8);
  F.Version = CurI32LE(c);
  F.Width = CurI32LE(c);
  F.Height = CurI32LE(c);
  F.BytesPerPixel = CurI32LE(c);
  F.Mode = CurI32LE(c);
  F.FrameCount = CurI32LE(c);
  F.KeyFrameInterval = CurI32LE(c);
  double fps = 0;
  std::memcpy(&fps, CurBytes(c, 8), 8);
  F.FramesPerSecond = std::isfinite(fps) && fps > 0 ? fps : 0;
  F.AudioFlags = CurI32LE(c);
  F.AudioRate = CurI32LE(c);
  CurSkip(c, 8);
  F.AudioLength = CurI32LE(c);
}

// The picture is checked only for files with frames: a movie without any
// (sound alone) has no picture to take.
void CheckPicture_(THAVFile& F) {
  if (F.FrameCount < 0 || F.FrameCount > HAV_MAX_FRAMES || F.KeyFrameInterval < 0)
    Invalid_(__LINE__);
  if (F.FrameCount == 0) return;
  if (F.BytesPerPixel < 1 || F.BytesPerPixel > 3) SetError(EG_MVI, 5, __LINE__);
  F.BitsPerPixel = F.BytesPerPixel * 8;
  F.FrameBytes = FFCheckPictureSize(F.Width, F.Height, F.BitsPerPixel);
}

void SetAudioFormat_(THAVFile& F) {
  TWaveFormatEx& w = F.AudioFormat;
  w = TWaveFormatEx{};
  w.wFormatTag = 1;
  w.nChannels = (F.AudioFlags & 4) ? 2 : 1;
  w.wBitsPerSample = (F.AudioFlags & 3) == 3 ? 16 : 8;
  w.nSamplesPerSec = static_cast<uint32_t>(F.AudioRate);
  w.nBlockAlign = static_cast<uint16_t>(w.nChannels * w.wBitsPerSample / 8);
  w.nAvgBytesPerSec = w.nSamplesPerSec * w.nBlockAlign;
}

void ReadPageTable_(THAVFile& F) {
  uint8_t table[kPageTableBytes];
  FSeek(F.Handle, F.HeaderSize);
  FRead(F.Handle, table, sizeof table);
  for (int p = 0; p < HAV_PAGES; ++p) F.PageTable[p] = GetU32LE(table + 4 * p);
}

}  // namespace

void HAVOpen(THAVFile& F, const std::string& FileName) {
  Monitored("FF_HAV.HAVOpen", [&] {
    F = THAVFile{};
    FOpen(F.Handle, FileName, FM_READ);
    F.FileBytes = FSize(F.Handle);
    F.FileSize = FFClampSize(F.FileBytes);
    uint8_t head[HAV_HEADER_BYTES] = {};
    int64_t got = 0;
    FReadPart(F.Handle, head, 8, got);
    if (got < 8 || std::memcmp(head, HAV_SIGNATURE, 4) != 0) Invalid_(__LINE__);
    const int64_t h = GetU32LE(head + 4);
    // The header must hold the fields read here and leave room for the
    // page table.
    if (h < HAV_HEADER_BYTES || h + kPageTableBytes > F.FileBytes) Invalid_(__LINE__);
    F.HeaderSize = static_cast<int32_t>(h);
    FRead(F.Handle, head + 8, HAV_HEADER_BYTES - 8);
    ParseHeader_(F, head);
    if (F.Version != HAV_VERSION) SetError(EG_MVI, 5, __LINE__);
    CheckPicture_(F);
    ReadPageTable_(F);
    if (F.FrameCount > 0) HAVUpdateVP_(F, 1);
    F.Prediction = (F.Mode & HAV_MODE_PREDICT) ? -1 : 0;
    SetAudioFormat_(F);
  });
}

void HAVUpdateVP_(THAVFile& F, int32_t Frame) {
  Monitored("FF_HAV.HAVUpdateVP_", [&] {
    if (Frame < 1 || Frame > F.FrameCount) Invalid_(__LINE__);
    const int32_t page = (Frame - 1) / HAV_PAGE_ENTRIES;
    if (page == F.PageNo) return;
    F.PageNo = -1;  // until the new page is in
    const int64_t offset = F.PageTable[page];
    if (offset + HAV_PAGE_BYTES > F.FileBytes) Fault_(__LINE__);
    uint8_t raw[HAV_PAGE_BYTES];
    FSeek(F.Handle, offset);
    FRead(F.Handle, raw, sizeof raw);
    for (int e = 0; e < HAV_PAGE_ENTRIES; ++e) {
      const uint8_t* p = raw + e * HAV_ENTRY_BYTES;
      F.Page[e] = {GetU32LE(p), GetU32LE(p + 4), GetU32LE(p + 8)};
    }
    F.PageNo = page;
  });
}

namespace {

// ---- frames and records ------------------------------------------------------------------

// The entry of frame Frame, its page loaded; a frame must lie inside the
// file, hold at least its header and fit the frame buffer.
THAVEntry Entry_(THAVFile& F, int32_t Frame) {
  HAVUpdateVP_(F, Frame);
  const THAVEntry e = F.Page[(Frame - 1) % HAV_PAGE_ENTRIES];
  if (e.Size < HAV_FRAME_HEADER || e.Size > F.FrameBytes + HAV_FRAME_SLACK ||
      int64_t{e.Offset} + e.Size > F.FileBytes)
    Fault_(__LINE__);
  return e;
}

// Reads the frame's first read into Buf (Capacity bytes, allocated here).
void ReadFrame_(THAVFile& F, const THAVEntry& E, uint8_t*& Buf, int64_t Capacity,
                const char* Label) {
  _memalloc_(Buf, Capacity, __LINE__, Label);
  FSeek(F.Handle, E.Offset);
  FRead(F.Handle, Buf, E.Size);
}

struct THavRecord {
  int64_t Start = 0;  // in the frame's data
  uint32_t Type = 0, V2 = 0, V3 = 0, V4 = 0;
  int64_t End = 0;  // where the next record begins
};

// One strip descriptor of an image record.
struct THavStrip {
  int64_t Packed = 0;  // bytes of data
  int64_t Rows = 0;
  bool IsPacked = false;
};

// Where the strip descriptors of image record R begin; they must all lie
// inside the frame's data.
int64_t DescStart_(const THavRecord& R, int64_t Size) {
  const int64_t start = R.Start + R.V2;
  if (R.V2 < HAV_RECORD_HEADER || start > Size ||
      int64_t{R.V3} > (Size - start) / HAV_STRIP_DESC || R.V4 > R.V3)
    Fault_(__LINE__);
  return start;
}

THavStrip Strip_(const uint8_t* Buf, const THavRecord& R, int64_t Size, uint32_t Index) {
  TByteCursor c = CurMake(Buf, static_cast<size_t>(Size), EG_MVI, 3);
  CurSkip(c, static_cast<uint64_t>(DescStart_(R, Size)) + uint64_t{Index} * HAV_STRIP_DESC);
  CurSkip(c, 4);
  const uint32_t descSize = CurU32LE(c);
  THavStrip s;
  s.Packed = CurU32LE(c);
  s.Rows = CurU32LE(c);
  s.IsPacked = CurU32LE(c) != 0;
  if (descSize != HAV_STRIP_DESC) Fault_(__LINE__);
  return s;
}

// The end of an image record: after its descriptors and the data of the
// strips that come with it.
int64_t ImageEnd_(const uint8_t* Buf, int64_t Size, const THavRecord& R) {
  int64_t end = DescStart_(R, Size) + int64_t{R.V3} * HAV_STRIP_DESC;
  for (uint32_t i = 0; i < R.V4; ++i) {
    end += Strip_(Buf, R, Size, i).Packed;
    if (end > Size) Fault_(__LINE__);
  }
  return end;
}

// The end of a palette record; its entries must lie inside the palette.
int64_t PaletteEnd_(int64_t Size, const THavRecord& R) {
  const int64_t data = R.Start + R.V2;
  if (R.V2 < HAV_RECORD_HEADER || R.V3 > 256 || R.V4 > 256 - R.V3 || data > Size ||
      int64_t{R.V3} * 3 > Size - data)
    Fault_(__LINE__);
  return data + int64_t{R.V3} * 3;
}

void ApplyPalette_(const uint8_t* Buf, const THavRecord& R, TPalette& Palette) {
  const uint8_t* rgb = Buf + R.Start + R.V2;
  for (uint32_t i = 0; i < R.V3; ++i, rgb += 3) {
    uint8_t* entry = Palette[R.V4 + i];
    entry[0] = rgb[2];
    entry[1] = rgb[1];
    entry[2] = rgb[0];
  }
}

// Calls Visit for every record of the frame's data, in order. Every record
// is at least its header long, so a lying record count ends at the end of
// the data.
template <class V>
void WalkRecords_(const uint8_t* Buf, int64_t Size, V&& Visit) {
  TByteCursor c = CurMake(Buf, static_cast<size_t>(Size), EG_MVI, 3);
  CurSkip(c, 4);
  int64_t pos = CurU32LE(c);
  const uint32_t count = CurU32LE(c);
  for (uint32_t i = 0; i < count; ++i) {
    if (pos < HAV_FRAME_HEADER || pos > Size - HAV_RECORD_HEADER) Fault_(__LINE__);
    THavRecord r;
    r.Start = pos;
    r.Type = GetU32LE(Buf + pos);
    r.V2 = GetU32LE(Buf + pos + 4);
    r.V3 = GetU32LE(Buf + pos + 8);
    r.V4 = GetU32LE(Buf + pos + 12);
    if (r.Type == HAV_REC_PALETTE)
      r.End = PaletteEnd_(Size, r);
    else if (r.Type == HAV_REC_IMAGE)
      r.End = ImageEnd_(Buf, Size, r);
    else
      Fault_(__LINE__);  // a record of unknown length: the next cannot be found
    Visit(r);
    pos = r.End;
  }
}

// ---- the strip codecs ----------------------------------------------------------------------

// The decode target: a picture of Bytes bytes, rows of RowBytes, and the
// strip being written, [Start, End). Every write stays inside the strip and
// every source inside the picture.
struct THavOut {
  uint8_t* Pic = nullptr;
  int64_t Bytes = 0;
  int64_t RowBytes = 0;
  int32_t Bpp = 0;
  int64_t Start = 0, End = 0, Pos = 0;
};

// The packed data, read most significant bit first.
struct THavBits {
  const uint8_t* Data = nullptr;
  uint64_t Bits = 0;  // in the data
  uint64_t Pos = 0;
};

uint32_t Bits_(THavBits& B, int N) {
  if (B.Bits - B.Pos < static_cast<uint64_t>(N)) Fault_(__LINE__);
  uint32_t v = 0;
  for (int i = 0; i < N; ++i, ++B.Pos)
    v = (v << 1) | ((B.Data[B.Pos >> 3] >> (7 - (B.Pos & 7))) & 1u);
  return v;
}

// A count: k zero bits (k below 7), a one bit and k + 1 more bits, read as
// one number (2 to 255); seven zero bits and a 9-bit n mean 256 + n.
int64_t Count_(THavBits& B) {
  int k = 0;
  while (Bits_(B, 1) == 0)
    if (++k == 7) return 256 + int64_t{Bits_(B, 9)};
  return (int64_t{1} << (k + 1)) | Bits_(B, k + 1);
}

void Need_(const THavOut& O, int64_t N) {
  if (N > O.End - O.Pos) Fault_(__LINE__);
}

void Literal_(THavOut& O, uint32_t V) {
  Need_(O, 1);
  O.Pic[O.Pos++] = static_cast<uint8_t>(V);
}

// Bytes skipped keep what the target held: the previous frame (or its
// residuals).
void Skip_(THavOut& O, int64_t N) {
  Need_(O, N);
  O.Pos += N;
}

// Copies N bytes from Src forward, byte by byte, so a source that overlaps
// the output repeats what was just written.
void CopyFrom_(THavOut& O, int64_t Src, int64_t N) {
  Need_(O, N);
  if (Src < 0 || Src > O.Bytes - N) Fault_(__LINE__);
  for (int64_t i = 0; i < N; ++i) O.Pic[O.Pos + i] = O.Pic[Src + i];
  O.Pos += N;
}

// A fill's pixel follows its token's 8 bits T0: for 2-byte pixels the next
// 8 bits are the low byte (stored first, T0 after it); for 3-byte pixels
// the next two bytes' worth, T1 and T2, make the pixel T0, T2, T1. Then the
// count of pixels.
void Fill_(THavBits& B, THavOut& O, uint32_t T0) {
  uint8_t px[3] = {static_cast<uint8_t>(T0), 0, 0};
  if (O.Bpp == 2) {
    px[0] = static_cast<uint8_t>(Bits_(B, 8));
    px[1] = static_cast<uint8_t>(T0);
  } else if (O.Bpp == 3) {
    px[2] = static_cast<uint8_t>(Bits_(B, 8));
    px[1] = static_cast<uint8_t>(Bits_(B, 8));
  }
  const int64_t n = Count_(B) * O.Bpp;
  Need_(O, n);
  for (int64_t i = 0; i < n; ++i) O.Pic[O.Pos + i] = px[i % O.Bpp];
  O.Pos += n;
}

// The strip's recent matches: where each wrote and how many bytes.
struct THavMatch {
  int64_t Pos = 0;
  int64_t Count = 0;  // 0: empty
};

struct THavMatches {
  THavMatch Entry[HAV_MATCHES];
  int32_t Next = 0;
};

// A new match: reference 0 to 11 lies that many rows up and 64 - C bytes to
// the left, 12 to 23 lies (reference - 11) rows up and C bytes to the right.
void Match_(THavBits& B, THavOut& O, uint32_t Token, THavMatches& M) {
  const int64_t ref = (Token - 0x600) / 64, c = Token & 63;
  const int64_t n = Count_(B);
  const int64_t src = ref <= 11 ? O.Pos - ref * O.RowBytes - (64 - c)
                                : O.Pos - (ref - 11) * O.RowBytes + c;
  M.Entry[M.Next] = {O.Pos, n};
  M.Next = (M.Next + 1) % HAV_MATCHES;
  CopyFrom_(O, src, n);
}

// The full codec ("BEST", "BEST-P"): a literal is 11 and 8 bits; every
// other token is 12 bits. Runs until the end token.
void UnpackBest_(THavBits& B, THavOut& O) {
  THavMatches m;
  for (;;) {
    const uint32_t top = Bits_(B, 2);
    if (top == 3) {
      Literal_(O, Bits_(B, 8));
      continue;
    }
    const uint32_t t = (top << 10) | Bits_(B, 10);
    if (t >= 0x600) {
      Match_(B, O, t, m);
    } else if (t >= 0x200) {
      const THavMatch& e = m.Entry[t - 0x200];
      if (e.Count == 0) Fault_(__LINE__);
      CopyFrom_(O, e.Pos, e.Count);
    } else if (t >= 0x1C0) {
      if (O.Pos == O.End) return;
      // The low part runs from -62 to 1 and the count is at least 2, so
      // long skips go on from 66 where the short ones stop.
      Skip_(O, int64_t{t} - 0x1FE + 64 * Count_(B));
    } else if (t >= 0x180) {
      Skip_(O, int64_t{t} - 0x17E);
    } else if (t >= 0x100) {
      CopyFrom_(O, O.Pos - O.RowBytes, int64_t{t} - 0xFE);
    } else {
      Fill_(B, O, t);
    }
  }
}

// The fast codec ("FAST"): prefix codes 1 (literal), 00 (fill), 010 (copy
// from the row above), 0110 (skip), 0111 (end or long skip).
void UnpackFast_(THavBits& B, THavOut& O) {
  for (;;) {
    if (Bits_(B, 1)) {
      Literal_(O, Bits_(B, 8));
    } else if (!Bits_(B, 1)) {
      Fill_(B, O, Bits_(B, 8));
    } else if (!Bits_(B, 1)) {
      CopyFrom_(O, O.Pos - O.RowBytes, int64_t{Bits_(B, 6)} + 2);
    } else {
      const bool last = Bits_(B, 1);
      const int64_t n = int64_t{Bits_(B, 6)} + 2;
      if (!last)
        Skip_(O, n);
      else if (O.Pos == O.End)
        return;
      else
        Skip_(O, n + 64 * Count_(B));
    }
  }
}

void UnpackStrip_(const uint8_t* Data, const THavStrip& S, THavOut& O, bool Fast) {
  if (!S.IsPacked) {  // stored as is: exactly the strip's bytes
    if (S.Packed != O.End - O.Start) Fault_(__LINE__);
    if (S.Packed > 0) std::memcpy(O.Pic + O.Start, Data, static_cast<size_t>(S.Packed));
    return;
  }
  THavBits b{Data, static_cast<uint64_t>(S.Packed) * 8, 0};
  if (Fast)
    UnpackFast_(b, O);
  else
    UnpackBest_(b, O);
}

// Rebuilds a strip from its residuals: each byte of a pixel is the sum,
// modulo 256, of the same byte of every pixel of the strip up to it.
void Predict_(const uint8_t* Res, uint8_t* Pic, int64_t Start, int64_t End, int32_t Bpp) {
  uint8_t sum[3] = {};
  for (int64_t i = Start, lane = 0; i < End; ++i) {
    sum[lane] = static_cast<uint8_t>(sum[lane] + Res[i]);
    Pic[i] = sum[lane];
    if (++lane == Bpp) lane = 0;
  }
}

// ---- image records -------------------------------------------------------------------------

// The strips that did not come with the frame's first read, read from the
// file in batches of as many following strips as fit into one frame's bytes.
struct THavBatch {
  uint8_t* Buf = nullptr;  // tracked, on first use
  uint32_t Last = 0;       // strips before this one were read
  int64_t At = 0;          // the next strip's data in Buf
  int64_t FilePos = 0;     // where the next batch begins
};

const uint8_t* BatchStrip_(THAVFile& F, THavBatch& B, const uint8_t* Frame, int64_t Size,
                           const THavRecord& R, uint32_t Index, int64_t Packed) {
  if (Index >= B.Last) {
    const int64_t capacity = F.FrameBytes + HAV_FRAME_SLACK;
    if (Packed > capacity) Fault_(__LINE__);
    int64_t total = Packed;
    uint32_t next = Index + 1;
    for (; next < R.V3; ++next) {
      const int64_t p = Strip_(Frame, R, Size, next).Packed;
      if (total + p > F.FrameBytes) break;
      total += p;
    }
    if (B.FilePos + total > F.FileBytes) Fault_(__LINE__);
    if (!B.Buf) _memalloc_(B.Buf, capacity, __LINE__, "FF_HAV.HAVImgLoadNext.stripbuf");
    FSeek(F.Handle, B.FilePos);
    FRead(F.Handle, B.Buf, total);
    B.FilePos += total;
    B.Last = next;
    B.At = 0;
  }
  const uint8_t* data = B.Buf + B.At;
  B.At += Packed;
  return data;
}

// Residuals live in a buffer of the file's own, kept from frame to frame.
uint8_t* DecodeTarget_(THAVFile& F, TImg& Img) {
  if (!F.Prediction) return Img.Data;
  if (!F.PredictImg) {
    _memalloc_(F.PredictImg, F.FrameBytes, __LINE__, "FF_HAV.HAVImgLoadNext.PredictImg");
    MemFill(F.PredictImg, F.FrameBytes, 0);
  }
  return F.PredictImg;
}

// Decodes the strips of image record R (of the frame data Buf, Size bytes,
// read from FrameOffset) into Img, from row 0 down.
void ImageRecord_(THAVFile& F, TImg& Img, const uint8_t* Buf, int64_t Size, const THavRecord& R,
                  int64_t FrameOffset) {
  THavOut o;
  o.Pic = DecodeTarget_(F, Img);
  o.Bytes = F.FrameBytes;
  o.RowBytes = int64_t{F.Width} * F.BytesPerPixel;
  o.Bpp = F.BytesPerPixel;
  THavBatch batch;
  batch.FilePos = FrameOffset + R.End;
  batch.Last = R.V4;
  int64_t at = DescStart_(R, Size) + int64_t{R.V3} * HAV_STRIP_DESC;
  int64_t row = 0;
  for (uint32_t i = 0; i < R.V3; ++i) {
    const THavStrip s = Strip_(Buf, R, Size, i);
    if (s.Rows > F.Height - row) Fault_(__LINE__);
    o.Start = o.Pos = row * o.RowBytes;
    o.End = o.Start + s.Rows * o.RowBytes;
    const uint8_t* data = Buf + at;
    if (i < R.V4)
      at += s.Packed;  // inside the first read: ImageEnd_ measured it
    else
      data = BatchStrip_(F, batch, Buf, Size, R, i, s.Packed);
    UnpackStrip_(data, s, o, (F.Mode & HAV_MODE_FAST) != 0);
    if (F.Prediction) Predict_(o.Pic, Img.Data, o.Start, o.End, F.BytesPerPixel);
    row += s.Rows;
  }
  MemFree(batch.Buf);
}

// The target keeps its pixels when it already has the movie's size; a new
// one, and the first frame, start from black.
void PrepareTarget_(THAVFile& F, TImg& Img) {
  const bool kept = MemValid(Img.Data) && !Img.Borrowed && Img.Width == F.Width &&
                    Img.Height == F.Height && Img.BitsPerPixel == F.BitsPerPixel;
  _imgalloc_(Img, F.Width, F.Height, F.BitsPerPixel, __LINE__, "FF_HAV.HAVImgLoadNext.ih");
  if (!kept || F.CurFrame == 0) MemFill(Img.Data, F.FrameBytes, 0);
  if (F.CurFrame != 0) return;
  MemFill(Img.Palette, sizeof Img.Palette, 0);
  if (F.PredictImg) MemFill(F.PredictImg, F.FrameBytes, 0);
}

}  // namespace

void HAVImgLoadNext(THAVFile& F, TImg& Img) {
  Monitored("FF_HAV.HAVImgLoadNext", [&] {
    // Beyond the last frame too, not only in a file without any: a "next"
    // load at the end must not read the entry after the last.
    if (F.FrameCount < F.CurFrame + 1) SetError(EG_HAV, 1, __LINE__);
    DropStale_(F.PredictImg);
    PrepareTarget_(F, Img);
    const THAVEntry e = Entry_(F, F.CurFrame + 1);
    uint8_t* buf = nullptr;
    ReadFrame_(F, e, buf, F.FrameBytes + HAV_FRAME_SLACK, "FF_HAV.HAVImgLoadNext.dskbuf");
    F.PalChanged = 0;
    WalkRecords_(buf, e.Size, [&](const THavRecord& R) {
      if (R.Type == HAV_REC_PALETTE) {
        ApplyPalette_(buf, R, Img.Palette);
        F.PalChanged = -1;
      } else {
        ImageRecord_(F, Img, buf, e.Size, R, e.Offset);
      }
    });
    MemFree(buf);
    ++F.CurFrame;
  });
}

int32_t HAVNearestKeyFrame(const THAVFile& F, int32_t Frame, int32_t Direction) {
  const int64_t interval = F.KeyFrameInterval;
  if (interval <= 0) return 1;
  int64_t f = Direction == -1 ? int64_t{Frame} - 1 : int64_t{Frame} + interval - 1;
  f = std::max<int64_t>(1, std::min<int64_t>(f, std::max(F.FrameCount, 1)));
  int32_t key = static_cast<int32_t>((f - 1) / interval * interval + 1);
  if (Direction == 1 && key < F.CurFrame) key = 1;
  return key;
}

void HAVImgLoad(THAVFile& F, TImg& Img, int32_t FrameNo, int32_t Flags) {
  Monitored("FF_HAV.HAVImgLoad", [&] {
    TImgLoadGuard guard(Img);
    if (FrameNo < 0 || FrameNo > F.FrameCount) Invalid_(__LINE__);
    if (FrameNo == 0 || FrameNo == F.CurFrame + 1) {
      HAVImgLoadNext(F, Img);
      return;
    }
    const bool holds = Flags & 1;
    if (holds && F.CurFrame == FrameNo) return;
    const int32_t key = HAVNearestKeyFrame(F, FrameNo + 1, -1);
    // Going on from the frame the target holds is only possible forwards
    // and from the key frame's own run.
    if (!(holds && F.CurFrame < FrameNo && key - 1 < F.CurFrame)) F.CurFrame = key - 1;
    int32_t pal = 0;
    while (F.CurFrame < FrameNo) {
      HAVImgLoadNext(F, Img);
      pal |= F.PalChanged;
    }
    // The frames decoded brought no palette: the one in force comes from
    // the nearest frame before that carries one.
    if (F.BytesPerPixel == 1 && !holds && !pal) pal = HAVGetPal(F, Img.Palette, FrameNo, 1);
    F.PalChanged = pal;
  });
}

namespace {

// Applies the palette records of frame Frame; false when it has none.
bool LoadPalette_(THAVFile& F, int32_t Frame, TPalette& Palette) {
  const THAVEntry e = Entry_(F, Frame);
  uint8_t* buf = nullptr;
  ReadFrame_(F, e, buf, e.Size, "FF_HAV.HAVGetPal.dskbuf");
  bool found = false;
  WalkRecords_(buf, e.Size, [&](const THavRecord& R) {
    if (R.Type != HAV_REC_PALETTE) return;
    ApplyPalette_(buf, R, Palette);
    found = true;
  });
  MemFree(buf);
  return found;
}

}  // namespace

int32_t HAVGetPal(THAVFile& F, TPalette& Palette, int32_t From, int32_t To) {
  return Monitored("FF_HAV.HAVGetPal", [&]() -> int32_t {
    for (int32_t f = std::min(From, F.FrameCount); f >= std::max(To, 1); --f) {
      HAVUpdateVP_(F, f);
      if (!(F.Page[(f - 1) % HAV_PAGE_ENTRIES].Flags & HAV_FRAME_PALETTE)) continue;
      if (LoadPalette_(F, f, Palette)) return -1;
    }
    return 0;
  });
}

void HAVClose(THAVFile& F) {
  Monitored("FF_HAV.HAVClose", [&] {
    DropStale_(F.PredictImg);
    MemFree(F.PredictImg);
    F.PredictImg = nullptr;
    const int32_t handle = F.Handle;
    F.Handle = 0;
    FClose(handle);
  });
}

namespace {

const char* ModeText_(int32_t Mode) {
  switch (Mode) {
    case 0: return "BEST";
    case HAV_MODE_FAST: return "FAST";
    case HAV_MODE_PREDICT: return "BEST-P";
    default: return "N/A";
  }
}

}  // namespace

void HAVInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("FF_HAV.HAVInfo", [&] {
    THAVFile f;
    HAVOpen(f, FileName);
    Info.FileSize = f.FileSize;
    if (f.FrameCount > 0) {
      Info.Width = f.Width;
      Info.Height = f.Height;
      Info.BytesPerPixel = f.BytesPerPixel;
      Info.BitsPerPixel = f.BitsPerPixel;
      Info.FrameCount = f.FrameCount;
      Info.FramesPerSecond = f.FramesPerSecond;
      Info.VideoCompression = ModeText_(f.Mode);
      Info.VideoValid = Info.VideoLoadable = -1;
    }
    if (f.AudioFlags != 0) {
      Info.AudioFormat = Info.AudioOutFormat = f.AudioFormat;
      Info.AudioCompression = "PCM, uncompressed";
      Info.AudioLength = f.AudioLength;
      Info.AudioValid = Info.AudioLoadable = -1;
    }
    HAVClose(f);
  });
}

// ---- the movie reader -------------------------------------------------------------------

namespace {

// The frame flag of a HAV movie is its palette-changed flag.
void HavView_(THAVFile& F, TMviView& View) {
  View.FrameCount = &F.FrameCount;
  View.CurFrame = &F.CurFrame;
  View.FrameFlag = &F.PalChanged;
  View.HasSound = F.AudioFlags != 0;
}

}  // namespace

const TMviReader kHavMovie = TMviAdapter<THAVFile, HAVOpen, HAVImgLoad, HAVClose, HavView_>::Reader(
    &TMviFile::HAV, "conform.MviOpen.mf.HAV");

}  // namespace kvo
