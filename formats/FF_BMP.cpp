// SPDX-License-Identifier: GPL-3.0-or-later
// Windows bitmaps: the reader of the depths this system handles (8, 16 and
// 24 bits, with the 12-byte and the 40-byte or longer headers, and 8-bit
// run-length data) and the writer of the logo files.
//
// Odd files the reader tolerates, because real writers make them and the
// picture is still unambiguous:
// - rows stored top row first (a negative height), plain or run-length;
// - headers of any length from 16 bytes on (OS/2 2.x, V4, V5): fields past
//   the header's own length count as zero, and the colour table follows the
//   header wherever its length puts it;
// - a colour table of fewer than 256 entries, or a gap before the pixels:
//   the missing entries are black;
// - 16-bit files with bit fields: read through their masks when those are
//   5-6-5 (a 16-bit picture), otherwise, and without masks, taken as 5-5-5;
// - the planes, file size, image size and colour count fields, whichever
//   values they hold (nothing here depends on them);
// - runs and literal copies that cross the end of a row, or start there
//   (writers cover a row's padding with a run): clipped at it, as other
//   decoders do;
// - run-length data that ends early, and moves past the end of the
//   picture: decoding stops at the end of the data or the picture, and what
//   was not painted stays black.
// Refused: other depths and compressions (EG_IMG 1), pictures larger than
// the format layer allocates (EG_IMG 12); a header length below 16 other than 12
// or beyond the file, and no or a negative width or no height (EG_IMG 4);
// rows that are not all in the file, or pixel data that starts past its
// end (EG_FILE 3).
#include "formats/FF_BMP.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ByteCursor.h"

namespace kvo {

namespace {

constexpr int kFileHeader = 14;
constexpr int kCoreHeader = 12;
constexpr int kInfoHeader = 40;

// The fields of the bitmap header that the reader uses.
struct TDibHeader {
  uint32_t OffBits = 0;
  uint32_t Size = 0;
  int64_t Width = 0;
  int64_t Height = 0;
  uint32_t Bits = 0;
  uint32_t Compression = 0;
};

bool DepthAndCompressionOK(uint32_t Bits, uint32_t Compression) {
  switch (Bits) {
    case 8: return Compression == 0 || Compression == 1;   // none, RLE8
    case 16: return Compression == 0 || Compression == 3;  // none, bit fields
    case 24: return Compression == 0;
    default: return false;
  }
}

// Reads the header after the file header and biSize (already consumed).
void ReadDibFields_(TImgFile& Imgf, TDibHeader& H) {
  if (H.Size == kCoreHeader) {
    uint8_t b[8] = {};
    FRead(Imgf.Handle, b, sizeof b);
    TByteCursor c = CurMake(b, sizeof b);
    H.Width = CurU16LE(c);
    H.Height = CurU16LE(c);
    CurSkip(c, 2);  // planes
    H.Bits = CurU16LE(c);
    return;
  }
  // Only the header's own bytes count; the rest of a short header is zero.
  uint8_t b[kInfoHeader - 4] = {};
  FRead(Imgf.Handle, b, std::min<int64_t>(sizeof b, H.Size - 4));
  TByteCursor c = CurMake(b, sizeof b);
  H.Width = CurI32LE(c);
  H.Height = CurI32LE(c);
  CurSkip(c, 2);  // planes
  H.Bits = CurU16LE(c);
  H.Compression = CurU32LE(c);
}

void ReadPalette_(const TImgFile& Imgf, TImg& Img) {
  std::memset(Img.Palette, 0, sizeof Img.Palette);
  if (Imgf.PalSize <= 0) return;
  FSeek(Imgf.Handle, Imgf.PalOffset);
  if (Imgf.CoreHeader) {
    FRead(Imgf.Handle, Img.Palette, Imgf.PalSize);  // 3-byte entries, clamped to 768
    return;
  }
  uint8_t table[1024] = {};
  FRead(Imgf.Handle, table, Imgf.PalSize);  // clamped to 1024
  PalImport(false, 4, 256, &Img.Palette[0][0], table);
}

// What the (x, y) position of an end of line means when x ran past the row
// (after a move): the line after the one the position lies in is next.
int64_t RowsToNextLine(int64_t X, int32_t Width) {
  return std::max<int64_t>(1, (X + Width - 1) / Width);
}

// Whether a 16-bit file with bit fields has the 5-6-5 masks. They follow
// the first 40 bytes of the header: inside a longer header, or after a
// 40-byte one when the pixels leave room for them. The file stands there.
bool FiveSixFive_(const TImgFile& Imgf, const TDibHeader& H) {
  constexpr uint32_t kMasks = 12;
  const bool masked = H.Size == kInfoHeader ? H.OffBits >= kFileHeader + kInfoHeader + kMasks
                                            : H.Size >= kInfoHeader + kMasks;
  if (H.Bits != 16 || H.Compression != 3 || !masked) return false;
  uint8_t m[kMasks] = {};
  int64_t got = 0;
  FReadPart(Imgf.Handle, m, kMasks, got);
  TByteCursor c = CurMake(m, kMasks);
  return CurU32LE(c) == 0xF800 && CurU32LE(c) == 0x07E0 && CurU32LE(c) == 0x001F;
}

// Whether every row of an uncompressed bitmap lies inside a file of
// FileSize bytes.
bool DibRowsInFile_(const TImgFile& Imgf, int64_t FileSize) {
  const int64_t rowBytes = int64_t{Imgf.Width} * Imgf.BytesPerPixel;
  int64_t span = 0;
  return Imgf.Width > 0 && Imgf.Height > 0 &&
         CheckedMul((rowBytes + 3) / 4 * 4, int64_t{Imgf.Height} - 1, span) &&
         Imgf.DataOffset + span + rowBytes <= FileSize;
}

}  // namespace

// ---- the shared file record -----------------------------------------------------

void ImgFileSetGeometry_(TImgFile& Imgf, int64_t Width, int64_t Height, int32_t Bits) {
  auto fit = [](int64_t V) {
    return static_cast<int32_t>(std::clamp<int64_t>(V, INT32_MIN, INT32_MAX));
  };
  Imgf.Width = fit(Width);
  Imgf.Height = fit(Height);
  Imgf.BitsPerPixel = Bits;
  Imgf.BytesPerPixel = (Bits + 7) / 8;
  int64_t row = 0, total = 0;
  bool ok = CheckedMul(Imgf.Width, Imgf.BytesPerPixel, row) &&
            CheckedMul(row, Imgf.Height, total) && row >= 0 && total >= 0 && total <= INT32_MAX;
  Imgf.RowBytes = ok ? static_cast<int32_t>(row) : 0;
  Imgf.TotalBytes = ok ? static_cast<int32_t>(total) : 0;
}

void ImgFileOpen_(TImgFile& Imgf, const std::string& FileName) {
  Imgf = TImgFile{};
  FOpen(Imgf.Handle, FileName, FM_READ);
  Imgf.FileSize = FFClampSize(FSize(Imgf.Handle));
}

void ImgFileClose_(TImgFile& Imgf) {
  MemFree(Imgf.CmpsData);
  Imgf.CmpsSize = 0;
  if (Imgf.Handle != 0 && Imgf.Handle != INVALID_ID) FClose(Imgf.Handle);
  Imgf.Handle = 0;
}

void ImgFileCheckRows_(const TImgFile& Imgf, int32_t Pad) {
  if (Imgf.Height <= 0) return;
  int64_t span = 0, end = 0;
  bool ok = CheckedMul(int64_t{Imgf.RowBytes} + Pad, Imgf.Height - 1, span) &&
            CheckedAdd(span, int64_t{Imgf.DataOffset} + Imgf.RowBytes, end);
  if (!ok || Imgf.DataOffset < 0 || end > Imgf.FileSize) SetError(EG_FILE, 3, __LINE__);
}

void Dsk2Mem_(TImgFile& Imgf, uint8_t* Pixels, int32_t Pad) {
  Monitored("conform.Dsk2Mem_", [&] {
    ImgFileCheckRows_(Imgf, Pad);
    const int64_t stride = int64_t{Imgf.RowBytes} + Pad;
    for (int32_t i = 0; i < Imgf.Height; ++i) {
      int64_t row = Imgf.BottomUp ? Imgf.Height - 1 - i : i;
      FSeek(Imgf.Handle, Imgf.DataOffset + i * stride);
      FRead(Imgf.Handle, Pixels + row * Imgf.RowBytes, Imgf.RowBytes);
    }
  });
}

void GetCmpsData_(TImgFile& Imgf) {
  Monitored("conform.GetCmpsData_", [&] {
    int64_t size = int64_t{Imgf.FileSize} - Imgf.DataOffset;
    if (Imgf.DataOffset < 0 || size <= 0) SetError(EG_FILE, 3, __LINE__);
    _memalloc_(Imgf.CmpsData, size, __LINE__, "conform.GetCmpsData_.imgf.CmpsData");
    FSeek(Imgf.Handle, Imgf.DataOffset);
    FRead(Imgf.Handle, Imgf.CmpsData, size);
    Imgf.CmpsSize = static_cast<int32_t>(size);
  });
}

// The rows go out gathered in blocks of about 64 KB: a logo takes two
// writes, not one per row.
void Mem2Dsk_(TImgFile& Imgf, const TImg& Img, int32_t Pad) {
  Monitored("conform.Mem2Dsk_", [&] {
    const int64_t rowBytes = int64_t{Img.Width} * Img.BytesPerPixel;
    const int64_t lineBytes = rowBytes + Pad;
    const int64_t blockBytes = std::max<int64_t>(1, 65536 / lineBytes) * lineBytes;
    uint8_t* block = nullptr;
    _memalloc_(block, blockBytes, __LINE__, "conform.Mem2Dsk_.block");
    int64_t filled = 0;
    for (int64_t row = Img.Height - 1; row >= 0; --row) {
      MemMove(Img.Data + row * rowBytes, block + filled, rowBytes);
      MemFill(block + filled + rowBytes, Pad, 0);
      filled += lineBytes;
      if (filled == blockBytes || row == 0) {
        FWrite(Imgf.Handle, block, filled);
        filled = 0;
      }
    }
    MemFree(block);
  });
}

// ---- reading -----------------------------------------------------------------------

void DIBOpen_(TImgFile& Imgf, const std::string& FileName) {
  Monitored("conform.DIBOpen_", [&] {
    ImgFileOpen_(Imgf, FileName);
    uint8_t start[18] = {};
    FRead(Imgf.Handle, start, sizeof start);
    TByteCursor c = CurMake(start, sizeof start);
    if (CurU8(c) != 'B' || CurU8(c) != 'M') SetError(EG_IMG, 2, __LINE__);
    CurSkip(c, 8);  // file size and reserved words: not needed
    TDibHeader h;
    h.OffBits = CurU32LE(c);
    h.Size = CurU32LE(c);
    bool sizeOk = h.Size == kCoreHeader || (h.Size >= 16 && h.Size <= uint32_t(Imgf.FileSize));
    if (!sizeOk) SetError(EG_IMG, 4, __LINE__);
    ReadDibFields_(Imgf, h);

    Imgf.CoreHeader = h.Size == kCoreHeader ? -1 : 0;
    Imgf.Compressed = (h.Bits <= 8 && h.Compression == 1) ? -1 : 0;
    Imgf.DepthOK = DepthAndCompressionOK(h.Bits, h.Compression) ? -1 : 0;
    Imgf.BottomUp = h.Height >= 0 ? -1 : 0;
    ImgFileSetGeometry_(Imgf, h.Width, h.Height < 0 ? -h.Height : h.Height,
                        static_cast<int32_t>(std::min<uint32_t>(h.Bits, 64)));
    if (h.Bits == 16) Imgf.BitsPerPixel = FiveSixFive_(Imgf, h) ? 16 : 15;

    const int64_t maxPal = Imgf.CoreHeader ? 768 : 1024;
    Imgf.PalOffset = static_cast<int32_t>(h.Size + kFileHeader);
    Imgf.PalSize = static_cast<int32_t>(
        std::clamp<int64_t>(int64_t{h.OffBits} - h.Size - kFileHeader, 0, maxPal));
    Imgf.DataOffset = static_cast<int32_t>(std::min<uint32_t>(h.OffBits, INT32_MAX));
  });
}

void DIBInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("conform.DIBInfo", [&] {
    TImgFile imgf;
    DIBOpen_(imgf, FileName);
    Info.FileSize = imgf.FileSize;
    Info.Width = imgf.Width;
    Info.Height = imgf.Height;
    Info.BytesPerPixel = imgf.BytesPerPixel;
    Info.BitsPerPixel = imgf.BitsPerPixel;
    Info.FrameCount = 1;
    if (imgf.Compressed) Info.VideoCompression = "Run Length Encoding (RLE)";
    Info.VideoValid = (imgf.Width > 0 && imgf.Height > 0) ? -1 : 0;
    Info.VideoLoadable = imgf.DepthOK ? -1 : 0;
    // Past what a whole picture may take, the picture is imported row by
    // row, which needs its rows in the file.
    if (!imgf.Compressed && FFDescribedTooLarge(imgf.Width, imgf.Height, imgf.BitsPerPixel) &&
        !DibRowsInFile_(imgf, FSize(imgf.Handle)))
      Info.VideoLoadable = 0;
    ImgFileClose_(imgf);
  });
}

namespace {

// The run-length decoder of both ways of reading. The output position is
// y * Width + x, the bytes following on from the picture's start; x may run
// past the row after a move. Runs and literal copies are clipped at the end
// of the row they start in, and once one reaches it (writers cover a row's
// padding with a run) the next ones are dropped until a line ends or the
// position moves. The position never goes back, so the row it lies in only
// ever grows: Row(r) gives row r of the picture. Need(n) gives the cursor
// with at least n bytes ahead, or all that are left.
template <class TNeed, class TRow>
void UnRLE8_(TNeed&& Need, TRow&& Row, int32_t Width, int32_t Height) {
  const int64_t total = int64_t{Width} * Height;
  int64_t x = 0, y = 0;
  bool full = false;
  for (;;) {
    TByteCursor& c = Need(2 + 256);  // a literal copy and its padding at most
    if (!(y < Height && CurHas(c, 2))) break;
    const int64_t pos = y * Width + x;
    if (pos >= total) break;
    uint8_t* out = Row(pos / Width) + pos % Width;
    const int64_t room = full ? 0 : Width - pos % Width;
    const uint8_t first = CurU8(c), second = CurU8(c);
    if (first != 0) {  // a run of one value
      std::memset(out, second, static_cast<size_t>(std::min<int64_t>(first, room)));
      x += std::min<int64_t>(first, room);
      full = first >= room;
    } else if (second == 0) {  // end of line
      y += RowsToNextLine(x, Width);
      x = 0;
      full = false;
    } else if (second == 1) {  // end of bitmap
      break;
    } else if (second == 2) {  // move right and down
      if (!CurHas(c, 2)) break;
      x += CurU8(c);
      y += CurU8(c);
      full = false;
    } else {  // literal bytes, padded to an even count
      const int64_t n = std::min<int64_t>(second, static_cast<int64_t>(CurLeft(c)));
      const uint8_t* bytes = CurBytes(c, static_cast<size_t>(n));
      std::memcpy(out, bytes, static_cast<size_t>(std::min(n, room)));
      if (n < second) break;
      x += std::min(n, room);
      full = n >= room;
      if ((second & 1) && CurHas(c, 1)) CurSkip(c, 1);
    }
  }
}

}  // namespace

void DIBUnRLE8_(const uint8_t* Data, int64_t Size, uint8_t* Pixels, int32_t Width, int32_t Height) {
  TByteCursor c = CurMake(Data, static_cast<size_t>(std::max<int64_t>(Size, 0)));
  UnRLE8_([&c](int64_t) -> TByteCursor& { return c; },
          [&](int64_t Row) { return Pixels + Row * Width; }, Width, Height);
}

void DIBLoad_(const std::string& FileName, TImg& Img) {
  Monitored("conform.DIBLoad_", [&] {
    TImgFile imgf;
    DIBOpen_(imgf, FileName);
    if (!imgf.DepthOK) SetError(EG_IMG, 1, __LINE__);
    FFCheckPictureSize(imgf.Width, imgf.Height, imgf.BitsPerPixel);
    FFCheckFedSize(imgf.Width, imgf.Height, FSize(imgf.Handle));  // as read row by row
    const int32_t pad = (4 - imgf.RowBytes % 4) % 4;
    // The data is checked (or read) before the picture is allocated, so a
    // header that lies about its size never costs a large block.
    if (imgf.Compressed)
      GetCmpsData_(imgf);
    else
      ImgFileCheckRows_(imgf, pad);
    _imgalloc_(Img, imgf.Width, imgf.Height, imgf.BitsPerPixel, __LINE__, "conform.DIBLoad_.ih");
    if (imgf.BitsPerPixel == 8) ReadPalette_(imgf, Img);
    if (imgf.Compressed) {
      MemFill(Img.Data, imgf.TotalBytes, 0);
      DIBUnRLE8_(imgf.CmpsData, imgf.CmpsSize, Img.Data, imgf.Width, imgf.Height);
      MemFree(imgf.CmpsData);
      if (imgf.BottomUp) ImgFlipV(Img, Img);  // decoded in file order
    } else {
      Dsk2Mem_(imgf, Img.Data, pad);
    }
    ImgFileClose_(imgf);
  });
}

// Rows in file order (bottom row first unless the height was negative),
// each read where it lies or decoded as the run-length data comes: only a
// row and a window of the data are held.
void DIBLoadFed_(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start) {
  Monitored("conform.DIBLoadFed_", [&] {
    TImgFile imgf;
    DIBOpen_(imgf, FileName);
    if (!imgf.DepthOK) SetError(EG_IMG, 1, __LINE__);
    const int64_t fileSize = FSize(imgf.Handle);
    FFCheckFedSize(imgf.Width, imgf.Height, fileSize);
    const int64_t rowBytes = int64_t{imgf.Width} * imgf.BytesPerPixel;
    const int64_t stride = (rowBytes + 3) / 4 * 4;
    if (!imgf.Compressed && !DibRowsInFile_(imgf, fileSize)) SetError(EG_FILE, 3, __LINE__);
    if (imgf.Compressed && imgf.DataOffset >= fileSize) SetError(EG_FILE, 3, __LINE__);
    TImg pal;
    if (imgf.BitsPerPixel == 8) ReadPalette_(imgf, pal);
    FFStartFeed(Feed, Start, imgf.Width, imgf.Height, imgf.BitsPerPixel, &pal.Palette,
                imgf.BottomUp != 0);
    if (imgf.Compressed) {
      TFFWindow w;
      FFWindowOpen(w, imgf.Handle, imgf.DataOffset, fileSize, 65536, EG_FILE, 3);
      int64_t row = 0;  // the row being painted; those above it are delivered
      std::memset(ImgFeedRow(Feed), 0, static_cast<size_t>(rowBytes));
      auto next = [&] {
        ImgFeedPut(Feed);
        ++row;
        std::memset(ImgFeedRow(Feed), 0, static_cast<size_t>(rowBytes));
      };
      TByteCursor none;  // once stopped: no more data
      UnRLE8_([&](int64_t N) -> TByteCursor& {
                return ImgFeedStopped(Feed) ? none : FFWindowNeed(w, N);
              },
              [&](int64_t Row) {
                while (row < Row && !ImgFeedStopped(Feed)) next();
                return ImgFeedRow(Feed);
              },
              imgf.Width, imgf.Height);
      while (row < imgf.Height && !ImgFeedStopped(Feed)) next();  // the rest stays index 0
      FFWindowClose(w);
    } else {
      for (int32_t y = 0; y < imgf.Height && !ImgFeedStopped(Feed); ++y) {
        FSeek(imgf.Handle, imgf.DataOffset + y * stride);
        FRead(imgf.Handle, ImgFeedRow(Feed), rowBytes);
        ImgFeedPut(Feed);
      }
    }
    ImgFileClose_(imgf);
    ImgFeedDone(Feed);
  });
}

// ---- writing ---------------------------------------------------------------------------

namespace {

void WriteDibHeader_(const TImgFile& Imgf, int32_t Pad) {
  const uint32_t tableBytes = Imgf.BitsPerPixel == 8 ? 1024 : 0;
  const uint32_t imageBytes = static_cast<uint32_t>((int64_t{Imgf.RowBytes} + Pad) * Imgf.Height);
  const uint32_t colours = Imgf.BitsPerPixel == 8 ? 256 : 0;
  uint8_t h[kFileHeader + kInfoHeader] = {};
  h[0] = 'B';
  h[1] = 'M';
  PutU32LE(h + 2, kFileHeader + kInfoHeader + tableBytes + imageBytes);
  PutU32LE(h + 10, kFileHeader + kInfoHeader + tableBytes);
  PutU32LE(h + 14, kInfoHeader);
  PutU32LE(h + 18, static_cast<uint32_t>(Imgf.Width));
  PutU32LE(h + 22, static_cast<uint32_t>(Imgf.Height));
  PutU16LE(h + 26, 1);
  PutU16LE(h + 28, static_cast<uint32_t>(Imgf.BytesPerPixel * 8));
  PutU32LE(h + 34, imageBytes);
  PutU32LE(h + 46, colours);
  PutU32LE(h + 50, colours);
  FWrite(Imgf.Handle, h, sizeof h);
}

void WriteDibPalette_(const TImgFile& Imgf, const TImg& Img) {
  uint8_t table[1024] = {};
  for (int i = 0; i < 256; ++i) std::memcpy(table + 4 * i, Img.Palette[i], 3);
  FWrite(Imgf.Handle, table, sizeof table);
}

}  // namespace

void DIBSave_(const std::string& FileName, TImg& Img) {
  Monitored("conform.DIBSave_", [&] {
    if (!ImgIsValid(Img)) SetError(EG_IMG, 9, __LINE__);
    // A 5-6-5 picture has no plain BMP form (16-bit bitmaps are 5-5-5), so it
    // is written in 24 bits, as the writer depth table has it for BMP.
    TImg wide;
    TImg* pic = &Img;
    if (Img.BitsPerPixel == 16) {
      ImgConvBpp(Img, wide, 24);
      pic = &wide;
    }
    TImgFile imgf;
    FOpen(imgf.Handle, FileName, FM_CREATE);
    ImgFileSetGeometry_(imgf, pic->Width, pic->Height, pic->BitsPerPixel);
    const int32_t pad = (4 - imgf.RowBytes % 4) % 4;
    WriteDibHeader_(imgf, pad);
    if (pic->BitsPerPixel == 8) WriteDibPalette_(imgf, *pic);
    Mem2Dsk_(imgf, *pic, pad);
    FClose(imgf.Handle);
    if (pic == &wide) ImgFree(wide);
  });
}

}  // namespace kvo
