// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures of any size through the readers that hand their rows to the
// import's feed: the canvas a reader feeds is the one the whole-picture
// path makes, for every file of the test data those readers load; pictures
// past the whole-picture cap import in a few megabytes; and the readers
// that must hold a picture (progressive JPEG, interlaced PNG) refuse one
// beyond their limit before allocating anything.
//
// The large pictures are made here, quickly: mostly one colour with a few
// marked rows and columns, run-length or deflate coded. Their expected
// canvas comes from the same rows handed to the feed from memory, the way
// the whole-picture path hands over a picture it holds.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "formats/ConForm.h"
#include "formats/FFLib.h"
#include "image/IMGBasic.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pixels(const TImg& Img) {
  return Bytes(Img.Data, Img.Data + int64_t(Img.Width) * Img.Height * Img.BytesPerPixel);
}

// The canvas a feed makes of a picture Shape describes: stretched whole
// (or cut to its middle) into 320 x 400.
TImgFeedShape Fit(const TImg& Shape, bool Crop) {
  TImgFeedShape s;
  s.Width = s.FrameWidth = Shape.Width;
  s.Height = s.FrameHeight = Shape.Height;
  s.BitsPerPixel = Shape.BitsPerPixel;
  if (Crop) {
    s.FrameWidth = std::max(1, Shape.Width * 2 / 3);
    s.X = -(Shape.Width - s.FrameWidth) / 2;
  }
  s.NewWidth = 320;
  s.NewHeight = 400;
  return s;
}

// The reader of FormatId feeds File into Canvas.
test::TErr FedCanvas(const std::string& File, int32_t FormatId, bool Crop, TImg& Canvas) {
  return test::Kept([&] {
    TImgFeed feed;
    FFProcs(FormatId)->Feed(File, feed, [&](TImgFeed& F, const TImg& Shape) {
      ImgFeedStart(F, Canvas, Fit(Shape, Crop), &Shape.Palette);
    });
  });
}

// Every file of the test data that a streamed reader's whole-picture
// counterpart loads gives the same canvas fed row by row: run-length data
// with moves and early ends, bottom-up and top-down rows, right-to-left
// TGA, odd PCX lines, padded Sun rasters, SGI planes, TIFF strips.
TEST(FedReaders, GiveTheWholePicturesCanvasForEveryDataFile) {
  struct TKind {
    const char* Ext;
    int32_t Id;
  };
  const TKind kinds[] = {{".bmp", FF_BMP}, {".tga", FF_TGA},  {".pcx", FF_PCX}, {".pnm", FF_PNM},
                         {".ppm", FF_PNM}, {".pgm", FF_PNM},  {".sgi", FF_SGI}, {".rgb", FF_SGI},
                         {".ras", FF_RAS}, {".tif", FF_TIFF}, {".tiff", FF_TIFF}};
  int compared = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(test::DataDir())) {
    std::string ext = entry.path().extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const TKind& kind : kinds) {
      if (ext != kind.Ext) continue;
      const std::string path = entry.path().string();
      test::TTableCounts counts;
      TImg whole, want, got;
      if (test::LoadFile(path, whole, kind.Id) != test::kOk) continue;
      for (bool crop : {false, true}) {
        ASSERT_EQ(test::Kept([&] { ImgFeedPicture(whole, want, Fit(whole, crop)); }), test::kOk);
        ASSERT_EQ(FedCanvas(path, kind.Id, crop, got), test::kOk) << path;
        EXPECT_EQ(Pixels(got), Pixels(want)) << path << (crop ? " cut" : "");
        ImgFree(want);
        ImgFree(got);
      }
      ImgFree(whole);
      EXPECT_TRUE(counts.Same()) << path << ": " << counts.Describe();
      ++compared;
    }
  }
  EXPECT_GT(compared, 250);
}

// A reader that fails after its first rows (an SGI row whose data lies
// past the end of the file, read bottom row first) fails as the whole
// picture's reader does and leaves no block or file behind.
TEST(FedReaders, FailLikeTheWholePictureReaderAfterTheFirstRows) {
  const std::string dir = test::MakeTempFolder("kvo-fedfail-");
  std::string sgi = test::ReadWhole(test::DataFile("sgi/kimageformats/rgb-gimp-2.8.10-rle.rgb"));
  const size_t ysize = (uint8_t(sgi[8]) << 8) | uint8_t(sgi[9]);
  const size_t entry = 512 + 4 * (ysize - 1);  // the start of the top row's red channel
  ASSERT_GT(ysize, 2u);
  sgi.replace(entry, 4, std::string("\x7F\xFF\xFF\xFF", 4));
  const std::string path = dir + "cut.rgb";
  test::WriteWhole(path, sgi);
  test::TTableCounts counts;
  TImg whole, got;
  const test::TErr byPicture = test::LoadFile(path, whole, FF_SGI);
  EXPECT_EQ(byPicture, (test::TErr{EG_FILE, 3}));
  EXPECT_EQ(FedCanvas(path, FF_SGI, false, got), byPicture);
  EXPECT_TRUE(counts.Same()) << counts.Describe();
  test::RemoveTree(dir);
}

// ---- large pictures made on the fly -------------------------------------------------

// Mostly one colour, with marked columns and rows; Channels samples a
// pixel, in the file's order.
void MarkedRow(int64_t Y, int64_t W, int Channels, Bytes& Row) {
  Row.assign(size_t(W * Channels), 0);
  for (int64_t x = 0; x < W; ++x)
    for (int c = 0; c < Channels; ++c) {
      uint8_t v = uint8_t(90 + 40 * c);
      if (x % 1000 < 3 || x == W - 1) v = uint8_t(250 - 60 * c);
      if (Y % 700 < 2 || Y == 0) v = uint8_t(20 + 70 * c);
      Row[size_t(x * Channels + c)] = v;
    }
}

// The canvas of the marked picture handed over from memory, row by row.
void ExpectedCanvas(int64_t W, int64_t H, int Channels, bool Bgr, TImg& Canvas) {
  TImg shape;
  ImgSetDims(shape, int32_t(W), int32_t(H), Channels * 8);
  PalGreyRamp(shape.Palette);
  TImgFeed feed;
  ImgFeedStart(feed, Canvas, Fit(shape, false), &shape.Palette);
  Bytes row;
  for (int64_t y = 0; y < H; ++y) {
    MarkedRow(y, W, Channels, row);
    if (Bgr) SwapRBInPlace(W, row.data());
    std::memcpy(ImgFeedRow(feed), row.data(), row.size());  // the feed keeps what it holds
    ImgFeedPut(feed);
  }
  ImgFeedDone(feed);
}

void Put16(std::string& S, uint32_t V) { S += char(V & 255), S += char(V >> 8 & 255); }
void Put32(std::string& S, uint32_t V) { Put16(S, V & 0xFFFF), Put16(S, V >> 16); }
// The CRC of a PNG chunk (ISO 3309), bit by bit.
uint32_t Crc32(const std::string& Bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : Bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return c ^ 0xFFFFFFFFu;
}

void Put32BE(std::string& S, uint32_t V) {
  for (int s = 24; s >= 0; s -= 8) S += char(V >> s & 255);
}

// An 8-bit grey run-length BMP, bottom row first.
void WriteRleBmp(const std::string& Path, int64_t W, int64_t H) {
  std::string data;
  Bytes row;
  for (int64_t y = H - 1; y >= 0; --y) {
    MarkedRow(y, W, 1, row);
    for (int64_t x = 0; x < W;) {
      int64_t n = 1;
      while (x + n < W && n < 255 && row[size_t(x + n)] == row[size_t(x)]) ++n;
      data += char(n), data += char(row[size_t(x)]);
      x += n;
    }
    data += std::string("\0\0", 2);
  }
  data += std::string("\0\1", 2);
  std::string f = "BM";
  Put32(f, uint32_t(54 + 1024 + data.size()));
  Put32(f, 0);
  Put32(f, 54 + 1024);
  Put32(f, 40), Put32(f, uint32_t(W)), Put32(f, uint32_t(H));
  Put16(f, 1), Put16(f, 8), Put32(f, 1), Put32(f, uint32_t(data.size()));
  Put32(f, 0), Put32(f, 0), Put32(f, 256), Put32(f, 0);
  for (int i = 0; i < 256; ++i) f += char(i), f += char(i), f += char(i), f += char(0);
  test::WriteWhole(Path, f + data);
}

// A 24-bit run-length TGA, bottom row first.
void WriteRleTga(const std::string& Path, int64_t W, int64_t H) {
  std::string f(18, '\0');
  f[2] = 10;
  f[12] = char(W & 255), f[13] = char(W >> 8), f[14] = char(H & 255), f[15] = char(H >> 8);
  f[16] = 24;
  Bytes row;
  for (int64_t y = H - 1; y >= 0; --y) {
    MarkedRow(y, W, 3, row);  // blue, green, red as TGA stores them
    for (int64_t x = 0; x < W;) {
      int64_t n = 1;
      while (x + n < W && n < 128 && !std::memcmp(&row[size_t(x + n) * 3], &row[size_t(x) * 3], 3))
        ++n;
      f += char(0x80 | (n - 1));
      f.append(reinterpret_cast<const char*>(&row[size_t(x) * 3]), 3);
      x += n;
    }
  }
  test::WriteWhole(Path, f);
}

// A Deflate-coded RGB TIFF in strips of 16 rows, written by libtiff.
void WriteTiff(const std::string& Path, int64_t W, int64_t H) {
  TIFF* t = TIFFOpen(Path.c_str(), "w");
  ASSERT_NE(t, nullptr);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(W));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(H));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(t, TIFFTAG_ZIPQUALITY, 1);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
  Bytes row;
  for (int64_t y = 0; y < H; ++y) {
    MarkedRow(y, W, 3, row);
    ASSERT_EQ(TIFFWriteScanline(t, row.data(), uint32_t(y), 0), 1);
  }
  TIFFClose(t);
}

// A grey PNG written by libpng at its fastest setting.
void WriteGreyPng(const std::string& Path, int64_t W, int64_t H) {
  std::FILE* f = std::fopen(Path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  ASSERT_EQ(setjmp(png_jmpbuf(png)), 0);
  png_init_io(png, f);
  png_set_compression_level(png, 1);
  png_set_filter(png, 0, PNG_FILTER_NONE);
  png_set_IHDR(png, info, uint32_t(W), uint32_t(H), 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  Bytes row;
  for (int64_t y = 0; y < H; ++y) {
    MarkedRow(y, W, 1, row);
    png_write_row(png, row.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

class BigImport : public testing::Test {
 protected:
  void SetUp() override { dir_ = test::MakeTempFolder("kvo-big-"); }
  void TearDown() override {
    ImgFree(want_);
    ImgFree(got_);
    test::RemoveTree(dir_);
  }
  std::string dir_;
  TImg want_, got_;
};

// Past the 256 MiB the whole-picture readers take, fed readers still give
// the canvas, bottom-up files included.
TEST_F(BigImport, PicturesPastTheWholePictureCapGiveTheirCanvas) {
  struct TCase {
    const char* Name;
    int32_t Id;
    int64_t W, H;
    int Channels;
    bool Bgr;  // the file's samples are blue first
    void (*Write)(const std::string&, int64_t, int64_t);
  };
  const TCase cases[] = {{"big.bmp", FF_BMP, 17000, 16000, 1, false, WriteRleBmp},
                         {"big.tga", FF_TGA, 12000, 7500, 3, false, WriteRleTga},
                         {"big.tif", FF_TIFF, 12000, 7500, 3, true, WriteTiff}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = dir_ + c.Name;
    c.Write(path, c.W, c.H);
    TImg whole;
    EXPECT_EQ(test::LoadFile(path, whole, c.Id), (test::TErr{EG_IMG, 12}));
    ExpectedCanvas(c.W, c.H, c.Channels, c.Bgr, want_);
    ASSERT_EQ(FedCanvas(path, c.Id, false, got_), test::kOk);
    EXPECT_EQ(Pixels(got_), Pixels(want_));
    TFileInfo info;
    EXPECT_EQ(test::InfoFile(path, info, c.Id), test::kOk);
    EXPECT_TRUE(info.VideoLoadable);
    std::remove(path.c_str());
  }
}

// Headers of pictures whose reader would have to hold them: a progressive
// JPEG's coefficients and an interlaced PNG past 2 GiB. Both are refused
// from the header alone.
void WriteHeldTooLarge(const std::string& Jpeg, const std::string& Png) {
  std::string j = test::ReadWhole(test::DataFile("jpeg/image-rs/progressive-3.jpg"));
  const size_t sof = j.find("\xFF\xC2");
  ASSERT_NE(sof, std::string::npos);
  for (size_t at : {sof + 5, sof + 7}) j[at] = char(0xFD), j[at + 1] = char(0xE8);  // 65000
  test::WriteWhole(Jpeg, j);
  // IHDR of 50000 x 50000 RGB, Adam7, then the start of a data stream.
  std::string ihdr("IHDR", 4);
  for (int k = 0; k < 2; ++k) ihdr += std::string("\x00\x00\xC3\x50", 4);
  ihdr += std::string("\x08\x02\x00\x00\x01", 5);
  const std::string idat("IDAT\x78\x9C", 6);
  std::string p("\x89PNG\r\n\x1A\n", 8);
  for (const std::string* chunk : {static_cast<const std::string*>(&ihdr), &idat}) {
    Put32BE(p, uint32_t(chunk->size() - 4));
    p += *chunk;
    Put32BE(p, Crc32(*chunk));
  }
  test::WriteWhole(Png, p);
}

TEST_F(BigImport, HeldPicturesPastTheLimitAreRefusedFromTheHeader) {
  WriteHeldTooLarge(dir_ + "held.jpg", dir_ + "held.png");
  test::TTableCounts counts;
  EXPECT_EQ(FedCanvas(dir_ + "held.jpg", FF_JPEG, false, got_), (test::TErr{EG_IMG, 12}));
  EXPECT_EQ(ErrorText(EG_IMG, 12), "Picture too large (65000 \u00D7 65000).");
  EXPECT_EQ(FedCanvas(dir_ + "held.png", FF_PNG, false, got_), (test::TErr{EG_IMG, 12}));
  EXPECT_EQ(ErrorText(EG_IMG, 12), "Picture too large (50000 \u00D7 50000).");
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

// A run-length BMP of a few hundred bytes that asks for 40000 x 40000 and
// ends its picture at once would cost the feed every one of those pixels:
// it is refused before the first row.
TEST_F(BigImport, RunLengthFilesTooSmallForTheirSizeAreRefused) {
  WriteRleBmp(dir_ + "sparse.bmp", 1, 1);
  std::string f = test::ReadWhole(dir_ + "sparse.bmp");
  for (size_t at : {18, 22}) f[at] = char(0x40), f[at + 1] = char(0x9C), f[at + 2] = 0, f[at + 3] = 0;
  test::WriteWhole(dir_ + "sparse.bmp", f);
  test::TTableCounts counts;
  EXPECT_EQ(FedCanvas(dir_ + "sparse.bmp", FF_BMP, false, got_), (test::TErr{EG_IMG, 12}));
  EXPECT_EQ(ErrorText(EG_IMG, 12), "Picture too large (40000 \u00D7 40000).");
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

// A 40000 x 8000 grey PNG (320 MB of pixels) is added to the store by a
// process whose data may not pass 64 MiB, and the stored picture is the
// canvas of its rows reduced to the logo palette. The held pictures past
// their limit are refused there too: a reader that allocated them would
// fail for want of memory instead.
TEST_F(BigImport, AddsAHugePngWithinSixtyFourMegabytes) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot run under a small data limit";
#else
  test::ScopedXdg xdg;
  test::ScriptedDialogs dialogs;
  SetStorageDir(xdg.Root() + "store");
  const std::string png = dir_ + "wide.png";
  WriteGreyPng(png, 40000, 8000);
  WriteHeldTooLarge(dir_ + "held.jpg", dir_ + "held.png");
  std::string dest = GetStorageDir() + "wide.kvo";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{64 << 20, 64 << 20};
    if (setrlimit(RLIMIT_DATA, &limit) != 0) _exit(3);
    TImg canvas;
    const test::TErr tooLarge{EG_IMG, 12};
    if (!(FedCanvas(dir_ + "held.jpg", FF_JPEG, false, canvas) == tooLarge)) _exit(4);
    if (!(FedCanvas(dir_ + "held.png", FF_PNG, false, canvas) == tooLarge)) _exit(5);
    Settings().ResizeMode = RESIZE_STRETCH;
    BatchAnswer() = BA_OVERWRITE_ALL;
    _exit(ImportPicture(png, dest) ? 0 : 6);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ExpectedCanvas(40000, 8000, 1, false, want_);
  ReduceToLogoPalette(want_);
  ASSERT_TRUE(LoadStoredPicture(dest, got_));
  EXPECT_EQ(Pixels(got_), Pixels(want_));
  EXPECT_EQ(0, std::memcmp(got_.Palette, want_.Palette, sizeof got_.Palette));
#endif
}

// An import that runs past half a second shows how far it has come, and
// ESC (here pressed at the first sight of the progress) stops it between
// rows: nothing is stored and no error is shown.
TEST_F(BigImport, LongImportsShowProgressAndStopOnEscape) {
  test::ScopedXdg xdg;
  test::ScriptedDialogs dialogs;
  SetStorageDir(xdg.Root() + "store");
  const std::string png = dir_ + "wide.png";
  WriteGreyPng(png, 40000, 8000);
  Dialogs().ProcessPending = [&] {
    if (dialogs.Statuses.back().find(" %, ") != std::string::npos) BatchAnswer() = BA_ABORT;
  };
  std::vector<int32_t> told;
  ImportProgress() = [&](const std::string& Name, int32_t File, int32_t Files, int32_t Percent) {
    EXPECT_EQ(Name, "wide.png");
    EXPECT_EQ(File, 1);
    EXPECT_EQ(Files, 1);
    told.push_back(Percent);
  };
  AddPictureFiles({png});
  ImportProgress() = nullptr;
  EXPECT_TRUE(dialogs.Errors.empty());
  EXPECT_EQ(LogoList().Count, 0);
  ASSERT_EQ(told.size(), 2u);
  EXPECT_LT(told[0], 100);
  EXPECT_EQ(told[1], -1);  // the line is taken away
  const auto shown = std::find_if(dialogs.Statuses.begin(), dialogs.Statuses.end(), [](auto& S) {
    return S.find("(file 1 of 1), ") != std::string::npos &&
           S.find(" %, press ESC to abort...") != std::string::npos;
  });
  EXPECT_NE(shown, dialogs.Statuses.end());
}

}  // namespace
}  // namespace kvo
