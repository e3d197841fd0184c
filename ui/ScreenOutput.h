// SPDX-License-Identifier: GPL-3.0-or-later
// Screen output of pictures: a TImg handed to Qt's painter.
//
// Pictures go to the painter as they are stored (8-bit with their colour
// table, 15-bit 5-5-5, 16-bit 5-6-5, 24-bit blue-green-red, 32-bit
// blue-green-red-unused), without a conversion of their own, so the 320-pixel
// 8-bit logos reach the screen straight from their pixel block. Only rows
// that are not a multiple of 4 bytes long are copied, because Qt's images
// need 4-byte aligned rows.
//
// A palette-based device (8 bits or less) can show one palette at a time:
// PalPut realises a picture's palette there, and pictures of other depths
// are reduced to 256 colours before drawing. Every surface Qt paints on in
// practice is true colour, and there realising a palette does nothing.
#pragma once

#include <QImage>
#include <QList>
#include <QRgb>

#include <cstdint>

#include "image/IMGBasic.h"

class QPainter;

namespace kvo {

// The part of a picture to draw; corrected in place against the picture.
struct TImgRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Width = 0;
  int32_t Height = 0;
};

// True for a painter on a device of 8 bits per pixel or less.
bool IsPaletteDevice(const QPainter* DC);
// Realises Palette (blue, green, red entries) on a palette-based device;
// replaces the palette realised before. Nothing happens on other devices.
void PalPut(const TPalette& Palette, QPainter* DC);
// The colour table realised last (empty before the first realisation).
const QList<QRgb>& RealizedPalette();

// The colour table of a TImg palette: 256 opaque entries.
QList<QRgb> PaletteToColorTable(const TPalette& Palette);
// The Qt format a TImg depth is drawn in (Format_Invalid for other depths).
QImage::Format QtFormatFor(int32_t BitsPerPixel);

// Corrects Rect against a picture of Width x Height: a left or top edge
// beyond the picture becomes 0, a width or height of 0 or less takes the
// picture's, and an overhanging width or height is cut at its edge.
void CorrectPutRect(TImgRect& Rect, int32_t Width, int32_t Height);

// A TImg seen as a QImage, for as long as both live. The image refers to the
// picture's own pixel block when its rows are 4-byte aligned; otherwise to a
// padded copy that this object owns. Colors replaces the colour table of an
// 8-bit picture (null: the picture's own palette).
class TQImageView {
 public:
  explicit TQImageView(const TImg& Img, const QList<QRgb>* Colors = nullptr);
  ~TQImageView();
  TQImageView(const TQImageView&) = delete;
  TQImageView& operator=(const TQImageView&) = delete;

  const QImage& Image() const { return Image_; }
  bool Copied() const { return Padded_ != nullptr; }

 private:
  uint8_t* Padded_ = nullptr;
  QImage Image_;
};

// The whole picture as it would be drawn, as an image of its own (a deep
// copy). PaletteDevice selects the palette-based path; Mode is the depth
// conversion mode for it (0).
QImage ImgToQImage(TImg& Img, bool PaletteDevice, int32_t Mode);

// Draws the part Rect of Img with its top-left corner at (X, Y). Invalid
// pictures are ignored.
void ImgPutEx(TImg& Img, TImgRect& Rect, QPainter* DC, int32_t X, int32_t Y, int32_t Mode);
// The whole picture, mode 0.
void ImgPut(TImg& Img, QPainter* DC, int32_t X, int32_t Y);

}  // namespace kvo
