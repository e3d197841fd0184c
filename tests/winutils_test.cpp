// SPDX-License-Identifier: GPL-3.0-or-later
// The host system helpers: version text, Windows folder, memory and disk
// figures, the fatal-error box, and starting programs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/Basic.h"
#include "base/VCLUtils.h"
#include "base/WinUtils.h"
#include "platform/Folders.h"
#include "platform/Registry.h"
#include "platform/SystemInfo.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

TEST(WinVersion, FamilyNameFollowsPlatformAndVersion) {
  EXPECT_EQ(FormatWinVersion(1, 4, 10, 2222), "Win98 4.10 build 2222");
  EXPECT_EQ(FormatWinVersion(1, 4, 10, 0x040A08AEu), "Win98 4.10 build 2222");  // low 16 bits
  EXPECT_EQ(FormatWinVersion(1, 4, 0, 950), "Win95 4.0 build 950");
  EXPECT_EQ(FormatWinVersion(0, 3, 95, 0), "Win32s 3.95 build 0");
  EXPECT_EQ(FormatWinVersion(2, 5, 0, 2195), "Win2000 5.0 build 2195");
  EXPECT_EQ(FormatWinVersion(2, 4, 0, 1381), "WinNT 4.0 build 1381");
  EXPECT_EQ(FormatWinVersion(3, 1, 2, 3), "Unknown system 1.2 build 3");
}

TEST(WinVersion, HostReadsAsUnknownSystemWithKernelNumbers) {
  auto v = ParseKernelRelease("6.1.0-18-amd64");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->Major, 6u);
  EXPECT_EQ(v->Minor, 1u);
  EXPECT_EQ(v->Patch, 0u);
  v = ParseKernelRelease("5.15-rc3");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->Minor, 15u);
  EXPECT_EQ(v->Patch, 0u);
  EXPECT_FALSE(ParseKernelRelease("custom"));

  struct utsname u {};
  ASSERT_EQ(::uname(&u), 0);
  auto k = ParseKernelRelease(u.release).value_or(TKernelVersion{});
  EXPECT_EQ(GetWinVersionStr(), "Unknown system " + std::to_string(k.Major) + "." +
                                    std::to_string(k.Minor) + " build " +
                                    std::to_string(k.Patch & 0xFFFF));
}

TEST(WinFolder, DefaultsToTheDriveUnderXdgDataAndFollowsSystemRoot) {
  test::ScopedXdg xdg;
  int mem = MemCount();
  EXPECT_EQ(GetWinFolder(), DefaultDriveFolder() + "WINDOWS/");
  EXPECT_EQ(TraceFileName(), DefaultDriveFolder() + "trace.txt");
  EXPECT_EQ(MemCount(), mem);  // the buffer is given back

  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey(HKEY_LOCAL_MACHINE, "\\Software\\Microsoft\\Windows\\CurrentVersion",
                          false));
  reg.WriteString("SystemRoot", "/mnt/win98//WINDOWS");
  reg.CloseKey();
  EXPECT_EQ(GetWinFolder(), "/mnt/win98/WINDOWS/");
  EXPECT_EQ(TraceFileName(), "/mnt/win98/trace.txt");
  EXPECT_EQ(MemCount(), mem);
}

TEST(WinSystem, MemoryAndDiskFiguresAreSane) {
  uint64_t total = GetWinPhysicalMemory();
  EXPECT_GT(total, 0u);
  EXPECT_LE(GetWinFreeMemory(), total);

  uint64_t size = 1, free = 1;
  EXPECT_TRUE(GetDriveFreeSpace("/", size, free));
  EXPECT_GT(size, 0u);
  EXPECT_LE(free, size);
  EXPECT_FALSE(GetDriveFreeSpace("/no/such/folder", size, free));
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(free, 0u);
}

TEST(WinSystem, DvlShowErrorGoesToTheFatalBox) {
  std::string shown;
  Dialogs().FatalError = [&](const std::string& Text) { shown = Text; };
  DvlShowError("Fatal error: internal monitoring overflow.");
  InstallSilentDialogs();
  EXPECT_EQ(shown, "Fatal error: internal monitoring overflow.");
}

// ---- starting programs -----------------------------------------------------

class ExecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::MakeTempFolder("kvo-exec-");
    mem_ = MemCount();
  }
  void TearDown() override {
    EXPECT_EQ(MemCount(), mem_);
    test::RemoveTree(dir_);
  }
  // An executable shell script in the test folder.
  std::string Script(const std::string& Name, const std::string& Body) {
    std::string path = dir_ + Name;
    test::WriteWhole(path, "#!/bin/sh\n" + Body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
  }
  // Waits for a file a detached program writes; its contents, or "" after
  // a generous time.
  std::string AwaitFile(const std::string& Path) {
    for (int i = 0; i < 500; ++i) {
      std::string s = test::ReadWhole(Path);
      if (!s.empty() && s.back() == '\n') return s;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
  }
  std::string dir_;
  int mem_ = 0;
};

TEST_F(ExecTest, WaitRunsTheProgramInTheFolderToItsEnd) {
  EXPECT_TRUE(ExecuteProgram("/bin/sh", "-c \"sleep 0.2; pwd > out.txt\"", dir_, true));
  // Already there when the call returns: the call waited.
  std::string cwd = dir_.substr(0, dir_.size() - 1);
  EXPECT_EQ(test::ReadWhole(dir_ + "out.txt"), cwd + "\n");
  EXPECT_TRUE(ExecuteProgram("true", "", dir_, true));  // found on PATH, no parameters
}

TEST_F(ExecTest, WaitFailsWhenNothingCanBeStarted) {
  EXPECT_FALSE(ExecuteProgram(dir_ + "missing-program", "", dir_, true));
  EXPECT_FALSE(ExecuteProgram("/bin/sh", "-c true", dir_ + "no-such-folder", true));
  test::WriteWhole(dir_ + "plain.txt", "not a program");
  EXPECT_FALSE(ExecuteProgram(dir_ + "plain.txt", "", dir_, true));
}

TEST_F(ExecTest, WaitCutsTheCommandLineTo511Characters) {
  std::string prog = Script("len.sh", "printf '%s\\n' \"${#1}\" > len.txt");
  EXPECT_TRUE(ExecuteProgram(prog, std::string(2000, 'x'), dir_, true));
  EXPECT_EQ(test::ReadWhole(dir_ + "len.txt"), std::to_string(511 - prog.size() - 1) + "\n");
}

TEST_F(ExecTest, NoWaitStartsAnExecutableDetached) {
  std::string prog = Script("args.sh", "printf '%s|%s\\n' \"$1\" \"$2\" > args.txt");
  EXPECT_TRUE(ExecuteProgram(prog, "one \"two words\"", dir_, false));
  EXPECT_EQ(AwaitFile(dir_ + "args.txt"), "one|two words\n");
  // The intermediate child was reaped and the program is not our child.
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ExecTest, NoWaitCutsEachArgumentTo79Characters) {
  std::string prog = Script("a.sh", "printf '%s\\n' \"$1\" > arg.txt");
  ASSERT_LT(prog.size(), 80u);
  EXPECT_TRUE(_ExecNoWait(prog, std::string(300, 'p'), dir_));
  EXPECT_EQ(AwaitFile(dir_ + "arg.txt"), std::string(79, 'p') + "\n");
  // A program name cut short names no program, and there is no opener
  // on PATH to take it either.
  std::string longName = dir_ + std::string(100, 'n');
  const char* oldPath = std::getenv("PATH");
  std::string saved = oldPath ? oldPath : "";
  ::setenv("PATH", (dir_ + "empty").c_str(), 1);
  EXPECT_FALSE(_ExecNoWait(longName, "", dir_));
  ::setenv("PATH", saved.c_str(), 1);
}

TEST_F(ExecTest, NoWaitHandsDocumentsAndAddressesToTheOpener) {
  ::mkdir((dir_ + "bin").c_str(), 0777);
  Script("bin/xdg-open", "printf '%s\\n' \"$1\" >> opened.txt");
  test::WriteWhole(dir_ + "manual.html", "<html></html>");
  const char* oldPath = std::getenv("PATH");
  std::string saved = oldPath ? oldPath : "";
  ::setenv("PATH", (dir_ + "bin:" + saved).c_str(), 1);
  bool doc = ExecuteProgram(dir_ + "manual.html", "ignored", dir_, false);
  std::string first = AwaitFile(dir_ + "opened.txt");
  bool web = ExecuteProgram("https://example.org/", "", dir_, false);
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_TRUE(doc);
  EXPECT_TRUE(web);
  EXPECT_EQ(first, dir_ + "manual.html\n");
  for (int i = 0; i < 500 && test::ReadWhole(dir_ + "opened.txt") == first; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(test::ReadWhole(dir_ + "opened.txt"), first + "https://example.org/\n");
}

}  // namespace
}  // namespace kvo
