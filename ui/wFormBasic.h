// SPDX-License-Identifier: GPL-3.0-or-later
// The look every window of the program shares. Qt allows one QWidget base
// per class, so the shared part is a small mix-in that the dialog base
// (QDialog) and the main window base (QMainWindow) both carry.
#pragma once

#include <QFont>

class QWidget;

namespace kvo {

class TFormBasic {
 public:
  // The forms' font: MS Sans Serif at the given pixel height. Where that face
  // is missing, the closest sans-serif face of the system stands in.
  static QFont FormFont(int PixelHeight);

 protected:
  // Gives Form the font MS Sans Serif 11 pixels high. Forms never grow
  // scroll bars of their own; Qt windows have none unless asked, so that
  // needs nothing here.
  explicit TFormBasic(QWidget* Form);
  virtual ~TFormBasic() = default;
  TFormBasic(const TFormBasic&) = delete;
  TFormBasic& operator=(const TFormBasic&) = delete;
};

}  // namespace kvo
