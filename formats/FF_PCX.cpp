// SPDX-License-Identifier: GPL-3.0-or-later
// Zsoft PCX reader and writer.
//
// PCX's only signature is its first byte (10), so the version (0, 2, 3, 4
// or 5) and encoding (0 or 1) bytes are whitelisted too; anything else is
// "Invalid image format." (EG_IMG 2).
//
// Odd files the reader tolerates, because real writers make them and the
// picture is still unambiguous:
// - a plane line longer than the picture (the bytes-per-line field, when it
//   is at least the width; otherwise the width rounded up to an even count):
//   the extra bytes are dropped;
// - runs that cross the end of a plane line or a scan line;
// - zero-length runs, and bytes after the last scan line.
// Refused as not loadable (EG_IMG 1): anything but one or three planes of 8
// bits with run-length encoding; pictures larger than the format layer
// allocates are EG_IMG 12. No width or height is EG_IMG 4. Run-length data that ends before the last
// scan line, or an 8-bit file too short to hold its palette, is "Cannot
// decompress image data." (EG_IMG 3): PCX has no end marker, so a short
// stream means a cut file. A header whose picture the data could not fill
// even at the best compression is refused the same way before any
// allocation.
#include "formats/FF_PCX.h"

#include <algorithm>
#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ByteCursor.h"

namespace kvo {

namespace {

constexpr int kHeader = 128;
constexpr int kPaletteBytes = 768;
constexpr int kMaxRun = 63;

// Run-length state that carries over from one line to the next. The data
// is in memory, or comes through Window.
struct TPcxRuns {
  TByteCursor Data;
  TFFWindow* Window = nullptr;
  uint8_t Value = 0;
  int32_t Left = 0;
};

// Fills N bytes from the run-length data. A short stream reports the
// cursor's error (EG_IMG 3).
void PcxFill_(TPcxRuns& R, uint8_t* Out, int64_t N) {
  while (N > 0) {
    if (R.Left == 0) {
      TByteCursor& c = R.Window ? FFWindowNeed(*R.Window, 2) : R.Data;
      const uint8_t b = CurU8(c);
      if (b < 0xC0) {
        R.Value = b;
        R.Left = 1;
      } else {
        R.Left = b & kMaxRun;
        R.Value = CurU8(c);
      }
      continue;
    }
    const int64_t n = std::min<int64_t>(R.Left, N);
    std::memset(Out, R.Value, static_cast<size_t>(n));
    Out += n;
    N -= n;
    R.Left -= static_cast<int32_t>(n);
  }
}

// Encodes one line; returns the bytes written to Out (at most 2 x N).
int64_t PcxEncodeLine_(const uint8_t* In, int64_t N, uint8_t* Out) {
  int64_t o = 0;
  for (int64_t i = 0; i < N;) {
    int64_t run = 1;
    while (i + run < N && run < kMaxRun && In[i + run] == In[i]) ++run;
    if (run > 1 || In[i] >= 0xC0) Out[o++] = static_cast<uint8_t>(0xC0 | run);
    Out[o++] = In[i];
    i += run;
  }
  return o;
}

}  // namespace

void PCXOpen_(TImgFile& Imgf, const std::string& FileName) {
  Monitored("conform.PCXOpen_", [&] {
    ImgFileOpen_(Imgf, FileName);
    uint8_t hdr[kHeader] = {};
    FRead(Imgf.Handle, hdr, sizeof hdr);
    TByteCursor c = CurMake(hdr, sizeof hdr);
    const int maker = CurU8(c);
    const int version = CurU8(c);
    const int encoding = CurU8(c);
    const int bits = CurU8(c);
    const int64_t xmin = CurU16LE(c), ymin = CurU16LE(c);
    const int64_t xmax = CurU16LE(c), ymax = CurU16LE(c);
    CurSkip(c, 65 - c.pos);  // resolution, 16-colour palette, reserved byte
    const int planes = CurU8(c);
    const int64_t lineField = CurU16LE(c);
    const bool versionOk = version == 0 || (version >= 2 && version <= 5);
    if (maker != 10 || !versionOk || encoding > 1) SetError(EG_IMG, 2, __LINE__);

    // Two planes (or none) would make a depth with no pixel layout.
    Imgf.DepthOK = (bits == 8 && (planes == 1 || planes == 3) && encoding == 1) ? -1 : 0;
    const int64_t width = xmax - xmin + 1;
    ImgFileSetGeometry_(Imgf, width, ymax - ymin + 1, planes * 8);
    Imgf.LineBytes =
        static_cast<int32_t>(lineField >= width ? lineField : (width + 1) & ~int64_t{1});
    Imgf.Compressed = -1;
    Imgf.PalSize = kPaletteBytes;
    Imgf.DataOffset = kHeader;
  });
}

void PCXInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("conform.PCXInfo", [&] {
    TImgFile imgf;
    PCXOpen_(imgf, FileName);
    Info.FileSize = imgf.FileSize;
    Info.Width = imgf.Width;
    Info.Height = imgf.Height;
    Info.BytesPerPixel = imgf.BytesPerPixel;
    Info.BitsPerPixel = imgf.BitsPerPixel;
    Info.FrameCount = 1;
    Info.VideoCompression = "Run Length Encoding (RLE)";
    Info.VideoValid = (imgf.Width > 0 && imgf.Height > 0) ? -1 : 0;
    Info.VideoLoadable = imgf.DepthOK ? -1 : 0;
    ImgFileClose_(imgf);
  });
}

void PCXunCmps_(const TImgFile& Imgf, int64_t Size, int32_t Planes, TImg& Img) {
  Monitored("conform.PCXunCmps_", [&] {
    uint8_t* line = nullptr;
    _memalloc_(line, Imgf.LineBytes, __LINE__, "conform.PCXunCmps_.line");
    TPcxRuns runs;
    runs.Data = CurMake(Imgf.CmpsData, static_cast<size_t>(Size), EG_IMG, 3);
    uint8_t* out = Img.Data;
    for (int32_t y = 0; y < Imgf.Height; ++y) {
      for (int32_t p = 0; p < Planes; ++p) {
        PcxFill_(runs, line, Imgf.LineBytes);
        std::memcpy(out, line, static_cast<size_t>(Imgf.Width));
        out += Imgf.Width;
      }
    }
    MemFree(line);
  });
}

namespace {

// The red, green and blue planes of a line of W pixels into a row, blue first.
void Interleave_(const uint8_t* Planes, int64_t W, uint8_t* Row) {
  for (int64_t x = 0; x < W; ++x) {
    Row[3 * x + 0] = Planes[2 * W + x];  // blue plane
    Row[3 * x + 1] = Planes[W + x];      // green plane
    Row[3 * x + 2] = Planes[x];          // red plane
  }
}

// The bytes of run-length data between the header and the palette (which
// follows a marker byte at the end of an 8-bit file); EG_IMG 3 when they
// could not fill the picture even at the best compression.
int64_t PcxDataBytes_(const TImgFile& Imgf, int64_t FileSize) {
  const int32_t planes = Imgf.BytesPerPixel;
  int64_t size = FileSize - Imgf.DataOffset;
  if (planes == 1) {  // marker byte and palette at the end
    if (size < kPaletteBytes + 1) SetError(EG_IMG, 3, __LINE__);
    size -= kPaletteBytes + 1;
  }
  // Each two bytes of data make at most 63 bytes of lines.
  int64_t need = 0;
  if (!CheckedMul3(Imgf.Height, planes, Imgf.LineBytes, need) || need > (size + 1) / 2 * kMaxRun)
    SetError(EG_IMG, 3, __LINE__);
  return size;
}

}  // namespace

void PCX24Fix_(TImg& Img) {
  Monitored("conform.PCX24Fix_", [&] {
    const int64_t w = Img.Width;
    uint8_t* lintmp = nullptr;
    _memalloc_(lintmp, 3 * w, __LINE__, "conform.PCX24Fix_.lintmp");
    for (int64_t y = 0; y < Img.Height; ++y) {
      uint8_t* row = Img.Data + y * 3 * w;
      std::memcpy(lintmp, row, static_cast<size_t>(3 * w));
      Interleave_(lintmp, w, row);
    }
    MemFree(lintmp);
  });
}

void PCXLoad_(const std::string& FileName, TImg& Img) {
  Monitored("conform.PCXLoad_", [&] {
    TImgFile imgf;
    PCXOpen_(imgf, FileName);
    if (!imgf.DepthOK) SetError(EG_IMG, 1, __LINE__);
    FFCheckPictureSize(imgf.Width, imgf.Height, imgf.BitsPerPixel);
    const int32_t planes = imgf.BytesPerPixel;
    GetCmpsData_(imgf);
    const int64_t size = PcxDataBytes_(imgf, int64_t{imgf.DataOffset} + imgf.CmpsSize);
    _imgalloc_(Img, imgf.Width, imgf.Height, imgf.BitsPerPixel, __LINE__, "conform.PCXLoad_.ih");
    if (planes == 1)
      PalImport(true, 3, 256, &Img.Palette[0][0], imgf.CmpsData + imgf.CmpsSize - kPaletteBytes);
    PCXunCmps_(imgf, size, planes, Img);
    if (planes == 3) PCX24Fix_(Img);
    ImgFileClose_(imgf);
  });
}

// Scan line by scan line, the run-length data coming through a window.
void PCXLoadFed_(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start) {
  Monitored("conform.PCXLoadFed_", [&] {
    TImgFile imgf;
    PCXOpen_(imgf, FileName);
    if (!imgf.DepthOK) SetError(EG_IMG, 1, __LINE__);
    const int32_t planes = imgf.BytesPerPixel;
    const int64_t fileSize = FSize(imgf.Handle);
    FFCheckFedSize(imgf.Width, imgf.Height, fileSize);
    const int64_t size = PcxDataBytes_(imgf, fileSize);
    TImg pal;
    if (planes == 1) {
      uint8_t table[kPaletteBytes];
      FSeek(imgf.Handle, fileSize - kPaletteBytes);
      FRead(imgf.Handle, table, kPaletteBytes);
      PalImport(true, 3, 256, &pal.Palette[0][0], table);
    }
    const int64_t w = imgf.Width;
    uint8_t *line = nullptr, *lines = nullptr;
    _memalloc_(line, imgf.LineBytes, __LINE__, "conform.PCXLoadFed_.line");
    _memalloc_(lines, planes * w, __LINE__, "conform.PCXLoadFed_.planes");
    TFFWindow window;
    FFWindowOpen(window, imgf.Handle, imgf.DataOffset, imgf.DataOffset + size, 65536, EG_IMG, 3);
    TPcxRuns runs;
    runs.Window = &window;
    FFStartFeed(Feed, Start, imgf.Width, imgf.Height, imgf.BitsPerPixel, &pal.Palette);
    for (int32_t y = 0; y < imgf.Height && !ImgFeedStopped(Feed); ++y) {
      for (int32_t p = 0; p < planes; ++p) {
        PcxFill_(runs, line, imgf.LineBytes);
        std::memcpy(lines + p * w, line, static_cast<size_t>(w));
      }
      if (planes == 3)
        Interleave_(lines, w, ImgFeedRow(Feed));
      else
        std::memcpy(ImgFeedRow(Feed), lines, static_cast<size_t>(w));
      ImgFeedPut(Feed);
    }
    FFWindowClose(window);
    MemFree(lines);
    MemFree(line);
    ImgFileClose_(imgf);
    ImgFeedDone(Feed);
  });
}

// ---- writing ----------------------------------------------------------------------------

namespace {

void WritePcxHeader_(int32_t Handle, const TImg& Pic, int32_t Planes, int32_t LineBytes) {
  uint8_t h[kHeader] = {};
  h[0] = 10;
  h[1] = 5;
  h[2] = 1;
  h[3] = 8;
  PutU16LE(h + 8, static_cast<uint32_t>(Pic.Width - 1));
  PutU16LE(h + 10, static_cast<uint32_t>(Pic.Height - 1));
  PutU16LE(h + 12, 72);
  PutU16LE(h + 14, 72);
  h[65] = static_cast<uint8_t>(Planes);
  PutU16LE(h + 66, static_cast<uint32_t>(LineBytes));
  PutU16LE(h + 68, 1);  // colour palette
  FWrite(Handle, h, sizeof h);
}

}  // namespace

void PCXSave_(const std::string& FileName, TImg& Img) {
  Monitored("conform.PCXSave_", [&] {
    TFFInit ffi;
    FFInit(FF_PCX, ffi, Img);
    const TImg& pic = *ffi.Img;
    const int32_t planes = pic.BitsPerPixel == 8 ? 1 : 3;
    const int32_t lineBytes = (pic.Width + 1) & ~1;
    uint8_t *line = nullptr, *packed = nullptr;
    _memalloc_(line, lineBytes, __LINE__, "conform.PCXSave_.line");
    _memalloc_(packed, 2 * lineBytes, __LINE__, "conform.PCXSave_.packed");
    MemFill(line, lineBytes, 0);
    int32_t handle = 0;
    FOpen(handle, FileName, FM_CREATE);
    WritePcxHeader_(handle, pic, planes, lineBytes);
    for (int64_t y = 0; y < pic.Height; ++y) {
      const uint8_t* row = pic.Data + y * pic.Width * pic.BytesPerPixel;
      for (int32_t p = 0; p < planes; ++p) {
        // Planes go red, green, blue; pixels are stored blue, green, red.
        for (int64_t x = 0; x < pic.Width; ++x) line[x] = planes == 1 ? row[x] : row[3 * x + 2 - p];
        FWrite(handle, packed, PcxEncodeLine_(line, lineBytes, packed));
      }
    }
    if (planes == 1) {
      uint8_t tail[1 + kPaletteBytes] = {12};
      for (int i = 0; i < 256; ++i)
        for (int k = 0; k < 3; ++k) tail[1 + 3 * i + k] = pic.Palette[i][2 - k];
      FWrite(handle, tail, sizeof tail);
    }
    FClose(handle);
    MemFree(packed);
    MemFree(line);
    FFDone(ffi);
  });
}

}  // namespace kvo
