// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/ScreenOutput.h"

#include <QPaintDevice>
#include <QPainter>
#include <QPoint>
#include <QRect>

#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"

namespace kvo {
namespace {

// The palette realised on the palette-based device; one for the whole
// program, as a display has one hardware palette.
QList<QRgb>& Realized_() {
  static QList<QRgb> table;
  return table;
}

void Realize_(const TPalette& Palette) { Realized_() = PaletteToColorTable(Palette); }

// Worth handing to the painter: valid, with pixels and a depth Qt can take.
bool Drawable_(const TImg& Img) {
  return ImgIsValid(Img) && Img.Data != nullptr && Img.Width > 0 && Img.Height > 0 &&
         QtFormatFor(Img.BitsPerPixel) != QImage::Format_Invalid;
}

// The picture that goes to the device: Img itself, or, on a palette-based
// device, a picture of another depth reduced to 8 bits into Img8 with its
// palette realised.
TImg& DrawnPicture_(TImg& Img, TImg& Img8, bool PaletteDevice, int32_t Mode) {
  if (!PaletteDevice || Img.BitsPerPixel == 8) return Img;
  ImgConvBppEx(Img, Img8, 8, Mode);
  Realize_(Img8.Palette);
  return Img8;
}

}  // namespace

bool IsPaletteDevice(const QPainter* DC) {
  return DC != nullptr && DC->isActive() && DC->device() != nullptr && DC->device()->depth() <= 8;
}

void PalPut(const TPalette& Palette, QPainter* DC) {
  if (IsPaletteDevice(DC)) Realize_(Palette);
}

const QList<QRgb>& RealizedPalette() { return Realized_(); }

QList<QRgb> PaletteToColorTable(const TPalette& Palette) {
  QList<QRgb> table(256);
  for (int i = 0; i < 256; ++i) table[i] = qRgb(Palette[i][2], Palette[i][1], Palette[i][0]);
  return table;
}

QImage::Format QtFormatFor(int32_t BitsPerPixel) {
  switch (BitsPerPixel) {
    case 8: return QImage::Format_Indexed8;
    case 15: return QImage::Format_RGB555;
    case 16: return QImage::Format_RGB16;
    case 24: return QImage::Format_BGR888;
    case 32: return QImage::Format_RGB32;
    default: return QImage::Format_Invalid;
  }
}

void CorrectPutRect(TImgRect& Rect, int32_t Width, int32_t Height) {
  if (Rect.Left >= Width) Rect.Left = 0;
  if (Rect.Top >= Height) Rect.Top = 0;
  if (Rect.Width <= 0) Rect.Width = Width;
  if (Rect.Height <= 0) Rect.Height = Height;
  if (static_cast<int64_t>(Rect.Left) + Rect.Width > Width) Rect.Width = Width - Rect.Left;
  if (static_cast<int64_t>(Rect.Top) + Rect.Height > Height) Rect.Height = Height - Rect.Top;
}

TQImageView::TQImageView(const TImg& Img, const QList<QRgb>* Colors) {
  if (!Drawable_(Img)) return;
  const int64_t rowBytes = static_cast<int64_t>(Img.Width) * Img.BytesPerPixel;
  const int64_t stride = (rowBytes + 3) & ~int64_t{3};
  const uint8_t* rows = Img.Data;
  if (stride != rowBytes) {
    _memalloc_(Padded_, stride * Img.Height, __LINE__, "ScreenOutput.TQImageView.bmpBits");
    for (int64_t y = 0; y < Img.Height; ++y) {
      std::memcpy(Padded_ + y * stride, Img.Data + y * rowBytes, static_cast<size_t>(rowBytes));
      std::memset(Padded_ + y * stride + rowBytes, 0, static_cast<size_t>(stride - rowBytes));
    }
    rows = Padded_;
  }
  Image_ = QImage(rows, Img.Width, Img.Height, static_cast<qsizetype>(stride),
                  QtFormatFor(Img.BitsPerPixel));
  if (Img.BitsPerPixel == 8)
    Image_.setColorTable(Colors && !Colors->isEmpty() ? *Colors : PaletteToColorTable(Img.Palette));
}

TQImageView::~TQImageView() {
  // The image must let go of the rows before they are released.
  Image_ = QImage();
  if (Padded_) MemFree(Padded_);
}

QImage ImgToQImage(TImg& Img, bool PaletteDevice, int32_t Mode) {
  QImage result;
  Monitored("ScreenOutput.ImgToQImage", [&] {
    if (!Drawable_(Img)) return;
    TImg img8;
    TImg& p = DrawnPicture_(Img, img8, PaletteDevice, Mode);
    {
      TQImageView view(p, PaletteDevice ? &Realized_() : nullptr);
      result = view.Image().copy();
    }
    ImgFree(img8);
  });
  return result;
}

void ImgPutEx(TImg& Img, TImgRect& Rect, QPainter* DC, int32_t X, int32_t Y, int32_t Mode) {
  Monitored("ScreenOutput.ImgPutEx", [&] {
    if (!Drawable_(Img) || DC == nullptr || !DC->isActive()) return;
    const bool palette = IsPaletteDevice(DC);
    TImg img8;
    TImg& p = DrawnPicture_(Img, img8, palette, Mode);
    CorrectPutRect(Rect, p.Width, p.Height);
    {
      TQImageView view(p, palette ? &Realized_() : nullptr);
      DC->drawImage(QPoint(X, Y), view.Image(), QRect(Rect.Left, Rect.Top, Rect.Width, Rect.Height));
    }
    ImgFree(img8);
  });
}

void ImgPut(TImg& Img, QPainter* DC, int32_t X, int32_t Y) {
  TImgRect all{0, 0, Img.Width, Img.Height};
  ImgPutEx(Img, all, DC, X, Y, 0);
}

}  // namespace kvo
