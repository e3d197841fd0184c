// SPDX-License-Identifier: GPL-3.0-or-later
// Resampling fed row by row through a frame: the way the import fits a
// picture without ever holding it whole, or a cut or bordered copy of it.
//
// The expectation is the established way the frame is made from whole
// pictures: ImgCrop of the picture, or ImgInsert into a black picture of
// the frame's size, then ImgResample (whose counters the scaler tests pin
// against a separate transcription). Both must agree byte for byte, for
// every depth a reader delivers and for rows handed over in place or
// written into the feed as a decoder writes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "image/IMGBasic.h"
#include "tests/FormatTestSupport.h"

namespace kvo {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pixels(const TImg& Img) {
  return Bytes(Img.Data, Img.Data + int64_t(Img.Width) * Img.Height * Img.BytesPerPixel);
}

// A picture of random bytes at any depth, with a random palette.
void RandomPicture(TImg& Img, int32_t W, int32_t H, int32_t Bits, std::mt19937& Rng) {
  ImgAlloc(Img, W, H, Bits);
  for (int64_t i = 0; i < int64_t(W) * H * Img.BytesPerPixel; ++i)
    Img.Data[i] = static_cast<uint8_t>(Rng());
  for (auto& entry : Img.Palette)
    for (auto& c : entry) c = static_cast<uint8_t>(Rng());
}

// The frame made whole the established way, then resampled.
void Expected(TImg& Pic, const TImgFeedShape& S, bool Crop, TImg& Out) {
  TImg frame;
  if (Crop) {
    ImgCrop(Pic, frame, -S.X, -S.Y, S.FrameWidth, S.FrameHeight);
  } else {
    ImgAlloc(frame, S.FrameWidth, S.FrameHeight, 24);
    std::memset(frame.Data, 0, size_t(S.FrameWidth) * S.FrameHeight * 3);
    ImgInsert(Pic, frame, S.X, S.Y);
  }
  ImgResample(frame, Out, S.NewWidth, S.NewHeight);
  ImgFree(frame);
}

// The picture's rows written into the feed one by one, as a decoder does:
// top row first, or bottom row first as a bottom-up file holds them.
void FedAsDecoded(const TImg& Pic, TImgFeedShape S, TImg& Out, bool BottomUp = false) {
  S.Width = Pic.Width;
  S.Height = Pic.Height;
  S.BitsPerPixel = Pic.BitsPerPixel;
  TImgFeed feed;
  ImgFeedStart(feed, Out, S, &Pic.Palette);
  if (BottomUp) ImgFeedBottomUp(feed);
  const int64_t rowBytes = int64_t(Pic.Width) * Pic.BytesPerPixel;
  for (int32_t i = 0; i < Pic.Height; ++i) {
    const int32_t y = BottomUp ? Pic.Height - 1 - i : i;
    std::memcpy(ImgFeedRow(feed), Pic.Data + y * rowBytes, size_t(rowBytes));
    ImgFeedPut(feed);
  }
  ImgFeedPut(feed);  // one row too many is ignored
  ImgFeedDone(feed);
}

class Feed : public testing::Test {
 protected:
  void TearDown() override {
    for (TImg* img : {&pic_, &want_, &got_}) ImgFree(*img);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  test::TTableCounts counts_;
  TImg pic_, want_, got_;
};

// Frames that add black around the picture or cut it, shrinking or
// enlarging either way, at every depth.
TEST_F(Feed, FramesMatchCroppingOrBorderingFirst) {
  std::mt19937 rng(20240);
  std::uniform_int_distribution<int32_t> size(1, 48), scale(1, 80), margin(0, 20);
  const int32_t depths[] = {8, 15, 16, 24, 32};
  for (int i = 0; i < 400; ++i) {
    const int32_t w = size(rng), h = size(rng), bits = depths[i % 5];
    RandomPicture(pic_, w, h, bits, rng);
    TImgFeedShape s;
    const bool crop = i % 2 != 0;
    if (!crop) {  // border: black on any side
      s.FrameWidth = w + margin(rng);
      s.FrameHeight = h + margin(rng);
      s.X = std::uniform_int_distribution<int32_t>(0, s.FrameWidth - w)(rng);
      s.Y = std::uniform_int_distribution<int32_t>(0, s.FrameHeight - h)(rng);
    } else {  // crop: any part of the picture
      s.FrameWidth = std::uniform_int_distribution<int32_t>(1, w)(rng);
      s.FrameHeight = std::uniform_int_distribution<int32_t>(1, h)(rng);
      s.X = -std::uniform_int_distribution<int32_t>(0, w - s.FrameWidth)(rng);
      s.Y = -std::uniform_int_distribution<int32_t>(0, h - s.FrameHeight)(rng);
    }
    s.NewWidth = scale(rng);
    s.NewHeight = scale(rng);
    SCOPED_TRACE(testing::Message() << w << "x" << h << "x" << bits << " in " << s.FrameWidth
                                    << "x" << s.FrameHeight << " at " << s.X << "," << s.Y
                                    << " -> " << s.NewWidth << "x" << s.NewHeight);
    Expected(pic_, s, crop, want_);
    ImgFeedPicture(pic_, got_, s);
    ASSERT_EQ(Pixels(got_), Pixels(want_));
    FedAsDecoded(pic_, s, got_);
    ASSERT_EQ(Pixels(got_), Pixels(want_));
    FedAsDecoded(pic_, s, got_, true);
    ASSERT_EQ(Pixels(got_), Pixels(want_)) << "bottom up";
    EXPECT_EQ(got_.BitsPerPixel, 24);
  }
}

// Tall groups hold a limited number of rows and fold the rest into sums:
// pictures shrunk by a large factor, fed in place and as decoded, with and
// without black borders.
TEST_F(Feed, TallGroupsFoldTheirRowsExactly) {
  std::mt19937 rng(99);
  struct TCase {
    int32_t W, H, Bits, FrameW, FrameH, X, Y, NewW, NewH;
    bool Crop;
  };
  const TCase cases[] = {{5, 700, 24, 5, 700, 0, 0, 3, 3, false},
                         {6, 900, 8, 8, 1000, 1, 40, 4, 2, false},
                         {9, 2000, 32, 7, 1500, -1, -300, 5, 1, true},
                         {3, 5000, 24, 3, 5200, 0, 100, 2, 1, false},
                         // rows too wide for many slots: they fold after a few
                         {400000, 40, 24, 400000, 48, 0, 4, 4, 1, false}};
  for (const TCase& c : cases) {
    RandomPicture(pic_, c.W, c.H, c.Bits, rng);
    TImgFeedShape s;
    s.FrameWidth = c.FrameW;
    s.FrameHeight = c.FrameH;
    s.X = c.X;
    s.Y = c.Y;
    s.NewWidth = c.NewW;
    s.NewHeight = c.NewH;
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << "x" << c.Bits);
    Expected(pic_, s, c.Crop, want_);
    ImgFeedPicture(pic_, got_, s);
    EXPECT_EQ(Pixels(got_), Pixels(want_));
    FedAsDecoded(pic_, s, got_);
    EXPECT_EQ(Pixels(got_), Pixels(want_));
    FedAsDecoded(pic_, s, got_, true);
    EXPECT_EQ(Pixels(got_), Pixels(want_)) << "bottom up";
  }
}

// Groups of up to 257 rows are summed in 16 bits and divided in single
// precision, larger ones in 32 bits: either way every average is the
// truncated quotient. Column j of a picture of c rows sums to j (or to a
// spread of values for large c), so one row of output checks them all.
TEST_F(Feed, AveragesOfManyRowsTruncateExactly) {
  for (int32_t c : {2, 3, 7, 16, 100, 255, 256, 257, 258, 4103, 4104, 5000}) {
    std::vector<int64_t> sums;
    const int64_t top = 255 * int64_t(c);
    if (c <= 258) {
      for (int64_t s = 0; s <= top; ++s) sums.push_back(s);
    } else {
      for (int64_t k = 0; k <= 255; ++k)
        for (int64_t d : {-1, 0, 1}) {
          const int64_t s = k * c + d;
          if (s >= 0 && s <= top) sums.push_back(s);
        }
    }
    const int32_t w = int32_t((sums.size() + 2) / 3);
    sums.resize(size_t(w) * 3, 0);
    ImgAlloc(pic_, w, c, 24);
    for (size_t j = 0; j < sums.size(); ++j) {
      int64_t left = sums[j];
      for (int32_t r = 0; r < c; ++r) {
        const int64_t v = std::min<int64_t>(255, left);
        pic_.Data[int64_t(r) * w * 3 + int64_t(j)] = uint8_t(v);
        left -= v;
      }
    }
    ImgResample(pic_, got_, w, 1);
    for (size_t j = 0; j < sums.size(); ++j)
      ASSERT_EQ(got_.Data[j], sums[j] / c) << "sum " << sums[j] << " of " << c << " rows";
  }
}

// A picture that comes short (a decoder that stopped) leaves the rest of
// the frame black, as though the picture had black rows there.
TEST_F(Feed, MissingRowsAreBlack) {
  std::mt19937 rng(7);
  RandomPicture(pic_, 30, 40, 24, rng);
  TImgFeedShape s;
  s.Width = s.FrameWidth = 30;
  s.Height = s.FrameHeight = 40;
  s.NewWidth = 7;
  s.NewHeight = 9;
  TImgFeed feed;
  ImgFeedStart(feed, got_, s, nullptr);
  for (int32_t y = 0; y < 25; ++y) ImgFeedPutRow(feed, pic_.Data + y * 90);
  ImgFeedDone(feed);
  std::memset(pic_.Data + 25 * 90, 0, 15 * 90);
  ImgResample(pic_, want_, 7, 9);
  EXPECT_EQ(Pixels(got_), Pixels(want_));
}

TEST_F(Feed, RefusesEmptyFramesAndUnknownDepths) {
  auto start = [&](TImgFeedShape S) {
    return test::Kept([&] {
      TImgFeed feed;
      ImgFeedStart(feed, got_, S, nullptr);
      ImgFeedDone(feed);
    });
  };
  TImgFeedShape ok;
  ok.Width = ok.Height = ok.FrameWidth = ok.FrameHeight = ok.NewWidth = ok.NewHeight = 4;
  EXPECT_EQ(start(ok), test::kOk);
  TImgFeedShape s = ok;
  s.FrameWidth = 0;
  EXPECT_EQ(start(s), (test::TErr{EG_GEN, 1}));
  s = ok;
  s.NewHeight = 0;
  EXPECT_EQ(start(s), (test::TErr{EG_GEN, 1}));
  s = ok;
  s.BitsPerPixel = 12;
  EXPECT_EQ(start(s), (test::TErr{EG_IMG, 1}));
  // A picture resampled into itself through a frame would read what it writes.
  std::mt19937 rng(1);
  RandomPicture(pic_, 4, 4, 24, rng);
  EXPECT_EQ(test::Kept([&] { ImgFeedPicture(pic_, pic_, ok); }), (test::TErr{EG_IMG, 6}));
}

}  // namespace
}  // namespace kvo
