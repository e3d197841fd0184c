// SPDX-License-Identifier: GPL-3.0-or-later
// The PNM codec: the golden table of the test files, headers with comments
// wherever they may stand, the sample shifts, refusals, and files exchanged
// with ImageMagick, Pillow and netpbm.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ConForm.h"
#include "formats/FF_PNM.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using test::kOk;
using test::TErr;
using Bytes = std::vector<uint8_t>;

const std::vector<test::TGoldenFile> kGolden = {
#include "tests/pnm_golden.inc"
};

class PnmTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ImgFree(img_);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  std::string Write(const std::string& File) {
    std::remove(dir_.Path("x.pnm").c_str());  // a new file: rewriting one makes it flush
    return dir_.Write("x.pnm", File);
  }
  TErr Load(const std::string& File) {
    ImgFree(img_);
    return test::LoadFile(Write(File), img_, FF_PNM);
  }
  Bytes Pixels() const {
    return Bytes(img_.Data, img_.Data + img_.Width * img_.Height * img_.BytesPerPixel);
  }
  test::TTempDir dir_;
  test::TTableCounts counts_;
  TImg img_;
};

TEST_F(PnmTest, EveryTestFileDecodesAsTheGoldenTableSaysAndInfoAgrees) {
  EXPECT_GE(test::CheckGoldenTable(kGolden, FF_PNM,
                                   [](const test::TGoldenFile&, const TImg& Img, const TFileInfo& Info) {
                                     EXPECT_EQ(Info.BitsPerPixel, Img.BitsPerPixel);
                                   },
                                   false),  // P7 files and their like report no size at all
            25);
}

TEST_F(PnmTest, CommentsAndWhiteSpaceSeparateTokensWhereverTheyStand) {
  const std::string px(48, 'a');
  for (const char* head : {"P6#right after the magic\n4 4\n255\n", "P6\n#\n4#x\r4\t\r\n255\n",
                           "P6 4 4 255\n", "P6\n4 4\n255#a comment ends the header\n"}) {
    SCOPED_TRACE(head);
    ASSERT_EQ(Load(std::string(head) + px), kOk);
    EXPECT_EQ(img_.Width, 4);
    EXPECT_EQ(Pixels(), Bytes(48, 'a'));
  }
  // Only one white-space character follows the maximum value: the raster
  // may begin with bytes that look like more.
  ASSERT_EQ(Load("P5 4 4 255\n\n \t\r" + std::string(12, 'z')), kOk);
  EXPECT_EQ(Pixels()[0], '\n');
  EXPECT_EQ(Pixels()[3], '\r');
  // A text file needs no final line end; red and blue come out swapped.
  std::string text = "P3 4 4 255";
  for (int i = 0; i < 48; ++i) text += " " + std::to_string(i);
  ASSERT_EQ(Load(text), kOk);
  EXPECT_EQ(Pixels()[0], 2);
  EXPECT_EQ(Pixels()[2], 0);
  EXPECT_EQ(Pixels()[47], 45);
}

TEST_F(PnmTest, SamplesAreShiftedSoTheTopBitOfTheMaximumIsBitSeven) {
  const std::pair<uint32_t, int> shifts[] = {{255, 0}, {256, 0}, {65535, 0}, {200, 0}, {127, 1},
                                             {15, 4},  {10, 4},  {3, 6},     {1, 7},   {0, 0}};
  for (const auto& [maxValue, shift] : shifts) EXPECT_EQ(PNMShift_(maxValue), shift) << maxValue;
  std::string text = "P2 4 4 15";
  for (int i = 0; i < 16; ++i) text += " 15";
  ASSERT_EQ(Load(text), kOk);
  EXPECT_EQ(Pixels()[0], 240);  // not 255
  EXPECT_EQ(img_.Palette[240][1], 240);
  ASSERT_EQ(Load("P5 4 4 1\n" + std::string(15, '\0') + '\1'), kOk);
  EXPECT_EQ(Pixels()[15], 128);
  ASSERT_EQ(Load("P5 4 4 3\n" + std::string(15, '\0') + '\3'), kOk);
  EXPECT_EQ(Pixels()[15], 192);
}

TEST_F(PnmTest, BitmapsDepthsAndSizesOutsideTheReaderAreRefused) {
  const std::string px(48, 'a');
  struct TCase {
    std::string File;
    TErr Err;
  } cases[] = {
      {"P1 4 4 " + std::string(16, '1'), {EG_IMG, 1}},
      {"P4 4 4\n" + std::string(4, '\xff'), {EG_IMG, 1}},
      {"P7\nWIDTH 4\n", {EG_IMG, 1}},
      {"Q6 4 4 255\n" + px, {EG_IMG, 2}},
      {"P6 3 4 255\n" + px, {EG_IMG, 1}},
      {"P6 4097 4 255\n" + px, {EG_IMG, 1}},
      {"P6 4 -4 255\n" + px, {EG_IMG, 1}},
      {"P6 4 4 0\n" + px, {EG_IMG, 1}},
      {"P6 4 4 256\n" + px, {EG_IMG, 1}},
      {"P6 4 4 65535\n" + px + px, {EG_IMG, 1}},
      {"", {EG_IMG, 9}},
      {"P6 4 4", {EG_IMG, 9}},
      {"P6 4 4 255\n" + px.substr(1), {EG_FILE, 3}},
      {"P3 4 4 255 1 2 3", {EG_IMG, 9}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File.substr(0, 20));
    EXPECT_EQ(test::ToString(Load(c.File)), test::ToString(c.Err));
    EXPECT_EQ(img_.Data, nullptr);
  }
  TFileInfo info;
  ASSERT_EQ(test::InfoFile(Write("P1 4 4 " + std::string(16, '1')), info, FF_PNM), kOk);
  EXPECT_TRUE(info.VideoValid && !info.VideoLoadable);  // recognised, not decodable
  EXPECT_EQ(info.VideoCompression, "Ascii encoded");
  ASSERT_EQ(test::InfoFile(Write("P5 4 5 255\n" + px), info, FF_PNM), kOk);
  EXPECT_EQ(info.Height, 5);
  EXPECT_EQ(info.BitsPerPixel, 8);
  EXPECT_EQ(info.VideoCompression, "Binary encoded");
}

TEST_F(PnmTest, EveryPrefixOfAFileLoadsOrFailsCleanly) {
  for (const char* name :
       {"pnm/megazeux/p6.ppm", "pnm/megazeux/p3.ppm", "pnm/gdk-pixbuf/valid.1.ppm"}) {
    const std::string whole = test::ReadWhole(test::DataFile(name));
    ASSERT_FALSE(whole.empty()) << name;
    for (size_t n = 0; n <= whole.size(); ++n) {
      test::TTableCounts before;
      if (Load(whole.substr(0, n)) != kOk) {
        EXPECT_EQ(img_.Data, nullptr) << n;
      }
      ImgFree(img_);
      ASSERT_TRUE(before.Same()) << name << " " << n << ": " << before.Describe();
    }
  }
}

TEST_F(PnmTest, WrittenFilesHaveTheExactHeaderAndReadBackEverywhere) {
  test::MakePicture(img_, 640, 480, 24, [](int32_t x, int32_t y, uint8_t* p) {
    p[0] = static_cast<uint8_t>(x);
    p[1] = static_cast<uint8_t>(y);
    p[2] = static_cast<uint8_t>(x + 2 * y + 5);
  });
  const std::string path = dir_.Path("w.ppm");
  ASSERT_EQ(test::SaveFile(path, img_), kOk);
  const std::string file = test::ReadWhole(path);
  ASSERT_EQ(file.size(), 15u + 640 * 480 * 3);
  EXPECT_EQ(file.substr(0, 15), "P6\n640 480\n255\n");
  EXPECT_EQ(file.substr(15, 6), std::string({5, 0, 0, 6, 0, 1}));  // red first
  const std::vector<uint8_t> rgb = test::CanonicalRgb(img_);
  TImg back;
  ASSERT_EQ(test::LoadFile(path, back), kOk);
  EXPECT_EQ(test::CanonicalRgb(back), rgb);
  ImgFree(back);
  int w = 0, h = 0;
  EXPECT_EQ(test::MagickRgb(path, w, h), rgb);
  EXPECT_EQ(test::PillowRgb(path, w, h), rgb);
  ImgFree(img_);
  // Grey pictures are written as colour; netpbm's plain form reads back too.
  test::MakePicture(img_, 5, 4, 8, [](int32_t x, int32_t y, uint8_t* p) {
    *p = static_cast<uint8_t>(x * 50 + y);
  });
  for (int i = 0; i < 256; ++i)
    img_.Palette[i][0] = img_.Palette[i][1] = img_.Palette[i][2] = static_cast<uint8_t>(i);
  ASSERT_EQ(test::SaveFile(path, img_), kOk);
  EXPECT_EQ(test::ReadWhole(path).substr(0, 9), "P6\n5 4\n25");
  const std::string plain = dir_.Path("plain.ppm");
  ASSERT_EQ(
      std::system(("/usr/bin/pnmtoplainpnm " + path + " > " + plain + " 2>/dev/null").c_str()), 0);
  ASSERT_EQ(test::LoadFile(plain, back), kOk);
  EXPECT_EQ(test::CanonicalRgb(back), test::CanonicalRgb(img_));
  ImgFree(back);
}

}  // namespace
}  // namespace kvo
