#include "ui/CtlDisplay.h"

#include <QPaintEvent>
#include <QPainter>

#include "base/Errors.h"
#include "ui/ScreenOutput.h"
#include "ui/VCLUtils_qt.h"

namespace kvo {

TDisplayControl::TDisplayControl(QWidget* Parent) : QWidget(Parent) {
  // Opaque: every pixel is painted, so Qt need not erase the background
  // first and nothing is drawn twice.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setObjectName("TDisplayControl");
}

TDisplayControl::~TDisplayControl() { ImgFree(Picture_); }

void TDisplayControl::SetColor(uint32_t Color) {
  Color_ = Color;
  update();
}

bool TDisplayControl::IsImgValid() const {
  return ImgIsValid(Picture_) && Picture_.Data != nullptr && Picture_.Width > 0 &&
         Picture_.Height > 0;
}

void TDisplayControl::paintEvent(QPaintEvent*) {
  QPainter dc(this);
  // Painting never fails visibly: whatever goes wrong, the control shows
  // its colour or what it managed to draw, and the error goes no further.
  MonitoredKeep("CtlDisplay.TDisplayControl.Paint", [&] {
    if (IsImgValid()) {
      if (Picture_.BitsPerPixel == 8) PalPut(Picture_.Palette, &dc);
      ImgPut(Picture_, &dc, 0, 0);
    } else {
      ClearDC(&dc, 0, 0, width(), height(), Color_);
    }
  });
  ClearError();
}

TDisplayControl* Display_Create_VCL(QWidget* Parent, int32_t Left, int32_t Top, int32_t Width,
                                    int32_t Height) {
  auto* control = new TDisplayControl(Parent);
  control->setGeometry(Left, Top, Width, Height);
  control->show();
  control->update();
  return control;
}

void Display_SetBounds(TDisplayControl* Control, int32_t Left, int32_t Top, int32_t Width,
                       int32_t Height) {
  if (Control) Control->setGeometry(Left, Top, Width, Height);
}

void Display_SetColor(TDisplayControl* Control, uint32_t Color) {
  if (Control) Control->SetColor(Color);
}

void Display_ShowImg(TDisplayControl* Control, const TImg& Img) {
  if (!Control) return;
  Monitored("CtlDisplay.Display_ShowImg", [&] { ImgCopy(Img, Control->Picture()); });
  Control->show();
  Control->update();
}

void Display_Hide(TDisplayControl* Control) {
  if (Control) Control->hide();
}

void _Display_ReleaseImage(TDisplayControl* Control) {
  if (Control) ImgFree(Control->Picture());
}

void Display_Free(TDisplayControl*& Control) {
  if (!Control) return;
  _Display_ReleaseImage(Control);
  delete Control;
  Control = nullptr;
}

}  // namespace kvo
