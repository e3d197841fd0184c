// SPDX-License-Identifier: GPL-3.0-or-later
// The overwrite dialog: what to do when a picture of the same name already
// exists. The answers are the store's batch answers.
#pragma once

#include <cstdint>
#include <string>

#include <QFont>
#include <QString>

#include "ui/wFormDialog.h"

class QPlainTextEdit;
class QPushButton;

namespace kvo {

inline constexpr int32_t OVR_OVERWRITE = 1;
inline constexpr int32_t OVR_SKIP = 2;
inline constexpr int32_t OVR_RENAME = 3;
inline constexpr int32_t OVR_OVERWRITE_ALL = 4;
inline constexpr int32_t OVR_SKIP_ALL = 5;
inline constexpr int32_t OVR_ABORT = 6;

class TfrmOverwrite : public TFormDialog {
  Q_OBJECT

 public:
  TfrmOverwrite(const std::string& Caption, const std::string& Text, QWidget* Parent = nullptr);
  // The button chosen; OVR_ABORT until one is (so closing the window aborts).
  int32_t Answer() const { return answer_; }

  QPlainTextEdit* memo1 = nullptr;
  QPushButton* btnOvr = nullptr;
  QPushButton* btnOvrAll = nullptr;
  QPushButton* btnSkip = nullptr;
  QPushButton* btnSkipAll = nullptr;
  QPushButton* btnRename = nullptr;
  QPushButton* btnAbort = nullptr;

 private:
  QPushButton* AnswerButton_(const char* Name, const char* Caption, int32_t Answer);
  void ShowText_(const QString& Text);
  int32_t answer_ = OVR_ABORT;
};

// The number of lines Text takes when wrapped at word boundaries to Width
// pixels in Font (an empty paragraph is one line).
int WrappedLineCount(const QString& Text, const QFont& Font, qreal Width);

}  // namespace kvo

namespace kvo::qt {

// The answer 1 to 6 (OVR_*); 6 also when the window is closed.
int32_t ExecOverwriteDialog(const std::string& Caption, const std::string& Text,
                            QWidget* Parent = nullptr);

}  // namespace kvo::qt
