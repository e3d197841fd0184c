// SPDX-License-Identifier: GPL-3.0-or-later
// What kvo prints from a drive, a file name or another process reaches the
// terminal plain: its control characters are shown, never obeyed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "tests/TestSupport.h"

namespace kvo {
namespace {

std::string Q(const std::string& S) { return test::ShellQuoted(S); }
const auto Sh = test::RunTools;

// Clears the screen, goes back to the line's start, sends the C1 CSI as
// UTF-8 and as a lone byte, and DEL; the euro sign (0x82 in its UTF-8)
// comes through as it is. Short enough for a process name.
const std::string kHostile = "\x1b[2J\r\xc2\x9b\x9b\x7f\xe2\x82\xac";
const std::string kShown = "\\x1B[2J\\x0D\\xC2\\x9B\\x9B\\x7F\xe2\x82\xac";

// The first byte of Text a terminal would obey, or npos.
size_t FirstControl(const std::string& Text) {
  for (size_t i = 0; i < Text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(Text[i]);
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) return i;
    const unsigned char next = i + 1 < Text.size() ? static_cast<unsigned char>(Text[i + 1]) : 0;
    if (c == 0xc2 && next >= 0x80 && next <= 0x9f) return i;
  }
  return std::string::npos;
}

TEST(PlainText, KvoShowsControlsFromDrivesFilesAndProcessesEscaped) {
  test::ScopedXdg xdg;
  const std::string dir = xdg.Root(), kvo = Q(KVO_CLI_PATH);
  const std::string img = dir + "w98.ima", folder = dir + "c/";
  const std::string onImage = kvo + " --drive " + Q(img) + " ";
  ASSERT_EQ(Sh("convert -size 320x400 gradient:navy-orange " + Q(dir + "dawn.png") + " && cp " +
               Q(dir + "dawn.png") + " " + Q(dir + kHostile + ".png") + " && mkfs.fat -F 12 -C " + Q(img) +
               " 1440 >/dev/null && mmd -i " + Q(img) + " ::WINDOWS && mkdir -p " +
               Q(folder + "WINDOWS/LOGOS.BAK") + " && " + onImage + "add " + Q(dir + "dawn.png"))
                .Status,
            0);
  test::WriteWhole(folder + "WINDOWS/LOGOS.BAK/RESTORE.BAT", "del  \"C:\\AUTOEXEC.BAT" + kHostile + "\"\r\n");
  // A process of that name holds the image open for writing, as a virtual
  // machine would; it says so once it does, and ends at once if it cannot.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::prctl(PR_SET_NAME, kHostile.c_str());
    if (::open(img.c_str(), O_RDWR) < 0 || ::write(ready[1], "y", 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char held = 0;
  ASSERT_EQ(::read(ready[0], &held, 1), 1);
  const struct {
    const char* Source;
    std::string Args;
  } rows[] = {
      {"a restore.bat line kvo restore skips", "--drive " + Q(folder) + " restore"},
      {"a file name kvo info describes", "info " + Q(dir + kHostile + ".png")},
      {"the name of the process that holds the image", "--drive " + Q(img) + " set Custom--dawn --wait"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Source);
    const std::string out = Sh(kvo + " " + row.Args).Out;
    EXPECT_EQ(FirstControl(out), std::string::npos) << out;
    EXPECT_NE(out.find(kShown), std::string::npos) << out;
  }
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::close(ready[0]);
}

}  // namespace
}  // namespace kvo
