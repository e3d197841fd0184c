// SPDX-License-Identifier: GPL-3.0-or-later
// SGI image reader and writer.
//
// Refused as not loadable (EG_IMG 1): two bytes per channel, a storage
// other than verbatim (0) or run-length (1), no channels or more than four,
// and any colour-map id but 0 (dithered, screen and colour-map-only files
// hold no picture we could show).
//
// Odd files the reader tolerates, because the picture is still plain:
// - a length-table entry longer than a packed row can be: only twice the
//   row's bytes over all channels are read, which is more than any encoder
//   needs for one channel row;
// - rows that end early or lack their closing packet: the rest is black;
// - runs that overrun the row: cut at its end;
// - rows that share packed data (offsets pointing at the same bytes).
// A row offset or length that reaches past the end of the file, or a file
// too short for its offset tables or (verbatim) for its planes, is "Cannot
// read from file." (EG_FILE 3); the two size checks come before anything
// is allocated. A packet whose bytes are missing from its row is "Cannot
// decompress image data." (EG_IMG 3).
#include "formats/FF_SGI.h"

#include <algorithm>
#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/FFLib.h"

namespace kvo {

namespace {

constexpr int64_t kHeaderBytes = 512;
constexpr int64_t kHeadRead = 108;  // the fields up to the colour-map id
constexpr uint32_t kMagic = 474;
constexpr int kMaxRun = 126;
constexpr int kMaxLiteral = 125;

// The open file and its header fields in host order.
struct TSGIFile {
  int32_t Handle = 0;
  int64_t FileSize = 0;
  bool Supported = false;
  int32_t Storage = 0;  // 0 verbatim, 1 run-length encoded
  int32_t Bpc = 0;      // bytes per channel
  int32_t Dimension = 0;
  int32_t XSize = 0, YSize = 0, ZSize = 0;
  uint32_t PixMin = 0, PixMax = 0, ColorMap = 0;
};

void SGIOpen_(TSGIFile& F, const std::string& FileName) {
  Monitored("FF_SGI.SGIOpen_", [&] {
    F = TSGIFile{};
    FOpen(F.Handle, FileName, FM_READ);
    F.FileSize = FSize(F.Handle);
    uint8_t head[kHeadRead] = {};
    FRead(F.Handle, head, sizeof head);
    TByteCursor c = CurMake(head, sizeof head);
    if (CurU16BE(c) != kMagic) SetError(EG_IMG, 2, __LINE__);
    F.Storage = CurU8(c);
    F.Bpc = CurU8(c);
    F.Dimension = CurU16BE(c);
    F.XSize = CurU16BE(c);
    F.YSize = CurU16BE(c);
    F.ZSize = CurU16BE(c);
    F.PixMin = CurU32BE(c);
    F.PixMax = CurU32BE(c);
    CurSkip(c, 4 + 80);  // reserved, image name
    F.ColorMap = CurU32BE(c);
    // A one-dimensional image is one row of one channel, a two-dimensional
    // one a single channel; no other dimension describes a picture.
    if (F.Dimension == 1) F.YSize = 1;
    if (F.Dimension == 1 || F.Dimension == 2) F.ZSize = 1;
    if (F.Dimension < 1 || F.Dimension > 3) F.ZSize = 0;
    F.Supported = F.Bpc == 1 && F.Storage <= 1 && F.ZSize >= 1 && F.ZSize <= 4 && F.ColorMap == 0;
  });
}

// The depth a file of Z channels loads as: grey and alpha become grey
// (blended onto black).
int32_t SgiDepth_(int32_t Z) { return Z == 2 ? 8 : Z * 8; }

uint32_t SgiTableValue_(const uint8_t* Table, int64_t Index) {
  const uint8_t* p = Table + 4 * Index;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The two tables of a run-length file, as stored (big-endian), one entry
// per channel row, channel by channel, rows from the bottom.
struct TSgiTables {
  uint8_t* Start = nullptr;
  uint8_t* Length = nullptr;
};

void SgiReadTables_(const TSGIFile& F, TSgiTables& T) {
  const int64_t bytes = 4 * int64_t{F.YSize} * F.ZSize;
  if (F.FileSize < kHeaderBytes + 2 * bytes) SetError(EG_FILE, 3, __LINE__);
  _memalloc_(T.Start, bytes, __LINE__, "FF_SGI.SGILoad.linetbl");
  _memalloc_(T.Length, bytes, __LINE__, "FF_SGI.SGILoad.lentbl");
  FSeek(F.Handle, kHeaderBytes);
  FRead(F.Handle, T.Start, bytes);
  FRead(F.Handle, T.Length, bytes);
}

void SgiCheckVerbatim_(const TSGIFile& F) {
  const int64_t planes = int64_t{F.XSize} * F.YSize * F.ZSize;  // at most 2^34
  if (F.FileSize < kHeaderBytes + planes) SetError(EG_FILE, 3, __LINE__);
}

// Readies an open file for reading its rows: the run tables of a packed
// file read, a verbatim file's data checked. True for a packed file.
bool SgiPrepareRows_(const TSGIFile& F, TSgiTables& T) {
  const bool packed = F.Storage == 1;
  if (packed)
    SgiReadTables_(F, T);
  else
    SgiCheckVerbatim_(F);
  return packed;
}

// Channel Z of file row J (from the bottom) into Plane (XSize bytes).
void SgiReadVerbatimRow_(const TSGIFile& F, int32_t J, int32_t Z, uint8_t* Plane) {
  const int64_t x = F.XSize;
  FSeek(F.Handle, kHeaderBytes + Z * x * F.YSize + J * x);
  FRead(F.Handle, Plane, x);
}

// The same from a run-length file; Packed holds Cap bytes.
void SgiReadPackedRow_(const TSGIFile& F, const TSgiTables& T, int32_t J, int32_t Z,
                       uint8_t* Packed, int64_t Cap, uint8_t* Plane) {
  const int64_t k = int64_t{Z} * F.YSize + J;
  const int64_t start = SgiTableValue_(T.Start, k);
  const int64_t n = std::min<int64_t>(SgiTableValue_(T.Length, k), Cap);
  if (start > F.FileSize || n > F.FileSize - start) SetError(EG_FILE, 3, __LINE__);
  FSeek(F.Handle, start);
  FRead(F.Handle, Packed, n);
  TByteCursor c = CurMake(Packed, static_cast<size_t>(n), EG_IMG, 3);
  std::memset(Plane, 0, static_cast<size_t>(F.XSize));
  SGIUnpackRow_(c, Plane, F.XSize);
}

// Every channel of file row J (from the bottom) into Planes, one after the
// other; Packed holds twice a row of every channel (run-length files).
void SgiReadPlanes_(const TSGIFile& F, const TSgiTables& T, int32_t J, uint8_t* Packed,
                    uint8_t* Planes) {
  const int64_t rowBytes = int64_t{F.XSize} * F.ZSize;
  for (int32_t z = 0; z < F.ZSize; ++z) {
    uint8_t* plane = Planes + z * int64_t{F.XSize};
    if (F.Storage == 1)
      SgiReadPackedRow_(F, T, J, z, Packed, 2 * rowBytes, plane);
    else
      SgiReadVerbatimRow_(F, J, z, plane);
  }
}

// Interleaves the planes of one file row (red, green, blue, alpha one
// after the other) into a row of Bpp bytes a pixel.
void SgiPutRow_(const TSGIFile& F, const uint8_t* Planes, int32_t Bpp, uint8_t* Row) {
  const int64_t x = F.XSize;
  // Grey and alpha become grey, and red, green, blue and alpha stay four
  // bytes; either way the colour is blended onto black by its alpha.
  if (Bpp == 1) {
    if (F.ZSize == 2)
      for (int64_t i = 0; i < x; ++i) Row[i] = FFOnBlack(Planes[i], Planes[x + i]);
    else
      std::memcpy(Row, Planes, static_cast<size_t>(x));
    return;
  }
  for (int64_t i = 0; i < x; ++i) {
    uint8_t* px = Row + i * Bpp;
    px[0] = Planes[2 * x + i];
    px[1] = Planes[x + i];
    px[2] = Planes[i];
    if (Bpp == 4) px[3] = Planes[3 * x + i];
  }
  if (Bpp == 4) FFBlendOnBlack(Row, x, 4, 3);
}

void SgiWriteHeader_(int32_t Handle, const TImg& Pic) {
  uint8_t h[kHeaderBytes] = {};
  PutU16BE(h, kMagic);
  h[2] = 1;  // run-length encoded
  h[3] = 1;  // one byte per channel
  PutU16BE(h + 4, 3);
  PutU16BE(h + 6, static_cast<uint32_t>(Pic.Width));
  PutU16BE(h + 8, static_cast<uint32_t>(Pic.Height));
  PutU16BE(h + 10, 3);
  PutU32BE(h + 12, 0);
  PutU32BE(h + 16, 255);
  FWrite(Handle, h, sizeof h);
}

}  // namespace

int64_t SGIPackRow_(const uint8_t* In, int64_t N, uint8_t* Out) {
  int64_t o = 0;
  int64_t countAt = 0;  // the count byte of the open literal packet
  uint8_t c = In[0];
  int k = 0;  // repeats of c after its first byte
  int m = 0;  // bytes in the open literal packet; 0 when none is open
  auto literal = [&] {
    if (m == 0) countAt = o++;
    Out[countAt] = static_cast<uint8_t>(0x80 + m + 1);
    Out[o++] = c;
    if (++m == kMaxLiteral) m = 0;
  };
  auto run = [&] {
    Out[o++] = static_cast<uint8_t>(k + 1);
    Out[o++] = c;
  };
  for (int64_t i = 1; i < N; ++i) {
    const uint8_t b = In[i];
    if (b == c) {
      m = 0;
      if (k == kMaxRun - 1) {
        run();
        k = 0;
      } else {
        ++k;
      }
    } else if (k > 0) {
      run();
      c = b;
      k = 0;
    } else {
      literal();
      c = b;
    }
  }
  if (k > 0)
    run();
  else
    literal();
  Out[o++] = 0;
  return o;
}

void SGIUnpackRow_(TByteCursor& In, uint8_t* Out, int64_t N) {
  int64_t o = 0;
  while (o < N && !CurAtEnd(In)) {
    const uint8_t head = CurU8(In);
    const int64_t n = head & 0x7F;
    if (n == 0) break;
    const int64_t fit = std::min(n, N - o);
    if (head & 0x80) {
      const uint8_t* p = CurBytes(In, n);
      if (!p) return;
      std::memcpy(Out + o, p, static_cast<size_t>(fit));
    } else {
      if (!CurNeed(In, 1)) return;
      const uint8_t v = CurU8(In);
      std::memset(Out + o, v, static_cast<size_t>(fit));
    }
    o += fit;
  }
}

void SGILoad(const std::string& FileName, TImg& Img) {
  Monitored("FF_SGI.SGILoad", [&] {
    TImgLoadGuard guard(Img);  // a failed load leaves no stale block in Img
    TSGIFile f;
    SGIOpen_(f, FileName);
    if (!f.Supported) SetError(EG_IMG, 1, __LINE__);
    FFCheckPictureSize(f.XSize, f.YSize, SgiDepth_(f.ZSize));
    FFCheckFedSize(f.XSize, f.YSize, f.FileSize);  // as read row by row
    TSgiTables t;
    const bool packedFile = SgiPrepareRows_(f, t);
    _imgalloc_(Img, f.XSize, f.YSize, SgiDepth_(f.ZSize), __LINE__, "FF_SGI.SGILoad.img");
    const int64_t rowBytes = int64_t{f.XSize} * f.ZSize;
    uint8_t *planes = nullptr, *packed = nullptr;
    _memalloc_(planes, rowBytes, __LINE__, "FF_SGI.SGILoad.templine");
    if (packedFile) _memalloc_(packed, 2 * rowBytes, __LINE__, "FF_SGI.SGILoad.cmpsline");
    for (int32_t j = 0; j < f.YSize; ++j) {
      SgiReadPlanes_(f, t, j, packed, planes);
      SgiPutRow_(f, planes, Img.BytesPerPixel,
                 Img.Data + int64_t{f.YSize - 1 - j} * f.XSize * Img.BytesPerPixel);
    }
    if (Img.BitsPerPixel == 8) PalGreyRamp(Img.Palette);
    MemFree(packed);
    MemFree(planes);
    MemFree(t.Length);
    MemFree(t.Start);
    FClose(f.Handle);
  });
}

// File rows as they are stored, bottom row first.
void SGILoadFed(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start) {
  Monitored("FF_SGI.SGILoadFed", [&] {
    TSGIFile f;
    SGIOpen_(f, FileName);
    if (!f.Supported) SetError(EG_IMG, 1, __LINE__);
    FFCheckFedSize(f.XSize, f.YSize, f.FileSize);
    TSgiTables t;
    const bool packedFile = SgiPrepareRows_(f, t);
    const int32_t bits = SgiDepth_(f.ZSize);
    const int64_t rowBytes = int64_t{f.XSize} * f.ZSize;
    uint8_t *planes = nullptr, *packed = nullptr;
    _memalloc_(planes, rowBytes, __LINE__, "FF_SGI.SGILoadFed.templine");
    if (packedFile) _memalloc_(packed, 2 * rowBytes, __LINE__, "FF_SGI.SGILoadFed.cmpsline");
    TImg pal;
    PalGreyRamp(pal.Palette);
    FFStartFeed(Feed, Start, f.XSize, f.YSize, bits, &pal.Palette, true);
    for (int32_t j = 0; j < f.YSize && !ImgFeedStopped(Feed); ++j) {
      SgiReadPlanes_(f, t, j, packed, planes);
      SgiPutRow_(f, planes, (bits + 7) / 8, ImgFeedRow(Feed));
      ImgFeedPut(Feed);
    }
    MemFree(packed);
    MemFree(planes);
    MemFree(t.Length);
    MemFree(t.Start);
    FClose(f.Handle);
    ImgFeedDone(Feed);
  });
}

void SGISave(const std::string& FileName, TImg& Img) {
  Monitored("FF_SGI.SGISave", [&] {
    TFFInit ffi;
    FFInit(FF_SGI, ffi, Img);
    const TImg& pic = *ffi.Img;
    const int64_t w = pic.Width, h = pic.Height, tableBytes = 4 * 3 * h;
    uint8_t *starts = nullptr, *lengths = nullptr, *line = nullptr, *packed = nullptr;
    _memalloc_(starts, tableBytes, __LINE__, "FF_SGI.SGISave.linetbl");
    _memalloc_(lengths, tableBytes, __LINE__, "FF_SGI.SGISave.lentbl");
    _memalloc_(line, w, __LINE__, "FF_SGI.SGISave.templine");
    _memalloc_(packed, 2 * w + 2, __LINE__, "FF_SGI.SGISave.cmpsline");
    int32_t handle = 0;
    FOpen(handle, FileName, FM_CREATE);
    SgiWriteHeader_(handle, pic);
    int64_t pos = kHeaderBytes + 2 * tableBytes;  // the rows go after the tables
    FSeek(handle, pos);
    for (int64_t z = 0; z < 3; ++z) {
      for (int64_t j = 0; j < h; ++j) {
        // Channel 0 is red, the third byte of a pixel; rows from the bottom.
        const uint8_t* row = pic.Data + (h - 1 - j) * w * 3;
        for (int64_t x = 0; x < w; ++x) line[x] = row[3 * x + 2 - z];
        const int64_t n = SGIPackRow_(line, w, packed);
        PutU32BE(starts + 4 * (z * h + j), static_cast<uint32_t>(pos));
        PutU32BE(lengths + 4 * (z * h + j), static_cast<uint32_t>(n));
        FWrite(handle, packed, n);
        pos += n;
      }
    }
    FSeek(handle, kHeaderBytes);
    FWrite(handle, starts, tableBytes);
    FWrite(handle, lengths, tableBytes);
    FClose(handle);
    MemFree(packed);
    MemFree(line);
    MemFree(lengths);
    MemFree(starts);
    FFDone(ffi);
  });
}

void SGIInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("FF_SGI.SGIInfo", [&] {
    TSGIFile f;
    SGIOpen_(f, FileName);
    Info.FileSize = FFClampSize(f.FileSize);
    Info.Width = f.XSize;
    Info.Height = f.YSize;
    Info.BytesPerPixel = f.ZSize;
    Info.BitsPerPixel = f.ZSize * f.Bpc * 8;
    Info.FrameCount = 1;
    if (f.Storage != 0) Info.VideoCompression = "Run Length Encoding (RLE)";
    Info.VideoValid = f.XSize > 0 ? -1 : 0;
    Info.VideoLoadable = f.Supported ? -1 : 0;
    FClose(f.Handle);
  });
}

}  // namespace kvo
