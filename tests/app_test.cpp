// SPDX-License-Identifier: GPL-3.0-or-later
// The kvopanoramics program run with its command-line switches, with no
// display at all, as automatic change starts it at session start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <set>
#include <sstream>
#include <cstring>
#include <string>
#include <vector>

#include "base/RegWrap.h"
#include "core/Backup.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"

extern char** environ;

namespace kvo {
namespace {

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

// Our environment (with the test's XDG folders) without any display.
std::vector<std::string> EnvironmentWithoutDisplay() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view v = *e;
    if (v.starts_with("DISPLAY=") || v.starts_with("WAYLAND_DISPLAY=") ||
        v.starts_with("QT_QPA_PLATFORM="))
      continue;
    env.emplace_back(v);
  }
  return env;
}

TRun RunApp(const std::vector<std::string>& Args, const std::string& ErrFile) {
  std::vector<std::string> argStore{KVO_APP_PATH};
  argStore.insert(argStore.end(), Args.begin(), Args.end());
  std::vector<std::string> envStore = EnvironmentWithoutDisplay();
  std::vector<char*> argv, envp;
  for (std::string& a : argStore) argv.push_back(a.data());
  for (std::string& e : envStore) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string outFile = ErrFile + ".out";
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  TRun r;
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, KVO_APP_PATH, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  int raw = 0;
  if (rc == 0 && ::waitpid(pid, &raw, 0) == pid && WIFEXITED(raw)) r.Status = WEXITSTATUS(raw);
  r.Out = test::ReadWhole(outFile);
  r.Err = test::ReadWhole(ErrFile);
  return r;
}

std::string AppPath() {
  char buf[PATH_MAX];
  return ::realpath(KVO_APP_PATH, buf) ? std::string(buf) : std::string(KVO_APP_PATH);
}

std::string RunValue() { return RegGetString(HKEY_LOCAL_MACHINE, RUN_KEY_PATH, RUN_VALUE_NAME); }

class AppRun : public testing::Test {
 protected:
  void SetUp() override {
    Settings() = TSettings{};
    drive_ = xdg_.Root() + "data/KvoPanoramics/drive_c/";
    err_ = xdg_.Root() + "stderr.txt";
    ASSERT_EQ(BackupDir(), drive_ + "WINDOWS/logos.bak/");  // creates the registry file
    // A Run value left by the program at its old place.
    SetExecutablePath("/old/place/kvopanoramics");
    SetAutoRun(true);
    ASSERT_EQ(RunValue(), "/old/place/kvopanoramics /shuffle");
  }
  void TearDown() override { Settings() = TSettings{}; }
  std::string Entry() const { return xdg_.Root() + "config/autostart/KvoPanoramics.desktop"; }
  std::string Ini() const { return xdg_.Root() + "config/KvoPanoramics/kvo.ini"; }
  // Nothing but the Run value and the action's own files may appear.
  void ExpectNothingSaved(const char* IniWas = nullptr) const {
    if (IniWas)
      EXPECT_EQ(test::ReadWhole(Ini()), IniWas);
    else
      EXPECT_FALSE(FileExists(Ini()));
    EXPECT_FALSE(FileExists(xdg_.Root() + "config/KvoPanoramics/msg-startup.txt"));
    EXPECT_FALSE(FileExists(drive_ + "WINDOWS/win.ini"));
  }
  test::ScopedXdg xdg_;
  std::string drive_, err_;
};

TEST_F(AppRun, ShuffleRepairsTheRunValueAndEndsWithoutAWindow) {
  const char* on = "[Main]\r\nAutoChange=1\r\n";
  test::WriteWhole(Ini(), on);
  TRun r = RunApp({" /SHUFFLE "}, err_);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_EQ(RunValue(), AppPath() + " /shuffle");
  EXPECT_FALSE(FileExists(drive_ + "logo.sys"));
  ExpectNothingSaved(on);
}

// The log-in job writes into the drive at every log-in, so it exists only
// while the user wants it: asking the program what it is, starting it, or
// a shuffle never makes one; an AutoChange=1 the user saved keeps it (at
// its right place); the restore ends it, and the start after that does not
// bring it back.
TEST_F(AppRun, TheLogInJobExistsOnlyWhileAutomaticChangeIsOn) {
  const std::string on = "[Main]\r\nAutoChange=1\r\n";
  struct Row {
    const char* Name;
    const char* Ini;  // kvo.ini before the run; nullptr: none, "": as the row before left it
    bool JobBefore;   // one at the program's old place
    std::vector<std::string> Args;
    bool Job;
    const char* Said;  // the start of standard output
  } const rows[] = {
      {"--version", nullptr, false, {"--version"}, false, "kvopanoramics (KvoPanoramics) " KVO_VERSION "\n"},
      {"--help", nullptr, false, {"--help"}, false, "Usage: kvopanoramics [FILE...]\n"},
      {"first start", nullptr, false, {}, false, ""},
      {"/shuffle", nullptr, false, {"/shuffle"}, false, ""},
      {"a start with AutoChange=1", on.c_str(), true, {}, true, ""},
      {"/uninst", on.c_str(), true, {"/uninst"}, false, ""},
      {"the start after it", "", false, {}, false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    const std::string autostart = xdg_.Root() + "config/autostart";
    if (row.JobBefore) {
      SetAutoRun(true);
    } else {
      ::unlink(Entry().c_str());
      ::rmdir(autostart.c_str());
    }
    if (row.Ini && *row.Ini) test::WriteWhole(Ini(), row.Ini);
    if (!row.Ini) ::unlink(Ini().c_str());
    const TRun r = RunApp(row.Args, err_);
    EXPECT_EQ(FileExists(Entry()), row.Job);
    if (row.Job) {
      EXPECT_EQ(RunValue(), AppPath() + " /shuffle");
    }
    if (!row.JobBefore && !row.Job) {
      EXPECT_FALSE(FolderExists(autostart));
    }
    EXPECT_EQ(r.Out.substr(0, std::string(row.Said).size()), row.Said);
    if (*row.Said) {
      // Asking writes nothing.
      EXPECT_EQ(r.Status, 0);
      EXPECT_FALSE(FileExists(Ini()));
    }
  }
  // The restore turned automatic change off where it was stored.
  EXPECT_NE(test::ReadWhole(Ini()).find("AutoChange=0"), std::string::npos);
}

TEST_F(AppRun, UninstallRestoresTheLogosAndRemovesTheRunValue) {
  const std::string startup = drive_ + "logo.sys", wait = drive_ + "WINDOWS/logow.sys";
  const std::string before = std::string("BM\r\n\0\xff before", 12);
  test::WriteWhole(wait, before);
  BackupLogo(startup);
  BackupLogo(wait);
  test::WriteWhole(startup, "written by us");
  test::WriteWhole(wait, "written by us");
  const std::string bat = test::ReadWhole(RestoreBatFile());

  TRun r = RunApp({"/uninst"}, err_);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_FALSE(FileExists(startup));
  EXPECT_EQ(test::ReadWhole(wait), before);
  EXPECT_FALSE(FileExists(Entry()));
  EXPECT_EQ(test::ReadWhole(RestoreBatFile()), bat);
  ExpectNothingSaved();
}

TEST_F(AppRun, ShuffleThenUninstallEndsWithoutAWindow) {
  TRun r = RunApp({"/shuffle", "/uninst"}, err_);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_FALSE(FileExists(Entry()));
  ExpectNothingSaved();
}

TEST_F(AppRun, OtherParametersAreNoSwitches) {
  test::WriteWhole(Ini(), "[Main]\r\nAutoChange=1\r\n");
  TRun r = RunApp({"-shuffle"}, err_);
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("kvo --help"), std::string::npos) << r.Err;
  // The start itself still brought the Run value in line.
  EXPECT_EQ(RunValue(), AppPath() + " /shuffle");
}

// Standard output of a shell command.
std::string Output(const std::string& Command) {
  return test::RunShell(Command + " 2>/dev/null").Out;
}

// The dynamic symbols of a file, defined or undefined, one per line.
std::set<std::string> Symbols(const std::string& File, bool Defined) {
  std::istringstream lines(Output(std::string("nm -D ") +
                                  (Defined ? "--defined-only" : "--undefined-only") + " '" +
                                  File + "'"));
  std::set<std::string> names;
  for (std::string line; std::getline(lines, line);)
    if (size_t space = line.rfind(' '); space != std::string::npos)
      names.insert(line.substr(space + 1));
  return names;
}

// Automatic change runs the program at every session start, so the program
// links no Qt library: the window is a module it loads only when there is a
// window to show. Everything of ours the module needs, the program exports,
// so loading it cannot fail for a missing piece.
TEST(AppProgram, LinksNoQtAndLendsTheWindowModuleItsCore) {
  const std::string program = AppPath();
  EXPECT_EQ(Output("ldd '" + program + "'").find("libQt"), std::string::npos);
  const std::string module = program.substr(0, program.rfind('/') + 1) + "libkvodesktop.so";
  ASSERT_TRUE(FileExists(module));
  EXPECT_NE(Output("ldd '" + module + "'").find("libQt6Widgets"), std::string::npos);
  const std::set<std::string> entries = Symbols(module, true);
  EXPECT_TRUE(entries.count("KvoDesktopMain") && entries.count("KvoDesktopVersion"));
  const std::set<std::string> lent = Symbols(program, true);
  int needed = 0;
  for (const std::string& name : Symbols(module, false)) {
    if (name.rfind("_ZN3kvo", 0) != 0) continue;
    ++needed;
    EXPECT_TRUE(lent.count(name)) << name << " is not exported by the program";
  }
  EXPECT_GT(needed, 0);
}

}  // namespace
}  // namespace kvo
