// SPDX-License-Identifier: GPL-3.0-or-later
// The HAV reader. No other program writes or reads HAV, so the movies are
// made by the test writer (tests/HavWriter.h) from the format's
// description, and every expectation is what the writer was told to draw:
// pictures handed to the greedy packer, or tokens and pixels worked out by
// hand. Also: seeking by key frames, palettes found backwards, the
// description, refusals, hostile tables and tokens, truncation, the format
// layer and the kvo command.
#include "formats/FF_HAV.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "base/Basic.h"
#include "base/Errors.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "formats/ByteCursor.h"
#include "formats/ConForm.h"
#include "platform/Folders.h"
#include "tests/FormatTestSupport.h"
#include "tests/HavWriter.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using test::kOk;
using test::TErr;
using test::THavBytes;
using test::THavMovieSpec;
using test::THavPacker;

// A picture with something for every token: rows of one colour (fills),
// a box that moves with the frame (matches, skips), noise at the right.
THavBytes Picture(int W, int H, int Bpp, int Frame) {
  THavBytes p(static_cast<size_t>(W * H * Bpp));
  uint32_t seed = 12345u + static_cast<uint32_t>(Frame) * 7u;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int b = 0; b < Bpp; ++b) {
        uint8_t v = static_cast<uint8_t>(y * 16 + b * 40);
        if (x >= Frame * 2 && x < Frame * 2 + 4 && y >= 2 && y < 5) v = static_cast<uint8_t>(200 + b + Frame);
        if (x >= W - 3) v = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
        p[static_cast<size_t>((y * W + x) * Bpp + b)] = v;
      }
  return p;
}

THavBytes Pixels(const TImg& Img) {
  return THavBytes(Img.Data, Img.Data + int64_t{Img.Width} * Img.Height * Img.BytesPerPixel);
}

// One frame of one strip, packed by hand.
THavMovieSpec OneStrip(int W, int H, int Bpp, int Mode, const THavPacker& P) {
  THavMovieSpec m;
  m.Width = W;
  m.Height = H;
  m.Bpp = Bpp;
  m.Mode = Mode;
  m.Frames.push_back({{}, {{H, true, P.Bytes()}}});
  return m;
}

class HavTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ImgFree(img_);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  std::string Write(const THavMovieSpec& M, const char* Name = "x.hav") {
    return dir_.Write(Name, test::HavFile(M));
  }
  // Opens the movie, runs Body and closes it; the error Body or the open left.
  TErr With(const std::string& Path, const std::function<void(THAVFile&)>& Body) {
    THAVFile f;
    const TErr e = test::Kept([&] {
      HAVOpen(f, Path);
      Body(f);
    });
    test::Kept([&] { HAVClose(f); });
    if (img_.Data && !MemValid(img_.Data)) img_ = TImg{};  // released by the failing frame
    return e;
  }
  // Every frame in turn, or the error that stopped the movie.
  TErr Play(const std::string& Path, std::vector<THavBytes>& Out) {
    Out.clear();
    return With(Path, [&](THAVFile& f) {
      while (f.CurFrame < f.FrameCount) {
        HAVImgLoadNext(f, img_);
        Out.push_back(Pixels(img_));
      }
    });
  }
  TErr First(const THavMovieSpec& M, THavBytes& Out) {
    std::vector<THavBytes> frames;
    const TErr e = Play(Write(M), frames);
    Out = frames.empty() ? THavBytes() : frames[0];
    return e;
  }
  test::TTableCounts counts_;
  test::TTempDir dir_;
  TImg img_;
};

// ---- pictures drawn by the packer --------------------------------------------------------

TEST_F(HavTest, EveryCodecDepthAndPredictionDrawsThePicturesItWasGiven) {
  const int w = 24, h = 10;
  for (int bpp = 1; bpp <= 3; ++bpp)
    for (int mode : {0, 1, 2, 3}) {
      SCOPED_TRACE("bytes per pixel " + std::to_string(bpp) + ", mode " + std::to_string(mode));
      std::vector<THavBytes> pictures;
      for (int k = 0; k < 6; ++k) pictures.push_back(Picture(w, h, bpp, k));
      THavMovieSpec m = test::HavMovieOf(pictures, w, h, bpp, mode, 4, 3);
      m.Frames[2].Direct = 1;  // the other strips read in batches
      std::vector<THavBytes> got;
      ASSERT_EQ(Play(Write(m), got), kOk);
      ASSERT_EQ(got.size(), pictures.size());
      for (size_t k = 0; k < got.size(); ++k) EXPECT_EQ(got[k], pictures[k]) << "frame " << k + 1;
      EXPECT_EQ(img_.BitsPerPixel, bpp * 8);
    }
}

TEST_F(HavTest, StripsPastTheFirstReadComeInSeveralBatches) {
  // Noise packs larger than it is, so the strips after the first do not
  // fit one frame's bytes together.
  const int w = 16, h = 12;
  THavBytes noise(w * h * 3);
  uint32_t seed = 99;
  for (uint8_t& b : noise) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
  THavMovieSpec m = test::HavMovieOf({noise, Picture(w, h, 3, 1)}, w, h, 3, 0, 0, 2);
  size_t packed = 0;
  for (const auto& s : m.Frames[0].Strips) packed += s.Data.size();
  ASSERT_GT(packed - m.Frames[0].Strips[0].Data.size(), noise.size());
  for (auto& f : m.Frames) f.Direct = 1;
  m.Frames[1].Direct = 0;
  std::vector<THavBytes> got;
  ASSERT_EQ(Play(Write(m), got), kOk);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], noise);
  EXPECT_EQ(got[1], Picture(w, h, 3, 1));
}

// ---- tokens by hand ------------------------------------------------------------------------

TEST_F(HavTest, FillsWriteOneTwoAndThreeBytePixelsInTheirByteOrder) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(fast ? "FAST" : "BEST");
    const int mode = fast ? 1 : 0;
    THavBytes got;
    ASSERT_EQ(First(OneStrip(4, 1, 1, mode, THavPacker(fast, 1).Fill(7, 0, 0, 3).Literal(9).End()), got), kOk);
    EXPECT_EQ(got, (THavBytes{7, 7, 7, 9}));
    // 2 bytes: the token's 8 bits are the high byte, stored second.
    ASSERT_EQ(First(OneStrip(2, 1, 2, mode, THavPacker(fast, 2).Fill(0x12, 0x34, 0, 2).End()), got), kOk);
    EXPECT_EQ(got, (THavBytes{0x34, 0x12, 0x34, 0x12}));
    // 3 bytes: t0 in the token, t1 and t2 after it, stored t0, t2, t1.
    ASSERT_EQ(First(OneStrip(2, 1, 3, mode, THavPacker(fast, 3).Fill(1, 2, 3, 2).End()), got), kOk);
    EXPECT_EQ(got, (THavBytes{1, 3, 2, 1, 3, 2}));
  }
}

TEST_F(HavTest, CountsTakeEveryLengthOfTheirCode) {
  // 2 is "1 0"; 255 six zero bits, a one and seven bits; 300 seven zero
  // bits and the 9-bit 44.
  THavPacker p(false, 1);
  p.Fill(5, 0, 0, 300).Fill(6, 0, 0, 255).Fill(7, 0, 0, 2).Skip(3).End();
  THavBytes got;
  ASSERT_EQ(First(OneStrip(20, 28, 1, 0, p), got), kOk);
  EXPECT_EQ(THavBytes(got.begin(), got.begin() + 300), THavBytes(300, 5));
  EXPECT_EQ(THavBytes(got.begin() + 300, got.begin() + 555), THavBytes(255, 6));
  EXPECT_EQ(THavBytes(got.begin() + 555, got.end()), (THavBytes{7, 7, 0, 0, 0}));
  // The same count, written bit by bit: token 0x007, 0000000, 0 0010 1100.
  THavPacker raw(false, 1);
  raw.Bits(0x007, 12).Bits(0, 7).Bits(44, 9).End();
  ASSERT_EQ(First(OneStrip(300, 1, 1, 0, raw), got), kOk);
  EXPECT_EQ(got, THavBytes(300, 7));
}

TEST_F(HavTest, MatchesRepeatsAndCopiesFromAboveReachWhereTheirTokensSay) {
  THavPacker p(false, 1);
  for (uint8_t v = 1; v <= 8; ++v) p.Literal(v);  // row 0
  p.Match(12, 0, 8);             // entry 0, one row up: row 1 is row 0 again
  p.Literal(9).Match(0, 63, 3);  // entry 1, one byte to the left: 9 9 9 after the 9
  p.Above(4);                    // 5 6 7 8 of row 1
  p.Repeat(1);                   // row 3: entry 1's 9 9 9 again
  p.Match(13, 4, 2);             // two rows up and 4 to the right: 8 (row 1) and 9 (row 2)
  p.Skip(3).End();
  THavBytes got;
  ASSERT_EQ(First(OneStrip(8, 4, 1, 0, p), got), kOk);
  EXPECT_EQ(got, (THavBytes{1, 2, 3, 4, 5, 6, 7, 8,  //
                            1, 2, 3, 4, 5, 6, 7, 8,  //
                            9, 9, 9, 9, 5, 6, 7, 8,  //
                            9, 9, 9, 8, 9, 0, 0, 0}));
  // The long skips of both codecs: 66 and 130 bytes, then the end.
  for (bool fast : {false, true}) {
    THavPacker s(fast, 1);
    s.Literal(1).Skip(fast ? 130 : 66).Literal(2).End();
    const int n = fast ? 132 : 68;
    ASSERT_EQ(First(OneStrip(n, 1, 1, fast, s), got), kOk);
    EXPECT_EQ(got.front(), 1);
    EXPECT_EQ(got.back(), 2);
    EXPECT_EQ(std::count(got.begin(), got.end(), 0), n - 2);
  }
}

TEST_F(HavTest, AStripOfSkipsLeavesThePreviousFrame) {
  for (int mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    const bool fast = mode & 1;
    THavMovieSpec m = test::HavMovieOf({Picture(8, 4, 3, 0)}, 8, 4, 3, mode, 0, 2);
    // Frame 2: the upper strip only skips; the lower one gets a new first
    // pixel (a residual equal to it with prediction) and skips the rest.
    m.Frames.push_back({{},
                        {{2, true, THavPacker(fast, 3).Skip(48).End().Bytes()},
                         {2, true, THavPacker(fast, 3).Literal(0x40).Literal(0x40).Literal(0x40).Skip(45).End().Bytes()}}});
    std::vector<THavBytes> got;
    ASSERT_EQ(Play(Write(m), got), kOk);
    THavBytes want = Picture(8, 4, 3, 0);
    // The lower strip's first pixel is 0x40s; the rest of it skipped.
    want[48] = want[49] = want[50] = 0x40;
    if (mode & 2) {  // skipped residuals sum on from the new first pixel
      const THavBytes before = Picture(8, 4, 3, 0);
      for (size_t i = 51; i < 96; ++i)
        want[i] = static_cast<uint8_t>(want[i - 3] + before[i] - before[i - 3]);
    }
    EXPECT_EQ(THavBytes(got[1].begin(), got[1].begin() + 48), THavBytes(got[0].begin(), got[0].begin() + 48));
    EXPECT_EQ(got[1], want);
  }
}

TEST_F(HavTest, PredictedPicturesAreRunningSumsWithinEachStrip) {
  // Two strips of one row each, 2 pixels of 3 bytes, residuals as literals.
  const THavBytes res = {10, 20, 30, 1, 2, 250, 5, 6, 7, 100, 100, 100};
  THavMovieSpec m;
  m.Width = 2;
  m.Height = 2;
  m.Bpp = 3;
  m.Mode = 2;
  THavPacker a(false, 3), b(false, 3);
  for (int i = 0; i < 6; ++i) a.Literal(res[static_cast<size_t>(i)]);
  for (int i = 6; i < 12; ++i) b.Literal(res[static_cast<size_t>(i)]);
  m.Frames.push_back({{}, {{1, true, a.End().Bytes()}, {1, true, b.End().Bytes()}}});
  THavBytes got;
  ASSERT_EQ(First(m, got), kOk);
  // Byte by byte: 10+1, 20+2, 30+250 (mod 256); the second strip restarts.
  EXPECT_EQ(got, (THavBytes{10, 20, 30, 11, 22, 24, 5, 6, 7, 105, 106, 107}));
}

// ---- seeking ---------------------------------------------------------------------------------

// A movie of one row of 13 pixels: frame k writes k at pixel
// 2 ((k - 1) mod 6); a key frame writes zeros elsewhere, any other frame
// skips the rest (skips are 2 bytes at least, hence the gaps).
THavMovieSpec Counting(int Frames, int Interval) {
  THavMovieSpec m;
  m.Width = 13;
  m.Height = 1;
  m.Interval = Interval;
  for (int k = 1; k <= Frames; ++k) {
    THavPacker p(false, 1);
    const bool key = Interval == 0 ? k == 1 : (k - 1) % Interval == 0;
    const int at = 2 * ((k - 1) % 6);
    if (key) {
      for (int x = 0; x < 13; ++x) p.Literal(x == at ? static_cast<uint8_t>(k) : 0);
    } else {
      if (at > 0) p.Skip(at);
      p.Literal(static_cast<uint8_t>(k)).Skip(12 - at);
    }
    m.Frames.push_back({{}, {{1, true, p.End().Bytes()}}});
  }
  return m;
}

TEST_F(HavTest, KeyFramesLetASeekSkipWhatCameBefore) {
  // Interval 10: frames 2 to 20 repeat an empty match entry and cannot be
  // decoded; frame 25 from the start decodes 21 to 25 only.
  THavMovieSpec m = Counting(30, 10);
  for (int k = 2; k <= 20; ++k) m.Frames[static_cast<size_t>(k - 1)].Strips[0].Data = THavPacker(false, 1).Repeat(0).End().Bytes();
  const std::string path = Write(m);
  int32_t reached = 0;
  ASSERT_EQ(With(path,
                 [&](THAVFile& f) {
                   HAVImgLoad(f, img_, 25, 0);
                   reached = f.CurFrame;
                 }),
            kOk);
  EXPECT_EQ(reached, 25);
  EXPECT_EQ(Pixels(img_), (THavBytes{25, 0, 0, 0, 21, 0, 22, 0, 23, 0, 24, 0, 0}));
  EXPECT_EQ(With(path, [&](THAVFile& f) { HAVImgLoad(f, img_, 15, 0); }), (TErr{EG_MVI, 3}));

  // Bit 0 goes on from the frame held: a mark no later frame writes stays.
  m = Counting(30, 10);
  ASSERT_EQ(With(Write(m),
                 [&](THAVFile& f) {
                   HAVImgLoad(f, img_, 22, 0);
                   img_.Data[1] = 77;
                   HAVImgLoad(f, img_, 25, 1);
                   EXPECT_EQ(img_.Data[1], 77);
                   HAVImgLoad(f, img_, 24, 1);  // backwards: from key frame 21
                   EXPECT_EQ(Pixels(img_), (THavBytes{0, 0, 0, 0, 21, 0, 22, 0, 23, 0, 24, 0, 0}));
                   HAVImgLoad(f, img_, 24, 1);  // held: nothing to do
                   EXPECT_EQ(f.CurFrame, 24);
                 }),
            kOk);
}

TEST_F(HavTest, WithoutKeyFramesABackwardSeekStartsAtFrameOne) {
  const std::string path = Write(Counting(6, 0));
  ASSERT_EQ(With(path,
                 [&](THAVFile& f) {
                   HAVImgLoad(f, img_, 5, 0);
                   EXPECT_EQ(Pixels(img_), (THavBytes{1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 0, 0, 0}));
                   HAVImgLoad(f, img_, 3, 1);
                   EXPECT_EQ(Pixels(img_), (THavBytes{1, 0, 2, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0}));
                   HAVImgLoad(f, img_, 0, 1);  // the next one
                   EXPECT_EQ(Pixels(img_), (THavBytes{1, 0, 2, 0, 3, 0, 4, 0, 0, 0, 0, 0, 0}));
                   EXPECT_EQ(f.CurFrame, 4);
                 }),
            kOk);
}

TEST_F(HavTest, NearestKeyFramesFollowTheirDirection) {
  THAVFile f;
  f.FrameCount = 30;
  f.KeyFrameInterval = 10;
  EXPECT_EQ(HAVNearestKeyFrame(f, 26, -1), 21);  // the frame before: 25
  EXPECT_EQ(HAVNearestKeyFrame(f, 21, -1), 11);
  EXPECT_EQ(HAVNearestKeyFrame(f, 1, -1), 1);    // frame 0 clamps to 1
  EXPECT_EQ(HAVNearestKeyFrame(f, 25, 0), 21);   // 25 + 9 clamps to 30
  EXPECT_EQ(HAVNearestKeyFrame(f, 12, 0), 21);   // 12 + 9
  f.CurFrame = 25;
  EXPECT_EQ(HAVNearestKeyFrame(f, 12, 1), 1);    // forward, but before the current frame
  f.KeyFrameInterval = 0;
  EXPECT_EQ(HAVNearestKeyFrame(f, 26, -1), 1);
}

TEST_F(HavTest, APaletteIsFoundBackwardsWhenTheDecodedFramesHaveNone) {
  // Interval 5: frame 1 brings entries 0 to 3, frame 3 entries 2 and 3;
  // frames 6 to 8 bring none.
  THavMovieSpec m = Counting(8, 5);
  m.Frames[0].Palettes.push_back({0, {10, 11, 12, 20, 21, 22, 30, 31, 32, 40, 41, 42}});
  m.Frames[2].Palettes.push_back({2, {200, 201, 202, 210, 211, 212}});
  const std::string path = Write(m);
  int32_t changed = 0;
  ASSERT_EQ(With(path,
                 [&](THAVFile& f) {
                   HAVImgLoad(f, img_, 8, 0);
                   changed = f.PalChanged;
                 }),
            kOk);
  EXPECT_NE(changed, 0);
  EXPECT_EQ(img_.Palette[2][0], 202);  // blue, green, red
  EXPECT_EQ(img_.Palette[3][2], 210);
  EXPECT_EQ(img_.Palette[1][2], 0);    // frame 3 has only two entries
  ImgFree(img_);
  ASSERT_EQ(With(path,
                 [&](THAVFile& f) {
                   HAVImgLoad(f, img_, 2, 0);  // frame 1 is decoded and brings it
                   changed = f.PalChanged;
                   TPalette pal = {};
                   EXPECT_EQ(HAVGetPal(f, pal, 8, 4), 0);
                   EXPECT_EQ(HAVGetPal(f, pal, 2, 1), -1);
                   EXPECT_EQ(pal[1][0], 22);
                 }),
            kOk);
  EXPECT_NE(changed, 0);
  EXPECT_EQ(img_.Palette[1][2], 20);
  EXPECT_EQ(img_.Palette[3][0], 42);
}

// ---- description and refusals ----------------------------------------------------------------

TEST_F(HavTest, TheDescriptionNamesModeSizeRateAndSound) {
  THavMovieSpec m = test::HavMovieOf({Picture(6, 3, 2, 0)}, 6, 3, 2, 2, 0, 3);
  m.Fps = 12.5;
  m.AudioFlags = 7;  // two channels, 16 bits
  m.AudioRate = 22050;
  m.AudioLength = 1000;
  TFileInfo info;
  ASSERT_EQ(test::InfoFile(Write(m), info), kOk);
  EXPECT_EQ(info.Description, "HAV, High quality Audio Video");
  EXPECT_EQ(info.VideoCompression, "BEST-P");
  EXPECT_EQ(info.Width, 6);
  EXPECT_EQ(info.BitsPerPixel, 16);
  EXPECT_EQ(info.FrameCount, 1);
  EXPECT_DOUBLE_EQ(info.FramesPerSecond, 12.5);
  EXPECT_NE(info.VideoValid, 0);
  EXPECT_NE(info.VideoLoadable, 0);
  EXPECT_EQ(info.AudioFormat.wFormatTag, 1);
  EXPECT_EQ(info.AudioFormat.nChannels, 2);
  EXPECT_EQ(info.AudioFormat.wBitsPerSample, 16);
  EXPECT_EQ(info.AudioFormat.nBlockAlign, 4);
  EXPECT_EQ(info.AudioFormat.nAvgBytesPerSec, 88200u);
  EXPECT_EQ(info.AudioOutFormat.nSamplesPerSec, 22050u);
  EXPECT_EQ(info.AudioLength, 1000);
  EXPECT_EQ(info.AudioCompression, "PCM, uncompressed");
  const struct {
    int Mode, Flags;
    const char* Text;
    int Channels, Bits;
  } kRows[] = {{0, 1, "BEST", 1, 8}, {1, 4, "FAST", 2, 8}, {3, 3, "N/A", 1, 16}, {8, 2, "N/A", 1, 8}};
  for (const auto& r : kRows) {
    m.Mode = r.Mode;
    m.AudioFlags = r.Flags;
    ASSERT_EQ(test::InfoFile(Write(m), info), kOk);
    EXPECT_EQ(info.VideoCompression, r.Text);
    EXPECT_EQ(info.AudioFormat.nChannels, r.Channels);
    EXPECT_EQ(info.AudioFormat.wBitsPerSample, r.Bits);
  }
  // Sound alone: no pictures, and none described.
  m.Frames.clear();
  ASSERT_EQ(test::InfoFile(Write(m), info), kOk);
  EXPECT_EQ(info.VideoValid, 0);
  EXPECT_EQ(info.Width, 0);
  EXPECT_NE(info.AudioValid, 0);
  m.AudioFlags = 0;
  ASSERT_EQ(test::InfoFile(Write(m), info), kOk);
  EXPECT_EQ(info.AudioValid, 0);
  EXPECT_EQ(info.AudioCompression, "PCM, uncompressed");  // the format layer's default
}

TEST_F(HavTest, HeadersTheReaderCannotTakeAreRefused) {
  const THavMovieSpec good = Counting(2, 0);
  auto opened = [&](const std::string& Bytes) {
    return With(dir_.Write("h.hav", Bytes), [](THAVFile&) {});
  };
  std::string bad = test::HavFile(good);
  bad[3] = 0x1B;
  EXPECT_EQ(opened(bad), (TErr{EG_MVI, 1}));
  EXPECT_EQ(opened("HAV"), (TErr{EG_MVI, 1}));
  THavMovieSpec m = good;
  m.Version = 96;
  EXPECT_EQ(opened(test::HavFile(m)), (TErr{EG_MVI, 5}));
  m = good;
  m.Bpp = 4;
  EXPECT_EQ(opened(test::HavFile(m)), (TErr{EG_MVI, 5}));
  m = good;
  m.Interval = -1;
  EXPECT_EQ(opened(test::HavFile(m)), (TErr{EG_MVI, 1}));
  m = good;
  m.Width = 100000;
  m.Height = 100000;
  EXPECT_EQ(opened(test::HavFile(m)), (TErr{EG_IMG, 12}));
  bad = test::HavFile(good);
  PutU32LE(reinterpret_cast<uint8_t*>(bad.data()) + 4, 60);  // shorter than its fields
  EXPECT_EQ(opened(bad), (TErr{EG_MVI, 1}));
  PutU32LE(reinterpret_cast<uint8_t*>(bad.data()) + 4, static_cast<uint32_t>(bad.size()));
  EXPECT_EQ(opened(bad), (TErr{EG_MVI, 1}));  // no room for the page table
  bad = test::HavFile(good);
  PutU32LE(reinterpret_cast<uint8_t*>(bad.data()) + 28, 65537);
  EXPECT_EQ(opened(bad), (TErr{EG_MVI, 1}));
  // A longer header is skipped.
  m = good;
  m.HeaderSize = 100;
  std::vector<THavBytes> got;
  EXPECT_EQ(Play(Write(m), got), kOk);
  EXPECT_EQ(got.size(), 2u);
}

TEST_F(HavTest, LoadsOutsideTheMovieAreRefused) {
  THavMovieSpec none = Counting(0, 0);
  EXPECT_EQ(With(Write(none), [&](THAVFile& f) { HAVImgLoadNext(f, img_); }), (TErr{EG_HAV, 1}));
  EXPECT_EQ(With(Write(none), [&](THAVFile& f) { HAVImgLoad(f, img_, 0, 0); }), (TErr{EG_HAV, 1}));
  const std::string path = Write(Counting(3, 0));
  EXPECT_EQ(With(path, [&](THAVFile& f) { HAVImgLoad(f, img_, 4, 0); }), (TErr{EG_MVI, 1}));
  EXPECT_EQ(With(path, [&](THAVFile& f) { HAVImgLoad(f, img_, -1, 0); }), (TErr{EG_MVI, 1}));
  // The next frame after the last one is the end, not the entry after it.
  EXPECT_EQ(With(path,
                 [&](THAVFile& f) {
                   HAVImgLoad(f, img_, 3, 0);
                   HAVImgLoad(f, img_, 0, 1);
                 }),
            (TErr{EG_HAV, 1}));
}

// ---- hostile files ------------------------------------------------------------------------------

// A movie of two frames, the second one with a palette and three strips of
// which one comes with the first read; and spoilers of its tables.
THavMovieSpec Victim() {
  THavMovieSpec m = test::HavMovieOf({Picture(8, 6, 1, 0), Picture(8, 6, 1, 1)}, 8, 6, 1, 0, 0, 2);
  m.Frames[1].Palettes.push_back({4, {1, 2, 3}});
  m.Frames[1].Direct = 1;
  return m;
}

TEST_F(HavTest, HostileTablesAndRecordsAreRefusedAsUndecodable) {
  test::THavLayout l;
  const std::string good = test::HavFile(Victim(), &l);
  const size_t entry = l.Entry[1], frame = l.Frame[1], image = l.Image[1];
  const size_t palette = frame + 16, desc = image + 16;
  ASSERT_NE(GetU32LE(reinterpret_cast<const uint8_t*>(good.data()) + desc + 8), 16u);
  const struct {
    const char* What;
    size_t At;
    uint32_t Value;
  } kSpoilers[] = {
      {"page outside the file", l.PageTable, static_cast<uint32_t>(good.size() - 100)},
      {"frame outside the file", entry, static_cast<uint32_t>(good.size() - 10)},
      {"frame larger than its buffer", entry + 4, 48 + 8192 + 1},
      {"frame shorter than its header", entry + 4, 15},
      {"first record past the data", frame + 4, 4000},
      {"first record inside the header", frame + 4, 8},
      {"more records than the data holds", frame + 8, 3},
      {"record of unknown type", palette, 3},
      {"palette past entry 255", palette + 12, 256},
      {"palette data past the frame", palette + 8, 200},
      {"colour data inside the record header", palette + 4, 4},
      {"more strips than descriptors", image + 8, 1000000},
      {"more direct strips than strips", image + 12, 4},
      {"descriptor of another size", desc + 4, 24},
      {"rows past the picture", desc + 20 + 12, 5},
      {"direct strip past the data", desc + 8, 5000},
      {"later strip past the file", desc + 40 + 8, 5000},
      {"stored strip of the wrong size", desc + 16, 0},
  };
  for (const auto& s : kSpoilers) {
    std::string bad = good;
    PutU32LE(reinterpret_cast<uint8_t*>(bad.data()) + s.At, s.Value);
    std::vector<THavBytes> got;
    EXPECT_EQ(Play(dir_.Write("bad.hav", bad), got), (TErr{EG_MVI, 3})) << s.What;
    EXPECT_TRUE(counts_.Same()) << s.What;
  }
  std::vector<THavBytes> got;
  ASSERT_EQ(Play(dir_.Write("good.hav", good), got), kOk);
  EXPECT_EQ(got[1], Picture(8, 6, 1, 1));
}

TEST_F(HavTest, HostileTokensAreRefusedAsUndecodable) {
  const struct {
    const char* What;
    bool Fast;
    std::function<void(THavPacker&)> Tokens;
  } kSpoilers[] = {
      {"a match before the picture", false, [](THavPacker& p) { p.Literal(1).Match(1, 0, 2); }},
      {"a match past the picture", false, [](THavPacker& p) { p.Match(12, 63, 2); }},
      {"a repeat of an empty entry", false, [](THavPacker& p) { p.Literal(1).Repeat(3); }},
      {"a fill past the strip", false, [](THavPacker& p) { p.Fill(1, 0, 0, 17); }},
      {"a fill past the strip", true, [](THavPacker& p) { p.Fill(1, 0, 0, 17); }},
      {"a skip past the strip", false, [](THavPacker& p) { p.Skip(10).Skip(7); }},
      {"a long skip past the strip", true, [](THavPacker& p) { p.Skip(130); }},
      {"a copy from above the picture", false, [](THavPacker& p) { p.Above(2); }},
      {"a copy from above the picture", true, [](THavPacker& p) { p.Above(2); }},
      {"a literal past the strip", false, [](THavPacker& p) { p.Skip(16).Literal(1); }},
      {"a match count past the strip", false, [](THavPacker& p) { p.Fill(1, 0, 0, 8).Match(12, 0, 9); }},
  };
  for (const auto& s : kSpoilers) {
    THavPacker p(s.Fast, 1);
    s.Tokens(p);
    THavBytes got;
    EXPECT_EQ(First(OneStrip(8, 2, 1, s.Fast, p.End()), got), (TErr{EG_MVI, 3})) << s.What;
  }
  // Data that ends before its end token.
  THavBytes got;
  EXPECT_EQ(First(OneStrip(8, 2, 1, 0, THavPacker(false, 1).Skip(16)), got), (TErr{EG_MVI, 3}));
  EXPECT_EQ(First(OneStrip(8, 2, 1, 1, THavPacker(true, 1).Fill(1, 0, 0, 16)), got), (TErr{EG_MVI, 3}));
  // The end token ends a strip only at its end: elsewhere it is a long skip.
  ASSERT_EQ(First(OneStrip(8, 1, 1, 0, THavPacker(false, 1).Literal(3).End().Bits(0, 12)), got),
            (TErr{EG_MVI, 3}));
}

TEST_F(HavTest, EveryPrefixOfASmallMovieLoadsOrFailsCleanly) {
  THavMovieSpec m = Victim();
  m.Mode = 2;
  const std::string whole = test::HavFile(m);
  const std::string path = dir_.Write("cut.hav", whole);
  for (size_t n = whole.size() + 1; n-- > 0;) {
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(n)), 0);
    std::vector<THavBytes> got;
    const TErr e = Play(path, got);
    if (n == whole.size()) {
      EXPECT_EQ(e, kOk);
    }
    for (const THavBytes& f : got) EXPECT_EQ(f.size(), 48u) << n;
    ImgFree(img_);
  }
}

// ---- the format layer and the kvo command ----------------------------------------------------------

TEST_F(HavTest, TheFormatLayerPlaysHavMoviesAndProbesThemByContent) {
  THavMovieSpec m = Counting(4, 2);
  m.Frames[0].Palettes.push_back({0, {1, 2, 3, 4, 5, 6}});
  m.AudioFlags = 1;
  const std::string path = Write(m, "clip.dat.bmp");  // found by its content
  TUniInfo u;
  ASSERT_TRUE(UniInfo(path, u, false));
  EXPECT_EQ(u.FormatId, FF_HAV);
  EXPECT_EQ(u.Kind, UNI_MOVIE);
  EXPECT_EQ(u.FrameCount, 4);
  TUniFile uni;
  ASSERT_EQ(test::Kept([&] {
              UniOpen(uni, u);
              UniImgLoad(uni, img_, 1, 0);
              EXPECT_NE(uni.FrameFlag, 0);  // frame 1 brought a palette
              EXPECT_TRUE(uni.Mvi.View.HasSound);
              UniImgLoad(uni, img_, 4, 1);
            }),
            kOk);
  EXPECT_EQ(uni.CurFrame, 4);
  EXPECT_EQ(uni.FrameFlag, 0);
  EXPECT_EQ(Pixels(img_), (THavBytes{0, 0, 0, 0, 3, 0, 4, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(test::Kept([&] { UniImgLoad(uni, img_, 5, 0); }), (TErr{EG_MVI, 7}));
  test::Kept([&] { UniClose(uni); });
  EXPECT_EQ(test::LoadFile(path, img_, FF_HAV), (TErr{EG_IMG, 2}));  // no still pictures
}

struct TRun {
  int Status = -1;
  std::string Out;
};

TRun Kvo(const std::string& Args) {
  const test::TPipeRun run =
      test::RunShell(test::ShellQuoted(KVO_CLI_PATH) + " " + Args + " 2>&1 </dev/null");
  return TRun{run.Status, run.Out};
}

TEST_F(HavTest, TheKvoCommandDescribesConvertsAndAddsHavMovies) {
  test::ScopedXdg xdg;
  std::vector<THavBytes> pictures;
  for (int k = 0; k < 4; ++k) pictures.push_back(Picture(24, 10, 3, k));
  THavMovieSpec m = test::HavMovieOf(pictures, 24, 10, 3, 2, 2, 4);
  m.Fps = 5;
  const std::string path = Write(m, "clip.hav");
  TRun r = Kvo("info '" + path + "'");
  ASSERT_EQ(r.Status, 0) << r.Out;
  for (const char* want : {"HAV, High quality Audio Video (HAV)", "Picture:      24 x 10 x 24 bits",
                           "Frames:       4", "Compression:  BEST-P", "Loadable:     yes"})
    EXPECT_NE(r.Out.find(want), std::string::npos) << want << "\n" << r.Out;
  // Frame 3 as a BMP, read back by ImageMagick.
  const std::string out = dir_.Path("frame3.bmp");
  r = Kvo("convert --frame 3 '" + path + "' '" + out + "'");
  ASSERT_EQ(r.Status, 0) << r.Out;
  int w = 0, h = 0;
  const THavBytes rgb = test::MagickRgb(out, w, h);
  ASSERT_EQ(rgb.size(), 24u * 10 * 3);
  THavBytes bgr = pictures[2];
  for (size_t i = 0; i < bgr.size(); i += 3) std::swap(bgr[i], bgr[i + 2]);
  EXPECT_EQ(rgb, bgr);
  // Imported into the store as its first frame.
  Settings() = TSettings{};
  SetStorageDir(DefaultStorageDir());
  r = Kvo("add '" + path + "'");
  ASSERT_EQ(r.Status, 0) << r.Out;
  EXPECT_TRUE(FileExists(GetStorageDir() + "Custom--clip.kvo")) << r.Out;
}

// Writes the seed corpus of the HAV fuzz target into $KVO_HAV_SEEDS (run
// by hand with --gtest_also_run_disabled_tests).
TEST_F(HavTest, DISABLED_WriteFuzzSeeds) {
  const char* dir = std::getenv("KVO_HAV_SEEDS");
  ASSERT_NE(dir, nullptr);
  std::vector<THavBytes> pics;
  for (int k = 0; k < 3; ++k) pics.push_back(Picture(12, 6, 3, k));
  const struct {
    const char* Name;
    THavMovieSpec M;
  } kSeeds[] = {{"best.hav", test::HavMovieOf(pics, 12, 6, 3, 0, 2, 2)},
                {"fast.hav", test::HavMovieOf(pics, 12, 6, 3, 1, 0, 3)},
                {"predict.hav", test::HavMovieOf(pics, 12, 6, 3, 2, 0, 2)},
                {"palette.hav", Victim()},
                {"counting.hav", Counting(12, 5)}};
  for (const auto& s : kSeeds) test::WriteWhole(std::string(dir) + "/" + s.Name, test::HavFile(s.M));
}

}  // namespace
}  // namespace kvo
