// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/VCLUtils_qt.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QColorDialog>
#include <QComboBox>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStackedWidget>
#include <QTabWidget>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "base/Errors.h"
#include "base/IniWrap.h"
#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "platform/Fonts.h"
#include "ui/wFormDialog.h"
#include "drive/Drive.h"
#include "ui/wOverwrite.h"
#include "ui/wRename.h"
#include "ui/wResize.h"
#include "ui/wSetLogo.h"

namespace kvo {

bool RunKeeping(const char* Name, const std::function<void()>& Body) {
  ClearError();
  // An action of the window is one operation on the drive: a container
  // image's export serves all of it, and nothing holds the image after.
  TDriveOperation operation;
  try {
    MonitoredKeep(Name, [&] { Body(); });
  } catch (...) {
    // A keeping frame raises nothing; this only guards the event loop.
    return false;
  }
  if (NoError()) return true;
  ShowLastError();
  ClearError();
  return false;
}

// ---- colours and texts --------------------------------------------------------------

QColor ColorRefToQColor(uint32_t Color) {
  return QColor(static_cast<int>(Color & 0xFF), static_cast<int>((Color >> 8) & 0xFF),
                static_cast<int>((Color >> 16) & 0xFF));
}

uint32_t QColorToColorRef(const QColor& Color) {
  return static_cast<uint32_t>(Color.red()) | (static_cast<uint32_t>(Color.green()) << 8) |
         (static_cast<uint32_t>(Color.blue()) << 16);
}

QString MessageToQString(const std::string& Text) {
  return QString::fromStdU32String(TextToUnicode(Text)).replace(QStringLiteral("\r\n"),
                                                                QStringLiteral("\n"));
}

std::string QStringToMessage(const QString& Text) {
  std::string out;
  for (char c : Text.toStdString()) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// ---- file-name helpers ------------------------------------------------------------------

std::string FilterToExt(const std::string& Filter, int32_t Index) {
  if (Index < 1 || Filter.size() < 2) return {};
  const int64_t need = 2 * static_cast<int64_t>(Index) - 1;
  int64_t passed = 0;
  size_t i = 0;
  // The last character never counts: a separator there opens no pattern.
  for (; i + 1 < Filter.size() && passed < need; ++i)
    if (Filter[i] == '|') ++passed;
  if (passed < need) return {};
  size_t end = Filter.find('|', i);
  std::string pattern = Filter.substr(i, end == std::string::npos ? std::string::npos : end - i);
  size_t first = pattern.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  pattern = pattern.substr(first, pattern.find_last_not_of(' ') - first + 1);
  size_t dot = pattern.find('.');
  if (dot == std::string::npos) return {};
  std::string ext = pattern.substr(dot, pattern.find_first_of("|;,", dot) - dot);
  return ext.find('*') == std::string::npos ? ext : std::string();
}

std::string CompleteName(const std::string& Name, const std::string& Filter, int32_t Index,
                         bool Force) {
  const size_t slash = Name.rfind('/');
  const size_t dot = Name.rfind('.');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  if (!Force && hasExt) return Name;
  return ForceFileExt(Name, FilterToExt(Filter, Index));
}

namespace {

// Compares two names without regard to case: below, equal or above zero.
int CompareText_(const std::string& A, const std::string& B) {
  return QString::compare(QString::fromStdString(A), QString::fromStdString(B),
                          Qt::CaseInsensitive);
}

// The repair of _OrderProperly for four or more names; Dir is +1 for an
// ascending list and -1 for a descending one.
void OrderLong_(std::vector<std::string>& L, int Dir) {
  const size_t last = L.size() - 1;
  auto inOrder = [&](size_t a, size_t b) { return Dir * CompareText_(L[a], L[b]) <= 0; };
  const bool a = inOrder(last, 1) && inOrder(last - 1, 0);
  bool b = a || (inOrder(0, 1) && inOrder(last - 1, last));
  for (size_t i = 2; b && i <= last - 1; ++i) b = inOrder(i - 1, i);
  if (a && b) std::swap(L[0], L[last]);
}

}  // namespace

void _OrderProperly(std::vector<std::string>& List) {
  if (List.size() < 2) return;
  if (List.size() <= 3) {
    if (CompareText_(List.front(), List.back()) > 0) std::swap(List.front(), List.back());
    return;
  }
  OrderLong_(List, CompareText_(List[1], List[2]) > 0 ? -1 : 1);
}

namespace {

// One Windows filter pair as a Qt name filter. Qt takes the patterns from
// the last brackets of the text, so brackets the name already carries are
// replaced by the real pattern list. "*.*" matches every file on Windows,
// dotless names included; "*" says the same to Qt.
QString QtNameFilter_(QString Name, const QString& Patterns) {
  static const QRegularExpression kTail(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
  Name = Name.trimmed().remove(kTail);
  QStringList list;
  for (QString p : Patterns.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    p = p.trimmed();
    if (p == QLatin1String("*.*")) p = QStringLiteral("*");
    if (!p.isEmpty()) list << p;
  }
  if (list.isEmpty()) list << QStringLiteral("*");
  return (Name + QStringLiteral(" (") + list.join(QLatin1Char(' ')) + QLatin1Char(')')).trimmed();
}

}  // namespace

QStringList QtNameFilters(const std::string& Filter) {
  const QStringList parts = QString::fromStdString(Filter).split(QLatin1Char('|'));
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) out << QtNameFilter_(parts[i], parts[i + 1]);
  return out;
}

// ---- colour dialog -------------------------------------------------------------------------

namespace {

constexpr int kCustomColors = 16;

std::string CustomColorKey_(int Index) { return std::string("Color") + char('A' + Index); }

std::string SixHex_(uint32_t Value) {
  char text[16];
  std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(Value));
  return text;
}

void LoadCustomColors_(const std::string& IniFile, const std::string& Section) {
  PrefsPrepare(IniFile, Section);
  for (int i = 0; i < kCustomColors; ++i) {
    std::string text;
    PrefsReadStr(CustomColorKey_(i), text, "FFFFFF");
    // Read, formatted and read again, as the dialog's own list takes it.
    const std::string hex = SixHex_(static_cast<uint32_t>(HexToInt(text, 0xFFFFFF)));
    QColorDialog::setCustomColor(
        i, ColorRefToQColor(static_cast<uint32_t>(HexToInt(hex, 0xFFFFFF))));
  }
}

void SaveCustomColors_(const std::string& IniFile, const std::string& Section) {
  PrefsPrepare(IniFile, Section);
  for (int i = 0; i < kCustomColors; ++i)
    PrefsWriteStr(CustomColorKey_(i), SixHex_(QColorToColorRef(QColorDialog::customColor(i))));
}

QWidget* OwnerOf_(QWidget* Parent) { return Parent ? Parent : QApplication::activeWindow(); }

}  // namespace

uint32_t ColorPickDlg(uint32_t Color, const std::string& IniFile, const std::string& Section,
                      QWidget* Parent) {
  if (!IniFile.empty()) LoadCustomColors_(IniFile, Section);
  QColorDialog dialog(ColorRefToQColor(Color), OwnerOf_(Parent));
  // The desktop's own colour chooser has no custom colours to keep.
  dialog.setOption(QColorDialog::DontUseNativeDialog);
  if (dialog.exec() != QDialog::Accepted) return Color;
  const uint32_t chosen = QColorToColorRef(dialog.selectedColor());
  if (!IniFile.empty()) SaveCustomColors_(IniFile, Section);
  return chosen;
}

// ---- control helpers -------------------------------------------------------------------------

void PaintFieldEnabled(QWidget* Field, bool Enable) {
  if (!Field) return;
  Field->setEnabled(Enable);
  PaintFieldBackground(Field, Enable);
}

void TEdit_Enable(QLineEdit* Edit, bool Enable) { PaintFieldEnabled(Edit, Enable); }

void TComboBox_Enable(QComboBox* ComboBox, bool Enable) { PaintFieldEnabled(ComboBox, Enable); }

void _TControl_Enable(QWidget* Control, bool Enable) {
  if (auto* edit = qobject_cast<QLineEdit*>(Control))
    TEdit_Enable(edit, Enable);
  else if (auto* combo = qobject_cast<QComboBox*>(Control))
    TComboBox_Enable(combo, Enable);
  else if (Control)
    Control->setEnabled(Enable);
}

namespace {

// A widget that only holds other controls. Fields, buttons, labels and tab
// bars manage the widgets inside them themselves and are left whole.
bool IsContainer_(const QWidget* W) {
  if (qobject_cast<const QAbstractScrollArea*>(W) || qobject_cast<const QLabel*>(W)) return false;
  return qobject_cast<const QGroupBox*>(W) || qobject_cast<const QTabWidget*>(W) ||
         qobject_cast<const QFrame*>(W) || W->metaObject() == &QWidget::staticMetaObject;
}

}  // namespace

void TWinControl_Enable(QWidget* Container, bool Enable) {
  if (!Container) return;
  // The container's own switch, not the state it inherits from its parent.
  const bool ownEnabled = !Container->testAttribute(Qt::WA_ForceDisabled);
  if (ownEnabled != Enable) _TControl_Enable(Container, Enable);
  const auto children = Container->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (QWidget* child : children) {
    if (child->isWindow()) continue;
    _TControl_Enable(child, Enable);
    if (IsContainer_(child)) TWinControl_Enable(child, Enable);
  }
}

void SetHint(QAbstractButton* Button, const std::string& Text) {
  if (Button) Button->setToolTip(QString::fromStdString(Text));
}

void ClearDC(QPainter* DC, int X, int Y, int Width, int Height, uint32_t Color) {
  if (!DC || !DC->isActive()) return;
  DC->fillRect(QRect(X, Y, Width, Height), ColorRefToQColor(Color));
}

// ---- the dialog table ---------------------------------------------------------------------------

void InstallQtDialogs() {
  TDialogTable& t = Dialogs();
  t.ShowError = [](const std::string& s) { qt::ShowError(s); };
  t.ShowWarning = [](const std::string& s) { qt::ShowWarning(s); };
  t.ShowInfo = [](const std::string& s) { qt::ShowInfo(s); };
  t.YesNo = [](const std::string& s, bool DefaultYes) { return qt::YesNo(s, DefaultYes ? 1 : 0); };
  t.YesNoCancel = [](const std::string& s, char Default) {
    return qt::YesNoCancel(s, Default == 'Y' ? 1 : Default == 'N' ? 2 : 0);
  };
  t.FatalError = [](const std::string& s) { qt::FatalError(s); };
  t.OverwriteDialog = [](const std::string& Caption, const std::string& Text) {
    return qt::ExecOverwriteDialog(Caption, Text, OwnerOf_(nullptr));
  };
  t.RenameDialog = [](const std::string& Caption, const std::string& SubTitle, std::string& Name) {
    return qt::ExecRenameDialog(Caption, SubTitle, Name, OwnerOf_(nullptr));
  };
  t.ResizeDialog = [](int32_t& Mode) { return qt::ExecResizeDialog(Mode, OwnerOf_(nullptr)); };
  t.PositionDialog = [](uint32_t& Positions, const std::string& Text, uint32_t Tone) {
    return qt::ExecPositionDialog(Positions, Text, Tone, OwnerOf_(nullptr));
  };
  t.MultiFileOpen = [](const std::string& Title, std::string& Dir, const std::string& Filter,
                       int32_t& Index, std::vector<std::string>& Files) {
    return qt::MultiFileOpenDlg(Title, Dir, Filter, Index, Files);
  };
  t.FileOpen = [](const std::string& Title, std::string& Dir, const std::string& Filter,
                  int32_t& Index, std::string& File) {
    return qt::FileOpenDlg(Title, Dir, Filter, Index, File);
  };
  t.FileSave = [](const std::string& Title, std::string& Dir, const std::string& Filter,
                  int32_t& Index, std::string& File) {
    return qt::FileSaveDlg(Title, Dir, Filter, Index, File);
  };
  t.ProcessPending = [] { qt::ProcessPending(); };
}

}  // namespace kvo

// ---- message boxes, file dialogs, busy cursor ------------------------------------------------

namespace kvo::qt {

namespace {

// A modal box owned by the application; the answer is the button chosen, or
// the escape button's when the box is closed.
QMessageBox::StandardButton RunBox_(QMessageBox::Icon Icon, const QString& Caption,
                                    const std::string& Text, QMessageBox::StandardButtons Buttons,
                                    QMessageBox::StandardButton Default) {
  QMessageBox box(Icon, Caption, QString::fromStdString(Text), Buttons);
  // File names and error texts are shown as they are, never as markup.
  box.setTextFormat(Qt::PlainText);
  if (Default != QMessageBox::NoButton) box.setDefaultButton(Default);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString Title_() { return QString::fromLatin1(APP_TITLE); }

}  // namespace

void ShowError(const std::string& Text) {
  RunBox_(QMessageBox::Critical, Title_(), Text, QMessageBox::Ok, QMessageBox::Ok);
}

void ShowWarning(const std::string& Text) {
  RunBox_(QMessageBox::Warning, Title_(), Text, QMessageBox::Ok, QMessageBox::Ok);
}

void ShowInfo(const std::string& Text) {
  RunBox_(QMessageBox::Information, Title_(), Text, QMessageBox::Ok, QMessageBox::Ok);
}

void FatalError(const std::string& Text) {
  RunBox_(QMessageBox::Critical, QStringLiteral("Error"), Text, QMessageBox::Ok, QMessageBox::Ok);
}

char YesNo(const std::string& Text, int Default) {
  const auto answer = RunBox_(QMessageBox::Question, Title_(), Text,
                              QMessageBox::Yes | QMessageBox::No,
                              Default == 1 ? QMessageBox::Yes : QMessageBox::No);
  return answer == QMessageBox::Yes ? 'Y' : 'N';
}

char YesNoCancel(const std::string& Text, int Default) {
  const auto def = Default == 1 ? QMessageBox::Yes
                   : Default == 2 ? QMessageBox::No
                                  : QMessageBox::Cancel;
  const auto answer = RunBox_(QMessageBox::Question, Title_(), Text,
                              QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, def);
  if (answer == QMessageBox::Yes) return 'Y';
  if (answer == QMessageBox::No) return 'N';
  return 'C';
}

namespace {

// The extension of the chosen filter becomes the dialog's default suffix,
// so a name typed without one ("two" for "two.gal") is completed before an
// open dialog checks that the file exists.
void SuffixFromFilter_(QFileDialog& Dialog, const std::string& Filter, const QString& Chosen) {
  const qsizetype index = Dialog.nameFilters().indexOf(Chosen);
  const std::string ext = FilterToExt(Filter, static_cast<int32_t>(index + 1));
  Dialog.setDefaultSuffix(ext.empty() ? QString() : QString::fromStdString(ext.substr(1)));
}

}  // namespace

std::string DialogStartFolder(const std::string& Dir) {
  // "/" is what the settings hold before any folder was chosen.
  if (!Dir.empty() && Dir != "/" && QFileInfo(QString::fromStdString(Dir)).isDir()) return Dir;
  // The user's Pictures folder (xdg-user-dir PICTURES), else home.
  const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  if (!pictures.isEmpty() && QFileInfo(pictures).isDir()) return AddBS(pictures.toStdString());
  return AddBS(QDir::homePath().toStdString());
}

namespace {

// A file dialog opening in Dir (or, the first time, the Pictures folder)
// with the given filter selected.
std::unique_ptr<QFileDialog> MakeFileDialog_(const std::string& Title, const std::string& Dir,
                                             const std::string& Filter, int32_t FilterIndex,
                                             QWidget* Parent) {
  auto dialog = std::make_unique<QFileDialog>(OwnerOf_(Parent), QString::fromStdString(Title),
                                              QString::fromStdString(DialogStartFolder(Dir)));
  const QStringList filters = QtNameFilters(Filter);
  dialog->setNameFilters(filters);
  if (FilterIndex >= 1 && FilterIndex <= filters.size())
    dialog->selectNameFilter(filters[FilterIndex - 1]);
  QFileDialog* d = dialog.get();
  SuffixFromFilter_(*d, Filter, d->selectedNameFilter());
  QObject::connect(d, &QFileDialog::filterSelected, d, [d, Filter](const QString& Chosen) {
    SuffixFromFilter_(*d, Filter, Chosen);
  });
  return dialog;
}

// What a confirmed dialog leaves to the caller: the folder of the first file
// and the filter the dialog ended with.
void TakeDialogEnd_(const QFileDialog& Dialog, const std::vector<std::string>& Files,
                    std::string& Dir, int32_t& FilterIndex) {
  const qsizetype index = Dialog.nameFilters().indexOf(Dialog.selectedNameFilter());
  if (index >= 0) FilterIndex = static_cast<int32_t>(index + 1);
  if (Files.empty()) return;
  const size_t slash = Files.front().rfind('/');
  if (slash != std::string::npos) Dir = Files.front().substr(0, slash + 1);
}

// Runs the dialog; the chosen files, empty when cancelled.
std::vector<std::string> RunFileDialog_(QFileDialog& Dialog) {
  std::vector<std::string> files;
  if (Dialog.exec() != QDialog::Accepted) return files;
  for (const QString& f : Dialog.selectedFiles()) files.push_back(f.toStdString());
  return files;
}

}  // namespace

bool FileOpenDlg(const std::string& Title, std::string& Dir, const std::string& Filter,
                 int32_t& FilterIndex, std::string& FileName, QWidget* Parent) {
  FileName.clear();
  auto dialog = MakeFileDialog_(Title, Dir, Filter, FilterIndex, Parent);
  dialog->setFileMode(QFileDialog::ExistingFile);
  const std::vector<std::string> files = RunFileDialog_(*dialog);
  if (files.empty()) return false;
  TakeDialogEnd_(*dialog, files, Dir, FilterIndex);
  FileName = CompleteName(files.front(), Filter, FilterIndex, false);
  return true;
}

bool MultiFileOpenDlg(const std::string& Title, std::string& Dir, const std::string& Filter,
                      int32_t& FilterIndex, std::vector<std::string>& Files, QWidget* Parent) {
  Files.clear();
  auto dialog = MakeFileDialog_(Title, Dir, Filter, FilterIndex, Parent);
  dialog->setFileMode(QFileDialog::ExistingFiles);
  std::vector<std::string> files = RunFileDialog_(*dialog);
  if (files.empty()) return false;
  TakeDialogEnd_(*dialog, files, Dir, FilterIndex);
  _OrderProperly(files);
  Files = std::move(files);
  return true;
}

bool FileSaveDlg(const std::string& Title, std::string& Dir, const std::string& Filter,
                 int32_t& FilterIndex, std::string& FileName, QWidget* Parent) {
  const std::string initial = FileName;
  FileName.clear();
  auto dialog = MakeFileDialog_(Title, Dir, Filter, FilterIndex, Parent);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  // The callers ask their own question where overwriting matters.
  dialog->setOption(QFileDialog::DontConfirmOverwrite);
  if (!initial.empty()) dialog->selectFile(QString::fromStdString(initial));
  const std::vector<std::string> files = RunFileDialog_(*dialog);
  if (files.empty()) return false;
  TakeDialogEnd_(*dialog, files, Dir, FilterIndex);
  FileName = CompleteName(files.front(), Filter, FilterIndex, false);
  return true;
}

void ProcessPending() { QCoreApplication::processEvents(); }

// The cursor is one state, as the screen cursor was: busy twice and ready
// once leaves it ready.
void ShowBusy() {
  if (QApplication::overrideCursor())
    QApplication::changeOverrideCursor(Qt::WaitCursor);
  else
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void ShowReady() {
  while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
}

}  // namespace kvo::qt
