// SPDX-License-Identifier: GPL-3.0-or-later
// The SGI codec: the golden table of the test files, odd and hostile files
// built in code from the format's layout, the packet rules byte for byte,
// and files exchanged with ImageMagick, Pillow and netpbm.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ConForm.h"
#include "formats/FF_SGI.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using test::kOk;
using test::TErr;
using Bytes = std::vector<uint8_t>;

const std::vector<test::TGoldenFile> kGolden = {
#include "tests/sgi_golden.inc"
};

std::string Be(uint32_t V, int N) {
  std::string s;
  for (int i = N - 1; i >= 0; --i) s += static_cast<char>((V >> (8 * i)) & 0xFF);
  return s;
}

// A file from its header and its channel rows (index z * y + j, rows from
// the bottom): as they stand when verbatim, already packed when run-length
// encoded, in which case the tables are laid out here.
struct TSgi {
  int Storage = 1, Bpc = 1, Dim = 3, X = 1, Y = 1, Z = 3, Magic = 474;
  uint32_t ColorMap = 0;
  std::vector<Bytes> Rows = {};

  std::string File() const {
    std::string h = Be(Magic, 2) + char(Storage) + char(Bpc) + Be(Dim, 2) + Be(X, 2) + Be(Y, 2) +
                    Be(Z, 2) + Be(0, 4) + Be(255, 4);
    h.resize(104, '\0');
    h += Be(ColorMap, 4);
    h.resize(512, '\0');
    std::string starts, lengths, data;
    uint32_t at = 512 + 8 * static_cast<uint32_t>(Rows.size());
    for (const auto& r : Rows) {
      starts += Be(at, 4);
      lengths += Be(static_cast<uint32_t>(r.size()), 4);
      data += std::string(r.begin(), r.end());
      at += static_cast<uint32_t>(r.size());
    }
    return Storage == 1 ? h + starts + lengths + data : h + data;
  }
};

class SgiTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ImgFree(img_);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  TErr Load(const std::string& Bytes) {
    ImgFree(img_);
    // A new file each time: rewriting a file in place makes the file system
    // flush it on close, which slows the sweeps a hundredfold.
    std::remove(dir_.Path("x.sgi").c_str());
    return test::LoadFile(dir_.Write("x.sgi", Bytes), img_, FF_SGI);
  }
  Bytes Pixels() const {
    return Bytes(img_.Data, img_.Data + img_.Width * img_.Height * img_.BytesPerPixel);
  }
  test::TTempDir dir_;
  test::TTableCounts counts_;
  TImg img_;
};

TEST_F(SgiTest, EveryTestFileDecodesAsTheGoldenTableSaysAndInfoAgrees) {
  EXPECT_GE(test::CheckGoldenTable(kGolden, FF_SGI,
                                   [](const test::TGoldenFile& Row, const TImg&, const TFileInfo& Info) {
                                     EXPECT_EQ(Info.Width, Row.Width);
                                   }), 18);
}

TEST_F(SgiTest, PacksRunsAndLiteralsExactlyByTheRules) {
  uint8_t out[2 * 300 + 2];
  Bytes same(300, 7);
  ASSERT_EQ(SGIPackRow_(same.data(), 300, out), 7);
  EXPECT_EQ(Bytes(out, out + 7), (Bytes{126, 7, 126, 7, 48, 7, 0}));

  Bytes distinct(130);
  for (int i = 0; i < 130; ++i) distinct[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(SGIPackRow_(distinct.data(), 130, out), 133);
  EXPECT_EQ(out[0], 0xFD);
  EXPECT_EQ(out[126], 0x85);
  EXPECT_EQ(out[127], 125);
  EXPECT_EQ(out[132], 0);

  const uint8_t abb[] = {1, 2, 2}, aa[] = {9, 9};
  ASSERT_EQ(SGIPackRow_(abb, 3, out), 5);  // two equal bytes already make a run
  EXPECT_EQ(Bytes(out, out + 5), (Bytes{0x81, 1, 2, 2, 0}));
  ASSERT_EQ(SGIPackRow_(aa, 2, out), 3);
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{2, 9, 0}));
}

TEST_F(SgiTest, PackedRowsUnpackToThemselvesWithinTwiceTheirLength) {
  std::mt19937 rng(11);
  for (int n : {2, 3, 4, 125, 126, 127, 251, 1000}) {
    for (int alphabet : {1, 2, 3, 256}) {
      Bytes row(n), back(n);
      for (auto& b : row) b = static_cast<uint8_t>(rng() % alphabet);
      Bytes packed(2 * n + 2);
      const int64_t len = SGIPackRow_(row.data(), n, packed.data());
      EXPECT_LE(len, 2 * n) << n;
      TByteCursor c = CurMake(packed.data(), static_cast<size_t>(len));
      SGIUnpackRow_(c, back.data(), n);
      EXPECT_EQ(back, row) << n << " " << alphabet;
    }
  }
}

TEST_F(SgiTest, ChannelLayoutsLoadBottomRowLast) {
  TSgi grey{.Storage = 0, .Dim = 2, .X = 2, .Y = 2, .Z = 1, .Rows = {{1, 2}, {3, 4}}};
  ASSERT_EQ(Load(grey.File()), kOk);
  EXPECT_EQ(img_.BitsPerPixel, 8);
  EXPECT_EQ(Pixels(), (Bytes{3, 4, 1, 2}));
  EXPECT_EQ(img_.Palette[200][0], 200);

  TSgi rgba{.X = 1, .Z = 4, .Rows = {{0x81, 10, 0}, {1, 20, 0}, {0x81, 30, 0}, {1, 40, 0}}};
  ASSERT_EQ(Load(rgba.File()), kOk);
  EXPECT_EQ(img_.BitsPerPixel, 32);
  // Blue, green, red blended onto black by the alpha 40 (30 x 40 / 255 =
  // 4.7, 3.1, 1.6), and the alpha.
  EXPECT_EQ(Pixels(), (Bytes{5, 3, 2, 40}));

  TSgi greyAlpha{.Storage = 0, .X = 2, .Z = 2, .Rows = {{5, 6}, {255, 0}}};
  ASSERT_EQ(Load(greyAlpha.File()), kOk);
  EXPECT_EQ(img_.BitsPerPixel, 8);
  EXPECT_EQ(Pixels(), (Bytes{5, 0}));  // opaque 5, transparent 6

  TSgi line{.Storage = 0, .Dim = 1, .X = 3, .Y = 9, .Z = 7, .Rows = {{7, 8, 9}}};
  ASSERT_EQ(Load(line.File()), kOk);  // one dimension: one row, one channel
  EXPECT_EQ(img_.Height, 1);
  EXPECT_EQ(Pixels(), (Bytes{7, 8, 9}));
}

TEST_F(SgiTest, OddRowsAreClippedAndHostileOnesRefused) {
  const Bytes ok = {0x82, 1, 2, 0};
  TSgi base{.X = 2, .Z = 1, .Rows = {ok}};
  auto with = [&](Bytes Row) {
    TSgi s = base;
    s.Rows = {Row};
    return s.File();
  };
  const std::string good = base.File();
  auto patched = [&](size_t At, const std::string& V) {
    return good.substr(0, At) + V + good.substr(At + V.size());
  };
  struct TCase {
    const char* What;
    std::string File;
    TErr Err;
    Bytes Pixels;
  } cases[] = {
      {"a run past the row's end is cut", with({5, 9, 0}), kOk, {9, 9}},
      {"no closing packet", with({0x81, 4}), kOk, {4, 0}},
      {"an empty row is black", with({}), kOk, {0, 0}},
      {"a length beyond the buffer is cut to it", patched(516, Be(100000, 4)), kOk, {1, 2}},
      {"a row starting past the end", patched(512, Be(5000, 4)), {EG_FILE, 3}, {}},
      {"a row running past the end", patched(512, Be(522, 4)), {EG_FILE, 3}, {}},
      {"a literal packet cut short", with({0x85, 1, 2}), {EG_IMG, 3}, {}},
      {"a run without its value", with({2}), {EG_IMG, 3}, {}},
      {"tables longer than the file", good.substr(0, 515), {EG_FILE, 3}, {}},
      {"verbatim planes missing",
       TSgi{.Storage = 0, .X = 4, .Y = 4, .Z = 1}.File(),
       {EG_FILE, 3},
       {}},
      {"another magic", TSgi{.Magic = 0x1234}.File(), {EG_IMG, 2}, {}},
      {"two bytes per channel", TSgi{.Bpc = 2}.File(), {EG_IMG, 1}, {}},
      {"storage 2", TSgi{.Storage = 2}.File(), {EG_IMG, 1}, {}},
      {"five channels", TSgi{.Z = 5}.File(), {EG_IMG, 1}, {}},
      {"dimension 4", TSgi{.Dim = 4}.File(), {EG_IMG, 1}, {}},
      {"a colour map", TSgi{.ColorMap = 1}.File(), {EG_IMG, 1}, {}},
      {"no columns", TSgi{.X = 0}.File(), {EG_IMG, 4}, {}},
      {"16 GiB of pixels", TSgi{.X = 65535, .Y = 65535, .Z = 4}.File(), {EG_IMG, 12}, {}},
      {"a header cut short", good.substr(0, 100), {EG_FILE, 3}, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    ASSERT_EQ(test::ToString(Load(c.File)), test::ToString(c.Err));
    if (c.Err == kOk) {
      EXPECT_EQ(Pixels(), c.Pixels);
    } else {
      EXPECT_EQ(img_.Data, nullptr);
    }
  }
}

TEST_F(SgiTest, EveryPrefixOfAFileLoadsOrFailsCleanly) {
  const std::string small =
      test::ReadWhole(test::DataFile("sgi/kimageformats/bw.rgb"));
  TSgi built{.X = 3, .Y = 2, .Z = 3};
  built.Rows = {{3, 1, 0},          {0x83, 1, 2, 3, 0}, {2, 5, 0x81, 6, 0},
                {0x81, 7, 2, 8, 0}, {3, 9, 0},          {0x82, 1, 1, 1, 0}};
  for (const std::string& whole : {small, built.File()}) {
    ASSERT_FALSE(whole.empty());
    for (size_t n = 0; n <= whole.size(); ++n) {
      test::TTableCounts before;
      if (Load(whole.substr(0, n)) != kOk) {
        EXPECT_EQ(img_.Data, nullptr) << n;
      }
      ImgFree(img_);
      ASSERT_TRUE(before.Same()) << n << ": " << before.Describe();
    }
  }
}

TEST_F(SgiTest, WrittenFilesAreRleRgbAndReadBackEverywhere) {
  test::MakePicture(img_, 131, 5, 24, [](int32_t x, int32_t y, uint8_t* p) {
    p[0] = static_cast<uint8_t>(x < 60 ? 7 : x * 3);  // long runs and literals
    p[1] = static_cast<uint8_t>(y * 40);
    p[2] = static_cast<uint8_t>(x ^ y);
  });
  const std::string path = dir_.Path("w.sgi");
  ASSERT_EQ(test::SaveFile(path, img_), kOk);
  const std::string file = test::ReadWhole(path);
  EXPECT_EQ(file.substr(0, 12),
            Be(474, 2) + '\1' + '\1' + Be(3, 2) + Be(131, 2) + Be(5, 2) + Be(3, 2));
  EXPECT_EQ(file.substr(16, 4), Be(255, 4));
  EXPECT_EQ(file.substr(512, 4), Be(512 + 2 * 5 * 3 * 4, 4));  // the first row follows the tables

  TFileInfo info;
  ASSERT_EQ(test::InfoFile(path, info), kOk);
  EXPECT_EQ(info.VideoCompression, "Run Length Encoding (RLE)");
  EXPECT_EQ(info.BitsPerPixel, 24);
  TImg back;
  ASSERT_EQ(test::LoadFile(path, back), kOk);
  const std::vector<uint8_t> rgb = test::CanonicalRgb(img_);
  EXPECT_EQ(test::CanonicalRgb(back), rgb);
  ImgFree(back);
  int w = 0, h = 0;
  EXPECT_EQ(test::MagickRgb(path, w, h), rgb);
  EXPECT_EQ(test::PillowRgb(path, w, h), rgb);
  ASSERT_EQ(
      std::system(
          ("/usr/bin/sgitopnm " + path + " > " + dir_.Path("n.ppm") + " 2>/dev/null").c_str()),
      0);
  EXPECT_EQ(test::MagickRgb(dir_.Path("n.ppm"), w, h), rgb);
}

TEST_F(SgiTest, FilesNetpbmWritesReadAsTheirSource) {
  const std::string src = test::DataFile("pnm/libjpeg-turbo/testorig.ppm");
  int w = 0, h = 0;
  const std::vector<uint8_t> rgb = test::MagickRgb(src, w, h);
  ASSERT_FALSE(rgb.empty());
  for (const char* mode : {"-rle", "-verbatim"}) {
    SCOPED_TRACE(mode);
    const std::string path = dir_.Path(std::string("n") + mode + ".sgi");
    ASSERT_EQ(std::system(("/usr/bin/pnmtosgi " + std::string(mode) + " " + src + " > " + path +
                           " 2>/dev/null")
                              .c_str()),
              0);
    ASSERT_EQ(test::LoadFile(path, img_), kOk);
    EXPECT_EQ(test::CanonicalRgb(img_), rgb);
  }
}

}  // namespace
}  // namespace kvo
