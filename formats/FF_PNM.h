// SPDX-License-Identifier: GPL-3.0-or-later
// Portable anymaps (.pnm, .ppm, .pgm): grey and colour, text ("P2", "P3")
// and binary ("P5", "P6"), samples of at most 8 bits. Pictures are written
// as binary "P6".
#pragma once

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

namespace kvo {

// Grey files load as 8 bits with a grey palette, colour files as 24 bits.
// Samples are scaled to 8 bits by a left shift: the shift that brings the
// maximum value's top bit to bit 7 (15 becomes 240, 1 becomes 128).
void PNMLoad(const std::string& FileName, TImg& Img);
// Writes "P6", LF, width, space, height, LF, "255", LF, then the pixels
// red, green, blue.
void PNMSave(const std::string& FileName, TImg& Img);
void PNMInfo(const std::string& FileName, TFileInfo& Info);
// The picture's rows to a feed (TFFFeedProc); sides of 4 pixels or more.
void PNMLoadFed(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start);

// The left shift that scales samples of the given maximum value to 8 bits.
int32_t PNMShift_(uint32_t MaxValue);

}  // namespace kvo
