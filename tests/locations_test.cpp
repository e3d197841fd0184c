// SPDX-License-Identifier: GPL-3.0-or-later
// Where the logo manager finds the Windows folder, the drive root, the
// logo files and the storage folder; the Run value; the command-line
// switches.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Basic.h"
#include "base/IniWrap.h"
#include "base/RegWrap.h"
#include "base/WinUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "platform/Folders.h"
#include "platform/Registry.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

constexpr const char* kCurrentVersion = "\\Software\\Microsoft\\Windows\\CurrentVersion";

void SetRegistryValue(const char* Name, const std::string& Value) {
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey(HKEY_LOCAL_MACHINE, kCurrentVersion, true));
  reg.WriteString(Name, Value);
}

std::string RunValue() { return RegGetString(HKEY_LOCAL_MACHINE, RUN_KEY_PATH, RUN_VALUE_NAME); }

class LocationsTest : public testing::Test {
 protected:
  void SetUp() override {
    Settings() = TSettings{};
    SetExecutablePath("");
    drive_ = xdg_.Root() + "data/KvoPanoramics/drive_c/";
    // The first look at the registry makes the default drive's folders.
    ASSERT_EQ(GetWinFolder(), drive_ + "WINDOWS/");
  }
  void TearDown() override {
    PrefsPrepare("", "");
    Settings() = TSettings{};
  }
  std::string EntryFile() const { return xdg_.Root() + "config/autostart/KvoPanoramics.desktop"; }
  test::ScopedXdg xdg_;
  std::string drive_;  // the default managed drive of this test's XDG folders
};

TEST_F(LocationsTest, DefaultDriveGivesTheThreeDefaultLogoFiles) {
  EXPECT_EQ(BootDriveRoot(), drive_);
  EXPECT_EQ(DefaultLogoFile(POS_STARTUP), drive_ + "logo.sys");
  EXPECT_EQ(DefaultLogoFile(POS_WAIT), drive_ + "WINDOWS/logow.sys");
  EXPECT_EQ(DefaultLogoFile(POS_TURNOFF), drive_ + "WINDOWS/logos.sys");
  for (uint32_t other : {0u, 3u, 8u, POS_ALL}) EXPECT_EQ(DefaultLogoFile(other), "") << other;
  EXPECT_EQ(BackupDir(), drive_ + "WINDOWS/logos.bak/");
}

TEST_F(LocationsTest, ExistingLogoFilesAreFoundWhateverTheirLetterCase) {
  test::WriteWhole(drive_ + "LOGO.SYS", "s");
  test::WriteWhole(drive_ + "WINDOWS/LogoW.Sys", "w");
  ASSERT_TRUE(EnsureFolder(drive_ + "WINDOWS/LOGOS.BAK"));
  EXPECT_EQ(DefaultLogoFile(POS_STARTUP), drive_ + "LOGO.SYS");
  EXPECT_EQ(DefaultLogoFile(POS_WAIT), drive_ + "WINDOWS/LogoW.Sys");
  EXPECT_EQ(DefaultLogoFile(POS_TURNOFF), drive_ + "WINDOWS/logos.sys");
  EXPECT_EQ(BackupDir(), drive_ + "WINDOWS/LOGOS.BAK/");
}

TEST_F(LocationsTest, OtherWindowsFoldersMoveEveryDefault) {
  // A mounted drive, written with a doubled separator as hand edits are.
  SetRegistryValue("SystemRoot", "/mnt//win98/WIN98");
  EXPECT_EQ(BootDriveRoot(), "/mnt/win98/");
  EXPECT_EQ(DefaultLogoFile(POS_STARTUP), "/mnt/win98/logo.sys");
  EXPECT_EQ(DefaultLogoFile(POS_WAIT), "/mnt/win98/WIN98/logow.sys");
  EXPECT_EQ(DefaultLogoFile(POS_TURNOFF), "/mnt/win98/WIN98/logos.sys");

  // A Windows folder at the top of the tree: "/" is its own drive root.
  SetRegistryValue("SystemRoot", "/WINDOWS");
  EXPECT_EQ(DefaultLogoFile(POS_STARTUP), "/logo.sys");
  EXPECT_EQ(DefaultLogoFile(POS_WAIT), "/WINDOWS/logow.sys");

  // No Windows folder: the names alone, relative to the current folder.
  SetRegistryValue("SystemRoot", "");
  EXPECT_EQ(GetWinFolder(), "");
  EXPECT_EQ(BootDriveRoot(), "");
  EXPECT_EQ(DefaultLogoFile(POS_STARTUP), "logo.sys");
  EXPECT_EQ(DefaultLogoFile(POS_WAIT), "logow.sys");
  EXPECT_EQ(DefaultLogoFile(POS_TURNOFF), "logos.sys");
}

TEST_F(LocationsTest, StorageFolderDefaultsAndSetters) {
  EXPECT_EQ(DefaultStorageDir(), drive_ + "Program Files/kvoLogos/");
  SetRegistryValue("ProgramFilesDir", "");
  EXPECT_EQ(DefaultStorageDir(), "kvoLogos/");

  SetStorageDir("/srv/logos");
  EXPECT_EQ(GetStorageDir(), "/srv/logos/");
  SetStorageDir("/srv/other/");
  EXPECT_EQ(GetStorageDir(), "/srv/other/");
  // Whoever fills the record directly still gets a folder back.
  Settings().StorageDir = "/srv/raw";
  EXPECT_EQ(GetStorageDir(), "/srv/raw/");
}

TEST_F(LocationsTest, LogoFileSettersTrimAndIgnoreOtherPositions) {
  SetLogoFile(POS_WAIT, "  /mnt/c/WINDOWS/logow.sys\t");
  EXPECT_EQ(GetLogoFile(POS_WAIT), "/mnt/c/WINDOWS/logow.sys");
  EXPECT_EQ(Settings().LogoFile[1], "/mnt/c/WINDOWS/logow.sys");
  SetLogoFile(3, "/elsewhere");
  SetLogoFile(0, "/elsewhere");
  EXPECT_EQ(GetLogoFile(3), "");
  EXPECT_EQ(GetLogoFile(POS_STARTUP), "");
  EXPECT_EQ(GetLogoFile(POS_TURNOFF), "");
  EXPECT_EQ(PositionIndex(POS_TURNOFF), 2);
  EXPECT_EQ(PositionIndex(POS_ALL), -1);
  EXPECT_EQ(PositionCaption(POS_WAIT), "Wait to shut down");
  EXPECT_EQ(PositionCaption(5), "");
}

TEST_F(LocationsTest, AutoRunWritesAndRemovesTheRunValue) {
  SetExecutablePath("/opt/kvo/kvopanoramics");
  SetAutoRun(true);
  EXPECT_EQ(RunValue(), "/opt/kvo/kvopanoramics /shuffle");
  EXPECT_TRUE(FileExists(EntryFile()));
  SetAutoRun(false);
  EXPECT_FALSE(FileExists(EntryFile()));
  EXPECT_EQ(RunValue(), "");
  SetAutoRun(false);  // nothing to remove: still nothing
  EXPECT_FALSE(FileExists(EntryFile()));
  // Off is the default: no settings file is made to say so.
  EXPECT_FALSE(FileExists(SettingsFile()));
}

TEST_F(LocationsTest, AutoRunFailuresAreNotReported) {
  // The autostart folder is a file, so no entry can be written.
  test::WriteWhole(xdg_.Root() + "config/autostart", "in the way");
  SetExecutablePath("/opt/kvo/kvopanoramics");
  EXPECT_NO_THROW(SetAutoRun(true));
  EXPECT_NO_THROW(SetAutoRun(false));
}

TEST_F(LocationsTest, EveryStartWithAutoChangeRepairsTheRunValue) {
  SetExecutablePath("/old/place/kvopanoramics");
  SetAutoRun(true);
  ASSERT_EQ(RunValue(), "/old/place/kvopanoramics /shuffle");
  test::WriteWhole(SettingsFile(), "[Main]\r\nAutoChange=1\r\n");
  LoadSettings(true);
  EXPECT_EQ(ExecutablePathSetting(), ExecutablePath());
  EXPECT_EQ(RunValue(), ExecutablePath() + " /shuffle");

  // With automatic change off, the start removes the value instead.
  test::WriteWhole(SettingsFile(), "[Main]\r\nAutoChange=0\r\n");
  LoadSettings(true);
  EXPECT_FALSE(FileExists(EntryFile()));
}

TEST_F(LocationsTest, SwitchesAreTrimmedAndComparedWithoutCase) {
  for (const char* s : {"/shuffle", "/SHUFFLE", "/Shuffle", " /shuffle ", "\t/shuffle", "/UNINST",
                        " /Uninst"})
    EXPECT_TRUE(ProcessCommandLine({s})) << "'" << s << "'";
  for (const char* s : {"-shuffle", "shuffle", "/shuffle2", "/ shuffle", "--shuffle", "/uninstall",
                        ""})
    EXPECT_FALSE(ProcessCommandLine({s})) << "'" << s << "'";
  EXPECT_FALSE(ProcessCommandLine({}));
  EXPECT_TRUE(ProcessCommandLine({"file.kvo", "-x", "/shuffle"}));
}

// The switches run in the order given: a shuffle then the restore leaves
// the logos of before; the restore then a shuffle leaves shuffled ones.
TEST_F(LocationsTest, ShuffleThenUninstallRunInOrder) {
  SetExecutablePath("/opt/kvo/kvopanoramics");
  SetAutoRun(true);
  for (uint32_t p : POSITIONS) SetLogoFile(p, DefaultLogoFile(p));
  SetStorageDir(DefaultStorageDir());
  ASSERT_TRUE(EnsureFolder(GetStorageDir()));
  TImg img;
  _imgalloc_(img, 320, 400, 8, __LINE__, "Test.Locations.img");
  MemFill(img.Data, 320 * 400, 1);
  ASSERT_TRUE(SaveStoredPicture(GetStorageDir() + "Custom--one.kvo", img, {POS_ALL, 0, 12}));
  ImgFree(img);
  test::WriteWhole(drive_ + "WINDOWS/logow.sys", "mine");
  // A restore batch that brings back an earlier Wait logo and deletes the
  // Startup logo the program wrote.
  ASSERT_TRUE(EnsureFolder(drive_ + "WINDOWS/logos.bak"));
  test::WriteWhole(drive_ + "WINDOWS/logos.bak/logo1.bmp", "before");
  test::WriteWhole(drive_ + "logo.sys", "written by us");
  test::WriteWhole(drive_ + "WINDOWS/logos.bak/restore.bat",
                   "del  \"" + drive_ + "logo.sys\"\r\ncopy \"" + drive_ +
                       "WINDOWS/logos.bak/logo1.bmp\" \"" + drive_ + "WINDOWS/logow.sys\"\r\n");

  EXPECT_TRUE(ProcessCommandLine({"/shuffle", "/uninst"}));
  EXPECT_FALSE(FileExists(EntryFile()));
  EXPECT_FALSE(FileExists(drive_ + "logo.sys"));
  EXPECT_EQ(test::ReadWhole(drive_ + "WINDOWS/logow.sys"), "before");
  EXPECT_FALSE(FileExists(drive_ + "WINDOWS/logos.sys"));

  EXPECT_TRUE(ProcessCommandLine({"/uninst", "/shuffle"}));
  for (uint32_t p : POSITIONS)
    EXPECT_EQ(test::ReadWhole(DefaultLogoFile(p)).substr(0, 2), "BM") << p;
}

TEST_F(LocationsTest, ShuffleAloneWritesNothing) {
  std::string before = test::ReadWhole(RegistryFile());
  EXPECT_TRUE(ProcessCommandLine({"/shuffle"}));
  EXPECT_EQ(test::ReadWhole(RegistryFile()), before);
  EXPECT_FALSE(FileExists(EntryFile()));
  EXPECT_FALSE(FileExists(drive_ + "logo.sys"));
  EXPECT_FALSE(FolderExists(drive_ + "WINDOWS/logos.bak"));
}

}  // namespace
}  // namespace kvo
