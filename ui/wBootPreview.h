// SPDX-License-Identifier: GPL-3.0-or-later
// The boot preview: a logo as the display shows it while Windows starts,
// full screen on black, the 320 x 400 picture stretched to 4:3, its colours
// moving. ESC, a click or any key ends it.
#pragma once

#include <QWidget>

#include <cstdint>

#include "image/IMGBasic.h"

namespace kvo {

class TDisplayControl;

class TfrmBootPreview : public QWidget {
  Q_OBJECT

 public:
  // Keeps its own copy of Logo; Important as for the display control.
  TfrmBootPreview(const TImg& Logo, int32_t Important, int32_t StepsPerSecond);
  ~TfrmBootPreview() override;

  TDisplayControl* Display = nullptr;

 protected:
  void keyPressEvent(QKeyEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void resizeEvent(QResizeEvent* Event) override;

 private:
  void Fit_();

  TImg Logo_;
  int32_t Important_ = 0;
  int32_t StepsPerSecond_ = 0;
};

// The largest 4:3 rectangle centred in a Width x Height screen.
void BootPictureRect(int32_t Width, int32_t Height, int32_t& Left, int32_t& Top,
                     int32_t& NewWidth, int32_t& NewHeight);

// Opens the boot preview full screen on the screen of Near (null: the
// primary screen); it deletes itself when it closes.
TfrmBootPreview* ShowBootPreview(const TImg& Logo, int32_t Important, int32_t StepsPerSecond,
                                 QWidget* Near);

}  // namespace kvo
