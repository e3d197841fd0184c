// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wFormDialog.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLayout>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>

namespace kvo {

TFormDialog::TFormDialog(QWidget* Parent) : QDialog(Parent), TFormBasic(this) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFont(FormFont(14));
  // Escape closes a dialog (QDialog's own); Ctrl+W too, as on the desktop.
  auto* close = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this);
  connect(close, &QShortcut::activated, this, &QDialog::reject);
}

void TFormDialog::SetClientSize(int Width, int Height) { setFixedSize(Width, Height); }

void TFormDialog::CenterOnScreen() {
  QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  ensurePolished();
  if (layout()) layout()->activate();
  const QRect area = screen->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
}

int TFormDialog::ShowModal() {
  CenterOnScreen();
  return exec();
}

QPushButton* MakeButton(QWidget* Parent, const char* Name, const QString& Caption, int Width,
                        int Height) {
  auto* button = new QPushButton(Caption, Parent);
  button->setObjectName(QString::fromLatin1(Name));
  button->setFixedSize(Width, Height);
  // Only the designated default button reacts to Enter.
  button->setAutoDefault(false);
  return button;
}

QHBoxLayout* MakeOkCancelRow(QDialog* Dialog, QPushButton*& Ok, QPushButton*& Cancel) {
  Ok = MakeButton(Dialog, "btnOK", QStringLiteral("OK"), 84, 28);
  Cancel = MakeButton(Dialog, "btnCancel", QStringLiteral("Cancel"), 84, 28);
  Ok->setDefault(true);
  QObject::connect(Ok, &QPushButton::clicked, Dialog, &QDialog::accept);
  QObject::connect(Cancel, &QPushButton::clicked, Dialog, &QDialog::reject);
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  row->addWidget(Ok);
  row->addWidget(Cancel);
  return row;
}

QPlainTextEdit* MakeInfoMemo(QWidget* Parent, const char* Name, const QString& Text) {
  auto* memo = new QPlainTextEdit(Parent);
  memo->setObjectName(QString::fromLatin1(Name));
  memo->setPlainText(Text);
  memo->setReadOnly(true);
  memo->setFocusPolicy(Qt::NoFocus);
  memo->setTabChangesFocus(true);
  PaintFieldBackground(memo, false);
  return memo;
}

void PaintFieldBackground(QWidget* Field, bool WindowColor) {
  if (!Field) return;
  const QColor color = QApplication::palette().color(QPalette::Active,
                                                     WindowColor ? QPalette::Base : QPalette::Button);
  QPalette pal = Field->palette();
  pal.setColor(QPalette::Base, color);
  Field->setPalette(pal);
}

}  // namespace kvo
