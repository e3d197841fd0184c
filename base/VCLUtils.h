// SPDX-License-Identifier: GPL-3.0-or-later
// Message boxes and questions, as the core asks them.
//
// The core never talks to a window system. It asks through one table of
// functions filled at start-up: the desktop program installs real dialogs,
// the tests install scripted answers, and command-line runs keep the silent
// defaults below (texts to standard error, questions answered with their
// default button).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kvo {

inline constexpr const char* APP_TITLE = "KvoPanoramics 2.0.0";

struct TDialogTable {
  // Message boxes with the application title as caption.
  std::function<void(const std::string& Text)> ShowError;
  std::function<void(const std::string& Text)> ShowWarning;
  std::function<void(const std::string& Text)> ShowInfo;
  // Questions. DefaultYes picks the default button; the answer is 'Y', 'N'
  // or (YesNoCancel) 'C'.
  std::function<char(const std::string& Text, bool DefaultYes)> YesNo;
  std::function<char(const std::string& Text, char Default)> YesNoCancel;
  // The system box of fatal errors: caption "Error", error icon, OK.
  std::function<void(const std::string& Text)> FatalError;

  // The store's questions. Overwrite answers 1 Overwrite, 2 Skip, 3 Rename,
  // 4 Overwrite All, 5 Skip All, 6 Abort.
  std::function<int32_t(const std::string& Caption, const std::string& Text)> OverwriteDialog;
  // True when confirmed; Name then holds the text as typed.
  std::function<bool(const std::string& Caption, const std::string& SubTitle, std::string& Name)>
      RenameDialog;
  // True when confirmed; Mode then holds the chosen fit mode.
  std::function<bool(int32_t& Mode)> ResizeDialog;
  // True when confirmed; Positions then holds the checked positions. Tone
  // says how the explanation is set off: the window picks the colours from
  // the desktop's scheme, so they stay readable in light and dark ones.
  std::function<bool(uint32_t& Positions, const std::string& Text, uint32_t Tone)>
      PositionDialog;

  // File choice. Folder and FilterIndex are kept by the caller and updated
  // from the user's last choice; Filter is "name|patterns|name|patterns".
  std::function<bool(const std::string& Title, std::string& Folder, const std::string& Filter,
                     int32_t& FilterIndex, std::vector<std::string>& Files)>
      MultiFileOpen;
  std::function<bool(const std::string& Title, std::string& Folder, const std::string& Filter,
                     int32_t& FilterIndex, std::string& File)>
      FileOpen;
  std::function<bool(const std::string& Title, std::string& Folder, const std::string& Filter,
                     int32_t& FilterIndex, std::string& File)>
      FileSave;

  // The status bar, the busy state of the window and the event pump that
  // lets ESC through during long operations.
  std::function<void(const std::string& Text, bool Bold)> Status;
  std::function<void(bool Busy)> SetBusy;
  std::function<void()> ProcessPending;
  // Shows a stored picture in the preview while a batch runs.
  std::function<void(const std::string& Path)> PreviewStored;
};

// How the position dialog sets off its explanation: as ordinary text, or as
// a note in the scheme's accent colour.
enum TTextTone : uint32_t { TONE_PLAIN = 0, TONE_NOTE = 1 };

// The table in use. Starts with the silent defaults.
TDialogTable& Dialogs();
// Puts the silent defaults back (the command line and the tests start here).
void InstallSilentDialogs();

void ShowError(const std::string& Text);
void ShowWarning(const std::string& Text);
void ShowInfo(const std::string& Text);
char YesNo(const std::string& Text, bool DefaultYes = true);
char YesNoCancel(const std::string& Text, char Default = 'Y');
// Shows the recorded error, when there is one, in an error box.
void ShowLastError();

int32_t ExecOverwriteDialog(const std::string& Caption, const std::string& Text);
bool ExecRenameDialog(const std::string& Caption, const std::string& SubTitle, std::string& Name);
bool ExecResizeDialog(int32_t& Mode);
bool ExecPositionDialog(uint32_t& Positions, const std::string& Text, uint32_t Tone);
bool MultiFileOpenDlg(const std::string& Title, std::string& Folder, const std::string& Filter,
                      int32_t& FilterIndex, std::vector<std::string>& Files);
bool FileOpenDlg(const std::string& Title, std::string& Folder, const std::string& Filter,
                 int32_t& FilterIndex, std::string& File);
bool FileSaveDlg(const std::string& Title, std::string& Folder, const std::string& Filter,
                 int32_t& FilterIndex, std::string& File);
void ShowStatus(const std::string& Text, bool Bold = false);
void ShowBusy();
void ShowReady();
void ProcessPending();
void PreviewStored(const std::string& Path);

}  // namespace kvo
