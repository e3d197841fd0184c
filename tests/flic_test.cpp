// SPDX-License-Identifier: GPL-3.0-or-later
// The FLIC reader: every test movie against FFmpeg's decoder (golden table
// and one live comparison), chunks built in code, seeking, refusals, the
// hostile files of the test data and truncation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ConForm.h"
#include "formats/FF_FLC.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using test::kOk;
using test::TErr;
using TPixels = std::vector<uint8_t>;

struct TChunk {
  int Type;
  TPixels Data;
};

// A FLIC file: the 128-byte header, then one frame chunk per entry of Frames.
std::string Flic(int W, int H, const std::vector<std::vector<TChunk>>& Frames, int Magic = 0xAF12,
                 uint32_t Speed = 40) {
  test::TBytes b;
  b.U32(0).U16(Magic).U16(static_cast<uint32_t>(Frames.size())).U16(W).U16(H).U16(8).U16(3);
  b.U32(Speed).Fill(128 - 20, 0);
  for (const auto& chunks : Frames) {
    size_t size = 16;
    for (const TChunk& c : chunks) size += 6 + c.Data.size();
    b.U32(static_cast<uint32_t>(size))
        .U16(FLC_FRAME)
        .U16(static_cast<uint32_t>(chunks.size()))
        .Fill(8, 0);
    for (const TChunk& c : chunks)
      b.U32(static_cast<uint32_t>(6 + c.Data.size())).U16(c.Type).Raw(c.Data);
  }
  std::string s = b.Str();
  PutU32LE(reinterpret_cast<uint8_t*>(s.data()), static_cast<uint32_t>(s.size()));
  return s;
}

// A 256-level palette chunk whose entry i is (i, 2 i, 3 i).
TChunk Ramp256() {
  TChunk c{FLC_COLOR_256, {1, 0, 0, 0}};
  for (int i = 0; i < 256; ++i)
    c.Data.insert(c.Data.end(), {uint8_t(i), uint8_t(2 * i), uint8_t(3 * i)});
  return c;
}

TChunk Copy(const TPixels& Px) { return {FLC_COPY, Px}; }

TPixels Indices(const TImg& Img) { return TPixels(Img.Data, Img.Data + Img.Width * Img.Height); }

class FlicTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ImgFree(img_);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  // Every frame's indices, or the error that stopped the movie.
  TErr Frames(const std::string& Path, std::vector<TPixels>& Out) {
    Out.clear();
    TFLCFile f;
    TErr e = test::Kept([&] {
      FLCOpen(f, Path);
      while (f.CurFrame < f.FrameCount) {
        FLCLoadNext(f, img_);
        Out.push_back(Indices(img_));
      }
    });
    test::Kept([&] { FLCClose(f); });
    return e;
  }
  TErr Frames(const std::vector<std::vector<TChunk>>& Movie, std::vector<TPixels>& Out, int W = 4,
              int H = 2) {
    return Frames(dir_.Write("x.flc", Flic(W, H, Movie)), Out);
  }
  test::TTableCounts counts_;
  test::TTempDir dir_;
  TImg img_;
};

// ---- the test movies against FFmpeg ----------------------------------------------------------

struct TFlicGolden {
  const char* File;
  int32_t Width, Height, Frames, Bits;
  uint64_t Hash;
};

const TFlicGolden kGolden[] = {
#include "tests/flic_golden.inc"
};

TEST_F(FlicTest, EveryTestMovieDecodesAsFfmpegDecodesIt) {
  for (const TFlicGolden& g : kGolden) {
    SCOPED_TRACE(g.File);
    TFLCFile f;
    uint64_t h = 0xCBF29CE484222325ull;
    ASSERT_EQ(test::Kept([&] {
                FLCOpen(f, test::DataFile(g.File));
                ASSERT_EQ(f.FrameCount, g.Frames);
                while (f.CurFrame < f.FrameCount) {
                  FLCLoadNext(f, img_);
                  for (uint8_t v : test::CanonicalRgb(img_)) {
                    h ^= static_cast<uint8_t>(v >> (8 - g.Bits));
                    h *= 0x100000001B3ull;
                  }
                }
                FLCClose(f);
              }),
              kOk);
    EXPECT_EQ(img_.Width, g.Width);
    EXPECT_EQ(img_.Height, g.Height);
    EXPECT_EQ(h, g.Hash);
  }
}

TEST_F(FlicTest, AWordDeltaMovieMatchesFfmpegFrameByFrame) {
  const std::string path = test::DataFile("flic/pillow/2422.flc");
  std::string out;
  if (FILE* p = ::popen(
          ("ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt rgb24 -fps_mode passthrough -")
              .c_str(),
          "r")) {
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  const size_t frame = 320 * 200 * 3;
  ASSERT_GE(out.size(), 27 * frame);
  TFLCFile f;
  ASSERT_EQ(test::Kept([&] {
              FLCOpen(f, path);
              for (size_t k = 0; k < 27; ++k) {
                FLCLoadNext(f, img_);
                const TPixels rgb = test::CanonicalRgb(img_);
                ASSERT_EQ(rgb, TPixels(out.begin() + k * frame, out.begin() + (k + 1) * frame))
                    << k;
              }
              FLCClose(f);
            }),
            kOk);
}

// ---- chunks built in code --------------------------------------------------------------------

TEST_F(FlicTest, PalettePacketsSkipFromTheLastEntryAndStopAt255) {
  TPalette pal = {};
  TPixels two = {2, 0, 0, 16};  // skip 0, count 16; then skip 16, count 16
  for (int i = 0; i < 16; ++i) two.insert(two.end(), {1, 2, 3});
  two.insert(two.end(), {16, 16});
  for (int i = 0; i < 16; ++i) two.insert(two.end(), {63, 5, 0});
  TByteCursor c = CurMake(two.data(), two.size());
  FLCGetPal_(c, pal, FLC_COLOR_64);
  EXPECT_EQ(pal[15][2], 4);    // red 1, shifted
  EXPECT_EQ(pal[16][2], 0);    // skipped
  EXPECT_EQ(pal[32][2], 252);  // 63 becomes 252
  EXPECT_EQ(pal[47][1], 20);
  EXPECT_EQ(pal[48][2], 0);
  // Count 0 means 256; a packet reaching past entry 255 is cut there.
  TPixels wrap = {1, 0, 250, 0};
  for (int i = 0; i < 256; ++i) wrap.insert(wrap.end(), {9, 9, uint8_t(i)});
  c = CurMake(wrap.data(), wrap.size());
  FLCGetPal_(c, pal, FLC_COLOR_256);
  EXPECT_EQ(pal[0][0], 12);   // entry 0 untouched: no wrap-around
  EXPECT_EQ(pal[255][0], 5);  // blue of the packet's sixth triple
}

TEST_F(FlicTest, RunsAndDeltasBuildOnThePreviousFrame) {
  std::vector<TPixels> fr;
  ASSERT_EQ(Frames({{Ramp256(), {FLC_BYTE_RUN, {0, 3, 7, 0xFF, 8, 0, 0xFC, 1, 2, 3, 4}}},
                    // row 1: skip 1, copy 2 bytes; then a run that crosses the row's end
                    {{FLC_DELTA_FLI, {1, 0, 1, 0, 2, 1, 2, 5, 6, 0, 0xFD, 9}}},
                    {{FLC_BLACK, {}}},
                    {{FLC_DELTA_FLI, {0, 0, 1, 0, 1, 3, 0xFF, 9}}}},
                   fr),
            kOk);
  ASSERT_EQ(fr.size(), 4u);
  EXPECT_EQ(fr[0], (TPixels{7, 7, 7, 8, 1, 2, 3, 4}));
  EXPECT_EQ(fr[1], (TPixels{7, 7, 7, 8, 1, 5, 6, 9}));
  EXPECT_EQ(fr[2], TPixels(8, 0));
  EXPECT_EQ(fr[3], (TPixels{0, 0, 0, 9, 0, 0, 0, 0}));
  EXPECT_EQ(img_.Palette[2][1], 4);  // the first frame's palette stays
}

TEST_F(FlicTest, WordDeltasSkipRowsKeepEmptyRowsAndSetTheLastPixel) {
  std::vector<TPixels> fr;
  // Width 5: words cover pixels in pairs, the last-byte opcode the fifth.
  TPixels delta = {3,    0,                     // three rows with packets
                   0xFF, 0xFF,                  // skip one row
                   0x07, 0x80,                  // last pixel of row 1 := 7
                   1,    0,                     // one packet: skip 1, one word copied
                   1,    1,    1, 2,    0, 0,   // row 2: no packets, unchanged
                   1,    0,    2, 0xFE, 8, 9};  // row 3: skip 2, a word twice, cut at the end
  ASSERT_EQ(Frames({{Copy(TPixels(20, 5))}, {{FLC_DELTA_FLC, delta}}}, fr, 5, 4), kOk);
  ASSERT_EQ(fr.size(), 2u);
  EXPECT_EQ(fr[1], (TPixels{5, 5, 5, 5, 5, 5, 1, 2, 5, 7, 5, 5, 5, 5, 5, 5, 5, 8, 9, 8}));
}

TEST_F(FlicTest, DeltasAddressingRowsOutsideThePictureAreRefused) {
  std::vector<TPixels> fr;
  EXPECT_EQ(Frames({{{FLC_DELTA_FLI, {2, 0, 1, 0, 0}}}}, fr), (TErr{EG_MVI, 3}));
  EXPECT_EQ(Frames({{{FLC_DELTA_FLC, {1, 0, 0xFE, 0xFF, 0, 0}}}}, fr), (TErr{EG_MVI, 3}));
  EXPECT_EQ(Frames({{{FLC_DELTA_FLC, {1, 0, 0xFE, 0xFF, 0x01, 0x80}}}}, fr), (TErr{EG_MVI, 3}));
  // Data that simply ends leaves the rest as it was.
  ASSERT_EQ(Frames({{Copy(TPixels(8, 1))}, {{FLC_BYTE_RUN, {0, 2, 6}}}}, fr), kOk);
  EXPECT_EQ(fr[1], (TPixels{6, 6, 1, 1, 1, 1, 1, 1}));
}

TEST_F(FlicTest, TheExtensionNamesTheUnitOfTheSpeed) {
  const std::string movie = Flic(4, 2, {{Copy(TPixels(8, 1))}}, 0xAF12, 40);
  TFileInfo info;
  ASSERT_EQ(test::InfoFile(dir_.Write("x.flc", movie), info), kOk);
  EXPECT_DOUBLE_EQ(info.FramesPerSecond, 25.0);
  ASSERT_EQ(test::InfoFile(dir_.Write("x.FLI", movie), info), kOk);
  EXPECT_DOUBLE_EQ(info.FramesPerSecond, 1.8);  // 70 / 40 = 1.75, to one decimal halves to even
  EXPECT_EQ(info.VideoCompression, "RLE + pixel difference from previous frame");
  EXPECT_EQ(info.FrameCount, 1);
  EXPECT_EQ(info.Width, 4);
}

TEST_F(FlicTest, SeekingBackRewindsAndBitZeroGoesOn) {
  std::vector<std::vector<TChunk>> movie = {{Copy(TPixels(8, 0))}};
  for (uint8_t k = 1; k < 8; ++k) movie.push_back({{FLC_DELTA_FLI, {0, 0, 1, 0, 1, k, 1, k}}});
  const std::string path = dir_.Write("x.flc", Flic(8, 1, movie));
  TFLCFile f;
  ASSERT_EQ(test::Kept([&] {
              FLCOpen(f, path);
              FLCLoad(f, img_, 8, 0);
              FLCLoad(f, img_, 5, 0);
            }),
            kOk);
  EXPECT_EQ(Indices(img_), (TPixels{0, 1, 2, 3, 4, 0, 0, 0}));
  EXPECT_EQ(f.CurFrame, 5);
  // Bit 0: the picture is trusted and decoding goes on from frame 5.
  img_.Data[7] = 9;
  ASSERT_EQ(test::Kept([&] { FLCLoad(f, img_, 7, 1); }), kOk);
  EXPECT_EQ(Indices(img_), (TPixels{0, 1, 2, 3, 4, 5, 6, 9}));
  ASSERT_EQ(test::Kept([&] { FLCLoad(f, img_, 7, 0); }), kOk);  // without it: from the start
  EXPECT_EQ(img_.Data[7], 0);
  EXPECT_EQ(test::Kept([&] { FLCLoad(f, img_, 9, 0); }), (TErr{EG_MVI, 1}));
  EXPECT_EQ(test::Kept([&] {
              FLCLoad(f, img_, 0, 0);
              FLCLoad(f, img_, 0, 0);
            }),
            (TErr{EG_FLIC, 1}));
  test::Kept([&] { FLCClose(f); });
}

TEST_F(FlicTest, RefusalsNameTheirReason) {
  std::vector<TPixels> fr;
  std::string good = Flic(4, 2, {{Copy(TPixels(8, 1))}});
  std::string bad = good;
  bad[4] = 0x13;
  EXPECT_EQ(Frames(dir_.Write("m.flc", bad), fr), (TErr{EG_IMG, 2}));
  EXPECT_EQ(Frames(dir_.Write("s.flc", good.substr(0, 100)), fr), (TErr{EG_FILE, 3}));
  EXPECT_EQ(Frames(dir_.Write("t.flc", good.substr(0, 140)), fr), (TErr{EG_FILE, 3}));
  EXPECT_EQ(Frames({{{FLC_COPY, {}}, {FLC_BLACK, {}}}}, fr), kOk);
  bad = good;
  PutU32LE(reinterpret_cast<uint8_t*>(bad.data()) + 144, 3);  // a chunk smaller than its header
  EXPECT_EQ(Frames(dir_.Write("c.flc", bad), fr), (TErr{EG_IMG, 2}));
  PutU32LE(reinterpret_cast<uint8_t*>(bad.data()) + 144, 100);  // past its frame
  EXPECT_EQ(Frames(dir_.Write("p.flc", bad), fr), (TErr{EG_FILE, 3}));
  bad = good;
  bad[128] = 100;  // no frame chunk, but one that runs past the file
  bad[132] = 0x00;
  bad[133] = 0xF1;
  EXPECT_EQ(Frames(dir_.Write("n.flc", bad), fr), (TErr{EG_IMG, 2}));
  EXPECT_EQ(Frames(dir_.Write("big.flc", Flic(40000, 40000, {{}})), fr), (TErr{EG_IMG, 12}));
  EXPECT_EQ(Frames(dir_.Write("none.flc", Flic(4, 2, {})), fr), kOk);
  EXPECT_EQ(test::Kept([&] {
              TFLCFile f;
              FLCOpen(f, dir_.Path("none.flc"));
              FLCLoadNext(f, img_);
            }),
            (TErr{EG_FLIC, 1}));
}

TEST_F(FlicTest, TheFormatLayerReadsFlicsAsMovies) {
  const std::string path =
      dir_.Write("clip.fli", Flic(4, 2, {{Ramp256(), Copy(TPixels(8, 3))}}, 0xAF11, 7));
  TUniInfo u;
  ASSERT_TRUE(UniInfo(path, u, false));
  EXPECT_EQ(u.FormatId, FF_FLIC);
  EXPECT_EQ(u.Kind, UNI_MOVIE);
  EXPECT_DOUBLE_EQ(u.FramesPerSecond, 10.0);
  TUniFile uni;
  ASSERT_EQ(test::Kept([&] {
              UniOpen(uni, u);
              UniImgLoad(uni, img_, 1, 0);
            }),
            kOk);
  EXPECT_NE(uni.FrameFlag, 0);  // the frame brought a palette
  EXPECT_EQ(img_.Data[0], 3);
  EXPECT_EQ(img_.Palette[3][0], 9);  // blue of entry 3
  test::Kept([&] { UniClose(uni); });
  EXPECT_EQ(test::LoadFile(path, img_), (TErr{EG_IMG, 2}));  // no still pictures
}

// ---- hostile files and truncation -------------------------------------------------------------

TEST_F(FlicTest, HostileFilesGiveTheirErrors) {
  const std::string root = test::DataDir() + "bad/";
  const struct {
    const char* File;
    TErr Error;
  } kBad[] = {
      {"animator-pro/TEST.CEL", kOk},                      // 0 x 0 and no frames: nothing to decode
      {"pillow/crash-5762152299364352.fli", {EG_IMG, 2}},  // a copy chunk of size 0
      {"pillow/fli_overflow.fli", {EG_FILE, 3}},           // a copy chunk running past its frame
      {"pillow/fli_overrun.bin", {EG_FILE, 3}},  // a palette chunk past the end of the file
      {"pillow/fli_overrun2.bin", {EG_IMG, 2}},  // a frame of 2 bytes
      {"pillow/timeout-9139147ce93e20eb14088fe238e541443ffd64b3.fli", {EG_IMG, 2}},  // chunk size 0
      {"pillow/timeout-bff0a9dc7243a8e6ede2408d2ffa6a9964698b87.fli", {EG_IMG, 2}},  // chunk size 0
  };
  for (const auto& b : kBad) {
    std::vector<TPixels> fr;
    EXPECT_EQ(Frames(root + b.File, fr), b.Error) << b.File;
  }
  // Pillow's out-of-bounds collection (and its notes): Pillow 9.4 refuses
  // every file, and so does the reader, as a damaged file.
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root + "pillow-fli_oob")) {
    if (!entry.is_regular_file()) continue;
    ++files;
    std::vector<TPixels> fr;
    const TErr e = Frames(entry.path().string(), fr);
    EXPECT_TRUE(e == (TErr{EG_FILE, 3}) || e == (TErr{EG_IMG, 2}))
        << entry.path() << ": " << test::ToString(e);
    ImgFree(img_);
  }
  EXPECT_EQ(files, 46);
}

TEST_F(FlicTest, EveryPrefixOfSmallFilesLoadsOrFailsCleanly) {
  const std::string files[] = {
      Flic(4, 2,
           {{Ramp256(), {FLC_BYTE_RUN, {0, 3, 7, 0xFF, 8, 0, 0x04, 1, 2, 3, 4}}},
            {{FLC_DELTA_FLI, {1, 0, 1, 0, 2, 1, 2, 5, 6}}},
            {{FLC_DELTA_FLC, {1, 0, 1, 0, 0, 1, 1, 2}}}}),
      test::ReadWhole(test::DataFile("flic/animator-pro/LOGO.CEL"))};
  for (const std::string& whole : files) {
    ASSERT_FALSE(whole.empty());
    const std::string path = dir_.Write("cut.flc", whole);
    for (size_t n = whole.size() + 1; n-- > 0;) {  // cut shorter and shorter
      ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(n)), 0);
      std::vector<TPixels> fr;
      if (Frames(path, fr) == kOk) {
        for (const TPixels& f : fr) EXPECT_EQ(f.size(), fr[0].size()) << n;
      }
      ImgFree(img_);
    }
  }
}

}  // namespace
}  // namespace kvo
