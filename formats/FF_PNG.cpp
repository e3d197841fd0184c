// SPDX-License-Identifier: GPL-3.0-or-later
// PNG files through libpng.
//
// libpng reports errors by calling our error hook, which must not return:
// it keeps the message and long-jumps back to the setjmp of PngRun_, a small
// frame that holds no object with a destructor. Only there, back in C++
// frames, is the system's error raised: the library's text (EG_TEXT), or
// "Cannot read from file." when the file ended early, or "Cannot write to
// file." when the tracked layer refused bytes. The file is read and written
// through the tracked layer by the callbacks, which use the module's current
// PNG record; only one PNG is read or written at a time.
//
// Tolerated: everything libpng 1.6 accepts by default (ancillary chunks with
// bad CRCs are dropped with a warning). Grey files of 1, 2 or 4 bits keep
// their sample values as indexes; their palette spreads those few indexes
// over black to white, so the picture looks as the file means it.
#include "formats/FF_PNG.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <memory>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/FFLib.h"

namespace kvo {
namespace {

int32_t PngLevel_ = PNG_DEFAULT_COMPRESSION;

// libpng asks for a few bytes at a time (chunk headers, CRCs, the eXIf
// chunk byte by byte) and hands them over as few: reads and writes go
// through a buffer of this size.
constexpr int64_t PNG_IO_BUFFER = 65536;

struct TPngFree_ {
  bool Write = false;
  void operator()(png_struct* P) const noexcept {
    if (Write)
      png_destroy_write_struct(&P, nullptr);
    else
      png_destroy_read_struct(&P, nullptr, nullptr);
  }
};

struct TPngInfoFree_ {
  png_struct* Png = nullptr;
  void operator()(png_info* I) const noexcept { png_destroy_info_struct(Png, &I); }
};

// The open record of one PNG being read or written.
struct TPNGOpen_ {
  int32_t Handle = INVALID_ID;
  std::unique_ptr<png_struct, TPngFree_> Png;
  std::unique_ptr<png_info, TPngInfoFree_> Info;  // declared last: released first
  uint32_t Width = 0;
  uint32_t Height = 0;
  uint8_t Channels = 0;
  int32_t BitDepth = 0, ColorType = 0, Interlace = 0, Compression = 0, Filter = 0;
  uint8_t* Buf = nullptr;  // PNG_IO_BUFFER bytes, tracked: read ahead, or not yet written
  int64_t BufPos = 0, BufLen = 0;
  bool ShortRead = false;    // the file ended before libpng had its bytes
  bool WriteFailed = false;  // the tracked layer refused bytes
  char Text[FF_LIB_TEXT_MAX] = {};  // libpng's error message

  TPNGOpen_() = default;
  TPNGOpen_(const TPNGOpen_&) = delete;
  TPNGOpen_& operator=(const TPNGOpen_&) = delete;
  ~TPNGOpen_();
};

TPNGOpen_* CurPNG_ = nullptr;

TPNGOpen_::~TPNGOpen_() {
  if (CurPNG_ == this) CurPNG_ = nullptr;
}

// ---- hooks and callbacks: called from libpng's frames, never raise ----------

[[noreturn]] void error_handler_(png_structp Png, png_const_charp Msg) {
  if (CurPNG_) FFLibCopyText(CurPNG_->Text, Msg);
  png_longjmp(Png, 1);
}

void warning_handler_(png_structp, png_const_charp Msg) { FFLibWarning(Msg, __LINE__); }

// Length bytes from the buffer, refilled as needed; a request no smaller
// than the buffer is read straight into place. False when the file ends.
bool ReadBuffered_(TPNGOpen_& P, uint8_t* Data, int64_t Length) noexcept {
  while (Length > 0) {
    if (P.BufPos == P.BufLen) {
      int64_t got = 0;
      if (!P.Buf || Length >= PNG_IO_BUFFER) {
        FReadPart(P.Handle, Data, Length, got);
        return got == Length;
      }
      FReadPart(P.Handle, P.Buf, PNG_IO_BUFFER, got);
      if (got <= 0) return false;
      P.BufPos = 0;
      P.BufLen = got;
    }
    const int64_t n = std::min(Length, P.BufLen - P.BufPos);
    std::memcpy(Data, P.Buf + P.BufPos, static_cast<size_t>(n));
    P.BufPos += n;
    Data += n;
    Length -= n;
  }
  return true;
}

void read_data_(png_structp Png, png_bytep Data, size_t Length) {
  if (CurPNG_ && ReadBuffered_(*CurPNG_, Data, static_cast<int64_t>(Length))) return;
  if (CurPNG_) CurPNG_->ShortRead = true;
  png_error(Png, "Read error: the file ends early");
}

bool WriteNow_(const TPNGOpen_& P, const uint8_t* Data, int64_t Length) noexcept {
  return FFLibKept("FF_PNG.write_data_", [&] { FWrite(P.Handle, Data, Length); });
}

// Collects the bytes in the buffer; a buffer that would overflow is
// written first, and a piece no smaller than the buffer goes straight out.
bool WriteBuffered_(TPNGOpen_& P, const uint8_t* Data, int64_t Length) noexcept {
  if (!P.Buf) return WriteNow_(P, Data, Length);
  if (P.BufLen + Length > PNG_IO_BUFFER) {
    if (!WriteNow_(P, P.Buf, P.BufLen)) return false;
    P.BufLen = 0;
    if (Length >= PNG_IO_BUFFER) return WriteNow_(P, Data, Length);
  }
  std::memcpy(P.Buf + P.BufLen, Data, static_cast<size_t>(Length));
  P.BufLen += Length;
  return true;
}

void write_data_(png_structp Png, png_bytep Data, size_t Length) {
  if (CurPNG_ && WriteBuffered_(*CurPNG_, Data, static_cast<int64_t>(Length))) return;
  if (CurPNG_) CurPNG_->WriteFailed = true;
  png_error(Png, "Write error");
}

void flush_data_(png_structp) {}

// ---- protected steps ----------------------------------------------------------

using TPngStep_ = void (*)(png_structp, png_infop, void*);

// Runs one step of libpng calls under the library's error return: 0 when it
// ran through, 1 when libpng gave up. Nothing with a destructor lives here.
int PngRun_(png_structp Png, png_infop Info, TPngStep_ Step, void* Arg) {
  if (setjmp(png_jmpbuf(Png))) return 1;
  Step(Png, Info, Arg);
  return 0;
}

void PngRaise_(const TPNGOpen_& P, int Line) {
  if (P.ShortRead) SetError(EG_FILE, 3, Line);
  if (P.WriteFailed) SetError(EG_FILE, 4, Line);
  SetErrorText(EG_TEXT, P.Text, Line);
}

void PngRun(TPNGOpen_& P, TPngStep_ Step, void* Arg, int Line) {
  if (PngRun_(P.Png.get(), P.Info.get(), Step, Arg) != 0) PngRaise_(P, Line);
}

void PngGetHeader_(png_structp Png, png_infop Info, TPNGOpen_& P) {
  png_uint_32 w = 0, h = 0;
  int depth = 0, type = 0, interlace = 0, compression = 0, filter = 0;
  png_get_IHDR(Png, Info, &w, &h, &depth, &type, &interlace, &compression, &filter);
  P.Width = w;
  P.Height = h;
  P.BitDepth = depth;
  P.ColorType = type;
  P.Interlace = interlace;
  P.Compression = compression;
  P.Filter = filter;
  P.Channels = png_get_channels(Png, Info);
}

void StepReadInfo_(png_structp Png, png_infop Info, void* Arg) {
  png_read_info(Png, Info);
  PngGetHeader_(Png, Info, *static_cast<TPNGOpen_*>(Arg));
}

// 8 bits per sample, no alpha, one byte per grey or palette pixel, and blue
// first as the image record keeps it. Interlaced files are put together by
// libpng.
//
// Transparent and half-transparent pixels (an alpha channel, or tRNS) are
// blended onto black, the logo's background, in the file's own sample
// values (no gamma): round(value x alpha / 255). A palette file keeps its
// indexes; libpng blends its palette entries instead.
void StepTransforms_(png_structp Png, png_infop Info, void* Arg) {
  // File and screen gamma both taken as 1: libpng would otherwise blend in
  // linear light for a file with gAMA or sRGB, where every other reader
  // (and every painting program) blends the stored values.
  png_set_gamma(Png, 1.0, 1.0);
  png_color_16 black{};
  png_set_background(Png, &black, PNG_BACKGROUND_GAMMA_SCREEN, 0, 1.0);
  png_set_strip_16(Png);
  png_set_strip_alpha(Png);
  png_set_packing(Png);
  png_set_bgr(Png);
  png_set_interlace_handling(Png);
  png_read_update_info(Png, Info);
  PngGetHeader_(Png, Info, *static_cast<TPNGOpen_*>(Arg));
}

void StepReadImage_(png_structp Png, png_infop, void* Arg) {
  png_read_image(Png, static_cast<png_bytepp>(Arg));
}

void StepReadEnd_(png_structp Png, png_infop Info, void*) { png_read_end(Png, Info); }

// Row by row into the feed (a file without interlacing).
void StepFeedRows_(png_structp Png, png_infop Info, void* Arg) {
  auto* feed = static_cast<TImgFeed*>(Arg);
  const png_uint_32 height = png_get_image_height(Png, Info);
  for (png_uint_32 y = 0; y < height && !ImgFeedStopped(*feed); ++y) {
    png_read_row(Png, ImgFeedRow(*feed), nullptr);
    ImgFeedPut(*feed);  // never raises: it only computes
  }
}

struct TPngWriteJob_ {
  const TImg* Img = nullptr;
  png_bytep* Rows = nullptr;
  png_color Palette[256] = {};
};

void StepWrite_(png_structp Png, png_infop Info, void* Arg) {
  const auto* job = static_cast<const TPngWriteJob_*>(Arg);
  const TImg& img = *job->Img;
  bool palette = img.BytesPerPixel == 1;
  png_set_IHDR(Png, Info, static_cast<png_uint_32>(img.Width), static_cast<png_uint_32>(img.Height),
               8, palette ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (palette) png_set_PLTE(Png, Info, job->Palette, 256);
  png_write_info(Png, Info);
  png_set_bgr(Png);
  png_write_image(Png, job->Rows);
  png_write_end(Png, Info);
}

// ---- open and close -------------------------------------------------------------

void PNGOpen_(const std::string& FileName, TPNGOpen_& P) {
  Monitored("FF_PNG.PNGOpen_", [&] {
    FOpen(P.Handle, FileName, FM_READ);
    CurPNG_ = &P;
    uint8_t signature[4] = {};
    int64_t got = 0;
    FReadPart(P.Handle, signature, 4, got);
    if (got != 4 || png_sig_cmp(signature, 0, 4) != 0) SetError(EG_IMG, 2, __LINE__);
    FSeek(P.Handle, 0);
    _memalloc_(P.Buf, PNG_IO_BUFFER, __LINE__, "FF_PNG.PNGOpen_.readBuf");
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, error_handler_, warning_handler_);
    if (!png) SetError(EG_IMG, 7, __LINE__);
    P.Png = std::unique_ptr<png_struct, TPngFree_>(png, TPngFree_{false});
    png_infop info = png_create_info_struct(png);
    if (!info) SetError(EG_IMG, 7, __LINE__);  // the read structure goes with P.Png
    P.Info = std::unique_ptr<png_info, TPngInfoFree_>(info, TPngInfoFree_{png});
    png_set_read_fn(png, nullptr, read_data_);
    PngRun(P, StepReadInfo_, &P, __LINE__);
  });
}

void PNGClose_(TPNGOpen_& P) {
  P.Info.reset();
  P.Png.reset();
  FClose(P.Handle);
  MemFree(P.Buf);
  P.BufPos = P.BufLen = 0;
  if (CurPNG_ == &P) CurPNG_ = nullptr;
  P.Handle = INVALID_ID;
  P.Width = P.Height = 0;
  P.Channels = 0;
  P.BitDepth = P.ColorType = P.Interlace = P.Compression = P.Filter = 0;
  P.ShortRead = P.WriteFailed = false;
  P.Text[0] = '\0';
}

// ---- load steps -----------------------------------------------------------------

// The depth of the picture libpng now delivers; anything but whole bytes of
// one or three samples would not fit the image record.
int32_t PngPictureDepth_(const TPNGOpen_& P) {
  bool samplesOk = P.BitDepth == 8 && (P.Channels == 1 || P.Channels == 3);
  int64_t rowBytes = static_cast<int64_t>(png_get_rowbytes(P.Png.get(), P.Info.get()));
  if (!samplesOk || rowBytes != static_cast<int64_t>(P.Width) * P.Channels)
    SetError(EG_IMG, 1, __LINE__);
  return P.Channels * 8;
}

void PngReadRows_(TPNGOpen_& P, TImg& Img) {
  png_bytep* rows = nullptr;
  _memalloc_(rows, static_cast<int64_t>(Img.Height) * static_cast<int64_t>(sizeof(png_bytep)),
             __LINE__, "FF_PNG.PNGLoad.rows");
  int64_t rowBytes = static_cast<int64_t>(Img.Width) * Img.BytesPerPixel;
  for (int32_t y = 0; y < Img.Height; ++y) rows[y] = Img.Data + y * rowBytes;
  PngRun(P, StepReadImage_, rows, __LINE__);
  MemFree(rows);
}

void PngSetPalette_(const TPNGOpen_& P, int32_t FileDepth, TImg& Img) {
  if (P.ColorType == PNG_COLOR_TYPE_GRAY) {
    png_color ramp[256];
    png_build_grayscale_palette(8, ramp);
    // Samples of fewer bits stay small indexes; their entries span the
    // whole grey scale (libpng builds 2, 4 or 16 entries here).
    if (FileDepth < 8) png_build_grayscale_palette(FileDepth, ramp);
    for (int i = 0; i < 256; ++i)
      Img.Palette[i][0] = Img.Palette[i][1] = Img.Palette[i][2] = ramp[i].red;
  } else if (P.ColorType == PNG_COLOR_TYPE_PALETTE) {
    png_colorp entries = nullptr;
    int count = 0;
    if (!png_get_PLTE(P.Png.get(), P.Info.get(), &entries, &count) || !entries) return;
    for (int i = 0; i < count && i < 256; ++i) {
      Img.Palette[i][0] = entries[i].blue;
      Img.Palette[i][1] = entries[i].green;
      Img.Palette[i][2] = entries[i].red;
    }
  }
}

// ---- save steps -----------------------------------------------------------------

void PngCreateWrite_(TPNGOpen_& P) {
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, error_handler_, warning_handler_);
  if (!png) SetError(EG_IMG, 7, __LINE__);
  P.Png = std::unique_ptr<png_struct, TPngFree_>(png, TPngFree_{true});
  png_infop info = png_create_info_struct(png);
  if (!info) SetError(EG_IMG, 7, __LINE__);  // the write structure goes with P.Png
  P.Info = std::unique_ptr<png_info, TPngInfoFree_>(info, TPngInfoFree_{png});
  png_set_compression_level(png, PngLevel_);
  png_set_write_fn(png, nullptr, write_data_, flush_data_);
  _memalloc_(P.Buf, PNG_IO_BUFFER, __LINE__, "FF_PNG.PNGSave.writeBuf");
}

void PngWritePicture_(TPNGOpen_& P, const TImg& Img) {
  TPngWriteJob_ job;
  job.Img = &Img;
  for (int i = 0; i < 256; ++i)
    job.Palette[i] = png_color{Img.Palette[i][2], Img.Palette[i][1], Img.Palette[i][0]};
  _memalloc_(job.Rows, static_cast<int64_t>(Img.Height) * static_cast<int64_t>(sizeof(png_bytep)),
             __LINE__, "FF_PNG.PNGSave.rows");
  int64_t rowBytes = static_cast<int64_t>(Img.Width) * Img.BytesPerPixel;
  for (int32_t y = 0; y < Img.Height; ++y) job.Rows[y] = Img.Data + y * rowBytes;
  PngRun(P, StepWrite_, &job, __LINE__);
  MemFree(job.Rows);
}

}  // namespace

// ---- public operations ------------------------------------------------------------

void PNGLoad(const std::string& FileName, TImg& Img) {
  Monitored("FF_PNG.PNGLoad", [&] {
    TImgLoadGuard guard(Img);
    TPNGOpen_ png;
    PNGOpen_(FileName, png);
    int32_t fileDepth = png.BitDepth;
    PngRun(png, StepTransforms_, &png, __LINE__);
    int32_t bitsPerPixel = PngPictureDepth_(png);
    int32_t width = static_cast<int32_t>(png.Width), height = static_cast<int32_t>(png.Height);
    FFCheckPictureSize(png.Width, png.Height, bitsPerPixel);
    _imgalloc_(Img, width, height, bitsPerPixel, __LINE__, "FF_PNG.PNGLoad.img");
    PngReadRows_(png, Img);
    PngSetPalette_(png, fileDepth, Img);
    ImgSetDims(Img, width, height, bitsPerPixel);
    PngRun(png, StepReadEnd_, nullptr, __LINE__);
    PNGClose_(png);
  });
}

// The rows go to the feed as libpng delivers them. Interlaced files come
// together only after the last pass, so they are read whole first.
void PNGLoadFed(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start) {
  Monitored("FF_PNG.PNGLoadFed", [&] {
    TPNGOpen_ png;
    PNGOpen_(FileName, png);
    int32_t fileDepth = png.BitDepth;
    PngRun(png, StepTransforms_, &png, __LINE__);
    int32_t bitsPerPixel = PngPictureDepth_(png);
    // An interlaced file comes together only after its last pass: it is
    // held whole, up to FF_MAX_HELD_BYTES.
    if (png.Interlace != PNG_INTERLACE_NONE)
      FFCheckHeldBytes(png.Width, png.Height, int64_t{png.Width} * png.Height * png.Channels);
    TImg pal;
    PngSetPalette_(png, fileDepth, pal);
    FFStartFeed(Feed, Start, png.Width, png.Height, bitsPerPixel, &pal.Palette);
    if (png.Interlace == PNG_INTERLACE_NONE) {
      PngRun(png, StepFeedRows_, &Feed, __LINE__);
    } else {
      TImg whole;
      _imgalloc_(whole, static_cast<int32_t>(png.Width), static_cast<int32_t>(png.Height),
                 bitsPerPixel, __LINE__, "FF_PNG.PNGLoadFed.whole");
      PngReadRows_(png, whole);
      const int64_t rowBytes = static_cast<int64_t>(whole.Width) * whole.BytesPerPixel;
      for (int32_t y = 0; y < whole.Height; ++y) ImgFeedPutRow(Feed, whole.Data + y * rowBytes);
      ImgFree(whole);
    }
    if (!ImgFeedStopped(Feed)) PngRun(png, StepReadEnd_, nullptr, __LINE__);
    PNGClose_(png);
    ImgFeedDone(Feed);
  });
}

void PNGSave(const std::string& FileName, TImg& Img) { PNGSaveTail(FileName, Img, {}); }

void PNGSaveTail(const std::string& FileName, TImg& Img, std::string_view Tail) {
  Monitored("FF_PNG.PNGSave", [&] {
    TFFInit ffi;
    FFInit(FF_PNG, ffi, Img);
    TPNGOpen_ png;
    FOpen(png.Handle, FileName, FM_CREATE);
    CurPNG_ = &png;
    PngCreateWrite_(png);
    PngWritePicture_(png, *ffi.Img);
    FWrite(png.Handle, png.Buf, png.BufLen);  // what the buffer still holds
    FWrite(png.Handle, Tail.data(), static_cast<int64_t>(Tail.size()));
    PNGClose_(png);
    FFDone(ffi);
  });
}

void PNGInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("FF_PNG.PNGInfo", [&] {
    TPNGOpen_ png;
    PNGOpen_(FileName, png);
    Info.FileSize = FFClampSize(FSize(png.Handle));
    Info.Width = static_cast<int32_t>(png.Width);
    Info.Height = static_cast<int32_t>(png.Height);
    Info.BitsPerPixel = png.BitDepth * png.Channels;
    Info.BytesPerPixel = (Info.BitsPerPixel + 7) / 8;
    Info.FrameCount = 1;
    Info.VideoCompression = "Deflate compression (modified LZ77)";
    Info.VideoValid = Info.VideoLoadable = Info.Width > 0 ? -1 : 0;
    PNGClose_(png);
  });
}

int32_t PNGSetCompression(int32_t Level) {
  if (Level != INVALID_ID) PngLevel_ = Limit(Level, 0, 9);
  return PngLevel_;
}

}  // namespace kvo
