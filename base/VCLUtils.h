// Message boxes and questions, as the core asks them.
//
// The core never talks to a window system. It asks through one table of
// functions filled at start-up: the desktop program installs real dialogs,
// the tests install scripted answers, and command-line runs keep the silent
// defaults below (texts to standard error, questions answered with their
// default button).
#pragma once

#include <functional>
#include <string>

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
};

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

}  // namespace kvo
