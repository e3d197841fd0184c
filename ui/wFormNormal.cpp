// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wFormNormal.h"

namespace kvo {

// No position is set: the window manager chooses where the window opens.
TFormNormal::TFormNormal(QWidget* Parent) : QMainWindow(Parent), TFormBasic(this) {}

}  // namespace kvo
