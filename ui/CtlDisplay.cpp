// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/CtlDisplay.h"

#include <QPaintEvent>
#include <QPainter>
#include <QTimer>

#include <cstring>

#include "base/Errors.h"
#include "core/LogoPreview.h"
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

void TDisplayControl::paintEvent(QPaintEvent* Event) {
  QPainter dc(this);
  // Painting never fails visibly: whatever goes wrong, the control shows
  // its colour or what it managed to draw, and the error goes no further.
  MonitoredKeep("CtlDisplay.TDisplayControl.Paint", [&] {
    if (IsImgValid()) {
      if (Picture_.BitsPerPixel == 8) PalPut(Picture_.Palette, &dc);
      // Only the part asked for: an animation step repaints its bars alone.
      const QRect part = Event->rect().intersected(QRect(0, 0, Picture_.Width, Picture_.Height));
      if (part.isEmpty()) return;
      TImgRect r{part.x(), part.y(), part.width(), part.height()};
      ImgPutEx(Picture_, r, &dc, part.x(), part.y(), 0);
    } else {
      ClearDC(&dc, 0, 0, width(), height(), Color_);
    }
  });
  ClearError();
}

void TDisplayControl::SetAnimation(int32_t Important, int32_t StepsPerSecond) {
  Important_ = AnimCycleLength(Picture_, Important) > 0 ? Important : ANIM_NONE;
  Step_ = 0;
  Interval_ = StepsPerSecond > 0 ? (1000 + StepsPerSecond / 2) / StepsPerSecond : 0;
  std::memcpy(Base_, Picture_.Palette, sizeof Base_);
  const TAnimArea a = AnimArea(Picture_, Important_);
  Moving_ = QRect(a.Left, a.Top, a.Width, a.Height);
  UpdateTimer_();
}

void TDisplayControl::Step() {
  const int32_t cycle = AnimCycleLength(Picture_, Important_);
  if (cycle == 0) return;
  Step_ = (Step_ + 1) % cycle;
  RotateAnimPalette(Base_, Important_, Step_, Picture_.Palette);
  update(Moving_);
}

bool TDisplayControl::Animating() const { return Timer_ && Timer_->isActive(); }

void TDisplayControl::StopAnimation_() {
  if (Timer_) Timer_->stop();
}

// A timer runs only while there is something moving on screen: a still
// picture, a hidden control or a minimised window costs nothing.
void TDisplayControl::UpdateTimer_() {
  const bool moving = Interval_ > 0 && AnimCycleLength(Picture_, Important_) > 0 &&
                      !Moving_.isEmpty() && isVisible() && !window()->isMinimized();
  if (!moving) {
    StopAnimation_();
    return;
  }
  if (!Timer_) {
    Timer_ = new QTimer(this);
    connect(Timer_, &QTimer::timeout, this, [this] {
      if (isVisible() && !window()->isMinimized())
        Step();
      else
        StopAnimation_();
    });
  }
  Timer_->setInterval(Interval_);
  if (!Timer_->isActive()) Timer_->start();
}

void TDisplayControl::showEvent(QShowEvent* Event) {
  QWidget::showEvent(Event);
  UpdateTimer_();
}

// Also sent when the window is minimised (the control still counts as
// visible then).
void TDisplayControl::hideEvent(QHideEvent* Event) {
  QWidget::hideEvent(Event);
  StopAnimation_();
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
  Display_ShowAnimated(Control, Img, ANIM_NONE, 0);
}

void Display_ShowAnimated(TDisplayControl* Control, const TImg& Img, int32_t Important,
                          int32_t StepsPerSecond) {
  if (!Control) return;
  Monitored("CtlDisplay.Display_ShowImg", [&] { ImgCopy(Img, Control->Picture()); });
  Control->SetAnimation(Important, StepsPerSecond);
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
