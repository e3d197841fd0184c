// SPDX-License-Identifier: GPL-3.0-or-later
// The palette quantiser: counting, box splitting, palette building, the
// dark entry first, remapping with and without error diffusion.
//
// Expected palettes and pixels are worked out by hand in the comments; a
// 6-bit cell coordinate c becomes the component 4 * c (0 for c = 0).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "image/IMGBasic.h"
#include "image/PalOpt.h"

namespace kvo {
namespace {

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Rgb& c) {
  return os << "(" << c.r << "," << c.g << "," << c.b << ")";
}

constexpr Rgb kWhite{255, 255, 255};

// Pixels of 24 or 32 bits from colours, row by row; the fourth byte of a
// 32-bit pixel is 0xAB so that a change to it shows.
void Make(TImg& Img, int W, int H, const std::vector<Rgb>& Pixels, int Bits = 24) {
  ImgAlloc(Img, W, H, Bits);
  const int step = Bits == 32 ? 4 : 3;
  for (size_t i = 0; i < Pixels.size(); ++i) {
    uint8_t* p = Img.Data + i * step;
    p[0] = static_cast<uint8_t>(Pixels[i].b);
    p[1] = static_cast<uint8_t>(Pixels[i].g);
    p[2] = static_cast<uint8_t>(Pixels[i].r);
    if (step == 4) p[3] = 0xAB;
  }
}

void MakeWords(TImg& Img, int Bits, const std::vector<uint16_t>& Words) {
  ImgAlloc(Img, static_cast<int32_t>(Words.size()), 1, Bits);
  for (size_t i = 0; i < Words.size(); ++i) {
    Img.Data[2 * i] = static_cast<uint8_t>(Words[i] & 0xFF);
    Img.Data[2 * i + 1] = static_cast<uint8_t>(Words[i] >> 8);
  }
}

Rgb PixelAt(const TImg& Img, int64_t I) {
  const uint8_t* p = Img.Data + I * Img.BytesPerPixel;
  return {p[2], p[1], p[0]};
}

Rgb Entry(int I) {
  const TQuant* q = PalQuant();
  return {q->Pal[I][2], q->Pal[I][1], q->Pal[I][0]};
}

std::vector<int> Indices(const TImg& Img) {
  return std::vector<int>(Img.Data, Img.Data + static_cast<int64_t>(Img.Width) * Img.Height);
}

int32_t Cell(const Rgb& C) {
  return PalCell(static_cast<uint8_t>(C.r), static_cast<uint8_t>(C.g), static_cast<uint8_t>(C.b));
}

class Quantiser : public testing::Test {
 protected:
  void SetUp() override {
    mem_ = MemCount();
    files_ = FCount();
    ClearError();
  }
  void TearDown() override {
    PalDone();
    for (TImg* img : {&src_, &dest_, &other_}) ImgFree(*img);
    EXPECT_EQ(PalQuant(), nullptr);
    EXPECT_EQ(MonDepth(), 0);
    EXPECT_EQ(MemCount(), mem_) << "a tracked block was left behind";
    EXPECT_EQ(FCount(), files_);
  }
  // Counts the pictures into a fresh cube and reduces to N entries.
  void CountAndReduce(std::vector<const TImg*> Pictures, int32_t N) {
    PalInit();
    for (const TImg* p : Pictures) PalCountColors(*p);
    PalReduce(N);
  }
  // The whole sequence for one picture; the palette stays for inspection.
  std::vector<int> Quantise(const std::vector<Rgb>& Pixels, int32_t N, int W = 0) {
    if (W == 0) W = static_cast<int>(Pixels.size());
    Make(src_, W, static_cast<int>(Pixels.size()) / W, Pixels);
    CountAndReduce({&src_}, N);
    PalRemap(src_, dest_, 0);
    return Indices(dest_);
  }
  void ExpectEntries(const std::vector<Rgb>& Expected) {
    for (size_t i = 0; i < Expected.size(); ++i)
      EXPECT_EQ(Entry(static_cast<int>(i)), Expected[i]) << "entry " << i;
  }
  void ExpectImgError(int32_t Code, const std::function<void()>& Call) {
    EXPECT_THROW(Call(), EMon);
    EXPECT_EQ(ErrGroup(), EG_IMG);
    EXPECT_EQ(ErrCode(), Code);
    ClearError();
  }

  TImg src_, dest_, other_;
  int mem_ = 0, files_ = 0;
};

// ---- error tables --------------------------------------------------------------

TEST(PalErrTable, FollowsTheRoundedSixteenthsAndFadesOut) {
  // b(i) = w * i / 16 rounded half to even, i = 0..19, worked out by hand
  // (e.g. weight 7, i = 8: 3.5 -> 4; weight 5, i = 8: 2.5 -> 2; weight 1,
  // i = 8: 0.5 -> 0).
  const int b[4][20] = {
      {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
      {0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 4},
      {0, 0, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 6, 6},
      {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 4, 5, 5, 6, 6, 7, 7, 7, 8, 8}};
  const int weights[4] = {1, 3, 5, 7};
  for (int w = 0; w < 4; ++w) {
    int32_t t[ERR_TABLE_SIZE];
    _MakeErrTable(weights[w], t);
    for (int e = 0; e <= 19; ++e) {
      EXPECT_EQ(t[255 + e], b[w][e]) << weights[w] << " " << e;
      EXPECT_EQ(t[255 - e], -b[w][e]) << weights[w] << " " << -e;
    }
    for (int e = 58; e <= 255; ++e) {
      EXPECT_EQ(t[255 + e], 0);
      EXPECT_EQ(t[255 - e], 0);
    }
  }
  int32_t t7[ERR_TABLE_SIZE], t5[ERR_TABLE_SIZE], t3[ERR_TABLE_SIZE];
  _MakeErrTable(7, t7);
  _MakeErrTable(5, t5);
  _MakeErrTable(3, t3);
  EXPECT_EQ(t7[255 + 20], 0);   // b(1) div 2 = 0 div 2
  EXPECT_EQ(t7[255 + 38], 4);   // b(19) div 2 = 8 div 2
  EXPECT_EQ(t7[255 - 38], -4);
  EXPECT_EQ(t7[255 + 39], 0);   // b(1) div 4
  EXPECT_EQ(t7[255 + 57], 2);   // b(19) div 4 = 8 div 4
  EXPECT_EQ(t7[255 - 57], -2);
  EXPECT_EQ(t5[255 + 37], 3);   // b(18) div 2 = 6 div 2
  EXPECT_EQ(t3[255 + 57], 1);   // b(19) div 4 = 4 div 4
}

// ---- counting --------------------------------------------------------------------

TEST_F(Quantiser, CountsEachDepthIntoItsSixBitCell) {
  PalInit();
  const int32_t* hist = PalQuant()->Hist;
  // 24 bits: two red pixels -> cell (63, 0, 0) holds 2 - 1.
  Make(src_, 3, 1, {{255, 0, 0}, {255, 0, 0}, {0, 0, 255}});
  PalCountColors(src_);
  EXPECT_EQ(hist[63], 1);
  EXPECT_EQ(hist[63 << 12], 0);
  EXPECT_EQ(hist[0], PAL_EMPTY);
  // 32 bits: the fourth byte is not part of the colour.
  PalClearVars();
  Make(other_, 1, 1, {{0, 255, 0}}, 32);
  PalCountColors(other_);
  EXPECT_EQ(hist[63 << 6], 0);
  EXPECT_EQ(std::count(hist, hist + PAL_CUBE_CELLS, PAL_EMPTY), PAL_CUBE_CELLS - 1);
  // 15 bits: red 10-14, green 5-9, blue 0-4; a 5-bit 31 is cell 62.
  PalClearVars();
  MakeWords(other_, 15, {0x7C00, 0x03E0, 0x001F, 0x7C00});
  PalCountColors(other_);
  EXPECT_EQ(hist[62], 1);
  EXPECT_EQ(hist[62 << 6], 0);
  EXPECT_EQ(hist[62 << 12], 0);
  // 16 bits: red 11-15, green 5-10 (six bits, 63 is cell 63), blue 0-4.
  PalClearVars();
  MakeWords(other_, 16, {0xF800, 0x07E0, 0x001F});
  PalCountColors(other_);
  EXPECT_EQ(hist[62], 0);
  EXPECT_EQ(hist[63 << 6], 0);
  EXPECT_EQ(hist[62 << 12], 0);
  EXPECT_EQ(std::count(hist, hist + PAL_CUBE_CELLS, PAL_EMPTY), PAL_CUBE_CELLS - 3);
  // Other depths add nothing (no block needed either).
  TImg odd;
  odd.Width = odd.Height = 4;
  odd.BitsPerPixel = 4;
  PalCountColors(odd);
  EXPECT_EQ(std::count(hist, hist + PAL_CUBE_CELLS, PAL_EMPTY), PAL_CUBE_CELLS - 3);
}

TEST_F(Quantiser, EightBitCountsGoThroughThePalette) {
  // Indices 0, 1, 1, 4. Entries 0 and 1 are both (8, 8, 8), so their cell
  // gets 3 pixels (value 2). Entry 2 (white) is unused, and so are entries
  // 3, 5..255, left black: black gets no count.
  ImgAlloc(src_, 4, 1, 8);
  const uint8_t idx[4] = {0, 1, 1, 4};
  std::memcpy(src_.Data, idx, 4);
  std::memset(src_.Palette, 0, sizeof src_.Palette);
  for (int i : {0, 1}) src_.Palette[i][0] = src_.Palette[i][1] = src_.Palette[i][2] = 8;
  std::memset(src_.Palette[2], 255, 3);
  src_.Palette[4][2] = 200;  // red
  PalInit();
  PalCountColors(src_);
  const int32_t* hist = PalQuant()->Hist;
  EXPECT_EQ(hist[Cell({8, 8, 8})], 2);
  EXPECT_EQ(hist[Cell({200, 0, 0})], 0);
  EXPECT_EQ(hist[Cell(kWhite)], PAL_EMPTY);
  EXPECT_EQ(hist[0], PAL_EMPTY);
}

TEST_F(Quantiser, CountsSaturateAndSaturatedCountsStillReduce) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  PalInit();
  int32_t* hist = PalQuant()->Hist;
  // Three more pixels on 2147483646 (2^31 - 1 pixels) stay at the top.
  hist[Cell({255, 0, 0})] = kMax - 1;
  Make(src_, 3, 1, {{255, 0, 0}, {255, 0, 0}, {255, 0, 0}});
  PalCountColors(src_);
  EXPECT_EQ(hist[Cell({255, 0, 0})], kMax);
  // The 8-bit path adds whole counts: 2147483640 + 10 would wrap.
  hist[0] = kMax - 7;
  ImgAlloc(other_, 10, 1, 8);
  std::memset(other_.Data, 0, 10);
  std::memset(other_.Palette, 0, sizeof other_.Palette);
  PalCountColors(other_);
  EXPECT_EQ(hist[0], kMax);
  // Black with 2^31 pixels, (4, 0, 0) with one and green: two entries.
  // The green cut (63 > 0) parts {black, (4,0,0)} from green; red's scaled
  // mean 4 * 1 / (2^31 + 1) is 0, so the first entry is black.
  Make(src_, 2, 1, {{4, 0, 0}, {0, 252, 0}});
  PalCountColors(src_);
  hist[Cell({255, 0, 0})] = PAL_EMPTY;
  PalReduce(2);
  ExpectEntries({{0, 0, 0}, {0, 252, 0}});
}

// ---- palettes --------------------------------------------------------------------

TEST_F(Quantiser, FewColoursGetOneEntryEachInCubeOrderAndTheRestWhite) {
  // Cells (r + 64 g + 4096 b): black 0, (200,2,0) -> (50,0,0) = 50,
  // (7,130,3) -> (1,32,0) = 2049, (0,0,65) -> (0,0,16) = 65536, white
  // 262143. (3,2,1) shares black's cell. Entries are 4 * coordinate.
  const Rgb black{0, 0, 0}, red{200, 2, 0}, green{7, 130, 3}, blue{0, 0, 65}, nearBlack{3, 2, 1};
  std::vector<int> idx = Quantise({kWhite, green, blue, black, red, nearBlack}, 235);
  ExpectEntries({{0, 0, 0}, {200, 0, 0}, {4, 128, 0}, {0, 0, 64}, {252, 252, 252}});
  for (int i = 5; i < 256; ++i) EXPECT_EQ(Entry(i), kWhite) << i;
  EXPECT_EQ(idx, (std::vector<int>{4, 2, 3, 0, 1, 0}));
  EXPECT_EQ(PalQuant()->ColorCount, 5);
  EXPECT_EQ(std::memcmp(dest_.Palette, PalQuant()->Pal, sizeof dest_.Palette), 0);
}

TEST_F(Quantiser, WhiteBecomes252OnBothPaths) {
  // Alone (one entry per colour) and among more colours than entries,
  // where white's box holds only white: components never exceed 252.
  std::vector<int> idx = Quantise({kWhite}, 235);
  EXPECT_EQ(Entry(idx[0]), (Rgb{252, 252, 252}));
  idx = Quantise({kWhite, {0, 0, 0}, {4, 0, 0}}, 2);
  EXPECT_EQ(Entry(idx[0]), (Rgb{252, 252, 252}));
}

TEST_F(Quantiser, BoxMeansAreTruncatedAndNearBlackBecomesBlack) {
  // Red coordinates 10 (one pixel) and 11 (two) share a box once green
  // (extent 63) is cut: 4 * (10 + 22) / 3 = 42.67 -> 42 (rounding: 43).
  Quantise({{40, 0, 0}, {44, 0, 0}, {44, 0, 0}, {0, 252, 0}}, 2);
  ExpectEntries({{42, 0, 0}, {0, 252, 0}});
  // Black and (4,0,0): 4 * 1 / 2 = 2, below 4, so exact black.
  std::vector<int> idx = Quantise({{0, 0, 0}, {4, 0, 0}, {0, 252, 0}}, 2);
  ExpectEntries({{0, 0, 0}, {0, 252, 0}});
  EXPECT_EQ(idx, (std::vector<int>{0, 0, 1}));
}

TEST_F(Quantiser, GreenWinsAnAxisTieAndUncountedColoursFindTheirBox) {
  // Coordinates (0,0,0), (63,0,0), (0,63,63), (0,0,63): every extent is 63,
  // green is cut at 31. Box 0 {black, red, blue} has the mean (21, 0, 21)
  // -> 4 * 63 / 3 = 84; box 1 is (0, 63, 63). A red cut would group black,
  // cyan and blue, a blue cut black and red.
  std::vector<int> idx = Quantise({{0, 0, 0}, {252, 0, 0}, {0, 252, 252}, {0, 0, 252}}, 2);
  ExpectEntries({{84, 0, 84}, {0, 252, 252}});
  EXPECT_EQ(idx, (std::vector<int>{0, 0, 1, 0}));
  EXPECT_EQ(PalQuant()->BoxCount, 2);
  // (100,0,100) lies in box 0 (r 0..63, g 0, b 0..63): index 0. (0,128,0)
  // lies in no box: 255 without dithering. Dithered, the search gives
  // entry 0: 9*128^2 + 5*84^2 = 182736 < 9*124^2 + 252^2 = 201888.
  Make(other_, 2, 1, {{100, 0, 100}, {0, 128, 0}});
  PalRemap(other_, dest_, 0);
  EXPECT_EQ(Indices(dest_), (std::vector<int>{0, 255}));
  Make(other_, 1, 1, {{0, 128, 0}});
  PalRemap(other_, dest_, -1);
  EXPECT_EQ(Indices(dest_), (std::vector<int>{0}));
  EXPECT_EQ(PalQuant()->Hist[Cell({0, 128, 0})], 0) << "the search result is cached";
}

TEST_F(Quantiser, RedWinsAnAxisTieWithBlue) {
  // Coordinates (0,0,0), (63,0,0), (0,0,63), (63,10,63): DR = DB = 63 > DG.
  // Red cut at 31: {black, blue} -> (0, 0, 4*63/2 = 126); {red, (63,10,63)}
  // -> (252, 4*10/2 = 20, 126). A blue cut would give (126, 0, 0) first.
  Quantise({{0, 0, 0}, {252, 0, 0}, {0, 0, 252}, {252, 40, 252}}, 2);
  ExpectEntries({{0, 0, 126}, {252, 20, 126}});
}

TEST_F(Quantiser, SplitsByPopulationFirstThenByVolume) {
  // Six colours, four entries. Sparse pair S1 (0,0,0), S2 (30,0,0); dense
  // D (20..22, 24 at g 63). Cut 1: green at 31 -> {S} (volume 4*30^2 =
  // 3600, 2 cells) and {D} (volume 4*4^2 = 64, 4 cells). Cut 2 (2 * 2 <= 4:
  // by population): D at red 22 -> {20,21,22} and {24}, new box 2. Cut 3
  // (by volume): S -> {S1} and {S2}, new box 3. Volume first would have
  // made S2 box 2 and D4 box 3.
  Quantise({{0, 0, 0}, {120, 0, 0}, {80, 252, 0}, {84, 252, 0}, {88, 252, 0}, {96, 252, 0}}, 4);
  ExpectEntries({{0, 0, 0}, {84, 252, 0}, {96, 252, 0}, {120, 0, 0}});
  EXPECT_EQ(PalQuant()->BoxCount, 4);
  // A tie goes to the lower index. Green cut first: {(0,0,0), (10,0,0)}
  // and {(0,63,0), (10,63,0)}, both of volume 4*10^2 and 2 cells. The
  // second cut (by volume, 2 * 2 > 3) takes box 0; box 1 keeps the mean
  // (5, 63, 0) -> (20, 252, 0).
  Quantise({{0, 0, 0}, {40, 0, 0}, {0, 252, 0}, {40, 252, 0}}, 3);
  ExpectEntries({{0, 0, 0}, {20, 252, 0}, {40, 0, 0}});
}

TEST_F(Quantiser, DarkestEntryComesFirst) {
  // Cube order puts (252,252,0) (cell 4095) before (60,60,60) (cell 62415);
  // the latter is nearer black (14*60^2 against 13*252^2) and swaps to 0.
  // Neither is dark.
  std::vector<int> idx = Quantise({{252, 252, 0}, {60, 60, 60}}, 235);
  ExpectEntries({{60, 60, 60}, {252, 252, 0}});
  EXPECT_EQ(idx, (std::vector<int>{1, 0}));
  // A tie goes to the lower index: (4,4,0) (cell 65) and (0,4,8) (cell
  // 8256) are both 208 from black (4*16 + 9*16, 9*16 + 64); red (cell 63)
  // is first. Entry 1 moves to 0.
  idx = Quantise({{252, 0, 0}, {4, 4, 0}, {0, 4, 8}}, 235);
  ExpectEntries({{4, 4, 0}, {252, 0, 0}, {0, 4, 8}});
  EXPECT_EQ(idx, (std::vector<int>{1, 0, 2}));
  EXPECT_EQ(PalQuant()->Hist[Cell({4, 4, 0})], 0);
  EXPECT_EQ(PalQuant()->Hist[Cell({252, 0, 0})], 1);
}

TEST_F(Quantiser, WantedIsClampedTo2Through256) {
  const std::vector<Rgb> three{{0, 0, 0}, {252, 0, 0}, {0, 252, 0}};
  Make(src_, 3, 1, three);
  for (auto [n, wanted] : std::vector<std::pair<int32_t, int32_t>>{
           {1, 2}, {0, 2}, {-7, 2}, {std::numeric_limits<int32_t>::min(), 2}, {2, 2},
           {256, 256}, {257, 256}, {std::numeric_limits<int32_t>::max(), 256}}) {
    CountAndReduce({&src_}, n);
    EXPECT_EQ(PalQuant()->Wanted, wanted) << n;
  }
  // With 2 wanted the three colours share two boxes.
  CountAndReduce({&src_}, 1);
  EXPECT_EQ(PalQuant()->BoxCount, 2);
}

TEST_F(Quantiser, NothingCountedGivesAnAllWhitePalette) {
  PalInit();
  PalReduce(235);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(Entry(i), kWhite);
  Make(src_, 2, 1, {{10, 20, 30}, {200, 100, 0}});
  PalRemap(src_, dest_, 0);
  EXPECT_EQ(Indices(dest_), (std::vector<int>{255, 255}));
}

// ---- remapping -------------------------------------------------------------------

TEST_F(Quantiser, EightBitPicturesGoThroughTheirPaletteAndAreNeverDithered) {
  // Entries black, white, red (200,0,0): cube order black (cell 0), red
  // (50), white. Pixels 0 1 2 1 -> 0 2 1 2, dithered or not; the source
  // is left as it was.
  ImgAlloc(src_, 2, 2, 8);
  const uint8_t idx[4] = {0, 1, 2, 1};
  std::memcpy(src_.Data, idx, 4);
  std::memset(src_.Palette, 0, sizeof src_.Palette);
  std::memset(src_.Palette[1], 255, 3);
  src_.Palette[2][2] = 200;
  CountAndReduce({&src_}, 235);
  for (int32_t dither : {0, 1}) {
    PalRemap(src_, dest_, dither);
    EXPECT_EQ(Indices(dest_), (std::vector<int>{0, 2, 1, 2}));
    EXPECT_EQ(std::memcmp(src_.Data, idx, 4), 0);
    EXPECT_EQ(dest_.BitsPerPixel, 8);
    EXPECT_EQ(std::memcmp(dest_.Palette, PalQuant()->Pal, sizeof dest_.Palette), 0);
  }
}

TEST_F(Quantiser, FifteenAndSixteenBitFieldsAreWidenedWithZeroLowBits) {
  // Red, green, blue, white at full field values. 15 bits: 31 -> 248.
  // 16 bits: green 63 -> 252. Cube order red (62), green (62*64 or 63*64),
  // blue (62*4096), white; blue is nearest black (248^2) and goes to 0.
  for (int bits : {15, 16}) {
    const bool g6 = bits == 16;
    const std::vector<uint16_t> words =
        g6 ? std::vector<uint16_t>{0xF800, 0x07E0, 0x001F, 0xFFFF}
           : std::vector<uint16_t>{0x7C00, 0x03E0, 0x001F, 0x7FFF};
    MakeWords(src_, bits, words);
    CountAndReduce({&src_}, 235);
    const int g = g6 ? 252 : 248;
    ExpectEntries({{0, 0, 248}, {0, g, 0}, {248, 0, 0}, {248, g, 248}});
    ImgAlloc(dest_, 4, 1, 8);
    const int memBefore = MemCount();
    for (int32_t dither : {0, 1}) {
      PalRemap(src_, dest_, dither);
      EXPECT_EQ(Indices(dest_), (std::vector<int>{2, 1, 0, 3})) << bits << " " << dither;
      EXPECT_EQ(MemCount(), memBefore) << "temporary 24-bit copy released";
    }
    // Diffusion worked on the copy.
    for (size_t i = 0; i < words.size(); ++i)
      EXPECT_EQ(src_.Data[2 * i] | (src_.Data[2 * i + 1] << 8), words[i]);
  }
}

// Black and white counted, two entries: black 0, (252,252,252) 1.
void BlackAndWhitePalette(TImg& Img) {
  Make(Img, 2, 1, {{0, 0, 0}, kWhite});
  PalInit();
  PalCountColors(Img);
  PalReduce(2);
}

TEST_F(Quantiser, DitherSkipsTheFirstPixelOfEvenRows) {
  // 2 x 3 grey 16 against black and white; every pixel goes to black.
  // Row 0: (0,0) passes nothing; (1,0) passes 16: lower-left +3 -> 19,
  // lower +5 -> 21. Row 1 (odd), (0,1) = 19 passes: right +8 -> 29, lower
  // +6 -> 22, lower-right +1 -> 17. (1,1) = 29 passes b(10) div 2:
  // lower-left +1 -> 23, lower +1 -> 18. Row 2 (even): (0,2) = 23 passes
  // nothing (it would give its right neighbour +1).
  for (int bits : {24, 32}) {
    BlackAndWhitePalette(other_);
    Make(src_, 2, 3, std::vector<Rgb>(6, {16, 16, 16}), bits);
    PalRemap(src_, dest_, 1);
    EXPECT_EQ(Indices(dest_), (std::vector<int>(6, 0)));
    const int expected[6] = {16, 16, 19, 29, 23, 18};
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(PixelAt(src_, i), (Rgb{expected[i], expected[i], expected[i]})) << bits << " " << i;
      if (bits == 32) {
        EXPECT_EQ(src_.Data[4 * i + 3], 0xAB);
      }
    }
  }
}

TEST_F(Quantiser, DitherPassesNoErrorOf58OrMore) {
  // One row [0, v, right]; only pixel 1 passes error, 7/16 of it, to the
  // right. v = 195 goes to white (57 from 252 against 195 from 0).
  struct Case {
    int v, right, after;
  };
  const Case cases[] = {{19, 0, 8},     // b7(19) = 8
                        {20, 0, 0},     // b7(1) div 2 = 0
                        {38, 0, 4},     // b7(19) div 2
                        {57, 0, 2},     // b7(19) div 4
                        {58, 0, 0},     // an edge: nothing
                        {100, 0, 0},
                        {57, 254, 255}, // clamped
                        {195, 10, 8},   // error -57
                        {195, 1, 0},    // clamped
                        {194, 10, 10}}; // error -58
  BlackAndWhitePalette(other_);
  for (const Case& c : cases) {
    Make(src_, 3, 1, {{0, 0, 0}, {c.v, c.v, c.v}, {c.right, c.right, c.right}});
    PalRemap(src_, dest_, 1);
    EXPECT_EQ(PixelAt(src_, 2), (Rgb{c.after, c.after, c.after})) << c.v << " " << c.right;
    EXPECT_EQ(dest_.Data[1], c.v > 126 ? 1 : 0);
  }
}

// ---- properties on random pictures --------------------------------------------

std::vector<Rgb> RandomColours(std::mt19937& Rng, size_t Count) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<Rgb> c(Count);
  for (Rgb& x : c) x = {byte(Rng), byte(Rng), byte(Rng)};
  return c;
}

TEST_F(Quantiser, EveryIndexIsBelowTheEntriesWantedAtEveryDepth) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 24; ++round) {
    const int bits = std::vector<int>{15, 16, 24, 32}[round % 4];
    const int32_t dither = (round / 4) % 2;
    const int32_t n = std::uniform_int_distribution<int32_t>(2, 256)(rng);
    const int w = std::uniform_int_distribution<int>(1, 60)(rng);
    const int h = std::uniform_int_distribution<int>(1, 60)(rng);
    if (bits >= 24) {
      Make(src_, w, h, RandomColours(rng, static_cast<size_t>(w) * h), bits);
    } else {
      std::vector<uint16_t> words(static_cast<size_t>(w) * h);
      for (uint16_t& x : words) x = static_cast<uint16_t>(rng() & (bits == 15 ? 0x7FFF : 0xFFFF));
      MakeWords(src_, bits, words);
    }
    CountAndReduce({&src_}, n);
    const TQuant* q = PalQuant();
    if (q->ColorCount > n) {
      // The boxes share out the counted colours between them.
      int32_t population = 0;
      for (int i = 0; i < q->BoxCount; ++i) population += q->Boxes[i].Population;
      EXPECT_EQ(population, q->ColorCount);
      EXPECT_LE(q->BoxCount, n);
    }
    PalRemap(src_, dest_, dither);
    for (int v : Indices(dest_)) ASSERT_LT(v, n) << "round " << round;
  }
}

TEST_F(Quantiser, FewColoursLoseNothingAtSixBits) {
  std::mt19937 rng(7);
  for (int round = 0; round < 12; ++round) {
    const int32_t n = std::uniform_int_distribution<int32_t>(2, 256)(rng);
    const auto colours = RandomColours(rng, static_cast<size_t>(n));
    std::vector<Rgb> pixels(40 * 30);
    std::uniform_int_distribution<size_t> pick(0, colours.size() - 1);
    for (Rgb& p : pixels) p = colours[pick(rng)];
    Make(src_, 40, 30, pixels, round % 2 ? 32 : 24);
    CountAndReduce({&src_}, n);
    PalRemap(src_, dest_, 0);
    for (size_t i = 0; i < pixels.size(); ++i) {
      const Rgb e = Entry(dest_.Data[i]);
      ASSERT_EQ((Rgb{e.r >> 2, e.g >> 2, e.b >> 2}),
                (Rgb{pixels[i].r >> 2, pixels[i].g >> 2, pixels[i].b >> 2}))
          << "round " << round << " pixel " << i;
    }
  }
}

TEST_F(Quantiser, PicturesTallerOrWiderThan65535Pixels) {
  std::mt19937 rng(3);
  for (auto [w, h] : {std::pair{1, 70000}, std::pair{70000, 1}, std::pair{3, 66000}}) {
    Make(src_, w, h, RandomColours(rng, static_cast<size_t>(w) * h));
    CountAndReduce({&src_}, 235);
    PalRemap(src_, dest_, 1);
    EXPECT_EQ(dest_.Width, w);
    EXPECT_EQ(dest_.Height, h);
    EXPECT_LT(*std::max_element(dest_.Data, dest_.Data + static_cast<int64_t>(w) * h), 235);
  }
}

// ---- life cycle and bad input ---------------------------------------------------

TEST_F(Quantiser, StepsWithoutStateFailWithAnImageError) {
  Make(src_, 1, 1, {kWhite});
  ExpectImgError(6, [] { PalReduce(235); });
  ExpectImgError(6, [&] { PalRemap(src_, dest_, 1); });
  ExpectImgError(6, [&] { PalCountColors(src_); });
  ExpectImgError(6, [] { PalClearVars(); });
  EXPECT_FALSE(ImgIsValid(dest_));
  PalInit();
  PalDone();
  ExpectImgError(6, [] { PalReduce(235); });
  EXPECT_NO_THROW(PalDone());
}

TEST_F(Quantiser, InitKeepsOneBlockAndClearsTheCounts) {
  PalInit();
  EXPECT_EQ(MemCount(), mem_ + 1);
  Make(src_, 1, 1, {kWhite});
  PalCountColors(src_);
  PalInit();
  EXPECT_EQ(MemCount(), mem_ + 2);  // the state and src_
  EXPECT_EQ(PalQuant()->Hist[Cell(kWhite)], PAL_EMPTY);
  // A remap before any reduction reads a defined state.
  PalCountColors(src_);
  PalRemap(src_, dest_, 1);
  EXPECT_EQ(dest_.Data[0], 0);
}

TEST_F(Quantiser, RecordsThatClaimMoreThanTheirBlockAreRefused) {
  PalInit();
  Make(src_, 4, 4, std::vector<Rgb>(16, kWhite));
  src_.Width = 100;  // 100 x 4 x 3 bytes in a 48-byte block
  ExpectImgError(2, [&] { PalCountColors(src_); });
  ExpectImgError(2, [&] { PalRemap(src_, dest_, 1); });
  src_.Width = -4;
  ExpectImgError(2, [&] { PalCountColors(src_); });
  src_.Width = 4;
  src_.BytesPerPixel = 4;  // 24 bits but 4 bytes apart
  ExpectImgError(2, [&] { PalCountColors(src_); });
  src_.BytesPerPixel = 3;
  TImg borrowed;
  borrowed.Width = borrowed.Height = 70000;
  borrowed.BytesPerPixel = 3;
  borrowed.BitsPerPixel = 24;
  borrowed.Borrowed = 1;
  borrowed.Size = 12;
  borrowed.Data = src_.Data;
  ExpectImgError(2, [&] { PalCountColors(borrowed); });
  EXPECT_FALSE(ImgIsValid(dest_)) << "nothing was allocated for a refused picture";
  // A depth the quantiser does not know cannot be remapped.
  src_.BitsPerPixel = 4;
  ExpectImgError(1, [&] { PalRemap(src_, dest_, 0); });
  src_.BitsPerPixel = 24;
  ExpectImgError(6, [&] { PalRemap(src_, src_, 0); });
  EXPECT_EQ(std::count(PalQuant()->Hist, PalQuant()->Hist + PAL_CUBE_CELLS, PAL_EMPTY),
            PAL_CUBE_CELLS);
}

TEST_F(Quantiser, ConvTo8bitKeepsColoursAndAlwaysReleasesTheState) {
  std::mt19937 rng(11);
  const auto colours = RandomColours(rng, 200);
  std::vector<Rgb> pixels(32 * 16);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = colours[i % colours.size()];
  Make(src_, 32, 16, pixels);
  ConvTo8bit(src_, dest_, 0);
  EXPECT_EQ(PalQuant(), nullptr);
  EXPECT_EQ(dest_.BitsPerPixel, 8);
  for (size_t i = 0; i < pixels.size(); ++i) {
    const uint8_t* e = dest_.Palette[dest_.Data[i]];
    ASSERT_EQ((Rgb{e[2] >> 2, e[1] >> 2, e[0] >> 2}),
              (Rgb{pixels[i].r >> 2, pixels[i].g >> 2, pixels[i].b >> 2}));
  }
  EXPECT_EQ(MemCount(), mem_ + 2);  // src_ and dest_, no state
  // Failures release the state too, also one that existed before the call.
  PalInit();
  ExpectImgError(6, [&] { ConvTo8bit(src_, src_, 0); });
  EXPECT_EQ(PalQuant(), nullptr);
  PalInit();
  src_.Width = 1000;
  ExpectImgError(2, [&] { ConvTo8bit(src_, other_, 0); });
  src_.Width = 32;
  EXPECT_EQ(PalQuant(), nullptr);
  EXPECT_EQ(MemCount(), mem_ + 2);
}

TEST_F(Quantiser, AStateReleasedByAFailingFrameIsNotUsedAgain) {
  // An enclosing procedure that fails after PalInit releases the state
  // with everything else it allocated; the next step must see no state.
  EXPECT_THROW(Monitored("Test.Import", [&] {
                 PalInit();
                 SetError(EG_IMG, 3, __LINE__);
               }),
               EMon);
  ClearError();
  EXPECT_EQ(MemCount(), mem_);
  // Let the allocator hand the same address to someone else.
  uint8_t* other = nullptr;
  _memalloc_(other, static_cast<int64_t>(sizeof(TQuant)), __LINE__, "Test.other");
  EXPECT_EQ(PalQuant(), nullptr);
  ExpectImgError(6, [] { PalReduce(235); });
  PalDone();
  EXPECT_TRUE(MemValid(other));
  MemFree(other);
}

// A colour that no box holds is searched among the entries: the nearest by
// 4 dR^2 + 9 dG^2 + dB^2, and of equal ones the lowest index, whichever
// side of the colour's green that entry lies on. Each picture counts black
// and two colours that (0, 8, 4) lies 9 * 16 + 16 = 160 from; entries are
// made in cube order (blue weighs most), so the entry of lower green has
// the lower index in the first picture and the higher one in the second.
// Every other colour asked for lies in a cell of its own (searches are kept
// per cell).
TEST_F(Quantiser, SearchedColoursTakeTheNearestAndOfEqualOnesTheLowestIndex) {
  struct TAsk {
    Rgb Pixel;
    int Index;
  };
  const struct {
    std::vector<Rgb> Counted;
    std::vector<TAsk> Asked;
  } cases[] = {
      {{{0, 0, 0}, {0, 4, 0}, {0, 12, 8}}, {{{0, 8, 4}, 1}, {{0, 12, 5}, 2}, {{0, 7, 4}, 1}}},
      {{{0, 0, 0}, {0, 12, 0}, {0, 4, 8}}, {{{0, 8, 4}, 1}, {{0, 4, 13}, 2}, {{0, 13, 4}, 1}}},
  };
  for (const auto& c : cases) {
    Make(src_, 3, 1, c.Counted);
    PalInit();
    PalCountColors(src_);
    PalReduce(235);
    for (const TAsk& ask : c.Asked) {
      Make(other_, 1, 1, {ask.Pixel});
      PalRemap(other_, dest_, 1);
      EXPECT_EQ(dest_.Data[0], ask.Index) << ask.Pixel;
    }
    PalDone();
  }
}


}  // namespace
}  // namespace kvo
