// SPDX-License-Identifier: GPL-3.0-or-later
// The image record: allocation, copies, depth conversions, pastes, crops,
// flips, red/blue exchange and pictures built from foreign buffers.
//
// Expected pixels are worked out by hand from the pixel layouts (15 bits:
// blue 0-4, green 5-9, red 10-14; 16 bits: green 5-10, red 11-15; 24 bits
// blue, green, red), with the working shown beside each value.
#include <gtest/gtest.h>

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

// Allocates Img at the given geometry and fills its pixels.
void Fill(TImg& Img, int32_t W, int32_t H, int32_t Bpp, const Bytes& Pixels) {
  ImgAlloc(Img, W, H, Bpp);
  ASSERT_EQ(static_cast<int64_t>(Pixels.size()), int64_t(W) * H * Img.BytesPerPixel);
  std::memcpy(Img.Data, Pixels.data(), Pixels.size());
}

Bytes Pixels(const TImg& Img) {
  return Bytes(Img.Data, Img.Data + int64_t(Img.Width) * Img.Height * Img.BytesPerPixel);
}

// Little-endian words as bytes.
Bytes Words(std::initializer_list<uint16_t> W) {
  Bytes b;
  for (uint16_t w : W) {
    b.push_back(static_cast<uint8_t>(w));
    b.push_back(static_cast<uint8_t>(w >> 8));
  }
  return b;
}

void SetEntry(TImg& Img, int I, uint8_t B, uint8_t G, uint8_t R) {
  Img.Palette[I][0] = B;
  Img.Palette[I][1] = G;
  Img.Palette[I][2] = R;
}

// Runs Body in a keeping frame and returns the error it left (0, 0 when none).
std::pair<int32_t, int32_t> ErrorOf(const std::function<void()>& Body) {
  MonitoredKeep("Test.ErrorOf", Body);
  return {ErrGroup(), ErrCode()};
}

const std::pair<int32_t, int32_t> kNone{0, 0};
const std::pair<int32_t, int32_t> kOutOfRange{EG_GEN, 1};

// Every test leaves the tracked tables and the frame stack as it found them.
class ImgTest : public testing::Test {
 protected:
  void SetUp() override {
    mem_ = MemCount();
    files_ = FCount();
  }
  void TearDown() override {
    ImgFree(A);
    ImgFree(B);
    ImgFree(C);
    EXPECT_EQ(MemCount(), mem_) << "a block was left behind";
    EXPECT_EQ(FCount(), files_);
    EXPECT_EQ(MonDepth(), 0);
  }
  TImg A, B, C;
  int mem_ = 0, files_ = 0;
};

// ---- allocation ------------------------------------------------------------------

using ImgAllocation = ImgTest;

TEST_F(ImgAllocation, LabelsSizesAndResizesInPlaceOfItsRecord) {
  SetEntry(A, 7, 1, 2, 3);
  _imgalloc_(A, 5, 3, 15, 42, "Test.Alloc.a");
  EXPECT_EQ(A.Size, 30);  // 5 * 3 * 2
  EXPECT_EQ(A.BytesPerPixel, 2);
  EXPECT_EQ(A.BitsPerPixel, 15);
  EXPECT_EQ(A.Palette[7][2], 3) << "allocation leaves the palette alone";
  EXPECT_EQ(MemRecord(MemFind(A.Data))->Desc, "C:(ImgAlloc):Test.Alloc.a:42");
  EXPECT_TRUE(ImgIsValid(A));
  int count = MemCount();
  ImgAlloc(A, 100, 100, 32);
  EXPECT_EQ(MemCount(), count);
  EXPECT_EQ(A.Size, 40000);

  ImgFree(A);
  const TImg zero{};
  EXPECT_EQ(std::memcmp(&A, &zero, sizeof(TImg)), 0) << "a released record is all zeros";
  EXPECT_FALSE(ImgIsValid(A));
}

TEST_F(ImgAllocation, RefusesSizesThatDoNotFitInsteadOfWrapping) {
  // 65536 * 65537 * 3 wraps in 32 bits to 196608: a short block if the
  // product were narrowed before the check.
  EXPECT_EQ(ErrorOf([&] { ImgAlloc(A, 65536, 65537, 24); }), std::make_pair(EG_MEM, 5));
  EXPECT_EQ(A.Data, nullptr);
  EXPECT_EQ(ErrorOf([&] { ImgAlloc(A, 46341, 46341, 8); }), std::make_pair(EG_MEM, 5));
  EXPECT_EQ(ErrorOf([&] { ImgAlloc(A, 0x7FFFFFFF, 0x7FFFFFFF, 32); }), std::make_pair(EG_MEM, 5));
  // Two negative sizes multiply to a positive count.
  EXPECT_EQ(ErrorOf([&] { ImgAlloc(A, -2, -3, 8); }), std::make_pair(EG_MEM, 5));
  EXPECT_EQ(ErrorOf([&] { ImgAlloc(A, 0, 5, 8); }), std::make_pair(EG_MEM, 5));
  EXPECT_EQ(ErrorOf([&] { ImgAlloc(A, 4, 4, 12); }), std::make_pair(EG_IMG, 1));

  // A failed reallocation leaves the record as it was.
  Fill(B, 2, 1, 8, {1, 2});
  EXPECT_EQ(ErrorOf([&] { ImgAlloc(B, 65536, 65537, 24); }), std::make_pair(EG_MEM, 5));
  EXPECT_EQ(B.Width, 2);
  EXPECT_EQ(Pixels(B), (Bytes{1, 2}));
}

TEST_F(ImgAllocation, SetDimsRecomputesSizeOnlyForBorrowedBlocks) {
  ImgAlloc(A, 4, 4, 24);
  ImgSetDims(A, 2, 2, 8);
  EXPECT_EQ(A.Size, 48);
  EXPECT_EQ(A.BytesPerPixel, 1);

  uint8_t foreign[12] = {};
  B.Data = foreign;
  B.Borrowed = 1;
  ImgSetDims(B, 2, 2, 24);
  EXPECT_EQ(B.Size, 12);
  EXPECT_TRUE(ImgIsValid(B));
  // A borrowed block is never released by us.
  ImgFree(B);
  EXPECT_EQ(B.Data, nullptr);
}

TEST_F(ImgAllocation, RecordsThatDescribeNoPictureAreRefused) {
  EXPECT_EQ(ErrorOf([&] { ImgFlipV(A, B); }), std::make_pair(EG_IMG, 2));
  ImgAlloc(A, 2, 2, 24);
  A.Height = 3;  // more than the block holds
  EXPECT_EQ(ErrorOf([&] { ImgCopy(A, B); }), std::make_pair(EG_IMG, 2));
  A.Height = 2;
  A.BytesPerPixel = 2;
  EXPECT_EQ(ErrorOf([&] { ImgSwapRB(A, A); }), std::make_pair(EG_IMG, 2));
  A.BytesPerPixel = 3;
  // A frame for an operation that cannot work in place needs a destination.
  TImgOpInfo info;
  ImgInfo(info, IOP_RESAMPLE);
  TImgOpVars vars;
  EXPECT_EQ(ErrorOf([&] { ImgInitEx(info, vars, A, nullptr, 1, 1); }), std::make_pair(EG_IMG, 6));
}

// ---- copies and exchange ------------------------------------------------------

using ImgCopies = ImgTest;

TEST_F(ImgCopies, CopyTakesGeometryPixelsAndAnEightBitPalette) {
  Fill(A, 2, 1, 8, {3, 4});
  SetEntry(A, 4, 9, 8, 7);
  ImgCopy(A, B);
  EXPECT_EQ(B.Width, 2);
  EXPECT_EQ(B.BitsPerPixel, 8);
  EXPECT_EQ(Pixels(B), (Bytes{3, 4}));
  EXPECT_EQ(std::memcmp(A.Palette, B.Palette, 768), 0);

  // Other depths leave the destination's palette as it was.
  Fill(C, 1, 1, 24, {1, 2, 3});
  SetEntry(C, 0, 5, 5, 5);
  ImgCopy(C, B);
  EXPECT_EQ(B.BitsPerPixel, 24);
  EXPECT_EQ(B.Palette[4][0], 9);
}

TEST_F(ImgCopies, ExchangeMovesBlocksWithTheirOwnership) {
  Fill(A, 1, 1, 8, {1});
  Fill(B, 2, 1, 24, {1, 2, 3, 4, 5, 6});
  uint8_t* a = A.Data;
  uint8_t* b = B.Data;
  ImgXchg(A, B);
  EXPECT_EQ(A.Data, b);
  EXPECT_EQ(A.Width, 2);
  EXPECT_EQ(B.Data, a);
  // The allocator now knows A's block as A's: reallocating resizes it.
  int count = MemCount();
  ImgAlloc(A, 3, 1, 24);
  EXPECT_EQ(MemCount(), count);
  EXPECT_EQ(Bytes(A.Data, A.Data + 6), (Bytes{1, 2, 3, 4, 5, 6}));
}

// ---- depth conversion -----------------------------------------------------------

using ImgDepth = ImgTest;

TEST_F(ImgDepth, SameDepthChangesNothingInPlaceAndCopiesElsewhere) {
  Fill(A, 2, 1, 8, {1, 2});
  SetEntry(A, 2, 7, 7, 7);
  uint8_t* block = A.Data;
  ImgConvBpp(A, A, 8);
  EXPECT_EQ(A.Data, block);
  EXPECT_EQ(Pixels(A), (Bytes{1, 2}));
  ImgConvBpp(A, B, 8);
  EXPECT_NE(B.Data, A.Data);
  EXPECT_EQ(Pixels(B), (Bytes{1, 2}));
  EXPECT_EQ(std::memcmp(A.Palette, B.Palette, 768), 0);
}

TEST_F(ImgDepth, NarrowingTruncatesAndWideningPadsWithZeroBits) {
  // (b, g, r) = (FF, 87, 47):
  //   15 bits: 31 | (0x87 >> 3 = 16) << 5 | (0x47 >> 3 = 8) << 10 = 0x221F
  //   16 bits: 31 | (0x87 >> 2 = 33) << 5 | 8 << 11             = 0x443F
  // and back: 15 -> (F8, 80, 40), 16 -> (F8, 84, 40).
  Fill(A, 2, 1, 24, {0xFF, 0x87, 0x47, 0x00, 0x07, 0xFF});
  // Second pixel (00, 07, FF): 15 bits 0 | 0 << 5 | 31 << 10 = 0x7C00;
  // 16 bits 0 | 1 << 5 | 31 << 11 = 0xF820.
  ImgConvBpp(A, B, 15);
  EXPECT_EQ(Pixels(B), Words({0x221F, 0x7C00}));
  ImgConvBpp(A, C, 16);
  EXPECT_EQ(Pixels(C), Words({0x443F, 0xF820}));
  ImgConvBpp(B, B, 24);
  EXPECT_EQ(Pixels(B), (Bytes{0xF8, 0x80, 0x40, 0x00, 0x00, 0xF8}));
  ImgConvBpp(C, C, 24);
  EXPECT_EQ(Pixels(C), (Bytes{0xF8, 0x84, 0x40, 0x00, 0x04, 0xF8}));
}

TEST_F(ImgDepth, FifteenAndSixteenBitsConvertIntoEachOther) {
  // 0x221F (b 31, g 16, r 8) -> 16 bits: green 16 << 1 = 32: 31 | 32 << 5 | 8 << 11 = 0x441F.
  // 0x443F (b 31, g 33, r 8) -> 15 bits: green 33 >> 1 = 16: 0x221F.
  Fill(A, 1, 1, 15, Words({0x221F}));
  ImgConvBpp(A, B, 16);
  EXPECT_EQ(Pixels(B), Words({0x441F}));
  Fill(C, 1, 1, 16, Words({0x443F}));
  ImgConvBpp(C, C, 15);
  EXPECT_EQ(C.BitsPerPixel, 15);
  EXPECT_EQ(Pixels(C), Words({0x221F}));
}

TEST_F(ImgDepth, EightBitsConvertThroughThePalette) {
  // Entry 3 = (b 10, g FF, r 88): 15 bits 2 | 31 << 5 | 17 << 10 = 0x47E2;
  // 16 bits 2 | 63 << 5 | 17 << 11 = 0x8FE2.
  Fill(A, 2, 1, 8, {3, 0});
  SetEntry(A, 3, 0x10, 0xFF, 0x88);
  SetEntry(A, 0, 1, 2, 3);
  ImgConvBpp(A, B, 15);
  EXPECT_EQ(Pixels(B), Words({0x47E2, 0x0000}));
  ImgConvBpp(A, B, 16);
  EXPECT_EQ(Pixels(B), Words({0x8FE2, 0x0000}));
  ImgConvBpp(A, B, 24);
  EXPECT_EQ(Pixels(B), (Bytes{0x10, 0xFF, 0x88, 1, 2, 3}));
  ImgConvBpp(A, B, 32);
  EXPECT_EQ(Pixels(B), (Bytes{0x10, 0xFF, 0x88, 0, 1, 2, 3, 0}));
}

TEST_F(ImgDepth, ThirtyTwoBitsGainAZeroFourthByteAndLoseItAgain) {
  Fill(A, 1, 1, 15, Words({0x7C1F}));  // r 31, b 31 -> (F8, 00, F8)
  ImgConvBpp(A, B, 32);
  EXPECT_EQ(Pixels(B), (Bytes{0xF8, 0x00, 0xF8, 0x00}));
  Fill(A, 1, 1, 16, Words({0x07E0}));  // g 63 -> (00, FC, 00)
  ImgConvBpp(A, B, 32);
  EXPECT_EQ(Pixels(B), (Bytes{0x00, 0xFC, 0x00, 0x00}));
  Fill(C, 1, 1, 32, {0x08, 0x10, 0x18, 0xAB});
  ImgConvBpp(C, B, 24);
  EXPECT_EQ(Pixels(B), (Bytes{0x08, 0x10, 0x18}));
  ImgConvBpp(C, B, 15);  // 1 | 2 << 5 | 3 << 10 = 0x0C41
  EXPECT_EQ(Pixels(B), Words({0x0C41}));
  ImgConvBpp(B, B, 24);
  ImgConvBpp(B, B, 32);
  EXPECT_EQ(Pixels(B), (Bytes{0x08, 0x10, 0x18, 0x00}));
}

TEST_F(ImgDepth, EightBitsComeFromThePaletteReduction) {
  // Two colours: black becomes entry 0, white the entry 4 * 63 = 252.
  Fill(A, 2, 1, 24, {255, 255, 255, 0, 0, 0});
  ImgConvBpp(A, A, 8);
  ASSERT_EQ(A.BitsPerPixel, 8);
  EXPECT_EQ(A.Data[1], 0);
  const uint8_t* white = A.Palette[A.Data[0]];
  EXPECT_EQ(Bytes(white, white + 3), (Bytes{252, 252, 252}));
}

// ---- pastes ----------------------------------------------------------------------

using ImgPaste = ImgTest;

TEST_F(ImgPaste, EightBitSpriteKeepsTheBackgroundUnderKeyPixels) {
  Fill(A, 3, 1, 8, {0, 5, 0});
  SetEntry(A, 5, 1, 2, 3);
  Fill(B, 3, 1, 8, {9, 9, 9});
  SetEntry(B, 9, 4, 4, 4);
  ImgSprite(A, B, 0, 0, 0xFFFFFF00);  // compared by its low byte: 0
  EXPECT_EQ(Pixels(B), (Bytes{9, 5, 9}));
  EXPECT_EQ(std::memcmp(A.Palette, B.Palette, 768), 0) << "the sprite's palette replaces B's";
}

TEST_F(ImgPaste, SpriteKeysCompareAtThePixelsOwnWidth) {
  for (int32_t depth : {15, 16}) {
    Fill(A, 2, 1, depth, Words({0x1234, 0x5678}));
    Fill(B, 2, 1, depth, Words({0x1111, 0x1111}));
    ImgSprite(A, B, 0, 0, 0xABCD1234);  // low 16 bits 0x1234
    EXPECT_EQ(Pixels(B), Words({0x1111, 0x5678})) << depth;
  }
  // 24 bits: bytes 56 34 12 are 0x123456; the key's top byte is ignored.
  Fill(A, 2, 1, 24, {0x56, 0x34, 0x12, 1, 2, 3});
  Fill(B, 2, 1, 24, {9, 9, 9, 9, 9, 9});
  ImgSprite(A, B, 0, 0, 0xFF123456);
  EXPECT_EQ(Pixels(B), (Bytes{9, 9, 9, 1, 2, 3}));
  // 32 bits: all four bytes count, so 0x00123456 is not the key 0xFF123456.
  Fill(A, 2, 1, 32, {0x56, 0x34, 0x12, 0x00, 0x56, 0x34, 0x12, 0xFF});
  Fill(B, 2, 1, 32, Bytes(8, 9));
  ImgSprite(A, B, 0, 0, 0xFF123456);
  EXPECT_EQ(Pixels(B), (Bytes{0x56, 0x34, 0x12, 0x00, 9, 9, 9, 9}));
}

TEST_F(ImgPaste, InsertBringsBothPicturesToTheHigherDepth) {
  // A 24-bit picture into an 8-bit background: the background goes to 24 bits.
  Fill(A, 1, 1, 24, {7, 8, 9});
  Fill(B, 2, 1, 8, {0, 1});
  SetEntry(B, 0, 10, 20, 30);
  SetEntry(B, 1, 40, 50, 60);
  ImgInsert(A, B, 1, 0);
  EXPECT_EQ(B.BitsPerPixel, 24);
  EXPECT_EQ(Pixels(B), (Bytes{10, 20, 30, 7, 8, 9}));

  // An 8-bit picture into a 24-bit background is pasted at 24 bits and
  // itself stays as it was.
  Fill(C, 1, 1, 8, {2});
  SetEntry(C, 2, 1, 2, 3);
  ImgInsert(C, B, 0, 0);
  EXPECT_EQ(B.BitsPerPixel, 24);
  EXPECT_EQ(Pixels(B), (Bytes{1, 2, 3, 7, 8, 9}));
  EXPECT_EQ(C.BitsPerPixel, 8);
  EXPECT_EQ(Pixels(C), (Bytes{2}));

  // 15 into 16 bits: 0x221F widens to 0x441F.
  Fill(A, 1, 1, 15, Words({0x221F}));
  Fill(B, 1, 1, 16, Words({0}));
  ImgInsert(A, B, 0, 0);
  EXPECT_EQ(Pixels(B), Words({0x441F}));
}

TEST_F(ImgPaste, ClipsAtTheEdgesAndRefusesNegativePositions) {
  Fill(A, 2, 2, 8, {1, 2, 3, 4});
  Fill(B, 3, 3, 8, Bytes(9, 0));
  ImgInsert(A, B, 2, 1);
  EXPECT_EQ(Pixels(B), (Bytes{0, 0, 0, 0, 0, 1, 0, 0, 3}));
  Bytes before = Pixels(B);
  EXPECT_EQ(ErrorOf([&] { ImgInsert(A, B, 3, 0); }), kNone);
  EXPECT_EQ(ErrorOf([&] { ImgSprite(A, B, 0, 3, 0); }), kNone);
  EXPECT_EQ(ErrorOf([&] { ImgInsert(A, A, 0, 0); }), kNone);
  EXPECT_EQ(ErrorOf([&] { ImgInsert(A, B, -1, 0); }), kOutOfRange);
  EXPECT_EQ(ErrorOf([&] { ImgSprite(A, B, 0, -5, 0); }), kOutOfRange);
  EXPECT_EQ(Pixels(B), before);
}

// ---- crop, flip, red/blue --------------------------------------------------------

using ImgGeometry = ImgTest;

TEST_F(ImgGeometry, CropInPlaceKeepsDepthPaletteAndBlockSize) {
  Fill(A, 4, 3, 8, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  SetEntry(A, 6, 1, 2, 3);
  ImgCrop(A, A, 1, 1, 2, 2);
  EXPECT_EQ(A.Width, 2);
  EXPECT_EQ(A.Height, 2);
  EXPECT_EQ(A.BitsPerPixel, 8);
  EXPECT_EQ(A.Size, 12) << "the block keeps its size";
  EXPECT_EQ(Pixels(A), (Bytes{5, 6, 9, 10}));
  EXPECT_EQ(A.Palette[6][2], 3);

  // 24 bits in place: overlapping rows move towards the start.
  Bytes p(27);
  for (int i = 0; i < 27; ++i) p[i] = static_cast<uint8_t>(i);
  Fill(B, 3, 3, 24, p);
  ImgCrop(B, B, 1, 1, 2, 2);
  EXPECT_EQ(Pixels(B), (Bytes{12, 13, 14, 15, 16, 17, 21, 22, 23, 24, 25, 26}));
}

TEST_F(ImgGeometry, CropClipsConvertsAndRefusesBadRectangles) {
  Fill(A, 4, 3, 8, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  ImgCrop(A, B, 2, 1, 10, 10);
  EXPECT_EQ(B.Width, 2);
  EXPECT_EQ(Pixels(B), (Bytes{6, 7, 10, 11}));

  // 16 bits are cropped at 24: 0x443F -> (F8, 84, 40).
  Fill(C, 2, 1, 16, Words({0x001F, 0x443F}));
  ImgCrop(C, B, 1, 0, 1, 1);
  EXPECT_EQ(B.BitsPerPixel, 24);
  EXPECT_EQ(Pixels(B), (Bytes{0xF8, 0x84, 0x40}));

  Bytes before = Pixels(B);
  EXPECT_EQ(ErrorOf([&] { ImgCrop(A, B, 4, 0, 1, 1); }), kNone);
  EXPECT_EQ(ErrorOf([&] { ImgCrop(A, B, 0, 3, 1, 1); }), kNone);
  EXPECT_EQ(ErrorOf([&] { ImgCrop(A, B, -1, 0, 2, 2); }), kOutOfRange);
  EXPECT_EQ(ErrorOf([&] { ImgCrop(A, B, 0, 0, 0, 2); }), kOutOfRange);
  EXPECT_EQ(ErrorOf([&] { ImgCrop(A, B, 0, 0, 2, -1); }), kOutOfRange);
  EXPECT_EQ(Pixels(B), before);
}

TEST_F(ImgGeometry, FlipMirrorsRowsAndLeavesAMiddleRowInPlace) {
  Fill(A, 2, 3, 8, {1, 2, 3, 4, 5, 6});
  ImgFlipV(A, A);
  EXPECT_EQ(Pixels(A), (Bytes{5, 6, 3, 4, 1, 2}));
  Fill(B, 3, 1, 8, {1, 2, 3});
  ImgFlipV(B, B);
  EXPECT_EQ(Pixels(B), (Bytes{1, 2, 3}));
  Fill(C, 1, 2, 15, Words({0x1234, 0x0042}));
  ImgFlipV(C, B);
  EXPECT_EQ(B.BitsPerPixel, 15);
  EXPECT_EQ(Pixels(B), Words({0x0042, 0x1234}));
}

TEST_F(ImgGeometry, SwapRBTouchesOnlyThePaletteOfEightBitPictures) {
  Fill(A, 2, 1, 8, {0, 1});
  SetEntry(A, 0, 1, 2, 3);
  SetEntry(A, 255, 7, 8, 9);
  ImgSwapRB(A, A);
  EXPECT_EQ(Pixels(A), (Bytes{0, 1}));
  EXPECT_EQ(Bytes(A.Palette[0], A.Palette[0] + 3), (Bytes{3, 2, 1}));
  EXPECT_EQ(Bytes(A.Palette[255], A.Palette[255] + 3), (Bytes{9, 8, 7}));
  ImgSwapRB(A, B);  // into another record the pixels come along
  EXPECT_EQ(Pixels(B), (Bytes{0, 1}));
  EXPECT_EQ(Bytes(B.Palette[0], B.Palette[0] + 3), (Bytes{1, 2, 3}));

  Fill(C, 2, 1, 32, {1, 2, 3, 4, 5, 6, 7, 8});
  ImgSwapRB(C, C);
  EXPECT_EQ(C.BitsPerPixel, 24);
  EXPECT_EQ(Pixels(C), (Bytes{3, 2, 1, 7, 6, 5}));
}

// ---- foreign buffers -------------------------------------------------------------

using ImgForeign = ImgTest;

TEST_F(ImgForeign, MakeQimgReadsStridedRowsEitherWayUp) {
  const uint8_t rows[16] = {1, 2, 3, 4, 5, 6, 0xEE, 0xEE, 7, 8, 9, 10, 11, 12, 0xEE, 0xEE};
  MakeQimg(A, rows, 2, 2, 24, 8, false);
  EXPECT_EQ(Pixels(A), (Bytes{7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}));
  MakeQimg(B, rows, 4, 2, 16, 8, true);
  EXPECT_EQ(Pixels(B), Bytes(rows, rows + 16));
  EXPECT_EQ(ErrorOf([&] { MakeQimg(C, rows, 3, 2, 24, 8, true); }), kOutOfRange);
}

// A packed bitmap: 40-byte header, then (for 8 bits) 1024 bytes of colour
// table, then bottom-up rows padded to 4 bytes.
Bytes DibHeader(int32_t W, int32_t H, uint16_t Bits, uint32_t ColoursUsed = 0) {
  Bytes h(40, 0);
  auto put32 = [&h](int at, uint32_t v) {
    for (int i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put32(0, 40);
  put32(4, static_cast<uint32_t>(W));
  put32(8, static_cast<uint32_t>(H));
  h[12] = 1;
  h[14] = static_cast<uint8_t>(Bits);
  put32(32, ColoursUsed);
  return h;
}

TEST_F(ImgForeign, SixteenBitBitmapsBecomeFifteenBitPictures) {
  Bytes dib = DibHeader(3, 2, 16);
  // Rows of 6 bytes padded to 8; the bottom row comes first.
  Bytes bottom = Words({1, 2, 3}), top = Words({0x7C00, 0x03E0, 0x001F});
  for (const Bytes* r : {&bottom, &top}) {
    dib.insert(dib.end(), r->begin(), r->end());
    dib.insert(dib.end(), {0xEE, 0xEE});
  }
  DibToQimg(A, dib.data(), static_cast<int64_t>(dib.size()));
  EXPECT_EQ(A.BitsPerPixel, 15);
  EXPECT_EQ(A.Width, 3);
  EXPECT_EQ(Pixels(A), Words({0x7C00, 0x03E0, 0x001F, 1, 2, 3}));

  // One byte short of the two padded rows the header claims.
  EXPECT_EQ(ErrorOf([&] { DibToQimg(B, dib.data(), static_cast<int64_t>(dib.size()) - 1); }),
            std::make_pair(EG_IMG, 4));
  Bytes tall = dib;
  tall[8] = 3;
  EXPECT_EQ(ErrorOf([&] { DibToQimg(B, tall.data(), static_cast<int64_t>(tall.size())); }),
            std::make_pair(EG_IMG, 4));
  Bytes wide = dib;
  wide[7] = 0x40;  // width 0x40000003: rows far beyond the data
  EXPECT_EQ(ErrorOf([&] { DibToQimg(B, wide.data(), static_cast<int64_t>(wide.size())); }),
            std::make_pair(EG_IMG, 4));
  Bytes huge = dib;
  huge[3] = 0x7F;  // biSize beyond the data
  EXPECT_EQ(ErrorOf([&] { DibToQimg(B, huge.data(), static_cast<int64_t>(huge.size())); }),
            std::make_pair(EG_IMG, 4));
  EXPECT_EQ(ErrorOf([&] { DibToQimg(B, dib.data(), 39); }), std::make_pair(EG_IMG, 4));
  Bytes four = dib;
  four[14] = 4;
  EXPECT_EQ(ErrorOf([&] { DibToQimg(B, four.data(), static_cast<int64_t>(four.size())); }),
            std::make_pair(EG_IMG, 1));
  EXPECT_EQ(B.Data, nullptr);
}

TEST_F(ImgForeign, EightBitBitmapsSkipAWholeColourTable) {
  // The header says 2 colours used; the pixels still start 1024 bytes on.
  Bytes dib = DibHeader(2, 1, 8, 2);
  Bytes table(1024, 0);
  for (int i = 0; i < 3; ++i) {
    table[i] = static_cast<uint8_t>(1 + i);            // entry 0: 1 2 3
    table[4 + i] = static_cast<uint8_t>(4 + i);        // entry 1: 4 5 6
    table[4 * 255 + i] = static_cast<uint8_t>(7 + i);  // entry 255: 7 8 9
  }
  table[3] = 0xAA;  // the fourth byte of an entry is not a colour
  dib.insert(dib.end(), table.begin(), table.end());
  dib.insert(dib.end(), {1, 255, 0xEE, 0xEE});
  DibToQimg(A, dib.data(), static_cast<int64_t>(dib.size()));
  EXPECT_EQ(A.BitsPerPixel, 8);
  EXPECT_EQ(Pixels(A), (Bytes{1, 255}));
  EXPECT_EQ(Bytes(A.Palette[0], A.Palette[0] + 3), (Bytes{1, 2, 3}));
  EXPECT_EQ(Bytes(A.Palette[1], A.Palette[1] + 3), (Bytes{4, 5, 6}));
  EXPECT_EQ(Bytes(A.Palette[255], A.Palette[255] + 3), (Bytes{7, 8, 9}));
  // Without its colour table the bitmap is cut short.
  EXPECT_EQ(ErrorOf([&] { DibToQimg(B, dib.data(), 40 + 1000); }), std::make_pair(EG_IMG, 4));
}

// ---- palette helpers --------------------------------------------------------------

TEST(ImgHelpers, PaletteImportRampsSwapsAndColourSplit) {
  // 2-byte entries are 15-bit words: 0x7C00 is red 31 -> 248 in the first
  // output byte (red, green, blue), and in the last one with swap.
  const uint8_t words[4] = {0x00, 0x7C, 0xE0, 0x03};  // 0x7C00, 0x03E0 (green 31)
  uint8_t out[6];
  PalImport(false, 2, 2, out, words);
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{248, 0, 0, 0, 248, 0}));
  PalImport(true, 2, 2, out, words);
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{0, 0, 248, 0, 248, 0}));
  const uint8_t quads[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  PalImport(true, 4, 2, out, quads);
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{3, 2, 1, 7, 6, 5}));

  TPalette pal;
  PalGreyRamp(pal);
  EXPECT_EQ(Bytes(pal[200], pal[200] + 3), (Bytes{200, 200, 200}));
  PalGreyRampInv(pal);
  EXPECT_EQ(Bytes(pal[200], pal[200] + 3), (Bytes{55, 55, 55}));

  uint8_t r, g, b;
  ColorSplit(0xFF332211, r, g, b);
  EXPECT_EQ(r, 0x11);
  EXPECT_EQ(g, 0x22);
  EXPECT_EQ(b, 0x33);

  uint8_t px[6] = {1, 2, 3, 4, 5, 6}, copy[6];
  CopySwapRB(2, copy, px);
  EXPECT_EQ(Bytes(copy, copy + 6), (Bytes{3, 2, 1, 6, 5, 4}));
  SwapRBInPlace(2, copy);
  EXPECT_EQ(Bytes(copy, copy + 6), Bytes(px, px + 6));
}

// ---- the tracked tables ------------------------------------------------------------

// Each operation, successful or not, leaves as many blocks and files as it
// found: temporaries are released and results land in blocks that existed.
TEST_F(ImgTest, OperationsLeaveTheTrackedTablesAsTheyFoundThem) {
  std::mt19937 rng(20240607);
  Bytes p(7 * 5 * 3);
  for (auto& v : p) v = static_cast<uint8_t>(rng());
  Fill(A, 7, 5, 24, p);
  Fill(B, 3, 3, 8, Bytes(9, 1));
  ImgAlloc(C, 1, 1, 24);
  const std::vector<std::function<void()>> ops = {
      [&] { ImgConvBpp(A, A, 16); },         [&] { ImgConvBpp(A, A, 24); },
      [&] { ImgConvBpp(A, C, 15); },         [&] { ImgConvBpp(A, C, 8); },
      [&] { ImgFlipV(A, A); },               [&] { ImgSwapRB(A, C); },
      [&] { ImgSwapRB(B, B); },              [&] { ImgInsert(B, A, 1, 1); },
      [&] { ImgSprite(A, B, 0, 0, 0); },     [&] { ImgCrop(A, A, 1, 1, 4, 3); },
      [&] { ImgCrop(B, C, 0, 0, 2, 2); },    [&] { ImgCopy(A, C); },
      [&] { ImgXchg(A, C); },                [&] { ImgXchg(A, C); },
      // failures
      [&] { ImgCrop(A, C, -1, 0, 1, 1); },   [&] { ImgAlloc(C, 65536, 65537, 24); },
      [&] { ImgInsert(A, B, 0, -1); },       [&] { ImgConvBpp(A, C, 12); },
      [&] { ImgResample(A, C, 0, 3); },      [&] { ImgResize(A, C, 3, -3); },
  };
  for (size_t i = 0; i < ops.size(); ++i) {
    const int mem = MemCount(), files = FCount();
    ErrorOf(ops[i]);
    EXPECT_EQ(MemCount(), mem) << "operation " << i;
    EXPECT_EQ(FCount(), files) << "operation " << i;
    EXPECT_TRUE(ImgIsValid(A) && ImgIsValid(B) && ImgIsValid(C)) << "operation " << i;
  }
}

}  // namespace
}  // namespace kvo
