// SPDX-License-Identifier: GPL-3.0-or-later
// The backup of the logos before their first change, restore.bat, and the
// restore.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/Errors.h"
#include "base/VCLUtils.h"
#include "core/Backup.h"
#include "core/Composer.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "platform/FaultInject.h"
#include "platform/Folders.h"
#include "platform/TextUtil.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

const std::string kHeader =
    "REM --------------------------------------------\r\n"
    "REM  Run this file to restore previous logos.\r\n"
    "REM --------------------------------------------\r\n"
    "\r\n";

// Logo bytes with line ends, a zero and a high byte, so any text-mode
// translation or truncation in a copy shows.
std::string LogoBytes(const std::string& Tag) {
  return "BM" + Tag + std::string("\r\n\0\n\r\xff\x80", 7) + std::string(70000, '\x5a') + Tag;
}

class BackupTest : public testing::Test {
 protected:
  void SetUp() override {
    Settings() = TSettings{};
    drive_ = xdg_.Root() + "data/KvoPanoramics/drive_c/";
    win_ = drive_ + "WINDOWS/";
    bak_ = win_ + "logos.bak/";
    ASSERT_EQ(BackupDir(), bak_);
    ClearError();
  }
  void TearDown() override { InstallSilentDialogs(); }
  std::string Bat() const { return test::ReadWhole(bak_ + "restore.bat"); }
  test::ScopedXdg xdg_;
  std::string drive_, win_, bak_;
};

TEST_F(BackupTest, FirstChangeCopiesTheLogoOnceAndWritesOneLine) {
  const std::string logo = win_ + "logos.sys";
  test::WriteWhole(logo, LogoBytes("turnoff"));
  BackupLogo(logo);
  EXPECT_EQ(test::ReadWhole(bak_ + "logo1.bmp"), LogoBytes("turnoff"));
  // Windows runs the batch file, so it names the files as Windows does.
  const std::string bat = kHeader + "copy \"C:\\WINDOWS\\logos.bak\\logo1.bmp\" \"C:\\WINDOWS\\logos.sys\"\r\n";
  EXPECT_EQ(Bat(), bat);
  EXPECT_TRUE(NoError());

  // The logo has since been replaced; a second change keeps the first copy.
  test::WriteWhole(logo, LogoBytes("ours"));
  BackupLogo(logo);
  // The same path in other letter cases names the same logo.
  BackupLogo(UpperText(logo));
  BackupLogo(LowerText(logo));
  EXPECT_EQ(Bat(), bat);
  EXPECT_EQ(test::ReadWhole(bak_ + "logo1.bmp"), LogoBytes("turnoff"));
  EXPECT_FALSE(FileExists(bak_ + "logo2.bmp"));
}

TEST_F(BackupTest, MissingLogosGetADeleteLineAndNewPathsTheirOwnCopy) {
  // The Startup logo does not exist, the Wait logo does.
  BackupLogo(drive_ + "logo.sys");
  test::WriteWhole(win_ + "logow.sys", LogoBytes("wait"));
  BackupLogo(win_ + "logow.sys");
  // The Turn off logo moved to another folder where a file already is.
  const std::string moved = xdg_.Root() + "elsewhere/logos.sys";
  ASSERT_TRUE(EnsureFolder(xdg_.Root() + "elsewhere"));
  test::WriteWhole(moved, LogoBytes("moved"));
  BackupLogo(moved);
  // A logo outside the managed drive keeps its own path.
  EXPECT_EQ(Bat(), kHeader + "del  \"C:\\logo.sys\"\r\n" +
                       "copy \"C:\\WINDOWS\\logos.bak\\logo1.bmp\" \"C:\\WINDOWS\\logow.sys\"\r\n" +
                       "copy \"C:\\WINDOWS\\logos.bak\\logo2.bmp\" \"" + moved + "\"\r\n");
  EXPECT_EQ(test::ReadWhole(bak_ + "logo1.bmp"), LogoBytes("wait"));
  EXPECT_EQ(test::ReadWhole(bak_ + "logo2.bmp"), LogoBytes("moved"));
}

TEST_F(BackupTest, RestoreDeletesNewLogosAndBringsTheOthersBack) {
  const std::string startup = drive_ + "logo.sys", wait = win_ + "logow.sys",
                    turnoff = win_ + "logos.sys";
  test::WriteWhole(wait, LogoBytes("wait"));
  test::WriteWhole(turnoff, LogoBytes("turnoff"));
  for (const std::string& logo : {startup, wait, turnoff}) {
    BackupLogo(logo);
    test::WriteWhole(logo, LogoBytes("written"));
  }
  const std::string bat = Bat();
  for (int round = 0; round < 2; ++round) {
    RestoreLogos();
    EXPECT_FALSE(FileExists(startup)) << round;
    EXPECT_EQ(test::ReadWhole(wait), LogoBytes("wait")) << round;
    EXPECT_EQ(test::ReadWhole(turnoff), LogoBytes("turnoff")) << round;
    // The backup stays as it was, ready for the next restore.
    EXPECT_EQ(Bat(), bat);
    EXPECT_TRUE(FileExists(bak_ + "logo1.bmp") && FileExists(bak_ + "logo2.bmp"));
    test::WriteWhole(turnoff, LogoBytes("written again"));
  }
}

TEST_F(BackupTest, RestoreSkipsBrokenLinesAndGoesOn) {
  ASSERT_TRUE(EnsureFolder(bak_));
  test::WriteWhole(bak_ + "logo1.bmp", "one");
  test::WriteWhole(win_ + "logow.sys", "current");
  test::WriteWhole(win_ + "logos.sys", "current");
  // Host paths, as files written before named the logos, still serve.
  test::WriteWhole(bak_ + "RESTORE.BAT",
                   kHeader + "copy \"" + bak_ + "logo1.bmp\"\r\n" +           // one path only
                       "copy \"" + bak_ + "logo1.bmp\" \"\"  \r\n" +          // empty target
                       "copy \"" + bak_ + "missing.bmp\" \"" + drive_ + "logo.sys\"\r\n" +
                       "rem del  \"" + win_ + "logow.sys\"\r\n" +              // a remark
                       "echo \"" + win_ + "logow.sys\"\r\n" +                  // not a command of ours
                       "  COPY \" " + bak_ + "logo1.bmp \" \"" + win_ + "logow.sys\"\r\n" +
                       "del  \"" + bak_ + "missing.sys\"\r\n" +
                       "Del  \"" + win_ + "logos.sys\"");                        // no final line end
  std::vector<std::string> notRestored;
  EXPECT_TRUE(RestoreLogos(&notRestored));
  // The one logo whose copy is missing is named; the rest came back.
  EXPECT_EQ(notRestored, (std::vector<std::string>{drive_ + "logo.sys: its backup copy "
                                                   "C:\\WINDOWS\\logos.bak\\missing.bmp is missing"}));
  EXPECT_FALSE(FileExists(drive_ + "logo.sys"));
  EXPECT_EQ(test::ReadWhole(win_ + "logow.sys"), "one");
  EXPECT_FALSE(FileExists(win_ + "logos.sys"));
  EXPECT_TRUE(NoError());
}

TEST_F(BackupTest, RestoreWithoutABatchFileDoesNothing) {
  test::WriteWhole(win_ + "logow.sys", "current");
  RestoreLogos();
  EXPECT_EQ(test::ReadWhole(win_ + "logow.sys"), "current");
  EXPECT_FALSE(FolderExists(bak_));
}

TEST_F(BackupTest, AddRestoreLineMatchesOnlyCommandsNamingThePath) {
  const std::string bat = xdg_.Root() + "restore.bat";
  EXPECT_TRUE(AddRestoreLine(bat, "/d/logo.sys", "del  \"/d/logo.sys\""));
  EXPECT_EQ(test::ReadWhole(bat), kHeader + "del  \"/d/logo.sys\"\r\n");
  EXPECT_FALSE(AddRestoreLine(bat, "/D/LOGO.SYS", "del  \"/D/LOGO.SYS\""));
  // The header's remarks never match, even when they name the path.
  test::WriteWhole(bat, "REM copy \"/d/w/logow.sys\"\r\n");
  EXPECT_TRUE(AddRestoreLine(bat, "/d/w/logow.sys", "x"));
  // A path at the very start of a line is no command's argument.
  test::WriteWhole(bat, "/d/w/logos.sys\r\n");
  EXPECT_TRUE(AddRestoreLine(bat, "/d/w/logos.sys", "y"));
  EXPECT_EQ(test::ReadWhole(bat), "/d/w/logos.sys\r\ny\r\n");
  // A batch file that cannot be written adds nothing and reports nothing.
  EXPECT_FALSE(AddRestoreLine(xdg_.Root() + "no/such/folder/restore.bat", "/d/logo.sys", "z"));
  EXPECT_TRUE(NoError());
}

TEST_F(BackupTest, BackupNamesTakeTheFirstFreeNumberInAnyCase) {
  const std::string folder = xdg_.Root() + "bak/";
  ASSERT_TRUE(EnsureFolder(folder));
  EXPECT_EQ(NextBackupName(folder), folder + "logo1.bmp");
  test::WriteWhole(folder + "logo2.bmp", "");
  EXPECT_EQ(NextBackupName(folder), folder + "logo1.bmp");
  test::WriteWhole(folder + "LOGO1.BMP", "");
  ASSERT_TRUE(EnsureFolder(folder + "logo3.bmp"));
  EXPECT_EQ(NextBackupName(folder), folder + "logo4.bmp");
}

TEST_F(BackupTest, QuotedFieldsCountQuotePairs) {
  const std::string line = "copy \"C:\\a b\\logo1.bmp\" \"C:\\logo.sys\"";
  EXPECT_EQ(QuotedField(line, 1), "C:\\a b\\logo1.bmp");
  EXPECT_EQ(QuotedField(line, 2), "C:\\logo.sys");
  EXPECT_EQ(QuotedField(line, 3), "");
  EXPECT_EQ(QuotedField(line, 0), "C:\\a b\\logo1.bmp");
  EXPECT_EQ(QuotedField(line, -4), "C:\\a b\\logo1.bmp");
  EXPECT_EQ(QuotedField("copy \"a\" \"b", 2), "");
  EXPECT_EQ(QuotedField("copy \"a", 1), "");
  EXPECT_EQ(QuotedField("\"\"", 1), "");
  EXPECT_EQ(QuotedField("no quotes", 1), "");
}

TEST_F(BackupTest, FailuresEndTheBackupSilently) {
  // A file where the backup folder should be.
  test::WriteWhole(win_ + "logos.bak", "in the way");
  test::WriteWhole(win_ + "logow.sys", "current");
  EXPECT_NO_THROW(BackupLogo(win_ + "logow.sys"));
  EXPECT_TRUE(NoError());
  EXPECT_EQ(test::ReadWhole(win_ + "logos.bak"), "in the way");
  EXPECT_EQ(MonDepth(), 0);
}

TEST_F(BackupTest, AFailedCopyLeavesNoLineSoTheNextChangeTriesAgain) {
  const std::string logo = win_ + "logow.sys";
  // The copy fails as on a full disk.
  test::WriteWhole(logo, LogoBytes("wait"));
  ASSERT_TRUE(EnsureFolder(bak_));
  FaultInjectStart(1, ENOSPC);
  BackupLogo(logo);
  FaultInjectStop();
  EXPECT_FALSE(FileExists(bak_ + "restore.bat"));
  EXPECT_FALSE(FileExists(bak_ + "logo1.bmp"));
  EXPECT_TRUE(NoError());
  BackupLogo(logo);
  EXPECT_EQ(test::ReadWhole(bak_ + "logo1.bmp"), LogoBytes("wait"));
  // A logo too large to be read is moved into the backup folder whole.
  const std::string big = drive_ + "logo.sys";
  test::WriteWhole(big, "BM");
  ASSERT_EQ(::truncate(big.c_str(), 2 << 20), 0);
  BackupLogo(big);
  EXPECT_FALSE(FileExists(big));
  EXPECT_EQ(test::ReadWhole(bak_ + "logo2.bmp").size(), 2u << 20);
}

TEST_F(BackupTest, RestoreCommandAsksFirst) {
  test::WriteWhole(drive_ + "logo.sys", "ours");
  ASSERT_TRUE(EnsureFolder(bak_));
  test::WriteWhole(bak_ + "restore.bat", kHeader + "del  \"" + drive_ + "logo.sys\"\r\n");
  std::string asked, told;
  char answer = 'N';
  Dialogs().YesNo = [&](const std::string& Text, bool DefaultYes) {
    asked = Text;
    EXPECT_TRUE(DefaultYes);
    return answer;
  };
  Dialogs().ShowInfo = [&](const std::string& Text) { told = Text; };
  RestoreCommand();
  EXPECT_EQ(asked, "Do you want to restore previous logos?");
  EXPECT_TRUE(FileExists(drive_ + "logo.sys"));
  EXPECT_EQ(told, "");
  answer = 'Y';
  RestoreCommand();
  EXPECT_FALSE(FileExists(drive_ + "logo.sys"));
  EXPECT_EQ(told, "Previous logos restored.");
}

TEST_F(BackupTest, APositionWithoutAFileNameIsSkippedWithAWarning) {
  Settings().LogoFile[2] = "";
  std::string warned;
  Dialogs().ShowWarning = [&](const std::string& Text) { warned = Text; };
  EXPECT_FALSE(SetLogo(xdg_.Root() + "any.kvo", POS_TURNOFF));
  EXPECT_EQ(warned, "No logo file is chosen for the \"Turn off\" logo; it was not set.");
  EXPECT_FALSE(FileExists(bak_ + "restore.bat"));
}

}  // namespace
}  // namespace kvo
