// SPDX-License-Identifier: GPL-3.0-or-later
// The resize-mode dialog "Choose Resize Mode": how added pictures are fitted
// to the logo canvas (border, crop or stretch), each mode shown by a small
// example picture.
#pragma once

#include <cstdint>

#include <QDialog>
#include <QImage>

class QAbstractButton;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QVBoxLayout;

namespace kvo {

// Width and height of the example pictures.
inline constexpr int RESIZE_EXAMPLE_W = 96;
inline constexpr int RESIZE_EXAMPLE_H = 80;

// The example picture of a fitting mode (0 border, 1 crop, 2 stretch): one
// wide landscape with a round sun, fitted to 96 x 80 the way the mode fits
// pictures to the screen. Any other mode draws like 0.
QImage ResizeExampleImage(int32_t Mode);

// Derived from the plain dialog rather than the program's dialog base: this
// window has a sizeable border and opens where the window manager puts it.
class TfrmResize : public QDialog {
  Q_OBJECT

 public:
  // Checks the button of Mode; for an unknown mode none is checked.
  explicit TfrmResize(int32_t Mode, QWidget* Parent = nullptr);
  // 0 border, 1 crop, 2 stretch, and 0 when nothing is checked.
  int32_t ChosenMode() const;

  QRadioButton* radBorder = nullptr;
  QRadioButton* radCrop = nullptr;
  QRadioButton* radStretch = nullptr;
  QAbstractButton* imgBorder = nullptr;
  QAbstractButton* imgCrop = nullptr;
  QAbstractButton* imgStretch = nullptr;
  QPlainTextEdit* memoBorder = nullptr;
  QPlainTextEdit* memoCrop = nullptr;
  QPlainTextEdit* memoStretch = nullptr;
  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel = nullptr;

 private:
  void AddRow_(QVBoxLayout* Main, int32_t Mode, const char* Text);
};

}  // namespace kvo

namespace kvo::qt {

// True when confirmed; Mode then holds the chosen mode. Cancel leaves Mode
// alone, and the caller abandons its operation.
bool ExecResizeDialog(int32_t& Mode, QWidget* Parent = nullptr);

}  // namespace kvo::qt
