// SPDX-License-Identifier: GPL-3.0-or-later
// The check the fuzz targets of the library-backed readers (PNG, TIFF,
// JPEG, XPM) share: the bytes go to a file, which is loaded and described.
// A load gives a valid picture of at least one pixel in 8 or 24 bits, whose
// size the description repeats, or an error; either way no block or file of
// the tracked tables stays behind.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/Basic.h"
#include "base/Errors.h"
#include "fuzz/FuzzSupport.h"
#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

namespace kvo::fuzz {

template <class Load, class Info>
int CheckLibFormat(const uint8_t* Data, size_t Size, const char* Ext, Load LoadFn, Info InfoFn) {
  const std::string path = InputPath(Ext);
  if (!WriteInput(path, Data, Size)) return 0;

  const int mem = MemCount(), files = FCount();
  TImg img;
  MonitoredKeep("fuzz.Load", [&] { LoadFn(path, img); });
  const bool loaded = NoError();
  ClearError();
  if (loaded) {
    Check(ImgIsValid(img), "a loaded picture holds a tracked block");
    Check(img.Width > 0 && img.Height > 0, "a loaded picture has pixels");
    Check(img.BitsPerPixel == 8 || img.BitsPerPixel == 24, "8 or 24 bits");
    Check(img.Size >= int64_t{img.Width} * img.Height * img.BytesPerPixel, "the block holds it");
  } else {
    Check(img.Data == nullptr || ImgIsValid(img), "a failed load keeps no released block");
  }
  const int32_t width = img.Width, height = img.Height;
  ImgFree(img);

  TFileInfo info;
  MonitoredKeep("fuzz.Info", [&] { InfoFn(path, info); });
  const bool described = NoError();
  ClearError();
  if (loaded) {
    Check(described, "a loadable file can be described");
    Check(info.Width == width && info.Height == height, "the description gives the same size");
  }
  CheckTables(mem, files);
  return 0;
}

}  // namespace kvo::fuzz
