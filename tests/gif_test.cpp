// SPDX-License-Identifier: GPL-3.0-or-later
// The GIF reader: every test file against the golden table (decoded by the
// reader's rules independently and checked against ImageMagick), live
// comparisons with ImageMagick, LZW streams and odd files built in code by
// a small encoder, composition and seeking, the scan cache, truncation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ConForm.h"
#include "formats/FF_GIF.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using test::kOk;
using test::TErr;
using TPixels = std::vector<uint8_t>;

// ---- a small GIF writer -------------------------------------------------------------------

// LZW codes packed least significant bit first, with the code width growing
// as the decoder expects. DeferFull codes are written with a full table
// before the clear code that empties it (0: clear at once).
TPixels LzwEncode(const TPixels& Px, int CodeSize, int DeferFull = 0, bool Eoi = true) {
  const int clear = 1 << CodeSize, end = clear + 1;
  int width = CodeSize + 1, next = clear + 2, deferred = 0, nbits = 0;
  uint32_t acc = 0;
  TPixels out;
  std::map<std::pair<int, int>, int> dict;
  auto put = [&](int code) {
    acc |= static_cast<uint32_t>(code) << nbits;
    for (nbits += width; nbits >= 8; nbits -= 8, acc >>= 8) out.push_back(acc & 0xFF);
  };
  auto emit = [&](int code) {
    put(code);
    if (next >= (1 << width) && width < 12) ++width;
  };
  auto emitClear = [&] {
    put(clear);
    width = CodeSize + 1;
    next = clear + 2;
    dict.clear();
  };
  emitClear();
  int cur = Px[0];
  for (size_t i = 1; i < Px.size(); ++i) {
    auto it = dict.find({cur, Px[i]});
    if (it != dict.end()) {
      cur = it->second;
      continue;
    }
    emit(cur);
    if (next < 4096)
      dict[{cur, Px[i]}] = next++;
    else if (++deferred > DeferFull)
      emitClear(), deferred = 0;
    cur = Px[i];
  }
  emit(cur);
  if (Eoi) emit(end);
  if (nbits > 0) out.push_back(acc & 0xFF);
  return out;
}

// Sub-blocks of the given lengths in turn (the last length repeats).
TPixels SubBlocks(const TPixels& Codes, std::vector<int> Lengths) {
  TPixels out;
  for (size_t i = 0, k = 0; i < Codes.size(); k = std::min(k + 1, Lengths.size() - 1)) {
    const size_t n = std::min<size_t>(Lengths[k], Codes.size() - i);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), Codes.begin() + i, Codes.begin() + i + n);
    i += n;
  }
  out.push_back(0);
  return out;
}

struct TFrame {
  std::string Before;  // bytes written before the frame (other extensions)
  int Left = 0, Top = 0, Width = 0, Height = 0;
  TPixels Pixels;  // rows top first
  bool Gce = true;
  int Disposal = 0, Delay = 0;
  int Transparent = -1;  // the index with the flag set
  TPixels LocalPal;      // red, green, blue; empty: none
  bool Interlaced = false;
  int CodeSize = 2;
};

struct TGif {
  int Width = 4, Height = 4, Back = 0;
  TPixels GlobalPal = Ramp(4);  // red, green, blue; empty: none
  std::vector<TFrame> Frames;
  std::string Version = "89a";

  static TPixels Ramp(int N) {  // entry i: (10 i, 20 i, 30 i)
    TPixels p;
    for (int i = 0; i < N; ++i)
      p.insert(p.end(), {uint8_t(10 * i), uint8_t(20 * i), uint8_t(30 * i)});
    return p;
  }
  static int TableBits(size_t Bytes) {
    int bits = 0;
    while ((3u << (bits + 1)) < Bytes) ++bits;
    return bits;
  }
  // A colour table padded to its power of two.
  static void Table(test::TBytes& B, const TPixels& Pal) {
    B.Raw(Pal).Fill((3u << (TableBits(Pal.size()) + 1)) - Pal.size(), 0);
  }
  std::string Bytes() const {
    test::TBytes b;
    b.Raw({'G', 'I', 'F'}).Raw(TPixels(Version.begin(), Version.end())).U16(Width).U16(Height);
    b.U8(GlobalPal.empty() ? 0 : 0x80 | TableBits(GlobalPal.size())).U8(Back).U8(0);
    if (!GlobalPal.empty()) Table(b, GlobalPal);
    for (const TFrame& f : Frames) {
      b.Raw(TPixels(f.Before.begin(), f.Before.end()));
      const uint8_t flags = static_cast<uint8_t>((f.Disposal << 2) | (f.Transparent >= 0));
      const uint8_t key = static_cast<uint8_t>(f.Transparent >= 0 ? f.Transparent : 0);
      if (f.Gce) b.Raw({0x21, 0xF9, 4, flags, uint8_t(f.Delay), uint8_t(f.Delay >> 8), key, 0});
      b.U8(0x2C).U16(f.Left).U16(f.Top).U16(f.Width).U16(f.Height);
      const int lbits = f.LocalPal.empty() ? 0 : 0x80 | TableBits(f.LocalPal.size());
      b.U8(lbits | (f.Interlaced ? 0x40 : 0));
      if (!f.LocalPal.empty()) Table(b, f.LocalPal);
      TPixels rows = f.Pixels;
      if (f.Interlaced) {  // rows in the order of the four passes
        rows.clear();
        for (int pass = 0; pass < 4; ++pass)
          for (int y = "\0\4\2\1"[pass]; y < f.Height; y += "\10\10\4\2"[pass])
            rows.insert(rows.end(), f.Pixels.begin() + y * f.Width,
                        f.Pixels.begin() + (y + 1) * f.Width);
      }
      b.U8(f.CodeSize).Raw(SubBlocks(LzwEncode(rows, f.CodeSize), {255}));
    }
    b.U8(0x3B);
    return b.Str();
  }
};

// The screen of G (whose frames are ignored) and one frame covering it,
// with its data (code size byte, sub-blocks) given as is.
std::string RawFrame(TGif G, const TPixels& Data) {
  G.Frames.clear();
  std::string bytes = G.Bytes();
  bytes.pop_back();
  test::TBytes b;
  b.U8(0x2C).U16(0).U16(0).U16(G.Width).U16(G.Height).U8(0).Raw(Data).U8(0x3B);
  return bytes + b.Str();
}

TFrame Solid(int Left, int Top, int W, int H, uint8_t Index) {
  TFrame f;
  f.Left = Left, f.Top = Top, f.Width = W, f.Height = H;
  f.Pixels.assign(static_cast<size_t>(W * H), Index);
  return f;
}

TPixels Noise(size_t N, int Symbols, uint32_t Seed) {
  TPixels p(N);
  for (auto& v : p) v = static_cast<uint8_t>((Seed = Seed * 1103515245u + 12345u) >> 16) % Symbols;
  return p;
}

TPixels Indices(const TImg& Img) { return TPixels(Img.Data, Img.Data + Img.Width * Img.Height); }

class GifTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GIFDone();  // a scan of an earlier test may still hold the position table
    counts_ = test::TTableCounts();
  }
  void TearDown() override {
    ImgFree(img_);
    GIFDone();  // the position table outlives files on purpose
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  // A fresh name each time unless one is given: rewriting a file makes the
  // file system flush it.
  std::string Write(const std::string& Bytes, std::string Name = "") {
    if (Name.empty()) Name = "f" + std::to_string(++files_) + ".gif";
    return dir_.Write(Name, Bytes);
  }
  // Opens in full, decodes every frame; the pictures' indices, one a frame.
  TErr Movie(const std::string& Path, std::vector<TPixels>& Frames, TGIFFile& Gf) {
    Frames.clear();
    return test::Kept([&] {
      GIFOpen(Gf, Path, 0);
      while (Gf.CurFrame < Gf.FrameCount) {
        GIFLoadNext(Gf, img_);
        Frames.push_back(Indices(img_));
      }
      GIFClose(Gf);
    });
  }
  test::TTableCounts counts_;
  test::TTempDir dir_;
  TImg img_;
  int files_ = 0;
};

// ---- the golden battery ------------------------------------------------------------------

struct TGifGolden {
  const char* File;
  int32_t Width, Height, Frames, Group, Code;
  uint64_t Hash;
  int32_t StillGroup, StillCode;
  uint64_t StillHash;
};

const TGifGolden kGolden[] = {
#include "tests/gif_golden.inc"
};

uint64_t HashOn(uint64_t H, const TImg& Img) {
  for (uint8_t b : test::CanonicalRgb(Img)) {
    H ^= b;
    H *= 0x100000001B3ull;
  }
  return H;
}

TEST_F(GifTest, EveryTestFileDecodesFrameByFrameAsTheTableSays) {
  const std::string root = test::DataDir();
  for (const TGifGolden& g : kGolden) {
    SCOPED_TRACE(g.File);
    TGIFFile gf;
    uint64_t h = 0xCBF29CE484222325ull;
    int32_t frames = 0;
    TErr e = test::Kept([&] {
      GIFOpen(gf, root + g.File, 0);
      for (; frames < gf.FrameCount; ++frames) {
        GIFLoadNext(gf, img_);
        ASSERT_EQ(img_.Width, g.Width);
        ASSERT_EQ(img_.Height, g.Height);
        h = HashOn(h, img_);
      }
    });
    test::Kept([&] { GIFClose(gf); });
    EXPECT_EQ(e, (TErr{g.Group, g.Code}));
    EXPECT_EQ(frames, g.Frames);
    if (g.Frames > 0) {
      EXPECT_EQ(h, g.Hash);
    }
    ImgFree(img_);
    EXPECT_EQ(test::LoadFile(root + g.File, img_, FF_GIF), (TErr{g.StillGroup, g.StillCode}));
    if (g.StillGroup == 0) {
      EXPECT_EQ(HashOn(0xCBF29CE484222325ull, img_), g.StillHash);
    }
    ImgFree(img_);
  }
}

std::vector<TPixels> MagickFrames(const std::string& Path, size_t FrameBytes) {
  std::string out;
  if (FILE* p =
          ::popen(("/usr/bin/convert '" + Path + "' -coalesce -depth 8 rgba:-").c_str(), "r")) {
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  std::vector<TPixels> frames;
  for (size_t at = 0; FrameBytes && at + FrameBytes <= out.size(); at += FrameBytes) {
    TPixels rgb;
    for (size_t i = at; i < at + FrameBytes; i += 4)
      rgb.insert(rgb.end(), {uint8_t(out[i]), uint8_t(out[i + 1]), uint8_t(out[i + 2])});
    frames.push_back(rgb);
  }
  return frames;
}

// Files whose every frame ImageMagick composes exactly as the reader does,
// among them frames larger than the screen (test_extents).
TEST_F(GifTest, AnimationsMatchImageMagickFrameByFrame) {
  for (const char* file : {"gif/giflib/fire.gif", "gif/pillow/chi.gif",
                           "gif/pillow/test_extents.gif", "gif/giflib/treescap-interlaced.gif"}) {
    SCOPED_TRACE(file);
    const std::string path = test::DataFile(file);
    TGIFFile gf;
    std::vector<TPixels> mine;
    ASSERT_EQ(test::Kept([&] {
                GIFOpen(gf, path, 0);
                while (gf.CurFrame < gf.FrameCount) {
                  GIFLoadNext(gf, img_);
                  mine.push_back(test::CanonicalRgb(img_));
                }
                GIFClose(gf);
              }),
              kOk);
    const std::vector<TPixels> magick = MagickFrames(path, size_t(gf.Width) * gf.Height * 4);
    ASSERT_EQ(magick.size(), mine.size());
    for (size_t k = 0; k < mine.size(); ++k) EXPECT_EQ(mine[k], magick[k]) << "frame " << k + 1;
  }
}

// ---- LZW ---------------------------------------------------------------------------------

// One square frame of noise (Px). 100 x 100 pixels of four colours make
// codes of every width from 3 to 12; 200 x 200 fill the string table.
std::string NoiseGif(int CodeSize, const std::vector<int>& Blocks, int DeferFull, bool Eoi,
                     const TPixels& Px) {
  TGif g;
  g.Width = g.Height = Px.size() == 100 * 100 ? 100 : 200;
  g.GlobalPal = TGif::Ramp(256);
  TPixels data = SubBlocks(LzwEncode(Px, CodeSize, DeferFull, Eoi), Blocks);
  data.insert(data.begin(), static_cast<uint8_t>(CodeSize));
  return RawFrame(g, data);
}

TEST_F(GifTest, CodesSpanningSubBlocksDecodeForEveryWidthAndBlockLength) {
  const TPixels px = Noise(100 * 100, 4, 7);
  for (int len = 1; len <= 255; ++len) {
    ASSERT_EQ(test::LoadFile(Write(NoiseGif(2, {len}, 0, true, px)), img_), kOk) << len;
    ASSERT_EQ(Indices(img_), px) << "sub-blocks of " << len;
  }
  for (int cs = 3; cs <= 8; ++cs) {
    const TPixels p = Noise(200 * 200, 1 << cs, cs);
    for (const std::vector<int>& blocks :
         std::vector<std::vector<int>>{{1}, {2}, {3}, {254}, {1, 255, 7, 130, 2}}) {
      ASSERT_EQ(test::LoadFile(Write(NoiseGif(cs, blocks, 0, true, p)), img_), kOk);
      EXPECT_EQ(Indices(img_), p) << "code size " << cs << ", first block " << blocks[0];
    }
  }
}

TEST_F(GifTest, AFullTableKeepsTwelveBitCodesUntilTheClearCode) {
  for (int defer : {1, 50, 5000}) {  // 5000: the table stays full to the end
    const TPixels px = Noise(200 * 200, 16, defer);
    ASSERT_EQ(test::LoadFile(Write(NoiseGif(4, {255}, defer, true, px)), img_), kOk);
    EXPECT_EQ(Indices(img_), px) << defer;
  }
}

// Without an end code the stream's last codes sit in its final bytes before
// the terminator; every pixel count puts them at another bit offset.
TEST_F(GifTest, TheLastCodesBeforeTheTerminatorAreDecoded) {
  for (int n = 1; n <= 24; ++n) {
    TGif g;
    g.Width = n, g.Height = 1;
    const TPixels px = Noise(static_cast<size_t>(n), 4, n);
    TPixels data = SubBlocks(LzwEncode(px, 2, 0, false), {3});
    data.insert(data.begin(), 2);
    ASSERT_EQ(test::LoadFile(Write(RawFrame(g, data)), img_), kOk);
    EXPECT_EQ(Indices(img_), px) << n;
  }
}

TEST_F(GifTest, BrokenStreamsEndTheFrameOrAreRefused) {
  TGif g;
  g.Back = 3;
  EXPECT_EQ(test::LoadFile(Write(RawFrame(g, {12, 1, 0, 0})), img_),
            (TErr{EG_IMG, 3}));  // 13-bit codes
  // Three-bit codes 4 (clear), then 7: an entry of the empty table.
  EXPECT_EQ(test::LoadFile(Write(RawFrame(g, {2, 1, 4 | 7 << 3, 0})), img_), (TErr{EG_IMG, 3}));
  // Codes 4, then 1, then two bits: one pixel; the rest keeps the background.
  ASSERT_EQ(test::LoadFile(Write(RawFrame(g, {2, 1, 4 | 1 << 3, 0})), img_), kOk);
  EXPECT_EQ(Indices(img_), (TPixels{1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3}));
  // A first code that is no clear code starts the stream just as well.
  ASSERT_EQ(test::LoadFile(Write(RawFrame(g, {2, 1, 2 | 5 << 3, 0})), img_), kOk);
  EXPECT_EQ(img_.Data[0], 2);
}

// ---- composition -----------------------------------------------------------------------------

TEST_F(GifTest, DisposalRestoresWhatLayUnderTheFrame) {
  TGif g;
  g.Back = 2;
  TFrame f1 = Solid(0, 0, 4, 4, 1), f2 = Solid(1, 1, 2, 2, 3), f3 = Solid(0, 0, 1, 1, 0);
  f2.Disposal = 3;
  g.Frames = {f1, f2, f3};
  std::vector<TPixels> fr;
  TGIFFile gf;
  ASSERT_EQ(Movie(Write(g.Bytes()), fr, gf), kOk);
  ASSERT_EQ(fr.size(), 3u);
  EXPECT_EQ(fr[1], (TPixels{1, 1, 1, 1, 1, 3, 3, 1, 1, 3, 3, 1, 1, 1, 1, 1}));
  EXPECT_EQ(fr[2], (TPixels{0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
  // Disposal 2 fills with the background index, 255 without a global table.
  g.Frames[1].Disposal = 2;
  ASSERT_EQ(Movie(Write(g.Bytes()), fr, gf), kOk);
  EXPECT_EQ(fr[2], (TPixels{0, 1, 1, 1, 1, 2, 2, 1, 1, 2, 2, 1, 1, 1, 1, 1}));
  g.GlobalPal.clear();
  for (TFrame& f : g.Frames) f.LocalPal = TGif::Ramp(4);
  ASSERT_EQ(Movie(Write(g.Bytes()), fr, gf), kOk);
  EXPECT_EQ(fr[2], (TPixels{0, 1, 1, 1, 1, 255, 255, 1, 1, 255, 255, 1, 1, 1, 1, 1}));
}

TEST_F(GifTest, TransparencyCountsOnlyInPartialFrames) {
  TGif g;
  TFrame f1 = Solid(0, 0, 4, 4, 1), full = Solid(0, 0, 4, 4, 2), part = Solid(2, 0, 2, 2, 0);
  full.Pixels[0] = part.Pixels[0] = 3;
  full.Transparent = part.Transparent = 3;
  g.Frames = {f1, full, part};
  std::vector<TPixels> fr;
  TGIFFile gf;
  ASSERT_EQ(Movie(Write(g.Bytes()), fr, gf), kOk);
  EXPECT_EQ(fr[1][0], 3);  // a full-screen frame overwrites the canvas whole
  EXPECT_EQ(fr[2], (TPixels{3, 2, 2, 0, 2, 2, 0, 0, 2, 2, 2, 2, 2, 2, 2, 2}));
}

TEST_F(GifTest, FramesBeyondTheScreenAreClippedAndTheFirstStartsOnTheBackground) {
  TGif g;
  g.Back = 2;
  TFrame f1 = Solid(1, 1, 2, 2, 1);
  TFrame wide = Solid(3, 2, 40, 30, 3);
  wide.Interlaced = true;
  g.Frames = {f1, wide, Solid(9, 9, 5, 5, 0)};
  std::vector<TPixels> fr;
  TGIFFile gf;
  ASSERT_EQ(Movie(Write(g.Bytes()), fr, gf), kOk);
  ASSERT_EQ(fr.size(), 3u);
  EXPECT_EQ(fr[0], (TPixels{2, 2, 2, 2, 2, 1, 1, 2, 2, 1, 1, 2, 2, 2, 2, 2}));
  EXPECT_EQ(fr[1], (TPixels{2, 2, 2, 2, 2, 1, 1, 2, 2, 1, 1, 3, 2, 2, 2, 3}));
  EXPECT_EQ(fr[2], fr[1]);  // wholly outside: nothing drawn
  EXPECT_NE(gf.Partial, 0);
}

TEST_F(GifTest, InterlacedRowsComeBackInOrder) {
  TGif g;
  g.Width = 3, g.Height = 11;
  TFrame f = Solid(0, 0, 3, 11, 0);
  for (int y = 0; y < 11; ++y)
    for (int x = 0; x < 3; ++x) f.Pixels[y * 3 + x] = static_cast<uint8_t>(y % 4);
  f.Interlaced = true;
  g.Frames = {f};
  ASSERT_EQ(test::LoadFile(Write(g.Bytes()), img_), kOk);
  EXPECT_EQ(Indices(img_), f.Pixels);
}

// ---- scanning, seeking and the cache ---------------------------------------------------------

TEST_F(GifTest, FrameRatesFollowTheDelays) {
  TGif g;
  g.Frames = {Solid(0, 0, 4, 4, 1), Solid(0, 0, 4, 4, 2), Solid(0, 0, 4, 4, 3)};
  g.Frames[0].Delay = 30, g.Frames[1].Delay = 20, g.Frames[2].Delay = 10;
  const std::string path = Write(g.Bytes());
  TGIFFile gf;
  ASSERT_EQ(test::Kept([&] {
              GIFOpen(gf, path, -1);
              GIFClose(gf);
            }),
            kOk);
  EXPECT_EQ(gf.FrameCount, 1);
  EXPECT_DOUBLE_EQ(gf.FrameRate, 3.0);  // 100 div 30
  ASSERT_EQ(test::Kept([&] {
              GIFOpen(gf, path, 0);
              GIFClose(gf);
            }),
            kOk);
  EXPECT_EQ(gf.FrameCount, 3);
  EXPECT_DOUBLE_EQ(gf.FrameRate, 5.0);  // 3 x 100 / 60
  EXPECT_EQ(gf.Partial, 0);
}

TEST_F(GifTest, AGif87aAnimationEndsAtTheFirstFrameThatDoesNotFollowDirectly) {
  TGif g;
  g.Version = "87a";
  g.Frames = {Solid(0, 0, 4, 4, 1), Solid(0, 0, 4, 4, 2), Solid(0, 0, 4, 4, 3)};
  for (TFrame& f : g.Frames) f.Gce = false;
  std::vector<TPixels> fr;
  TGIFFile gf;
  ASSERT_EQ(Movie(Write(g.Bytes()), fr, gf), kOk);
  EXPECT_EQ(fr.size(), 3u);
  g.Frames[1].Before = std::string("\x21\xFE\x02hi\x00", 6);  // a comment
  ASSERT_EQ(Movie(Write(g.Bytes()), fr, gf), kOk);
  EXPECT_EQ(fr.size(), 1u);
}

TEST_F(GifTest, SeekingGoesStraightToFullFramesAndReplaysPartialOnes) {
  TGif g;
  g.Frames = {Solid(0, 0, 4, 4, 1), Solid(0, 0, 1, 1, 2), Solid(1, 0, 1, 1, 3),
              Solid(0, 0, 4, 4, 0)};
  const std::string path = Write(g.Bytes());
  const TPixels third = {2, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  TGIFFile gf;
  ASSERT_EQ(test::Kept([&] { GIFOpen(gf, path, 0); }), kOk);
  EXPECT_NE(gf.Partial, 0);
  ASSERT_EQ(test::Kept([&] {
              GIFLoad(gf, img_, 4, 0);
              GIFLoad(gf, img_, 3, 0);
            }),
            kOk);
  EXPECT_EQ(Indices(img_), third);
  // Bit 0 vouches for the picture: nothing is done, or decoding goes on
  // from the current frame; without it a partial file is replayed.
  MemFill(img_.Data, 16, 9);
  ASSERT_EQ(test::Kept([&] { GIFLoad(gf, img_, 3, 1); }), kOk);
  EXPECT_EQ(Indices(img_), TPixels(16, 9));
  ASSERT_EQ(test::Kept([&] { GIFLoad(gf, img_, 3, 0); }), kOk);
  EXPECT_EQ(Indices(img_), third);
  ASSERT_EQ(test::Kept([&] { GIFLoad(gf, img_, 1, 0); }), kOk);
  MemFill(img_.Data, 16, 9);
  ASSERT_EQ(test::Kept([&] { GIFLoad(gf, img_, 3, 1); }), kOk);
  EXPECT_EQ(Indices(img_), (TPixels{2, 3, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9}));
  EXPECT_EQ(test::Kept([&] { GIFLoad(gf, img_, 5, 0); }), (TErr{EG_MVI, 1}));
  EXPECT_EQ(test::Kept([&] {
              GIFLoad(gf, img_, 0, 0);
              GIFLoad(gf, img_, 0, 0);
            }),
            (TErr{EG_MVI, 7}));
  EXPECT_EQ(gf.CurFrame, 4);
  test::Kept([&] { GIFClose(gf); });
  // Without partial frames any frame is decoded alone.
  g.Frames[2] = Solid(0, 0, 4, 4, 3);
  ASSERT_EQ(test::Kept([&] {
              GIFOpen(gf, Write(g.Bytes(), "y.gif"), 0);
              GIFLoad(gf, img_, 3, 0);
            }),
            kOk);
  EXPECT_EQ(gf.CurFrame, 3);
  EXPECT_EQ(Indices(img_), TPixels(16, 3));
  test::Kept([&] { GIFClose(gf); });
}

TEST_F(GifTest, ReopeningAnUnchangedFileTakesTheScanFromTheCache) {
  TGif g;
  g.Frames = {Solid(0, 0, 4, 4, 1), Solid(0, 0, 4, 4, 2)};
  g.Frames[0].Delay = g.Frames[1].Delay = 10;
  const std::string path = Write(g.Bytes());
  const auto stamp = std::filesystem::last_write_time(path);
  TGIFFile gf;
  ASSERT_EQ(test::Kept([&] {
              GIFOpen(gf, path, 0);
              GIFClose(gf);
            }),
            kOk);
  EXPECT_DOUBLE_EQ(gf.FrameRate, 10.0);
  // Same size and time stamp, another delay: a scan would see it, the cache
  // does not.
  g.Frames[1].Delay = 30;
  test::WriteWhole(path, g.Bytes());
  std::filesystem::last_write_time(path, stamp);
  ASSERT_EQ(test::Kept([&] {
              GIFOpen(gf, path, 0);
              GIFClose(gf);
            }),
            kOk);
  EXPECT_EQ(gf.FrameCount, 2);
  EXPECT_DOUBLE_EQ(gf.FrameRate, 10.0);
  std::filesystem::last_write_time(path, stamp + std::chrono::seconds(2));
  ASSERT_EQ(test::Kept([&] {
              GIFOpen(gf, path, 0);
              GIFClose(gf);
            }),
            kOk);
  EXPECT_DOUBLE_EQ(gf.FrameRate, 5.0);
}

// The position table belongs to the last file scanned in full; an open
// movie whose positions were replaced is refused rather than misread, and a
// still picture read meanwhile disturbs nothing.
TEST_F(GifTest, AnotherScanLeavesAnOpenMovieWithoutItsPositions) {
  TGif a, b;
  a.Frames = {Solid(0, 0, 4, 4, 1), Solid(0, 0, 4, 4, 2)};
  b.Frames = {Solid(0, 0, 4, 4, 3), Solid(0, 0, 4, 4, 0), Solid(0, 0, 4, 4, 0)};
  const std::string pa = Write(a.Bytes(), "a.gif"), pb = Write(b.Bytes(), "b.gif");
  TGIFFile ga, gb;
  ASSERT_EQ(test::Kept([&] {
              GIFOpen(ga, pa, 0);
              GIFLoad(ga, img_, 1, 0);
            }),
            kOk);
  ASSERT_EQ(test::LoadFile(pb, img_), kOk);
  ASSERT_EQ(test::Kept([&] { GIFLoad(ga, img_, 2, 0); }), kOk);
  EXPECT_EQ(img_.Data[0], 2);
  ASSERT_EQ(test::Kept([&] {
              GIFOpen(gb, pb, 0);
              GIFClose(gb);
            }),
            kOk);
  EXPECT_EQ(test::Kept([&] { GIFLoad(ga, img_, 2, 0); }), (TErr{EG_MVI, 1}));
  test::Kept([&] { GIFClose(ga); });
}

// ---- refusals, the dispatch and truncation -----------------------------------------------------

TEST_F(GifTest, RefusalsNameTheirReason) {
  TGif g;
  g.Frames = {Solid(0, 0, 4, 4, 1)};
  const std::string good = g.Bytes();
  EXPECT_EQ(test::LoadFile(Write("GIF90a" + good.substr(6)), img_), (TErr{EG_IMG, 2}));
  EXPECT_EQ(test::LoadFile(Write(good.substr(0, 12)), img_), (TErr{EG_FILE, 3}));
  EXPECT_EQ(test::LoadFile(Write(good.substr(0, 20)), img_), (TErr{EG_FILE, 3}));  // colour table
  EXPECT_EQ(test::LoadFile(Write(good.substr(0, 25) + ";"), img_), (TErr{EG_IMG, 4}));
  // No frame at all: it opens, and a picture is asked for in vain.
  TFileInfo info;
  const std::string empty = Write(good.substr(0, 25));
  ASSERT_EQ(test::InfoFile(empty, info), kOk);
  EXPECT_EQ(info.FrameCount, 0);
  EXPECT_EQ(test::LoadFile(empty, img_), (TErr{EG_MVI, 7}));
  g.Width = 0;
  EXPECT_EQ(test::LoadFile(Write(g.Bytes()), img_), (TErr{EG_IMG, 4}));
  g.Width = 40000, g.Height = 40000;
  EXPECT_EQ(test::LoadFile(Write(g.Bytes()), img_), (TErr{EG_IMG, 12}));
}

TEST_F(GifTest, TheFormatLayerReadsGifsAsStillsMoviesAndDescriptions) {
  TGif g;
  g.Frames = {Solid(0, 0, 4, 4, 1), Solid(1, 1, 2, 2, 2)};
  g.Frames[0].Delay = g.Frames[1].Delay = 25;
  const std::string path = Write(g.Bytes(), "anim.gif");
  TUniInfo u;
  ASSERT_TRUE(UniInfo(path, u, false));
  EXPECT_EQ(u.FormatId, FF_GIF);
  EXPECT_EQ(u.Kind, UNI_MOVIE);
  EXPECT_EQ(u.FrameCount, 2);
  EXPECT_DOUBLE_EQ(u.FramesPerSecond, 4.0);
  EXPECT_EQ(u.VideoCompression, "Variable-Length-Code LZW (Lempel-Ziv & Welch)");
  TUniFile uni;
  ASSERT_EQ(test::Kept([&] {
              UniOpen(uni, u);
              UniImgLoad(uni, img_, 2, 0);
            }),
            kOk);
  EXPECT_EQ(uni.CurFrame, 2);
  EXPECT_EQ(img_.Data[5], 2);
  EXPECT_EQ(img_.Palette[1][2], 10);  // red of entry 1, stored blue, green, red
  test::Kept([&] { UniClose(uni); });
  // Under a wrong extension the probe still finds it.
  ASSERT_TRUE(UniInfo(Write(g.Bytes(), "anim.bmp"), u, false));
  EXPECT_EQ(u.FormatId, FF_GIF);
}

TEST_F(GifTest, ACutAnimationShowsItsWholeFrames) {
  TGif g;
  g.Frames = {Solid(0, 0, 4, 4, 1), Solid(0, 0, 4, 4, 2)};
  const std::string two = g.Bytes();
  g.Frames.push_back(Solid(1, 1, 2, 2, 3));
  const std::string three = g.Bytes();
  // Cut inside the second frame's data: imported as a still of the first.
  TUniInfo u;
  ASSERT_TRUE(UniInfo(Write(three.substr(0, two.size() - 3)), u, false));
  EXPECT_EQ(u.FrameCount, 1);
  EXPECT_EQ(u.Kind, UNI_STILL);
  EXPECT_NE(u.VideoLoadable, 0);
  TUniFile uni;
  ASSERT_EQ(test::Kept([&] {
              UniOpen(uni, u);
              UniImgLoad(uni, img_, 1, 0);
              UniClose(uni);
            }),
            kOk);
  EXPECT_EQ(Indices(img_), TPixels(16, 1));
  // Cut inside the third: a movie of the first two.
  std::vector<TPixels> frames;
  TGIFFile gf;
  ASSERT_EQ(Movie(Write(three.substr(0, three.size() - 3)), frames, gf), kOk);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1], TPixels(16, 2));
}

TEST_F(GifTest, EveryPrefixOfSmallFilesLoadsOrFailsCleanly) {
  TGif g;
  TFrame f2 = Solid(1, 0, 3, 4, 2), f3 = Solid(0, 0, 4, 4, 3);
  f2.Disposal = 3, f2.Interlaced = true, f2.LocalPal = TGif::Ramp(2);
  g.Frames = {Solid(0, 0, 4, 4, 1), f2, f3};
  const std::pair<std::string, int> files[] = {
      {g.Bytes(), 4 * 4},
      {test::ReadWhole(test::DataFile("gif/pillow/dispose_prev.gif")), 100 * 100}};
  for (const auto& [whole, pixels] : files) {
    ASSERT_FALSE(whole.empty());
    const std::string path = Write(whole, "cut.gif");
    for (size_t n = whole.size() + 1; n-- > 0;) {  // cut shorter and shorter
      ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(n)), 0);
      std::vector<TPixels> fr;
      TGIFFile gf;
      if (Movie(path, fr, gf) == kOk) {
        EXPECT_EQ(fr.size(), size_t(gf.FrameCount)) << n;
      }
      for (const TPixels& f : fr) EXPECT_EQ(f.size(), size_t(pixels)) << n;
      if (test::LoadFile(path, img_) == kOk) {
        EXPECT_EQ(img_.Width * img_.Height, pixels) << n;
      }
      ImgFree(img_);
    }
  }
}

}  // namespace
}  // namespace kvo
