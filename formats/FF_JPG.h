// SPDX-License-Identifier: GPL-3.0-or-later
// JPEG files through libjpeg(-turbo), behind the three routines the format
// layer has always called.
#pragma once

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"

namespace kvo {

// The quality every JPEG is written with.
inline constexpr int32_t JPEG_QUALITY = 85;

// Grey files load as 8-bit pictures with the grey ramp, colour files (also
// CMYK ones, converted) as 24-bit pictures.
void JPGLoad(const std::string& FileName, TImg& Img);
// The same picture row by row into a feed that Start sets up (see
// TImgFeedStarter), finished with ImgFeedDone: a large photograph is never
// held whole.
void JPGLoadFed(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start);
void JPGSave(const std::string& FileName, TImg& Img);
void JPGInfo(const std::string& FileName, TFileInfo& Info);

// ---- the JPEG routines -------------------------------------------------------------
// Each returns 0 on success and any other value on failure; none raises.
// Pixels are rows top first without padding, colour pixels blue, green, red.

// The size of the picture and its components: 1 (grey) or 3 (colour).
int32_t info_JPEG_file(const char* FileName, int32_t* Width, int32_t* Height,
                       int32_t* Components);
// Decodes the picture into Pixels. On entry the three values describe the
// buffer (as info_JPEG_file gave them); a file that does not match them
// fails. On return they are set from the file again.
int32_t read_JPEG_file(const char* FileName, uint8_t* Pixels, int32_t* Width, int32_t* Height,
                       int32_t* Components);
// Writes 24-bit pixels as a JFIF file with the given quality (0..100).
int32_t write_JPEG_file(const char* FileName, const uint8_t* Pixels, int32_t Width,
                        int32_t Height, int32_t Quality);

}  // namespace kvo
