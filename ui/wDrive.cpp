// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wDrive.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <memory>

#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/LogoCheck.h"
#include "core/Settings.h"
#include "ui/Theme.h"
#include "ui/VCLUtils_qt.h"

namespace kvo {
namespace {

// Images are told apart by their content; the filter only narrows the list.
constexpr const char* IMAGE_FILTER =
    "Disk images|*.img;*.ima;*.raw;*.dsk;*.hdd;*.vhd;*.vhdx;*.qcow2;*.qcow;*.vdi;*.vmdk|All files|*.*";

QString ToQ(const std::string& Text) { return QString::fromStdString(Text); }

// "Startup logo: C:\LOGO.SYS, present", one line for each position.
std::string LogoLines(TDrive& Drive) {
  std::string text;
  for (uint32_t p : POSITIONS) {
    const TLogoFileState st = CheckLogoFile(Drive, p);
    if (!text.empty()) text += "\n";
    text += PositionCaption(p) + " logo: " + GuestPath(Drive, st.Path) + ", " + st.Text;
  }
  return text;
}

QLabel* MakeLabel(QWidget* Parent, const char* Name) {
  auto* label = new QLabel(Parent);
  label->setObjectName(QString::fromLatin1(Name));
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  return label;
}

}  // namespace

TfrmDrive::TfrmDrive(QWidget* Parent) : TFormDialog(Parent) {
  setObjectName(QStringLiteral("frmDrive"));
  setFont(FormFont(11));
  setWindowTitle(QStringLiteral("Windows Drive"));
  SetClientSize(470, 400);

  auto* intro = new QLabel(
      QStringLiteral("The logos are managed on this drive: a folder (a mounted Windows drive) or "
                     "the disk image of an emulator or virtual machine."),
      this);
  intro->setWordWrap(true);
  lblKind = MakeLabel(this, "lblKind");
  lvPartitions = new QTreeWidget(this);
  lvPartitions->setObjectName(QStringLiteral("lvPartitions"));
  lvPartitions->setAccessibleName(QStringLiteral("Partitions"));
  lvPartitions->setHeaderLabels({QStringLiteral("Partition"), QStringLiteral("File system"),
                                 QStringLiteral("Size"), QStringLiteral("Label")});
  lvPartitions->setRootIsDecorated(false);
  lvPartitions->setSelectionMode(QAbstractItemView::SingleSelection);
  lvPartitions->header()->setSectionResizeMode(QHeaderView::Stretch);
  lvPartitions->setFixedHeight(104);
  connect(lvPartitions, &QTreeWidget::currentItemChanged, this, &TfrmDrive::PartitionPicked_);
  lblWinFolder = MakeLabel(this, "lblWinFolder");
  lblShowing = MakeLabel(this, "lblShowing");
  chkLogos = new QCheckBox(QStringLiteral("&Show logos when Windows starts"), this);
  chkLogos->setObjectName(QStringLiteral("chkLogos"));
  chkLogos->setEnabled(false);
  lblLogos = MakeLabel(this, "lblLogos");
  lblError = MakeLabel(this, "lblError");
  PaintAsError(lblError);

  auto* main = new QVBoxLayout(this);
  main->setContentsMargins(8, 8, 8, 8);
  main->addWidget(intro);
  main->addLayout(BuildPathRow_());
  main->addWidget(lblKind);
  main->addWidget(lvPartitions);
  main->addWidget(lblWinFolder);
  main->addWidget(lblShowing);
  main->addWidget(chkLogos);
  main->addWidget(lblLogos);
  main->addWidget(lblError);
  main->addStretch(1);
  main->addLayout(MakeOkCancelRow(this, btnOK, btnCancel));

  // Typing is looked at once it pauses: each look at an image runs mtools.
  typing_ = new QTimer(this);
  typing_->setSingleShot(true);
  typing_->setInterval(400);
  connect(typing_, &QTimer::timeout, this, &TfrmDrive::Refresh);
  connect(edPath, &QLineEdit::textEdited, this, &TfrmDrive::PathEdited_);

  std::string path;
  SplitDriveChoice(ManagedDrive().Identity(), path, partition_);
  ShowPath_(path);
  Refresh();
  // Typing a path is what the dialog is for.
  edPath->setFocus();
}

QLayout* TfrmDrive::BuildPathRow_() {
  edPath = new QLineEdit(this);
  edPath->setObjectName(QStringLiteral("edPath"));
  edPath->setAccessibleName(QStringLiteral("Folder or disk image"));
  btnFolder = MakeButton(this, "btnFolder", QStringLiteral("&Folder..."), 84, 25);
  btnImage = MakeButton(this, "btnImage", QStringLiteral("&Disk Image..."), 96, 25);
  connect(btnFolder, &QPushButton::clicked, this, &TfrmDrive::BrowseFolder_);
  connect(btnImage, &QPushButton::clicked, this, &TfrmDrive::BrowseImage_);
  auto* row = new QHBoxLayout;
  row->addWidget(edPath, 1);
  row->addWidget(btnFolder);
  row->addWidget(btnImage);
  return row;
}

std::string TfrmDrive::Choice() const {
  std::string path = edPath->text().trimmed().toStdString();
  if (path.empty() || partition_ <= 0) return path;
  return path + ":" + std::to_string(partition_);
}

void TfrmDrive::ShowPath_(const std::string& Path) {
  edPath->setText(ToQ(Path));
  edPath->setCursorPosition(0);
}

// A new path starts with the partition the drive would choose itself.
void TfrmDrive::PathEdited_() {
  partition_ = 0;
  typing_->start();
}

void TfrmDrive::BrowseFolder_() {
  const QString start = QFileInfo(edPath->text().trimmed()).absolutePath();
  const QString folder = QFileDialog::getExistingDirectory(
      this, QStringLiteral("Choose the Windows Drive Folder"), start);
  if (folder.isEmpty()) return;
  ShowPath_(folder.toStdString());
  partition_ = 0;
  Refresh();
}

void TfrmDrive::BrowseImage_() {
  static int32_t filterIndex = 1;
  std::string dir = QFileInfo(edPath->text().trimmed()).absolutePath().toStdString() + "/";
  std::string file;
  if (!FileOpenDlg("Choose a Disk Image", dir, IMAGE_FILTER, filterIndex, file)) return;
  ShowPath_(file);
  partition_ = 0;
  Refresh();
}

void TfrmDrive::PartitionPicked_(QTreeWidgetItem* Item) {
  if (filling_ || !Item) return;
  const int32_t number = Item->data(0, Qt::UserRole).toInt();
  if (number == partition_) return;
  partition_ = number;
  Refresh();
}

void TfrmDrive::Refresh() {
  typing_->stop();
  filling_ = true;
  lvPartitions->clear();
  filling_ = false;
  lblKind->clear();
  lblWinFolder->clear();
  lblShowing->clear();
  ShowLogoSwitch_(-1);
  lblLogos->clear();
  lblError->clear();
  const std::string choice = Choice();
  if (choice.empty()) {
    lblError->setText(QStringLiteral("Choose a folder or a disk image."));
    return;
  }
  RunKeeping("wDrive.Refresh", [&] {
    std::unique_ptr<TDrive> drive = OpenDrive(choice);
    const TDriveInfo info = drive->Describe();
    std::string kind = "Drive: " + info.Kind + " " + info.Path;
    if (!info.Layout.Format.empty()) kind += "\nFormat: " + FormatText(info.Layout);
    lblKind->setText(ToQ(kind));
    // A folder has no partitions to choose from.
    lvPartitions->setEnabled(!info.Layout.Volumes.empty());
    filling_ = true;
    for (const TVolumeInfo& v : info.Layout.Volumes) {
      auto* item = new QTreeWidgetItem(
          lvPartitions, {v.Number > 0 ? QString::number(v.Number) : QStringLiteral("-"),
                         ToQ(v.FileSystem.empty() ? "not FAT" : v.FileSystem),
                         ToQ(GetFileSizeStr(static_cast<double>(v.Size))), ToQ(v.Label)});
      item->setData(0, Qt::UserRole, v.Number);
      // Only a FAT volume can be the drive.
      if (v.FileSystem.empty()) item->setFlags(Qt::NoItemFlags);
      if (info.Error.empty() && v.Number == info.Partition) lvPartitions->setCurrentItem(item);
    }
    filling_ = false;
    if (!info.Error.empty()) {
      lblError->setText(ToQ("Not usable: " + info.Error));
      return;
    }
    lblWinFolder->setText(ToQ("Windows folder: " + GuestPath(*drive, info.WinFolder) +
                              (info.WinFolderFound ? "" : " (missing)")));
    const TLogoSetting setting = ReadLogoSetting(*drive);
    lblShowing->setText(ToQ(setting.Text));
    // Only the text MSDOS.SYS of Windows 95 and 98 can be switched.
    ShowLogoSwitch_(setting.Msdos.Form == TMsdosForm::Text ? setting.Msdos.Logo : -1);
    lblLogos->setText(ToQ(LogoLines(*drive)));
  });
  filling_ = false;
}

void TfrmDrive::accept() {
  const std::string choice = Choice();
  if (choice.empty()) {
    ShowError("Choose a folder or a disk image.");
    return;
  }
  std::string error;
  bool remembered = false;
  if (!RunKeeping("wDrive.RememberDrive", [&] { remembered = RememberDrive(choice, error); })) return;
  if (!remembered) {
    ShowError(error);
    return;
  }
  if (logoShown_ >= 0 && chkLogos->isChecked() != (logoShown_ == 1)) {
    bool switched = false;
    if (!RunKeeping("wDrive.SwitchStartupLogo", [&] {
          TChangeLock changing;
          switched = changing.Held() && SwitchStartupLogo(chkLogos->isChecked(), error);
          if (changing.Held() && !switched) ShowError(error);
        }))
      return;
    if (!switched) return;
  }
  TFormDialog::accept();
}

void TfrmDrive::ShowLogoSwitch_(int32_t Logo) {
  logoShown_ = Logo;
  chkLogos->setEnabled(Logo >= 0);
  chkLogos->setChecked(Logo != 0);
}

bool ExecDriveDialog(QWidget* Parent) {
  std::unique_ptr<TfrmDrive> form;
  if (!RunKeeping("wDrive.ExecDriveDialog", [&] { form = std::make_unique<TfrmDrive>(Parent); }) ||
      !form)
    return false;
  return form->ShowModal() == QDialog::Accepted;
}

std::string DriveCaption() {
  TDriveInfo info = ManagedDrive().Describe();
  if (info.Layout.Format.empty()) return info.Path;
  std::string name = QFileInfo(ToQ(info.Path)).fileName().toStdString();
  if (info.Layout.Volumes.size() > 1) name += ", partition " + std::to_string(info.Partition);
  return name;
}

}  // namespace kvo
