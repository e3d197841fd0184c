// SPDX-License-Identifier: GPL-3.0-or-later
// The image record and its basic operations, the scalers, and the common
// frame every geometric operation runs in.
//
// Rows are stored top row first with no padding; 24-bit pixels are blue,
// green, red; the palette is 256 entries of blue, green, red.
#pragma once

#include <cstdint>
#include <functional>

namespace kvo {

struct TImg {
  uint8_t* Data = nullptr;  // tracked pixel block
  int32_t Size = 0;         // bytes requested when the block was last allocated
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPerPixel = 0;
  int32_t BitsPerPixel = 0;
  uint8_t Palette[256][3] = {};  // blue, green, red
  uint32_t Borrowed = 0;         // nonzero: the pixel block is not ours
};

using TPalette = uint8_t[256][3];

// Operation identifiers of the frame.
inline constexpr int IOP_FLIPV = 13;
inline constexpr int IOP_SWAPRB = 30;
inline constexpr int IOP_SPRITE = 35;
inline constexpr int IOP_RESIZE = 36;
inline constexpr int IOP_RESAMPLE = 37;
inline constexpr int IOP_CROP = 38;
inline constexpr int IOP_INSERT = 40;

struct TImgOpInfo {
  int32_t Op = 0;
  int32_t DepthFor8 = 24, DepthFor15 = 24, DepthFor16 = 24, DepthFor24 = 24, DepthFor32 = 24,
          DepthOther = 24;
  int32_t InPlace = -1;
  int32_t PaletteOnly = 0;
  int32_t DestToSourceDepth = 0;
  int32_t DepthToHigher = 0;
};

struct TImgOpVars {
  bool FreeTemp = false, CopyData = false, CopyPalette = false, Exchange = false;
  int64_t SrcRowBytes = 0, SrcBytes = 0, DestRowBytes = 0, DestBytes = 0;
  int64_t SrcPixels = 0, DestPixels = 0;
  int64_t SrcUnits = 0, DestUnits = 0, SrcLen = 0, DestLen = 0;
  int32_t NewWidth = 0, NewHeight = 0;
  TImg* Src = nullptr;
  TImg* Dest = nullptr;
  TImg Temp;
  uint8_t* SrcPtr = nullptr;
  uint8_t* DestPtr = nullptr;
};

// ---- allocation and bookkeeping ---------------------------------------------
// The block is labelled "(ImgAlloc):" + Label. A size below 1 or a byte count
// beyond 32 bits fails with EG_MEM 5, a depth other than 8, 15, 16, 24 or 32
// with EG_IMG 1; a record that holds a block then keeps it as it was.
void _imgalloc_(TImg& Img, int32_t Width, int32_t Height, int32_t BitsPerPixel, int Line,
                const char* Label);
void ImgAlloc(TImg& Img, int32_t Width, int32_t Height, int32_t BitsPerPixel);
void ImgFree(TImg& Img);
bool ImgIsValid(const TImg& Img);
void ImgSetDims(TImg& Img, int32_t Width, int32_t Height, int32_t BitsPerPixel);
void ImgCopyDims(const TImg& Src, TImg& Dest);

// ---- copying and exchange -----------------------------------------------------
void ImgCopyData(const TImg& Src, TImg& Dest);
void ImgCopyPalette(const TImg& Src, TImg& Dest);
void ImgCopy(const TImg& Src, TImg& Dest);
void ImgXchg(TImg& A, TImg& B);

// ---- depth conversion ------------------------------------------------------------
void ImgConvBpp(TImg& Src, TImg& Dest, int32_t BitsPerPixel);
void ImgConvBppEx(TImg& Src, TImg& Dest, int32_t BitsPerPixel, int32_t Mode);
// Pixels of one row at BitsPerPixel (8 through Palette, 15, 16, 24 or 32)
// into blue, green, red, as ImgConvBpp widens them.
void ImgRowTo24(const uint8_t* Src, int32_t BitsPerPixel, const TPalette& Palette,
                int64_t Pixels, uint8_t* Dest);
// Refuses with EG_IMG 2 a record that does not describe a picture its block
// holds (the check every operation makes before reading a pixel).
void ImgCheck(const TImg& Img, int Line);

// ---- operation frame ---------------------------------------------------------------
void ImgInitInfo(TImgOpInfo& Info);
void ImgInfo(TImgOpInfo& Info, int32_t Op);
// Dest may be null only for operations that work in place.
void ImgInitEx(const TImgOpInfo& Info, TImgOpVars& Vars, TImg& Src, TImg* Dest,
               int32_t NewWidth, int32_t NewHeight);
void ImgInit(const TImgOpInfo& Info, TImgOpVars& Vars, TImg& Src, TImg* Dest);
void ImgDone(TImgOpVars& Vars);

// ---- geometric operations ----------------------------------------------------------
// A position at or beyond the right or bottom edge does nothing; a negative
// position (or a crop size below 1) fails with EG_GEN 1 "Out of range.".
void ImgInsert(TImg& Src, TImg& Dest, int32_t X, int32_t Y);
void ImgSprite(TImg& Src, TImg& Dest, int32_t X, int32_t Y, uint32_t Key);
void AutoPut_(int32_t Op, TImg& Src, TImg& Dest, int32_t X, int32_t Y, uint32_t Key);
void ImgCrop(TImg& Src, TImg& Dest, int32_t X, int32_t Y, int32_t Width, int32_t Height);
void ImgFlipV(TImg& Src, TImg& Dest);
void ImgSwapRB(TImg& Src, TImg& Dest);
// Turns and mirrors a picture as an Exif orientation (2 to 8) says its
// camera stored it, so that it is seen upright: 5 to 8 swap its width and
// height. 1 and values outside 1 to 8 leave it as it is.
void ImgOrient(TImg& Img, int32_t Orientation);
inline bool OrientationTransposes(int32_t Orientation) {
  return Orientation >= 5 && Orientation <= 8;
}

// ---- images from foreign buffers -------------------------------------------------
void MakeQimg(TImg& Img, const uint8_t* Pixels, int32_t Width, int32_t Height,
              int32_t BitsPerPixel, int64_t Stride, bool TopDown);
// Dib: a packed device-independent bitmap of DibSize bytes. A header that
// claims more than DibSize holds fails with EG_IMG 4, a depth other than 8,
// 16, 24 or 32 bits with EG_IMG 1.
void DibToQimg(TImg& Img, const uint8_t* Dib, int64_t DibSize);

// ---- helpers shared with the format readers ----------------------------------------
void PalGreyRamp(TPalette& Palette);
void PalGreyRampInv(TPalette& Palette);
void PalImport(bool Swap, int32_t EntrySize, int32_t Count, uint8_t* DestEntries,
               const uint8_t* Src);
void CopySwapRB(int64_t Count, uint8_t* Dest, const uint8_t* Src);
void SwapRBInPlace(int64_t Count, uint8_t* Buf);
void ColorSplit(uint32_t Color, uint8_t& Red, uint8_t& Green, uint8_t& Blue);

// ---- resizing and resampling -------------------------------------------------------
void CalcBoxResize(int32_t SrcWidth, int32_t SrcHeight, int32_t BoxWidth, int32_t BoxHeight,
                   bool Always, int32_t& OffsetX, int32_t& OffsetY, int32_t& NewWidth,
                   int32_t& NewHeight);
// Sizes below 1 fail with EG_GEN 1. ImgResize keeps 8 bits (with the
// palette) and works every other depth at 24; ImgResample always gives 24.
void ImgResize(TImg& Src, TImg& Dest, int32_t NewWidth, int32_t NewHeight);
void ImgResample(TImg& Src, TImg& Dest, int32_t NewWidth, int32_t NewHeight);

// ---- resampling fed row by row ---------------------------------------------------
// ImgResample of a picture that arrives one row at a time, top row first, as
// a decoder delivers it, so that a large photograph is never held whole.
// The picture (Width x Height, rows of BitsPerPixel bits; 8-bit rows with
// Palette) lies in a frame of FrameWidth x FrameHeight at (X, Y): X and Y
// at 0 or above put black around it, as fitting with borders does; at 0 or
// below they cut the frame out of it, as cropping does. The frame is
// resampled to the destination exactly as ImgResample resamples a picture
// of the frame's size, and nothing of the picture outside the frame counts.
struct TImgFeedShape {
  int32_t Width = 0, Height = 0, BitsPerPixel = 24;
  int32_t FrameWidth = 0, FrameHeight = 0, X = 0, Y = 0;
  int32_t NewWidth = 0, NewHeight = 0;
  // The rows come only through ImgFeedPutRow and stay where they are until
  // ImgFeedDone (a picture in memory): they are read in place.
  bool RowsInPlace = false;
  // The rows come bottom row first, as bottom-up files store them: the
  // destination fills from the bottom, with the result of the top-down order.
  bool BottomUp = false;
};

struct TImgFeed {
  TImgFeedShape Shape;
  TPalette Palette = {};      // of 8-bit rows
  TImg* Dest = nullptr;       // 24 bits, NewWidth x NewHeight
  uint8_t* Lines = nullptr;   // line slots: frame rows with the picture's overhang
  uint8_t* In = nullptr;      // a picture row not yet at 24 bits (else null)
  uint8_t* Work = nullptr;    // the group, the averaged row, the box plan
  int64_t StepX = 0, StepY = 0;
  int64_t Slots = 0;          // rows a group holds at a time
  int32_t FactorX = 0, FactorY = 0;
  int32_t Rows = 0;           // picture rows received
  int32_t FrameRows = 0;      // frame rows passed on
  int32_t Out = 0;            // destination rows finished (shrinking)
  int64_t Acc = 0, Pos = 0;   // the vertical counters
  uint32_t Count = 0;         // rows in the open group, 0 when none is open
  int32_t Kept = 0;           // rows of the group that are not black
  int32_t Held = 0;           // slots they occupy
  bool Folded = false;        // the group's first rows are in its 32-bit sums
  int32_t* Starts = nullptr;  // bottom-up shrinking: first frame row of each destination row
  // Set by the starter after ImgFeedStart, for a long decode: Progress is
  // called every few rows (it must not raise), and a reader stops taking
  // rows once *Stop is true (ImgFeedStopped).
  std::function<void(const TImgFeed& F)> Progress;
  const bool* Stop = nullptr;
};

// Checks the shape (EG_GEN 1, as ImgResample, for sizes below 1 or boxes
// beyond 32-bit sums; EG_IMG 1 for another depth), allocates Dest and the
// feed's blocks.
void ImgFeedStart(TImgFeed& F, TImg& Dest, const TImgFeedShape& Shape, const TPalette* Palette);
// The rows will come bottom row first (Shape.BottomUp): called after
// ImgFeedStart, before the first row.
void ImgFeedBottomUp(TImgFeed& F);
// Where the next picture row goes: Width pixels of the shape's depth.
uint8_t* ImgFeedRow(TImgFeed& F);
// The row is there. Rows beyond the picture's height are ignored.
void ImgFeedPut(TImgFeed& F);
// The next row from elsewhere (Width pixels of the shape's depth).
void ImgFeedPutRow(TImgFeed& F, const uint8_t* Row);
// Whether the rows should stop (F.Stop is set): the reader leaves its loop.
inline bool ImgFeedStopped(const TImgFeed& F) { return F.Stop && *F.Stop; }
// After the last row: completes Dest and releases the feed's blocks.
void ImgFeedDone(TImgFeed& F);
// Resamples a picture in memory through the frame of Shape (whose picture
// fields are taken from Src) into Dest, a different record.
void ImgFeedPicture(const TImg& Src, TImg& Dest, TImgFeedShape Shape);

// How a reader that delivers rows hands its picture to a feed: Start gets
// the picture's shape (Width, Height, BitsPerPixel and Palette; no pixels)
// before the first row and calls ImgFeedStart with the frame it wants.
using TImgFeedStarter = std::function<void(TImgFeed& F, const TImg& Shape)>;

}  // namespace kvo
