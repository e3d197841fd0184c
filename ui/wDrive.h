// SPDX-License-Identifier: GPL-3.0-or-later
// The "Windows Drive" dialog: which drive the logos are managed on, a
// folder (a mounted drive) or an emulator's disk image, with what the
// program finds there before the choice is made.
#pragma once

#include <cstdint>
#include <string>

#include "ui/wFormDialog.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace kvo {

class TfrmDrive : public TFormDialog {
  Q_OBJECT

 public:
  // Opens on the drive in use.
  explicit TfrmDrive(QWidget* Parent = nullptr);
  // The choice: the path, with ":N" when the user picked partition N.
  std::string Choice() const;
  // Shows what the choice holds: its partitions, its Windows folder and
  // logo files, or why it cannot be used. Nothing is remembered here.
  void Refresh();

  QLineEdit* edPath = nullptr;
  QPushButton* btnFolder = nullptr;
  QPushButton* btnImage = nullptr;
  QLabel* lblKind = nullptr;
  QTreeWidget* lvPartitions = nullptr;
  QLabel* lblWinFolder = nullptr;
  QLabel* lblShowing = nullptr;  // whether Windows shows the logos (MSDOS.SYS)
  QCheckBox* chkLogos = nullptr;  // Logo= of MSDOS.SYS, changed on OK
  QLabel* lblLogos = nullptr;
  QLabel* lblError = nullptr;
  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel = nullptr;

 public slots:
  // Remembers the choice and switches the Startup logo in MSDOS.SYS when
  // the check box was changed; on failure says why and stays open.
  void accept() override;

 private:
  QLayout* BuildPathRow_();
  void BrowseFolder_();
  void BrowseImage_();
  void PathEdited_();
  void PartitionPicked_(QTreeWidgetItem* Item);
  void ShowPath_(const std::string& Path);
  // The check box as Logo (0 or 1) sets it; -1 (not known) disables it.
  void ShowLogoSwitch_(int32_t Logo);

  int32_t logoShown_ = -1;  // Logo= as read from the drive shown; -1 when not known
  int32_t partition_ = 0;  // the partition the user picked; 0 lets the drive choose
  bool filling_ = false;   // the partition list is being rebuilt
  QTimer* typing_ = nullptr;
};

// Runs the dialog; true when a new drive was chosen and remembered.
bool ExecDriveDialog(QWidget* Parent);
// The drive in use in a few words, for the main window's title: the image
// file's name (and its partition when it has several), or the folder.
std::string DriveCaption();

}  // namespace kvo
