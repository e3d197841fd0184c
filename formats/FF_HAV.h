// SPDX-License-Identifier: GPL-3.0-or-later
// HAV movies, the system's own compressed movie format: a header, a page
// table that finds any frame without scanning, and frames made of palette
// and image records. An image record packs the picture in horizontal
// strips, each with one of two bit-stream codecs ("BEST" and "FAST"),
// optionally over per-strip prediction ("BEST-P"). Bytes a frame does not
// write keep the previous frame's content, so frames depend on their
// predecessors back to the last key frame.
#pragma once

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

namespace kvo {

struct TMviReader;

inline constexpr char HAV_SIGNATURE[4] = {'H', 'A', 'V', 0x1A};
inline constexpr int32_t HAV_VERSION = 97;
inline constexpr int HAV_HEADER_BYTES = 64;  // the fields the reader uses
inline constexpr int HAV_PAGES = 256;        // entries of the page table
inline constexpr int HAV_PAGE_ENTRIES = 256;  // frame entries of one page
inline constexpr int HAV_ENTRY_BYTES = 12;
inline constexpr int HAV_PAGE_BYTES = HAV_PAGE_ENTRIES * HAV_ENTRY_BYTES;
inline constexpr int32_t HAV_MAX_FRAMES = HAV_PAGES * HAV_PAGE_ENTRIES;
// A frame's data is read into a buffer of the picture's bytes and this much
// more (headers, palettes, codec overhead).
inline constexpr int64_t HAV_FRAME_SLACK = 8192;
inline constexpr int HAV_FRAME_HEADER = 16;
inline constexpr int HAV_RECORD_HEADER = 16;
inline constexpr int HAV_STRIP_DESC = 20;
inline constexpr int HAV_MATCHES = 1024;  // entries of a strip's match table

// Mode bits.
inline constexpr int32_t HAV_MODE_FAST = 1;     // strips use the fast codec
inline constexpr int32_t HAV_MODE_PREDICT = 2;  // strips hold residuals

// Record types.
inline constexpr uint32_t HAV_REC_PALETTE = 2;
inline constexpr uint32_t HAV_REC_IMAGE = 4;

// Flag bit of a frame entry.
inline constexpr uint32_t HAV_FRAME_PALETTE = 1;

struct THAVEntry {
  uint32_t Offset = 0;  // of the frame data in the file
  uint32_t Size = 0;    // bytes of the frame's first read
  uint32_t Flags = 0;
};

// One open HAV file. Plain data: the movie layer keeps it in a zero-filled
// tracked block and reads FrameCount, CurFrame and PalChanged directly.
struct THAVFile {
  int32_t Handle = 0;
  // The header's fields.
  int32_t HeaderSize = 0;
  int32_t Version = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPerPixel = 0;
  int32_t Mode = 0;
  int32_t FrameCount = 0;
  int32_t KeyFrameInterval = 0;  // 0: only the first frame is a key frame
  double FramesPerSecond = 0;    // 0 when the header's value is not a positive number
  int32_t AudioFlags = 0;
  int32_t AudioRate = 0;
  int32_t AudioLength = 0;
  uint32_t PageTable[HAV_PAGES] = {};
  THAVEntry Page[HAV_PAGE_ENTRIES] = {};  // the cached page
  int32_t PageNo = -1;                    // its number, -1 for none
  int32_t CurFrame = 0;                   // frames decoded, 1-based; 0 before the first
  int64_t FrameBytes = 0;                 // Width x Height x BytesPerPixel
  int32_t FileSize = 0;                   // as the descriptions hold it
  int64_t FileBytes = 0;                  // what the checks measure against
  int32_t BitsPerPixel = 0;
  int32_t Prediction = 0;          // mode bit 1, as a flag
  uint8_t* PredictImg = nullptr;   // residuals of the last frame (tracked), prediction only
  int32_t PalChanged = 0;          // the last load brought a palette
  TWaveFormatEx AudioFormat;       // PCM as the header describes it
};

// Opens and checks the header: a wrong signature is EG_MVI 1, a version
// other than 97 EG_MVI 5; a header, page table or picture the reader cannot
// take is EG_MVI 1 (EG_MVI 5 for pixels other than 1, 2 or 3 bytes), a
// picture beyond the readers' limit EG_IMG 1.
void HAVOpen(THAVFile& F, const std::string& FileName);
// Decodes frame CurFrame + 1 into Img on top of what Img holds (the first
// frame starts from black). Past the last frame: EG_HAV 1. Any fault of
// the frame's tables, records or strips: EG_MVI 3.
void HAVImgLoadNext(THAVFile& F, TImg& Img);
// Brings Img to frame FrameNo (1-based, 0 the next one); Flags bit 0: Img
// still holds the frame last decoded from this file. Decoding starts at the
// key frame before FrameNo. FrameNo outside 0..FrameCount: EG_MVI 1.
void HAVImgLoad(THAVFile& F, TImg& Img, int32_t FrameNo, int32_t Flags);
// Looks from frame From back to frame To for the nearest frame that carries
// a palette and loads it into Palette; -1 when one was loaded, else 0.
int32_t HAVGetPal(THAVFile& F, TPalette& Palette, int32_t From, int32_t To);
// The key frame to start from for frame Frame: Direction -1 looks at the
// frame before, any other value at the frame Interval - 1 later.
int32_t HAVNearestKeyFrame(const THAVFile& F, int32_t Frame, int32_t Direction);
// Makes the page that holds frame Frame the cached one.
void HAVUpdateVP_(THAVFile& F, int32_t Frame);
void HAVClose(THAVFile& F);
void HAVInfo(const std::string& FileName, TFileInfo& Info);
extern const TMviReader kHavMovie;

}  // namespace kvo
