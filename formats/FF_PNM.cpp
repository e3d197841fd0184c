// SPDX-License-Identifier: GPL-3.0-or-later
// PNM reader and writer.
//
// Header: the magic number, then width, height and (but for bitmaps) the
// maximum value, separated by white space (TAB, LF, CR, space). A comment
// runs from "#" to the end of its line and counts as that line end, so it
// separates tokens wherever it stands, even right after one. Numbers are
// read digit by digit without a sign; a stray character gives a number far
// outside the sizes taken, so such headers end up refused by the checks.
//
// Loadable: "P2", "P3", "P5" and "P6" of 4 to 4096 pixels in each direction
// with a maximum value of 1 to 255 (anything else is "Image format not
// supported.", EG_IMG 1): larger maximum values need two bytes a sample,
// which this reader does not take, and 0 is no scale at all. The bitmaps
// "P1" and "P4" are recognised with their size but not loadable; other
// magic numbers ("P7") are not anymaps of ours and report no size.
//
// Binary pixels start after the single white-space character that ends the
// maximum value, so a first pixel byte that looks like white space is kept.
// The end of the file before a token is "Image data corrupted." (EG_IMG 9);
// after one it ends the token, so text files need no final line end.
// Pixel data shorter than the picture is refused before anything is
// allocated: binary as "Cannot read from file." (EG_FILE 3), text (which
// needs two characters a sample) as EG_IMG 9.
#include "formats/FF_PNM.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/FFLib.h"

namespace kvo {

namespace {

constexpr int kBufSize = 4096;
constexpr int kMagicLimit = 2;
constexpr int kTokenLimit = 511;
constexpr uint32_t kMinSide = 4;
constexpr uint32_t kMaxSide = 4096;
constexpr uint32_t kMaxValue = 255;

// The open file, its header and the character reader's state.
struct TPNMFile {
  int32_t Handle = 0;
  int32_t Ascii = 0;
  int32_t Supported = 0;
  int32_t Feedable = 0;  // Supported but for the largest side: rows go to a feed
  uint32_t Width = 0, Height = 0, MaxValue = 0;
  int32_t BytesPerPixel = 0;
  int32_t BitsPerPixel = 0;  // 8 for grey, 24 for colour, 0 otherwise
  int32_t Shift = 0;
  int64_t FileSize = 0;
  uint8_t Buf[kBufSize] = {};
  int32_t BufLen = 0, BufPos = 0;
  int64_t Consumed = 0;  // characters taken since the open: the header length
};

// Refills the buffer; false at the end of the file.
bool PNMReadBuf_(TPNMFile& F) {
  int64_t got = 0;
  FReadPart(F.Handle, F.Buf, kBufSize, got);
  F.BufLen = static_cast<int32_t>(got);
  F.BufPos = 0;
  return got > 0;
}

// The next character, or -1 at the end of the file.
int PnmRawChar_(TPNMFile& F) {
  if (F.BufPos >= F.BufLen && !PNMReadBuf_(F)) return -1;
  ++F.Consumed;
  return F.Buf[F.BufPos++];
}

// The same, with a comment standing for the line end that closes it.
int PnmChar_(TPNMFile& F) {
  int ch = PnmRawChar_(F);
  if (ch != '#') return ch;
  do ch = PnmRawChar_(F);
  while (ch != '\n' && ch != '\r' && ch != -1);
  return ch;
}

bool PnmSpace_(int Ch) { return Ch == ' ' || Ch == '\t' || Ch == '\n' || Ch == '\r'; }

// Skips white space, then collects at most Limit characters into Text and
// returns how many (at least one). The white-space character that ends a
// token is consumed; one cut by the limit leaves the next character.
int PnmToken_(TPNMFile& F, char* Text, int Limit) {
  int ch = 0;
  do ch = PnmChar_(F);
  while (PnmSpace_(ch));
  if (ch == -1) {
    SetError(EG_IMG, 9, __LINE__);
    return 0;
  }
  int n = 0;
  Text[n++] = static_cast<char>(ch);
  while (n < Limit) {
    ch = PnmChar_(F);
    if (ch == -1 || PnmSpace_(ch)) break;
    Text[n++] = static_cast<char>(ch);
  }
  return n;
}

// Digit by digit, in unsigned 32-bit arithmetic (which wraps).
uint32_t PnmNumber_(TPNMFile& F) {
  char text[kTokenLimit];
  const int n = PnmToken_(F, text, kTokenLimit);
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = v * 10 + static_cast<uint32_t>(text[i] - '0');
  return v;
}

// Whether the file holds, after the header, what N samples need at least
// (two characters a sample in text).
bool PnmHasData_(const TPNMFile& F, int64_t N) {
  const int64_t left = F.FileSize - F.Consumed;
  return F.Ascii ? (left + 1) / 2 >= N : left >= N;  // left >= 2N - 1, without overflow
}

void PNMOpen_(TPNMFile& F, const std::string& FileName) {
  Monitored("FF_PNM.PNMOpen_", [&] {
    FOpen(F.Handle, FileName, FM_READ);
    F.FileSize = FSize(F.Handle);
    char magic[kMagicLimit] = {};
    const int n = PnmToken_(F, magic, kMagicLimit);
    if (magic[0] != 'P') SetError(EG_IMG, 2, __LINE__);
    const char kind = n > 1 ? magic[1] : '\0';
    const bool bitmap = kind == '1' || kind == '4';
    F.Ascii = (kind == '1' || kind == '2' || kind == '3') ? -1 : 0;
    F.BitsPerPixel = (kind == '2' || kind == '5') ? 8 : (kind == '3' || kind == '6') ? 24 : 0;
    if (F.BitsPerPixel != 0 || bitmap) {
      F.Width = PnmNumber_(F);
      F.Height = PnmNumber_(F);
    }
    if (F.BitsPerPixel != 0) {
      F.MaxValue = PnmNumber_(F);
      F.Shift = PNMShift_(F.MaxValue);
    }
    F.BytesPerPixel = (F.BitsPerPixel + 7) / 8;
    const bool sizeOk =
        F.Width >= kMinSide && F.Width <= kMaxSide && F.Height >= kMinSide && F.Height <= kMaxSide;
    const bool samplesOk = F.BytesPerPixel >= 1 && F.MaxValue >= 1 && F.MaxValue <= kMaxValue;
    F.Supported = samplesOk && sizeOk ? -1 : 0;
    // Larger pictures are read row by row, which needs their data in the file.
    int64_t samples = 0;
    const bool dataOk =
        CheckedMul3(F.Width, F.Height, F.BytesPerPixel, samples) && PnmHasData_(F, samples);
    const bool sidesOk = F.Width >= kMinSide && F.Height >= kMinSide;
    F.Feedable = F.Supported || (samplesOk && dataOk && sidesOk) ? -1 : 0;
  });
}

// N samples of binary data from where the file stands, scaled to 8 bits.
void PnmReadSamples_(TPNMFile& F, uint8_t* Out, int64_t N) {
  FRead(F.Handle, Out, N);
  if (F.Shift == 0) return;
  for (int64_t i = 0; i < N; ++i) Out[i] = static_cast<uint8_t>(Out[i] << F.Shift);
}

void PnmReadBinary_(TPNMFile& F, uint8_t* Out, int64_t N) {
  FSeek(F.Handle, F.Consumed);
  PnmReadSamples_(F, Out, N);
}

void PnmReadText_(TPNMFile& F, uint8_t* Out, int64_t N) {
  for (int64_t i = 0; i < N; ++i) Out[i] = static_cast<uint8_t>(PnmNumber_(F) << F.Shift);
}

// Pixel data shorter than the N samples of the picture is refused before
// anything is allocated.
void PnmCheckData_(const TPNMFile& F, int64_t N) {
  if (!PnmHasData_(F, N)) SetError(F.Ascii ? EG_IMG : EG_FILE, F.Ascii ? 9 : 3, __LINE__);
}

int32_t ClampToInt32_(uint32_t V) { return static_cast<int32_t>(std::min<uint32_t>(V, INT32_MAX)); }

}  // namespace

int32_t PNMShift_(uint32_t MaxValue) {
  // The top set bit of the maximum value goes to bit 7.
  for (int c = 7; c >= 0; --c)
    if ((MaxValue >> c) != 0) return 7 - c;
  return 0;
}

void PNMLoad(const std::string& FileName, TImg& Img) {
  Monitored("FF_PNM.PNMLoad", [&] {
    TImgLoadGuard guard(Img);  // a failed load leaves no stale block in Img
    TPNMFile f;
    PNMOpen_(f, FileName);
    if (!f.Supported) SetError(EG_IMG, 1, __LINE__);
    const int64_t pixels = int64_t{f.Width} * f.Height;
    const int64_t n = pixels * f.BytesPerPixel;
    PnmCheckData_(f, n);
    _imgalloc_(Img, static_cast<int32_t>(f.Width), static_cast<int32_t>(f.Height), f.BitsPerPixel,
               __LINE__, "FF_PNM.PNMLoad.img");
    if (f.Ascii)
      PnmReadText_(f, Img.Data, n);
    else
      PnmReadBinary_(f, Img.Data, n);
    if (f.BytesPerPixel == 1)
      PalGreyRamp(Img.Palette);
    else
      SwapRBInPlace(pixels, Img.Data);  // the file holds red, green, blue
    FClose(f.Handle);
  });
}

// Row by row from the file; the largest side is 2^31 - 1 here, not 4096.
void PNMLoadFed(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start) {
  Monitored("FF_PNM.PNMLoadFed", [&] {
    TPNMFile f;
    PNMOpen_(f, FileName);
    if (!f.Feedable) SetError(EG_IMG, 1, __LINE__);
    FFCheckFedSize(f.Width, f.Height, f.FileSize);
    const int64_t rowBytes = int64_t{f.Width} * f.BytesPerPixel;
    PnmCheckData_(f, rowBytes * f.Height);
    TImg pal;
    PalGreyRamp(pal.Palette);
    FFStartFeed(Feed, Start, f.Width, f.Height, f.BitsPerPixel, &pal.Palette);
    if (!f.Ascii) FSeek(f.Handle, f.Consumed);
    for (uint32_t y = 0; y < f.Height && !ImgFeedStopped(Feed); ++y) {
      uint8_t* row = ImgFeedRow(Feed);
      if (f.Ascii)
        PnmReadText_(f, row, rowBytes);
      else
        PnmReadSamples_(f, row, rowBytes);
      if (f.BytesPerPixel == 3) SwapRBInPlace(f.Width, row);  // the file holds red, green, blue
      ImgFeedPut(Feed);
    }
    FClose(f.Handle);
    ImgFeedDone(Feed);
  });
}

void PNMSave(const std::string& FileName, TImg& Img) {
  Monitored("FF_PNM.PNMSave", [&] {
    TFFInit ffi;
    FFInit(FF_PNM, ffi, Img);
    const TImg& pic = *ffi.Img;
    const int64_t rowBytes = int64_t{pic.Width} * 3;
    uint8_t* row = nullptr;
    _memalloc_(row, rowBytes, __LINE__, "FF_PNM.PNMSave.tmpdata");
    int32_t handle = 0;
    FOpen(handle, FileName, FM_CREATE);
    char head[64];
    const int headLen = std::snprintf(head, sizeof head, "P6\n%d %d\n255\n", pic.Width, pic.Height);
    FWrite(handle, head, headLen);
    for (int64_t y = 0; y < pic.Height; ++y) {
      CopySwapRB(pic.Width, row, pic.Data + y * rowBytes);
      FWrite(handle, row, rowBytes);
    }
    MemFree(row);
    FClose(handle);
    FFDone(ffi);
  });
}

void PNMInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("FF_PNM.PNMInfo", [&] {
    TPNMFile f;
    PNMOpen_(f, FileName);
    Info.FileSize = FFClampSize(f.FileSize);
    Info.Width = ClampToInt32_(f.Width);
    Info.Height = ClampToInt32_(f.Height);
    Info.BytesPerPixel = f.BytesPerPixel;
    Info.BitsPerPixel = f.BytesPerPixel * 8;
    Info.FrameCount = 1;
    Info.VideoCompression = f.Ascii ? "Ascii encoded" : "Binary encoded";
    Info.VideoValid = Info.Width > 0 ? -1 : 0;
    // Pictures beyond 4096 pixels a side are imported row by row.
    Info.VideoLoadable = f.Feedable;
    FClose(f.Handle);
  });
}

}  // namespace kvo
