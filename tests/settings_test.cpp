// SPDX-License-Identifier: GPL-3.0-or-later
// The settings record: kvo.ini's keys with their defaults and reading
// rules, the win.ini section, and the message files.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include <unistd.h>

#include "base/IniWrap.h"
#include "base/WinUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

int CountSeparators(const std::string& Text) {
  int n = 0;
  for (size_t p = Text.find("--\r\n"); p != std::string::npos; p = Text.find("--\r\n", p + 1)) ++n;
  return n;
}

class SettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    Settings() = TSettings{};
    drive_ = xdg_.Root() + "data/KvoPanoramics/drive_c/";
    app_ = xdg_.Root() + "config/KvoPanoramics/";
    // The first look at the registry makes the default drive's folders.
    ASSERT_EQ(GetWinFolder(), drive_ + "WINDOWS/");
    ASSERT_EQ(ConfigFolder(), app_);
  }
  void TearDown() override {
    PrefsPrepare("", "");
    Settings() = TSettings{};
  }
  void WriteIni(const std::string& Main) { test::WriteWhole(SettingsFile(), "[Main]\r\n" + Main); }
  std::string WinIni() const { return drive_ + "WINDOWS/win.ini"; }
  test::ScopedXdg xdg_;
  std::string drive_, app_;
};

TEST_F(SettingsTest, MissingFilesGiveEveryDefaultAndWriteNothing) {
  EXPECT_EQ(SettingsFile(), app_ + "kvo.ini");
  EXPECT_EQ(MessageFile(POS_TURNOFF), app_ + "msg-turnoff.txt");
  EXPECT_EQ(MessageFile(7), "");
  LoadSettings(true);
  const TSettings& s = Settings();
  EXPECT_EQ(s.GalDir, "/");
  EXPECT_EQ(s.LogoFile[0], drive_ + "logo.sys");
  EXPECT_EQ(s.LogoFile[1], drive_ + "WINDOWS/logow.sys");
  EXPECT_EQ(s.LogoFile[2], drive_ + "WINDOWS/logos.sys");
  EXPECT_EQ(s.FileOpenDir, "/");
  EXPECT_EQ(s.ResizeMode, 0);
  EXPECT_FALSE(s.AutoChange);  // the log-in job is the user's choice
  EXPECT_EQ(s.FontName, "Verdana");
  EXPECT_TRUE(s.FontBold);
  EXPECT_FALSE(s.FontItalic || s.FontUnderline || s.FontStrikeout);
  EXPECT_EQ(s.FontSize, 10);
  EXPECT_EQ(s.TextColor, 0xFFFFFFu);
  EXPECT_EQ(s.TextBorderColor, 0u);
  EXPECT_TRUE(s.AnimEnabled);
  EXPECT_EQ(s.AnimShape, 1);
  EXPECT_EQ(s.AnimMove, 0);
  EXPECT_EQ(s.AnimColor1, 0xFF8000u);  // red 0, green 128, blue 255
  EXPECT_EQ(s.AnimColor2, 0x804000u);  // red 0, green 64, blue 128
  EXPECT_TRUE(s.MsgEnabled[0] && s.MsgEnabled[1] && s.MsgEnabled[2]);
  EXPECT_EQ(s.MsgPickMethod, 0);
  EXPECT_EQ(s.Palette, PALETTE_STANDARD);
  for (uint32_t p : POSITIONS) EXPECT_EQ(GetMessages(p), "");
  EXPECT_EQ(GetStorageDir(), drive_ + "Program Files/kvoLogos/");
  // Loading is reading: no settings, message or win.ini file appears.
  EXPECT_FALSE(FileExists(SettingsFile()));
  EXPECT_FALSE(FileExists(MessageFile(POS_STARTUP)));
  EXPECT_FALSE(FileExists(WinIni()));
  EXPECT_FALSE(FileExists(OwnWinIniFile()));
}

TEST_F(SettingsTest, LogoFilesChosenOnAnotherDriveGiveWayToThisDrivesOwn) {
  // Written before drives were chosen: the folder drive's files stay.
  WriteIni("LogoFile1=/mnt/old/WINDOWS/LOGOW.SYS\r\n");
  ReadSettings(false);
  EXPECT_EQ(Settings().LogoFile[1], "/mnt/old/WINDOWS/LOGOW.SYS");
  WriteIni("LogoFile1=/mnt/old/WINDOWS/LOGOW.SYS\r\nLogoDrive=/mnt/old/\r\n");
  ReadSettings(false);
  EXPECT_EQ(Settings().LogoFile[1], drive_ + "WINDOWS/logow.sys");
  EXPECT_EQ(Settings().LogoDrive, drive_);
}

// The pictures are the user's: another drive keeps them in view, unless it
// is a Windows folder whose own win.ini names a storage folder.
TEST_F(SettingsTest, AnotherDriveKeepsTheStoreUnlessItsWinIniNamesOne) {
  const std::string mine = xdg_.Root() + "my-pictures/", its = xdg_.Root() + "its-pictures/";
  struct Case {
    const char* Folder;
    std::string WinIni;  // empty: none
    std::string Store;
  } const cases[] = {
      {"mnt-plain/", "", mine},
      {"mnt-other-section/", "[windows]\r\nload=\r\n", mine},
      {"mnt-own-store/", "[tarvoni]\r\nkvo-StorageDir=" + its + "\r\n", its},
  };
  for (const Case& c : cases) {
    LoadSettings(false);
    SetStorageDir(mine);
    const std::string root = xdg_.Root() + c.Folder;
    ASSERT_TRUE(EnsureFolder(root + "WINDOWS"));
    if (!c.WinIni.empty()) test::WriteWhole(root + "WINDOWS/win.ini", c.WinIni);
    std::string error;
    ASSERT_TRUE(RememberDrive(root, error)) << error;
    DriveChanged();
    EXPECT_EQ(GetStorageDir(), c.Store) << c.Folder;
    // Its own logo files, whatever the store.
    EXPECT_EQ(Settings().LogoFile[0], root + "logo.sys") << c.Folder;
  }
}

TEST_F(SettingsTest, LogoSourcesBelongToTheirDrive) {
  LoadSettings(false);
  EXPECT_EQ(LogoSource(POS_STARTUP), "");
  RememberLogoSources({"Custom--Sunset.kvo", "", "Gal--Moon.kvo"});
  RememberLogoSources({"", "", "Gal--Sea.kvo"});
  // The settings file is not touched.
  EXPECT_FALSE(FileExists(SettingsFile()));
  EXPECT_EQ(LogoSource(POS_STARTUP), "Custom--Sunset.kvo");
  EXPECT_EQ(LogoSource(POS_WAIT), "");
  EXPECT_EQ(LogoSource(POS_TURNOFF), "Gal--Sea.kvo");
  EXPECT_EQ(LogoSource(8), "");
  // Another drive's logos came from nowhere this program knows of; a
  // picture set there starts a record of its own.
  const std::string other = xdg_.Root() + "mnt/";
  ASSERT_TRUE(EnsureFolder(other + "WINDOWS"));
  std::string error;
  ASSERT_TRUE(RememberDrive(other, error)) << error;
  EXPECT_EQ(LogoSource(POS_STARTUP), "");
  RememberLogoSources({"", "Custom--Rain.kvo", ""});
  EXPECT_EQ(LogoSource(POS_WAIT), "Custom--Rain.kvo");
  EXPECT_EQ(LogoSource(POS_TURNOFF), "");
  ForgetLogoSources();
  EXPECT_EQ(LogoSource(POS_WAIT), "");
}

TEST_F(SettingsTest, BooleansFollowTheirFirstCharacterElseTheDefault) {
  struct Case {
    const char* Value;
    bool Expected;
  };
  for (Case c : {Case{"yes", true}, Case{"True", true}, Case{"1", true}, Case{"no", false},
                 Case{"false", false}, Case{"0", false}, Case{"maybe", true}, Case{"", true}}) {
    WriteIni(std::string("AnimEnabled=") + c.Value + "\r\nFontItalic=" + c.Value + "\r\n");
    LoadSettings(false);
    EXPECT_EQ(Settings().AnimEnabled, c.Expected) << c.Value;
    // FontItalic defaults to false, so an unreadable word gives false there.
    bool italic = c.Value[0] == '\0' || c.Value[0] == 'm' ? false : c.Expected;
    EXPECT_EQ(Settings().FontItalic, italic) << c.Value;
  }
}

TEST_F(SettingsTest, IntegersKeepStoredValuesAndActAsTheirMeaning) {
  WriteIni("MsgPickMethod=2\r\nResizeMode=7\r\nFontSize=big\r\nAnimShape=\r\nTextColor=-1\r\n"
           "Palette=5\r\n");
  LoadSettings(false);
  const TSettings& s = Settings();
  EXPECT_EQ(s.MsgPickMethod, 2);
  EXPECT_EQ(EffectivePickMethod(s), PICK_FIRST);
  EXPECT_EQ(s.ResizeMode, 7);
  EXPECT_EQ(EffectiveResizeMode(s), RESIZE_BORDER);
  EXPECT_EQ(s.Palette, 5);
  EXPECT_EQ(EffectivePalette(s), PALETTE_STANDARD);
  EXPECT_EQ(s.FontSize, 10);
  EXPECT_EQ(s.AnimShape, 1);
  EXPECT_EQ(s.TextColor, 0xFFFFFFFFu);
  TSettings t;
  t.MsgPickMethod = PICK_RANDOM;
  t.ResizeMode = RESIZE_STRETCH;
  t.Palette = PALETTE_BEST;
  EXPECT_EQ(EffectivePalette(t), PALETTE_BEST);
  EXPECT_EQ(EffectivePickMethod(t), PICK_RANDOM);
  EXPECT_EQ(EffectiveResizeMode(t), RESIZE_STRETCH);
}

TEST_F(SettingsTest, FoldersGetTheirTrailingSeparator) {
  WriteIni("GalDir=/home/u/galleries\r\nFileOpenDir=/home/u/pictures/\r\n");
  test::WriteWhole(drive_ + "WINDOWS/WIN.INI", "[tarvoni]\r\nkvo-StorageDir=/srv/logos\r\n");
  LoadSettings(false);
  EXPECT_EQ(Settings().GalDir, "/home/u/galleries/");
  EXPECT_EQ(Settings().FileOpenDir, "/home/u/pictures/");
  EXPECT_EQ(GetStorageDir(), "/srv/logos/");
}

TEST_F(SettingsTest, LongFontNamesAreKeptAndCutOnlyForTheFace) {
  const std::string name = "An Extremely Long Font Family Name Beyond 32";
  WriteIni("FontName=" + name + "\r\n");
  LoadSettings(false);
  EXPECT_EQ(Settings().FontName, name);
  EXPECT_EQ(FontFaceName(Settings()), "An Extremely Long Font Family Na");
  EXPECT_EQ(FontFaceName(TSettings{}), "Verdana");
}

// Every key differs from its default, so a key that is not written or not
// read back shows.
TSettings Unusual() {
  TSettings s;
  s.GalDir = "/g/";
  s.LogoFile[0] = "/d/LOGO.SYS";
  s.LogoFile[1] = "/d/W/LOGOW.SYS";
  s.LogoFile[2] = "/d/W/LOGOS.SYS";
  s.FileOpenDir = "/o/";
  s.ResizeMode = 2;
  s.AutoChange = false;
  s.FontName = "Arial";
  s.FontBold = false;
  s.FontItalic = s.FontUnderline = s.FontStrikeout = true;
  s.FontSize = 14;
  s.TextColor = 255;
  s.TextBorderColor = 65280;
  s.AnimEnabled = false;
  s.AnimShape = 2;
  s.AnimMove = 1;
  s.AnimColor1 = 1;
  s.AnimColor2 = 2;
  s.AnimSpeed = 9;
  s.MsgEnabled[0] = false;
  s.MsgEnabled[1] = false;
  s.MsgEnabled[2] = false;
  s.MsgPickMethod = 1;
  s.Palette = PALETTE_BEST;
  return s;
}

TEST_F(SettingsTest, SaveWritesEveryKeyInTableOrder) {
  Settings() = Unusual();
  SaveSettings(false);
  EXPECT_EQ(test::ReadWhole(SettingsFile()),
            std::string("[Main]\r\n"
            "GalDir=/g/\r\n"
            "LogoFile0=/d/LOGO.SYS\r\n"
            "LogoFile1=/d/W/LOGOW.SYS\r\n"
            "LogoFile2=/d/W/LOGOS.SYS\r\n"
            // The logo files belong to the drive they were chosen on.
            "LogoDrive=" + drive_ + "\r\n"
            "FileOpenDir=/o/\r\n"
            "ResizeMode=2\r\n"
            "AutoChange=0\r\n"
            "FontName=Arial\r\n"
            "FontBold=0\r\n"
            "FontItalic=1\r\n"
            "FontUnderline=1\r\n"
            "FontStrikeout=1\r\n"
            "FontSize=14\r\n"
            "TextColor=255\r\n"
            "TextBorderColor=65280\r\n"
            "AnimEnabled=0\r\n"
            "AnimShape=2\r\n"
            "AnimMove=1\r\n"
            "AnimColor1=1\r\n"
            "AnimColor2=2\r\n"
            "AnimSpeed=9\r\n"
            "Msg0Enabled=0\r\n"
            "Msg1Enabled=0\r\n"
            "Msg2Enabled=0\r\n"
            "MsgPickMethod=1\r\n"
            "Palette=1\r\n"));
  // Without messages, no message file is written.
  EXPECT_FALSE(FileExists(MessageFile(POS_STARTUP)));
}

TEST_F(SettingsTest, SaveAndLoadReturnEveryValue) {
  const TSettings want = Unusual();
  Settings() = want;
  SetMessages(POS_STARTUP, "Welcome\r\n--\r\nHave a nice day\r\nand a nice evening");
  SetMessages(POS_WAIT, "First line\r\n\r\n\r\nafter two empty lines");
  SetMessages(POS_TURNOFF, "");
  SetStorageDir("/srv/logos");
  SaveSettings(true);
  Settings() = TSettings{};
  LoadSettings(true);
  const TSettings& got = Settings();
  EXPECT_EQ(got.GalDir, want.GalDir);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(got.LogoFile[i], want.LogoFile[i]);
    EXPECT_EQ(got.MsgEnabled[i], want.MsgEnabled[i]);
  }
  EXPECT_EQ(got.FileOpenDir, want.FileOpenDir);
  EXPECT_EQ(got.ResizeMode, want.ResizeMode);
  EXPECT_EQ(got.AutoChange, want.AutoChange);
  EXPECT_EQ(got.FontName, want.FontName);
  EXPECT_EQ(got.FontBold, want.FontBold);
  EXPECT_EQ(got.FontItalic, want.FontItalic);
  EXPECT_EQ(got.FontUnderline, want.FontUnderline);
  EXPECT_EQ(got.FontStrikeout, want.FontStrikeout);
  EXPECT_EQ(got.FontSize, want.FontSize);
  EXPECT_EQ(got.TextColor, want.TextColor);
  EXPECT_EQ(got.TextBorderColor, want.TextBorderColor);
  EXPECT_EQ(got.AnimEnabled, want.AnimEnabled);
  EXPECT_EQ(got.AnimShape, want.AnimShape);
  EXPECT_EQ(got.AnimMove, want.AnimMove);
  EXPECT_EQ(got.AnimColor1, want.AnimColor1);
  EXPECT_EQ(got.AnimColor2, want.AnimColor2);
  EXPECT_EQ(got.AnimSpeed, want.AnimSpeed);
  EXPECT_EQ(got.MsgPickMethod, want.MsgPickMethod);
  EXPECT_EQ(got.Palette, want.Palette);
  EXPECT_EQ(GetMessages(POS_STARTUP), "Welcome\r\n--\r\nHave a nice day\r\nand a nice evening");
  EXPECT_EQ(GetMessages(POS_WAIT), "First line\r\n\r\n\r\nafter two empty lines");
  EXPECT_EQ(GetMessages(POS_TURNOFF), "");
  EXPECT_EQ(GetStorageDir(), "/srv/logos/");
}

// The storage folder is remembered in the program's own win.ini. A drive's
// WIN.INI is Windows' file: it is read where it names a store (written
// there by an earlier version, after the end mark Windows' editors leave),
// and stays byte for byte as it was through every start and save.
TEST_F(SettingsTest, TheStorageFolderIsTheProgramsOwnAndTheDrivesWinIniIsOnlyRead) {
  const std::string drives = "[windows]\r\nload=\r\n\x1a\r\n[tarvoni]\r\nkvo-StorageDir=/old/logos\r\n";
  const std::string other = "LogoDrive=/another/drive/\r\n";
  struct Row {
    const char* Name;
    std::string Own, DriveWinIni, Ini;  // empty: none
    std::string Store;
  } const rows[] = {
      {"nothing anywhere", "", "", "", drive_ + "Program Files/kvoLogos/"},
      {"only the drive's, kept by an earlier version", "", drives, "", "/old/logos/"},
      {"the program's own wins", "/srv/mine", drives, "", "/srv/mine/"},
      {"a drive other than at the last save brings its store", "/srv/mine", drives, other, "/old/logos/"},
      {"another drive without one keeps the user's", "/srv/mine", "[windows]\r\n", other, "/srv/mine/"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    for (const auto& [file, text] : {std::pair{OwnWinIniFile(), row.Own.empty() ? "" : "[tarvoni]\r\nkvo-StorageDir=" + row.Own + "\r\n"},
                                     std::pair{WinIni(), row.DriveWinIni},
                                     std::pair{SettingsFile(), row.Ini.empty() ? "" : "[Main]\r\n" + row.Ini}})
      if (text.empty())
        ::unlink(file.c_str());
      else
        test::WriteWhole(file, text);
    Settings() = TSettings{};
    LoadSettings(false);
    EXPECT_EQ(GetStorageDir(), row.Store);
    SetExecutablePath("/opt/kvo/kvopanoramics");
    SaveSettings(true);
    EXPECT_NE(test::ReadWhole(OwnWinIniFile()).find("kvo-StorageDir=" + row.Store + "\r\n"),
              std::string::npos);
    if (row.DriveWinIni.empty())
      EXPECT_FALSE(FileExists(WinIni()));
    else
      EXPECT_EQ(test::ReadWhole(WinIni()), row.DriveWinIni);
  }
}

TEST_F(SettingsTest, MessageFilesKeepTheirSeparatorsAsTheyWere) {
  test::WriteWhole(app_ + "msg-startup.txt",
                   "Welcome\r\n--\r\nHave a nice day\r\nand a nice evening\r\n--\r\n"
                   "Shutting down...\r\n");
  // The last line "--" is text: the line break after it is not loaded.
  test::WriteWhole(app_ + "msg-wait.txt", "Please wait\r\n--\r\n");
  // Followed by an empty line, it separates.
  test::WriteWhole(app_ + "msg-turnoff.txt", "Bye\r\n--\r\n\r\n");
  LoadSettings(true);
  EXPECT_EQ(GetMessages(POS_STARTUP),
            "Welcome\r\n--\r\nHave a nice day\r\nand a nice evening\r\n--\r\nShutting down...");
  EXPECT_EQ(CountSeparators(GetMessages(POS_STARTUP)), 2);
  EXPECT_EQ(GetMessages(POS_WAIT), "Please wait\r\n--");
  EXPECT_EQ(CountSeparators(GetMessages(POS_WAIT)), 0);
  EXPECT_EQ(GetMessages(POS_TURNOFF), "Bye\r\n--\r\n");
  EXPECT_EQ(CountSeparators(GetMessages(POS_TURNOFF)), 1);

  // Saved back, each file is the text plus one line break: what was read.
  SaveSettings(true);
  EXPECT_EQ(test::ReadWhole(app_ + "msg-wait.txt"), "Please wait\r\n--\r\n");
  EXPECT_EQ(test::ReadWhole(app_ + "msg-turnoff.txt"), "Bye\r\n--\r\n\r\n");
}

// Message files are held as UTF-8. A file that is not valid UTF-8 was
// written in the Windows code page and reads as such; a byte-order mark is
// no character.
TEST_F(SettingsTest, MessageFilesAreUtf8OrElseWindows1252) {
  test::WriteWhole(app_ + "msg-startup.txt", "Caf\xC3\xA9\r\n--\r\n\xE2\x82\xAC 5\r\n");
  test::WriteWhole(app_ + "msg-wait.txt", "Caf\xE9\r\n\x80 5\r\n");
  test::WriteWhole(app_ + "msg-turnoff.txt", "\xEF\xBB\xBFHi \xCE\xA9\r\n");
  LoadSettings(true);
  EXPECT_EQ(GetMessages(POS_STARTUP), "Caf\xC3\xA9\r\n--\r\n\xE2\x82\xAC 5");
  EXPECT_EQ(GetMessages(POS_WAIT), "Caf\xC3\xA9\r\n\xE2\x82\xAC 5");
  EXPECT_EQ(GetMessages(POS_TURNOFF), "Hi \xCE\xA9");
  SaveSettings(true);
  EXPECT_EQ(test::ReadWhole(app_ + "msg-wait.txt"), "Caf\xC3\xA9\r\n\xE2\x82\xAC 5\r\n");
}

TEST_F(SettingsTest, MessagesOfOtherPositionsAndHandEditedFiles) {
  SetMessages(8, "ignored");
  EXPECT_EQ(GetMessages(8), "");
  EXPECT_EQ(GetMessages(0), "");
  // A file edited with line feeds alone reads as CR LF lines.
  test::WriteWhole(app_ + "msg-startup.txt", "one\ntwo\n");
  LoadSettings(true);
  EXPECT_EQ(GetMessages(POS_STARTUP), "one\r\ntwo");
  // Without messages, the texts in memory stay.
  SetMessages(POS_STARTUP, "kept");
  LoadSettings(false);
  EXPECT_EQ(GetMessages(POS_STARTUP), "kept");
  // A missing message file is created by the next save with messages.
  SetMessages(POS_WAIT, "");
  SaveSettings(true);
  EXPECT_EQ(test::ReadWhole(app_ + "msg-wait.txt"), "\r\n");
}

}  // namespace
}  // namespace kvo
