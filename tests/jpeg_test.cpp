// SPDX-License-Identifier: GPL-3.0-or-later
// JPEG reading and writing through libjpeg-turbo. Pillow decodes with the
// same library at the same settings (islow DCT, fancy upsampling), so its
// pixels are expected exactly; written files are compared with their source
// within the loss of quality 85.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/FF_JPG.h"
#include "tests/LibFormatTest.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using namespace kvo::test;

std::string Data(const std::string& Name) { return DataFile(Name); }

// ---- reading -------------------------------------------------------------------------

TEST(JpegRead, EveryTestFileDecodesAsPillowSeesItOrIsRefused) {
  TGoldenTally tally = CheckGolden(FF_JPEG, JPGLoad);
  EXPECT_GE(tally.Identical, 25);
  EXPECT_TRUE(tally.Unchecked.empty());
  std::printf("JPEG: %d identical to Pillow, %d refused as expected\n", tally.Identical,
              tally.Refused);
}

TEST(JpegRead, GreyAndCmykFilesMatchPillowLive) {
  for (const char* name : {"jpeg/pillow/hopper_gray.jpg", "jpeg/pillow/pil_sample_cmyk.jpg",
                           "jpeg/image-rs/progressive-3.jpg"}) {
    SCOPED_TRACE(name);
    TImg img;
    ASSERT_EQ(KeptLoad(JPGLoad, Data(name), img), kOk);
    int w = 0, h = 0;
    EXPECT_EQ(CanonicalRgb(img), PillowRgb(Data(name), w, h));
    ImgFree(img);
  }
}

TEST(JpegRead, GreyFilesAreEightBitWithTheGreyRamp) {
  TImg img;
  ASSERT_EQ(KeptLoad(JPGLoad, Data("jpeg/pillow/hopper_gray.jpg"), img), kOk);
  EXPECT_EQ(img.BitsPerPixel, 8);
  for (int i = 0; i < 256; i += 51) EXPECT_EQ(img.Palette[i][1], i);
  ImgFree(img);
}

TEST(JpegInfo, DescribesComponentsAndSize) {
  TFileInfo info;
  ASSERT_EQ(KeptInfo(JPGInfo, Data("jpeg/pillow/hopper.jpg"), info), kOk);
  EXPECT_EQ(info.Width, 128);
  EXPECT_EQ(info.Height, 128);
  EXPECT_EQ(info.BytesPerPixel, 3);
  EXPECT_EQ(info.BitsPerPixel, 24);
  EXPECT_EQ(info.FrameCount, 1);
  EXPECT_EQ(info.VideoCompression, "JFIF 1.02");
  EXPECT_EQ(info.FileSize,
            static_cast<int32_t>(std::filesystem::file_size(Data("jpeg/pillow/hopper.jpg"))));
  ASSERT_EQ(KeptInfo(JPGInfo, Data("jpeg/pillow/hopper_gray.jpg"), info), kOk);
  EXPECT_EQ(info.BitsPerPixel, 8);
}

// ---- the routines' contract ---------------------------------------------------------------

TEST(JpegRoutines, FailByResultWithoutRaisingOrLeftovers) {
  TTableCounts counts;
  int32_t w = 0, h = 0, c = 0;
  EXPECT_NE(info_JPEG_file("/nonexistent/x.jpg", &w, &h, &c), 0);
  std::string hopper = Data("jpeg/pillow/hopper.jpg");
  ASSERT_EQ(info_JPEG_file(hopper.c_str(), &w, &h, &c), 0);
  EXPECT_EQ(c, 3);
  std::vector<uint8_t> buf(static_cast<size_t>(w) * h * c);
  int32_t wrongHeight = h - 1;  // the buffer the caller says it has is too small
  EXPECT_NE(read_JPEG_file(hopper.c_str(), buf.data(), &w, &wrongHeight, &c), 0);
  EXPECT_EQ(read_JPEG_file(hopper.c_str(), buf.data(), &w, &h, &c), 0);
  EXPECT_NE(read_JPEG_file(hopper.c_str(), nullptr, &w, &h, &c), 0);
  EXPECT_NE(write_JPEG_file("/nonexistent/x.jpg", buf.data(), w, h, 85), 0);
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

// ---- refusals ------------------------------------------------------------------------

TEST(JpegRefuse, FilesCutBeforeTheirEndMarkerFail) {
  // Pillow refuses them too ("image file is truncated"), even when only the
  // two bytes of the end marker are missing.
  TTempDir dir;
  std::string whole = ReadWhole(Data("jpeg/pillow/hopper.jpg"));
  ASSERT_EQ(whole.substr(whole.size() - 2), "\xFF\xD9");
  TImg img;
  TTableCounts counts;
  EXPECT_EQ(KeptLoad(JPGLoad, dir.Write("noeoi.jpg", whole.substr(0, whole.size() - 2)), img),
            (TErr{EG_IMG, 8}));
  EXPECT_EQ(KeptLoad(JPGLoad, dir.Write("half.jpg", whole.substr(0, whole.size() / 2)), img),
            (TErr{EG_IMG, 8}));
  EXPECT_EQ(img.Data, nullptr);
  ASSERT_EQ(KeptLoad(JPGLoad, dir.Write("junk.jpg", whole + "trailing junk"), img), kOk);
  ImgFree(img);
  EXPECT_TRUE(counts.Same()) << counts.Describe();
  TruncationSweep(whole, ".jpg", JPGLoad, JPGInfo, 17);
  TruncationSweep(ReadWhole(Data("jpeg/image-rs/progressive-test.jpg")), ".jpg", JPGLoad,
                  JPGInfo, 9);
}

TEST(JpegRefuse, OtherFormatsAndMissingFiles) {
  TTempDir dir;
  TImg img;
  TTableCounts counts;
  std::string png = dir.Write("x.jpg", ReadWhole(Data("png/pngsuite/basn2c08.png")));
  EXPECT_EQ(KeptLoad(JPGLoad, png, img), (TErr{EG_IMG, 8}));
  EXPECT_EQ(KeptLoad(JPGLoad, dir.Path("missing.jpg"), img), (TErr{EG_IMG, 8}));
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

// ---- writing ---------------------------------------------------------------------------

class JpegWrite : public testing::Test {
 protected:
  void TearDown() override {
    ImgFree(img_);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  TTempDir dir_;
  TImg img_;
  TTableCounts counts_;
};

TEST_F(JpegWrite, PillowReadsTheFileAsWeDoAndCloseToTheSource) {
  MakePattern(img_, 96, 64, 24);
  std::string path = dir_.Path("out.jpg");
  ASSERT_EQ(KeptSave(JPGSave, path, img_), kOk);
  TImg back;
  ASSERT_EQ(KeptLoad(JPGLoad, path, back), kOk);
  int w = 0, h = 0;
  std::vector<uint8_t> ours = CanonicalRgb(back), pillow = PillowRgb(path, w, h);
  EXPECT_EQ(ours, pillow);
  std::vector<uint8_t> source = CanonicalRgb(img_);
  ASSERT_EQ(ours.size(), source.size());
  int64_t total = 0;
  for (size_t i = 0; i < ours.size(); ++i) total += std::abs(ours[i] - source[i]);
  EXPECT_LT(static_cast<double>(total) / static_cast<double>(ours.size()), 3.0);
  ImgFree(back);
  // Quality 85 scales the standard luminance table by 30 %: its first entry
  // (16) becomes 5.
  std::string q = RunPillow(
      "import sys\nfrom PIL import Image\nprint(Image.open(sys.argv[1]).quantization[0][0])\n",
      path);
  EXPECT_EQ(q, "5\n");
}

TEST_F(JpegWrite, PalettePicturesAreWrittenInColour) {
  MakePattern(img_, 40, 40, 8);
  std::string path = dir_.Path("pal.jpg");
  ASSERT_EQ(KeptSave(JPGSave, path, img_), kOk);
  std::string mode = RunPillow(
      "import sys\nfrom PIL import Image\nprint(Image.open(sys.argv[1]).mode)\n", path);
  EXPECT_EQ(mode, "RGB\n");
}

TEST_F(JpegWrite, FailedWritesReportCannotCreate) {
  MakePattern(img_, 300, 300, 24);
  EXPECT_EQ(KeptSave(JPGSave, dir_.Path("no/folder/x.jpg"), img_), (TErr{EG_IMG, 11}));
  TFileSizeLimit limit(2000);
  EXPECT_EQ(KeptSave(JPGSave, dir_.Path("full.jpg"), img_), (TErr{EG_IMG, 11}));
}

}  // namespace
}  // namespace kvo
