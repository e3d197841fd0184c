// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wAdvanced.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <memory>

#include "core/Locations.h"
#include "ui/Theme.h"
#include "ui/VCLUtils_qt.h"

namespace kvo {

TfrmLoc::TfrmLoc(QWidget* Parent) : TFormDialog(Parent) {
  setObjectName(QStringLiteral("frmLoc"));
  setFont(FormFont(11));
  setWindowTitle(QStringLiteral("Advanced Options"));
  SetClientSize(433, 307);

  Label4 = new QLabel(
      QStringLiteral("Warning: Read the manual before changing anything in this dialog!"), this);
  Label4->setObjectName(QStringLiteral("Label4"));
  // A wider stand-in for the designed face may need a second line.
  Label4->setWordWrap(true);
  QFont bold = Label4->font();
  bold.setBold(true);
  Label4->setFont(bold);
  PaintAsError(Label4);

  pgFolders = new QTabWidget(this);
  pgFolders->setObjectName(QStringLiteral("pgFolders"));
  pgFolders->addTab(BuildFilesPage_(), QStringLiteral("Windows Files"));
  pgFolders->addTab(BuildStoragePage_(), QStringLiteral("Storage Folder"));
  pgFolders->setCurrentIndex(0);

  auto* main = new QVBoxLayout(this);
  main->setContentsMargins(8, 8, 8, 8);
  main->addWidget(Label4);
  main->addWidget(pgFolders, 1);
  main->addLayout(MakeOkCancelRow(this, btnOK, btnCancel));

  ShowPath_(edSrc, GetStorageDir());
  ShowPath_(edDest0, GetLogoFile(POS_STARTUP));
  ShowPath_(edDest1, GetLogoFile(POS_WAIT));
  ShowPath_(edDest2, GetLogoFile(POS_TURNOFF));
}

// Long paths show from their beginning, where they differ most.
void TfrmLoc::ShowPath_(QLineEdit* Edit, const std::string& Path) {
  Edit->setText(QString::fromStdString(Path));
  Edit->setCursorPosition(0);
}

QLineEdit* TfrmLoc::AddPathRow_(QVBoxLayout* Page, const char* Name, const char* Caption) {
  QWidget* parent = Page->parentWidget();
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(Name));
  edit->setFixedWidth(378);
  auto* label = new QLabel(QString::fromLatin1(Caption), parent);
  label->setBuddy(edit);
  Page->addWidget(label);
  Page->addWidget(edit);
  Page->addSpacing(4);
  return edit;
}

QWidget* TfrmLoc::BuildFilesPage_() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  edDest0 = AddPathRow_(layout, "edDest0", "Startup logo");
  edDest1 = AddPathRow_(layout, "edDest1", "Wait to shut down logo");
  edDest2 = AddPathRow_(layout, "edDest2", "Turn off logo");
  btnRestore95 = MakeButton(page, "btnRestore95", QStringLiteral("Restore Defaults"), 100, 25);
  connect(btnRestore95, &QPushButton::clicked, this, &TfrmLoc::RestoreLogoDefaults_);
  layout->addStretch(1);
  layout->addWidget(btnRestore95);
  return page;
}

QWidget* TfrmLoc::BuildStoragePage_() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  edSrc = AddPathRow_(layout, "edSrc", "Folder where the logo candidates are stored");
  btnRestoreStorage =
      MakeButton(page, "btnRestoreStorage", QStringLiteral("Restore Default"), 100, 25);
  connect(btnRestoreStorage, &QPushButton::clicked, this, &TfrmLoc::RestoreStorageDefault_);
  layout->addStretch(1);
  layout->addWidget(btnRestoreStorage);
  return page;
}

// The defaults only go into the edits; nothing changes until OK.
void TfrmLoc::RestoreLogoDefaults_() {
  ShowPath_(edDest0, DefaultLogoFile(POS_STARTUP));
  ShowPath_(edDest1, DefaultLogoFile(POS_WAIT));
  ShowPath_(edDest2, DefaultLogoFile(POS_TURNOFF));
}

void TfrmLoc::RestoreStorageDefault_() {
  ShowPath_(edSrc, DefaultStorageDir());
}

void TfrmLoc::StoreValues() {
  SetStorageDir(edSrc->text().toStdString());
  SetLogoFile(POS_STARTUP, edDest0->text().toStdString());
  SetLogoFile(POS_WAIT, edDest1->text().toStdString());
  SetLogoFile(POS_TURNOFF, edDest2->text().toStdString());
}

bool ExecAdvancedDialog(QWidget* Parent) {
  std::unique_ptr<TfrmLoc> form;
  // Reading the locations may look at the registry stand-in; keep any
  // failure there inside this command.
  if (!RunKeeping("wAdvanced.ExecAdvancedDialog", [&] { form = std::make_unique<TfrmLoc>(Parent); }) ||
      !form)
    return false;
  if (form->ShowModal() != QDialog::Accepted) return false;
  return RunKeeping("wAdvanced.StoreValues", [&] { form->StoreValues(); });
}

}  // namespace kvo
