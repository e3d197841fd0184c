// SPDX-License-Identifier: GPL-3.0-or-later
// GIF87a and GIF89a: still pictures (the first frame) and movies (every
// frame, composed onto the logical screen as the file prescribes).
//
// The reader keeps its own LZW decoder and frame composer. Frame positions
// of the last file scanned in full stay in a module-wide table together with
// a copy of its state, so reopening that unchanged file costs no scan; only
// one GIF is decoded at a time.
#pragma once

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

namespace kvo {

struct TMviReader;

// The state of one open GIF file (gf). Plain data: the movie layer keeps it
// in a zero-filled tracked block and reads Width, Height, BytesPerPixel,
// BitsPerPixel, FrameCount, FrameRate, CurFrame and PalChanged directly.
struct TGIFFile {
  int32_t Width = 0;  // logical screen
  int32_t Height = 0;
  int32_t BytesPerPixel = 0;
  int32_t BitsPerPixel = 0;
  int32_t FrameCount = 0;
  int32_t CurFrame = 0;  // 1-based number of the frame the target holds, 0 before the first
  double FrameRate = 0;  // frames per second
  int32_t FileSize = 0;
  int32_t BackColor = 0;  // background index, -1 without a global colour table
  int32_t DispLeft = 0, DispTop = 0, DispWidth = 0, DispHeight = 0;  // previous frame, clipped
  uint8_t* PrevImg = nullptr;      // pixels under the previous frame (disposal 3), tracked
  int32_t Disposal = 0;            // disposal method of the previous frame
  int32_t PalChanged = 0;          // the frame just decoded brought a new palette
  int32_t PrevLocalPal = 0;        // the previous frame had a local colour table
  int32_t Partial = 0;             // a later frame leaves part of the screen to its predecessors
  uint8_t GlobalPal[256][3] = {};  // blue, green, red; entries past the file's table 0
  int32_t Handle = 0;
  // Where the first frame lies (every open finds it), and which full scan the
  // module's position table holds the other frames from.
  int32_t FirstPos = 0;
  int32_t ScanId = 0;
};

// Opens FileName and fills Gf. FirstOnly nonzero locates only the first
// frame (still pictures, quick descriptions); zero scans the whole file and
// records every frame's position, or takes them from the cache when the same
// unchanged file was scanned last. A file without frames opens with
// FrameCount 0.
void GIFOpen(TGIFFile& Gf, const std::string& FileName, int32_t FirstOnly);
// Decodes frame CurFrame + 1 into Img (8 bits, the logical screen's size)
// on top of what Img holds, and counts it. Past the last frame: EG_MVI 7.
void GIFLoadNext(TGIFFile& Gf, TImg& Img);
// Brings Img to frame FrameNo (1-based; 0 is the next one). Flags bit 0:
// Img still holds the frame last decoded from this file. A file with a
// partial frame is decoded from its first frame (or from the current one
// when bit 0 allows). FrameNo outside 0..FrameCount: EG_MVI 1.
void GIFLoad(TGIFFile& Gf, TImg& Img, int32_t FrameNo, int32_t Flags);
// Frees PrevImg and closes the file; the position table and cache stay.
void GIFClose(TGIFFile& Gf);

// Describes the file: Quick zero opens it in FirstOnly mode, nonzero scans
// it in full. The two-argument form scans in full, as FFInfo wants.
void GIFInfo(const std::string& FileName, TFileInfo& Info, int32_t Quick);
void GIFInfo(const std::string& FileName, TFileInfo& Info);
// The still picture of ImgLoad: the first frame.
void GIFLoadStill(const std::string& FileName, TImg& Img);
// The movie reader of MviOpen.
extern const TMviReader kGifMovie;

// Releases the position table and forgets the cached scan (program end).
void GIFDone();

// ---- steps of a frame, for the tests -------------------------------------------------

// Copies the Height rows of Src (Width bytes each, in the four passes'
// order) to their places in Dest; only rows below DestRows are kept.
void GIFunInterlace_(const uint8_t* Src, uint8_t* Dest, int32_t Width, int32_t Height,
                     int32_t DestRows);
// Window operations on a canvas of CanvasW x CanvasH bytes. The window is
// clipped to the canvas first; a packed buffer holds the clipped window's
// rows one after the other.
void FillWin_(uint8_t* Canvas, int32_t CanvasW, int32_t CanvasH, int32_t Left, int32_t Top,
              int32_t Width, int32_t Height, uint8_t Value);
void ExtractWin_(const uint8_t* Canvas, int32_t CanvasW, int32_t CanvasH, int32_t Left, int32_t Top,
                 int32_t Width, int32_t Height, uint8_t* Packed);
void InsertWin_(const uint8_t* Packed, uint8_t* Canvas, int32_t CanvasW, int32_t CanvasH,
                int32_t Left, int32_t Top, int32_t Width, int32_t Height);

}  // namespace kvo
