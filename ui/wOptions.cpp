// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wOptions.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cmath>
#include <cstring>
#include <memory>

#include "base/Basic.h"
#include "core/Composer.h"
#include "core/Locations.h"
#include "core/LogoPreview.h"
#include "core/Settings.h"
#include "ui/CtlDisplay.h"
#include "ui/VCLUtils_qt.h"
#include "ui/wDrive.h"

namespace kvo {

// ---- the working copy -----------------------------------------------------------------

std::string AutoStartText() { return "At log-in, put random logos on " + DriveCaption() + "."; }

TOptionsCopy OptionsFromSettings() {
  const TSettings& s = Settings();
  TOptionsCopy c;
  for (int i = 0; i < 3; ++i) c.Messages[i] = GetMessages(POSITIONS[i]);
  c.ResizeMode = s.ResizeMode;
  c.AutoChange = s.AutoChange;
  c.FontName = s.FontName;
  c.FontBold = s.FontBold;
  c.FontItalic = s.FontItalic;
  c.FontUnderline = s.FontUnderline;
  c.FontStrikeout = s.FontStrikeout;
  c.FontSize = s.FontSize;
  c.TextColor = s.TextColor;
  c.TextBorderColor = s.TextBorderColor;
  return c;
}

void OptionsToSettings(const TOptionsCopy& Copy) {
  TSettings& s = Settings();
  for (int i = 0; i < 3; ++i) SetMessages(POSITIONS[i], Copy.Messages[i]);
  s.ResizeMode = Copy.ResizeMode;
  s.AutoChange = Copy.AutoChange;
  s.FontName = Copy.FontName;
  s.FontBold = Copy.FontBold;
  s.FontItalic = Copy.FontItalic;
  s.FontUnderline = Copy.FontUnderline;
  s.FontStrikeout = Copy.FontStrikeout;
  s.FontSize = Copy.FontSize;
  s.TextColor = Copy.TextColor;
  s.TextBorderColor = Copy.TextBorderColor;
}

std::string FontDescription(const TOptionsCopy& Copy) {
  std::string text = Copy.FontName + ", size " + std::to_string(Copy.FontSize);
  if (Copy.FontBold) text += ", bold";
  if (Copy.FontItalic) text += ", italic";
  if (Copy.FontUnderline) text += ", underline";
  if (Copy.FontStrikeout) text += ", strikeout";
  return text;
}

QFont OptionsFont(const TOptionsCopy& Copy) {
  QFont font(QString::fromStdString(Copy.FontName));
  font.setPointSize(Copy.FontSize > 0 ? Copy.FontSize : 10);
  font.setBold(Copy.FontBold);
  font.setItalic(Copy.FontItalic);
  font.setUnderline(Copy.FontUnderline);
  font.setStrikeOut(Copy.FontStrikeout);
  return font;
}

void TakeChosenFont(TOptionsCopy& Copy, const QFont& Font) {
  Copy.FontName = Font.family().toStdString();
  Copy.FontBold = Font.bold();
  Copy.FontItalic = Font.italic();
  Copy.FontUnderline = Font.underline();
  Copy.FontStrikeout = Font.strikeOut();
  // A font set in pixels is converted at the 96 pixels per inch the
  // renderer draws with.
  const double points =
      Font.pointSizeF() > 0 ? Font.pointSizeF() : Font.pixelSize() * 72.0 / 96.0;
  Copy.FontSize = Limit(static_cast<int32_t>(std::nearbyint(points)), 6, 72);
}

// ---- colour panel ---------------------------------------------------------------------------

TColorPanel::TColorPanel(const char* Name, QWidget* Parent) : QFrame(Parent) {
  setObjectName(QString::fromLatin1(Name));
  setFrameStyle(QFrame::Box | QFrame::Plain);
  setLineWidth(1);
  setFixedSize(64, 24);
  setAutoFillBackground(true);
  // Reached with Tab like any button; a screen reader hears it as one.
  setFocusPolicy(Qt::StrongFocus);
  setAccessibleDescription(QStringLiteral("Press Space to choose the colour"));
  SetColor(0);
}

void TColorPanel::SetColor(uint32_t Color) {
  color_ = Color & 0xFFFFFF;
  QPalette pal = palette();
  pal.setColor(QPalette::Window, ColorRefToQColor(color_));
  setPalette(pal);
}

void TColorPanel::mousePressEvent(QMouseEvent* Event) {
  if (Event->button() == Qt::LeftButton) emit clicked();
  QFrame::mousePressEvent(Event);
}

void TColorPanel::keyPressEvent(QKeyEvent* Event) {
  switch (Event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      emit clicked();
      return;
    default:
      QFrame::keyPressEvent(Event);
  }
}

void TColorPanel::paintEvent(QPaintEvent* Event) {
  QFrame::paintEvent(Event);
  if (!hasFocus()) return;
  // The focus shows as the style's focus frame inside the border.
  QPainter p(this);
  QStyleOptionFocusRect focus;
  focus.initFrom(this);
  focus.rect = rect().adjusted(3, 3, -3, -3);
  focus.backgroundColor = palette().color(QPalette::Window);
  style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
}

// ---- the dialog ----------------------------------------------------------------------------------

namespace {

const char* const kShapeCaptions[] = {"Top - bar at the top of the image",
                                      "Bottom - bar at the bottom of the image",
                                      "Vertical - left and right bar"};
const char* const kMoveCaptions[] = {"Smooth scroll", "Vegas style"};

QCheckBox* MakeCheck_(QWidget* Parent, const QString& Name, const QString& Caption) {
  auto* box = new QCheckBox(Caption, Parent);
  box->setObjectName(Name);
  return box;
}

QComboBox* MakeList_(QWidget* Parent, const char* Name, const char* const* Items, int Count) {
  auto* list = new QComboBox(Parent);
  list->setObjectName(QString::fromLatin1(Name));
  for (int i = 0; i < Count; ++i) list->addItem(QString::fromLatin1(Items[i]));
  return list;
}

// The message editors use a fixed-pitch face, as Fixedsys was.
QFont MemoFont_() {
  QFont font(QStringLiteral("Fixedsys"));
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setPixelSize(12);
  return font;
}

}  // namespace

TfrmOptions::TfrmOptions(TOptionsCopy& Copy, QWidget* Parent) : TFormDialog(Parent), copy_(Copy) {
  setObjectName(QStringLiteral("frmOptions"));
  setFont(FormFont(11));
  setWindowTitle(QStringLiteral("Options"));
  SetClientSize(426, 397);

  pgOptions = new QTabWidget(this);
  pgOptions->setObjectName(QStringLiteral("pgOptions"));
  pgOptions->addTab(BuildGeneralPage_(), QStringLiteral("General"));
  pgOptions->addTab(BuildMessagePage_(0), QStringLiteral("Startup"));
  pgOptions->addTab(BuildMessagePage_(1), QStringLiteral("Shut Down"));
  pgOptions->addTab(BuildMessagePage_(2), QStringLiteral("Turn Off"));
  pgOptions->addTab(BuildAnimationPage_(), QStringLiteral("Animation"));
  pgOptions->setCurrentIndex(0);

  auto* main = new QVBoxLayout(this);
  main->setContentsMargins(5, 5, 5, 5);
  main->addWidget(pgOptions, 1);
  main->addLayout(MakeOkCancelRow(this, btnOK, btnCancel));
  LoadValues_();
}

QWidget* TfrmOptions::BuildGeneralPage_() {
  auto* page = new QWidget;
  chkAutoStart = MakeCheck_(page, QStringLiteral("chkAutoStart"),
                            QStringLiteral("Automatically change logos"));
  QFont bold = chkAutoStart->font();
  bold.setBold(true);
  chkAutoStart->setFont(bold);
  // What the switch does, in so many words: it starts a job at every log-in
  // that writes into the drive, a virtual machine's disk image included.
  lblAutoStart = new QLabel(QString::fromStdString(AutoStartText()), page);
  lblAutoStart->setObjectName(QStringLiteral("lblAutoStart"));
  lblAutoStart->setWordWrap(true);
  lblAutoStart->setIndent(chkAutoStart->style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                          chkAutoStart->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing));
  chkAutoStart->setAccessibleDescription(lblAutoStart->text());
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(chkAutoStart);
  layout->addWidget(lblAutoStart);
  layout->addWidget(BuildMsgPickBox_(page));
  layout->addWidget(BuildFontBox_(page));
  layout->addLayout(BuildPaletteRow_(page));
  layout->addStretch(1);
  return page;
}

QGroupBox* TfrmOptions::BuildMsgPickBox_(QWidget* Page) {
  radMsgPick = new QGroupBox(QStringLiteral("Message pick method"), Page);
  radMsgPick->setObjectName(QStringLiteral("radMsgPick"));
  grpMsgPick = new QButtonGroup(radMsgPick);
  auto* layout = new QVBoxLayout(radMsgPick);
  const char* const captions[] = {"Randomly", "Show only the first one (ignore others)"};
  for (int i = 0; i < 2; ++i) {
    auto* radio = new QRadioButton(QString::fromLatin1(captions[i]), radMsgPick);
    radio->setObjectName(QStringLiteral("radMsgPick%1").arg(i));
    grpMsgPick->addButton(radio, i);
    layout->addWidget(radio);
  }
  return radMsgPick;
}

QGroupBox* TfrmOptions::BuildFontBox_(QWidget* Page) {
  boxFont = new QGroupBox(QStringLiteral("Message font"), Page);
  boxFont->setObjectName(QStringLiteral("boxFont"));
  edFont = new QLineEdit(boxFont);
  edFont->setObjectName(QStringLiteral("edFont"));
  edFont->setReadOnly(true);
  edFont->setFixedWidth(288);
  PaintFieldBackground(edFont, false);
  btnFontSelect = MakeButton(boxFont, "btnFontSelect", QStringLiteral("Choose..."), 84, 24);
  connect(btnFontSelect, &QPushButton::clicked, this, &TfrmOptions::ChooseFont_);
  panTextColor1 = new TColorPanel("panTextColor1", boxFont);
  panTextColor2 = new TColorPanel("panTextColor2", boxFont);
  for (TColorPanel* p : {panTextColor1, panTextColor2})
    connect(p, &TColorPanel::clicked, this, [this, p] { PickColor_(p); });

  auto* grid = new QGridLayout(boxFont);
  grid->addWidget(edFont, 0, 0, 1, 4);
  grid->addWidget(btnFontSelect, 0, 4);
  auto* textLabel = new QLabel(QStringLiteral("Text color"), boxFont);
  auto* shadowLabel = new QLabel(QStringLiteral("Shadow color"), boxFont);
  // The labels name their swatches for a screen reader.
  textLabel->setBuddy(panTextColor1);
  shadowLabel->setBuddy(panTextColor2);
  panTextColor1->setAccessibleName(QStringLiteral("Text color"));
  panTextColor2->setAccessibleName(QStringLiteral("Shadow color"));
  grid->addWidget(textLabel, 1, 0);
  grid->addWidget(panTextColor1, 1, 1);
  grid->addWidget(shadowLabel, 1, 2, Qt::AlignRight);
  grid->addWidget(panTextColor2, 1, 3);
  grid->setColumnStretch(2, 1);
  return boxFont;
}

// Standard is the program's own reduction; Best keeps the gradients of
// photographs smoother at some more time per picture.
QLayout* TfrmOptions::BuildPaletteRow_(QWidget* Page) {
  static const char* const kPaletteCaptions[] = {"Standard", "Best"};
  lstPalette = MakeList_(Page, "lstPalette", kPaletteCaptions, 2);
  lstPalette->setAccessibleName(QStringLiteral("Palette"));
  auto* label = new QLabel(QStringLiteral("Palette"), Page);
  label->setBuddy(lstPalette);
  auto* row = new QHBoxLayout;
  row->addWidget(label);
  row->addWidget(lstPalette);
  row->addStretch(1);
  return row;
}

QWidget* TfrmOptions::BuildMessagePage_(int Index) {
  static const char* const kCaptions[3] = {"\"Startup\" messages", "\"Wait to shut down\" messages",
                                           "\"Turn off\" messages"};
  auto* page = new QWidget;
  chkMsg[Index] = MakeCheck_(page, QStringLiteral("chkMsg%1").arg(Index),
                             QString::fromLatin1(kCaptions[Index]));
  connect(chkMsg[Index], &QCheckBox::toggled, this, [this, Index] { ApplyMemoRule_(Index); });
  QPlainTextEdit* m = new QPlainTextEdit(page);
  m->setObjectName(QStringLiteral("memo%1").arg(Index));
  m->setFixedSize(403, 278);
  m->setLineWrapMode(QPlainTextEdit::NoWrap);
  m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m->setFont(MemoFont_());
  m->setAccessibleName(QString::fromLatin1(kCaptions[Index]));
  m->setTabChangesFocus(true);
  memo[Index] = m;

  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(4, 6, 4, 4);
  layout->addWidget(chkMsg[Index]);
  layout->addWidget(m, 0, Qt::AlignHCenter);
  layout->addStretch(1);
  return page;
}

QWidget* TfrmOptions::BuildAnimationPage_() {
  auto* page = new QWidget;
  chkAnimEnabled = MakeCheck_(page, QStringLiteral("chkAnimEnabled"),
                              QStringLiteral("Enable animation (only for startup logos)"));
  boxAutoChange = new QGroupBox(QStringLiteral("Animation Options"), page);
  boxAutoChange->setObjectName(QStringLiteral("boxAutoChange"));
  lstAnimShape = MakeList_(boxAutoChange, "lstAnimShape", kShapeCaptions, 3);
  lstAnimMove = MakeList_(boxAutoChange, "lstAnimMove", kMoveCaptions, 2);
  panAnimColor1 = new TColorPanel("panAnimColor1", boxAutoChange);
  panAnimColor2 = new TColorPanel("panAnimColor2", boxAutoChange);
  for (TColorPanel* p : {panAnimColor1, panAnimColor2})
    connect(p, &TColorPanel::clicked, this, [this, p] { PickColor_(p); });
  connect(chkAnimEnabled, &QCheckBox::toggled, this, [this](bool On) {
    TWinControl_Enable(boxAutoChange, On);
    ShowAnimSample_();
  });
  for (QComboBox* list : {lstAnimShape, lstAnimMove})
    connect(list, &QComboBox::currentIndexChanged, this, [this] { ShowAnimSample_(); });
  edAnimSpeed = new QSpinBox(boxAutoChange);
  edAnimSpeed->setObjectName(QStringLiteral("edAnimSpeed"));
  edAnimSpeed->setRange(1, ANIM_SPEED_MAX);
  edAnimSpeed->setSuffix(QStringLiteral(" steps a second"));
  connect(edAnimSpeed, &QSpinBox::valueChanged, this, [this] { ShowAnimSample_(); });
  dspAnimSample = Display_Create_VCL(boxAutoChange, 0, 0, ANIM_SAMPLE_WIDTH, ANIM_SAMPLE_HEIGHT);
  dspAnimSample->setObjectName(QStringLiteral("dspAnimSample"));
  dspAnimSample->setFixedSize(ANIM_SAMPLE_WIDTH, ANIM_SAMPLE_HEIGHT);

  auto* grid = new QGridLayout(boxAutoChange);
  const char* const labels[] = {"Shape", "Movement", "Color 1", "Color 2", "Preview speed"};
  QWidget* fields[] = {lstAnimShape, lstAnimMove, panAnimColor1, panAnimColor2, edAnimSpeed};
  for (int row = 0; row < 5; ++row) {
    auto* label = new QLabel(QString::fromLatin1(labels[row]), boxAutoChange);
    label->setBuddy(fields[row]);
    fields[row]->setAccessibleName(QString::fromLatin1(labels[row]));
    grid->addWidget(label, row, 0);
    grid->addWidget(fields[row], row, 1, row < 2 ? Qt::Alignment() : Qt::AlignLeft);
  }
  grid->addWidget(dspAnimSample, 5, 0, 1, 2, Qt::AlignHCenter);
  grid->setColumnStretch(1, 1);

  auto* layout = new QVBoxLayout(page);
  layout->addWidget(chkAnimEnabled);
  layout->addWidget(boxAutoChange);
  layout->addStretch(1);
  return page;
}

void TfrmOptions::LoadValues_() {
  TSettings& s = Settings();
  chkAutoStart->setChecked(copy_.AutoChange);
  // Out-of-range values are corrected in the settings themselves, so what
  // the dialog shows is what is stored.
  s.MsgPickMethod = Limit(s.MsgPickMethod, 0, 1);
  grpMsgPick->button(s.MsgPickMethod)->setChecked(true);
  lstPalette->setCurrentIndex(EffectivePalette(s));
  chkAnimEnabled->setChecked(s.AnimEnabled);
  TWinControl_Enable(boxAutoChange, s.AnimEnabled);
  s.AnimShape = Limit(s.AnimShape, 0, 2);
  lstAnimShape->setCurrentIndex(s.AnimShape);
  s.AnimMove = Limit(s.AnimMove, 0, 1);
  lstAnimMove->setCurrentIndex(s.AnimMove);
  panAnimColor1->SetColor(s.AnimColor1);
  panAnimColor2->SetColor(s.AnimColor2);
  edAnimSpeed->setValue(AnimStepsPerSecond());
  ShowAnimSample_();
  ShowFontDescription_();
  panTextColor1->SetColor(copy_.TextColor);
  panTextColor2->SetColor(copy_.TextBorderColor);
  for (int i = 0; i < 3; ++i) {
    memo[i]->setPlainText(MessageToQString(copy_.Messages[i]));
    chkMsg[i]->setChecked(s.MsgEnabled[i]);
    ApplyMemoRule_(i);
  }
}

void TfrmOptions::ShowFontDescription_() {
  edFont->setText(QString::fromStdString(FontDescription(copy_)));
  edFont->setCursorPosition(0);
}

// A switched-off message keeps its text, greyed, and the text is still saved.
void TfrmOptions::ApplyMemoRule_(int Index) {
  PaintFieldEnabled(memo[Index], chkMsg[Index]->isChecked());
}

void TfrmOptions::ChooseFont_() {
  QFontDialog dialog(OptionsFont(copy_), this);
  if (dialog.exec() != QDialog::Accepted) return;
  TakeChosenFont(copy_, dialog.selectedFont());
  ShowFontDescription_();
}

// The colour dialog keeps its custom colours in kvo.ini beside the settings.
void TfrmOptions::PickColor_(TColorPanel* Panel) {
  Panel->SetColor(ColorPickDlg(Panel->Color(), SettingsFile(), SETTINGS_SECTION, this));
  ShowAnimSample_();
}

// A black strip with the chosen bars painted on it, as the composer paints
// them on a logo, moving as they will at boot (still while animation is off).
void TfrmOptions::ShowAnimSample_() {
  if (!dspAnimSample) return;
  RunKeeping("wOptions.ShowAnimSample", [&] {
    TImg sample;
    ImgAlloc(sample, ANIM_SAMPLE_WIDTH, ANIM_SAMPLE_HEIGHT, 8);
    std::memset(sample.Data, 0, static_cast<size_t>(ANIM_SAMPLE_WIDTH) * ANIM_SAMPLE_HEIGHT);
    const int32_t move = lstAnimMove->currentIndex();
    FillAnimPalette(sample.Palette, ANIM_FIRST, panAnimColor1->Color(), move,
                    panAnimColor2->Color());
    DrawAnimShape(sample, ANIM_FIRST, lstAnimShape->currentIndex(), move);
    Display_ShowAnimated(dspAnimSample, sample,
                         chkAnimEnabled->isChecked() ? ANIM_FIRST : ANIM_NONE,
                         edAnimSpeed->value());
    ImgFree(sample);
  });
}

void TfrmOptions::StoreValues() {
  TSettings& s = Settings();
  copy_.AutoChange = chkAutoStart->isChecked();
  s.MsgPickMethod = grpMsgPick->checkedId() < 0 ? s.MsgPickMethod : grpMsgPick->checkedId();
  // An unknown stored value is kept unless another choice was made.
  if (lstPalette->currentIndex() != EffectivePalette(s)) s.Palette = lstPalette->currentIndex();
  s.AnimEnabled = chkAnimEnabled->isChecked();
  s.AnimShape = lstAnimShape->currentIndex();
  s.AnimMove = lstAnimMove->currentIndex();
  s.AnimColor1 = panAnimColor1->Color();
  s.AnimColor2 = panAnimColor2->Color();
  s.AnimSpeed = edAnimSpeed->value();
  copy_.TextColor = panTextColor1->Color();
  copy_.TextBorderColor = panTextColor2->Color();
  for (int i = 0; i < 3; ++i) copy_.Messages[i] = QStringToMessage(memo[i]->toPlainText());
  for (int i = 0; i < 3; ++i) s.MsgEnabled[i] = chkMsg[i]->isChecked();
}

bool ExecOptionsDialog(TOptionsCopy& Copy, QWidget* Parent) {
  auto form = std::make_unique<TfrmOptions>(Copy, Parent);
  if (form->ShowModal() != QDialog::Accepted) return false;
  form->StoreValues();
  return true;
}

bool ExecOptionsDialog(QWidget* Parent) {
  TOptionsCopy copy = OptionsFromSettings();
  if (!ExecOptionsDialog(copy, Parent)) return false;
  RunKeeping("wOptions.ExecOptionsDialog", [&] {
    OptionsToSettings(copy);
    // The log-in job is made here and only here: turning automatic change
    // on is the user's choice.
    SetAutoRun(Settings().AutoChange);
    SaveSettings(true);
  });
  return true;
}

}  // namespace kvo
