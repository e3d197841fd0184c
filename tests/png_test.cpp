// SPDX-License-Identifier: GPL-3.0-or-later
// PNG reading and writing through libpng, checked against Pillow.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/FF_PNG.h"
#include "tests/LibFormatTest.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using namespace kvo::test;

std::string Suite(const std::string& Name) {
  return DataFile("png/pngsuite/" + Name);
}

// ---- building odd files -------------------------------------------------------------

uint32_t Crc32(const std::string& Bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : Bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string Be32(uint32_t V) {
  return {static_cast<char>(V >> 24), static_cast<char>(V >> 16), static_cast<char>(V >> 8),
          static_cast<char>(V)};
}

std::string Chunk(const std::string& Type, const std::string& Data) {
  return Be32(static_cast<uint32_t>(Data.size())) + Type + Data + Be32(Crc32(Type + Data));
}

// A PNG whose header claims Width x Height 8-bit RGB, with a token IDAT.
std::string PngWithHeader(uint32_t Width, uint32_t Height) {
  std::string ihdr = Be32(Width) + Be32(Height) + std::string("\x08\x02\x00\x00\x00", 5);
  std::string idat("\x78\x9c\x63\x00\x00\x00\x01\x00\x01", 9);  // zlib of one zero byte
  return std::string("\x89PNG\r\n\x1a\n", 8) + Chunk("IHDR", ihdr) + Chunk("IDAT", idat) +
         Chunk("IEND", "");
}

// Pillow's view of a palette PNG: "mode\n", the 768 palette bytes, the indices.
std::string PillowPaletteView(const std::string& Path) {
  return RunPillow(
      "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\n"
      "pal = bytes(im.getpalette() or [])\n"
      "sys.stdout.buffer.write(im.mode.encode() + b'\\n' + pal + im.tobytes())\n",
      Path);
}

// ---- reading -------------------------------------------------------------------------

TEST(PngRead, EveryTestFileDecodesAsPillowSeesItOrIsRefused) {
  TGoldenTally tally = CheckGolden(FF_PNG, PNGLoad);
  EXPECT_GE(tally.Identical, 150);
  EXPECT_TRUE(tally.Unchecked.empty());
  std::printf("PNG: %d identical to Pillow, %d refused as expected\n", tally.Identical,
              tally.Refused);
}

// ImageMagick is no reference for reading PNG: it applies the gamma chunk
// and scales 16-bit samples, where the reader keeps the stored values.
// Transparency (tRNS of a palette, an alpha channel, of a file with an sRGB
// chunk too) is seen on black, as Pillow's alpha_composite blends it.
TEST(PngRead, LiveAgainstPillow) {
  const std::string onBlack =
      "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1]).convert('RGBA')\n"
      "im = Image.alpha_composite(Image.new('RGBA', im.size, (0, 0, 0, 255)), im)\n"
      "sys.stdout.buffer.write(im.convert('RGB').tobytes())\n";
  for (const char* name : {"basn2c16.png", "basi3p08.png", "tbbn3p08.png", "basn6a08.png",
                           "../../bmp/bmpsuite/html/rgba32.png"}) {
    SCOPED_TRACE(name);
    TImg img;
    ASSERT_EQ(KeptLoad(PNGLoad, Suite(name), img), kOk);
    const std::vector<uint8_t> rgb = CanonicalRgb(img);
    EXPECT_EQ(std::string(rgb.begin(), rgb.end()), RunPillow(onBlack, Suite(name)));
    ImgFree(img);
  }
}

TEST(PngRead, BlendsAlphaDropsLowBytesAndKeepsPaletteDepth) {
  struct {
    const char* Name;
    int32_t Bits;
  } cases[] = {{"basn6a08.png", 24}, {"basn2c16.png", 24}, {"basn4a16.png", 8},
               {"basn0g16.png", 8},  {"basn3p08.png", 8},  {"basi0g01.png", 8}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TImg img;
    ASSERT_EQ(KeptLoad(PNGLoad, Suite(c.Name), img), kOk);
    EXPECT_EQ(img.BitsPerPixel, c.Bits);
    EXPECT_EQ(img.BytesPerPixel, c.Bits / 8);
    EXPECT_EQ(img.Size, img.Width * img.Height * img.BytesPerPixel);
    ImgFree(img);
  }
}

TEST(PngRead, PaletteWithFewEntriesFillsOnlyThose) {
  // basn3p04 has a PLTE chunk of 15 entries (45 bytes).
  TImg img;
  std::memset(img.Palette, 0xA5, sizeof img.Palette);
  ASSERT_EQ(KeptLoad(PNGLoad, Suite("basn3p04.png"), img), kOk);
  for (int i = 15; i < 256; ++i)
    ASSERT_EQ(img.Palette[i][0] | img.Palette[i][1] << 8 | img.Palette[i][2] << 16, 0xA5A5A5)
        << "entry " << i;
  EXPECT_NE(img.Palette[14][0] | img.Palette[14][1] << 8 | img.Palette[14][2] << 16, 0xA5A5A5);
  ImgFree(img);
}

TEST(PngRead, GreyBelowEightBitsKeepsSampleValuesAsIndexes) {
  // Pillow widens 4-bit grey to 0..255 by 17; the indexes stay 0..15 and
  // their palette entries carry the widened grey.
  TImg img;
  ASSERT_EQ(KeptLoad(PNGLoad, Suite("basn0g04.png"), img), kOk);
  std::string grey = RunPillow(
      "import sys\nfrom PIL import Image\n"
      "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert('L').tobytes())\n",
      Suite("basn0g04.png"));
  ASSERT_EQ(grey.size(), static_cast<size_t>(img.Width * img.Height));
  for (size_t i = 0; i < grey.size(); ++i) {
    ASSERT_LT(img.Data[i], 16);
    ASSERT_EQ(img.Data[i] * 17, static_cast<uint8_t>(grey[i])) << "pixel " << i;
  }
  EXPECT_EQ(img.Palette[15][0], 255);
  EXPECT_EQ(img.Palette[15][2], 255);
  EXPECT_EQ(img.Palette[200][1], 200);  // unused entries keep the plain ramp
  ImgFree(img);
}

TEST(PngRead, RowsBeyondTheWritersLimitAreRead) {
  TTempDir dir;
  std::string path = dir.Path("tall.png");
  RunPillow(
      "import sys\nfrom PIL import Image\n"
      "Image.frombytes('L', (3, 5000), bytes(i % 251 for i in range(15000))).save(sys.argv[1])\n",
      path);
  TImg img;
  ASSERT_EQ(KeptLoad(PNGLoad, path, img), kOk);
  EXPECT_EQ(img.Height, 5000);
  EXPECT_EQ(img.Data[14999], 14999 % 251);
  ImgFree(img);
}

TEST(PngInfo, DescribesTheFileAsStored) {
  struct {
    const char* Name;
    int32_t Bits, Bytes;
  } cases[] = {{"basn2c16.png", 48, 6}, {"basn3p04.png", 4, 1}, {"basn6a08.png", 32, 4},
               {"basn0g01.png", 1, 1},  {"basn4a16.png", 32, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TFileInfo info;
    ASSERT_EQ(KeptInfo(PNGInfo, Suite(c.Name), info), kOk);
    EXPECT_EQ(info.Width, 32);
    EXPECT_EQ(info.Height, 32);
    EXPECT_EQ(info.BitsPerPixel, c.Bits);
    EXPECT_EQ(info.BytesPerPixel, c.Bytes);
    EXPECT_EQ(info.FrameCount, 1);
    EXPECT_EQ(info.FileSize, static_cast<int32_t>(std::filesystem::file_size(Suite(c.Name))));
    EXPECT_EQ(info.VideoCompression, "Deflate compression (modified LZ77)");
    EXPECT_NE(info.VideoValid, 0);
    EXPECT_NE(info.VideoLoadable, 0);
  }
}

// ---- refusals ------------------------------------------------------------------------

TEST(PngRefuse, OtherFormatsShortFilesAndMissingFiles) {
  TTempDir dir;
  TImg img;
  TFileInfo info;
  TTableCounts counts;
  std::string jpeg = DataFile("jpeg/pillow/hopper.jpg");
  std::string disguised = dir.Write("photo.png", ReadWhole(jpeg));
  EXPECT_EQ(KeptLoad(PNGLoad, disguised, img), (TErr{EG_IMG, 2}));
  EXPECT_EQ(KeptInfo(PNGInfo, disguised, info), (TErr{EG_IMG, 2}));
  EXPECT_EQ(KeptLoad(PNGLoad, dir.Write("tiny.png", "\x89PN"), img), (TErr{EG_IMG, 2}));
  EXPECT_EQ(KeptLoad(PNGLoad, dir.Path("missing.png"), img), (TErr{EG_FILE, 1}));
  EXPECT_EQ(img.Data, nullptr);
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

TEST(PngRefuse, LyingHeaders) {
  TTempDir dir;
  TImg img;
  TTableCounts counts;
  // More pixels than any picture the program takes: refused before allocating.
  EXPECT_EQ(KeptLoad(PNGLoad, dir.Write("huge.png", PngWithHeader(30000, 30000)), img),
            (TErr{EG_IMG, 12}));
  // libpng's own checks give its own words.
  std::string text;
  EXPECT_EQ(KeptLoad(PNGLoad, dir.Write("zero.png", PngWithHeader(0, 16)), img, &text),
            (TErr{EG_TEXT, TEXT_CODE}));
  EXPECT_NE(text.find("IHDR"), std::string::npos) << text;
  // A small header with too little image data: the data runs out.
  TErr err = KeptLoad(PNGLoad, dir.Write("short.png", PngWithHeader(64, 64)), img);
  EXPECT_EQ(err.Group, EG_TEXT) << ToString(err);
  EXPECT_EQ(img.Data, nullptr);
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

TEST(PngRefuse, EveryCutOfSmallFilesIsAPictureOrAnError) {
  for (const char* name : {"basn3p08.png", "basi4a08.png", "basn2c16.png"}) {
    SCOPED_TRACE(name);
    TruncationSweep(ReadWhole(Suite(name)), ".png", PNGLoad, PNGInfo, 3);
  }
}

// ---- writing ---------------------------------------------------------------------------

class PngWrite : public testing::Test {
 protected:
  void SetUp() override { level_ = PNGSetCompression(INVALID_ID); }
  void TearDown() override {
    PNGSetCompression(level_);
    ImgFree(img_);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  TTempDir dir_;
  TImg img_;
  int32_t level_ = 0;
  TTableCounts counts_;
};

TEST_F(PngWrite, PaletteLogoIsExactAndDeterministicAtTheStoreLevel) {
  MakePattern(img_, 320, 400, 8);
  PNGSetCompression(7);
  std::string a = dir_.Path("a.png"), b = dir_.Path("b.png");
  ASSERT_EQ(KeptSave(PNGSave, a, img_), kOk);
  ASSERT_EQ(KeptSave(PNGSave, b, img_), kOk);
  EXPECT_EQ(ReadWhole(a), ReadWhole(b));

  std::string view = PillowPaletteView(a);
  std::string palette(768, '\0');
  for (int i = 0; i < 256; ++i)
    for (int c = 0; c < 3; ++c) palette[i * 3 + c] = static_cast<char>(img_.Palette[i][2 - c]);
  std::string indexes(reinterpret_cast<const char*>(img_.Data), 320 * 400);
  EXPECT_EQ(view, "P\n" + palette + indexes);

  // A stored picture file is the PNG followed by its 12-byte marks trailer,
  // which the reader never gets to.
  std::string stored = dir_.Write("x.kvo", ReadWhole(a) + std::string(12, '\x7F'));
  TImg back;
  ASSERT_EQ(KeptLoad(PNGLoad, stored, back), kOk);
  EXPECT_EQ(back.BitsPerPixel, 8);
  EXPECT_EQ(std::memcmp(back.Data, img_.Data, 320 * 400), 0);
  EXPECT_EQ(std::memcmp(back.Palette, img_.Palette, sizeof img_.Palette), 0);
  ImgFree(back);
}

TEST_F(PngWrite, TrueColourAndOtherDepthsBecomeRgb) {
  for (int32_t bits : {24, 15, 16, 32}) {
    SCOPED_TRACE(bits);
    MakePattern(img_, 41, 29, bits);
    std::string path = dir_.Path("rgb.png");
    ASSERT_EQ(KeptSave(PNGSave, path, img_), kOk);
    std::string mode = RunPillow(
        "import sys\nfrom PIL import Image\nprint(Image.open(sys.argv[1]).mode)\n", path);
    EXPECT_EQ(mode, "RGB\n");
    int w = 0, h = 0;
    EXPECT_EQ(PillowRgb(path, w, h), CanonicalRgb(img_));
    EXPECT_EQ(MagickRgb(path, w, h), CanonicalRgb(img_));
    ImgFree(img_);
  }
}

TEST_F(PngWrite, CompressionLevelIsClampedAndUsed) {
  EXPECT_EQ(PNGSetCompression(12), 9);
  EXPECT_EQ(PNGSetCompression(INVALID_ID), 9);
  EXPECT_EQ(PNGSetCompression(-1), 0);
  EXPECT_EQ(PNGSetCompression(INVALID_ID), 0);
  MakePattern(img_, 200, 100, 24);
  ASSERT_EQ(KeptSave(PNGSave, dir_.Path("l0.png"), img_), kOk);
  PNGSetCompression(9);
  ASSERT_EQ(KeptSave(PNGSave, dir_.Path("l9.png"), img_), kOk);
  EXPECT_GT(std::filesystem::file_size(dir_.Path("l0.png")),
            2 * std::filesystem::file_size(dir_.Path("l9.png")));
}

TEST_F(PngWrite, FailedWritesReportTheFileLayerAndLeaveNothingOpen) {
  MakePattern(img_, 256, 256, 24);
  EXPECT_EQ(KeptSave(PNGSave, dir_.Path("no/such/folder/x.png"), img_), (TErr{EG_FILE, 2}));
  {
    TFileSizeLimit limit(100);  // the header fits, the image data does not
    EXPECT_EQ(KeptSave(PNGSave, dir_.Path("full.png"), img_), (TErr{EG_FILE, 4}));
  }
  TImg tooWide;
  MakePattern(tooWide, 5000, 4, 24);
  EXPECT_EQ(KeptSave(PNGSave, dir_.Path("wide.png"), tooWide), (TErr{EG_MVI2, 1}));
  ImgFree(tooWide);
}

}  // namespace
}  // namespace kvo
