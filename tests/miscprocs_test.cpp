// SPDX-License-Identifier: GPL-3.0-or-later
// File-name, text, number and small file helpers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

class MiscFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::MakeTempFolder("kvo-misc-");
    memCount_ = MemCount();
    fCount_ = FCount();
  }
  void TearDown() override {
    // Nothing of the tracked layer may outlive a helper call.
    EXPECT_EQ(MemCount(), memCount_);
    EXPECT_EQ(FCount(), fCount_);
    test::RemoveTree(dir_);
  }
  std::string dir_;
  int memCount_ = 0, fCount_ = 0;
};

TEST(MiscNames, AddBSAppendsOneSeparator) {
  EXPECT_EQ(AddBS("C:"), "C:/");
  EXPECT_EQ(AddBS("C:/"), "C:/");
  EXPECT_EQ(AddBS(""), "");
  EXPECT_EQ(AddBS("/"), "/");
}

TEST(MiscNames, ForceFileExtReplacesOnlyTheLastComponentsExtension) {
  EXPECT_EQ(ForceFileExt("pic.bmp", "gif"), "pic.gif");
  EXPECT_EQ(ForceFileExt("pic", ".gif"), "pic.gif");
  EXPECT_EQ(ForceFileExt("dir.x/pic", "gif"), "dir.x/pic.gif");
  EXPECT_EQ(ForceFileExt("dir.x/pic.tar.gz", "kvo"), "dir.x/pic.tar.kvo");
  EXPECT_EQ(ForceFileExt("dir/pic.bmp", ""), "dir/pic");
  EXPECT_EQ(ForceFileExt("dir.x/pic", ""), "dir.x/pic");
}

TEST(MiscText, HexToIntReadsHexAndWrapsAt32Bits) {
  EXPECT_EQ(HexToInt("1fF", 7), 511);
  EXPECT_EQ(HexToInt("12G", 7), 7);
  EXPECT_EQ(HexToInt("", 7), 7);
  EXPECT_EQ(HexToInt(" 1", 7), 7);
  EXPECT_EQ(HexToInt("FFFFFFFF", 7), -1);
  EXPECT_EQ(HexToInt("100000001", 7), 1);  // the ninth digit falls off the top
  EXPECT_EQ(HexToInt("FFFFFF", 0), 0xFFFFFF);
}

TEST(MiscText, ReplaceStrSearchesFromTheStartAfterEachReplacement) {
  EXPECT_EQ(ReplaceStr("a-b-c", "-", "+"), "a+b+c");
  EXPECT_EQ(ReplaceStr("a-b-c", "-", "--"), "");
  EXPECT_EQ(ReplaceStr("a-b-c", "", "+"), "a-b-c");
  EXPECT_EQ(ReplaceStr("abc", "x", "y"), "abc");
  // A replacement that forms Old again with what precedes it is replaced
  // again: "aaa" -> "aa" -> "a", where a single pass would give "aa".
  EXPECT_EQ(ReplaceStr("aaa", "aa", "a"), "a");
  EXPECT_EQ(ReplaceStr("xaab", "ab", "b"), "xb");
  EXPECT_EQ(ReplaceStr("a\r\n\r\nb", "\r\n\r\n", "\r\n"), "a\r\nb");
}

TEST(MiscText, PosFromFindsOccurrencesUpToTheLastPlace) {
  EXPECT_EQ(PosFrom("b", "abcabc", 3), 5);
  EXPECT_EQ(PosFrom("b", "abcabc", 5), 5);
  EXPECT_EQ(PosFrom("c", "abcabc", 6), 6);  // the very last character
  EXPECT_EQ(PosFrom("c", "abcabc", 7), 0);  // past the end
  EXPECT_EQ(PosFrom("\r\n", "x\r\n\r\n\r\ny", 6), 6);  // a line break before a last line
  EXPECT_EQ(PosFrom("b", "abcabc", 1), 2);
  EXPECT_EQ(PosFrom("b", "abcabc", 0), 2);   // before the start counts as 1
  EXPECT_EQ(PosFrom("b", "abcabc", -9), 2);
  EXPECT_EQ(PosFrom("", "abc", 1), 0);
  EXPECT_EQ(PosFrom("b", "", 1), 0);
  EXPECT_EQ(PosFrom("x", "abcabc", 1), 0);
  EXPECT_EQ(PosFrom("abcd", "abc", 1), 0);  // longer than the text
  // Message separators are found this way: "--" CR LF.
  EXPECT_EQ(PosFrom("--\r\n", "one\r\n--\r\ntwo", 1), 6);
}

TEST(MiscText, IIfAndSwapRB) {
  EXPECT_EQ(IIfStr(true, "a", "b"), "a");
  EXPECT_EQ(IIfStr(false, "a", "b"), "b");
  EXPECT_EQ(IIfInt(false, 1, 2), 2);
  EXPECT_EQ(SwapRB(0xAA112233u), 0xAA332211u);
}

TEST(MiscNumbers, GetFileSizeStrPicksTheUnitAboveStrictly) {
  EXPECT_EQ(GetFileSizeStr(1536), "1.5 kB");
  EXPECT_EQ(GetFileSizeStr(1048576), "1024.0 kB");
  EXPECT_EQ(GetFileSizeStr(100), "0.1 kB");
  EXPECT_EQ(GetFileSizeStr(0), "0.0 kB");
  EXPECT_EQ(GetFileSizeStr(1048577 * 2.5), "2.5 MB");
  EXPECT_EQ(GetFileSizeStr(3.0 * 1073741824.0), "3.0 GB");
  EXPECT_EQ(GetFileSizeStr(1099511627776.0), "1024.0 GB");
  EXPECT_EQ(GetFileSizeStr(2.0 * 1099511627776.0), "2.0 TB");
}

TEST(MiscNumbers, SecToStrLeavesOutEmptyLeadingParts) {
  EXPECT_EQ(SecToStr(3725.5, 0), "01:02:05.500");
  EXPECT_EQ(SecToStr(45, 0), "45");
  EXPECT_EQ(SecToStr(0.25, 0), "0.250");
  EXPECT_EQ(SecToStr(0, 0), "");
  EXPECT_EQ(SecToStr(65, STS_NO_MSEC), "01:05");
  EXPECT_EQ(SecToStr(65.5, STS_NO_MSEC), "01:05");
  EXPECT_EQ(SecToStr(85, STS_HOURS | STS_NO_MSEC), "00:01:25");
  EXPECT_EQ(SecToStr(60, 0), "01:00");  // minutes bring the seconds
  EXPECT_EQ(SecToStr(3600, 0), "01:00:00");
  EXPECT_EQ(SecToStr(5, STS_MSEC), "05.000");
  EXPECT_EQ(SecToStr(0, STS_SECONDS), "00");
  EXPECT_EQ(SecToStr(360000, 0), "100:00:00");  // two digits are a minimum
}

TEST(MiscNumbers, DivisibleFloatGoesTowardZero) {
  EXPECT_DOUBLE_EQ(DivisibleFloat(10.7, 0.5), 10.5);
  EXPECT_DOUBLE_EQ(DivisibleFloat(-10.7, 0.5), -10.5);
  EXPECT_DOUBLE_EQ(DivisibleFloat(10.5, 0.5), 10.5);
  EXPECT_DOUBLE_EQ(DivisibleFloat(7, 3), 6);
}

TEST_F(MiscFiles, GetFileSizeFindsFilesAndMasks) {
  test::WriteWhole(dir_ + "b.bin", std::string(300, 'x'));
  test::WriteWhole(dir_ + "a.bin", std::string(12, 'x'));
  test::WriteWhole(dir_ + "Upper.DAT", std::string(5, 'x'));
  test::WriteWhole(dir_ + "x[1].txt", "123");
  test::WriteWhole(dir_ + "noext", "1234567");
  ::mkdir((dir_ + "sub").c_str(), 0777);

  EXPECT_EQ(GetFileSize(dir_ + "missing.bin"), -1357902468);
  EXPECT_EQ(GetFileSize(dir_ + "*.gif"), INVALID_ID);
  EXPECT_EQ(GetFileSize(""), INVALID_ID);
  EXPECT_EQ(GetFileSize(dir_ + "b.bin"), 300);
  EXPECT_EQ(GetFileSize(dir_ + "*.bin"), 12);  // the first name in order
  EXPECT_EQ(GetFileSize(dir_ + "?.bin"), 12);
  EXPECT_EQ(GetFileSize(dir_ + "upper.dat"), 5);  // letter case does not matter
  EXPECT_EQ(GetFileSize(dir_ + "x[1].txt"), 3);   // "[" is no wildcard
  EXPECT_EQ(GetFileSize(dir_ + "x[1]*"), 3);
  EXPECT_EQ(GetFileSize(dir_ + "noext.*"), 7);  // ".*" also matches no extension
  EXPECT_EQ(GetFileSize(dir_ + "sub"), 0);      // a folder matches, with size 0
}

TEST_F(MiscFiles, StrToFileAndFileToStrRoundTrip) {
  std::string name = dir_ + "msg.txt";
  StrToFile(name, "first\r\n--\r\nsecond", false);
  EXPECT_EQ(test::ReadWhole(name), "first\r\n--\r\nsecond\r\n");
  EXPECT_EQ(FileToStr(name), "first\r\n--\r\nsecond");

  StrToFile(name, "again", false);  // replaces
  StrToFile(name, "more", true);    // appends
  EXPECT_EQ(test::ReadWhole(name), "again\r\nmore\r\n");
  EXPECT_EQ(FileToStr(name), "again\r\nmore");
  EXPECT_TRUE(NoError());
}

TEST_F(MiscFiles, FileToStrJoinsAnyLineEndsWithCrLf) {
  std::string name = dir_ + "unix.txt";
  test::WriteWhole(name, "a\nb\r\nc\rd");
  EXPECT_EQ(FileToStr(name), "a\r\nb\r\nc\r\nd");
  test::WriteWhole(name, "a\n\n");  // a last empty line loses its line end
  EXPECT_EQ(FileToStr(name), "a\r\n");
  test::WriteWhole(name, "");
  EXPECT_EQ(FileToStr(name), "");
}

TEST_F(MiscFiles, MissingFilesAreSilent) {
  EXPECT_EQ(FileToStr(dir_ + "missing.txt"), "");
  EXPECT_TRUE(NoError());
  // Appending needs an existing file; nothing is created and nothing said.
  StrToFile(dir_ + "new.txt", "x", true);
  EXPECT_FALSE(FileExists(dir_ + "new.txt"));
  StrToFile(dir_ + "no/such/folder.txt", "x", false);
  EXPECT_TRUE(NoError());
}

TEST_F(MiscFiles, FileToStrInsideAMonitoredCallerRaisesNothing) {
  bool reached = false;
  EXPECT_NO_THROW(Monitored("test.Caller", [&] {
    EXPECT_EQ(FileToStr(dir_ + "missing.txt"), "");
    reached = true;
  }));
  EXPECT_TRUE(reached);
  EXPECT_TRUE(NoError());
  EXPECT_EQ(MonDepth(), 0);
}

TEST_F(MiscFiles, MakeLongDirCreatesParents) {
  EXPECT_TRUE(MakeLongDir(dir_ + "a/b/c"));
  EXPECT_TRUE(FolderExists(dir_ + "a/b/c"));
  EXPECT_TRUE(MakeLongDir(dir_ + "a/b/c/"));  // already there
  test::WriteWhole(dir_ + "file", "x");
  EXPECT_FALSE(MakeLongDir(dir_ + "file/sub"));  // a file is in the way
  try {
    MakeLongDir("");
    FAIL() << "an empty folder name must raise";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to create directory");
  }
}

TEST_F(MiscFiles, AppDirIsTheExecutablesFolderOnlyWithAWritableIni) {
  test::ScopedXdg xdg;
  std::string config = ConfigFolder();
  EXPECT_EQ(AppDirFor(dir_), config);
  EXPECT_EQ(GetAppDir(), config);  // the test program has no kvo.ini beside it

  ::mkdir((dir_ + "kvo.ini").c_str(), 0777);  // a folder is no settings file
  EXPECT_EQ(AppDirFor(dir_), config);
  ::rmdir((dir_ + "kvo.ini").c_str());

  test::WriteWhole(dir_ + "kvo.ini", "[Main]\r\n");
  EXPECT_EQ(AppDirFor(dir_), dir_);
  std::string noSlash = dir_.substr(0, dir_.size() - 1);
  EXPECT_EQ(AppDirFor(noSlash), dir_);

  if (::geteuid() != 0) {  // the superuser may write any file
    ::chmod((dir_ + "kvo.ini").c_str(), 0444);
    EXPECT_EQ(AppDirFor(dir_), config);
  }
}

}  // namespace
}  // namespace kvo
