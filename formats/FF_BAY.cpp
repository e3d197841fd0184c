// SPDX-License-Identifier: GPL-3.0-or-later
// Bayer raw reader.
//
// The file size is the only header: any size but the two the cameras wrote
// is "Invalid image format." (EG_IMG 2), as is a trailer without the
// signature "BAY 2". A colour mode other than 1 (colour) or 2 (monochrome)
// is "Image format not supported." (EG_IMG 1). Since the size is exact,
// every read below stays inside the file.
#include "formats/FF_BAY.h"

#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/FFLib.h"

namespace kvo {

namespace {

constexpr int64_t kTrailerHead = 12;
constexpr int64_t kRowPairBytes = 2 * BAY_WIDTH;  // width / 2 cells of 4 bytes
constexpr char kSignature[] = "BAY 2";
constexpr int kModeColour = 1;
constexpr int kModeMono = 2;

// The open file.
struct TBAYFile {
  int32_t Handle = 0;
  int32_t Colour = 0;     // flag: colour mode 1
  int32_t Supported = 0;  // flag
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPerPixel = 0;  // 3 colour, 1 monochrome, 0 otherwise
  int32_t ChannelOrder = 0;   // always 1
  int64_t FileSize = 0;
  double Shutter = 0;  // 1 / seconds, 0 when unknown
  char Camera[2] = {};
  int32_t Mode = 0;
};

// 1 / seconds of a shutter speed code; 0 when the camera or code is unknown.
double BayShutter_(const char (&Camera)[2], int Code) {
  static const double kMl[] = {30, 60, 125, 250, 500, 1000, 2000};
  static const double kEkRo[] = {250, 500, 1000};
  const bool ml = Camera[0] == 'M' && Camera[1] == 'L';
  const bool ekRo =
      (Camera[0] == 'E' && Camera[1] == 'K') || (Camera[0] == 'R' && Camera[1] == 'O');
  if (ml && Code >= 1 && Code <= 7) return kMl[Code - 1];
  if (ekRo && Code >= 1 && Code <= 3) return kEkRo[Code - 1];
  return 0;
}

void BayOpen_(TBAYFile& F, const std::string& FileName) {
  Monitored("FF_BAY.BayOpen_", [&] {
    F = TBAYFile{};
    FOpen(F.Handle, FileName, FM_READ);
    F.FileSize = FSize(F.Handle);
    F.Width = BAY_WIDTH;
    if (F.FileSize == BAY_SMALL_FILE)
      F.Height = 144;
    else if (F.FileSize == BAY_LARGE_FILE)
      F.Height = 384;
    else
      SetError(EG_IMG, 2, __LINE__);
    uint8_t head[kTrailerHead] = {};
    FSeek(F.Handle, int64_t{BAY_WIDTH} * F.Height);
    FRead(F.Handle, head, sizeof head);
    if (std::memcmp(head + 3, kSignature, 5) != 0) SetError(EG_IMG, 2, __LINE__);
    F.Camera[0] = static_cast<char>(head[0]);
    F.Camera[1] = static_cast<char>(head[1]);
    F.Shutter = BayShutter_(F.Camera, head[11]);
    F.Mode = head[8];
    F.Colour = F.Mode == kModeColour ? -1 : 0;
    F.BytesPerPixel = F.Mode == kModeColour ? 3 : F.Mode == kModeMono ? 1 : 0;
    F.Supported = F.BytesPerPixel != 0 ? -1 : 0;
    F.ChannelOrder = 1;
    FSeek(F.Handle, 0);
  });
}

// Cell bytes: green of the top row, red, blue, green of the bottom row.
void BayColourCells_(const uint8_t* Cells, TImg& Img) {
  const int64_t w = Img.Width;
  for (int64_t p = 0; p < Img.Height / 2; ++p) {
    uint8_t* top = Img.Data + 2 * p * w * 3;
    uint8_t* bottom = top + w * 3;
    for (int64_t c = 0; c < w / 2; ++c) {
      const uint8_t* cell = Cells + p * kRowPairBytes + 4 * c;
      for (int64_t k = 0; k < 2; ++k) {
        uint8_t* t = top + (2 * c + k) * 3;
        uint8_t* b = bottom + (2 * c + k) * 3;
        t[0] = b[0] = cell[2];
        t[2] = b[2] = cell[1];
        t[1] = cell[0];
        b[1] = cell[3];
      }
    }
  }
}

// Cell bytes: top left, top right, bottom left, bottom right.
void BayMonoCells_(const uint8_t* Cells, TImg& Img) {
  const int64_t w = Img.Width;
  for (int64_t p = 0; p < Img.Height / 2; ++p) {
    uint8_t* top = Img.Data + 2 * p * w;
    uint8_t* bottom = top + w;
    for (int64_t c = 0; c < w / 2; ++c) {
      const uint8_t* cell = Cells + p * kRowPairBytes + 4 * c;
      top[2 * c] = cell[0];
      top[2 * c + 1] = cell[1];
      bottom[2 * c] = cell[2];
      bottom[2 * c + 1] = cell[3];
    }
  }
  PalGreyRamp(Img.Palette);
}

std::string BayCameraName_(const char (&Camera)[2]) {
  std::string name(Camera, 2);
  return name.substr(0, name.find('\0'));
}

}  // namespace

void BayLoad(const std::string& FileName, TImg& Img) {
  Monitored("FF_BAY.BayLoad", [&] {
    TImgLoadGuard guard(Img);  // a failed load leaves no stale block in Img
    TBAYFile f;
    BayOpen_(f, FileName);
    if (!f.Supported) SetError(EG_IMG, 1, __LINE__);
    _imgalloc_(Img, f.Width, f.Height, f.BytesPerPixel * 8, __LINE__, "FF_BAY.BayLoad.img");
    const int64_t sensorBytes = int64_t{BAY_WIDTH} * f.Height;
    uint8_t* cells = nullptr;
    _memalloc_(cells, sensorBytes, __LINE__, "FF_BAY.BayLoad.cmpsData");
    FRead(f.Handle, cells, sensorBytes);
    if (f.Colour)
      BayColourCells_(cells, Img);
    else
      BayMonoCells_(cells, Img);
    MemFree(cells);
    FClose(f.Handle);
  });
}

void BayInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("FF_BAY.BayInfo", [&] {
    TBAYFile f;
    BayOpen_(f, FileName);
    Info.FileSize = FFClampSize(f.FileSize);
    Info.Width = f.Width;
    Info.Height = f.Height;
    Info.BytesPerPixel = f.BytesPerPixel;
    Info.BitsPerPixel = f.BytesPerPixel * 8;
    Info.FrameCount = 1;
    Info.FramesPerSecond = f.Shutter;
    std::string name = BayCameraName_(f.Camera);
    if (name == "EK")
      name = f.Colour ? "HRC" : "HR";
    else if (name == "ML")
      name = "HG";
    if (f.Mode == kModeMono) name += " (monochrome)";
    if (f.Mode == kModeColour) name += " (color)";
    Info.VideoCompression = FFText(name);
    Info.VideoValid = f.Width > 0 ? -1 : 0;
    Info.VideoLoadable = f.Supported;
    FClose(f.Handle);
  });
}

}  // namespace kvo
