// SPDX-License-Identifier: GPL-3.0-or-later
// The options dialog: automatic change, message picking, the message font
// and colours, the three message texts and the "Startup" logo's animation.
#pragma once

#include <cstdint>
#include <string>

#include <QFont>
#include <QFrame>

#include "ui/wFormDialog.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLayout;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace kvo {

class TDisplayControl;

// The size of the animation sample on the Animation page.
inline constexpr int ANIM_SAMPLE_WIDTH = 160;
inline constexpr int ANIM_SAMPLE_HEIGHT = 100;

// The values the dialog edits on behalf of its caller, who copies them back
// into the settings only when the dialog was confirmed. The remaining values
// the dialog shows (pick method, animation, message switches) it reads and
// writes in the settings itself.
struct TOptionsCopy {
  std::string Messages[3];  // startup, wait, turn off; CR LF line breaks
  int32_t ResizeMode = 0;   // carried through unchanged
  bool AutoChange = false;
  std::string FontName;
  bool FontBold = false;
  bool FontItalic = false;
  bool FontUnderline = false;
  bool FontStrikeout = false;
  int32_t FontSize = 10;
  uint32_t TextColor = 0;
  uint32_t TextBorderColor = 0;
};

TOptionsCopy OptionsFromSettings();
void OptionsToSettings(const TOptionsCopy& Copy);
// "Verdana, size 10, bold": name, size, then each style that is set.
std::string FontDescription(const TOptionsCopy& Copy);
// The font the copy describes, to preset the font dialog with.
QFont OptionsFont(const TOptionsCopy& Copy);
// Takes a font confirmed in the font dialog into the copy; the size is kept
// within 6 to 72 points.
void TakeChosenFont(TOptionsCopy& Copy, const QFont& Font);

// A colour swatch with a single border that reports clicks, and Space or
// Enter while it has the focus.
class TColorPanel : public QFrame {
  Q_OBJECT

 public:
  TColorPanel(const char* Name, QWidget* Parent);
  uint32_t Color() const { return color_; }
  void SetColor(uint32_t Color);

 signals:
  void clicked();

 protected:
  void mousePressEvent(QMouseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;
  void paintEvent(QPaintEvent* Event) override;

 private:
  uint32_t color_ = 0;
};

class TfrmOptions : public TFormDialog {
  Q_OBJECT

 public:
  // Fills the controls from Copy and the settings (correcting the stored
  // pick method, shape and movement into their ranges).
  explicit TfrmOptions(TOptionsCopy& Copy, QWidget* Parent = nullptr);
  // What OK stores: the copy's values and the dialog's settings.
  void StoreValues();

  QTabWidget* pgOptions = nullptr;
  QCheckBox* chkAutoStart = nullptr;
  QLabel* lblAutoStart = nullptr;  // what automatic change does (AutoStartText)
  QGroupBox* radMsgPick = nullptr;
  QButtonGroup* grpMsgPick = nullptr;
  // The reduction of imported pictures to the logo palette.
  QComboBox* lstPalette = nullptr;
  QGroupBox* boxFont = nullptr;
  QLineEdit* edFont = nullptr;
  QPushButton* btnFontSelect = nullptr;
  TColorPanel* panTextColor1 = nullptr;
  TColorPanel* panTextColor2 = nullptr;
  QCheckBox* chkMsg[3] = {};
  QPlainTextEdit* memo[3] = {};
  QCheckBox* chkAnimEnabled = nullptr;
  QGroupBox* boxAutoChange = nullptr;
  QComboBox* lstAnimShape = nullptr;
  QComboBox* lstAnimMove = nullptr;
  TColorPanel* panAnimColor1 = nullptr;
  TColorPanel* panAnimColor2 = nullptr;
  QSpinBox* edAnimSpeed = nullptr;  // steps a second of the previews
  // A small live sample of the chosen shape, colours and movement.
  TDisplayControl* dspAnimSample = nullptr;
  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel = nullptr;

 private:
  QWidget* BuildGeneralPage_();
  QGroupBox* BuildMsgPickBox_(QWidget* Page);
  QGroupBox* BuildFontBox_(QWidget* Page);
  QLayout* BuildPaletteRow_(QWidget* Page);
  QWidget* BuildMessagePage_(int Index);
  QWidget* BuildAnimationPage_();
  void LoadValues_();
  void ShowFontDescription_();
  void ApplyMemoRule_(int Index);
  void ChooseFont_();
  void PickColor_(TColorPanel* Panel);
  void ShowAnimSample_();

  TOptionsCopy& copy_;
};

// What automatic change does, naming the managed drive as the window's
// title does: "At log-in, put random logos on DRIVE."
std::string AutoStartText();

// The dialog itself: true when confirmed with OK, Copy and the dialog's
// settings then hold the new values. A font confirmed in the font dialog
// reaches Copy even when the dialog is then cancelled; the caller discards
// Copy in that case.
bool ExecOptionsDialog(TOptionsCopy& Copy, QWidget* Parent);
// The Options command: the dialog on a copy of the settings; on OK the copy
// goes back into the settings, the Run value follows AutoChange, and the
// settings and message files are saved. True when confirmed.
bool ExecOptionsDialog(QWidget* Parent);

}  // namespace kvo
