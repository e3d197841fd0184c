// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wSetLogo.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <memory>

#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "ui/Theme.h"
#include "ui/VCLUtils_qt.h"

namespace kvo {

namespace {

QCheckBox* MakeCheck_(QWidget* Parent, const char* Name, const char* Caption, bool Checked) {
  auto* box = new QCheckBox(QString::fromLatin1(Caption), Parent);
  box->setObjectName(QString::fromLatin1(Name));
  box->setChecked(Checked);
  return box;
}

}  // namespace

TfrmSetLogo::TfrmSetLogo(uint32_t Positions, const std::string& Text, uint32_t Tone,
                         QWidget* Parent)
    : TFormDialog(Parent) {
  setObjectName(QStringLiteral("frmSetLogo"));
  setFont(FormFont(11));
  setWindowTitle(QStringLiteral("Select Logo Position"));
  SetClientSize(410, 207);

  memoText = MakeInfoMemo(this, "memoText", QString::fromStdString(Text));
  memoText->setFixedSize(382, 78);
  memoText->setAccessibleName(QStringLiteral("Explanation"));
  // The scheme's own text colour, or its accent for a note, on the field's
  // background: readable in a light scheme and in a dark one.
  QPalette pal = memoText->palette();
  const QColor field = pal.color(QPalette::Base);
  pal.setColor(QPalette::Text, Tone == TONE_NOTE ? NoteTextColor(pal, field)
                                                 : ReadableOn(pal.color(QPalette::Text), field));
  memoText->setPalette(pal);

  boxPositions = new QGroupBox(this);
  boxPositions->setObjectName(QStringLiteral("boxPositions"));
  chk0 = MakeCheck_(boxPositions, "chk0", "&Startup", Positions & POS_STARTUP);
  chk1 = MakeCheck_(boxPositions, "chk1", "&Waiting to shut down", Positions & POS_WAIT);
  chk2 = MakeCheck_(boxPositions, "chk2", "Turn &Off", Positions & POS_TURNOFF);
  auto* checks = new QVBoxLayout(boxPositions);
  checks->addWidget(chk0);
  checks->addWidget(chk1);
  checks->addWidget(chk2);

  auto* buttons = MakeOkCancelRow(this, btnOK, btnCancel);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(boxPositions, 1);
  bottom->addLayout(buttons);
  bottom->setAlignment(buttons, Qt::AlignBottom);

  auto* main = new QVBoxLayout(this);
  main->addWidget(memoText, 0, Qt::AlignHCenter);
  main->addLayout(bottom);
  chk0->setFocus();
}

uint32_t TfrmSetLogo::CheckedPositions() const {
  uint32_t positions = 0;
  if (chk0->isChecked()) positions |= POS_STARTUP;
  if (chk1->isChecked()) positions |= POS_WAIT;
  if (chk2->isChecked()) positions |= POS_TURNOFF;
  return positions;
}

}  // namespace kvo

namespace kvo::qt {

bool ExecPositionDialog(uint32_t& Positions, const std::string& Text, uint32_t Tone,
                        QWidget* Parent) {
  auto form = std::make_unique<TfrmSetLogo>(Positions, Text, Tone, Parent);
  if (form->ShowModal() != QDialog::Accepted) return false;
  Positions = form->CheckedPositions();
  return true;
}

}  // namespace kvo::qt
