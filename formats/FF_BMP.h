// SPDX-License-Identifier: GPL-3.0-or-later
// Windows bitmaps (BMP/DIB), and the file record and row helpers the three
// codecs of this module (BMP, TGA, PCX) share.
#pragma once

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

namespace kvo {

// The state of one open BMP, TGA or PCX file.
struct TImgFile {
  int32_t Handle = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPerPixel = 0;  // (stored bits + 7) div 8
  int32_t BitsPerPixel = 0;   // depth of the TImg to make: stored depth, 15 for 16
  int32_t FileSize = 0;
  int32_t PalOffset = 0;
  int32_t PalSize = 0;
  int32_t DataOffset = 0;
  uint8_t* CmpsData = nullptr;  // compressed pixel data read whole
  int32_t CmpsSize = 0;
  int32_t PalEntrySize = 0;  // TGA colour map
  int32_t PalFirst = 0;
  int32_t RowBytes = 0;    // Width * BytesPerPixel, unpadded
  int32_t TotalBytes = 0;  // RowBytes * Height
  int32_t Compressed = 0;
  int32_t DepthOK = 0;
  int32_t BottomUp = 0;
  int32_t CoreHeader = 0;   // BMP: the 12-byte header
  int32_t RightToLeft = 0;  // TGA: pixels stored right to left in each row
  int32_t AlphaBits = 0;    // TGA: alpha bits of a 32-bit pixel (its descriptor)
  int32_t LineBytes = 0;    // PCX: bytes of one plane line
};

// Sets Width, Height, BitsPerPixel, BytesPerPixel, RowBytes and TotalBytes in
// one step. Sizes that do not fit the record leave RowBytes and TotalBytes 0
// (FFCheckPictureSize refuses such a picture before anything is allocated).
void ImgFileSetGeometry_(TImgFile& Imgf, int64_t Width, int64_t Height, int32_t Bits);

// Opens Name for reading into Imgf and records the file size.
void ImgFileOpen_(TImgFile& Imgf, const std::string& FileName);
// Closes the file and releases the compressed data.
void ImgFileClose_(TImgFile& Imgf);

// Height rows of RowBytes bytes from DataOffset, each followed by Pad bytes
// in the file, stored bottom-up when BottomUp is set. Every row must be in
// the file (EG_FILE 3 before anything is read otherwise).
void Dsk2Mem_(TImgFile& Imgf, uint8_t* Pixels, int32_t Pad);
// Everything from DataOffset to the end of the file into CmpsData.
void GetCmpsData_(TImgFile& Imgf);
// The picture's rows from the last to the first, each followed by Pad zeros.
void Mem2Dsk_(TImgFile& Imgf, const TImg& Img, int32_t Pad);
// EG_FILE 3 unless Height rows of RowBytes + Pad bytes start at DataOffset.
void ImgFileCheckRows_(const TImgFile& Imgf, int32_t Pad);

// ---- BMP -------------------------------------------------------------------------

void DIBOpen_(TImgFile& Imgf, const std::string& FileName);
void DIBInfo(const std::string& FileName, TFileInfo& Info);
void DIBLoad_(const std::string& FileName, TImg& Img);
void DIBSave_(const std::string& FileName, TImg& Img);
// The picture's rows to a feed as the file holds them (TFFFeedProc).
void DIBLoadFed_(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start);
// The published 8-bit run-length scheme, decoded in file row order into a
// Width x Height block that the caller has cleared.
void DIBUnRLE8_(const uint8_t* Data, int64_t Size, uint8_t* Pixels, int32_t Width, int32_t Height);

}  // namespace kvo
