// SPDX-License-Identifier: GPL-3.0-or-later
// TIFF reading and writing through libtiff, checked against Pillow and
// ImageMagick and against small files made here with libtiff itself.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/FF_TIF.h"
#include "tests/LibFormatTest.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using namespace kvo::test;

std::string Data(const std::string& Name) { return DataFile(Name); }

// A small TIFF in one strip, written with libtiff.
struct TTiffRecipe {
  uint32_t Width = 4, Height = 2;
  uint16_t Samples = 1, Photometric = PHOTOMETRIC_MINISBLACK;
  uint16_t ExtraSamples = 0;  // how many of Samples are alpha
  std::vector<uint16_t> Red, Green, Blue;  // colour map, 256 entries each
  std::vector<uint8_t> Pixels;             // Width x Height x Samples
};

std::string WriteTiff(const std::string& Path, const TTiffRecipe& R) {
  TIFF* t = TIFFOpen(Path.c_str(), "w");
  if (!t) return Path;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, R.Width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, R.Height);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, R.Samples);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, R.Photometric);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, R.Height);
  if (R.ExtraSamples) {
    std::vector<uint16_t> kinds(R.ExtraSamples, EXTRASAMPLE_UNASSALPHA);
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, R.ExtraSamples, kinds.data());
  }
  if (!R.Red.empty())
    TIFFSetField(t, TIFFTAG_COLORMAP, R.Red.data(), R.Green.data(), R.Blue.data());
  std::vector<uint8_t> pixels = R.Pixels;
  for (uint32_t y = 0; y < R.Height; ++y)
    TIFFWriteScanline(t, pixels.data() + y * R.Width * R.Samples, y, 0);
  TIFFClose(t);
  return Path;
}

std::vector<uint8_t> Ramp(size_t N, int Step = 1) {
  std::vector<uint8_t> v(N);
  for (size_t i = 0; i < N; ++i) v[i] = static_cast<uint8_t>(i * Step);
  return v;
}

// ---- reading -------------------------------------------------------------------------

TEST(TiffRead, EveryTestFileDecodesAsPillowSeesItOrIsRefused) {
  TGoldenTally tally = CheckGolden(FF_TIFF, TIFLoad);
  EXPECT_GE(tally.Identical, 20);
  EXPECT_TRUE(tally.Unchecked.empty());
  std::printf("TIFF: %d identical to the reference, %d refused as expected\n", tally.Identical,
              tally.Refused);
}

TEST(TiffRead, LiveAgainstPillow) {
  for (const char* name : {"tiff/pillow/hopper_lzw.tif", "tiff/libtiff/palette-1c-8b.tiff",
                           "tiff/pillow/tiff_strip_ycbcr_jpeg_2x2_sampling.tif"}) {
    SCOPED_TRACE(name);
    TImg img;
    ASSERT_EQ(KeptLoad(TIFLoad, Data(name), img), kOk);
    int w = 0, h = 0;
    EXPECT_EQ(CanonicalRgb(img), PillowRgb(Data(name), w, h));
    ImgFree(img);
  }
}

TEST(TiffRead, OneBitFilesAreDescribedButNotLoaded) {
  TFileInfo info;
  ASSERT_EQ(KeptInfo(TIFInfo, Data("tiff/image-rs/l1.tiff"), info), kOk);
  EXPECT_EQ(info.Width, 100);
  EXPECT_EQ(info.BitsPerPixel, 0);  // 8 pixels share a byte: 0 whole bytes each
  EXPECT_NE(info.VideoValid, 0);
  EXPECT_EQ(info.VideoLoadable, 0);
  TImg img;
  EXPECT_EQ(KeptLoad(TIFLoad, Data("tiff/image-rs/l1.tiff"), img), (TErr{EG_IMG, 1}));
  EXPECT_EQ(img.Data, nullptr);
}

TEST(TiffRead, ColourMapTakesLowBytesUnlessAValueNeedsTwo) {
  TTempDir dir;
  TTiffRecipe r;
  r.Photometric = PHOTOMETRIC_PALETTE;
  r.Pixels = {0, 1, 2, 255, 7, 8, 9, 10};
  r.Red.resize(256);
  r.Green.resize(256);
  r.Blue.resize(256);
  for (int i = 0; i < 256; ++i) {
    r.Red[i] = static_cast<uint16_t>(i);
    r.Green[i] = static_cast<uint16_t>(255 - i);
    r.Blue[i] = 7;
  }
  TImg img;
  ASSERT_EQ(KeptLoad(TIFLoad, WriteTiff(dir.Path("low.tif"), r), img), kOk);
  EXPECT_EQ(img.BitsPerPixel, 8);
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 8), r.Pixels);
  EXPECT_EQ(img.Palette[9][0], 7);    // blue
  EXPECT_EQ(img.Palette[9][1], 246);  // green
  EXPECT_EQ(img.Palette[9][2], 9);    // red

  r.Red[255] = 0xFF00;  // one value of 256 or more: high bytes everywhere
  ASSERT_EQ(KeptLoad(TIFLoad, WriteTiff(dir.Path("high.tif"), r), img), kOk);
  EXPECT_EQ(img.Palette[9][2], 0);
  EXPECT_EQ(img.Palette[9][1], 0);
  EXPECT_EQ(img.Palette[255][2], 0xFF);
  ImgFree(img);
}

TEST(TiffRead, WhiteIsZeroGetsTheInvertedRamp) {
  TTempDir dir;
  TTiffRecipe r;
  r.Photometric = PHOTOMETRIC_MINISWHITE;
  r.Pixels = {0, 10, 128, 255, 1, 2, 3, 4};
  TImg img;
  ASSERT_EQ(KeptLoad(TIFLoad, WriteTiff(dir.Path("white.tif"), r), img), kOk);
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 8), r.Pixels);
  EXPECT_EQ(img.Palette[0][0], 255);
  EXPECT_EQ(img.Palette[255][2], 0);
  EXPECT_EQ(img.Palette[10][1], 245);
  ImgFree(img);
}

// Unassociated alpha is blended onto black (round(v x a / 255), worked out
// here apart from the reader); the alpha sample itself is dropped.
TEST(TiffRead, UnassociatedAlphaIsBlendedOntoBlack) {
  const auto onBlack = [](int V, int A) { return (2 * V * A + 255) / 510; };
  TTempDir dir;
  TTiffRecipe rgba;
  rgba.Samples = 4;
  rgba.ExtraSamples = 1;
  rgba.Photometric = PHOTOMETRIC_RGB;
  rgba.Pixels = Ramp(32, 3);
  TImg img;
  ASSERT_EQ(KeptLoad(TIFLoad, WriteTiff(dir.Path("rgba.tif"), rgba), img), kOk);
  ASSERT_EQ(img.BitsPerPixel, 24);
  for (int p = 0; p < 8; ++p)
    for (int c = 0; c < 3; ++c)
      ASSERT_EQ(img.Data[p * 3 + c], onBlack(rgba.Pixels[p * 4 + 2 - c], rgba.Pixels[p * 4 + 3]))
          << "pixel " << p;

  TTiffRecipe greyAlpha;
  greyAlpha.Samples = 2;
  greyAlpha.ExtraSamples = 1;
  greyAlpha.Pixels = Ramp(16, 5);
  ASSERT_EQ(KeptLoad(TIFLoad, WriteTiff(dir.Path("ga.tif"), greyAlpha), img), kOk);
  ASSERT_EQ(img.BitsPerPixel, 8);
  for (int p = 0; p < 8; ++p)
    ASSERT_EQ(img.Data[p], onBlack(greyAlpha.Pixels[p * 2], greyAlpha.Pixels[p * 2 + 1]));
  ImgFree(img);
}

TEST(TiffInfo, NamesTheCompression) {
  struct {
    const char* File;
    const char* Name;
    int32_t Bits;
  } cases[] = {{"tiff/pillow/hopper_lzw.tif", "Variable-Length-Code LZW (Lempel-Ziv & Welch)", 24},
               {"tiff/image-rs/fax4.tiff", "CCITT Group 4 fax encoding", 0},
               {"tiff/pillow/copyleft.tiff", "Macintosh RLE (PackBits)", 24},
               {"tiff/libtiff/webp_lossless_rgba_alpha_fully_opaque.tif", "", 32}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.File);
    TFileInfo info;
    ASSERT_EQ(KeptInfo(TIFInfo, Data(c.File), info), kOk);
    EXPECT_EQ(info.VideoCompression, c.Name);
    EXPECT_EQ(info.BitsPerPixel, c.Bits);
    EXPECT_EQ(info.FrameCount, 1);
    EXPECT_EQ(info.FileSize, static_cast<int32_t>(std::filesystem::file_size(Data(c.File))));
  }
}

// ---- refusals ------------------------------------------------------------------------

TEST(TiffRefuse, OtherFormatsAndMissingFilesGiveTheLibraryOrOpenError) {
  TTempDir dir;
  TImg img;
  TTableCounts counts;
  std::string png = dir.Write("x.tif", ReadWhole(Data("png/pngsuite/basn2c08.png")));
  std::string text;
  EXPECT_EQ(KeptLoad(TIFLoad, png, img, &text), (TErr{EG_TEXT, TEXT_CODE}));
  EXPECT_NE(text.find("Not a TIFF"), std::string::npos) << text;
  EXPECT_EQ(KeptLoad(TIFLoad, dir.Path("missing.tif"), img), (TErr{EG_IMG, 8}));
  EXPECT_EQ(img.Data, nullptr);
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

TEST(TiffRefuse, EveryCutOfSmallFilesIsAPictureOrAnError) {
  // The directory of this file starts at byte 2906: every cut of it.
  TruncationSweep(ReadWhole(Data("tiff/sdl/sample.tif")), ".tif", TIFLoad, TIFInfo, 11, 2900);
  TruncationSweep(ReadWhole(Data("tiff/pillow/hopper_lzw.tif")), ".tif", TIFLoad, TIFInfo, 193);
  TruncationSweep(ReadWhole(Data("tiff/pillow/hopper_jpg.tif")), ".tif", TIFLoad, TIFInfo, 97);
}

// ---- writing ---------------------------------------------------------------------------

class TiffWrite : public testing::Test {
 protected:
  void TearDown() override {
    ImgFree(img_);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  TTempDir dir_;
  TImg img_;
  TTableCounts counts_;
};

TEST_F(TiffWrite, TrueColourRoundTripsAndOthersReadItAlike) {
  for (int32_t bits : {24, 15, 32}) {
    SCOPED_TRACE(bits);
    MakePattern(img_, 57, 33, bits);
    std::string path = dir_.Path("rgb.tif");
    ASSERT_EQ(KeptSave(TIFSave, path, img_), kOk);
    TImg back;
    ASSERT_EQ(KeptLoad(TIFLoad, path, back), kOk);
    EXPECT_EQ(back.BitsPerPixel, 24);
    EXPECT_EQ(CanonicalRgb(back), CanonicalRgb(img_));
    int w = 0, h = 0;
    EXPECT_EQ(PillowRgb(path, w, h), CanonicalRgb(img_));
    EXPECT_EQ(MagickRgb(path, w, h), CanonicalRgb(img_));
    ImgFree(back);
    ImgFree(img_);
  }
}

TEST_F(TiffWrite, PaletteRoundTripsWithItsColourMap) {
  MakePattern(img_, 64, 48, 8);
  std::string path = dir_.Path("pal.tif");
  ASSERT_EQ(KeptSave(TIFSave, path, img_), kOk);
  TImg back;
  ASSERT_EQ(KeptLoad(TIFLoad, path, back), kOk);
  EXPECT_EQ(back.BitsPerPixel, 8);
  EXPECT_EQ(std::memcmp(back.Data, img_.Data, 64 * 48), 0);
  EXPECT_EQ(std::memcmp(back.Palette, img_.Palette, sizeof img_.Palette), 0);
  ImgFree(back);
  std::string mode = RunPillow(
      "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\n"
      "print(im.mode, im.tag_v2[262], im.tag_v2[259], im.tag_v2[278])\n",
      path);
  EXPECT_EQ(mode, "P 3 1 128\n");  // palette, uncompressed, 8192 / 64 rows a strip
  int w = 0, h = 0;
  EXPECT_EQ(PillowRgb(path, w, h), CanonicalRgb(img_));
}

TEST_F(TiffWrite, RowsLongerThanAStripStillGetOneEach) {
  MakePattern(img_, 4096, 4, 24);  // 12288 bytes a row
  std::string path = dir_.Path("wide.tif");
  ASSERT_EQ(KeptSave(TIFSave, path, img_), kOk);
  std::string rows = RunPillow(
      "import sys\nfrom PIL import Image\nprint(Image.open(sys.argv[1]).tag_v2[278])\n", path);
  EXPECT_EQ(rows, "1\n");
  TImg back;
  ASSERT_EQ(KeptLoad(TIFLoad, path, back), kOk);
  EXPECT_EQ(CanonicalRgb(back), CanonicalRgb(img_));
  ImgFree(back);
}

TEST_F(TiffWrite, FailedWritesLeaveNothingOpen) {
  MakePattern(img_, 200, 200, 24);
  EXPECT_EQ(KeptSave(TIFSave, dir_.Path("no/folder/x.tif"), img_), (TErr{EG_IMG, 11}));
  TFileSizeLimit limit(5000);
  EXPECT_EQ(KeptSave(TIFSave, dir_.Path("full.tif"), img_), (TErr{EG_FILE, 4}));
}

}  // namespace
}  // namespace kvo
