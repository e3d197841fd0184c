// SPDX-License-Identifier: GPL-3.0-or-later
// The TGA and PCX codecs: odd files built in code, refusals, truncation
// sweeps, and the writers read back by independent decoders.
#include <gtest/gtest.h>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ConForm.h"
#include "formats/FF_PCX.h"
#include "formats/FF_TGA.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using test::kOk;
using test::TBytes;
using test::TErr;

struct TTga {
  int Type = 2;
  int Width = 1, Height = 1, Depth = 24;
  int Descriptor = 0x20;  // top row first unless a test says otherwise
  std::string Id;
  int MapType = -1;  // -1: 1 when Map is not empty
  int MapBits = 24, MapFirst = 0;
  std::vector<uint8_t> Map;  // as stored
  std::vector<uint8_t> Pixels;

  std::string Bytes() const {
    const int entry = (MapBits + 7) / 8;
    TBytes b;
    b.U8(static_cast<uint32_t>(Id.size())).U8(MapType >= 0 ? MapType : !Map.empty()).U8(Type);
    b.U16(MapFirst).U16(static_cast<uint32_t>(Map.size() / entry)).U8(MapBits);
    b.U32(0).U16(Width).U16(Height).U8(Depth).U8(Descriptor);
    b.Raw(std::vector<uint8_t>(Id.begin(), Id.end())).Raw(Map).Raw(Pixels);
    return b.Str();
  }
};

struct TPcx {
  int Version = 5, Encoding = 1, Bits = 8, Planes = 1;
  int Xmin = 0, Width = 1, Height = 1, LineBytes = -1;  // -1: the width rounded up to even
  std::vector<uint8_t> Data;
  bool Palette = true;  // marker and a palette whose entry i is (i, 2i, 255 - i) as r, g, b

  std::string Bytes() const {
    TBytes b;
    b.U8(10).U8(Version).U8(Encoding).U8(Bits).U16(Xmin).U16(0).U16(Xmin + Width - 1);
    b.U16(Height - 1);
    b.Fill(65 - b.Size(), 0).U8(Planes).U16(LineBytes >= 0 ? LineBytes : (Width + 1) & ~1);
    b.Fill(128 - b.Size(), 0).Raw(Data);
    if (Palette) {
      b.U8(12);
      for (int i = 0; i < 256; ++i) b.U8(i).U8((2 * i) & 0xFF).U8(255 - i);
    }
    return b.Str();
  }
};

std::vector<uint8_t> Bytes(const TImg& Img) {
  return std::vector<uint8_t>(Img.Data, Img.Data + Img.Width * Img.Height * Img.BytesPerPixel);
}

class TgaPcxTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ImgFree(img_);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  TErr Load(const std::string& Bytes, const char* Name) {
    ImgFree(img_);
    return test::LoadFile(dir_.Write(Name, Bytes), img_);
  }
  TErr Load(const TTga& T) { return Load(T.Bytes(), "x.tga"); }
  TErr Load(const TPcx& P) { return Load(P.Bytes(), "x.pcx"); }
  // Every prefix of Whole: a picture or an error, the tables back to count.
  void SweepPrefixes(const std::string& Whole, const char* Name) {
    ASSERT_FALSE(Whole.empty());
    for (size_t n = 0; n <= Whole.size(); ++n) {
      test::TTableCounts before;
      TErr e = Load(Whole.substr(0, n), Name);
      if (e != kOk) {
        EXPECT_EQ(img_.Data, nullptr) << n;
      }
      ImgFree(img_);
      ASSERT_TRUE(before.Same()) << Name << " prefix " << n << ": " << before.Describe();
    }
  }
  test::TTempDir dir_;
  test::TTableCounts counts_;
  TImg img_;
};

// ---- TGA --------------------------------------------------------------------------

TEST_F(TgaPcxTest, TgaRowOrderFollowsDescriptorBitFive) {
  TTga t;
  t.Width = 1;
  t.Height = 2;
  t.Pixels = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(Load(t), kOk);
  EXPECT_EQ(Bytes(img_), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  t.Descriptor = 0;
  ASSERT_EQ(Load(t), kOk);
  EXPECT_EQ(Bytes(img_), (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
  t.Descriptor = 0x10 | 0x20;  // right to left as well: a one-pixel row is its own mirror
  t.Width = 2;
  t.Height = 1;
  ASSERT_EQ(Load(t), kOk);
  EXPECT_EQ(Bytes(img_), (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
}

TEST_F(TgaPcxTest, TgaFindsMapAndPixelsAfterTheImageId) {
  TTga t;
  t.Type = 1;
  t.Depth = 8;
  t.Width = 3;
  t.Id = "an image ID field";
  t.MapFirst = 2;
  t.Map = {10, 20, 30, 40, 50, 60};  // entries 2 and 3, blue, green, red
  t.Pixels = {3, 2, 0};
  ASSERT_EQ(Load(t), kOk);
  EXPECT_EQ(img_.BitsPerPixel, 8);
  EXPECT_EQ(Bytes(img_), (std::vector<uint8_t>{3, 2, 0}));
  EXPECT_EQ(img_.Palette[2][0], 10);
  EXPECT_EQ(img_.Palette[3][2], 60);
  EXPECT_EQ(img_.Palette[0][0], 0);  // before the map's first entry: black
  EXPECT_EQ(img_.Palette[4][1], 0);
}

TEST_F(TgaPcxTest, TgaMapsPastEntry255KeepWhatFits) {
  TTga t;
  t.Type = 1;
  t.Depth = 8;
  t.Width = 2;
  t.MapFirst = 250;
  for (int i = 0; i < 300; ++i) t.Map.insert(t.Map.end(), {uint8_t(i), 0, 0});
  t.Pixels = {255, 250};
  ASSERT_EQ(Load(t), kOk);
  EXPECT_EQ(Bytes(img_), (std::vector<uint8_t>{255, 250}));  // found after the whole map
  EXPECT_EQ(img_.Palette[255][0], 5);
  EXPECT_EQ(img_.Palette[250][0], 0);
  EXPECT_EQ(img_.Palette[249][0], 0);
}

TEST_F(TgaPcxTest, TgaSixteenBitsAreFifteenBitsAndSoAreTheirMaps) {
  TTga t;
  t.Width = 2;
  t.Depth = 16;
  t.Pixels = {0x1F, 0x7C, 0xE0, 0x83};  // 0x7C1F, and 0x83E0 with its attribute bit
  ASSERT_EQ(Load(t), kOk);
  EXPECT_EQ(img_.BitsPerPixel, 15);
  EXPECT_EQ(Bytes(img_), t.Pixels);
  TTga m;
  m.Type = 1;
  m.Depth = 8;
  m.MapBits = 15;
  m.Map = {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00};  // red, green, blue
  m.Width = 3;
  m.Pixels = {0, 1, 2};
  ASSERT_EQ(Load(m), kOk);
  const uint8_t want[3][3] = {{0, 0, 248}, {0, 248, 0}, {248, 0, 0}};  // blue, green, red
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) EXPECT_EQ(img_.Palette[i][k], want[i][k]) << i << "," << k;
}

TEST_F(TgaPcxTest, TgaRunsCrossRowsAndStopAtTheEnds) {
  TTga t;
  t.Type = 10;
  t.Width = 3;
  t.Height = 2;
  t.Depth = 24;
  t.Pixels = {0x83, 1, 1, 1, 0x01, 2, 2, 2, 3, 3, 3};  // a run of 4, then 2 literal pixels
  ASSERT_EQ(Load(t), kOk);
  EXPECT_EQ(Bytes(img_),
            (std::vector<uint8_t>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 3, 3, 3}));
  // Bottom-up, cut short: the run lands in the bottom row, the rest is black.
  t.Descriptor = 0;
  t.Pixels = {0x83, 1, 1, 1, 0x01, 2};
  ASSERT_EQ(Load(t), kOk);
  EXPECT_EQ(Bytes(img_),
            (std::vector<uint8_t>{1, 1, 1, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
  // Packets past the picture's end are dropped.
  t.Descriptor = 0x20;
  t.Pixels = {0xFF, 4, 4, 4, 0x7F, 5, 5, 5};
  ASSERT_EQ(Load(t), kOk);
  EXPECT_EQ(Bytes(img_), std::vector<uint8_t>(18, 4));
  TFileInfo info;
  ASSERT_EQ(test::InfoFile(dir_.Path("x.tga"), info), kOk);
  EXPECT_EQ(info.VideoCompression, "Run Length Encoding (RLE)");
}

TEST_F(TgaPcxTest, TgaRightToLeftRowsAreMirrored) {
  TTga t;
  t.Type = 9;
  t.Depth = 8;
  t.Width = 3;
  t.Height = 2;
  t.Descriptor = 0x30;
  t.Map = {0, 0, 0, 1, 1, 1, 2, 2, 2};
  t.Pixels = {0x02, 1, 2, 0, 0x82, 2};
  ASSERT_EQ(Load(t), kOk);
  EXPECT_EQ(Bytes(img_), (std::vector<uint8_t>{0, 2, 1, 2, 2, 2}));
}

TEST_F(TgaPcxTest, TgaRefusalsNameTheirReason) {
  auto with = [](auto Change) {
    TTga t;
    t.Width = 2;
    t.Pixels = std::vector<uint8_t>(6, 9);
    Change(t);
    return t.Bytes();
  };
  struct TCase {
    const char* What;
    std::string Bytes;
    TErr Err;
  } cases[] = {
      {"grey", with([](TTga& t) { t.Type = 3, t.Depth = 8; }), {EG_IMG, 2}},
      {"grey RLE", with([](TTga& t) { t.Type = 11, t.Depth = 8; }), {EG_IMG, 2}},
      {"no image", with([](TTga& t) { t.Type = 0; }), {EG_IMG, 2}},
      {"colour-map type 2", with([](TTga& t) { t.MapType = 2; }), {EG_IMG, 2}},
      {"a BMP", "BM" + std::string(100, '\x01'), {EG_IMG, 2}},
      {"mapped without a map", with([](TTga& t) { t.Type = 1, t.Depth = 8; }), {EG_IMG, 1}},
      {"16-bit indices",
       with([](TTga& t) {
         t.Type = 1, t.Depth = 16, t.Map = {1, 2, 3};
       }),
       {EG_IMG, 1}},
      {"8-bit map entries",
       with([](TTga& t) { t.Type = 1, t.Depth = 8, t.MapBits = 8, t.Map = {1}; }),
       {EG_IMG, 1}},
      {"8-bit true colour", with([](TTga& t) { t.Depth = 8; }), {EG_IMG, 1}},
      {"12-bit true colour", with([](TTga& t) { t.Depth = 12; }), {EG_IMG, 1}},
      {"zero width", with([](TTga& t) { t.Width = 0; }), {EG_IMG, 4}},
      {"zero height", with([](TTga& t) { t.Height = 0; }), {EG_IMG, 4}},
      {"pixels missing", with([](TTga& t) { t.Height = 5; }), {EG_FILE, 3}},
      {"map missing",
       with([](TTga& t) {
         t.Type = 1, t.Depth = 8, t.Map = {1, 2, 3}, t.MapFirst = 0, t.Pixels.clear();
       }),
       {EG_FILE, 3}},
      {"RLE data missing", with([](TTga& t) { t.Type = 10, t.Pixels.clear(); }), {EG_FILE, 3}},
      {"RLE too short to fill it",
       with([](TTga& t) { t.Type = 10, t.Width = 60000, t.Height = 1000; }),
       {EG_IMG, 3}},
      {"header cut", std::string(17, '\0'), {EG_FILE, 3}},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(test::ToString(Load(c.Bytes, "x.tga")), test::ToString(c.Err)) << c.What;
    EXPECT_EQ(img_.Data, nullptr) << c.What;
  }
}

TEST_F(TgaPcxTest, TgaInfoTellsValidFromLoadable) {
  TFileInfo info;
  TTga t;
  t.Type = 1;
  t.Depth = 8;  // mapped but without a map
  t.Width = 7;
  t.Height = 3;
  dir_.Write("x.tga", t.Bytes());
  ASSERT_EQ(test::InfoFile(dir_.Path("x.tga"), info), kOk);
  EXPECT_EQ(info.Width, 7);
  EXPECT_EQ(info.BitsPerPixel, 8);
  EXPECT_NE(info.VideoValid, 0);
  EXPECT_EQ(info.VideoLoadable, 0);
  EXPECT_EQ(info.VideoCompression, "Uncompressed, full frames");
  t.Width = 0;
  dir_.Write("x.tga", t.Bytes());
  ASSERT_EQ(test::InfoFile(dir_.Path("x.tga"), info), kOk);
  EXPECT_EQ(info.VideoValid, 0);
}

TEST_F(TgaPcxTest, TgaPrefixesLoadOrFailCleanly) {
  const std::string root = test::DataDir() + "tga/";
  for (const char* f :
       {"megazeux/tga_idx8_16bpp_rle.tga", "megazeux/tga_32bpp_rle.tga",
        "megazeux/tga_idx8_24bpp_ttb.tga", "megazeux/tga_15bpp.tga", "image-rs/b5-cmap.tga"})
    SweepPrefixes(test::ReadWhole(root + f), "cut.tga");
}

// ---- PCX ---------------------------------------------------------------------------

TEST_F(TgaPcxTest, PcxOddWidthDropsThePaddingByteAndReadsThePalette) {
  TPcx p;
  p.Width = 3;
  p.Height = 2;
  p.Data = {1, 2, 3, 0xC1, 0xFF, 0xC3, 7, 0};  // the fourth byte of each line is padding
  ASSERT_EQ(Load(p), kOk);
  EXPECT_EQ(img_.BitsPerPixel, 8);
  EXPECT_EQ(Bytes(img_), (std::vector<uint8_t>{1, 2, 3, 7, 7, 7}));
  // Stored red, green, blue; kept blue, green, red.
  EXPECT_EQ(img_.Palette[7][0], 255 - 7);
  EXPECT_EQ(img_.Palette[7][1], 14);
  EXPECT_EQ(img_.Palette[7][2], 7);
  TFileInfo info;
  ASSERT_EQ(test::InfoFile(dir_.Path("x.pcx"), info), kOk);
  EXPECT_EQ(info.VideoCompression, "Run Length Encoding (RLE)");
  EXPECT_EQ(info.Width, 3);
}

TEST_F(TgaPcxTest, PcxThreePlanesBecomeBlueGreenRedPixels) {
  TPcx p;
  p.Planes = 3;
  p.Width = 2;
  p.Height = 2;
  p.Palette = false;
  // Row 0: red 10 20, green 30 40, blue 50 60. Row 1 all 9s, as one run
  // that crosses the plane lines.
  p.Data = {10, 20, 30, 40, 50, 60, 0xC6, 9};
  ASSERT_EQ(Load(p), kOk);
  EXPECT_EQ(img_.BitsPerPixel, 24);
  EXPECT_EQ(Bytes(img_), (std::vector<uint8_t>{50, 30, 10, 60, 40, 20, 9, 9, 9, 9, 9, 9}));
}

TEST_F(TgaPcxTest, PcxLineLengthFieldIsUsedWhenItCoversTheWidth) {
  TPcx p;
  p.Width = 3;
  p.Height = 2;
  p.LineBytes = 5;  // longer than the even-rounded width
  p.Data = {1, 2, 3, 0, 0, 4, 5, 6, 0, 0};
  ASSERT_EQ(Load(p), kOk);
  EXPECT_EQ(Bytes(img_), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  p.LineBytes = 1;  // shorter than the picture: the even-rounded width instead
  p.Data = {1, 2, 3, 0, 4, 5, 6, 0};
  ASSERT_EQ(Load(p), kOk);
  EXPECT_EQ(Bytes(img_), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  // Zero-length runs make nothing; bytes after the last line are ignored.
  p.Data = {0xC0, 77, 1, 2, 3, 0, 4, 5, 6, 0, 99, 98};
  ASSERT_EQ(Load(p), kOk);
  EXPECT_EQ(Bytes(img_), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(TgaPcxTest, PcxRefusalsNameTheirReason) {
  auto with = [](auto Change) {
    TPcx p;
    p.Width = 2;
    p.Data = {0xC2, 5};
    Change(p);
    return p.Bytes();
  };
  struct TCase {
    const char* What;
    std::string Bytes;
    TErr Err;
  } cases[] = {
      {"four planes", with([](TPcx& p) { p.Planes = 4; }), {EG_IMG, 1}},
      {"two planes", with([](TPcx& p) { p.Planes = 2; }), {EG_IMG, 1}},
      {"one bit", with([](TPcx& p) { p.Bits = 1; }), {EG_IMG, 1}},
      {"not run-length", with([](TPcx& p) { p.Encoding = 0; }), {EG_IMG, 1}},
      {"encoding 2", with([](TPcx& p) { p.Encoding = 2; }), {EG_IMG, 2}},
      {"version 1", with([](TPcx& p) { p.Version = 1; }), {EG_IMG, 2}},
      {"not a PCX", "BM" + std::string(200, '\0'), {EG_IMG, 2}},
      {"header cut", with([](TPcx&) {}).substr(0, 100), {EG_FILE, 3}},
      {"no data", with([](TPcx& p) { p.Data.clear(), p.Palette = false; }), {EG_FILE, 3}},
      {"data cut", with([](TPcx& p) { p.Height = 3; }), {EG_IMG, 3}},
      {"palette cut", with([](TPcx&) {}).substr(0, 128 + 2 + 500), {EG_IMG, 3}},
      {"24 bits cut", with([](TPcx& p) { p.Planes = 3, p.Palette = false; }), {EG_IMG, 3}},
      {"too short to fill it", with([](TPcx& p) { p.Width = 4000, p.Height = 4000; }), {EG_IMG, 3}},
      {"zero width", with([](TPcx& p) { p.Xmin = 1, p.Width = 0; }), {EG_IMG, 4}},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(test::ToString(Load(c.Bytes, "x.pcx")), test::ToString(c.Err)) << c.What;
    EXPECT_EQ(img_.Data, nullptr) << c.What;
  }
}

TEST_F(TgaPcxTest, PcxPrefixesLoadOrFailCleanly) {
  TPcx p8;
  p8.Width = 5;
  p8.Height = 3;
  p8.Data = {0xC6, 1, 2, 3, 0xC1, 0xC4, 0xC3, 9, 0xC2, 8, 0xC4, 7};
  SweepPrefixes(p8.Bytes(), "cut.pcx");
  SweepPrefixes(test::ReadWhole(test::DataFile("pcx/kimageformats/rgb.pcx")),
                "cut.pcx");
}

// ---- the writers ------------------------------------------------------------------------

TEST_F(TgaPcxTest, WrittenFilesAreReadBackAsTheSamePicture) {
  for (int bits : {8, 15, 24, 32}) {
    TImg pic;
    test::MakePicture(pic, 7, 5, bits, [bits](int32_t X, int32_t Y, uint8_t* P) {
      if (bits == 8) {
        *P = uint8_t(X * 5 + Y * 40 + 190);  // indices at and above 0xC0 need a run byte in PCX
      } else if (bits == 15) {
        const uint32_t w = uint32_t(X * 4) | (uint32_t(Y * 6) << 5) | (17u << 10);
        P[0] = uint8_t(w);
        P[1] = uint8_t(w >> 8);
      } else {
        P[0] = uint8_t(X * 30);
        P[1] = uint8_t(Y * 50);
        P[2] = X == Y ? 0xC5 : 0x20;
        if (bits == 32) P[3] = 0;
      }
    });
    for (int i = 0; i < 256; ++i) {
      pic.Palette[i][0] = uint8_t(i);
      pic.Palette[i][1] = uint8_t(i * 3);
      pic.Palette[i][2] = uint8_t(255 - i);
    }
    for (const char* ext : {".tga", ".pcx"}) {
      SCOPED_TRACE(std::to_string(bits) + ext);
      std::string path = dir_.Path("out" + std::to_string(bits) + ext);
      ASSERT_EQ(test::SaveFile(path, pic), kOk);
      // PCX keeps 15-bit pictures in 24 bits, TGA in 15.
      const int cmp = bits == 15 && std::string(ext) == ".tga" ? 5 : 8;
      std::vector<uint8_t> want = test::CanonicalRgb(pic, cmp);
      int w = 0, h = 0;
      std::vector<uint8_t> magick = test::MagickRgb(path, w, h);
      for (uint8_t& v : magick) v = uint8_t(v >> (8 - cmp));
      EXPECT_EQ(magick, want);
      std::vector<uint8_t> pillow = test::PillowRgb(path, w, h);
      for (uint8_t& v : pillow) v = uint8_t(v >> (8 - cmp));
      EXPECT_EQ(pillow, want);
      ASSERT_EQ(test::LoadFile(path, img_), kOk);
      EXPECT_EQ(test::CanonicalRgb(img_, cmp), want);
    }
    ImgFree(pic);
  }
}

}  // namespace
}  // namespace kvo
