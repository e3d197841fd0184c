// SPDX-License-Identifier: GPL-3.0-or-later
// Bayer raw files of early digital still cameras (.bay): a block of 2 x 2
// sensor cells, 512 pixels wide and 144 or 384 rows high, followed by a
// 1,024-byte trailer naming the camera and holding the colour mode and the
// shutter speed. Read only.
#pragma once

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

namespace kvo {

// The two file sizes there are, and the height each stands for.
inline constexpr int64_t BAY_SMALL_FILE = 74752;   // 144 rows
inline constexpr int64_t BAY_LARGE_FILE = 197632;  // 384 rows
inline constexpr int32_t BAY_WIDTH = 512;
inline constexpr int64_t BAY_TRAILER = 1024;

// Colour files load as 24 bits, every 2 x 2 block sharing the cell's red
// and blue, the top row taking the cell's first green and the bottom row
// its second. Monochrome files load as 8-bit grey.
void BayLoad(const std::string& FileName, TImg& Img);
// FramesPerSecond carries the shutter speed (1 / seconds, 0 when unknown);
// VideoCompression names the camera's mode, such as "HRC (color)".
void BayInfo(const std::string& FileName, TFileInfo& Info);

}  // namespace kvo
