// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wBootPreview.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QScreen>

#include <algorithm>

#include "base/Errors.h"
#include "ui/CtlDisplay.h"

namespace kvo {

void BootPictureRect(int32_t Width, int32_t Height, int32_t& Left, int32_t& Top,
                     int32_t& NewWidth, int32_t& NewHeight) {
  const int64_t w = std::max(0, Width), h = std::max(0, Height);
  // The side that runs out first takes the whole screen; the other is
  // rounded to the nearest pixel.
  if (w * 3 >= h * 4) {
    NewHeight = static_cast<int32_t>(h);
    NewWidth = static_cast<int32_t>((h * 4 + 1) / 3);
  } else {
    NewWidth = static_cast<int32_t>(w);
    NewHeight = static_cast<int32_t>((w * 3 + 2) / 4);
  }
  Left = (Width - NewWidth) / 2;
  Top = (Height - NewHeight) / 2;
}

TfrmBootPreview::TfrmBootPreview(const TImg& Logo, int32_t Important, int32_t StepsPerSecond)
    : Important_(Important), StepsPerSecond_(StepsPerSecond) {
  setObjectName("frmBootPreview");
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("Boot Preview"));
  QPalette black = palette();
  black.setColor(QPalette::Window, Qt::black);
  setPalette(black);
  setAutoFillBackground(true);
  // As at boot: nothing but the logo.
  setCursor(Qt::BlankCursor);
  Monitored("wBootPreview.Create", [&] { ImgCopy(Logo, Logo_); });
  Display = Display_Create_VCL(this, 0, 0, 16, 16);
}

TfrmBootPreview::~TfrmBootPreview() { ImgFree(Logo_); }

// The display shows the 320 x 400 picture across a 4:3 screen, so the
// picture is stretched to the largest 4:3 area the screen holds.
void TfrmBootPreview::Fit_() {
  int32_t x = 0, y = 0, w = 0, h = 0;
  BootPictureRect(width(), height(), x, y, w, h);
  if (w < 1 || h < 1 || !ImgIsValid(Logo_) || Logo_.Width < 1) return;
  MonitoredKeep("wBootPreview.Fit", [&] {
    TImg scaled;
    ImgResize(Logo_, scaled, w, h);
    Display_SetBounds(Display, x, y, w, h);
    Display_ShowAnimated(Display, scaled, Important_, StepsPerSecond_);
    ImgFree(scaled);
  });
  ClearError();
}

void TfrmBootPreview::resizeEvent(QResizeEvent* Event) {
  QWidget::resizeEvent(Event);
  Fit_();
}

void TfrmBootPreview::keyPressEvent(QKeyEvent*) { close(); }

void TfrmBootPreview::mousePressEvent(QMouseEvent*) { close(); }

TfrmBootPreview* ShowBootPreview(const TImg& Logo, int32_t Important, int32_t StepsPerSecond,
                                 QWidget* Near) {
  auto* form = new TfrmBootPreview(Logo, Important, StepsPerSecond);
  // The whole screen even where no window manager makes a full-screen
  // window that large.
  QScreen* screen = Near ? Near->screen() : QGuiApplication::primaryScreen();
  if (screen) form->setGeometry(screen->geometry());
  form->showFullScreen();
  form->activateWindow();
  form->setFocus();
  return form;
}

}  // namespace kvo
