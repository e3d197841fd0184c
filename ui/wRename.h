// SPDX-License-Identifier: GPL-3.0-or-later
// The rename dialog: one line of text asked for under a caption and a
// subtitle ("Rename" / "Enter new name", "Change Prefix" / ...).
#pragma once

#include <string>

#include "ui/wFormDialog.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace kvo {

class TfrmRename : public TFormDialog {
  Q_OBJECT

 public:
  TfrmRename(const std::string& Caption, const std::string& SubTitle, const std::string& Name,
             QWidget* Parent = nullptr);
  // The edit's text exactly as typed.
  std::string NewName() const;

  QLabel* labSubTitle = nullptr;
  QLineEdit* edNewName = nullptr;
  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel = nullptr;
};

}  // namespace kvo

namespace kvo::qt {

// True when confirmed; Name then holds the text as typed, blanks and all
// (the callers decide what an empty or odd name means).
bool ExecRenameDialog(const std::string& Caption, const std::string& SubTitle, std::string& Name,
                      QWidget* Parent = nullptr);

}  // namespace kvo::qt
