// SPDX-License-Identifier: GPL-3.0-or-later
// TIFF files through libtiff.
//
// libtiff reads and writes the file through our client procedures, which
// use the tracked file layer without ever raising (see FFLib.h). Its error
// and warning messages come to our hooks: both the per-file hooks of the
// open options and the library-wide ones (installed before every open, for
// messages libtiff gives without a file) only record. The first error text
// is raised as the system's error (EG_TEXT) as soon as the libtiff call that
// produced it has returned; a warning is recorded and the work goes on.
//
// Tolerated beyond the plain cases: extra samples are dropped (unassociated
// alpha of a grey or RGB picture once its colours are blended onto black), JPEG
// files in YCbCr are converted to RGB by libtiff, and the newer Deflate code
// 8 is read like the older 32946 (libtiff decodes both alike). Not
// supported: samples other than 8 bits, tiled files, separate planes, other
// colour spaces and other codecs.
#include "formats/FF_TIF.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ByteCursor.h"
#include "formats/FFLib.h"

namespace kvo {
namespace {

struct TTiffClose_ {
  void operator()(TIFF* T) const noexcept { TIFFClose(T); }
};

struct TTiffOptionsFree_ {
  void operator()(TIFFOpenOptions* O) const noexcept { TIFFOpenOptionsFree(O); }
};

// The open record of one TIFF (TIFOpen_, TIFCreate_).
struct TTIFOpen_ {
  int32_t File = INVALID_ID;  // the tracked file libtiff works on
  uint32_t Height = 0;
  uint32_t Width = 0;
  int32_t LineSize = 0;
  uint16_t BitsPerSample = 0;
  uint16_t BytesPerPixel = 0;  // LineSize div Width: every sample of a pixel
  uint16_t Compression = 0;
  uint16_t Photometric = 0;
  uint16_t Orientation = ORIENTATION_TOPLEFT;  // numbered as Exif numbers it
  int32_t Supported = 0;
  int32_t PictureBits = 0;  // 8 or 24: the depth a supported file loads at
  int32_t AlphaAt = -1;     // the sample of unassociated alpha, or -1
  bool ErrorSeen = false;
  bool WriteFailed = false;
  char Text[FF_LIB_TEXT_MAX] = {};  // the first error libtiff gave
  // Declared last, so it is closed first: closing may still call the client
  // procedures, which use the fields above.
  std::unique_ptr<TIFF, TTiffClose_> Handle;

  TTIFOpen_() = default;
  TTIFOpen_(const TTIFOpen_&) = delete;
  TTIFOpen_& operator=(const TTIFOpen_&) = delete;
  ~TTIFOpen_();
};

TTIFOpen_* CurTIF_ = nullptr;

TTIFOpen_::~TTIFOpen_() {
  if (CurTIF_ == this) CurTIF_ = nullptr;
}

// ---- message hooks: called from libtiff's frames, never raise ----------------

void FormatMessage_(char (&Out)[FF_LIB_TEXT_MAX], const char* Module, const char* Fmt,
                    va_list Ap) noexcept {
  // libtiff's own handler prints "module: message"; the message is cut to
  // what fits after the module name.
  size_t used = 0;
  if (Module && *Module) {
    FFLibCopyText(Out, Module);
    used = std::strlen(Out);
    if (used + 2 < sizeof Out) {
      Out[used++] = ':';
      Out[used++] = ' ';
    }
  }
  std::vsnprintf(Out + used, sizeof Out - used, Fmt ? Fmt : "", Ap);
}

void RecordError_(TTIFOpen_* T, const char* Module, const char* Fmt, va_list Ap) noexcept {
  if (!T || T->ErrorSeen) return;  // the first message names the cause
  FormatMessage_(T->Text, Module, Fmt, Ap);
  T->ErrorSeen = true;
}

void RecordWarning_(const char* Module, const char* Fmt, va_list Ap) noexcept {
  char text[FF_LIB_TEXT_MAX];
  FormatMessage_(text, Module, Fmt, Ap);
  FFLibWarning(text, __LINE__);
}

int error_handler_(TIFF*, void* User, const char* Module, const char* Fmt, va_list Ap) {
  RecordError_(static_cast<TTIFOpen_*>(User), Module, Fmt, Ap);
  return 1;
}

int warning_handler_(TIFF*, void*, const char* Module, const char* Fmt, va_list Ap) {
  RecordWarning_(Module, Fmt, Ap);
  return 1;
}

void GlobalError_(const char* Module, const char* Fmt, va_list Ap) {
  RecordError_(CurTIF_, Module, Fmt, Ap);
}

void GlobalWarning_(const char* Module, const char* Fmt, va_list Ap) {
  RecordWarning_(Module, Fmt, Ap);
}

void InstallHooks_() {
  TIFFSetErrorHandler(GlobalError_);
  TIFFSetWarningHandler(GlobalWarning_);
  TIFFSetErrorHandlerExt(nullptr);
  TIFFSetWarningHandlerExt(nullptr);
}

// ---- client procedures: the tracked file beneath libtiff -----------------------

TTIFOpen_* Rec_(thandle_t H) { return static_cast<TTIFOpen_*>(H); }

tmsize_t ReadProc_(thandle_t H, void* Buf, tmsize_t Size) {
  int64_t got = 0;
  if (Size > 0) FReadPart(Rec_(H)->File, Buf, Size, got);
  return static_cast<tmsize_t>(got);
}

tmsize_t WriteProc_(thandle_t H, void* Buf, tmsize_t Size) {
  TTIFOpen_* t = Rec_(H);
  if (Size <= 0) return 0;
  // After a failure the frame has closed the file; nothing more goes out.
  bool ok = FSize(t->File) != INVALID_ID &&
            FFLibKept("FF_TIF.WriteProc_", [&] { FWrite(t->File, Buf, Size); });
  if (ok) return Size;
  t->WriteFailed = true;
  return -1;
}

toff_t SeekProc_(thandle_t H, toff_t Offset, int Whence) {
  TTIFOpen_* t = Rec_(H);
  int64_t base = Whence == SEEK_SET ? 0 : Whence == SEEK_CUR ? FPos(t->File) : FSize(t->File);
  int64_t target = 0;
  if (base < 0 || !CheckedAdd(base, static_cast<int64_t>(Offset), target) || target < 0)
    return static_cast<toff_t>(-1);
  bool ok = FFLibKept("FF_TIF.SeekProc_", [&] { FSeek(t->File, target); });
  return ok ? static_cast<toff_t>(target) : static_cast<toff_t>(-1);
}

toff_t SizeProc_(thandle_t H) {
  int64_t size = FSize(Rec_(H)->File);
  return size < 0 ? 0 : static_cast<toff_t>(size);
}

int CloseProc_(thandle_t) { return 0; }  // the tracked file is closed by TIFClose_
int MapProc_(thandle_t, void**, toff_t*) { return 0; }
void UnmapProc_(thandle_t, void*, toff_t) {}

// Raises the first error libtiff reported during the last call, if any.
void TifCheck_(const TTIFOpen_& T, int Line) {
  if (T.WriteFailed) SetError(EG_FILE, 4, Line);
  if (T.ErrorSeen) SetErrorText(EG_TEXT, T.Text, Line);
}

void OpenLibrary_(const std::string& FileName, const char* Mode, TTIFOpen_& T) {
  InstallHooks_();
  CurTIF_ = &T;
  std::unique_ptr<TIFFOpenOptions, TTiffOptionsFree_> options(TIFFOpenOptionsAlloc());
  if (!options) SetError(EG_MEM, 1, __LINE__);
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), error_handler_, &T);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), warning_handler_, &T);
  // No strip or table of a hostile file makes libtiff allocate beyond what
  // a picture we accept can need.
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), FF_MAX_PICTURE_BYTES);
  T.Handle.reset(TIFFClientOpenExt(FileName.c_str(), Mode, &T, ReadProc_, WriteProc_, SeekProc_,
                                   CloseProc_, SizeProc_, MapProc_, UnmapProc_, options.get()));
}

// ---- reading the directory -------------------------------------------------------

bool KnownCodec_(uint16_t Compression) {
  switch (Compression) {
    case COMPRESSION_NONE:
    case COMPRESSION_LZW:
    case COMPRESSION_JPEG:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_PACKBITS:
    case COMPRESSION_DEFLATE:
      return true;
    default:
      return false;
  }
}

// The depth the picture loads at (8 or 24), or 0 when it cannot be read.
int32_t PictureBits_(const TTIFOpen_& T, uint16_t Samples, uint16_t Planar, bool Tiled) {
  if (T.BitsPerSample != 8 || !KnownCodec_(T.Compression) || Tiled) return 0;
  if (Planar != PLANARCONFIG_CONTIG && Samples > 1) return 0;
  int32_t bits = 0, needed = 1;
  switch (T.Photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_PALETTE:
      bits = 8;
      break;
    case PHOTOMETRIC_RGB:
      bits = 24, needed = 3;
      break;
    case PHOTOMETRIC_YCBCR:  // libtiff hands JPEG-coded YCbCr over as RGB
      if (T.Compression == COMPRESSION_JPEG) bits = 24, needed = 3;
      break;
    default:
      break;
  }
  if (bits == 0 || Samples < needed || T.Width == 0) return 0;
  return static_cast<int64_t>(T.LineSize) == static_cast<int64_t>(T.Width) * Samples ? bits : 0;
}

// The sample of a pixel that holds an alpha to blend by (the first extra
// sample, when it is unassociated alpha), or -1. Associated alpha needs
// nothing: its colours are already blended onto black. Only grey (black
// is 0) and RGB pictures are blended; an index cannot be.
int32_t AlphaSample_(const TTIFOpen_& T, uint16_t Samples) {
  uint16_t count = 0;
  uint16_t* kinds = nullptr;
  if (!TIFFGetField(T.Handle.get(), TIFFTAG_EXTRASAMPLES, &count, &kinds) || count == 0 || !kinds ||
      kinds[0] != EXTRASAMPLE_UNASSALPHA)
    return -1;
  const bool grey = T.Photometric == PHOTOMETRIC_MINISBLACK && T.PictureBits == 8;
  const bool rgb = T.Photometric == PHOTOMETRIC_RGB && T.PictureBits == 24;
  const int32_t at = grey ? 1 : rgb ? 3 : -1;
  return at >= 0 && at < Samples && at < T.BytesPerPixel ? at : -1;
}

void ReadDirectory_(TTIFOpen_& T) {
  TIFF* tif = T.Handle.get();
  uint16_t samples = 1, planar = PLANARCONFIG_CONTIG;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &T.Width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &T.Height);
  TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &T.BitsPerSample);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &T.Photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &T.Compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &T.Orientation);
  if (T.Compression == COMPRESSION_JPEG && T.Photometric == PHOTOMETRIC_YCBCR) {
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    samples = 3;
  }
  tmsize_t line = TIFFScanlineSize(tif);
  T.LineSize = line > 0 && line <= INT32_MAX ? static_cast<int32_t>(line) : 0;
  int64_t perPixel = T.Width > 0 ? T.LineSize / static_cast<int64_t>(T.Width) : 0;
  T.BytesPerPixel = static_cast<uint16_t>(perPixel <= UINT16_MAX ? perPixel : 0);
  T.PictureBits = PictureBits_(T, samples, planar, TIFFIsTiled(tif) != 0);
  T.Supported = T.PictureBits != 0 ? -1 : 0;
  T.AlphaAt = AlphaSample_(T, samples);
}

void TIFOpen_(const std::string& FileName, TTIFOpen_& T) {
  Monitored("FF_TIF.TIFOpen_", [&] {
    T.File = FFLibOpen(FileName, FM_READ);
    if (T.File == INVALID_ID) SetError(EG_IMG, 8, __LINE__);
    OpenLibrary_(FileName, "r", T);
    TifCheck_(T, __LINE__);
    if (!T.Handle) SetError(EG_IMG, 8, __LINE__);
    ReadDirectory_(T);
    TifCheck_(T, __LINE__);
  });
}

void TIFCreate_(const std::string& FileName, TTIFOpen_& T) {
  Monitored("FF_TIF.TIFCreate_", [&] {
    T.File = FFLibOpen(FileName, FM_CREATE);
    if (T.File == INVALID_ID) SetError(EG_IMG, 11, __LINE__);
    OpenLibrary_(FileName, "w", T);
    TifCheck_(T, __LINE__);
    if (!T.Handle) SetError(EG_IMG, 11, __LINE__);
  });
}

void TIFClose_(TTIFOpen_& T) {
  T.Handle.reset();
  FClose(T.File);
  if (CurTIF_ == &T) CurTIF_ = nullptr;
  T.File = INVALID_ID;
  T.Height = T.Width = 0;
  T.LineSize = T.Supported = T.PictureBits = 0;
  T.BitsPerSample = T.BytesPerPixel = T.Compression = T.Photometric = 0;
  T.ErrorSeen = T.WriteFailed = false;
  T.Text[0] = '\0';
}

// ---- loading ------------------------------------------------------------------------

// 16 when any colour-map value needs more than a byte, else 8.
int checkpal_(int Count, const uint16_t* Red, const uint16_t* Green, const uint16_t* Blue) {
  for (int i = 0; i < Count; ++i)
    if (Red[i] >= 256 || Green[i] >= 256 || Blue[i] >= 256) return 16;
  return 8;
}

void SetPalette_(const TTIFOpen_& T, TImg& Img) {
  if (T.Photometric == PHOTOMETRIC_MINISWHITE) PalGreyRampInv(Img.Palette);
  if (T.Photometric == PHOTOMETRIC_MINISBLACK) PalGreyRamp(Img.Palette);
  if (T.Photometric != PHOTOMETRIC_PALETTE) return;
  uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (!TIFFGetField(T.Handle.get(), TIFFTAG_COLORMAP, &red, &green, &blue) || !red || !green ||
      !blue) {
    TifCheck_(T, __LINE__);
    SetError(EG_IMG, 4, __LINE__);
  }
  int count = T.BitsPerSample < 9 ? 1 << T.BitsPerSample : 256;
  int shift = checkpal_(count, red, green, blue) == 16 ? 8 : 0;
  for (int i = 0; i < count; ++i) {
    Img.Palette[i][0] = static_cast<uint8_t>(blue[i] >> shift);
    Img.Palette[i][1] = static_cast<uint8_t>(green[i] >> shift);
    Img.Palette[i][2] = static_cast<uint8_t>(red[i] >> shift);
  }
}

// Takes the first (grey, index) or the first three (red, green, blue) samples
// of every pixel of a file line into a picture row, blue first; blended
// onto black by the sample AlphaAt unless that is -1.
void TakeSamples_(const uint8_t* Line, int32_t Step, int32_t Width, bool Colour, int32_t AlphaAt,
                  uint8_t* Row) {
  const auto take = [&](const uint8_t* Px, int K) {
    return AlphaAt < 0 ? Px[K] : FFOnBlack(Px[K], Px[AlphaAt]);
  };
  if (!Colour) {
    for (int32_t x = 0; x < Width; ++x) Row[x] = take(Line + static_cast<int64_t>(x) * Step, 0);
    return;
  }
  for (int32_t x = 0; x < Width; ++x, Row += 3, Line += Step) {
    Row[0] = take(Line, 2);
    Row[1] = take(Line, 1);
    Row[2] = take(Line, 0);
  }
}

void ReadRows_(TTIFOpen_& T, TImg& Img) {
  uint8_t* line = nullptr;
  _memalloc_(line, T.LineSize, __LINE__, "FF_TIF.TIFLoad.line");
  int32_t step = T.LineSize / Img.Width;
  int64_t rowBytes = static_cast<int64_t>(Img.Width) * Img.BytesPerPixel;
  for (uint32_t y = 0; y < T.Height; ++y) {
    int result = TIFFReadScanline(T.Handle.get(), line, y, 0);
    TifCheck_(T, __LINE__);
    if (result < 0) SetError(EG_IMG, 3, __LINE__);
    TakeSamples_(line, step, Img.Width, Img.BytesPerPixel == 3, T.AlphaAt, Img.Data + y * rowBytes);
  }
  MemFree(line);
}

// ---- saving -------------------------------------------------------------------------

void SetTags_(TTIFOpen_& T, const TImg& Img) {
  TIFF* tif = T.Handle.get();
  int64_t rowBytes = static_cast<int64_t>(Img.Width) * Img.BytesPerPixel;
  // Rows longer than 8 KiB still get a strip each.
  int64_t rowsPerStrip = std::max<int64_t>(1, 8192 / rowBytes);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(Img.Height));
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(Img.Width));
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, Img.BytesPerPixel);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(rowsPerStrip));
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  if (Img.BytesPerPixel == 1) {
    uint16_t red[256], green[256], blue[256];
    for (int i = 0; i < 256; ++i) {
      red[i] = static_cast<uint16_t>(Img.Palette[i][2] * 256);
      green[i] = static_cast<uint16_t>(Img.Palette[i][1] * 256);
      blue[i] = static_cast<uint16_t>(Img.Palette[i][0] * 256);
    }
    TIFFSetField(tif, TIFFTAG_COLORMAP, red, green, blue);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
  } else {
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  }
  TifCheck_(T, __LINE__);
}

void WriteRows_(TTIFOpen_& T, const TImg& Img) {
  int64_t rowBytes = static_cast<int64_t>(Img.Width) * Img.BytesPerPixel;
  uint8_t* temp = nullptr;
  if (Img.BytesPerPixel == 3) _memalloc_(temp, rowBytes, __LINE__, "FF_TIF.TIFSave.tempLine");
  for (int32_t y = 0; y < Img.Height; ++y) {
    uint8_t* row = Img.Data + y * rowBytes;
    if (temp) {
      CopySwapRB(Img.Width, temp, row);
      row = temp;
    }
    int result = TIFFWriteScanline(T.Handle.get(), row, static_cast<uint32_t>(y), 0);
    TifCheck_(T, __LINE__);
    if (result < 0) SetError(EG_IMG, 5, __LINE__);
  }
  MemFree(temp);
  int flushed = TIFFFlush(T.Handle.get());
  TifCheck_(T, __LINE__);
  if (!flushed) SetError(EG_IMG, 5, __LINE__);
}

struct TCodecName_ {
  uint32_t Code;
  const char* Name;
};

constexpr TCodecName_ kCodecNames[] = {
    {1, "Uncompressed"},
    {2, "CCITT modified Huffman RLE"},
    {3, "CCITT Group 3 fax encoding"},
    {4, "CCITT Group 4 fax encoding"},
    {5, "Variable-Length-Code LZW (Lempel-Ziv & Welch)"},
    {6, "JPEG 6.0"},
    {7, "JPEG DCT compression"},
    {8, "Deflate compression (Adobe)"},
    {32766, "NeXT 2-bit RLE"},
    {32771, "#1 w/ word alignment"},
    {32773, "Macintosh RLE (PackBits)"},
    {32809, "ThunderScan RLE"},
    {32895, "IT8 CT w/padding"},
    {32896, "IT8 Linework RLE"},
    {32897, "IT8 Monochrome picture"},
    {32898, "IT8 Binary line art"},
    {32908, "Pixar companded 10bit LZW"},
    {32909, "Pixar companded 11bit ZIP"},
    {32946, "Deflate compression (modified LZ77)"},
    {32947, "Kodak DCS encoding"},
    {34661, "ISO JBIG"},
    {34676, "SGI Log Luminance RLE"},
    {34677, "SGI Log 24-bit packed"},
};

}  // namespace

// ---- public operations ------------------------------------------------------------

const char* TIFCompressionName(uint32_t Code) {
  for (const TCodecName_& c : kCodecNames)
    if (c.Code == Code) return c.Name;
  return "";
}

void TIFLoad(const std::string& FileName, TImg& Img) {
  Monitored("FF_TIF.TIFLoad", [&] {
    TImgLoadGuard guard(Img);
    TTIFOpen_ tif;
    TIFOpen_(FileName, tif);
    if (!tif.Supported) SetError(EG_IMG, 1, __LINE__);
    FFCheckPictureSize(tif.Width, tif.Height, tif.PictureBits);
    int32_t width = static_cast<int32_t>(tif.Width), height = static_cast<int32_t>(tif.Height);
    _imgalloc_(Img, width, height, tif.PictureBits, __LINE__, "FF_TIF.TIFLoad.img");
    SetPalette_(tif, Img);
    ReadRows_(tif, Img);
    ImgSetDims(Img, width, height, tif.PictureBits);
    TIFClose_(tif);
  });
}

// Scanline by scanline, strips as libtiff reads them.
void TIFLoadFed(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start) {
  Monitored("FF_TIF.TIFLoadFed", [&] {
    TTIFOpen_ tif;
    TIFOpen_(FileName, tif);
    if (!tif.Supported) SetError(EG_IMG, 1, __LINE__);
    TImg pal;
    SetPalette_(tif, pal);
    FFStartFeed(Feed, Start, tif.Width, tif.Height, tif.PictureBits, &pal.Palette);
    uint8_t* line = nullptr;
    _memalloc_(line, tif.LineSize, __LINE__, "FF_TIF.TIFLoadFed.line");
    const int32_t width = static_cast<int32_t>(tif.Width);
    for (uint32_t y = 0; y < tif.Height && !ImgFeedStopped(Feed); ++y) {
      const int result = TIFFReadScanline(tif.Handle.get(), line, y, 0);
      TifCheck_(tif, __LINE__);
      if (result < 0) SetError(EG_IMG, 3, __LINE__);
      TakeSamples_(line, tif.LineSize / width, width, tif.PictureBits == 24, tif.AlphaAt,
                   ImgFeedRow(Feed));
      ImgFeedPut(Feed);
    }
    MemFree(line);
    TIFClose_(tif);
    ImgFeedDone(Feed);
  });
}

void TIFSave(const std::string& FileName, TImg& Img) {
  Monitored("FF_TIF.TIFSave", [&] {
    TFFInit ffi;
    FFInit(FF_TIFF, ffi, Img);
    TTIFOpen_ tif;
    TIFCreate_(FileName, tif);
    SetTags_(tif, *ffi.Img);
    WriteRows_(tif, *ffi.Img);
    TIFClose_(tif);
    FFDone(ffi);
  });
}

void TIFInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("FF_TIF.TIFInfo", [&] {
    TTIFOpen_ tif;
    TIFOpen_(FileName, tif);
    Info.Width = static_cast<int32_t>(std::min<uint32_t>(tif.Width, INT32_MAX));
    Info.Height = static_cast<int32_t>(std::min<uint32_t>(tif.Height, INT32_MAX));
    Info.BitsPerPixel = tif.BitsPerSample * tif.BytesPerPixel;
    Info.BytesPerPixel = (Info.BitsPerPixel + 7) / 8;
    Info.FrameCount = 1;
    Info.VideoCompression = TIFCompressionName(tif.Compression);
    Info.VideoValid = tif.Width > 0 ? -1 : 0;
    Info.VideoLoadable = tif.Supported;
    Info.Orientation = tif.Orientation >= 1 && tif.Orientation <= 8 ? tif.Orientation : 1;
    Info.FileSize = FFClampSize(FSize(tif.File));
    TIFClose_(tif);
  });
}

}  // namespace kvo
