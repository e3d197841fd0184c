// SPDX-License-Identifier: GPL-3.0-or-later
// TIFF files through libtiff.
#pragma once

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"

namespace kvo {

// Reads the first picture of a TIFF with 8-bit samples (uncompressed, LZW,
// PackBits, Deflate or JPEG, in strips): grey and palette files as 8-bit
// pictures, RGB and JPEG YCbCr files as 24-bit pictures; extra samples such
// as alpha are dropped. Other files: EG_IMG 1, "Image format not supported.".
void TIFLoad(const std::string& FileName, TImg& Img);
// Writes an 8-bit picture as a palette TIFF, any other depth as 24-bit RGB,
// uncompressed.
void TIFSave(const std::string& FileName, TImg& Img);
void TIFInfo(const std::string& FileName, TFileInfo& Info);
// The picture's rows to a feed (TFFFeedProc): files in strips.
void TIFLoadFed(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start);

// The text TIFInfo gives for a compression code; empty for unknown codes.
const char* TIFCompressionName(uint32_t Code);

}  // namespace kvo
