// SPDX-License-Identifier: GPL-3.0-or-later
// The Bayer raw reader, on files built from the cameras' layout: the two
// sizes, colour and monochrome cells, the trailer's shutter speeds and
// camera names, and everything else refused.
#include <gtest/gtest.h>

#include <cstdio>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ConForm.h"
#include "formats/FF_BAY.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using test::kOk;
using test::TErr;

// Sensor byte at offset i of a file: a pattern that tells neighbours apart.
uint8_t Sensor(int64_t I) { return static_cast<uint8_t>((I * 7) ^ (I >> 9)); }

std::string BayFile(int Height, const char* Camera, int Mode, int Speed) {
  std::string f(static_cast<size_t>(BAY_WIDTH) * Height, '\0');
  for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<char>(Sensor(static_cast<int64_t>(i)));
  std::string trailer(BAY_TRAILER, '\0');
  trailer.replace(0, 2, Camera, 2);
  trailer.replace(3, 5, "BAY 2");
  trailer[8] = static_cast<char>(Mode);
  trailer[11] = static_cast<char>(Speed);
  return f + trailer;
}

class BayTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ImgFree(img_);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  std::string Write(const std::string& File) {
    std::remove(dir_.Path("x.bay").c_str());  // a new file: rewriting one makes it flush
    return dir_.Write("x.bay", File);
  }
  TErr Load(const std::string& File) {
    ImgFree(img_);
    return test::LoadFile(Write(File), img_);
  }
  TFileInfo Info(const std::string& File) {
    TFileInfo info;
    EXPECT_EQ(test::InfoFile(Write(File), info), kOk);
    return info;
  }
  const uint8_t* Px(int64_t X, int64_t Y) const {
    return img_.Data + (Y * img_.Width + X) * img_.BytesPerPixel;
  }
  test::TTempDir dir_;
  test::TTableCounts counts_;
  TImg img_;
};

TEST_F(BayTest, ColourCellsGiveEachTwoByTwoBlockItsRedBlueAndTwoGreens) {
  ASSERT_EQ(Load(BayFile(384, "EK", 1, 2)), kOk);
  ASSERT_EQ(img_.Width, 512);
  ASSERT_EQ(img_.Height, 384);
  ASSERT_EQ(img_.BitsPerPixel, 24);
  // Cell c of row pair p: bytes green (top), red, blue, green (bottom).
  for (int64_t p = 0; p < 192; ++p) {
    for (int64_t c = 0; c < 256; ++c) {
      const int64_t at = p * 1024 + 4 * c;
      for (int64_t k = 0; k < 4; ++k) {
        const uint8_t* px = Px(2 * c + k % 2, 2 * p + k / 2);
        ASSERT_EQ(px[2], Sensor(at + 1)) << p << " " << c;
        ASSERT_EQ(px[0], Sensor(at + 2));
        ASSERT_EQ(px[1], Sensor(at + (k < 2 ? 0 : 3)));
      }
    }
  }
}

TEST_F(BayTest, MonochromeCellsAreTheirFourPixels) {
  ASSERT_EQ(Load(BayFile(144, "ML", 2, 4)), kOk);
  ASSERT_EQ(img_.Height, 144);
  ASSERT_EQ(img_.BitsPerPixel, 8);
  EXPECT_EQ(img_.Palette[77][2], 77);
  for (int64_t p : {0, 1, 71}) {
    for (int64_t c : {0, 1, 255}) {
      const int64_t at = p * 1024 + 4 * c;
      EXPECT_EQ(*Px(2 * c, 2 * p), Sensor(at));
      EXPECT_EQ(*Px(2 * c + 1, 2 * p), Sensor(at + 1));
      EXPECT_EQ(*Px(2 * c, 2 * p + 1), Sensor(at + 2));
      EXPECT_EQ(*Px(2 * c + 1, 2 * p + 1), Sensor(at + 3));
    }
  }
}

TEST_F(BayTest, TheTrailerNamesShutterSpeedAndMode) {
  struct TCase {
    const char* Camera;
    int Mode, Speed;
    double Fps;
    const char* Compression;
  } cases[] = {
      {"ML", 1, 1, 30, "HG (color)"},        {"ML", 1, 4, 250, "HG (color)"},
      {"ML", 2, 7, 2000, "HG (monochrome)"}, {"ML", 1, 8, 0, "HG (color)"},
      {"EK", 1, 1, 250, "HRC (color)"},      {"EK", 2, 3, 1000, "HR (monochrome)"},
      {"EK", 1, 4, 0, "HRC (color)"},        {"RO", 2, 2, 500, "RO (monochrome)"},
      {"XY", 1, 1, 0, "XY (color)"},         {"EK", 3, 1, 250, "HR"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Camera) + " " + std::to_string(c.Mode) + " " +
                 std::to_string(c.Speed));
    TFileInfo info = Info(BayFile(144, c.Camera, c.Mode, c.Speed));
    EXPECT_EQ(info.FormatId, FF_BAY);
    EXPECT_DOUBLE_EQ(info.FramesPerSecond, c.Fps);
    EXPECT_EQ(info.VideoCompression, c.Compression);
    EXPECT_EQ(info.Width, 512);
    EXPECT_EQ(info.BitsPerPixel, c.Mode == 1 ? 24 : c.Mode == 2 ? 8 : 0);
    EXPECT_EQ(info.VideoLoadable != 0, c.Mode <= 2);
  }
  EXPECT_EQ(Load(BayFile(144, "EK", 3, 1)), (TErr{EG_IMG, 1}));
}

TEST_F(BayTest, AnyOtherSizeOrSignatureIsNotABayerFile) {
  const std::string small = BayFile(144, "EK", 1, 1);
  for (size_t size : {size_t{0}, size_t{12}, small.size() - 1, small.size() + 1, size_t{197631}}) {
    SCOPED_TRACE(size);
    std::string f = small;
    f.resize(size, '\0');
    EXPECT_EQ(Load(f), (TErr{EG_IMG, 2}));
    EXPECT_EQ(img_.Data, nullptr);
  }
  std::string unsigned_ = small;
  unsigned_[512 * 144 + 7] = '3';  // "BAY 3"
  EXPECT_EQ(Load(unsigned_), (TErr{EG_IMG, 2}));
  TFileInfo info;
  EXPECT_EQ(test::InfoFile(Write(unsigned_), info), (TErr{EG_IMG, 2}));
}

}  // namespace
}  // namespace kvo
