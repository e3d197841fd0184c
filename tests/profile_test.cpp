// SPDX-License-Identifier: GPL-3.0-or-later
// Profile files: Windows private-profile reading, writes that keep every
// other byte, and atomic replacement on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <filesystem>

#include "platform/Folders.h"
#include "platform/ProfileFile.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using namespace std::string_literals;
using test::ReadWhole;
using test::WriteWhole;

int FolderEntryCount(const std::string& Folder) {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(Folder)) ++n;
  return n;
}

// A win.ini as Windows 98 leaves it: CR LF, comments, blank lines between
// sections.
const std::string kWinIni =
    "; for 16-bit app support\r\n"
    "[windows]\r\n"
    "load=\r\n"
    "run=\r\n"
    "\r\n"
    "[Desktop]\r\n"
    "Wallpaper=(None)\r\n"
    "TileWallpaper=1\r\n"
    "\r\n"
    "[tarvoni]\r\n"
    "kvo-Date = 2000-10-10\r\n"
    "\r\n"
    "\r\n"
    "[fonts]\r\n";

class ProfileFileTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = test::MakeTempFolder("kvo-profile-"); }
  void TearDown() override { test::RemoveTree(dir_); }
  std::string Path(const std::string& Name) const { return dir_ + Name; }
  std::string dir_;
};

TEST(ProfileRead, MatchesNamesWithoutCaseAndTheFirstDuplicateWins) {
  TProfile p = ProfileParse(
      "orphan=before any section\n"
      "[Main]\n"
      "AutoChange=1\n"
      "autochange=0\n"
      "[MAIN]\n"
      "AutoChange=2\n"
      "Later=only in the second copy\n");
  EXPECT_EQ(ProfileGetValue(p, "main", "AUTOCHANGE"), "1");
  EXPECT_EQ(ProfileGetValue(p, " Main ", " autochange "), "1");
  EXPECT_EQ(ProfileGetValue(p, "Main", "Later"), std::nullopt);
  EXPECT_EQ(ProfileGetValue(p, "Main", "orphan"), std::nullopt);
  EXPECT_EQ(ProfileGetValue(p, "Other", "AutoChange"), std::nullopt);
  EXPECT_EQ(ProfileListSections(p), (std::vector<std::string>{"Main"}));
  EXPECT_EQ(ProfileListKeys(p, "MAIN"), (std::vector<std::string>{"AutoChange"}));
}

TEST(ProfileRead, TrimsValuesAndDropsOneMatchingPairOfQuotes) {
  TProfile p = ProfileParse(
      "[ S ]\n"
      "  padded  =  a b  \t\n"
      "dq=\"  kept blanks  \"\n"
      "sq='single'\n"
      "twice=\"\"inner\"\"\n"
      "mixed=\"half'\n"
      "lone=\"\n"
      "empty=\n"
      "; hidden=comment\n"
      "  ;also=comment\n"
      "no equals sign here\n"
      "=value without key\n");
  EXPECT_EQ(ProfileGetValue(p, "S", "padded"), "a b");
  EXPECT_EQ(ProfileGetValue(p, "S", "dq"), "  kept blanks  ");
  EXPECT_EQ(ProfileGetValue(p, "S", "sq"), "single");
  EXPECT_EQ(ProfileGetValue(p, "S", "twice"), "\"inner\"");
  EXPECT_EQ(ProfileGetValue(p, "S", "mixed"), "\"half'");
  EXPECT_EQ(ProfileGetValue(p, "S", "lone"), "\"");
  EXPECT_EQ(ProfileGetValue(p, "S", "empty"), "");
  EXPECT_EQ(ProfileGetValue(p, "S", "hidden"), std::nullopt);
  EXPECT_EQ(ProfileGetValue(p, "S", ";also"), std::nullopt);
  EXPECT_EQ(ProfileListKeys(p, "S"),
            (std::vector<std::string>{"padded", "dq", "sq", "twice", "mixed", "lone", "empty"}));
}

TEST(ProfileRead, SectionHeadersEndAtTheLastBracket) {
  TProfile p = ProfileParse("[a]b]\nk=1\n[broken\nk=2\n  [ spaced ]  trailing\nk=3\n");
  EXPECT_EQ(ProfileGetValue(p, "a]b", "k"), "1");  // "[broken" opens nothing
  EXPECT_EQ(ProfileListKeys(p, "a]b"), (std::vector<std::string>{"k"}));
  EXPECT_EQ(ProfileGetValue(p, "spaced", "k"), "3");
}

TEST_F(ProfileFileTest, ReplacesAnExistingKeyInItsLineAndKeepsEveryOtherByte) {
  WriteWhole(Path("win.ini"), kWinIni);
  ASSERT_TRUE(ProfileWriteString(Path("win.ini"), "TARVONI", "KVO-DATE", "2024-01-01"));
  std::string expected = kWinIni;
  expected.replace(expected.find("2000-10-10"), 10, "2024-01-01");
  EXPECT_EQ(ReadWhole(Path("win.ini")), expected);
}

TEST_F(ProfileFileTest, AddsANewKeyAtTheEndOfItsSectionBeforeBlankLines) {
  WriteWhole(Path("win.ini"), kWinIni);
  ASSERT_TRUE(ProfileWriteString(Path("win.ini"), "tarvoni", "kvo-StorageDir", "/x/kvoLogos/"));
  ASSERT_TRUE(ProfileWriteString(Path("win.ini"), "tarvoni", "KVO-STORAGEDIR", "/y/kvoLogos/"));
  std::string expected = kWinIni;
  expected.insert(expected.find("\r\n\r\n\r\n[fonts]") + 2, "kvo-StorageDir=/y/kvoLogos/\r\n");
  EXPECT_EQ(ReadWhole(Path("win.ini")), expected);
  EXPECT_EQ(ProfileReadString(Path("win.ini"), "Tarvoni", "kvo-storagedir", "?"), "/y/kvoLogos/");
}

TEST_F(ProfileFileTest, AppendsAMissingSectionAndCreatesAMissingFileWithCrLf) {
  WriteWhole(Path("win.ini"), kWinIni);
  ASSERT_TRUE(ProfileWriteString(Path("win.ini"), "New", "Key", "Value"));
  EXPECT_EQ(ReadWhole(Path("win.ini")), kWinIni + "\r\n[New]\r\nKey=Value\r\n");

  ASSERT_TRUE(ProfileWriteString(Path("fresh.ini"), "Main", "A", "1"));
  ASSERT_TRUE(ProfileWriteString(Path("fresh.ini"), "Main", "B", "2"));
  ASSERT_TRUE(ProfileWriteString(Path("fresh.ini"), "Other", "C", "3"));
  EXPECT_EQ(ReadWhole(Path("fresh.ini")), "[Main]\r\nA=1\r\nB=2\r\n\r\n[Other]\r\nC=3\r\n");
}

TEST_F(ProfileFileTest, KeepsTheLineEndsTheFileAlreadyUses) {
  WriteWhole(Path("lf.ini"), "[Main]\nA=1\n");
  ASSERT_TRUE(ProfileWriteString(Path("lf.ini"), "Main", "B", "2"));
  ASSERT_TRUE(ProfileWriteString(Path("lf.ini"), "Next", "C", "3"));
  EXPECT_EQ(ReadWhole(Path("lf.ini")), "[Main]\nA=1\nB=2\n\n[Next]\nC=3\n");

  // Each existing line keeps its own end, even in a file that mixes them.
  WriteWhole(Path("mixed.ini"), "[Main]\r\nA=1\nB=2\r\n");
  ASSERT_TRUE(ProfileWriteString(Path("mixed.ini"), "Main", "A", "9"));
  ASSERT_TRUE(ProfileWriteString(Path("mixed.ini"), "Main", "Z", "0"));
  EXPECT_EQ(ReadWhole(Path("mixed.ini")), "[Main]\r\nA=9\nB=2\r\nZ=0\r\n");
}

TEST_F(ProfileFileTest, HostileFilesReadAndAWriteKeepsEverythingItDoesNotChange) {
  const std::string longLine(1 << 20, 'x');
  const std::string hostile = "\xff\xfe garbage without equals\r\n"s +
                              "[Main]\r\nNul=a\0b\r\n"s + longLine + "\r\n" +
                              "[Main]\r\nDup=second copy\r\n" + "[Main\r\n" + "=\r\n" +
                              "Tail=no line end";
  WriteWhole(Path("hostile.ini"), hostile);
  EXPECT_EQ(ProfileReadString(Path("hostile.ini"), "main", "nul", "?"), "a\0b"s);
  EXPECT_EQ(ProfileReadString(Path("hostile.ini"), "main", "dup", "?"), "?");
  EXPECT_EQ(ProfileReadString(Path("hostile.ini"), "main", "tail", "?"), "?");
  EXPECT_EQ(ProfileSections(Path("hostile.ini")), (std::vector<std::string>{"Main"}));

  ASSERT_TRUE(ProfileWriteString(Path("hostile.ini"), "Main", "New", "1"));
  std::string expected = hostile;
  expected.insert(expected.find("[Main]\r\nDup"), "New=1\r\n");
  EXPECT_EQ(ReadWhole(Path("hostile.ini")), expected);

  // The section that holds the unterminated last line grows after it.
  ASSERT_TRUE(ProfileWriteString(Path("hostile.ini"), "Other", "K", "v"));
  EXPECT_EQ(ReadWhole(Path("hostile.ini")), expected + "\r\n\r\n[Other]\r\nK=v\r\n");
}

TEST_F(ProfileFileTest, DeletesKeysAndWholeSections) {
  WriteWhole(Path("win.ini"), kWinIni + "[Desktop]\r\nSecond=copy\r\n");
  ASSERT_TRUE(ProfileDeleteKey(Path("win.ini"), "desktop", "tilewallpaper"));
  ASSERT_TRUE(ProfileDeleteKey(Path("win.ini"), "desktop", "NotThere"));
  ASSERT_TRUE(ProfileDeleteSection(Path("win.ini"), "DESKTOP"));  // both copies go
  ASSERT_TRUE(ProfileDeleteSection(Path("win.ini"), "NotThere"));
  std::string expected = kWinIni;
  size_t desktop = expected.find("[Desktop]");
  expected.erase(desktop, expected.find("[tarvoni]") - desktop);
  EXPECT_EQ(ReadWhole(Path("win.ini")), expected);
  EXPECT_EQ(ProfileSections(Path("win.ini")),
            (std::vector<std::string>{"windows", "tarvoni", "fonts"}));
  EXPECT_EQ(ProfileSectionKeys(Path("win.ini"), "windows"),
            (std::vector<std::string>{"load", "run"}));

  // Deleting from a file that does not exist succeeds without creating it.
  EXPECT_TRUE(ProfileDeleteKey(Path("none.ini"), "S", "K"));
  EXPECT_TRUE(ProfileDeleteSection(Path("none.ini"), "S"));
  EXPECT_FALSE(FileExists(Path("none.ini")));
}

TEST_F(ProfileFileTest, RefusesWhatALineCannotHoldAndLeavesTheFileAlone) {
  WriteWhole(Path("a.ini"), kWinIni);
  EXPECT_FALSE(ProfileWriteString(Path("a.ini"), "S", "K", "two\r\nlines"));
  EXPECT_FALSE(ProfileWriteString(Path("a.ini"), "S", "K=V", "x"));
  EXPECT_FALSE(ProfileWriteString(Path("a.ini"), "S", "[K]", "x"));
  EXPECT_FALSE(ProfileWriteString(Path("a.ini"), "S", ";K", "x"));
  EXPECT_FALSE(ProfileWriteString(Path("a.ini"), "S", "  ", "x"));
  EXPECT_FALSE(ProfileWriteString(Path("a.ini"), "", "K", "x"));
  EXPECT_FALSE(ProfileWriteString(Path("a.ini"), "Bad\nSection", "K", "x"));
  EXPECT_EQ(ReadWhole(Path("a.ini")), kWinIni);
}

TEST_F(ProfileFileTest, ReplacesTheFileAtomicallyKeepingModeAndLinks) {
  WriteWhole(Path("real.ini"), "[S]\nK=1\n");
  ASSERT_EQ(::chmod(Path("real.ini").c_str(), 0640), 0);
  ASSERT_EQ(::symlink("real.ini", Path("link.ini").c_str()), 0);
  struct stat before {};
  ASSERT_EQ(::stat(Path("real.ini").c_str(), &before), 0);

  // An unchanged value does not touch the file at all.
  ASSERT_TRUE(ProfileWriteString(Path("link.ini"), "S", "K", "1"));
  struct stat same {};
  ASSERT_EQ(::stat(Path("real.ini").c_str(), &same), 0);
  EXPECT_EQ(same.st_ino, before.st_ino);

  ASSERT_TRUE(ProfileWriteString(Path("link.ini"), "S", "K", "2"));
  struct stat after {}, link {};
  ASSERT_EQ(::stat(Path("real.ini").c_str(), &after), 0);
  ASSERT_EQ(::lstat(Path("link.ini").c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_NE(after.st_ino, before.st_ino);  // a new file took the old one's place
  EXPECT_EQ(ReadWhole(Path("real.ini")), "[S]\nK=2\n");
  // No temporary file is left beside it.
  EXPECT_EQ(FolderEntryCount(dir_), 2);
}

TEST_F(ProfileFileTest, UnreadableOrOversizedFilesAreNeverOverwritten) {
  EXPECT_FALSE(ProfileWriteString(Path("missing/dir/a.ini"), "S", "K", "v"));
  EXPECT_EQ(ProfileReadString(dir_, "S", "K", "dflt"), "dflt");  // a folder is no profile
  EXPECT_FALSE(ProfileWriteString(dir_, "S", "K", "v"));

  std::string big = "[S]\nK=v\n" + std::string(ProfileMaxSize, ';');
  WriteWhole(Path("big.ini"), big);
  EXPECT_EQ(ProfileReadString(Path("big.ini"), "S", "K", "dflt"), "dflt");
  EXPECT_FALSE(ProfileWriteString(Path("big.ini"), "S", "K", "w"));
  EXPECT_FALSE(ProfileDeleteSection(Path("big.ini"), "S"));
  EXPECT_EQ(ReadWhole(Path("big.ini")).size(), big.size());

  // Small on disk, but a line costs far more in memory than one byte.
  std::string lines = "[S]\nK=v\n" + std::string(ProfileMaxLines, '\n');
  WriteWhole(Path("lines.ini"), lines);
  EXPECT_EQ(ProfileReadString(Path("lines.ini"), "S", "K", "dflt"), "dflt");
  EXPECT_FALSE(ProfileWriteString(Path("lines.ini"), "S", "K", "w"));
  EXPECT_EQ(ReadWhole(Path("lines.ini")), lines);
  EXPECT_EQ(FolderEntryCount(dir_), 2);
}

}  // namespace
}  // namespace kvo
