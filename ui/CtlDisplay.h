// SPDX-License-Identifier: GPL-3.0-or-later
// The picture display control: a window control that owns one picture and
// paints it at its top-left corner, or fills itself with its colour when it
// has none.
#pragma once

#include <QRect>
#include <QWidget>

#include <cstdint>

#include "image/IMGBasic.h"

class QTimer;

namespace kvo {

class TDisplayControl : public QWidget {
  Q_OBJECT

 public:
  explicit TDisplayControl(QWidget* Parent);
  ~TDisplayControl() override;

  // The control's own copy of the picture shown; all zeros when none.
  TImg& Picture() { return Picture_; }
  const TImg& Picture() const { return Picture_; }
  // The fill colour (0x00BBGGRR) where there is no valid picture.
  uint32_t Color() const { return Color_; }
  void SetColor(uint32_t Color);
  // A valid picture with a width and a height.
  bool IsImgValid() const;

  // The palette animation of a logo: entries from Important on rotate
  // StepsPerSecond times a second while the control is on screen. A
  // picture that does not rotate (ANIM_NONE) runs no timer at all.
  void SetAnimation(int32_t Important, int32_t StepsPerSecond);
  // Shows the next step: rotates the palette and repaints the moving part.
  void Step();
  int32_t AnimStep() const { return Step_; }
  // A timer is running: the picture moves and is on screen.
  bool Animating() const;

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void showEvent(QShowEvent* Event) override;
  void hideEvent(QHideEvent* Event) override;

 private:
  void StopAnimation_();
  void UpdateTimer_();

  TImg Picture_;
  uint32_t Color_ = 0;  // black
  // The animation: the palette of step 0, the step shown, the rectangle
  // the rotating entries cover, and the timer (made on first use).
  int32_t Important_ = 256;  // ANIM_NONE: nothing rotates
  int32_t Interval_ = 0;
  int32_t Step_ = 0;
  TPalette Base_ = {};
  QRect Moving_;
  QTimer* Timer_ = nullptr;
};

// Every operation accepts a missing control and then does nothing.

// A control owned by and placed in Parent at the given bounds, with no
// picture and the colour black; painted once.
TDisplayControl* Display_Create_VCL(QWidget* Parent, int32_t Left, int32_t Top, int32_t Width,
                                    int32_t Height);
void Display_SetBounds(TDisplayControl* Control, int32_t Left, int32_t Top, int32_t Width,
                       int32_t Height);
void Display_SetColor(TDisplayControl* Control, uint32_t Color);
// Copies Img into the control, shows the control and repaints it. A failed
// copy is reported through the error state and leaves the control's picture
// as it was.
void Display_ShowImg(TDisplayControl* Control, const TImg& Img);
// Copies Img into the control as Display_ShowImg does and animates it: the
// entries from Important on rotate StepsPerSecond times a second while the
// control is shown (ANIM_NONE: a still picture).
void Display_ShowAnimated(TDisplayControl* Control, const TImg& Img, int32_t Important,
                          int32_t StepsPerSecond);
// Hides the control; the picture is kept.
void Display_Hide(TDisplayControl* Control);
void _Display_ReleaseImage(TDisplayControl* Control);
// Releases the picture and destroys the control; Control becomes null.
void Display_Free(TDisplayControl*& Control);

}  // namespace kvo
