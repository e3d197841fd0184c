// SPDX-License-Identifier: GPL-3.0-or-later
// Logos shown moving: the palette rotation, logos composed or read for
// showing, and the animated GIF export (giflib).
#include "core/LogoPreview.h"

#include <gif_lib.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "core/Composer.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "formats/ByteCursor.h"
#include "formats/ConForm.h"
#include "formats/FFLib.h"
#include "drive/Drive.h"

namespace kvo {
namespace {

// The header of a BMP file up to the end of its information header's
// important-colours field.
constexpr int64_t BMP_HEADER_BYTES = 54;
constexpr int32_t GIF_MAX_SIDE = 65535;

// The important-colours count that makes an 8-bit BMP rotate, read from its
// header; ANIM_NONE when the header says all colours count (0 or 256 and
// above) or is not an information header of an 8-bit picture.
int32_t ReadImportantColours(const std::string& FileName) {
  uint8_t h[BMP_HEADER_BYTES];
  int32_t handle;
  FOpen(handle, FileName, FM_READ);  // a logo on a read-only drive is shown too
  const bool whole = FSize(handle) >= BMP_HEADER_BYTES;
  if (whole) FRead(handle, h, BMP_HEADER_BYTES);
  FClose(handle);
  if (!whole || h[0] != 'B' || h[1] != 'M') return ANIM_NONE;
  const uint32_t infoSize = GetU32LE(h + 14), bits = h[28] | (h[29] << 8);
  const uint32_t important = GetU32LE(h + BMP_IMPORTANT_COLORS_OFFSET);
  if (infoSize < 40 || bits != 8 || important == 0 || important >= 256) return ANIM_NONE;
  return static_cast<int32_t>(important);
}

// giflib's output: the tracked file, written without raising.
int PutGifBytes(GifFileType* Gif, const GifByteType* Bytes, int Count) {
  const int32_t handle = *static_cast<int32_t*>(Gif->UserData);
  const bool ok = FFLibKept("LogoPreview.PutGifBytes", [&] { FWrite(handle, Bytes, Count); });
  return ok ? Count : 0;
}

struct TGifCloser {
  void operator()(GifFileType* Gif) const {
    int error = 0;
    EGifCloseFile(Gif, &error);
  }
};
using TGifFile = std::unique_ptr<GifFileType, TGifCloser>;

struct TMapFreer {
  void operator()(ColorMapObject* Map) const { GifFreeMapObject(Map); }
};
using TGifMap = std::unique_ptr<ColorMapObject, TMapFreer>;

TGifMap MakeColorMap(const TPalette& Palette) {
  GifColorType colors[256];
  for (int i = 0; i < 256; ++i)
    colors[i] = GifColorType{Palette[i][2], Palette[i][1], Palette[i][0]};
  return TGifMap(GifMakeMapObject(256, colors));
}

// The NETSCAPE2.0 application extension with a loop count of 0: for ever.
bool PutLoopForever(GifFileType* Gif) {
  static const GifByteType kApp[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
  static const GifByteType kLoop[] = {1, 0, 0};
  return EGifPutExtensionLeader(Gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
         EGifPutExtensionBlock(Gif, sizeof kApp, kApp) == GIF_OK &&
         EGifPutExtensionBlock(Gif, sizeof kLoop, kLoop) == GIF_OK &&
         EGifPutExtensionTrailer(Gif) == GIF_OK;
}

// One frame: its delay, its own colour map (none: the global one) and the
// picture's rows, each pixel repeated Scale times across and down.
bool PutFrame(GifFileType* Gif, const TImg& Img, ColorMapObject* Map, int32_t Delay,
              int32_t Scale) {
  GraphicsControlBlock gcb{};
  gcb.DisposalMode = DISPOSE_DO_NOT;
  gcb.DelayTime = Delay;
  gcb.TransparentColor = NO_TRANSPARENT_COLOR;
  GifByteType ext[4];
  const size_t extLen = EGifGCBToExtension(&gcb, ext);
  const int w = Img.Width * Scale, h = Img.Height * Scale;
  if (EGifPutExtension(Gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(extLen), ext) != GIF_OK ||
      EGifPutImageDesc(Gif, 0, 0, w, h, false, Map) != GIF_OK)
    return false;
  std::vector<GifPixelType> row(static_cast<size_t>(w));
  for (int32_t y = 0; y < Img.Height; ++y) {
    const uint8_t* src = Img.Data + static_cast<int64_t>(y) * Img.Width;
    for (int x = 0; x < w; ++x) row[static_cast<size_t>(x)] = src[x / Scale];
    for (int32_t k = 0; k < Scale; ++k)
      if (EGifPutLine(Gif, row.data(), w) != GIF_OK) return false;
  }
  return true;
}

// The whole file; false at the first failure of giflib.
bool WriteGifFrames(GifFileType* Gif, const TImg& Img, int32_t Important, int32_t Delay,
                    int32_t Scale) {
  const int32_t frames = std::max(1, AnimCycleLength(Img, Important));
  TGifMap global = MakeColorMap(Img.Palette);
  EGifSetGifVersion(Gif, true);
  if (!global ||
      EGifPutScreenDesc(Gif, Img.Width * Scale, Img.Height * Scale, 8, 0, global.get()) != GIF_OK ||
      !PutLoopForever(Gif))
    return false;
  for (int32_t k = 0; k < frames; ++k) {
    // Step 0 is the global palette; every later step brings its own.
    TPalette rotated;
    RotateAnimPalette(Img.Palette, Important, k, rotated);
    TGifMap local = k == 0 ? TGifMap() : MakeColorMap(rotated);
    if ((k > 0 && !local) || !PutFrame(Gif, Img, local.get(), Delay, Scale)) return false;
  }
  return true;
}

}  // namespace

int32_t AnimStepsPerSecond() { return std::clamp(Settings().AnimSpeed, 1, ANIM_SPEED_MAX); }

int32_t AnimCycleLength(const TImg& Img, int32_t Important) {
  if (Img.BitsPerPixel != 8 || Important <= 0 || Important >= ANIM_NONE) return 0;
  return ANIM_NONE - Important;
}

void RotateAnimPalette(const TPalette& Src, int32_t Important, int32_t Step, TPalette& Dest) {
  for (int i = 0; i < 256; ++i)
    for (int c = 0; c < 3; ++c) Dest[i][c] = Src[i][c];
  if (Important <= 0 || Important >= ANIM_NONE) return;
  const int32_t n = ANIM_NONE - Important;
  const int32_t shift = ((Step % n) + n) % n;
  for (int32_t j = 0; j < n; ++j)
    for (int c = 0; c < 3; ++c) Dest[Important + j][c] = Src[Important + (j + shift) % n][c];
}

TAnimArea AnimArea(const TImg& Img, int32_t Important) {
  TAnimArea a;
  if (AnimCycleLength(Img, Important) == 0 || !Img.Data) return a;
  int32_t x0 = Img.Width, y0 = Img.Height, x1 = -1, y1 = -1;
  for (int32_t y = 0; y < Img.Height; ++y) {
    const uint8_t* row = Img.Data + static_cast<int64_t>(y) * Img.Width;
    for (int32_t x = 0; x < Img.Width; ++x) {
      if (row[x] < Important) continue;
      x0 = std::min(x0, x), x1 = std::max(x1, x);
      y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
  }
  if (x1 >= 0) a = TAnimArea{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
  return a;
}

bool ComposeStoredLogo(const std::string& StoredPath, uint32_t Position, TImg& Img,
                       int32_t& Important) {
  Important = ANIM_NONE;
  if (!LoadStoredPicture(StoredPath, Img)) return false;
  // As when Set composes: a message that cannot be drawn fails the whole.
  const int32_t important = MonitoredKeep("LogoPreview.ComposeStoredLogo",
                                          [&] { return ComposeLogo(Img, LogoRecipe(Position)); });
  if (!NoError()) {
    ClearError();
    ImgFree(Img);
    return false;
  }
  if (important != INVALID_ID) Important = important;
  return true;
}

void LoadCurrentLogo(uint32_t Position, TImg& Img, int32_t& Important) {
  Monitored("LogoPreview.LoadCurrentLogo", [&] {
    Important = ANIM_NONE;
    const std::string logo = GetLogoFile(Position);
    // Read from a private copy, taken within what a logo can be: the
    // drive's own file may be a link, a FIFO or a runaway cluster chain.
    TLocalFile local(ManagedDrive(), logo, MAX_LOGO_FILE_BYTES);
    if (local.Path().empty()) {
      SetLastFileName(logo);
      // A logo that is there but was not read (far too large) says why.
      if (ManagedDrive().FileExists(logo) && !ManagedDrive().LastError().empty())
        SetErrorText(EG_TEXT, ManagedDrive().LastError(), __LINE__);
      SetError(EG_FILE, 1, __LINE__);
    }
    ImgLoad(local.Path(), Img, FF_BMP);
    if (Img.BitsPerPixel == 8) Important = ReadImportantColours(local.Path());
  });
}

int32_t GifFrameDelay(int32_t StepsPerSecond) {
  const int32_t s = std::clamp(StepsPerSecond, 1, ANIM_SPEED_MAX);
  return (100 + s / 2) / s;
}

void SaveAnimGif(const std::string& FileName, const TImg& Img, int32_t Important,
                 int32_t StepsPerSecond, int32_t Scale) {
  Monitored("LogoPreview.SaveAnimGif", [&] {
    ImgCheck(Img, __LINE__);
    if (Img.BitsPerPixel != 8) SetError(EG_IMG, 1, __LINE__);
    if (Scale < 1 || Scale > 2 || static_cast<int64_t>(Img.Width) * Scale > GIF_MAX_SIDE ||
        static_cast<int64_t>(Img.Height) * Scale > GIF_MAX_SIDE)
      SetError(EG_GEN, 1, __LINE__);
    // A created file is written beside the target and takes its place
    // only when closed whole, so a failure leaves what was there before.
    int32_t handle = INVALID_ID;
    FOpen(handle, FileName, FM_CREATE);
    int error = 0;
    TGifFile gif(EGifOpen(&handle, PutGifBytes, &error));
    if (!gif) SetError(EG_FILE, 4, __LINE__);
    bool ok = WriteGifFrames(gif.get(), Img, Important, GifFrameDelay(StepsPerSecond), Scale);
    // Closing writes the trailer: it can fail too.
    ok = EGifCloseFile(gif.release(), &error) == GIF_OK && ok;
    if (!ok) SetError(EG_FILE, 4, __LINE__);
    FClose(handle);
  });
}

}  // namespace kvo
