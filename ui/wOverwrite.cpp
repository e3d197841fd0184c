// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wOverwrite.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QTextLayout>
#include <QTextOption>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

namespace kvo {

int WrappedLineCount(const QString& Text, const QFont& Font, qreal Width) {
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  int lines = 0;
  for (const QString& paragraph : Text.split(QLatin1Char('\n'))) {
    QTextLayout layout(paragraph, Font);
    layout.setTextOption(option);
    layout.beginLayout();
    int n = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(Width);
      ++n;
    }
    layout.endLayout();
    lines += std::max(n, 1);
  }
  return lines;
}

TfrmOverwrite::TfrmOverwrite(const std::string& Caption, const std::string& Text, QWidget* Parent)
    : TFormDialog(Parent) {
  setObjectName(QStringLiteral("frmOverwrite"));
  setFont(FormFont(11));
  setWindowTitle(QString::fromStdString(Caption));
  // 512 x 164 with the frame of a dialog border and its title bar.
  SetClientSize(506, 140);

  memo1 = MakeInfoMemo(this, "memo1", QString());
  memo1->setAccessibleName(QStringLiteral("Message"));
  memo1->setFixedSize(477, 87);
  memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memo1->setFrameShape(QFrame::NoFrame);
  ShowText_(QString::fromStdString(Text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));

  btnOvr = AnswerButton_("btnOvr", "&Overwrite", OVR_OVERWRITE);
  btnOvrAll = AnswerButton_("btnOvrAll", "Overwrite All", OVR_OVERWRITE_ALL);
  btnSkip = AnswerButton_("btnSkip", "&Skip", OVR_SKIP);
  btnSkipAll = AnswerButton_("btnSkipAll", "Skip All Dupl.", OVR_SKIP_ALL);
  btnRename = AnswerButton_("btnRename", "&Rename", OVR_RENAME);
  btnAbort = AnswerButton_("btnAbort", "A&bort", OVR_ABORT);
  auto* row = new QHBoxLayout;
  row->setSpacing(6);
  for (QPushButton* b : {btnOvr, btnOvrAll, btnSkip, btnSkipAll, btnRename, btnAbort})
    row->addWidget(b);

  auto* main = new QVBoxLayout(this);
  main->setContentsMargins(13, 8, 13, 10);
  main->addWidget(memo1, 0, Qt::AlignHCenter);
  main->addStretch(1);
  main->addLayout(row);
  btnOvr->setFocus();
}

QPushButton* TfrmOverwrite::AnswerButton_(const char* Name, const char* Caption, int32_t Answer) {
  QPushButton* button = MakeButton(this, Name, QString::fromLatin1(Caption), 75, 25);
  connect(button, &QPushButton::clicked, this, [this, Answer] {
    answer_ = Answer;
    accept();
  });
  return button;
}

// Long texts get a scroll bar; short ones sit a line lower, nearer the middle
// of the box.
void TfrmOverwrite::ShowText_(const QString& Text) {
  const qreal width = memo1->width() - 2 * memo1->document()->documentMargin();
  const int lines = WrappedLineCount(Text, memo1->font(), width);
  memo1->setVerticalScrollBarPolicy(lines > 6 ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  memo1->setPlainText(lines < 3 ? QStringLiteral("\n") + Text : Text);
}

}  // namespace kvo

namespace kvo::qt {

int32_t ExecOverwriteDialog(const std::string& Caption, const std::string& Text, QWidget* Parent) {
  auto form = std::make_unique<TfrmOverwrite>(Caption, Text, Parent);
  form->ShowModal();
  return form->Answer();
}

}  // namespace kvo::qt
