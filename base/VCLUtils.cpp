// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/VCLUtils.h"

#include <cstdio>

#include "base/Errors.h"
#include "platform/TextUtil.h"

namespace kvo {
namespace {

// The texts name files and drives that others named: printed plain, so
// that none can speak to the terminal.
void ToStderr(const char* Kind, const std::string& Text) {
  std::fprintf(stderr, "%s%s\n", Kind, PlainText(Text).c_str());
}

TDialogTable SilentTable() {
  TDialogTable t;
  t.ShowError = [](const std::string& s) { ToStderr("Error: ", s); };
  t.ShowWarning = [](const std::string& s) { ToStderr("Warning: ", s); };
  t.ShowInfo = [](const std::string& s) { ToStderr("", s); };
  t.YesNo = [](const std::string&, bool DefaultYes) { return DefaultYes ? 'Y' : 'N'; };
  t.YesNoCancel = [](const std::string&, char Default) { return Default; };
  t.FatalError = [](const std::string& s) { ToStderr("Error: ", s); };
  // Without anyone to ask, nothing is overwritten, renamed or chosen.
  t.OverwriteDialog = [](const std::string&, const std::string&) { return int32_t{2}; };
  t.RenameDialog = [](const std::string&, const std::string&, std::string&) { return false; };
  t.ResizeDialog = [](int32_t&) { return true; };
  t.PositionDialog = [](uint32_t&, const std::string&, uint32_t) { return true; };
  t.MultiFileOpen = [](const std::string&, std::string&, const std::string&, int32_t&,
                       std::vector<std::string>&) { return false; };
  t.FileOpen = [](const std::string&, std::string&, const std::string&, int32_t&,
                  std::string&) { return false; };
  t.FileSave = t.FileOpen;
  t.Status = [](const std::string&, bool) {};
  t.SetBusy = [](bool) {};
  t.ProcessPending = [] {};
  t.PreviewStored = [](const std::string&) {};
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

namespace kvo {

int32_t ExecOverwriteDialog(const std::string& Caption, const std::string& Text) {
  return Dialogs().OverwriteDialog ? Dialogs().OverwriteDialog(Caption, Text) : 6;
}

bool ExecRenameDialog(const std::string& Caption, const std::string& SubTitle, std::string& Name) {
  return Dialogs().RenameDialog && Dialogs().RenameDialog(Caption, SubTitle, Name);
}

bool ExecResizeDialog(int32_t& Mode) { return Dialogs().ResizeDialog && Dialogs().ResizeDialog(Mode); }

bool ExecPositionDialog(uint32_t& Positions, const std::string& Text, uint32_t Tone) {
  return Dialogs().PositionDialog && Dialogs().PositionDialog(Positions, Text, Tone);
}

bool MultiFileOpenDlg(const std::string& Title, std::string& Folder, const std::string& Filter,
                      int32_t& FilterIndex, std::vector<std::string>& Files) {
  return Dialogs().MultiFileOpen && Dialogs().MultiFileOpen(Title, Folder, Filter, FilterIndex, Files);
}

bool FileOpenDlg(const std::string& Title, std::string& Folder, const std::string& Filter,
                 int32_t& FilterIndex, std::string& File) {
  return Dialogs().FileOpen && Dialogs().FileOpen(Title, Folder, Filter, FilterIndex, File);
}

bool FileSaveDlg(const std::string& Title, std::string& Folder, const std::string& Filter,
                 int32_t& FilterIndex, std::string& File) {
  return Dialogs().FileSave && Dialogs().FileSave(Title, Folder, Filter, FilterIndex, File);
}

void ShowStatus(const std::string& Text, bool Bold) {
  if (Dialogs().Status) Dialogs().Status(Text, Bold);
}

void ShowBusy() {
  if (Dialogs().SetBusy) Dialogs().SetBusy(true);
}

void ShowReady() {
  if (Dialogs().SetBusy) Dialogs().SetBusy(false);
}

void ProcessPending() {
  if (Dialogs().ProcessPending) Dialogs().ProcessPending();
}

void PreviewStored(const std::string& Path) {
  if (Dialogs().PreviewStored) Dialogs().PreviewStored(Path);
}

}  // namespace kvo
