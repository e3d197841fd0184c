// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wHelp.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QKeySequence>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "base/VCLUtils.h"
#include "ui/Theme.h"

namespace kvo {
namespace {

QString ToQ(const std::string& Text) { return QString::fromStdString(Text); }

// Escape (QDialog's own) and Ctrl+W close the window.
void CloseOnCtrlW(QDialog* Dialog) {
  auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), Dialog);
  QObject::connect(shortcut, &QShortcut::activated, Dialog, &QDialog::reject);
}

}  // namespace

TfrmHelp::TfrmHelp(const std::string& Path, QWidget* Parent) : QDialog(Parent) {
  setObjectName(QStringLiteral("frmHelp"));
  setWindowTitle(QStringLiteral("KvoPanoramics Short Manual"));
  setWindowIcon(ProgramIcon());
  txtManual = new QTextBrowser(this);
  txtManual->setObjectName(QStringLiteral("txtManual"));
  txtManual->setAccessibleName(QStringLiteral("Manual"));
  txtManual->setOpenExternalLinks(true);
  txtManual->setSource(QUrl::fromLocalFile(ToQ(Path)));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(txtManual, 1);
  layout->addWidget(buttons);
  CloseOnCtrlW(this);
  resize(720, 640);
  txtManual->setFocus();
}

TfrmHelp* ShowHelpWindow(const std::string& Path, QWidget* Parent) {
  static QPointer<TfrmHelp> open;
  if (!open) {
    open = new TfrmHelp(Path, Parent);
    open->setAttribute(Qt::WA_DeleteOnClose);
  }
  open->show();
  open->raise();
  open->activateWindow();
  return open;
}

TfrmAbout::TfrmAbout(const std::string& ReadMe, QWidget* Parent) : QDialog(Parent) {
  setObjectName(QStringLiteral("frmAbout"));
  setWindowTitle(QStringLiteral("About KvoPanoramics"));
  setWindowIcon(ProgramIcon());
  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("lblIcon"));
  icon->setPixmap(ProgramIcon().pixmap(64, 64));
  icon->setAccessibleName(QStringLiteral("KvoPanoramics icon"));
  auto* title = new QLabel(QString::fromLatin1(APP_TITLE), this);
  title->setObjectName(QStringLiteral("lblTitle"));
  QFont big = title->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.4);
  title->setFont(big);
  auto* licence = new QLabel(QString::fromLatin1(LICENCE_TEXT), this);
  licence->setObjectName(QStringLiteral("lblLicence"));
  licence->setWordWrap(true);
  auto* readMe = new QPlainTextEdit(this);
  readMe->setObjectName(QStringLiteral("memoReadMe"));
  readMe->setAccessibleName(QStringLiteral("Read-me"));
  readMe->setReadOnly(true);
  QFile file(ToQ(ReadMe));
  if (!ReadMe.empty() && file.open(QIODevice::ReadOnly))
    readMe->setPlainText(QString::fromUtf8(file.readAll()));
  else
    readMe->hide();
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* head = new QHBoxLayout;
  head->addWidget(icon);
  head->addWidget(title, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(head);
  layout->addWidget(licence);
  layout->addWidget(readMe, 1);
  layout->addWidget(buttons);
  CloseOnCtrlW(this);
  resize(620, 520);
  buttons->button(QDialogButtonBox::Close)->setFocus();
}

void ExecAboutBox(const std::string& ReadMe, QWidget* Parent) {
  TfrmAbout box(ReadMe, Parent);
  box.exec();
}

}  // namespace kvo
