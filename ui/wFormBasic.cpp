// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wFormBasic.h"

#include <QWidget>

namespace kvo {

QFont TFormBasic::FormFont(int PixelHeight) {
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(PixelHeight);
  return font;
}

TFormBasic::TFormBasic(QWidget* Form) {
  if (Form) Form->setFont(FormFont(11));
}

}  // namespace kvo
