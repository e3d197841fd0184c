// SPDX-License-Identifier: GPL-3.0-or-later
// Types every file reader and writer shares: the description of a file,
// the format identifiers, the reading and writing tables with their lookups,
// and the depth preparation before a writer runs.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/Basic.h"
#include "formats/ByteCursor.h"
#include "image/IMGBasic.h"

namespace kvo {

// Format identifiers.
inline constexpr int32_t FF_TGA = 1;
inline constexpr int32_t FF_PCX = 2;
inline constexpr int32_t FF_BMP = 3;
inline constexpr int32_t FF_GIF = 4;
inline constexpr int32_t FF_FLIC = 5;
inline constexpr int32_t FF_AVI = 6;
inline constexpr int32_t FF_HAV = 7;
inline constexpr int32_t FF_JPEG = 8;
inline constexpr int32_t FF_PNG = 9;
inline constexpr int32_t FF_TIFF = 10;
inline constexpr int32_t FF_MPEG = 11;
inline constexpr int32_t FF_WAV = 12;
inline constexpr int32_t FF_SGI = 13;
inline constexpr int32_t FF_RAS = 14;
inline constexpr int32_t FF_PNM = 15;
inline constexpr int32_t FF_BAY = 16;
inline constexpr int32_t FF_XPM = 17;
inline constexpr int32_t FF_MPA = 18;
inline constexpr int32_t FF_OGG = 19;
inline constexpr int32_t FF_MAX_ID = 19;

inline constexpr size_t FF_TEXT_MAX = 255;

// The largest picture a reader allocates, in bytes of pixels. A header that
// asks for more is refused before anything is allocated (EG_IMG 12): the
// logo canvas is 320 x 400, and 256 MiB still takes an 85-megapixel
// true-colour photograph.
// The import reads larger pictures row by row (see the readers that hand
// their rows to a feed, below).
inline constexpr int64_t FF_MAX_PICTURE_BYTES = int64_t{256} << 20;

// The 18-byte WAVEFORMATEX record, field for field.
struct TWaveFormatEx {
  uint16_t wFormatTag = 0;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;
};

struct TFileInfo {
  int32_t FormatId = 0;
  int32_t FileSize = 0;
  int32_t AuxValue = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPerPixel = 0;
  int32_t BitsPerPixel = 0;
  int32_t FrameCount = 0;
  double FramesPerSecond = 0;
  std::string VideoCompression;  // at most FF_TEXT_MAX characters
  int32_t VideoValid = 0;
  int32_t VideoLoadable = 0;
  // How a camera stored the picture, as Exif numbers it: 1 upright, 2 to 8
  // mirrored or turned (ImgOrient turns it back).
  int32_t Orientation = 1;
  TWaveFormatEx AudioFormat;
  TWaveFormatEx AudioOutFormat;
  int32_t AudioLength = 0;
  std::string AudioCompression;
  int32_t AudioValid = 0;
  int32_t AudioLoadable = 0;
  std::string Description;
};

// Cuts a text to the length the description fields hold.
std::string FFText(std::string_view Text);

// A file size as the 32-bit description fields hold it (larger files are
// reported as the largest value).
int32_t FFClampSize(int64_t Size);

// ---- format tables ------------------------------------------------------------

// Flags of a format row (bits).
inline constexpr uint32_t FFF_STILL = 0x01;
inline constexpr uint32_t FFF_MOVING = 0x02;
inline constexpr uint32_t FFF_SOUND = 0x04;
inline constexpr uint32_t FFF_PICTURES = 0x08;
inline constexpr uint32_t FFF_HAS_SOUND = 0x10;

struct TFormatRow {
  int32_t Id = INVALID_ID;
  uint32_t Flags = 0;
  std::string Exts;  // each extension with its dot, no separators: ".bmp.dib.rle"
  std::string ShortName;
  std::string Desc;
  std::string LongName;
};

// Which table a lookup searches.
inline constexpr int FF_TABLE_READ = 1;
inline constexpr int FF_TABLE_WRITE = 2;

inline constexpr int FF_READ_ROWS = 19;
inline constexpr int FF_WRITE_ROWS = 17;

// Row Index (0-based) of the reading or writing table; nullptr past the end.
const TFormatRow* FFReadRow(int Index);
const TFormatRow* FFWriteRow(int Index);
// The first reading-table row with this identifier, or nullptr.
const TFormatRow* FFReadRowById(int32_t Id);

// The row whose extensions hold the file name's extension (lower-cased):
// the writing table when Table is 2, otherwise the reading table. Row.Id is
// INVALID_ID when no row matches or the name has no extension.
void FFGetFormat(std::string_view FileName, TFormatRow& Row, int Table);
int32_t FFGetFormatId(std::string_view FileName, int Table);

// ---- recognition by content --------------------------------------------------------

// The bytes FFFormatOfBytes looks at: the start of a file, and its end
// (for the TGA footer).
inline constexpr size_t FF_SNIFF_HEAD = 32;
inline constexpr size_t FF_SNIFF_TAIL = 18;

// The reading format whose signature the file's first bytes (Head) and last
// bytes (Tail, may be empty) carry, or INVALID_ID. Only signatures that
// other files do not begin with by chance are taken; formats without one
// (Bayer raw, a TGA without its footer) are never guessed.
int32_t FFFormatOfBytes(std::span<const uint8_t> Head, std::span<const uint8_t> Tail);
// The same for a file: INVALID_ID as well when it cannot be read. For
// files whose name gives no format, or whose named reader refuses them:
// logos as Windows names them (LOGO.SYS) and pictures without extension.
int32_t FFFormatOfFile(const std::string& FileName);

// ".bmp.dib.rle" gives Patterns "*.bmp;*.dib;*.rle" and List "bmp,dib,rle".
void FFConvExt_(std::string_view Exts, std::string& Patterns, std::string& List);

// Options of FFMakeLoadFilter (bits).
inline constexpr int FFL_LONG_NAMES = 1;  // LongName instead of ShortName
inline constexpr int FFL_LIST_EXTS = 2;   // " (bmp,dib,rle)" after each name
inline constexpr int FFL_NO_ALL = 4;      // no "All supported formats", no "Any file"

// The open dialog's filter ("name|patterns|name|patterns...") of the reading
// rows whose flags share a bit with Mask (every row for Mask 0), and of the
// Windows logo files (*.sys) with the still pictures.
void FFMakeLoadFilter(uint32_t Mask, int Options, std::string& Filter);

// ---- writers -------------------------------------------------------------------

// Depth preparation of a writer: Img is the picture to write, either the
// caller's own or the embedded temporary in the depth the format takes.
struct TFFInit {
  TImg* Img = nullptr;
  TImg Temp;
  bool TempUsed = false;
};

// A writer deletes any old file, calls FFInit with its own identifier, writes
// *Ffi.Img and calls FFDone. Pictures must be valid and 4 to 4096 pixels in
// both directions; failures are EG_MVI2 1.
void FFInit(int32_t FormatId, TFFInit& Ffi, TImg& Img);
void FFDone(TFFInit& Ffi);
// The depth a writer takes a picture of the given depth in; 0 when the
// format has no row in the writer depth table or cannot hold pictures.
int32_t FFWriterDepth(int32_t FormatId, int32_t BitsPerPixel);

// ---- readers -------------------------------------------------------------------

// The check every reader makes before allocating a picture it read from a
// header: width and height above 0 (else EG_IMG 4, "Image header invalid.")
// and at most FF_MAX_PICTURE_BYTES of pixels (else EG_IMG 12, "Picture too
// large (W x H)."). Returns the byte size.
int64_t FFCheckPictureSize(int64_t Width, int64_t Height, int32_t BitsPerPixel);
// Whether a picture a description gives is surely beyond that limit, at
// the fewest bytes its pixels load into.
bool FFDescribedTooLarge(int64_t Width, int64_t Height, int32_t BitsPerPixel);

// Transparency: the logo has no alpha, and what lies behind a transparent
// pixel is the logo's black background. A sample of alpha A (0 transparent,
// 255 opaque) blended onto black: round(V x A / 255), exactly.
inline uint8_t FFOnBlack(uint32_t V, uint32_t A) {
  const uint32_t t = V * A + 128;
  return static_cast<uint8_t>((t + (t >> 8)) >> 8);
}
// Blends Count pixels of Bpp bytes onto black in place: each pixel's byte
// AlphaAt is its alpha and is kept; every other byte is a colour sample.
void FFBlendOnBlack(uint8_t* Pixels, int64_t Count, int32_t Bpp, int32_t AlphaAt);

// ---- readers that hand their rows to a feed ----------------------------------------
// Such a reader never holds the picture, so its size has no cap beyond the
// format's own and a side of 2^31 - 1. Where a format forces the reader to
// hold more than a few rows before the first one comes (the coefficients
// of a progressive JPEG, the whole of an interlaced PNG), it holds at most
// FF_MAX_HELD_BYTES: just under 2 GiB, the largest block the memory layer
// gives, so what passes this check is never refused as out of memory.
inline constexpr int64_t FF_MAX_HELD_BYTES = INT32_MAX;

// The pixels a fed picture may have for each byte of its file, once it is
// past FF_FED_FREE_PIXELS. Run-length codes can skip to the end of a
// picture in a few bytes, and a feed costs time for every pixel, so a tiny
// file must not ask for hundreds of millions: a flat picture in 8-bit runs
// still has a byte for every 127 pixels.
inline constexpr int64_t FF_FED_PIXELS_PER_BYTE = 1024;
inline constexpr int64_t FF_FED_FREE_PIXELS = int64_t{4} << 20;

// Width and height above 0 (else EG_IMG 4) and each at most 2^31 - 1 (else
// EG_IMG 12, "Picture too large (W x H)."). With a FileSize (not negative),
// also EG_IMG 12 for more pixels than FF_FED_PIXELS_PER_BYTE allows; the
// readers whose runs may end a picture early (BMP, SGI, Sun raster) check
// that when they load whole pictures too.
void FFCheckFedSize(int64_t Width, int64_t Height, int64_t FileSize = -1);
// EG_IMG 12 for a picture whose reader would have to hold Bytes (computed
// by the caller in 64 bits; negative when it overflowed) beyond
// FF_MAX_HELD_BYTES. Nothing is allocated before this check.
void FFCheckHeldBytes(int64_t Width, int64_t Height, int64_t Bytes);

// A reader's whole way of delivering a picture to a feed (TImgFeedStarter).
using TFFFeedProc = void (*)(const std::string& FileName, TImgFeed& Feed,
                             const TImgFeedStarter& Start);

// Calls Start with the picture's shape (Width x Height at BitsPerPixel,
// 8-bit rows with Palette, rows bottom first when BottomUp): the feed is
// ready for the first row.
void FFStartFeed(TImgFeed& Feed, const TImgFeedStarter& Start, int64_t Width, int64_t Height,
                 int32_t BitsPerPixel, const TPalette* Palette, bool BottomUp = false);

// Data of a file read a window at a time, for decoders that hand their rows
// on as they come: Cur covers the bytes in memory, and a short read
// reports the cursor's error as a whole-data cursor would.
struct TFFWindow {
  int32_t Handle = INVALID_ID;
  TByteCursor Cur;
  uint8_t* Buf = nullptr;  // Cap bytes, tracked
  int64_t Cap = 0;
  int64_t Next = 0;  // file offset of the first byte not yet read
  int64_t End = 0;   // file offset where the data ends
};
// The data from Start up to End of the open file Handle, Cap bytes at a
// time (Cap of at least what one FFWindowNeed asks).
void FFWindowOpen(TFFWindow& W, int32_t Handle, int64_t Start, int64_t End, int64_t Cap,
                  int32_t ErrGroup, int32_t ErrCode);
// Brings at least N bytes into W.Cur, or all the data that is left.
TByteCursor& FFWindowNeed(TFFWindow& W, int64_t N);
void FFWindowClose(TFFWindow& W);

}  // namespace kvo
