// SPDX-License-Identifier: GPL-3.0-or-later
// The error state, monitored procedures and the trace line formats.
#include <gtest/gtest.h>

#include <string>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/WinUtils.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

class Monitoring : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::MakeTempFolder("kvo-mon-");
    mem_ = MemCount();
    files_ = FCount();
    ClearError();
  }
  void TearDown() override {
    EXPECT_EQ(MonDepth(), 0);
    EXPECT_EQ(MemCount(), mem_);
    EXPECT_EQ(FCount(), files_);
    test::RemoveTree(dir_);
  }
  // Opens a fresh tracked file, as a monitored body would.
  int32_t OpenScratch(const std::string& Name) {
    int32_t h;
    FOpen(h, dir_ + Name, FM_CREATE);
    return h;
  }
  std::string dir_;
  int mem_ = 0, files_ = 0;
};

TEST_F(Monitoring, ZeroCodeRecordsNothingAndOutsideFramesNothingRaises) {
  SetError(EG_FILE, 0, 1);
  EXPECT_TRUE(NoError());
  SetLastFileName("C:/logo.sys");
  EXPECT_NO_THROW(SetError(EG_FILE, 1, 2));
  EXPECT_EQ(ErrGroup(), 6);
  EXPECT_EQ(ErrCode(), 1);
  EXPECT_EQ(LastErrorText(), "Cannot open file: C:/logo.sys");
  ClearError();
  EXPECT_TRUE(NoError());
}

TEST_F(Monitoring, ErrorTextsFollowTheTables) {
  EXPECT_EQ(ErrorText(18, 5), "Undefined error: 18:5");
  EXPECT_EQ(ErrorText(0, 7), "No errors.");
  EXPECT_EQ(ErrorText(7, 0), "No errors.");
  EXPECT_EQ(ErrorText(13, 99), "general \"WAV\" handling fault.");
  EXPECT_EQ(ErrorText(-1, 3), "Undefined error: 4294967295:3");
  EXPECT_EQ(ErrorText(21, 1), "Undefined error: 21:1");
  EXPECT_EQ(ErrorText(EG_GEN, 2), "Not supported.");
  EXPECT_EQ(ErrorText(EG_GEN, 9), "General \"GEN\" error.");
  EXPECT_EQ(ErrorText(EG_MEM, 6), "Fatal memory manager error.");
  EXPECT_EQ(ErrorText(EG_FILE, 9), "File not exist.");
  EXPECT_EQ(ErrorText(EG_FILE, 12), "General file handling fault.");
  EXPECT_EQ(ErrorText(EG_IMG, 11), "Cannot create image file.");
  SetRefusedSize(70000, 3);
  EXPECT_EQ(ErrorText(EG_IMG, 12), "Picture too large (70000 \u00D7 3).");
  EXPECT_EQ(ErrorText(EG_IMG, 13), "General image handling fault.");
  EXPECT_EQ(ErrorText(EG_AVI, 8),
            "AVI audio stream not valid (decompressor not found?), ignoring audio");
  EXPECT_EQ(ErrorText(EG_AVIFILE, -2147205005), "AVI subsystem malfunction: 2147762291");
  EXPECT_EQ(ErrorText(EG_VFW, 3), "Video For Windows malfunction: 3");
  EXPECT_EQ(ErrorText(EG_MVI2, 7), "End of movie reached.");
  EXPECT_EQ(ErrorText(EG_MVI, 0x7fffffff), "General \"MVI\" handling fault.");
  EXPECT_EQ(ErrorText(EG_HAV, 1), "End of HAV movie reached.");
  EXPECT_EQ(ErrorText(EG_UNI, 2), "General \"UNI\" handling fault.");
  EXPECT_EQ(ErrorText(EG_FLIC, 1), "End of FLIC movie reached.");
  EXPECT_EQ(ErrorText(EG_ACM, 512), "Fatal error in Audio Compression Manager: 512");
  EXPECT_EQ(ErrorText(EG_WINMM, 11), "Fatal error in Win-MM: 11");
  SetErrorText(EG_TEXT, "libpng: bad CRC", 1);
  EXPECT_EQ(ErrCode(), 2147483647);
  EXPECT_EQ(LastErrorText(), "libpng: bad CRC");
}

TEST_F(Monitoring, FailureUnwindsReleasingInnerFramesFirst) {
  // A -> B -> C; C fails. B looks at the state as the error passes it.
  uint8_t *a = nullptr, *b = nullptr, *c = nullptr;
  bool cGoneBeforeB = false, bStillHeld = false;
  auto C = [&] {
    Monitored("Test.C", [&] {
      _memalloc_(c, 10, __LINE__, "Test.C.c");
      OpenScratch("c.bin");
      SetError(EG_IMG, 9, __LINE__);
      ADD_FAILURE() << "SetError must not return inside a monitored procedure";
    });
  };
  auto B = [&] {
    Monitored("Test.B", [&] {
      _memalloc_(b, 10, __LINE__, "Test.B.b");
      OpenScratch("b.bin");
      try {
        C();
      } catch (const EMon&) {
        cGoneBeforeB = !MemValid(c) && FCount() == files_ + 2;
        bStillHeld = MemValid(b);
        throw;
      }
    });
  };
  std::string message;
  try {
    Monitored("Test.A", [&] {
      _memalloc_(a, 10, __LINE__, "Test.A.a");
      OpenScratch("a.bin");
      B();
    });
  } catch (const EMon& e) {
    message = e.what();
  }
  EXPECT_TRUE(cGoneBeforeB);
  EXPECT_TRUE(bStillHeld);
  EXPECT_EQ(message, "Image data corrupted.");
  EXPECT_EQ(ErrGroup(), EG_IMG);
  EXPECT_EQ(ErrCode(), 9);
  EXPECT_FALSE(MemValid(a));  // every frame released its own
}

TEST_F(Monitoring, KeepingFrameStopsTheError) {
  uint8_t* a = nullptr;
  bool sawError = false, aContinued = false;
  EXPECT_NO_THROW(Monitored("Test.A", [&] {
    _memalloc_(a, 10, __LINE__, "Test.A.a");
    MonitoredKeep("Test.B", [&] {
      Monitored("Test.C", [&] { SetError(EG_FILE, 3, __LINE__); });
    });
    sawError = !NoError() && ErrGroup() == EG_FILE && ErrCode() == 3;
    aContinued = MemValid(a);
    MemFree(a);
  }));
  EXPECT_TRUE(sawError);
  EXPECT_TRUE(aContinued);
  EXPECT_TRUE(NoError());  // A itself ended well
}

TEST_F(Monitoring, KeepNextMakesTheNextFrameKeep) {
  MonKeepNext();
  EXPECT_NO_THROW(Monitored("Test.Probe", [&] { SetError(EG_IMG, 2, __LINE__); }));
  EXPECT_EQ(ErrCode(), 2);
  // Only the next frame: the following one raises again.
  EXPECT_THROW(Monitored("Test.Probe", [&] { SetError(EG_IMG, 2, __LINE__); }), EMon);
}

TEST_F(Monitoring, ExitLeavesWithoutErrorAndCallerStillRaises) {
  bool after = false;
  int value = Monitored("Test.Early", [&]() -> int {
    MonExit();
  });
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(NoError());
  EXPECT_THROW(Monitored("Test.Caller",
                         [&] {
                           Monitored("Test.Early", [&] { MonExit(); });
                           after = true;
                           SetError(EG_GEN, 1, __LINE__);
                           ADD_FAILURE() << "the caller's own error must still raise";
                         }),
               EMon);
  EXPECT_TRUE(after);
  EXPECT_EQ(ErrGroup(), EG_GEN);
}

TEST_F(Monitoring, ForeignExceptionsAreDescribedByClassAndMessage) {
  uint8_t* p = nullptr;
  std::string message;
  try {
    Monitored("Test.Foreign", [&] {
      _memalloc_(p, 10, __LINE__, "Test.Foreign.p");
      throw std::out_of_range("index 7 past the end");
    });
  } catch (const EMon& e) {
    message = e.what();
  }
  EXPECT_EQ(ErrGroup(), EG_EXCEPT);
  EXPECT_NE(message.find("std::out_of_range"), std::string::npos) << message;
  EXPECT_NE(message.find("index 7 past the end"), std::string::npos);
  EXPECT_EQ(message, LastErrorText());
  EXPECT_FALSE(MemValid(p));
}

TEST_F(Monitoring, ForeignTextIsCut) {
  try {
    Monitored("Test.Long", [&] { throw std::runtime_error(std::string(5000, 'x')); });
  } catch (const EMon&) {
  }
  EXPECT_EQ(LastErrorText().size(), FOREIGN_TEXT_MAX);
}

TEST_F(Monitoring, ValuesComeBackFromSuccessfulProcedures) {
  EXPECT_EQ(Monitored("Test.Value", [] { return 42; }), 42);
  EXPECT_TRUE(NoError());
}

TEST_F(Monitoring, EnteringAFrameClearsTheLastError) {
  SetError(EG_FILE, 4, 1);
  Monitored("Test.Clean", [] {});
  EXPECT_TRUE(NoError());
}

TEST_F(Monitoring, WarningsAreKeptApartAndNeverInterrupt) {
  EXPECT_NO_THROW(Monitored("Test.Warn", [] { SetWarning(EG_FILE, 8, 1); }));
  EXPECT_TRUE(NoError());
  // Entering a frame clears the warning; record one after it.
  SetWarning(EG_FILE, 8, 1);
  EXPECT_EQ(WarnGroup(), EG_FILE);
  EXPECT_EQ(LastWarningText(), "Cannot close file.");
  SetWarning(EG_FILE, 0, 1);
  EXPECT_EQ(WarnGroup(), 0);
  SetWarningText(EG_TEXT, "TIFF: unknown tag", 1);
  EXPECT_EQ(WarnCode(), TEXT_CODE);
  EXPECT_EQ(LastWarningText(), "TIFF: unknown tag");
  EXPECT_TRUE(NoError());
}

TEST_F(Monitoring, OverflowEndsTheProgramWithAFatalBox) {
  std::function<void(int)> nest = [&](int depth) {
    Monitored("Test.Deep", [&] { nest(depth + 1); });
  };
  EXPECT_DEATH(nest(0), "Fatal error: internal monitoring overflow\\.");
}

TEST(TraceLines, ErrorAndWarningLayout) {
  EXPECT_EQ(TraceErrorLines(false, 6, 1, "Cannot open file: x", "Main.Go:Basic.FOpen", 42, ""),
            "!6:1;\"Cannot open file: x\"\r\n@Main.Go:Basic.FOpen;42\r\n");
  EXPECT_EQ(TraceErrorLines(true, 6, 8, "Cannot close file.", "", 7, "#m\r\n"),
            "?6:8;\"Cannot close file.\"\r\n@;7\r\n#m\r\n");
  std::string mem = TraceMemoryLines();
  EXPECT_EQ(mem.rfind("#Physical memory:\r\n#  total: ", 0), 0u);
  EXPECT_NE(mem.find("#Swap memory:\r\n"), std::string::npos);
  EXPECT_NE(mem.find("#Drive "), std::string::npos);
}

}  // namespace
}  // namespace kvo

#ifdef TRACE_ENABLED
namespace kvo {
namespace {

// Only a build with the trace compiled in writes it, and only into a trace
// file that already exists in the managed drive's root.
TEST(TraceFile, AppendsErrorLinesWithTheNameStack) {
  test::ScopedXdg xdg;
  std::string file = TraceFileName();
  ASSERT_FALSE(file.empty());
  test::WriteWhole(file, "");
  try {
    Monitored("Test.Outer", [] { Monitored("Test.Inner", [] { SetError(EG_IMG, 4, 77); }); });
  } catch (const EMon&) {
  }
  std::string trace = test::ReadWhole(file);
  EXPECT_EQ(trace.rfind("!7:4;\"Image header invalid.\"\r\n@Test.Outer:Test.Inner;77\r\n", 0), 0u)
      << trace;
  EXPECT_NE(trace.find("#Physical memory:"), std::string::npos);
}

}  // namespace
}  // namespace kvo
#endif
