// SPDX-License-Identifier: GPL-3.0-or-later
// Autodesk FLIC movies (FLI, magic AF11, and FLC, magic AF12), read frame by
// frame into one 8-bit picture: each frame is decoded on top of the one
// before, so the target carries the picture from frame to frame.
#pragma once

#include <cstdint>
#include <string>

#include "formats/ByteCursor.h"
#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

namespace kvo {

struct TMviReader;

inline constexpr int FLC_HEADER_BYTES = 128;

// Chunk types the reader decodes.
inline constexpr int32_t FLC_COLOR_256 = 4;   // palette, 8 bits a component
inline constexpr int32_t FLC_DELTA_FLC = 7;   // word-oriented delta
inline constexpr int32_t FLC_COLOR_64 = 11;   // palette, 6 bits a component
inline constexpr int32_t FLC_DELTA_FLI = 12;  // byte-oriented delta
inline constexpr int32_t FLC_BLACK = 13;
inline constexpr int32_t FLC_BYTE_RUN = 15;
inline constexpr int32_t FLC_COPY = 16;
inline constexpr int32_t FLC_FRAME = 0xF1FA;

// One open FLIC file. Plain data: the movie layer keeps it in a zero-filled
// tracked block and reads Width, Height, BytesPerPixel, BitsPerPixel,
// FrameCount, FrameRate, CurFrame and PalChunk directly.
struct TFLCFile {
  uint8_t Header[FLC_HEADER_BYTES] = {};  // the file header as read
  // Its fields, little-endian in the file.
  uint32_t HeaderSize = 0;  // the file size the header claims
  int32_t Magic = 0;        // 0xAF11 FLI, 0xAF12 FLC
  int32_t FrameCount = 0;   // not counting the closing ring frame
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Depth = 0;
  int32_t Flags = 0;
  uint32_t Speed = 0;  // ms a frame (FLC) or 1/70 s a frame (FLI), by the extension
  int32_t BytesPerPixel = 0;
  int32_t BitsPerPixel = 0;
  int32_t Handle = 0;
  int32_t CurFrame = 0;    // frames decoded so far
  int64_t PixelCount = 0;  // Width x Height
  int32_t FileSize = 0;
  int32_t PalChanged = 0;  // the last frame changed the palette
  int32_t PalChunk = 0;    // the frame just decoded had a palette chunk
  double FrameRate = 0;    // frames per second, to one decimal
  int64_t NextPos = 0;     // where the search for the next frame starts
};

void FLCOpen(TFLCFile& F, const std::string& FileName);
// Decodes frame CurFrame + 1 into Img. Past the last frame: EG_FLIC 1.
void FLCLoadNext(TFLCFile& F, TImg& Img);
// Brings Img to frame FrameNo (1-based, 0 the next one); Flags bit 0: Img
// still holds the frame last decoded from this file. Outside 0..FrameCount:
// EG_MVI 1. Going back rewinds and decodes from the first frame.
void FLCLoad(TFLCFile& F, TImg& Img, int32_t FrameNo, int32_t Flags);
void FLCRewind(TFLCFile& F);
void FLCClose(TFLCFile& F);
void FLCInfo(const std::string& FileName, TFileInfo& Info);
extern const TMviReader kFlcMovie;

// ---- chunk decoders, for the tests --------------------------------------------------

// A palette chunk's data (type 4 or 11) into Palette (blue, green, red).
// Packets reaching past entry 255 are cut there; data that ends early ends
// the chunk.
void FLCGetPal_(TByteCursor& Data, TPalette& Palette, int32_t Type);
// A byte-run or delta chunk's data (type 15, 12 or 7) onto Img, which holds
// the previous frame. Data that ends early ends the chunk and runs are cut
// at the end of their row; a row outside the picture is EG_MVI 3.
void FLCunCmps_(TByteCursor& Data, TImg& Img, int32_t Type);

}  // namespace kvo
