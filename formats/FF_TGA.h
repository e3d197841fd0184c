// SPDX-License-Identifier: GPL-3.0-or-later
// Truevision TGA: colour-mapped and true-colour pictures, plain or
// run-length encoded (image types 1, 2, 9 and 10).
#pragma once

#include <string>

#include "formats/FF_BMP.h"

namespace kvo {

void TGAOpen_(TImgFile& Imgf, const std::string& FileName);
void TGAInfo(const std::string& FileName, TFileInfo& Info);
void TGALoad_(const std::string& FileName, TImg& Img);
// Writes an uncompressed TGA: 8-bit pictures colour-mapped (type 1, 24-bit
// map), 15-bit as 16-bit true colour, every other depth as 24 bits.
void TGASave_(const std::string& FileName, TImg& Img);
// The picture's rows to a feed as the file holds them (TFFFeedProc).
void TGALoadFed_(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start);

// Run-length packets decoded in file order into Pixels (Count pixels of
// BytesPerPixel bytes), crossing rows freely; stops at the end of the data
// or of the picture.
void TGAUnRLE_(const uint8_t* Data, int64_t Size, uint8_t* Pixels, int64_t Count,
               int32_t BytesPerPixel);

}  // namespace kvo
