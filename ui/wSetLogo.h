// SPDX-License-Identifier: GPL-3.0-or-later
// The position dialog "Select Logo Position": for which logo positions a
// picture is meant.
#pragma once

#include <cstdint>
#include <string>

#include "ui/wFormDialog.h"

class QCheckBox;
class QGroupBox;
class QPlainTextEdit;
class QPushButton;

namespace kvo {

class TfrmSetLogo : public TFormDialog {
  Q_OBJECT

 public:
  // Shows Text in the tone Tone (TTextTone) and checks the boxes of Positions.
  TfrmSetLogo(uint32_t Positions, const std::string& Text, uint32_t Tone,
              QWidget* Parent = nullptr);
  // The positions of the checked boxes (0 when none is checked).
  uint32_t CheckedPositions() const;

  QPlainTextEdit* memoText = nullptr;
  QGroupBox* boxPositions = nullptr;
  QCheckBox* chk0 = nullptr;
  QCheckBox* chk1 = nullptr;
  QCheckBox* chk2 = nullptr;
  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel = nullptr;
};

}  // namespace kvo

namespace kvo::qt {

// True when confirmed; Positions then holds the checked positions, possibly
// none. Cancel leaves Positions alone.
bool ExecPositionDialog(uint32_t& Positions, const std::string& Text, uint32_t Tone,
                        QWidget* Parent = nullptr);

}  // namespace kvo::qt
