// SPDX-License-Identifier: GPL-3.0-or-later
// The Qt half of the dialog helpers: message boxes, the standard file and
// colour dialogs, control helpers, and InstallQtDialogs, which puts the real
// dialogs into the core's dialog table (base/VCLUtils.h).
//
// The functions that back an entry of that table carry the table's names and
// live in kvo::qt, beside the core's wrappers of the same name in kvo: the
// core (and most window code) calls kvo::ShowError, kvo::FileOpenDlg, ...,
// which reach the functions here once InstallQtDialogs has run.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QAbstractButton;
class QComboBox;
class QLineEdit;
class QPainter;
class QWidget;

namespace kvo {

// Fills the dialog table with the real dialogs: message boxes, questions,
// the fatal-error box, the store's four dialogs, the file dialogs and the
// event pump. Status, SetBusy and PreviewStored belong to the main window,
// which installs them itself; they are left as they are.
void InstallQtDialogs();

// Runs Body (which calls the core) in a keeping frame, so that no error
// reaches the event loop, and shows the error it recorded, if any. True when
// it ended without an error.
bool RunKeeping(const char* Name, const std::function<void()>& Body);

// ---- colours and texts --------------------------------------------------------

// Colours of the settings are 0x00BBGGRR (red in the low byte).
QColor ColorRefToQColor(uint32_t Color);
uint32_t QColorToColorRef(const QColor& Color);
// Message texts are UTF-8 with CR LF line breaks (one that is not valid
// UTF-8 is read as Windows-1252, as the text renderer draws it); the editors
// hold Unicode with LF.
QString MessageToQString(const std::string& Text);
std::string QStringToMessage(const QString& Text);

// ---- file-name helpers -----------------------------------------------------------

// Extension (with its dot) of the Index-th (1-based) pattern of a
// "name|patterns|name|patterns" filter; empty for "*.*", for a pattern
// without a dot and for an index the filter does not have.
std::string FilterToExt(const std::string& Filter, int32_t Index);
// Name with the extension of the chosen filter when Force is set or Name has
// none; otherwise Name as it is.
std::string CompleteName(const std::string& Name, const std::string& Filter, int32_t Index,
                         bool Force);
// A multi-selection can come back with its first and last names exchanged;
// this puts such a list back in order and leaves an ordered one alone.
void _OrderProperly(std::vector<std::string>& List);
// The filter as Qt's name filters, one "name (pattern pattern)" per pair.
QStringList QtNameFilters(const std::string& Filter);

// ---- colour dialog ---------------------------------------------------------------

// The standard colour dialog preset with Color; its sixteen custom colours
// are read from and, when confirmed, written back to IniFile/Section under
// "ColorA" .. "ColorP" (nothing is read or written when IniFile is empty).
// Returns the chosen colour, or Color when cancelled.
uint32_t ColorPickDlg(uint32_t Color, const std::string& IniFile, const std::string& Section,
                      QWidget* Parent = nullptr);

// ---- control helpers ---------------------------------------------------------------

// Enable or disable a field and paint it as Windows did: the window colour
// when enabled, the button face when disabled, so a disabled field looks it.
void TEdit_Enable(QLineEdit* Edit, bool Enable);
void TComboBox_Enable(QComboBox* ComboBox, bool Enable);
// The same painting for any text field (memos included).
void PaintFieldEnabled(QWidget* Field, bool Enable);
// TEdit_Enable for line edits, TComboBox_Enable for combo boxes, otherwise
// only the enabled state.
void _TControl_Enable(QWidget* Control, bool Enable);
// The container and every control inside it, nested containers depth first.
void TWinControl_Enable(QWidget* Container, bool Enable);
void SetHint(QAbstractButton* Button, const std::string& Text);
// Fills (X, Y, Width, Height) with Color; draws nothing without an active painter.
void ClearDC(QPainter* DC, int X, int Y, int Width, int Height, uint32_t Color);

}  // namespace kvo

namespace kvo::qt {

// Where a file dialog opens: Dir when it is a folder the user chose before,
// else the user's Pictures folder (xdg-user-dir PICTURES), else home.
std::string DialogStartFolder(const std::string& Dir);

// Message boxes captioned with the application title, owned by the
// application.
void ShowError(const std::string& Text);
void ShowWarning(const std::string& Text);
void ShowInfo(const std::string& Text);
// Default 1 makes Yes the default button. 'Y' for Yes, 'N' otherwise (also
// when the box is closed).
char YesNo(const std::string& Text, int Default);
// Default 1 Yes, 2 No, anything else Cancel. 'Y', 'N', or 'C' for Cancel,
// for closing the box and for anything else.
char YesNoCancel(const std::string& Text, int Default);
// The box of fatal errors: caption "Error", error icon, OK.
void FatalError(const std::string& Text);

// File dialogs. Dir and FilterIndex (1-based) are the caller's: the dialog
// opens there and, when confirmed, leaves there the folder of the (first)
// chosen file (with a trailing "/") and the filter it ended with. A cancelled
// dialog returns false and changes neither, and the result is empty.
bool FileOpenDlg(const std::string& Title, std::string& Dir, const std::string& Filter,
                 int32_t& FilterIndex, std::string& FileName, QWidget* Parent = nullptr);
bool MultiFileOpenDlg(const std::string& Title, std::string& Dir, const std::string& Filter,
                      int32_t& FilterIndex, std::vector<std::string>& Files,
                      QWidget* Parent = nullptr);
// FileName brings the initial name in and the chosen one out. An existing
// file is not questioned: the caller asks when it matters.
bool FileSaveDlg(const std::string& Title, std::string& Dir, const std::string& Filter,
                 int32_t& FilterIndex, std::string& FileName, QWidget* Parent = nullptr);

// Lets the application handle the events waiting in its queue.
void ProcessPending();
// The hourglass, and back to the normal cursor.
void ShowBusy();
void ShowReady();

}  // namespace kvo::qt
