// SPDX-License-Identifier: GPL-3.0-or-later
// Fitting into a box, nearest-neighbour resizing and smoothing resampling.
//
// Expected values are worked out by hand from the counters: steps are
// size * 100000 div new size, a mean is floor((a + b) / 2), a box average
// floor(sum / count). Grey pictures (three equal bytes per pixel) keep the
// working readable; the per-channel cases use coloured pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "image/IMGBasic.h"

namespace kvo {
namespace {

using Bytes = std::vector<uint8_t>;

void Fill(TImg& Img, int32_t W, int32_t H, int32_t Bpp, const Bytes& Pixels) {
  ImgAlloc(Img, W, H, Bpp);
  ASSERT_EQ(static_cast<int64_t>(Pixels.size()), int64_t(W) * H * Img.BytesPerPixel);
  std::memcpy(Img.Data, Pixels.data(), Pixels.size());
}

// A 24-bit grey picture from one value per pixel, rows top first.
void FillGrey(TImg& Img, int32_t W, int32_t H, const Bytes& Values) {
  Bytes p;
  for (uint8_t v : Values) p.insert(p.end(), {v, v, v});
  Fill(Img, W, H, 24, p);
}

Bytes Pixels(const TImg& Img) {
  return Bytes(Img.Data, Img.Data + int64_t(Img.Width) * Img.Height * Img.BytesPerPixel);
}

// One value per pixel of a 24-bit picture; fails the test when a pixel's
// three bytes differ.
Bytes Grey(const TImg& Img) {
  EXPECT_EQ(Img.BitsPerPixel, 24);
  Bytes g;
  const Bytes p = Pixels(Img);
  for (size_t i = 0; i + 2 < p.size(); i += 3) {
    EXPECT_TRUE(p[i] == p[i + 1] && p[i] == p[i + 2]) << "pixel " << i / 3;
    g.push_back(p[i]);
  }
  return g;
}

std::pair<int32_t, int32_t> ErrorOf(const std::function<void()>& Body) {
  MonitoredKeep("Test.ErrorOf", Body);
  return {ErrGroup(), ErrCode()};
}

const std::pair<int32_t, int32_t> kOutOfRange{EG_GEN, 1};

class ScaleTest : public testing::Test {
 protected:
  void SetUp() override {
    mem_ = MemCount();
    files_ = FCount();
  }
  void TearDown() override {
    ImgFree(A);
    ImgFree(B);
    EXPECT_EQ(MemCount(), mem_) << "a block was left behind";
    EXPECT_EQ(FCount(), files_);
    EXPECT_EQ(MonDepth(), 0);
  }
  TImg A, B;
  int mem_ = 0, files_ = 0;
};

// ---- fitting into a box -----------------------------------------------------------

struct TBox {
  int32_t X, Y, W, H;
  bool operator==(const TBox&) const = default;
};

std::ostream& operator<<(std::ostream& Out, const TBox& B) {
  return Out << B.W << "x" << B.H << " at " << B.X << "," << B.Y;
}

TBox Fit(int32_t W, int32_t H, int32_t BoxW, int32_t BoxH, bool Always) {
  TBox b{-1, -1, -1, -1};
  CalcBoxResize(W, H, BoxW, BoxH, Always, b.X, b.Y, b.W, b.H);
  return b;
}

TEST(ScaleBox, FitsKeepingProportionsOrCentresWhatFits) {
  // Fits: centred, (320 - 100) / 2 = 110, (400 - 50) / 2 = 175.
  EXPECT_EQ(Fit(100, 50, 320, 400, false), (TBox{110, 175, 100, 50}));
  // rx = 3.2 < ry = 8: 320 x trunc(50 * 3.2) = 160, offset (400 - 160) / 2.
  EXPECT_EQ(Fit(100, 50, 320, 400, true), (TBox{0, 120, 320, 160}));
  // rx = 0.5 < ry = 0.833: 320 x 240 at (0, 80).
  EXPECT_EQ(Fit(640, 480, 320, 400, false), (TBox{0, 80, 320, 240}));
  // Equal ratios (2 and 2) take the height: 400 high, trunc(160 * 2) wide.
  EXPECT_EQ(Fit(160, 200, 320, 400, true), (TBox{0, 0, 320, 400}));
  // rx = 0.32: trunc(1 * 0.32) = 0 is raised to 1; (400 - 1) / 2 = 199.
  EXPECT_EQ(Fit(1000, 1, 320, 400, false), (TBox{0, 199, 320, 1}));
  // ry = 0.4 <= rx = 3.2: width trunc(100 * 0.4) = 40, (320 - 40) / 2 = 140.
  EXPECT_EQ(Fit(100, 1000, 320, 400, false), (TBox{140, 0, 40, 400}));
}

TEST(ScaleBox, FailuresGiveTheWholeBoxAndLeaveTheErrorRecorded) {
  EXPECT_EQ(Fit(0, 50, 320, 400, true), (TBox{0, 0, 320, 400}));
  EXPECT_EQ(std::make_pair(ErrGroup(), ErrCode()), kOutOfRange);
  // An empty picture has no size to keep, even when it would "fit".
  EXPECT_EQ(Fit(0, 50, 320, 400, false), (TBox{0, 0, 320, 400}));
  EXPECT_EQ(Fit(50, -3, 320, 400, false), (TBox{0, 0, 320, 400}));
  EXPECT_EQ(Fit(100, 50, 0, 400, true), (TBox{0, 0, 0, 400}));
  EXPECT_EQ(std::make_pair(ErrGroup(), ErrCode()), kOutOfRange);
  EXPECT_EQ(MonDepth(), 0);
}

// ---- nearest neighbour ------------------------------------------------------------

using ScaleResize = ScaleTest;

TEST_F(ScaleResize, SameSizeCopiesAndEightBitsKeepTheirPalette) {
  Fill(A, 3, 2, 8, {1, 2, 3, 4, 5, 6});
  A.Palette[5][1] = 77;
  ImgResize(A, B, 3, 2);
  EXPECT_EQ(B.BitsPerPixel, 8);
  EXPECT_EQ(Pixels(B), (Bytes{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(B.Palette[5][1], 77);
}

TEST_F(ScaleResize, HalvingTakesEverySecondPixelAndRowFromTheFirst) {
  Bytes p(16);
  for (int i = 0; i < 16; ++i) p[i] = static_cast<uint8_t>(i);
  Fill(A, 4, 4, 8, p);
  ImgResize(A, A, 2, 2);
  EXPECT_EQ(A.Width, 2);
  EXPECT_EQ(Pixels(A), (Bytes{0, 2, 8, 10}));
}

TEST_F(ScaleResize, ShrinkingRoundsPositionsUpAndEnlargingDown) {
  // 5 -> 3: step 166666, pixels ceil(k * 1.66666) = 0, 2, 4.
  FillGrey(A, 5, 1, {10, 11, 12, 13, 14});
  ImgResize(A, B, 3, 1);
  EXPECT_EQ(Grey(B), (Bytes{10, 12, 14}));
  // 2 -> 3: step 66666, pixels floor(k * 0.66666) = 0, 0, 1.
  FillGrey(A, 2, 1, {10, 20});
  ImgResize(A, B, 3, 1);
  EXPECT_EQ(Grey(B), (Bytes{10, 10, 20}));
  // Rows 2 -> 5: step 40000, rows floor(k * 0.4) = 0, 0, 0, 1, 1.
  FillGrey(A, 1, 2, {10, 20});
  ImgResize(A, B, 1, 5);
  EXPECT_EQ(Grey(B), (Bytes{10, 10, 10, 20, 20}));
  // 16 bits are worked at 24: 0x7C00 is red 31 -> (00, 00, F8).
  Fill(A, 1, 1, 16, {0x00, 0xF8});
  ImgResize(A, B, 2, 1);
  EXPECT_EQ(Pixels(B), (Bytes{0, 0, 0xF8, 0, 0, 0xF8}));
}

TEST_F(ScaleResize, PicturesOfMoreThan65535RowsAreWalkedWithWideCounters) {
  // Row i holds i mod 251. 70000 -> 2 rows: rows 0 and ceil(35000) = 35000,
  // and 35000 - 139 * 251 = 111.
  Bytes v(70000);
  for (int i = 0; i < 70000; ++i) v[i] = static_cast<uint8_t>(i % 251);
  Fill(A, 1, 70000, 8, v);
  ImgResize(A, B, 1, 2);
  EXPECT_EQ(Pixels(B), (Bytes{0, 111}));
}

// ---- smoothing -----------------------------------------------------------------------

using ScaleResample = ScaleTest;

TEST_F(ScaleResample, HalvingAveragesRowPairsThenPixelPairsTruncatingEachMean) {
  // a b / c d per channel -> floor((floor((a + c) / 2) + floor((b + d) / 2)) / 2):
  //   1 3 / 0 0       -> (0 + 1) / 2       = 0  (a box of four would give 1)
  //   10 11 / 13 200  -> (11 + 105) / 2    = 58
  //   255 254 / 0 1   -> (127 + 127) / 2   = 127
  Fill(A, 2, 2, 24, {1, 10, 255, 3, 11, 254, 0, 13, 0, 0, 200, 1});
  ImgResample(A, B, 1, 1);
  EXPECT_EQ(Pixels(B), (Bytes{0, 58, 127}));
  // Rows (0, 1) -> 1 15 75 100, then pixel pairs -> 8 87.
  FillGrey(A, 4, 2, {0, 10, 100, 200, 2, 20, 50, 0});
  ImgResample(A, B, 2, 1);
  EXPECT_EQ(Grey(B), (Bytes{8, 87}));
}

TEST_F(ScaleResample, BoxTiesGoToTheNextPixelButNotToTheNextRow) {
  // 6 -> 4, step 150000. Horizontally a >= p takes one more pixel:
  // (0,1) (2,3) 4 5 -> (10+21)/2 = 15, (40+51)/2 = 45, 70, 90.
  FillGrey(A, 6, 1, {10, 21, 40, 51, 70, 90});
  ImgResample(A, B, 4, 1);
  EXPECT_EQ(Grey(B), (Bytes{15, 45, 70, 90}));
  // Vertically only acc > pos does: (0,1) 2 (3,4) 5 -> 15, 40, (51+70)/2 = 60, 90.
  FillGrey(A, 1, 6, {10, 21, 40, 51, 70, 90});
  ImgResample(A, B, 1, 4);
  EXPECT_EQ(Grey(B), (Bytes{15, 40, 60, 90}));
}

TEST_F(ScaleResample, DoublingPlacesMeansBetweenPixelsAndRepeatsTheEdge) {
  // a, b, c -> a, mean(a, b), b, mean(b, c), c, c.
  // a = (0, 100, 255), b = (3, 50, 254), c = (10, 0, 1):
  // mean(a, b) = (1, 75, 254), mean(b, c) = (6, 25, 127).
  Fill(A, 3, 1, 24, {0, 100, 255, 3, 50, 254, 10, 0, 1});
  ImgResample(A, B, 6, 1);
  EXPECT_EQ(Pixels(B), (Bytes{0, 100, 255, 1, 75, 254, 3, 50, 254, 6, 25, 127, 10, 0, 1, 10, 0,
                              1}));
  // Rows double upwards from the bottom of the block: each row, then the
  // mean with the row above it, so the repeated edge row is the top one.
  // 0, 100, 201 -> 0, 0, 50, 100, 150, 201.
  FillGrey(A, 1, 3, {0, 100, 201});
  ImgResample(A, B, 1, 6);
  EXPECT_EQ(Grey(B), (Bytes{0, 0, 50, 100, 150, 201}));
}

TEST_F(ScaleResample, RepeatedDoublingAlternatesDirection) {
  // 2 -> 8 rows. Upwards (into rows 4-7): 0 0 100 200. Downwards from the
  // top, each row then the mean with the row below:
  // 0 (0+0)/2 | 0 (0+100)/2 | 100 (100+200)/2 | 200 200.
  FillGrey(A, 1, 2, {0, 200});
  ImgResample(A, B, 1, 8);
  EXPECT_EQ(Grey(B), (Bytes{0, 0, 0, 50, 100, 150, 200, 200}));
}

TEST_F(ScaleResample, FractionalPassesInsertAtMostOneMeanBetweenTwo) {
  // 3 -> 5, step 60000: after each pixel the counter falls behind until the
  // last: 0, 50, 100, 150, 201 along either axis.
  FillGrey(A, 3, 1, {0, 100, 201});
  ImgResample(A, B, 5, 1);
  EXPECT_EQ(Grey(B), (Bytes{0, 50, 100, 150, 201}));
  FillGrey(A, 1, 3, {0, 100, 201});
  ImgResample(A, B, 1, 5);
  EXPECT_EQ(Grey(B), (Bytes{0, 50, 100, 150, 201}));
  // 2 -> 5 wide: doubled to 0 100 200 200, then step 4 * 100000 / 5 =
  // 80000 places one mean after the first pixel: 0, 50, 100, 200, 200.
  FillGrey(A, 2, 1, {0, 200});
  ImgResample(A, B, 5, 1);
  EXPECT_EQ(Grey(B), (Bytes{0, 50, 100, 200, 200}));
  // 2 -> 5 high: doubled upwards to 0 0 100 200 in rows 1-4, then a
  // downwards pass writes 0, mean(0, 0) = 0, and the rest in place:
  // 0, 0, 0, 100, 200.
  FillGrey(A, 1, 2, {0, 200});
  ImgResample(A, B, 1, 5);
  EXPECT_EQ(Grey(B), (Bytes{0, 0, 0, 100, 200}));
}

TEST_F(ScaleResample, ShrinksOneAxisAndEnlargesTheOtherInOneCall) {
  // 2x4 -> 4x2: row pairs first, (0+2)/2 = 1, (100+50)/2 = 75 and
  // (10+20)/2 = 15, (201+0)/2 = 100; then each row doubled:
  // 1, (1+75)/2 = 38, 75, 75 and 15, (15+100)/2 = 57, 100, 100.
  FillGrey(A, 2, 4, {0, 100, 2, 50, 10, 201, 20, 0});
  ImgResample(A, B, 4, 2);
  EXPECT_EQ(Grey(B), (Bytes{1, 38, 75, 75, 15, 57, 100, 100}));
  // 4x2 -> 2x4: pixel pairs first, 5 150 and 11 25; then rows doubled
  // upwards: r0, r0, mean = (5+11)/2 = 8, (150+25)/2 = 87, r1.
  FillGrey(A, 4, 2, {0, 10, 100, 200, 2, 20, 50, 0});
  ImgResample(A, B, 2, 4);
  EXPECT_EQ(Grey(B), (Bytes{5, 150, 5, 150, 8, 87, 11, 25}));
}

TEST_F(ScaleResample, AlwaysGivesTwentyFourBitsUnlikeResize) {
  Fill(A, 2, 1, 8, {0, 1});
  A.Palette[0][0] = 10;
  A.Palette[1][2] = 20;
  ImgResample(A, A, 2, 1);
  EXPECT_EQ(A.BitsPerPixel, 24);
  EXPECT_EQ(Pixels(A), (Bytes{10, 0, 0, 0, 0, 20}));
}

TEST_F(ScaleResample, WideBoxesAndTallPicturesDoNotOverflowTheSums) {
  // 300 pixels or rows of 255 per box: 76500 overflows a 16-bit sum.
  FillGrey(A, 600, 2, Bytes(1200, 255));
  ImgResample(A, B, 2, 1);
  EXPECT_EQ(Grey(B), (Bytes{255, 255}));
  FillGrey(A, 1, 600, Bytes(600, 255));
  ImgResample(A, B, 1, 2);
  EXPECT_EQ(Grey(B), (Bytes{255, 255}));
  FillGrey(A, 1, 70000, Bytes(70000, 200));
  ImgResample(A, B, 1, 1);
  EXPECT_EQ(Grey(B), (Bytes{200}));
}

TEST_F(ScaleResample, RefusesSizesBelowOneAndBoxesBeyondThirtyTwoBitSums) {
  FillGrey(A, 2, 2, {1, 2, 3, 4});
  EXPECT_EQ(ErrorOf([&] { ImgResample(A, B, 0, 2); }), kOutOfRange);
  EXPECT_EQ(ErrorOf([&] { ImgResample(A, B, 2, -1); }), kOutOfRange);
  EXPECT_EQ(ErrorOf([&] { ImgResize(A, B, -2, 2); }), kOutOfRange);
  // 16843008 rows into one: more than 2^32 / 255 rows in one box.
  ImgAlloc(A, 1, 16843008, 24);
  EXPECT_EQ(ErrorOf([&] { ImgResample(A, B, 1, 1); }), kOutOfRange);
}

// ---- golden results -------------------------------------------------------------------

// The pictures come from a linear congruential generator (x = x * 1103515245
// + 12345, byte = bits 16-23, seed 1); the hashes (FNV-1a, 32 bits) of the
// results were computed by a separate Python transcription of the counters,
// which keeps the destination's rows in a list and follows each pass step
// by step. 1 x 1536 -> 1 x 1542 is a size where the in-place fractional
// pass overwrites rows it has not read yet; the table pins that too.
struct TGolden {
  int32_t W, H, NewW, NewH;
  uint32_t Resample, Resize;
};

constexpr TGolden kGolden[] = {
    {7, 5, 3, 2, 0xE8A4C1CEu, 0x031089A0u},         {5, 7, 13, 19, 0x144EEB82u, 0x5598481Bu},
    {6, 6, 4, 4, 0x5CFBBE7Au, 0xCDCB91E7u},         {9, 4, 2, 11, 0xAFE752DDu, 0xDEF93B67u},
    {4, 9, 11, 2, 0x62AFA16Eu, 0x67801890u},        {1, 1536, 1, 1542, 0xD4DD6F6Bu, 0xC035ED9Bu},
    {64, 48, 320, 400, 0x649CC96Cu, 0x939CDE10u},   {333, 411, 320, 400, 0x6B51F587u, 0x34042EE5u},
    {320, 400, 480, 400, 0x68092373u, 0xEB881465u},
};

Bytes Lcg(int64_t N) {
  Bytes b(static_cast<size_t>(N));
  uint32_t x = 1;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

uint32_t Fnv1a(const Bytes& B) {
  uint32_t h = 2166136261u;
  for (uint8_t c : B) h = (h ^ c) * 16777619u;
  return h;
}

TEST_F(ScaleResample, GoldenResultsOfBothScalers) {
  for (const TGolden& g : kGolden) {
    Fill(A, g.W, g.H, 24, Lcg(int64_t(g.W) * g.H * 3));
    ImgResample(A, B, g.NewW, g.NewH);
    EXPECT_EQ(Fnv1a(Pixels(B)), g.Resample) << g.W << "x" << g.H << " -> " << g.NewW;
    ImgResize(A, B, g.NewW, g.NewH);
    EXPECT_EQ(Fnv1a(Pixels(B)), g.Resize) << g.W << "x" << g.H << " -> " << g.NewW;
  }
}

// ---- properties on random pictures -----------------------------------------------

struct TCase {
  int32_t W, H, NewW, NewH;
};

// Shrinking, enlarging, both, and neither, along each axis.
std::vector<TCase> RandomCases(uint32_t Seed, int Count) {
  std::mt19937 rng(Seed);
  std::uniform_int_distribution<int32_t> size(1, 40), scale(1, 90);
  std::vector<TCase> cases = {{7, 5, 7, 5}, {40, 30, 3, 2}, {3, 2, 40, 30}, {40, 3, 5, 60},
                              {3, 40, 60, 5}, {1, 1, 17, 9}, {17, 9, 1, 1}};
  for (int i = 0; i < Count; ++i) cases.push_back({size(rng), size(rng), scale(rng), scale(rng)});
  return cases;
}

TEST_F(ScaleResample, ConstantPicturesStayConstantAndEveryPixelIsWritten) {
  std::mt19937 rng(4711);
  for (const TCase& c : RandomCases(1, 150)) {
    const uint8_t colour[3] = {static_cast<uint8_t>(rng() % 200), 201,
                               static_cast<uint8_t>(rng() % 90)};
    Bytes p;
    for (int64_t i = 0; i < int64_t(c.W) * c.H; ++i) p.insert(p.end(), colour, colour + 3);
    Fill(A, c.W, c.H, 24, p);
    // The destination's block is reused in place, so a pixel left unwritten
    // would keep this pattern (0xF0 is none of the colour's bytes).
    Fill(B, c.NewW, c.NewH, 24, Bytes(int64_t(c.NewW) * c.NewH * 3, 0xF0));
    const int mem = MemCount();
    ImgResample(A, B, c.NewW, c.NewH);
    EXPECT_EQ(MemCount(), mem);
    ASSERT_EQ(B.Width, c.NewW);
    ASSERT_EQ(B.Height, c.NewH);
    const Bytes out = Pixels(B);
    for (size_t i = 0; i < out.size(); ++i)
      ASSERT_EQ(out[i], colour[i % 3]) << c.W << "x" << c.H << " -> " << c.NewW << "x" << c.NewH
                                       << " byte " << i;
  }
}

TEST_F(ScaleResample, ResultsStayWithinTheSourcesRangePerChannel) {
  std::mt19937 rng(99);
  for (const TCase& c : RandomCases(2, 150)) {
    Bytes p(int64_t(c.W) * c.H * 3);
    for (auto& v : p) v = static_cast<uint8_t>(64 + rng() % 128);
    Fill(A, c.W, c.H, 24, p);
    uint8_t lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    for (size_t i = 0; i < p.size(); ++i) {
      lo[i % 3] = std::min(lo[i % 3], p[i]);
      hi[i % 3] = std::max(hi[i % 3], p[i]);
    }
    Fill(B, c.NewW, c.NewH, 24, Bytes(int64_t(c.NewW) * c.NewH * 3, 0));
    const int mem = MemCount();
    // Same record as source and destination: the frame's exchange path.
    ImgResample(A, A, c.NewW, c.NewH);
    ImgResize(B, B, c.W, c.H);
    EXPECT_EQ(MemCount(), mem);
    const Bytes out = Pixels(A);
    ASSERT_EQ(out.size(), size_t(c.NewW) * c.NewH * 3);
    for (size_t i = 0; i < out.size(); ++i)
      ASSERT_TRUE(out[i] >= lo[i % 3] && out[i] <= hi[i % 3])
          << c.W << "x" << c.H << " -> " << c.NewW << "x" << c.NewH << " byte " << i;
  }
}

}  // namespace
}  // namespace kvo
