// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wRename.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <memory>

namespace kvo {

TfrmRename::TfrmRename(const std::string& Caption, const std::string& SubTitle,
                       const std::string& Name, QWidget* Parent)
    : TFormDialog(Parent) {
  setObjectName(QStringLiteral("frmRename"));
  setFont(FormFont(11));
  setWindowTitle(QString::fromStdString(Caption));
  SetClientSize(326, 123);

  labSubTitle = new QLabel(QString::fromStdString(SubTitle), this);
  labSubTitle->setObjectName(QStringLiteral("labSubTitle"));
  labSubTitle->setTextFormat(Qt::PlainText);
  edNewName = new QLineEdit(QString::fromStdString(Name), this);
  edNewName->setObjectName(QStringLiteral("edNewName"));
  edNewName->setFixedWidth(293);
  labSubTitle->setBuddy(edNewName);

  auto* main = new QVBoxLayout(this);
  main->setContentsMargins(16, 12, 16, 12);
  main->addWidget(labSubTitle);
  main->addWidget(edNewName);
  main->addStretch(1);
  main->addLayout(MakeOkCancelRow(this, btnOK, btnCancel));
  edNewName->setFocus();
  edNewName->selectAll();
}

std::string TfrmRename::NewName() const { return edNewName->text().toStdString(); }

}  // namespace kvo

namespace kvo::qt {

bool ExecRenameDialog(const std::string& Caption, const std::string& SubTitle, std::string& Name,
                      QWidget* Parent) {
  auto form = std::make_unique<TfrmRename>(Caption, SubTitle, Name, Parent);
  if (form->ShowModal() != QDialog::Accepted) return false;
  Name = form->NewName();
  return true;
}

}  // namespace kvo::qt
