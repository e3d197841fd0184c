// SPDX-License-Identifier: GPL-3.0-or-later
// PNG files through libpng: every stored picture of the program is one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "formats/FFBasic.h"

namespace kvo {

inline constexpr int32_t PNG_DEFAULT_COMPRESSION = 6;

// Reads a PNG as an 8-bit (grey or palette) or 24-bit picture: 16-bit
// samples lose their low byte, alpha is dropped, samples of fewer than 8
// bits become one byte each.
void PNGLoad(const std::string& FileName, TImg& Img);
// The same picture row by row into a feed that Start sets up (see
// TImgFeedStarter), finished with ImgFeedDone.
void PNGLoadFed(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start);
// Writes an 8-bit picture as a palette PNG with 256 entries, any other depth
// as 24-bit RGB, at the compression level of PNGSetCompression.
void PNGSave(const std::string& FileName, TImg& Img);
// PNGSave with Tail written after the PNG stream, in the same replacement of
// the file (the marks trailer of a stored picture).
void PNGSaveTail(const std::string& FileName, TImg& Img, std::string_view Tail);
void PNGInfo(const std::string& FileName, TFileInfo& Info);

// Sets the zlib level of later saves, clamped to 0..9; given INVALID_ID it
// only reports. Returns the level in force.
int32_t PNGSetCompression(int32_t Level);

}  // namespace kvo
