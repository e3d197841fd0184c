// SPDX-License-Identifier: GPL-3.0-or-later
// The BMP codec: the writer of the logo files, the reader of the depths the
// system handles, odd files built in code, and a truncation sweep.
#include <gtest/gtest.h>

#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ByteCursor.h"
#include "formats/ConForm.h"
#include "formats/FF_BMP.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using test::kOk;
using test::TBytes;
using test::TErr;

uint32_t U32At(const std::string& S, size_t At) {
  TByteCursor c = CurMake(reinterpret_cast<const uint8_t*>(S.data()), S.size());
  c.pos = At;
  return CurU32LE(c);
}
uint32_t U16At(const std::string& S, size_t At) { return U32At(S, At) & 0xFFFF; }

// A bitmap with a 40-byte (or HeaderSize-byte) header; Table is the colour
// table as stored (4 bytes an entry), Rows the pixel data as stored.
std::string Bmp(int32_t W, int32_t H, int Bits, uint32_t Compression,
                const std::vector<uint8_t>& Table, const std::vector<uint8_t>& Rows,
                uint32_t HeaderSize = 40) {
  TBytes b;
  const uint32_t off = 14 + HeaderSize + static_cast<uint32_t>(Table.size());
  b.U8('B').U8('M').U32(off + static_cast<uint32_t>(Rows.size())).U32(0).U32(off);
  b.U32(HeaderSize).U32(static_cast<uint32_t>(W)).U32(static_cast<uint32_t>(H)).U16(1).U16(Bits);
  b.U32(Compression).U32(static_cast<uint32_t>(Rows.size())).U32(0).U32(0).U32(0).U32(0);
  if (HeaderSize > 40) b.Fill(HeaderSize - 40, 0);
  return b.Raw(Table).Raw(Rows).Str();
}

// A grey colour table of N entries: entry i is (i, i, i).
std::vector<uint8_t> GreyTable(int N) {
  std::vector<uint8_t> t;
  for (int i = 0; i < N; ++i) t.insert(t.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
  return t;
}

std::string WithU32(std::string S, size_t At, uint32_t V) {
  PutU32LE(reinterpret_cast<uint8_t*>(S.data()) + At, V);
  return S;
}

// 2 x 2 with the 12-byte header and a colour table of three 3-byte entries.
std::string CoreBmp() {
  TBytes b;
  b.U8('B').U8('M').U32(0).U32(0).U32(14 + 12 + 9).U32(12).U16(2).U16(2).U16(1).U16(8);
  b.Raw({1, 2, 3, 4, 5, 6, 7, 8, 9});     // blue, green, red
  b.Raw({2, 1, 0, 0}).Raw({0, 2, 0, 0});  // rows, bottom first, padded to 4
  return b.Str();
}

std::vector<uint8_t> Indices(const TImg& Img) {
  return std::vector<uint8_t>(Img.Data, Img.Data + Img.Width * Img.Height * Img.BytesPerPixel);
}

class BmpTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ImgFree(img_);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  // Loads Bytes stored under Name; the picture is left in img_.
  TErr Load(const std::string& Bytes, const char* Name = "x.bmp") {
    ImgFree(img_);
    return test::LoadFile(dir_.Write(Name, Bytes), img_);
  }
  test::TTempDir dir_;
  test::TTableCounts counts_;
  TImg img_;
};

// ---- writing ---------------------------------------------------------------------------

TEST_F(BmpTest, LogoIsWrittenExactlyAsTheHeaderTableSays) {
  TImg logo;
  test::MakePicture(logo, 320, 400, 8, [](int32_t X, int32_t Y, uint8_t* P) {
    *P = static_cast<uint8_t>(Y == 399 ? 7 : (X + Y) % 236);
  });
  for (int i = 0; i < 256; ++i) {
    logo.Palette[i][0] = uint8_t(i);         // blue
    logo.Palette[i][1] = uint8_t(255 - i);   // green
    logo.Palette[i][2] = uint8_t(i ^ 0x55);  // red
  }
  std::string path = dir_.Path("logo.sys");
  ASSERT_EQ(test::Kept([&] { DIBSave_(path, logo); }), kOk);
  std::string f = test::ReadWhole(path);
  ASSERT_EQ(f.size(), 129078u);
  EXPECT_EQ(f.substr(0, 2), "BM");
  EXPECT_EQ(U32At(f, 2), 129078u);
  EXPECT_EQ(U32At(f, 6), 0u);
  EXPECT_EQ(U32At(f, 10), 1078u);
  EXPECT_EQ(U32At(f, 14), 40u);
  EXPECT_EQ(U32At(f, 18), 320u);
  EXPECT_EQ(U32At(f, 22), 400u);
  EXPECT_EQ(U16At(f, 26), 1u);
  EXPECT_EQ(U16At(f, 28), 8u);
  EXPECT_EQ(U32At(f, 30), 0u);
  EXPECT_EQ(U32At(f, 34), 128000u);
  EXPECT_EQ(U32At(f, 38), 0u);
  EXPECT_EQ(U32At(f, 42), 0u);
  EXPECT_EQ(U32At(f, 46), 256u);
  EXPECT_EQ(U32At(f, 50), 256u);
  for (int i = 0; i < 256; ++i) {
    ASSERT_EQ(uint8_t(f[54 + 4 * i]), uint8_t(i));
    ASSERT_EQ(uint8_t(f[54 + 4 * i + 1]), uint8_t(255 - i));
    ASSERT_EQ(uint8_t(f[54 + 4 * i + 2]), uint8_t(i ^ 0x55));
    ASSERT_EQ(f[54 + 4 * i + 3], 0) << "entry " << i;
  }
  // The first row in the file is the picture's bottom row.
  EXPECT_EQ(f.substr(1078, 320), std::string(320, '\x07'));
  ImgFree(logo);
}

TEST_F(BmpTest, RowsArePaddedToFourBytesAndCounted) {
  TImg pic;
  test::MakePicture(pic, 3, 2, 24, [](int32_t X, int32_t Y, uint8_t* P) {
    P[0] = uint8_t(X);
    P[1] = uint8_t(Y);
    P[2] = 0xEE;
  });
  std::string path = dir_.Path("narrow.bmp");
  ASSERT_EQ(test::SaveFile(path, pic, FF_BMP), kOk);
  std::string f = test::ReadWhole(path);
  ASSERT_EQ(f.size(), 54u + 2 * 12);
  EXPECT_EQ(U32At(f, 2), 54u + 24);
  EXPECT_EQ(U32At(f, 34), 24u);
  EXPECT_EQ(U32At(f, 10), 54u);
  EXPECT_EQ(U32At(f, 46), 0u);
  EXPECT_EQ(f.substr(54 + 9, 3), std::string(3, '\0'));  // padding of the bottom row
  EXPECT_EQ(uint8_t(f[54 + 1]), 1);                      // bottom row first: Y = 1
  ImgFree(pic);
}

TEST_F(BmpTest, EachDepthIsReadBackByImageMagickAndPillowAsTheSamePicture) {
  for (int bits : {8, 15, 24, 32}) {
    SCOPED_TRACE(bits);
    TImg pic;
    test::MakePicture(pic, 13, 7, bits, [bits](int32_t X, int32_t Y, uint8_t* P) {
      if (bits == 8) {
        *P = uint8_t(X * 7 + Y);
      } else if (bits == 15) {
        const uint32_t w = (X * 2) | ((Y * 4) << 5) | (((X + Y) & 31) << 10);
        P[0] = uint8_t(w);
        P[1] = uint8_t(w >> 8);
      } else {
        P[0] = uint8_t(X * 19);
        P[1] = uint8_t(Y * 37);
        P[2] = uint8_t(X * Y);
        if (bits == 32) P[3] = 0;
      }
    });
    for (int i = 0; i < 256; ++i) {
      pic.Palette[i][0] = pic.Palette[i][1] = uint8_t(i);
      pic.Palette[i][2] = uint8_t(~i);
    }
    std::string path = dir_.Path("depth" + std::to_string(bits) + ".bmp");
    ASSERT_EQ(test::SaveFile(path, pic), kOk);
    EXPECT_EQ(U16At(test::ReadWhole(path), 28), bits == 15 ? 16u : unsigned(bits));
    const int cmp = bits == 15 ? 5 : 8;
    std::vector<uint8_t> want = test::CanonicalRgb(pic, cmp);
    int w = 0, h = 0;
    std::vector<uint8_t> magick = test::MagickRgb(path, w, h);
    for (uint8_t& v : magick) v = uint8_t(v >> (8 - cmp));
    EXPECT_EQ(magick, want);
    std::vector<uint8_t> pillow = test::PillowRgb(path, w, h);
    for (uint8_t& v : pillow) v = uint8_t(v >> (8 - cmp));
    EXPECT_EQ(pillow, want);
    // Our own reader takes all but 32 bits back, unchanged.
    TImg back;
    TErr e = test::LoadFile(path, back);
    if (bits == 32) {
      EXPECT_EQ(e, (TErr{EG_IMG, 1}));
    } else {
      ASSERT_EQ(e, kOk);
      EXPECT_EQ(back.BitsPerPixel, bits);
      EXPECT_EQ(Indices(back), Indices(pic));
    }
    ImgFree(back);
    ImgFree(pic);
  }
}

TEST_F(BmpTest, FiveSixFivePicturesAreWrittenInTwentyFourBits) {
  TImg pic;
  test::MakePicture(pic, 4, 4, 16, [](int32_t X, int32_t Y, uint8_t* P) {
    const uint32_t w = uint32_t(X * 8) | (uint32_t(Y * 16) << 5) | (31u << 11);
    P[0] = uint8_t(w);
    P[1] = uint8_t(w >> 8);
  });
  std::string path = dir_.Path("565.bmp");
  ASSERT_EQ(test::SaveFile(path, pic), kOk);
  EXPECT_EQ(U16At(test::ReadWhole(path), 28), 24u);
  ASSERT_EQ(test::LoadFile(path, img_), kOk);
  EXPECT_EQ(test::CanonicalRgb(img_), test::CanonicalRgb(pic));
  ImgFree(pic);
}

TEST_F(BmpTest, SavingReplacesAnOldFile) {
  std::string path = dir_.Write("old.bmp", std::string(200000, 'x'));
  TImg pic;
  test::MakePicture(pic, 4, 4, 24, [](int32_t, int32_t, uint8_t* P) { P[0] = P[1] = P[2] = 9; });
  ASSERT_EQ(test::SaveFile(path, pic), kOk);
  EXPECT_EQ(test::ReadWhole(path).size(), 54u + 48);
  ImgFree(pic);
}

// ---- reading odd files --------------------------------------------------------------------

TEST_F(BmpTest, CoreHeaderReadsThreeByteEntriesAndAShortTable) {
  ASSERT_EQ(Load(CoreBmp()), kOk);
  EXPECT_EQ(img_.Width, 2);
  EXPECT_EQ(img_.BitsPerPixel, 8);
  EXPECT_EQ(Indices(img_), (std::vector<uint8_t>{0, 2, 2, 1}));
  EXPECT_EQ(img_.Palette[2][0], 7);
  EXPECT_EQ(img_.Palette[2][2], 9);
  EXPECT_EQ(img_.Palette[3][0], 0);  // not in the file: black
  EXPECT_EQ(img_.Palette[255][1], 0);
}

TEST_F(BmpTest, TopDownRowsKeepTheirOrder) {
  std::vector<uint8_t> rows = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
  ASSERT_EQ(Load(Bmp(2, -2, 24, 0, {}, rows)), kOk);
  EXPECT_EQ(img_.Height, 2);
  EXPECT_EQ(Indices(img_), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  ASSERT_EQ(Load(Bmp(2, 2, 24, 0, {}, rows)), kOk);
  EXPECT_EQ(Indices(img_), (std::vector<uint8_t>{7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}));
}

TEST_F(BmpTest, Rle8MatchesItsUncompressedTwin) {
  // 5 x 3, bottom row first: rows "1 1 1 1 1", "2 3 4 5 6", "7 7 9 9 9".
  std::vector<uint8_t> plain = {1, 1, 1, 1, 1, 0, 0, 0, 2, 3, 4, 5,
                                6, 0, 0, 0, 7, 7, 9, 9, 9, 0, 0, 0};
  std::vector<uint8_t> rle = {5, 1, 0, 0,                    // run, end of line
                              0, 5, 2, 3, 4, 5, 6, 0, 0, 0,  // odd literal with its pad
                              2, 7, 3, 9, 0, 1};             // runs, end of bitmap
  ASSERT_EQ(Load(Bmp(5, 3, 8, 0, GreyTable(256), plain)), kOk);
  std::vector<uint8_t> want = Indices(img_);
  ASSERT_EQ(Load(Bmp(5, 3, 8, 1, GreyTable(256), rle)), kOk);
  EXPECT_EQ(Indices(img_), want);
  EXPECT_EQ(img_.Palette[9][1], 9);
  TFileInfo info;
  ASSERT_EQ(test::InfoFile(dir_.Path("x.bmp"), info), kOk);
  EXPECT_EQ(info.VideoCompression, "Run Length Encoding (RLE)");
}

TEST_F(BmpTest, Rle8MovesLinesAndStopsAtTheEdges) {
  // 4 x 3. Bottom row: a run that crosses the row's end is clipped there;
  // the end of line goes on to the next row; a move right; data ending
  // without an end-of-bitmap mark leaves the rest black.
  std::vector<uint8_t> rle = {6, 1, 0, 0, 0, 2, 1, 0, 1, 5};
  ASSERT_EQ(Load(Bmp(4, 3, 8, 1, GreyTable(16), rle)), kOk);
  EXPECT_EQ(Indices(img_), (std::vector<uint8_t>{0, 0, 0, 0,  //
                                                 0, 5, 0, 0,  // moved right by 1
                                                 1, 1, 1, 1}));
  // 3 x 2, each row a run, then a run over the row's padding (as
  // ImageMagick writes them), or a literal that crosses the row's end.
  ASSERT_EQ(Load(Bmp(3, 2, 8, 1, GreyTable(16), {3, 1, 1, 0, 0, 0, 0, 4, 2, 3, 4, 5, 0, 0})),
            kOk);
  EXPECT_EQ(Indices(img_), (std::vector<uint8_t>{2, 3, 4, 1, 1, 1}));
  // A move from the row's end counts on into the next row, as before.
  ASSERT_EQ(Load(Bmp(3, 2, 8, 1, GreyTable(16), {3, 1, 0, 2, 1, 0, 2, 6})), kOk);
  EXPECT_EQ(Indices(img_), (std::vector<uint8_t>{0, 6, 6, 1, 1, 1}));
  // An end of line at the start of an untouched row leaves that row blank.
  ASSERT_EQ(Load(Bmp(2, 3, 8, 1, GreyTable(16), {0, 0, 2, 3, 0, 0, 2, 4})), kOk);
  EXPECT_EQ(Indices(img_), (std::vector<uint8_t>{4, 4, 3, 3, 0, 0}));
  // Runs, literals and moves past the end stop there.
  ASSERT_EQ(Load(Bmp(2, 2, 8, 1, GreyTable(16), {200, 1, 255, 2, 0, 2, 255, 255, 3, 3})), kOk);
  EXPECT_EQ(Indices(img_), (std::vector<uint8_t>{0, 0, 1, 1}));
  ASSERT_EQ(Load(Bmp(2, 2, 8, 1, GreyTable(16), {0, 2, 1, 1, 0, 9, 1, 2, 3, 4, 5, 6})), kOk);
  EXPECT_EQ(Indices(img_), (std::vector<uint8_t>{0, 1, 0, 0}));
  // A literal longer than the data that is left.
  ASSERT_EQ(Load(Bmp(4, 1, 8, 1, GreyTable(16), {0, 9, 1, 2})), kOk);
  EXPECT_EQ(Indices(img_), (std::vector<uint8_t>{1, 2, 0, 0}));
  // Top-down run-length data is painted in file order.
  ASSERT_EQ(Load(Bmp(2, -2, 8, 1, GreyTable(16), {2, 1, 0, 0, 2, 2, 0, 1})), kOk);
  EXPECT_EQ(Indices(img_), (std::vector<uint8_t>{1, 1, 2, 2}));
}

// The ImageMagick files and the pixels ImageMagick decodes them to.
std::string MagickFile(const std::string& Name) {
  return test::DataFile("bmp/imagemagick/" + Name);
}

std::vector<uint8_t> MagickPixels(const std::string& Name, int Bits = 8) {
  const std::string raw = test::ReadWhole(MagickFile(Name));
  std::vector<uint8_t> rgb(raw.begin(), raw.end());
  if (Bits == 5)
    for (uint8_t& v : rgb) v >>= 3;
  return rgb;
}

TEST_F(BmpTest, Rle8FromImageMagickDecodesAsImageMagickDecodesIt) {
  // 37 pixels a row: each row's runs cover its 3 bytes of padding.
  ASSERT_EQ(test::LoadFile(MagickFile("rle8-37.bmp"), img_), kOk);
  EXPECT_EQ(img_.Width, 37);
  EXPECT_EQ(test::CanonicalRgb(img_), MagickPixels("rle8-37.raw"));
}

TEST_F(BmpTest, SixteenBitFilesAreReadThroughFiveSixFiveMasks) {
  const std::vector<uint8_t> rows = {0x34, 0x12, 0xFF, 0x7F};
  const std::vector<uint8_t> m565 = {0, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0};
  const std::vector<uint8_t> m555 = {0, 0x7C, 0, 0, 0xE0, 0x03, 0, 0, 0x1F, 0, 0, 0};
  const std::vector<uint8_t> m444 = {0, 0x0F, 0, 0, 0xF0, 0, 0, 0, 0x0F, 0, 0, 0};
  std::string v4 = Bmp(2, 1, 16, 3, {}, rows, 108);
  std::memcpy(v4.data() + 54, m565.data(), m565.size());  // the header holds the masks
  struct TCase {
    const char* What;
    std::string Bytes;
    int32_t Bits;
  } cases[] = {
      {"5-6-5 after a 40-byte header", Bmp(2, 1, 16, 3, m565, rows), 16},
      {"5-6-5 inside a V4 header", v4, 16},
      {"5-5-5", Bmp(2, 1, 16, 3, m555, rows), 15},
      {"other masks", Bmp(2, 1, 16, 3, m444, rows), 15},
      {"no room for masks", Bmp(2, 1, 16, 3, {}, rows), 15},
      {"no bit fields", Bmp(2, 1, 16, 0, m565, rows), 15},
  };
  for (const TCase& c : cases) {
    ASSERT_EQ(Load(c.Bytes), kOk) << c.What;
    EXPECT_EQ(img_.BitsPerPixel, c.Bits) << c.What;
    EXPECT_EQ(img_.BytesPerPixel, 2) << c.What;
    EXPECT_EQ(Indices(img_), rows) << c.What;  // the words as stored
    TFileInfo info;
    ASSERT_EQ(test::InfoFile(dir_.Path("x.bmp"), info), kOk);
    EXPECT_EQ(info.BitsPerPixel, c.Bits) << c.What;
  }
  // Written by ImageMagick: 0x8410 is mid grey, and a photograph shows the
  // colours ImageMagick decodes.
  ASSERT_EQ(test::LoadFile(MagickFile("grey565.bmp"), img_), kOk);
  EXPECT_EQ(test::CanonicalRgb(img_), std::vector<uint8_t>(4 * 2 * 3, 128));
  ASSERT_EQ(test::LoadFile(MagickFile("rgb565-37.bmp"), img_), kOk);
  EXPECT_EQ(test::CanonicalRgb(img_, 5), MagickPixels("rgb565-37.raw", 5));
}

TEST_F(BmpTest, FieldsPastAShortHeaderCountAsZero) {
  // A 16-byte OS/2 2.x header: what follows is the colour table, even when
  // its bytes look like a compression field.
  std::vector<uint8_t> table = GreyTable(2);
  table[0] = 1;  // would read as compression 1 (RLE8) in a 40-byte header
  TBytes b;
  b.U8('B').U8('M').U32(0).U32(0).U32(14 + 16 + 8).U32(16).U32(2).U32(1).U16(1).U16(8);
  b.Raw(table).Raw({1, 0, 0, 0});
  ASSERT_EQ(Load(b.Str()), kOk);
  EXPECT_EQ(Indices(img_), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(img_.Palette[0][0], 1);
}

TEST_F(BmpTest, RefusalsNameTheirReason) {
  const std::vector<uint8_t> row4 = {0, 0, 0, 0};
  struct TCase {
    const char* What;
    std::string Bytes;
    TErr Err;
  } cases[] = {
      {"not a bitmap", "PK" + std::string(60, '\0'), {EG_IMG, 2}},
      {"shorter than its header", "BM" + std::string(10, '\0'), {EG_FILE, 3}},
      {"1 bit", Bmp(8, 1, 1, 0, GreyTable(2), row4), {EG_IMG, 1}},
      {"4-bit RLE", Bmp(2, 1, 4, 2, GreyTable(16), {2, 0x12, 0, 1}), {EG_IMG, 1}},
      {"32 bits", Bmp(1, 1, 32, 0, {}, row4), {EG_IMG, 1}},
      {"24-bit RLE", Bmp(1, 1, 24, 4, {}, row4), {EG_IMG, 1}},
      {"8-bit bit fields", Bmp(4, 1, 8, 3, GreyTable(2), row4), {EG_IMG, 1}},
      {"zero width", Bmp(0, 1, 24, 0, {}, row4), {EG_IMG, 4}},
      {"negative width", Bmp(-4, 1, 8, 0, GreyTable(2), row4), {EG_IMG, 4}},
      {"zero height", Bmp(4, 0, 8, 0, GreyTable(2), row4), {EG_IMG, 4}},
      {"header length 13", Bmp(4, 1, 8, 0, {}, row4, 13), {EG_IMG, 4}},
      {"header longer than the file", WithU32(Bmp(4, 1, 8, 0, {}, row4), 14, 5000), {EG_IMG, 4}},
      {"rows missing", Bmp(4, 3, 8, 0, GreyTable(2), row4), {EG_FILE, 3}},
      {"huge plain", Bmp(30000, 30000, 24, 0, {}, row4), {EG_IMG, 12}},
      {"huge RLE", Bmp(20000, 20000, 8, 1, GreyTable(2), {0, 1}), {EG_IMG, 12}},
      {"INT_MIN height", Bmp(4, INT32_MIN, 8, 1, GreyTable(2), {0, 1}), {EG_IMG, 12}},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(test::ToString(Load(c.Bytes)), test::ToString(c.Err)) << c.What;
    EXPECT_EQ(img_.Data, nullptr) << c.What;
  }
  // A picture refused for its size says which size.
  ASSERT_EQ(Load(Bmp(30000, 20000, 24, 0, {}, row4)), (TErr{EG_IMG, 12}));
  EXPECT_EQ(ErrorText(EG_IMG, 12), "Picture too large (30000 \u00D7 20000).");
  // Pixel data that starts past the end of the file.
  std::string plain = Bmp(4, 1, 24, 0, {}, std::vector<uint8_t>(12, 0));
  std::string rle = Bmp(4, 1, 8, 1, GreyTable(2), {4, 1, 0, 1});
  for (const std::string& f : {plain, rle})
    EXPECT_EQ(Load(WithU32(f, 10, 0xFFF0)), (TErr{EG_FILE, 3}));
  EXPECT_EQ(test::LoadFile(dir_.Path("missing.bmp"), img_), (TErr{EG_FILE, 1}));
  EXPECT_EQ(LastFileName(), dir_.Path("missing.bmp"));
}

TEST_F(BmpTest, InfoDescribesWhatLoadWouldRefuse) {
  TFileInfo info;
  dir_.Write("32.bmp", Bmp(3, 2, 32, 0, {}, std::vector<uint8_t>(24, 0)));
  ASSERT_EQ(test::InfoFile(dir_.Path("32.bmp"), info), kOk);
  EXPECT_EQ(info.Width, 3);
  EXPECT_EQ(info.BitsPerPixel, 32);
  EXPECT_EQ(info.BytesPerPixel, 4);
  EXPECT_NE(info.VideoValid, 0);
  EXPECT_EQ(info.VideoLoadable, 0);
  dir_.Write("flat.bmp", Bmp(3, 0, 24, 0, {}, {}));
  ASSERT_EQ(test::InfoFile(dir_.Path("flat.bmp"), info), kOk);
  EXPECT_EQ(info.VideoValid, 0);
  EXPECT_NE(info.VideoLoadable, 0);
  // Too large to load: described, but not as loadable.
  dir_.Write("huge.bmp", Bmp(30000, 30000, 24, 0, {}, {}));
  ASSERT_EQ(test::InfoFile(dir_.Path("huge.bmp"), info), kOk);
  EXPECT_NE(info.VideoValid, 0);
  EXPECT_EQ(info.VideoLoadable, 0);
}

// ---- truncation -----------------------------------------------------------------------------

// Every prefix of each fixture: a picture or an error, never a crash, and
// the tables back to their counts.
TEST_F(BmpTest, EveryPrefixOfSmallFilesLoadsOrFailsCleanly) {
  const std::string root = test::DataDir();
  std::vector<std::string> fixtures = {
      test::ReadWhole(root + "bmp/image-rs/Info_8_Bit.bmp"),
      test::ReadWhole(root + "bmp/image-rs/Info_X1_R5_G5_B5_Top_Down.bmp"),
      test::ReadWhole(root + "bmp/megazeux/rle_8bpp.bmp"),
      CoreBmp(),
      test::ReadWhole(root + "bmp/megazeux/true_24bpp.bmp"),
      Bmp(5, 3, 8, 1, GreyTable(4), {5, 1, 0, 0, 0, 5, 2, 3, 4, 5, 6, 0, 0, 0, 2, 7, 3, 9, 0, 1}),
  };
  for (const std::string& whole : fixtures) {
    ASSERT_FALSE(whole.empty());
    int pictures = 0;
    for (size_t n = 0; n <= whole.size(); ++n) {
      test::TTableCounts before;
      TErr e = Load(whole.substr(0, n));
      if (e == kOk) {
        ++pictures;
        EXPECT_TRUE(ImgIsValid(img_)) << n;
      } else {
        EXPECT_EQ(img_.Data, nullptr) << n;
      }
      ImgFree(img_);
      ASSERT_TRUE(before.Same()) << "prefix " << n << ": " << before.Describe();
    }
    EXPECT_GE(pictures, 1);
  }
}

}  // namespace
}  // namespace kvo
