// SPDX-License-Identifier: GPL-3.0-or-later
// The special folders dialog "Advanced Options": where the three logo files
// are written and which folder holds the stored pictures.
#pragma once

#include <string>

#include "ui/wFormDialog.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QVBoxLayout;

namespace kvo {

class TfrmLoc : public TFormDialog {
  Q_OBJECT

 public:
  // Shows the present locations, on the "Windows Files" page.
  explicit TfrmLoc(QWidget* Parent = nullptr);
  // Hands the edits to the location setters: the storage folder first, then
  // the logo files in position order. Nothing is checked here; the setters
  // trim, and later operations report unusable paths.
  void StoreValues();

  QLabel* Label4 = nullptr;
  QTabWidget* pgFolders = nullptr;
  QLineEdit* edDest0 = nullptr;
  QLineEdit* edDest1 = nullptr;
  QLineEdit* edDest2 = nullptr;
  QPushButton* btnRestore95 = nullptr;
  QLineEdit* edSrc = nullptr;
  QPushButton* btnRestoreStorage = nullptr;
  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel = nullptr;

 private:
  QWidget* BuildFilesPage_();
  QWidget* BuildStoragePage_();
  QLineEdit* AddPathRow_(QVBoxLayout* Page, const char* Name, const char* Caption);
  void ShowPath_(QLineEdit* Edit, const std::string& Path);
  void RestoreLogoDefaults_();
  void RestoreStorageDefault_();
};

// Runs the dialog; on OK the new locations are set (they are saved with the
// settings at the end of the program). True when confirmed. The caller
// reloads the picture list in either case.
bool ExecAdvancedDialog(QWidget* Parent);

}  // namespace kvo
