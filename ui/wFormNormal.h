// SPDX-License-Identifier: GPL-3.0-or-later
// The base of the main window: an ordinary top-level window that the window
// manager places, with the program's form font.
#pragma once

#include <QMainWindow>

#include "ui/wFormBasic.h"

namespace kvo {

class TFormNormal : public QMainWindow, public TFormBasic {
  Q_OBJECT

 public:
  explicit TFormNormal(QWidget* Parent = nullptr);
};

}  // namespace kvo
