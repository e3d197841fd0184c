// SPDX-License-Identifier: GPL-3.0-or-later
// Zsoft PCX: 8-bit pictures with their 768-byte palette, and 24-bit
// pictures stored as three 8-bit planes, run-length encoded.
#pragma once

#include <string>

#include "formats/FF_BMP.h"

namespace kvo {

void PCXOpen_(TImgFile& Imgf, const std::string& FileName);
void PCXInfo(const std::string& FileName, TFileInfo& Info);
void PCXLoad_(const std::string& FileName, TImg& Img);
// Writes a version 5 PCX: 8-bit pictures as one plane with the palette at
// the end, every other depth as three planes (red, green, blue).
void PCXSave_(const std::string& FileName, TImg& Img);
// The picture's rows to a feed as the file holds them (TFFFeedProc).
void PCXLoadFed_(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start);

// Decodes Imgf.Height scan lines of the run-length data (the first Size
// bytes of Imgf.CmpsData), each Planes x LineBytes bytes, and keeps the first
// Width bytes of each plane line: one row of Img after another, the planes
// of a row one after the other. Data that ends early is EG_IMG 3.
void PCXunCmps_(const TImgFile& Imgf, int64_t Size, int32_t Planes, TImg& Img);
// Turns each row's red, green and blue plane lines into 3-byte pixels
// stored blue, green, red.
void PCX24Fix_(TImg& Img);

}  // namespace kvo
