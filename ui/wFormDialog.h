// SPDX-License-Identifier: GPL-3.0-or-later
// The base of the program's dialogs, and the pieces several dialogs build
// from: the OK/Cancel row and the read-only explanation memo.
#pragma once

#include <QDialog>
#include <QString>

#include "ui/wFormBasic.h"

class QHBoxLayout;
class QPlainTextEdit;
class QPushButton;

namespace kvo {

// A dialog border (fixed size), title bar with system menu, minimize and
// close boxes, and the font MS Sans Serif 14 pixels high; the dialogs of the
// program set the font back to 11 pixels.
class TFormDialog : public QDialog, public TFormBasic {
  Q_OBJECT

 public:
  explicit TFormDialog(QWidget* Parent = nullptr);

  // Fixes the size of the client area, as a dialog border does.
  void SetClientSize(int Width, int Height);
  // Places the window in the middle of its screen (the parent's screen when
  // there is a parent).
  void CenterOnScreen();
  // Centres the window and runs it modally; the QDialog result.
  int ShowModal();
};

// A push button of the given size.
QPushButton* MakeButton(QWidget* Parent, const char* Name, const QString& Caption, int Width,
                        int Height);
// The "OK" (default, accepts) and "Cancel" (cancel, rejects) buttons,
// 84 x 28, right-aligned in a row.
QHBoxLayout* MakeOkCancelRow(QDialog* Dialog, QPushButton*& Ok, QPushButton*& Cancel);
// A read-only multi-line text in the button-face colour that the tab key
// passes by, as the dialogs use for their explanations.
QPlainTextEdit* MakeInfoMemo(QWidget* Parent, const char* Name, const QString& Text);
// Paints a text field's background in a colour role of the application
// palette (Base for the window colour, Button for the button face).
void PaintFieldBackground(QWidget* Field, bool WindowColor);

}  // namespace kvo
