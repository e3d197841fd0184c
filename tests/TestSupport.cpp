// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/TestSupport.h"

#include "base/VCLUtils.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kvo::test {

std::string MakeTempFolder(const std::string& Prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + Prefix + "XXXXXX";
  if (!::mkdtemp(tmpl.data())) return {};
  return tmpl + "/";
}

void RemoveTree(const std::string& Path) {
  std::error_code ec;
  // Read-only files left by a test must not stop the clean-up.
  for (auto it = std::filesystem::recursive_directory_iterator(Path, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(Path, ec);
}

std::string ReadWhole(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  if (!in && Path.rfind(KVO_TEST_DATA_DIR, 0) == 0)
    ADD_FAILURE() << "cannot read the test file " << Path;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteWhole(const std::string& Path, const std::string& Bytes) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  out << Bytes;
}

std::string DataDir() {
  const std::string dir = KVO_TEST_DATA_DIR "/";
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) ADD_FAILURE() << "the test data folder is missing: " << dir;
  return dir;
}

std::string DataFile(const std::string& Name) {
  const std::string path = DataDir() + Name;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) ADD_FAILURE() << "the test file is missing: " << path;
  return path;
}

ScopedXdg::ScopedXdg() {
  root_ = MakeTempFolder("kvo-xdg-");
  const char* c = std::getenv("XDG_CONFIG_HOME");
  const char* d = std::getenv("XDG_DATA_HOME");
  oldConfig_ = c ? c : "";
  oldData_ = d ? d : "";
  ::setenv("XDG_CONFIG_HOME", (root_ + "config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (root_ + "data").c_str(), 1);
}

ScopedXdg::~ScopedXdg() {
  ::setenv("XDG_CONFIG_HOME", oldConfig_.c_str(), 1);
  ::setenv("XDG_DATA_HOME", oldData_.c_str(), 1);
  RemoveTree(root_);
}

ScriptedDialogs::ScriptedDialogs() {
  TDialogTable& t = Dialogs();
  t.ShowError = [this](const std::string& s) { Errors.push_back(s); };
  t.ShowWarning = [this](const std::string& s) { Warnings.push_back(s); };
  t.ShowInfo = [this](const std::string& s) { Infos.push_back(s); };
  t.YesNo = [this](const std::string& q, bool DefaultYes) {
    Questions.push_back(q);
    if (YesNoAnswers.empty()) return DefaultYes ? 'Y' : 'N';
    char a = YesNoAnswers.front();
    YesNoAnswers.pop_front();
    return a;
  };
  t.OverwriteDialog = [this](const std::string&, const std::string&) {
    ++OverwriteAsked;
    if (OverwriteAnswers.empty()) return int32_t{6};
    int32_t a = OverwriteAnswers.front();
    OverwriteAnswers.pop_front();
    return a;
  };
  t.RenameDialog = [this](const std::string&, const std::string&, std::string& Name) {
    if (RenameAnswers.empty()) return false;
    auto [ok, text] = RenameAnswers.front();
    RenameAnswers.pop_front();
    if (ok) Name = text;
    return ok;
  };
  t.ResizeDialog = [this](int32_t& Mode) {
    Mode = ResizeMode;
    return true;
  };
  t.PositionDialog = [this](uint32_t& Positions, const std::string&, uint32_t) {
    if (PositionAnswers.empty()) return false;
    auto [ok, p] = PositionAnswers.front();
    PositionAnswers.pop_front();
    if (ok) Positions = p;
    return ok;
  };
  t.MultiFileOpen = [this](const std::string&, std::string&, const std::string&, int32_t&,
                           std::vector<std::string>& Files) {
    if (FileChoices.empty()) return false;
    Files = FileChoices.front();
    FileChoices.pop_front();
    return true;
  };
  t.Status = [this](const std::string& s, bool) { Statuses.push_back(s); };
}

ScriptedDialogs::~ScriptedDialogs() { InstallSilentDialogs(); }

std::string ShellQuoted(const std::string& Text) {
  std::string q = "'";
  for (char ch : Text) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return q + "'";
}

TPipeRun RunTools(const std::string& Command) {
  return RunShell("MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 " + Command + " 2>&1 </dev/null");
}

TPipeRun RunShell(const std::string& Command) {
  TPipeRun r;
  std::FILE* p = ::popen(Command.c_str(), "r");
  if (!p) return r;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.Out.append(buf, n);
  const int raw = ::pclose(p);
  r.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

}  // namespace kvo::test
