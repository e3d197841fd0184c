#include "base/VCLUtils.h"

#include <cstdio>

#include "base/Errors.h"

namespace kvo {
namespace {

void ToStderr(const char* Kind, const std::string& Text) {
  std::fprintf(stderr, "%s%s\n", Kind, Text.c_str());
}

TDialogTable SilentTable() {
  TDialogTable t;
  t.ShowError = [](const std::string& s) { ToStderr("Error: ", s); };
  t.ShowWarning = [](const std::string& s) { ToStderr("Warning: ", s); };
  t.ShowInfo = [](const std::string& s) { ToStderr("", s); };
  t.YesNo = [](const std::string&, bool DefaultYes) { return DefaultYes ? 'Y' : 'N'; };
  t.YesNoCancel = [](const std::string&, char Default) { return Default; };
  t.FatalError = [](const std::string& s) { ToStderr("Error: ", s); };
  return t;
}

}  // namespace

TDialogTable& Dialogs() {
  static TDialogTable table = SilentTable();
  return table;
}

void InstallSilentDialogs() { Dialogs() = SilentTable(); }

void ShowError(const std::string& Text) {
  if (Dialogs().ShowError) Dialogs().ShowError(Text);
}
void ShowWarning(const std::string& Text) {
  if (Dialogs().ShowWarning) Dialogs().ShowWarning(Text);
}
void ShowInfo(const std::string& Text) {
  if (Dialogs().ShowInfo) Dialogs().ShowInfo(Text);
}
char YesNo(const std::string& Text, bool DefaultYes) {
  return Dialogs().YesNo ? Dialogs().YesNo(Text, DefaultYes) : (DefaultYes ? 'Y' : 'N');
}
char YesNoCancel(const std::string& Text, char Default) {
  return Dialogs().YesNoCancel ? Dialogs().YesNoCancel(Text, Default) : Default;
}

void ShowLastError() {
  if (!NoError()) ShowError(LastErrorText());
}

}  // namespace kvo
