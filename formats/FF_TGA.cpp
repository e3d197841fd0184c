// SPDX-License-Identifier: GPL-3.0-or-later
// Truevision TGA reader and writer.
//
// TGA has no signature, so the header is whitelisted field by field: an
// image type of 1, 2, 9 or 10 and a colour-map type of 0 or 1; anything
// else is "Invalid image format." (EG_IMG 2). That keeps the format probe
// from taking a BMP file (or a PCX file of version 2 or later) for a TGA one.
//
// Odd files the reader tolerates, because real writers make them and the
// picture is still unambiguous:
// - an image ID field of any length, and a colour map in a true-colour file
//   (both skipped);
// - a colour map that starts past entry 0 or holds more than 256 entries
//   (entries from PalFirst on are kept up to palette entry 255);
// - rows stored right to left (descriptor bit 4): mirrored back;
// - run-length packets that cross the end of a row, and run-length data that
//   ends early (the rest of the picture stays black);
// - a footer, an extension area or a developer area after the pixels.
// A 32-bit picture whose descriptor gives 8 alpha bits is blended onto
// black (the logo's background); with 0 alpha bits the fourth byte is
// left alone, as writers put anything there.
// Refused as not loadable (EG_IMG 1): colour-mapped pictures whose indices
// are not 8 bits or that come without a colour map of 15, 16, 24 or 32-bit
// entries, true-colour depths other than 15, 16, 24 and 32; pictures
// larger than the format layer allocates are EG_IMG 12. No width or height is EG_IMG 4,
// pixels or a colour map missing from the file EG_FILE 3. A header
// whose picture the remaining data could not fill even at the best
// compression is "Cannot decompress image data." (EG_IMG 3) before any
// allocation.
#include "formats/FF_TGA.h"

#include <algorithm>
#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ByteCursor.h"

namespace kvo {

namespace {

constexpr int kHeader = 18;

bool IsColourMapped(int Type) { return Type == 1 || Type == 9; }

bool MapBitsOK(int Bits) { return Bits == 15 || Bits == 16 || Bits == 24 || Bits == 32; }

// Reads the part of the colour map that lands in palette entries PalFirst to
// 255. The rest of the palette is black.
void ReadColourMap_(const TImgFile& Imgf, TImg& Img) {
  std::memset(Img.Palette, 0, sizeof Img.Palette);
  const int64_t count =
      std::clamp<int64_t>(std::min<int64_t>(Imgf.PalSize / std::max(Imgf.PalEntrySize, 1),
                                            256 - int64_t{Imgf.PalFirst}),
                          0, 256);
  if (count == 0) return;
  uint8_t map[256 * 4] = {};
  FSeek(Imgf.Handle, Imgf.PalOffset);
  FRead(Imgf.Handle, map, count * Imgf.PalEntrySize);
  PalImport(Imgf.PalEntrySize == 2, Imgf.PalEntrySize, static_cast<int32_t>(count),
            &Img.Palette[Imgf.PalFirst][0], map);
}

// EG_IMG 3 unless the run-length data after DataOffset could fill the
// picture: each packet of 1 + BytesPerPixel bytes makes at most 128 pixels.
void CheckRleCoverage_(const TImgFile& Imgf) {
  const int64_t data = int64_t{Imgf.FileSize} - Imgf.DataOffset;
  const int64_t packets = (data + Imgf.BytesPerPixel) / (1 + Imgf.BytesPerPixel);
  if (data > 0 && int64_t{Imgf.Width} * Imgf.Height > packets * 128) SetError(EG_IMG, 3, __LINE__);
}

}  // namespace

void TGAOpen_(TImgFile& Imgf, const std::string& FileName) {
  Monitored("conform.TGAOpen_", [&] {
    ImgFileOpen_(Imgf, FileName);
    uint8_t hdr[kHeader] = {};
    FRead(Imgf.Handle, hdr, sizeof hdr);
    TByteCursor c = CurMake(hdr, sizeof hdr);
    const int idLength = CurU8(c);
    const int mapType = CurU8(c);
    const int type = CurU8(c);
    const int mapFirst = CurU16LE(c);
    const int mapLength = CurU16LE(c);
    const int mapBits = CurU8(c);
    CurSkip(c, 4);  // origin
    const int width = CurU16LE(c);
    const int height = CurU16LE(c);
    const int depth = CurU8(c);
    const int descriptor = CurU8(c);
    const bool typeOk = type == 1 || type == 2 || type == 9 || type == 10;
    if (!typeOk || mapType > 1) SetError(EG_IMG, 2, __LINE__);

    ImgFileSetGeometry_(Imgf, width, height, depth);
    if (depth == 16) Imgf.BitsPerPixel = 15;
    const bool depthOk =
        IsColourMapped(type) ? depth == 8 && mapType == 1 && MapBitsOK(mapBits) : MapBitsOK(depth);
    Imgf.DepthOK = depthOk ? -1 : 0;
    Imgf.Compressed = type == 9 || type == 10 ? -1 : 0;
    Imgf.BottomUp = (descriptor & 0x20) ? 0 : -1;
    Imgf.RightToLeft = (descriptor & 0x10) ? -1 : 0;
    Imgf.AlphaBits = depth == 32 && !IsColourMapped(type) ? descriptor & 0x0F : 0;
    Imgf.PalEntrySize = IsColourMapped(type) || mapType == 1 ? (mapBits + 7) / 8 : 0;
    Imgf.PalFirst = mapFirst;
    Imgf.PalSize = mapLength * ((mapBits + 7) / 8);
    Imgf.PalOffset = kHeader + idLength;
    Imgf.DataOffset = Imgf.PalOffset + (mapType != 0 ? Imgf.PalSize : 0);
  });
}

void TGAInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("conform.TGAInfo", [&] {
    TImgFile imgf;
    TGAOpen_(imgf, FileName);
    Info.FileSize = imgf.FileSize;
    Info.Width = imgf.Width;
    Info.Height = imgf.Height;
    Info.BytesPerPixel = imgf.BytesPerPixel;
    Info.BitsPerPixel = imgf.BitsPerPixel;
    Info.FrameCount = 1;
    if (imgf.Compressed) Info.VideoCompression = "Run Length Encoding (RLE)";
    // A picture of no pixels is not one, whatever its depth says.
    Info.VideoValid =
        (imgf.BitsPerPixel >= 1 && imgf.BitsPerPixel <= 32 && imgf.Width > 0 && imgf.Height > 0)
            ? -1
            : 0;
    Info.VideoLoadable = imgf.DepthOK ? -1 : 0;
    ImgFileClose_(imgf);
  });
}

namespace {

// The run-length decoder of both ways of reading: Count pixels in file
// order. Pixels(i, n) gives where pixels i to i + n - 1 go, n never
// crossing the end of a row of Width; Need(n) gives the cursor with at
// least n bytes ahead, or all that are left.
template <class TNeed, class TPixels>
void UnRLE_(TNeed&& Need, TPixels&& Pixels, int64_t Count, int32_t Width, int32_t BytesPerPixel) {
  const size_t bpp = static_cast<size_t>(BytesPerPixel);
  int64_t done = 0;
  while (done < Count) {
    TByteCursor& c = Need(1 + 128 * int64_t{BytesPerPixel});  // a whole packet at most
    if (!CurHas(c, 1)) break;
    const uint8_t packet = CurU8(c);
    const int64_t n = std::min<int64_t>((packet & 0x7F) + 1, Count - done);
    const uint8_t* px = nullptr;
    int64_t avail = n;
    if (packet & 0x80) {  // one pixel, repeated
      if (!CurHas(c, bpp)) break;
      px = CurBytes(c, bpp);
    } else {  // literal pixels
      avail = std::min<int64_t>(n, static_cast<int64_t>(CurLeft(c) / bpp));
      px = CurBytes(c, avail * bpp);
    }
    for (int64_t left = avail; left > 0;) {
      const int64_t k = std::min<int64_t>(left, Width - done % Width);
      uint8_t* out = Pixels(done, k);
      if (packet & 0x80) {
        for (int64_t i = 0; i < k; ++i) std::memcpy(out + i * static_cast<int64_t>(bpp), px, bpp);
      } else {
        std::memcpy(out, px, static_cast<size_t>(k) * bpp);
        px += k * static_cast<int64_t>(bpp);
      }
      done += k;
      left -= k;
    }
    if (avail < n) break;
  }
}

void MirrorRow_(uint8_t* Row, int64_t Width, int32_t Bpp) {
  for (int64_t l = 0, r = Width - 1; l < r; ++l, --r)
    for (int32_t k = 0; k < Bpp; ++k) std::swap(Row[l * Bpp + k], Row[r * Bpp + k]);
}

}  // namespace

void TGAUnRLE_(const uint8_t* Data, int64_t Size, uint8_t* Pixels, int64_t Count,
               int32_t BytesPerPixel) {
  TByteCursor c = CurMake(Data, static_cast<size_t>(std::max<int64_t>(Size, 0)));
  // One long row: the caller's block has no row structure to respect.
  const int32_t width = static_cast<int32_t>(std::clamp<int64_t>(Count, 1, INT32_MAX));
  UnRLE_([&c](int64_t) -> TByteCursor& { return c; },
         [&](int64_t First, int64_t) { return Pixels + First * BytesPerPixel; }, Count, width,
         BytesPerPixel);
}

void TGALoad_(const std::string& FileName, TImg& Img) {
  Monitored("conform.TGALoad_", [&] {
    TImgFile imgf;
    TGAOpen_(imgf, FileName);
    if (!imgf.DepthOK) SetError(EG_IMG, 1, __LINE__);
    FFCheckPictureSize(imgf.Width, imgf.Height, imgf.BitsPerPixel);
    if (imgf.Compressed) {
      CheckRleCoverage_(imgf);
      GetCmpsData_(imgf);
    } else {
      ImgFileCheckRows_(imgf, 0);
    }
    _imgalloc_(Img, imgf.Width, imgf.Height, imgf.BitsPerPixel, __LINE__, "conform.TGALoad_.ih");
    if (imgf.BitsPerPixel == 8) ReadColourMap_(imgf, Img);
    if (imgf.Compressed) {
      MemFill(Img.Data, imgf.TotalBytes, 0);
      TGAUnRLE_(imgf.CmpsData, imgf.CmpsSize, Img.Data, int64_t{imgf.Width} * imgf.Height,
                imgf.BytesPerPixel);
      MemFree(imgf.CmpsData);
      if (imgf.BottomUp) ImgFlipV(Img, Img);  // decoded in file order
    } else {
      Dsk2Mem_(imgf, Img.Data, 0);
    }
    if (imgf.RightToLeft)
      for (int64_t y = 0; y < Img.Height; ++y)
        MirrorRow_(Img.Data + y * Img.Width * Img.BytesPerPixel, Img.Width, Img.BytesPerPixel);
    if (imgf.AlphaBits == 8) FFBlendOnBlack(Img.Data, int64_t{Img.Width} * Img.Height, 4, 3);
    ImgFileClose_(imgf);
  });
}

// Rows in file order, bottom row first unless the descriptor says
// otherwise; the run-length data is decoded as it comes through a window.
void TGALoadFed_(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start) {
  Monitored("conform.TGALoadFed_", [&] {
    TImgFile imgf;
    TGAOpen_(imgf, FileName);
    if (!imgf.DepthOK) SetError(EG_IMG, 1, __LINE__);
    const int64_t fileSize = FSize(imgf.Handle);
    FFCheckFedSize(imgf.Width, imgf.Height, fileSize);
    const int64_t rowBytes = int64_t{imgf.Width} * imgf.BytesPerPixel;
    if (imgf.Compressed) {
      const int64_t data = fileSize - imgf.DataOffset;
      const int64_t packets = (data + imgf.BytesPerPixel) / (1 + imgf.BytesPerPixel);
      if (data > 0 && int64_t{imgf.Width} * imgf.Height > packets * 128)
        SetError(EG_IMG, 3, __LINE__);
      if (data <= 0) SetError(EG_FILE, 3, __LINE__);
    } else if (imgf.DataOffset + rowBytes * imgf.Height > fileSize) {
      SetError(EG_FILE, 3, __LINE__);
    }
    TImg pal;
    if (imgf.BitsPerPixel == 8) ReadColourMap_(imgf, pal);
    FFStartFeed(Feed, Start, imgf.Width, imgf.Height, imgf.BitsPerPixel, &pal.Palette,
                imgf.BottomUp != 0);
    auto put = [&] {
      if (imgf.RightToLeft) MirrorRow_(ImgFeedRow(Feed), imgf.Width, imgf.BytesPerPixel);
      if (imgf.AlphaBits == 8) FFBlendOnBlack(ImgFeedRow(Feed), imgf.Width, 4, 3);
      ImgFeedPut(Feed);
    };
    if (imgf.Compressed) {
      TFFWindow w;
      FFWindowOpen(w, imgf.Handle, imgf.DataOffset, fileSize, 65536, EG_FILE, 3);
      TByteCursor none;  // once stopped: no more data
      int64_t row = 0;   // the row being filled; those above it are delivered
      std::memset(ImgFeedRow(Feed), 0, static_cast<size_t>(rowBytes));
      UnRLE_([&](int64_t N) -> TByteCursor& {
               return ImgFeedStopped(Feed) ? none : FFWindowNeed(w, N);
             },
             [&](int64_t First, int64_t) {
               if (First / imgf.Width > row) {
                 put();
                 ++row;
                 std::memset(ImgFeedRow(Feed), 0, static_cast<size_t>(rowBytes));
               }
               return ImgFeedRow(Feed) + First % imgf.Width * imgf.BytesPerPixel;
             },
             int64_t{imgf.Width} * imgf.Height, imgf.Width, imgf.BytesPerPixel);
      for (; row < imgf.Height && !ImgFeedStopped(Feed); ++row) {  // the rest stays black
        put();
        std::memset(ImgFeedRow(Feed), 0, static_cast<size_t>(rowBytes));
      }
      FFWindowClose(w);
    } else {
      FSeek(imgf.Handle, imgf.DataOffset);
      for (int32_t y = 0; y < imgf.Height && !ImgFeedStopped(Feed); ++y) {
        FRead(imgf.Handle, ImgFeedRow(Feed), rowBytes);
        put();
      }
    }
    ImgFileClose_(imgf);
    ImgFeedDone(Feed);
  });
}

// ---- writing --------------------------------------------------------------------------

void TGASave_(const std::string& FileName, TImg& Img) {
  Monitored("conform.TGASave_", [&] {
    TFFInit ffi;
    FFInit(FF_TGA, ffi, Img);
    const TImg& pic = *ffi.Img;
    const bool mapped = pic.BitsPerPixel == 8;
    uint8_t h[kHeader] = {};
    h[1] = mapped ? 1 : 0;
    h[2] = mapped ? 1 : 2;
    PutU16LE(h + 5, mapped ? 256 : 0);
    h[7] = mapped ? 24 : 0;
    PutU16LE(h + 12, static_cast<uint32_t>(pic.Width));
    PutU16LE(h + 14, static_cast<uint32_t>(pic.Height));
    h[16] = static_cast<uint8_t>(pic.BytesPerPixel * 8);
    h[17] = 0x20;  // top row first: the rows go out as they are in memory
    int32_t handle = 0;
    FOpen(handle, FileName, FM_CREATE);
    FWrite(handle, h, sizeof h);
    if (mapped) FWrite(handle, pic.Palette, sizeof pic.Palette);  // blue, green, red
    FWrite(handle, pic.Data, int64_t{pic.Width} * pic.Height * pic.BytesPerPixel);
    FClose(handle);
    FFDone(ffi);
  });
}

}  // namespace kvo
