// SPDX-License-Identifier: GPL-3.0-or-later
// The body shared by the fuzz targets of the still-picture readers: the
// bytes go to a file (the readers read files), the loader and the info
// function run on it, and the invariants are checked after each.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/Basic.h"
#include "base/Errors.h"
#include "fuzz/FuzzSupport.h"
#include "formats/ConForm.h"
#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

namespace kvo::fuzz {

// Reads every pixel byte, so a block shorter than its picture shows under
// AddressSanitizer.
inline uint32_t TouchPixels(const TImg& Img) {
  uint32_t sum = 0;
  const int64_t n = int64_t{Img.Width} * Img.Height * Img.BytesPerPixel;
  for (int64_t i = 0; i < n; ++i) sum += Img.Data[i];
  return sum;
}

// Runs the format's reader through the entry points the program uses
// (ImgLoad and FFInfo, with the format named, so no extension decides).
inline int RunReader(const uint8_t* Data, size_t Size, const char* Ext, int32_t FormatId) {
  const std::string path = InputPath(Ext);
  Check(WriteInput(path, Data, Size), "the input file is written whole");
  const int mem = MemCount(), files = FCount();

  TImg img;
  MonitoredKeep("fuzz.Load", [&] { ImgLoad(path, img, FormatId); });
  const bool loaded = NoError();
  ClearError();
  if (loaded) {
    Check(img.Width > 0 && img.Height > 0, "a loaded picture has pixels");
    Check(ImgIsValid(img), "a loaded picture holds a tracked block");
    const int b = img.BitsPerPixel;
    Check(b == 8 || b == 15 || b == 16 || b == 24 || b == 32, "a loaded picture has a readers' depth");
    Check(img.BytesPerPixel == (b + 7) / 8, "bytes per pixel follow the depth");
    Check(int64_t{img.Width} * img.Height * img.BytesPerPixel <= img.Size,
          "the block holds the whole picture");
    volatile uint32_t sum = TouchPixels(img);
    (void)sum;
  } else {
    Check(img.Data == nullptr, "a failed load leaves no block in the picture");
  }
  ImgFree(img);
  Check(MemCount() == mem && FCount() == files, "a load leaves no block or file behind");

  TFileInfo info;
  MonitoredKeep("fuzz.Info", [&] { FFInfo(path, FormatId, info); });
  const bool described = NoError();
  ClearError();
  Check(MemCount() == mem && FCount() == files, "a description leaves no block or file behind");
  if (loaded) {
    Check(described, "a file that loads can be described");
    Check(info.VideoValid && info.VideoLoadable, "a file that loads is valid and loadable");
  }
  Check(MonDepth() == 0, "every monitor frame is popped");
  Check(info.FormatId == FormatId || !described, "the description names the format");
  return 0;
}

}  // namespace kvo::fuzz
