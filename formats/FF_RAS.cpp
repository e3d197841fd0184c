// SPDX-License-Identifier: GPL-3.0-or-later
// Sun raster reader and writer.
//
// Whitelisted: depths 8, 24 and 32 and types 0 to 5; anything else is
// "Image format not supported." (EG_IMG 1). Type 2 is byte-encoded, type 3
// stores red first; every other type is read as plain rows (types 4 and 5
// announce converted data that such files in practice hold plain).
//
// Rows: the format pads each row to an even length, and so does our writer.
// Files this program wrote before it padded have unpadded rows, and their
// data holds exactly the unpadded picture; so an odd row is read padded
// unless the data (plain, or byte-encoded once decoded) is at least the
// unpadded picture and shorter than the padded one.
//
// Odd files the reader tolerates:
// - a colour map longer than 768 bytes: the first 768 are used, the rest
//   skipped; a map of a type other than 1 (RGB) is skipped unread;
// - an 8-bit file without a colour map: grey, the format's default;
// - byte-encoded data that ends before the picture is full: the rest is
//   black (an escape cut in the middle is EG_IMG 3).
// A file shorter than its header, its colour map or its plain pixel data
// is "Cannot read from file." (EG_FILE 3), checked before allocation.
#include "formats/FF_RAS.h"

#include <algorithm>
#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/FFLib.h"

namespace kvo {

namespace {

constexpr uint32_t kMagic = 0x59A66A95;
constexpr int64_t kHeaderBytes = 32;
constexpr int64_t kMapMax = 768;
constexpr uint8_t kEscape = 0x80;
constexpr int kMaxRepeat = 255;
constexpr uint32_t kTypeEncoded = 2;
constexpr uint32_t kTypeRgb = 3;
constexpr uint32_t kMapRgb = 1;

// The open file and its header fields in host order.
struct TRASFile {
  int32_t Handle = 0;
  int64_t FileSize = 0;
  bool Supported = false;
  uint32_t Magic = 0, Width = 0, Height = 0, Depth = 0, Length = 0, Type = 0, MapType = 0,
           MapLength = 0;
};

// Where the pixel rows are and how they are stored.
struct TRasLayout {
  int64_t RowBytes = 0;  // width x bytes per pixel
  int64_t Pad = 0;       // 1 when each row is followed by a padding byte
  int64_t DataAt = 0;    // file offset of the pixel data
  int64_t Stored = 0;    // height x (RowBytes + Pad)
};

// Where the rows of an open file start and how wide they are; a file cut
// inside its colour map is refused (EG_FILE 3).
TRasLayout RasLayout_(const TRASFile& F) {
  TRasLayout l;
  l.RowBytes = int64_t{F.Width} * (F.Depth / 8);
  l.DataAt = kHeaderBytes + F.MapLength;
  if (F.FileSize < l.DataAt) SetError(EG_FILE, 3, __LINE__);
  return l;
}

// The byte-encoded data as read, before it is decoded.
struct TRasEncoded {
  uint8_t* Data = nullptr;
  int64_t Size = 0;
};

void RASOpen_(TRASFile& F, const std::string& FileName) {
  Monitored("FF_RAS.RASOpen_", [&] {
    F = TRASFile{};
    FOpen(F.Handle, FileName, FM_READ);
    uint8_t head[kHeaderBytes] = {};
    FRead(F.Handle, head, sizeof head);
    TByteCursor c = CurMake(head, sizeof head);
    F.Magic = CurU32BE(c);
    if (F.Magic != kMagic) SetError(EG_IMG, 2, __LINE__);
    F.FileSize = FSize(F.Handle);
    F.Width = CurU32BE(c);
    F.Height = CurU32BE(c);
    F.Depth = CurU32BE(c);
    F.Length = CurU32BE(c);
    F.Type = CurU32BE(c);
    F.MapType = CurU32BE(c);
    F.MapLength = CurU32BE(c);
    F.Supported = F.Type <= 5 && (F.Depth == 8 || F.Depth == 24 || F.Depth == 32);
  });
}

// Height rows of RowBytes, with the padding byte when Available (the bytes
// the data stands for) does not say they are unpadded.
void RasSetRows_(TRasLayout& L, int64_t Height, int64_t Available) {
  const int64_t plain = L.RowBytes * Height;
  const bool unpadded = (L.RowBytes & 1) == 0 || (Available >= plain && Available < plain + Height);
  L.Pad = unpadded ? 0 : 1;
  L.Stored = plain + L.Pad * Height;
}

// How many bytes the stream stands for, counting no further than Limit;
// Need(n) gives the cursor with at least n bytes ahead, or all that are left.
template <class TNeed>
int64_t DecodedSize_(TNeed&& Need, int64_t Limit) {
  int64_t total = 0;
  while (total < Limit) {
    TByteCursor& c = Need(3);
    if (!CurHas(c, 1)) break;
    if (CurU8(c) != kEscape) {
      ++total;
      continue;
    }
    if (!CurHas(c, 1)) break;
    const uint8_t n = CurU8(c);
    if (n != 0 && !CurHas(c, 1)) break;
    if (n != 0) CurSkip(c, 1);
    total += n == 0 ? 1 : int64_t{n} + 1;
  }
  return total;
}

int64_t RasDecodedSize_(const TRasEncoded& E, int64_t Limit) {
  TByteCursor c = CurMake(E.Data, static_cast<size_t>(E.Size));
  return DecodedSize_([&c](int64_t) -> TByteCursor& { return c; }, Limit);
}

// Palette from the colour map's three planes (red, green, blue); without a
// map a grey ramp, entries past a short map black.
void RasReadMap_(const TRASFile& F, TImg& Img) {
  const int64_t e = std::min<int64_t>(F.MapLength, kMapMax) / 3;
  if (F.MapType != kMapRgb || e == 0) {
    PalGreyRamp(Img.Palette);
    return;
  }
  uint8_t map[kMapMax] = {};
  FSeek(F.Handle, kHeaderBytes);
  FRead(F.Handle, map, 3 * e);
  std::memset(Img.Palette, 0, sizeof Img.Palette);
  for (int64_t i = 0; i < e; ++i) {
    Img.Palette[i][2] = map[i];
    Img.Palette[i][1] = map[e + i];
    Img.Palette[i][0] = map[2 * e + i];
  }
}

void RasReadPlain_(const TRASFile& F, const TRasLayout& L, TImg& Img) {
  FSeek(F.Handle, L.DataAt);
  if (L.Pad == 0) {
    FRead(F.Handle, Img.Data, L.Stored);
    return;
  }
  uint8_t pad = 0;
  for (int64_t y = 0; y < F.Height; ++y) {
    FRead(F.Handle, Img.Data + y * L.RowBytes, L.RowBytes);
    FRead(F.Handle, &pad, 1);
  }
}

// Everything after the colour map, as far as a valid stream for the padded
// picture could reach (at most twice what it stands for).
int64_t RasEncodedBytes_(const TRASFile& F, const TRasLayout& L) {
  return std::min(F.FileSize - L.DataAt, 2 * (L.RowBytes + 1) * F.Height + 2);
}

void RasReadEncoded_(const TRASFile& F, const TRasLayout& L, TRasEncoded& E) {
  E.Size = RasEncodedBytes_(F, L);
  _memalloc_(E.Data, std::max<int64_t>(E.Size, 1), __LINE__, "FF_RAS.RASLoad.cmpsdata");
  FSeek(F.Handle, L.DataAt);
  FRead(F.Handle, E.Data, E.Size);
}

void RasDecode_(const TRASFile& F, const TRasLayout& L, const TRasEncoded& E, TImg& Img) {
  std::memset(Img.Data, 0, static_cast<size_t>(L.RowBytes * F.Height));
  TRasRuns runs;
  runs.Data = CurMake(E.Data, static_cast<size_t>(E.Size), EG_IMG, 3);
  uint8_t pad = 0;
  for (int64_t y = 0; y < F.Height; ++y) {
    if (RASUnpack_(runs, Img.Data + y * L.RowBytes, L.RowBytes) < L.RowBytes) break;
    RASUnpack_(runs, &pad, L.Pad);
  }
}

// Every 4-byte pixel keeps its last three bytes; the picture becomes 24-bit
// inside the same block.
void RasDropFirstBytes_(TImg& Img) {
  const int64_t n = int64_t{Img.Width} * Img.Height;
  uint8_t* p = Img.Data;
  for (int64_t i = 0; i < n; ++i) {  // forward: each write lands below the reads to come
    p[3 * i] = p[4 * i + 1];
    p[3 * i + 1] = p[4 * i + 2];
    p[3 * i + 2] = p[4 * i + 3];
  }
  ImgSetDims(Img, Img.Width, Img.Height, 24);
}

// The length field (the bytes of encoded data) is written once they are known.
void RasWriteHeader_(int32_t Handle, const TImg& Pic) {
  const bool mapped = Pic.BitsPerPixel == 8;
  uint8_t h[kHeaderBytes] = {};
  PutU32BE(h, kMagic);
  PutU32BE(h + 4, static_cast<uint32_t>(Pic.Width));
  PutU32BE(h + 8, static_cast<uint32_t>(Pic.Height));
  PutU32BE(h + 12, static_cast<uint32_t>(Pic.BitsPerPixel));
  PutU32BE(h + 20, kTypeEncoded);
  PutU32BE(h + 24, mapped ? kMapRgb : 0);
  PutU32BE(h + 28, mapped ? kMapMax : 0);
  FWrite(Handle, h, sizeof h);
}

void RasWriteMap_(int32_t Handle, const TImg& Pic) {
  uint8_t map[kMapMax];
  for (int i = 0; i < 256; ++i) {
    map[i] = Pic.Palette[i][2];
    map[256 + i] = Pic.Palette[i][1];
    map[512 + i] = Pic.Palette[i][0];
  }
  FWrite(Handle, map, sizeof map);
}

}  // namespace

int64_t RASPackRow_(const uint8_t* In, int64_t N, uint8_t* Out) {
  int64_t o = 0;
  uint8_t c = In[0];
  int k = 0;  // repeats of c after its first byte
  auto flush = [&] {
    if (k > 0) {
      Out[o++] = kEscape;
      Out[o++] = static_cast<uint8_t>(k);
      Out[o++] = c;
    } else {
      Out[o++] = c;
      if (c == kEscape) Out[o++] = 0;
    }
  };
  for (int64_t i = 1; i < N; ++i) {
    const uint8_t b = In[i];
    if (b == c && k < kMaxRepeat) {
      ++k;
    } else {
      flush();
      c = b;
      k = 0;
    }
  }
  flush();
  return o;
}

int64_t RASUnpack_(TRasRuns& R, uint8_t* Out, int64_t N) {
  int64_t o = 0;
  while (o < N) {
    if (R.Left == 0) {
      TByteCursor& c = R.Window ? FFWindowNeed(*R.Window, 3) : R.Data;
      if (CurAtEnd(c)) break;
      const uint8_t b = CurU8(c);
      R.Value = b;
      R.Left = 1;
      if (b == kEscape) {
        if (!CurNeed(c, 1)) return o;
        const uint8_t n = CurU8(c);
        if (n != 0) {
          if (!CurNeed(c, 1)) return o;
          R.Value = CurU8(c);
          R.Left = int64_t{n} + 1;
        }
      }
    }
    const int64_t k = std::min(R.Left, N - o);
    std::memset(Out + o, R.Value, static_cast<size_t>(k));
    o += k;
    R.Left -= k;
  }
  return o;
}

void RASLoad(const std::string& FileName, TImg& Img) {
  Monitored("FF_RAS.RASLoad", [&] {
    TImgLoadGuard guard(Img);  // a failed load leaves no stale block in Img
    TRASFile f;
    RASOpen_(f, FileName);
    if (!f.Supported) SetError(EG_IMG, 1, __LINE__);
    FFCheckPictureSize(f.Width, f.Height, static_cast<int32_t>(f.Depth));
    FFCheckFedSize(f.Width, f.Height, f.FileSize);  // as read row by row
    TRasLayout l = RasLayout_(f);
    const bool encoded = f.Type == kTypeEncoded;
    TRasEncoded e;
    if (encoded) RasReadEncoded_(f, l, e);
    const int64_t available =
        encoded ? RasDecodedSize_(e, (l.RowBytes + 1) * f.Height) : f.FileSize - l.DataAt;
    RasSetRows_(l, f.Height, available);
    if (!encoded && available < l.Stored) SetError(EG_FILE, 3, __LINE__);
    _imgalloc_(Img, static_cast<int32_t>(f.Width), static_cast<int32_t>(f.Height),
               static_cast<int32_t>(f.Depth), __LINE__, "FF_RAS.RASLoad.img");
    RasReadMap_(f, Img);
    if (encoded)
      RasDecode_(f, l, e, Img);
    else
      RasReadPlain_(f, l, Img);
    MemFree(e.Data);
    if (f.Depth == 32) RasDropFirstBytes_(Img);
    if (Img.BytesPerPixel == 3 && f.Type == kTypeRgb)
      SwapRBInPlace(int64_t{Img.Width} * Img.Height, Img.Data);
    FClose(f.Handle);
  });
}

// Row by row, the byte-encoded data read twice through a window: once for
// the length it stands for (which tells whether rows are padded), once to
// decode it.
void RASLoadFed(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start) {
  Monitored("FF_RAS.RASLoadFed", [&] {
    TRASFile f;
    RASOpen_(f, FileName);
    if (!f.Supported) SetError(EG_IMG, 1, __LINE__);
    FFCheckFedSize(f.Width, f.Height, f.FileSize);
    TRasLayout l = RasLayout_(f);
    const bool encoded = f.Type == kTypeEncoded;
    TFFWindow w;
    int64_t available = f.FileSize - l.DataAt;
    if (encoded) {
      const int64_t end = l.DataAt + RasEncodedBytes_(f, l);
      FFWindowOpen(w, f.Handle, l.DataAt, end, 65536, EG_IMG, 3);
      available = DecodedSize_([&w](int64_t N) -> TByteCursor& { return FFWindowNeed(w, N); },
                               (l.RowBytes + 1) * f.Height);
      FFWindowClose(w);
      FFWindowOpen(w, f.Handle, l.DataAt, end, 65536, EG_IMG, 3);
    }
    RasSetRows_(l, f.Height, available);
    if (!encoded && available < l.Stored) SetError(EG_FILE, 3, __LINE__);
    TImg pal;
    RasReadMap_(f, pal);
    uint8_t* wide = nullptr;  // a 32-bit row before its first bytes go
    if (f.Depth == 32) _memalloc_(wide, l.RowBytes, __LINE__, "FF_RAS.RASLoadFed.wide");
    FFStartFeed(Feed, Start, f.Width, f.Height, f.Depth == 32 ? 24 : static_cast<int32_t>(f.Depth),
                &pal.Palette);
    TRasRuns runs;
    runs.Window = &w;
    bool ended = false;  // the encoded data ran out: the rest is black
    uint8_t pad = 0;
    if (!encoded) FSeek(f.Handle, l.DataAt);
    for (uint32_t y = 0; y < f.Height && !ImgFeedStopped(Feed); ++y) {
      uint8_t* row = wide ? wide : ImgFeedRow(Feed);
      if (!encoded) {
        FRead(f.Handle, row, l.RowBytes);
        if (l.Pad) FRead(f.Handle, &pad, 1);
      } else {
        std::memset(row, 0, static_cast<size_t>(l.RowBytes));
        if (!ended) ended = RASUnpack_(runs, row, l.RowBytes) < l.RowBytes;
        if (!ended) RASUnpack_(runs, &pad, l.Pad);
      }
      for (int64_t i = 0; wide && i < f.Width; ++i)
        std::memcpy(ImgFeedRow(Feed) + 3 * i, wide + 4 * i + 1, 3);
      if (f.Depth != 8 && f.Type == kTypeRgb) SwapRBInPlace(f.Width, ImgFeedRow(Feed));
      ImgFeedPut(Feed);
    }
    MemFree(wide);
    if (encoded) FFWindowClose(w);
    FClose(f.Handle);
    ImgFeedDone(Feed);
  });
}

void RASSave(const std::string& FileName, TImg& Img) {
  Monitored("FF_RAS.RASSave", [&] {
    TFFInit ffi;
    FFInit(FF_RAS, ffi, Img);
    const TImg& pic = *ffi.Img;
    const int64_t rowBytes = int64_t{pic.Width} * pic.BytesPerPixel;
    const int64_t stored = rowBytes + (rowBytes & 1);  // rows padded to an even length
    uint8_t *line = nullptr, *packed = nullptr;
    _memalloc_(line, stored, __LINE__, "FF_RAS.RASSave.templine");
    _memalloc_(packed, 2 * stored, __LINE__, "FF_RAS.RASSave.cmpsline");
    line[stored - 1] = 0;  // the padding byte, when there is one
    int32_t handle = 0;
    FOpen(handle, FileName, FM_CREATE);
    RasWriteHeader_(handle, pic);
    if (pic.BitsPerPixel == 8) RasWriteMap_(handle, pic);
    int64_t length = 0;
    for (int64_t y = 0; y < pic.Height; ++y) {
      std::memcpy(line, pic.Data + y * rowBytes, static_cast<size_t>(rowBytes));
      const int64_t n = RASPackRow_(line, stored, packed);
      FWrite(handle, packed, n);
      length += n;
    }
    uint8_t field[4];
    PutU32BE(field, static_cast<uint32_t>(length));
    FSeek(handle, 16);
    FWrite(handle, field, sizeof field);
    FClose(handle);
    MemFree(packed);
    MemFree(line);
    FFDone(ffi);
  });
}

void RASInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("FF_RAS.RASInfo", [&] {
    TRASFile f;
    RASOpen_(f, FileName);
    Info.FileSize = FFClampSize(f.FileSize);
    Info.Width = static_cast<int32_t>(std::min<uint32_t>(f.Width, INT32_MAX));
    Info.Height = static_cast<int32_t>(std::min<uint32_t>(f.Height, INT32_MAX));
    Info.BitsPerPixel = static_cast<int32_t>(std::min<uint32_t>(f.Depth, INT32_MAX - 7));
    Info.BytesPerPixel = (Info.BitsPerPixel + 7) / 8;
    Info.FrameCount = 1;
    if (f.Type == kTypeEncoded) Info.VideoCompression = "Run Length Encoding (RLE)";
    Info.VideoValid = f.Width > 0 ? -1 : 0;
    Info.VideoLoadable = f.Supported ? -1 : 0;
    FClose(f.Handle);
  });
}

}  // namespace kvo
