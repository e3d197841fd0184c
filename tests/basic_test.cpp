// SPDX-License-Identifier: GPL-3.0-or-later
// Tracked memory blocks, tracked files and the small utility routines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

class TrackedMemory : public testing::Test {
 protected:
  void SetUp() override { start_ = MemCount(); }
  void TearDown() override { EXPECT_EQ(MemCount(), start_) << "a test left a block behind"; }
  int start_ = 0;
};

TEST_F(TrackedMemory, PadsByFivePercentToMultiplesOfFour) {
  EXPECT_EQ(MemPaddedSize(100), 108);
  EXPECT_EQ(MemPaddedSize(10), 12);  // 10.5 rounds to even: 10, then up to 12
  EXPECT_EQ(MemPaddedSize(1), 4);
  EXPECT_EQ(MemPaddedSize(30), 32);  // 31.5 rounds to even: 32
  EXPECT_EQ(MemPaddedSize(50), 52);  // 52.5 rounds to 52, already a multiple of 4
  uint8_t* p = nullptr;
  ASSERT_EQ(_memalloc_(p, 1, 10, "Test.Pad.p"), 0);
  EXPECT_EQ(MemRecord(MemFind(p))->Size, 4);
  MemFree(p);
  EXPECT_EQ(p, nullptr);
}

TEST_F(TrackedMemory, RefusesEmptyAndOversizedRequests) {
  uint8_t* p = nullptr;
  EXPECT_EQ(_memalloc_(p, 0, 1, "Test.Zero.p"), 5);
  EXPECT_EQ(ErrGroup(), EG_MEM);
  EXPECT_EQ(ErrCode(), 5);
  EXPECT_EQ(LastErrorText(), "Invalid memory request.");
  EXPECT_EQ(_memalloc_(p, -7, 1, "Test.Neg.p"), 5);
  // A byte count beyond the table's 32-bit sizes is refused, never cut short.
  EXPECT_EQ(_memalloc_(p, int64_t(320) * 400 * 4 * 100000, 1, "Test.Huge.p"), 5);
  EXPECT_EQ(p, nullptr);
}

TEST_F(TrackedMemory, DescribesBlocksByOwnerOrTableIndex) {
  uint8_t* named = nullptr;
  uint8_t* anon = nullptr;
  int32_t* str = nullptr;
  _memalloc_(named, 16, 1903, "FF_HAV.HAVGetPal.dskbuf");
  int anonIndex = MemCount();
  MemAlloc(anon, 8);
  _memalloc_(str, 8, 1234567, "Test.Str.buf", MK_STR);
  EXPECT_EQ(MemRecord(MemFind(named))->Desc, "C:FF_HAV.HAVGetPal.dskbuf:1,903");
  EXPECT_EQ(MemRecord(MemFind(anon))->Desc, "C:Handle #" + std::to_string(anonIndex) + ":0");
  EXPECT_EQ(MemRecord(MemFind(str))->Desc, "S:Test.Str.buf:1,234,567");
  MemFree(str);
  MemFree(anon);
  MemFree(named);
}

TEST_F(TrackedMemory, ReallocatingTheSameVariableResizesInPlaceOfItsRecord) {
  uint8_t* p = nullptr;
  _memalloc_(p, 10, 1, "Test.Resize.p");
  std::memcpy(p, "abcdefghij", 10);
  int count = MemCount();
  _memalloc_(p, 5000, 2, "Test.Resize.p");
  EXPECT_EQ(MemCount(), count);
  EXPECT_EQ(std::memcmp(p, "abcdefghij", 10), 0);
  EXPECT_EQ(MemRecord(MemFind(p))->Size, 5252);
  EXPECT_EQ(MemRecord(MemFind(p))->Desc, "C:Test.Resize.p:2");

  // MK_NEW always makes a second record; the first block stays tracked.
  uint8_t* first = p;
  _memalloc_(p, 10, 3, "Test.Resize.q", MK_NEW);
  EXPECT_EQ(MemCount(), count + 1);
  EXPECT_TRUE(MemValid(first));
  MemFree(p);
  MemFree(first);
}

TEST_F(TrackedMemory, FreeOfNilOrUntrackedChangesNothing) {
  ClearError();
  uint8_t* nil = nullptr;
  MemFree(nil);
  EXPECT_EQ(nil, nullptr);
  uint8_t local[4];
  uint8_t* untracked = local;
  MemFree(untracked);
  EXPECT_EQ(untracked, local);
  EXPECT_TRUE(NoError());
}

TEST_F(TrackedMemory, FreeFindsTheBlockByValueFromAnyVariable) {
  uint8_t* p = nullptr;
  _memalloc_(p, 10, 1, "Test.Copy.p");
  uint8_t* copy = p;
  MemFree(copy);
  EXPECT_EQ(copy, nullptr);
  EXPECT_FALSE(MemValid(p));
}

TEST_F(TrackedMemory, ExchangeSwapsBlocksButKeepsOwners) {
  uint8_t* a = nullptr;
  uint8_t* b = nullptr;
  _memalloc_(a, 10, 1, "Test.X.a");
  _memalloc_(b, 100, 2, "Test.X.b");
  int ia = MemFind(a), ib = MemFind(b);
  MemXchg(a, b);
  EXPECT_EQ(MemRecord(ia)->Ptr, b);
  EXPECT_EQ(MemRecord(ia)->Size, 108);
  EXPECT_EQ(MemRecord(ia)->Desc, "C:Test.X.a:1");
  EXPECT_EQ(MemRecord(ib)->Ptr, a);
  std::swap(a, b);
  MemFree(a);
  MemFree(b);

  uint8_t local[4];
  uint8_t* c = nullptr;
  _memalloc_(c, 10, 1, "Test.X.c");
  // The exchange is monitored itself, so its failure reaches us as EMon.
  EXPECT_THROW(MemXchg(c, local + 0), EMon);
  EXPECT_EQ(ErrGroup(), EG_MEM);
  EXPECT_EQ(ErrCode(), 2);
  MemFree(c);
}

TEST_F(TrackedMemory, FreeFromReleasesNewestRecordsAndHighWaterOnlyGrows) {
  std::vector<uint8_t*> blocks(5, nullptr);
  for (auto& b : blocks) _memalloc_(b, 10, 1, "Test.From.b", MK_NEW);
  int high = MemHighWater();
  EXPECT_GE(high, start_ + 5);
  MemFreeFrom(start_ + 2);
  EXPECT_EQ(MemCount(), start_ + 2);
  EXPECT_TRUE(MemValid(blocks[0]));
  EXPECT_TRUE(MemValid(blocks[1]));
  EXPECT_FALSE(MemValid(blocks[4]));
  EXPECT_EQ(MemHighWater(), high);
  MemFreeFrom(start_);
}

class TrackedFiles : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::MakeTempFolder("kvo-files-");
    files_ = FCount();
  }
  void TearDown() override {
    EXPECT_EQ(FCount(), files_) << "a test left a file open";
    test::RemoveTree(dir_);
  }
  std::string dir_;
  int files_ = 0;
};

TEST_F(TrackedFiles, OpenOfMissingFileFailsWithItsName) {
  int32_t h = 5;
  std::string name = dir_ + "missing.bin";
  EXPECT_EQ(FOpen(h, name, FM_READ), 1);
  EXPECT_EQ(h, -1357902468);
  EXPECT_EQ(LastErrorText(), "Cannot open file: " + name);
  EXPECT_EQ(TXTOpen(h, name, FM_APPEND), 7);
  EXPECT_EQ(LastErrorText(), "Cannot append to file: " + name);
  EXPECT_EQ(FOpen(h, dir_ + "no/such/folder.bin", FM_CREATE), 2);
  EXPECT_EQ(ErrCode(), 2);
}

TEST_F(TrackedFiles, WritesReadsSeeksAndReportsShortReads) {
  int32_t h;
  ASSERT_EQ(FOpen(h, dir_ + "a.bin", FM_CREATE), 0);
  EXPECT_EQ(FWrite(h, "0123456789", 10), 0);
  EXPECT_EQ(FSize(h), 10);
  EXPECT_EQ(FPos(h), 10);
  EXPECT_EQ(FSeek(h, 3), 0);
  char buf[8] = "zzzzzzz";
  EXPECT_EQ(FRead(h, buf, 4), 0);
  EXPECT_EQ(std::string(buf, 4), "3456");
  EXPECT_EQ(FRead(h, buf, 0), 0);  // nothing moves
  EXPECT_EQ(std::string(buf, 4), "3456");
  EXPECT_EQ(FRead(h, buf, 8), 3);  // only 3 bytes left
  EXPECT_EQ(LastErrorText(), "Cannot read from file.");
  int64_t got = -1;
  FSeek(h, 8);
  ClearError();
  EXPECT_EQ(FReadPart(h, buf, 8, got), 0);
  EXPECT_EQ(got, 2);
  EXPECT_TRUE(NoError());  // a short partial read is no error
  FClose(h);
  FClose(h);  // a second close does nothing
  EXPECT_EQ(FRead(h, buf, 4), 0);
  EXPECT_EQ(FSize(h), INVALID_ID);
  EXPECT_EQ(FPos(h), INVALID_ID);
}

TEST_F(TrackedFiles, ModesReadWriteAppend) {
  test::WriteWhole(dir_ + "m.bin", "abc");
  int32_t h;
  ASSERT_EQ(FOpen(h, dir_ + "m.bin", FM_APPEND), 0);
  EXPECT_EQ(FPos(h), 3);
  FWrite(h, "de", 2);
  FClose(h);
  ASSERT_EQ(FOpen(h, dir_ + "m.bin", 0), 0);  // read and write
  FWrite(h, "X", 1);
  char c;
  FRead(h, &c, 1);
  EXPECT_EQ(c, 'b');
  FClose(h);
  ASSERT_EQ(FOpen(h, dir_ + "m.bin", FM_READ), 0);
  EXPECT_EQ(FWrite(h, "Y", 1), 4);  // read-only
  FClose(h);
  EXPECT_EQ(test::ReadWhole(dir_ + "m.bin"), "Xbcde");
}

TEST_F(TrackedFiles, HandlesCountFromOneAndAreNeverReused) {
  int32_t a, b, c;
  ASSERT_EQ(FOpen(a, dir_ + "h1", FM_CREATE), 0);
  ASSERT_EQ(FOpen(b, dir_ + "h2", FM_CREATE), 0);
  EXPECT_GE(a, 1);
  EXPECT_EQ(b, a + 1);
  FClose(a);
  ASSERT_EQ(FOpen(c, dir_ + "h3", FM_CREATE), 0);
  EXPECT_EQ(c, b + 1);
  EXPECT_EQ(FileRecord(FCount() - 1)->Id, c);
  FClose(b);
  FClose(c);
}

TEST_F(TrackedFiles, The65thOpenFileIsRefused) {
  std::vector<int32_t> handles;
  int room = FILE_TABLE_SIZE - FCount();
  for (int i = 0; i < room; ++i) {
    int32_t h;
    ASSERT_EQ(FOpen(h, dir_ + "f" + std::to_string(i), FM_CREATE), 0);
    handles.push_back(h);
  }
  int32_t h;
  EXPECT_EQ(FOpen(h, dir_ + "one-too-many", FM_CREATE), 11);
  EXPECT_EQ(LastErrorText(), "Fatal file manager fault.");
  EXPECT_EQ(TXTOpen(h, dir_ + "one-too-many", FM_CREATE), 11);
  EXPECT_EQ(h, INVALID_ID);
  FCloseFrom(files_);
  EXPECT_EQ(FCount(), files_);
}

TEST_F(TrackedFiles, LongNamesAreCutInTheTable) {
  std::string longName = dir_;
  for (int i = 0; i < 40; ++i) longName += "./";
  longName += std::string(200, 'n');
  int32_t h;
  ASSERT_EQ(FOpen(h, longName, FM_CREATE), 0);
  EXPECT_EQ(FileRecord(FCount() - 1)->Name.size(), 255u);
  FClose(h);
}

TEST_F(TrackedFiles, DeleteClearsReadOnlyAndMissingCountsAsSuccess) {
  std::string name = dir_ + "ro.txt";
  test::WriteWhole(name, "x");
  ::chmod(name.c_str(), 0444);
  EXPECT_EQ(FDelete(name), 0);
  struct stat st {};
  EXPECT_NE(::stat(name.c_str(), &st), 0);
  EXPECT_EQ(FDelete(name), 0);
  EXPECT_EQ(LastFileName(), name);
}

TEST_F(TrackedFiles, TextFilesWriteCrLfAndAppendOnlyToExistingFiles) {
  int32_t h;
  std::string name = dir_ + "t.txt";
  ASSERT_EQ(TXTOpen(h, name, FM_CREATE), 0);
  TXTWrite(h, "one");
  TXTClose(h);
  ASSERT_EQ(TXTOpen(h, name, FM_APPEND), 0);
  TXTWrite(h, "two");
  TXTClose(h);
  EXPECT_EQ(test::ReadWhole(name), "one\r\ntwo\r\n");
  ASSERT_EQ(TXTOpen(h, name, 0), 0);
  std::string line;
  std::vector<std::string> lines;
  while (TXTReadLine(h, line)) lines.push_back(line);
  TXTClose(h);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
}

TEST_F(TrackedFiles, FinalizationReportsAndReleasesLeftovers) {
  // Run in a child so the report sees only this test's leftovers.
  EXPECT_EXIT(
      {
        MemFreeFrom(0);
        FCloseFrom(0);
        uint8_t* p = nullptr;
        _memalloc_(p, 100, 42, "Test.Leak.p");
        int32_t h;
        FOpen(h, dir_ + "left-open", FM_CREATE);
        std::string r = BasicFinalize();
        bool ok = r.find("Max. allocated memory handles: ") == 0 &&
                  r.find("Memory handles not freed:\r\n  C:Test.Leak.p:42:108 bytes\r\n") !=
                      std::string::npos &&
                  r.find("Files not closed: 1\r\n  " + dir_ + "left-open\r\n") !=
                      std::string::npos &&
                  MemCount() == 0 && FCount() == 0 && LastFileName().empty();
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(NumberText, NumToStrCodes) {
  EXPECT_EQ(NumToStr(1234567, 100), "1,234,567");
  EXPECT_EQ(NumToStr(5, 203), "005");
  EXPECT_EQ(NumToStr(42, 5), "   42");
  EXPECT_EQ(NumToStr(0, 0), "0");
  EXPECT_EQ(NumToStr(static_cast<uint32_t>(-1), 0), "4294967295");
  EXPECT_EQ(NumToStr(123456, 2), "123456");      // narrower width is ignored
  EXPECT_EQ(NumToStr(1000, 107), "  1,000");     // width counts the commas
  EXPECT_EQ(NumToStr(999, 100), "999");
  EXPECT_EQ(NumToStr(1903, 100), "1,903");
}

TEST(NumberText, RealAndCharacterConversions) {
  EXPECT_EQ(RealToStr(3.14159, 0, 2), "3.14");
  EXPECT_EQ(RealToStr(2.5, 6, 1), "   2.5");
  EXPECT_EQ(PCharToInt("1234"), 1234);
  EXPECT_EQ(PCharToInt(""), 0);
  EXPECT_EQ(PCharToInt("1:"), 20);  // ':' counts as 10, unchecked
}

TEST(ByteRoutines, LimitsAndComparisons) {
  EXPECT_EQ(Limit(5, 0, 3), 3);
  EXPECT_EQ(Limit(-5, 0, 3), 0);
  EXPECT_EQ(Limit(2, 0, 3), 2);
  EXPECT_EQ(Limit(2, 9, 3), 9);  // Low wins when Low > High
  EXPECT_DOUBLE_EQ(LimitReal(1.5, 0.0, 1.0), 1.0);
  EXPECT_EQ(MemComp("abc", "abc", 3), 0);
  EXPECT_EQ(MemComp("abd", "abc", 3), 1);
  EXPECT_EQ(MemComp("ab\x01", "ab\xff", 3), 2);  // unsigned comparison
  EXPECT_EQ(MemComp("a", "b", 0), 0);
  EXPECT_EQ(SwapWord(0x1234), 0x3412);
  EXPECT_EQ(SwapLong(0x12345678u), 0x78563412u);
}

TEST(ByteRoutines, FillMoveSwapSearch) {
  char buf[16] = "0123456789";
  MemMove(buf, buf + 2, 5);  // overlapping
  EXPECT_EQ(std::string(buf, 10), "0101234789");
  MemFill(buf, 3, 'x');
  MemFill(buf, -1, 'y');
  EXPECT_EQ(std::string(buf, 4), "xxx1");
  char a[3] = {'a', 'b', 'c'}, b[3] = {'x', 'y', 'z'};
  MemSwap(a, b, 3);
  EXPECT_EQ(std::string(a, 3), "xyz");
  EXPECT_EQ(std::string(b, 3), "abc");
  const char* hay = "..ab..ab";
  EXPECT_EQ(MemSearch("ab", hay, 2, 8, 1), 3);
  EXPECT_EQ(MemSearch("ab", hay, 2, 8, 2), 2);  // offsets 0, 2: second step
  EXPECT_EQ(MemSearch("ab", hay, 2, 8, 3), 3);  // offsets 0, 3, 6
  EXPECT_EQ(MemSearch("ab", hay, 2, 8, 5), 0);  // offsets 0, 5: no match
  EXPECT_EQ(MemSearch("ab", hay, 2, 1, 1), 0);
  EXPECT_EQ(MemSearch("ab", hay, 2, 0, 1), 0);
}

}  // namespace
}  // namespace kvo

namespace kvo {
namespace {

// The holder is the caller's variable itself, wherever the call is made
// from: a second allocation into the same variable from another function
// resizes the block instead of orphaning it.
void GrowFromElsewhere(uint8_t*& P) { _memalloc_(P, 400, __LINE__, "Test.Grow.p"); }

TEST_F(TrackedMemory, SameVariableIsRecognisedFromAnyCaller) {
  uint8_t* p = nullptr;
  _memalloc_(p, 10, __LINE__, "Test.Grow.p");
  int count = MemCount();
  GrowFromElsewhere(p);
  EXPECT_EQ(MemCount(), count);
  EXPECT_EQ(MemRecord(MemFind(p))->VarAddr, static_cast<const void*>(&p));
  MemFree(p);
}

}  // namespace
}  // namespace kvo
