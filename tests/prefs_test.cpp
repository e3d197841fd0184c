// SPDX-License-Identifier: GPL-3.0-or-later
// Preferences over profile files, and the registry readers built on the
// registry stand-in.
#include <gtest/gtest.h>

#include <string>

#include "base/IniWrap.h"
#include "base/RegWrap.h"
#include "platform/Folders.h"
#include "platform/ProfileFile.h"
#include "platform/Registry.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

constexpr const char* kCurrentVersion = "\\Software\\Microsoft\\Windows\\CurrentVersion";

class PrefsTest : public testing::Test {
 protected:
  void SetUp() override { file_ = xdg_.Root() + "kvo.ini"; }
  void TearDown() override { PrefsPrepare("", ""); }
  test::ScopedXdg xdg_;
  std::string file_;
};

TEST_F(PrefsTest, WithoutATargetReadsAreEmptyAndWritesDoNothing) {
  PrefsPrepare("", "");
  test::WriteWhole(file_, "[Main]\r\nKey=stored\r\n");
  EXPECT_EQ(_PrefsReadStr("Key", "dflt"), "");
  std::string s = "old";
  PrefsReadStr("Key", s, "dflt");
  EXPECT_EQ(s, "");
  int32_t i = 0;
  PrefsReadInt("Key", i, 42);
  EXPECT_EQ(i, 42);
  bool b = false;
  PrefsReadBool("Key", b, true);
  EXPECT_TRUE(b);
  PrefsWriteStr("Key", "changed");
  PrefsWriteBool("Flag", true);
  EXPECT_EQ(test::ReadWhole(file_), "[Main]\r\nKey=stored\r\n");

  PrefsPrepare(file_, "");  // a file without a section is no target either
  EXPECT_EQ(_PrefsReadStr("Key", "dflt"), "");
  PrefsWriteInt("Key", 7);
  EXPECT_EQ(test::ReadWhole(file_), "[Main]\r\nKey=stored\r\n");
  // Nothing refused was kept back to be written later.
  PrefsPrepare(file_, "Main");
  EXPECT_TRUE(PrefsFlushCache());
  EXPECT_EQ(test::ReadWhole(file_), "[Main]\r\nKey=stored\r\n");
}

TEST_F(PrefsTest, BooleansAreReadFromTheirFirstCharacter) {
  test::WriteWhole(file_,
                   "[Main]\r\nA=yes\r\nB=True\r\nC=1\r\nD=no\r\nE=false\r\nF=0\r\nG=2\r\n"
                   "H=\r\nI=  Nope\r\n");
  PrefsPrepare(file_, "main");
  struct Case {
    const char* Key;
    bool WithTrue, WithFalse;
  };
  for (Case c : {Case{"A", true, true}, Case{"B", true, true}, Case{"C", true, true},
                 Case{"D", false, false}, Case{"E", false, false}, Case{"F", false, false},
                 Case{"G", true, false}, Case{"H", true, false}, Case{"I", false, false},
                 Case{"Missing", true, false}}) {
    bool v = false;
    PrefsReadBool(c.Key, v, true);
    EXPECT_EQ(v, c.WithTrue) << c.Key;
    PrefsReadBool(c.Key, v, false);
    EXPECT_EQ(v, c.WithFalse) << c.Key;
  }
}

TEST_F(PrefsTest, WrittenValuesReadBack) {
  PrefsPrepare(file_, "Main");
  PrefsWriteBool("On", true);
  PrefsWriteBool("Off", false);
  PrefsWriteInt("Neg", -2147483647 - 1);
  PrefsWriteStr("Text", "Verdana Bold");
  PrefsWriteBool("On", true);  // once in the file, however often written
  EXPECT_EQ(test::ReadWhole(file_),
            "[Main]\r\nOn=1\r\nOff=0\r\nNeg=-2147483648\r\nText=Verdana Bold\r\n");

  bool on = false, off = true;
  PrefsReadBool("on", on, false);
  PrefsReadBool("OFF", off, true);
  EXPECT_TRUE(on);
  EXPECT_FALSE(off);
  int32_t n = 0;
  PrefsReadInt("Neg", n, 0);
  EXPECT_EQ(n, -2147483647 - 1);
  std::string s;
  PrefsReadStr("Text", s, "");
  EXPECT_EQ(s, "Verdana Bold");
  PrefsReadStr("Absent", s, "fallback");
  EXPECT_EQ(s, "fallback");
}

TEST_F(PrefsTest, IntegersFallBackToTheDefaultUnlessTheWholeTextIsANumber) {
  test::WriteWhole(file_,
                   "[Main]\nDec=-17\nPlus=+5\nHex=$FF\nCHex=0x10\nWrap=$FFFFFFFF\nJunk=12x\n"
                   "Big=2147483648\nEmpty=\nSign=-\n");
  PrefsPrepare(file_, "Main");
  auto read = [](const char* Key) {
    int32_t v = 0;
    PrefsReadInt(Key, v, 99);
    return v;
  };
  EXPECT_EQ(read("Dec"), -17);
  EXPECT_EQ(read("Plus"), 5);
  EXPECT_EQ(read("Hex"), 255);
  EXPECT_EQ(read("CHex"), 16);
  EXPECT_EQ(read("Wrap"), -1);
  EXPECT_EQ(read("Junk"), 99);
  EXPECT_EQ(read("Big"), 99);
  EXPECT_EQ(read("Empty"), 99);
  EXPECT_EQ(read("Sign"), 99);
  EXPECT_EQ(read("Missing"), 99);
}

TEST_F(PrefsTest, ReadsStopAt1023Characters) {
  test::WriteWhole(file_, "[Main]\nLong=" + std::string(5000, 'x') + "\n");
  PrefsPrepare(file_, "Main");
  EXPECT_EQ(_PrefsReadStr("Long", ""), std::string(PREFS_VALUE_MAX, 'x'));
  EXPECT_EQ(_PrefsReadStr("None", std::string(2000, 'd')), std::string(PREFS_VALUE_MAX, 'd'));
}

TEST_F(PrefsTest, ABareFileNameIsTheOneInTheWindowsFolder) {
  std::string winDir = DefaultDriveFolder() + "WINDOWS/";
  ASSERT_EQ(RegGetString(HKEY_LOCAL_MACHINE, kCurrentVersion, "SystemRoot") + "/", winDir);
  test::WriteWhole(winDir + "WIN.INI", "[windows]\r\nload=\r\n");
  PrefsPrepare("win.ini", "tarvoni");
  PrefsWriteStr("kvo-StorageDir", "/x/kvoLogos/");
  EXPECT_EQ(test::ReadWhole(winDir + "WIN.INI"),
            "[windows]\r\nload=\r\n\r\n[tarvoni]\r\nkvo-StorageDir=/x/kvoLogos/\r\n");
  EXPECT_EQ(_PrefsReadStr("KVO-STORAGEDIR", ""), "/x/kvoLogos/");
  EXPECT_FALSE(FileExists(winDir + "win.ini"));
}

TEST(RegWrap, ReadsValuesAndFoldersWithDefaultsForEverythingMissing) {
  test::ScopedXdg xdg;
  EXPECT_EQ(GetProgFilesFolder(), DefaultDriveFolder() + "Program Files/");
  EXPECT_EQ(RegGetString(HKEY_LOCAL_MACHINE, kCurrentVersion, "Missing"), "");
  EXPECT_EQ(RegGetString(HKEY_USERS, "\\No\\Such\\Key", "SystemRoot"), "");
  EXPECT_EQ(_GetRegistryFolder(HKEY_LOCAL_MACHINE, kCurrentVersion, "Missing"), "");

  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey(HKEY_LOCAL_MACHINE, kCurrentVersion, true));
  reg.WriteString("ProgramFilesDir", "//mnt//win98///Program Files");
  reg.WriteString("Slashed", "/data/");
  EXPECT_EQ(RegReadStr(reg, "Slashed", "dflt"), "/data/");
  EXPECT_EQ(RegReadStr(reg, "Missing", "dflt"), "dflt");
  reg.CloseKey();
  EXPECT_EQ(RegReadStr(reg, "Slashed", "dflt"), "dflt");  // no key open
  EXPECT_EQ(GetProgFilesFolder(), "/mnt/win98/Program Files/");
  EXPECT_EQ(_GetRegistryFolder(HKEY_LOCAL_MACHINE, kCurrentVersion, "Slashed"), "/data/");
}

}  // namespace
}  // namespace kvo
