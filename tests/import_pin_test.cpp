// SPDX-License-Identifier: GPL-3.0-or-later
// The stored picture of a fixed input is pinned: every import path (the
// fitting modes, the JPEG and PNG readers with their depths, interlacing
// and colour types, the readers that deliver whole pictures) must give the
// same logo canvas, palette and trailer as the code these hashes were
// taken from. The resampler, the quantiser and the dithering are fixed, so
// any change here is a fault, however small.
//
// The inputs are files of other software (testdata) and pictures drawn
// here from a formula and written by libpng directly, so nothing depends on
// a tool's version.
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "formats/ConForm.h"
#include "formats/FF_GIF.h"
#include "formats/FF_JPG.h"
#include "formats/FF_PNG.h"
#include "image/IMGBasic.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

// A picture drawn from a formula: smooth gradients with a little hashed
// noise, so the quantiser meets thousands of colours as in a photograph.
uint8_t Sample(uint32_t X, uint32_t Y, uint32_t C) {
  uint32_t h = X * 374761393u + Y * 668265263u + C * 2246822519u;
  h = (h ^ (h >> 13)) * 1274126177u;
  uint32_t smooth = (X * (C + 1) * 3 + Y * (5 - C) * 2) / 7;
  return static_cast<uint8_t>(smooth + ((h >> 24) & 31));
}

// Writes a PNG with libpng: ColorType and BitDepth as libpng names them;
// palette files use a 200-entry palette, grey and alpha samples come from
// the formula too.
void WritePng(const std::string& Path, uint32_t W, uint32_t H, int ColorType, int BitDepth,
              bool Interlaced) {
  std::FILE* f = std::fopen(Path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  ASSERT_EQ(setjmp(png_jmpbuf(png)), 0);
  png_init_io(png, f);
  png_set_IHDR(png, info, W, H, BitDepth, ColorType,
               Interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (ColorType == PNG_COLOR_TYPE_PALETTE) {
    png_color pal[200];
    for (uint32_t i = 0; i < 200; ++i)
      pal[i] = png_color{Sample(i, 0, 0), Sample(i, 1, 1), Sample(i, 2, 2)};
    png_set_PLTE(png, info, pal, 200);
  }
  png_write_info(png, info);
  if (BitDepth == 16) png_set_swap(png);  // our rows hold little-endian samples
  const int channels = png_get_channels(png, info);
  const int bytes = BitDepth / 8;
  std::vector<uint8_t> rows(static_cast<size_t>(W) * H * channels * bytes);
  for (uint32_t y = 0; y < H; ++y)
    for (uint32_t x = 0; x < W; ++x)
      for (int c = 0; c < channels; ++c)
        for (int b = 0; b < bytes; ++b) {
          uint8_t v = Sample(x, y, static_cast<uint32_t>(c + b));
          if (ColorType == PNG_COLOR_TYPE_PALETTE) v = static_cast<uint8_t>(v % 200);
          rows[((static_cast<size_t>(y) * W + x) * channels + c) * bytes + b] = v;
        }
  std::vector<png_bytep> pointers(H);
  for (uint32_t y = 0; y < H; ++y)
    pointers[y] = rows.data() + static_cast<size_t>(y) * W * channels * bytes;
  png_write_image(png, pointers.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

// A 24-bit picture from the formula written as a baseline JPEG through our
// own writer (libjpeg-turbo at quality 85).
void WriteJpeg(const std::string& Path, int32_t W, int32_t H) {
  TImg img;
  test::MakePicture(img, W, H, 24, [](int32_t X, int32_t Y, uint8_t* Px) {
    for (uint32_t c = 0; c < 3; ++c)
      Px[c] = Sample(static_cast<uint32_t>(X), static_cast<uint32_t>(Y), c);
  });
  EXPECT_EQ(test::Kept([&] { JPGSave(Path, img); }), test::kOk);
  ImgFree(img);
}

struct TPin {
  const char* Input;  // a testdata path, or the name of a picture made below
  int32_t Mode;
  uint64_t Hash;
};

// The hashes of the stored pictures as the established import made them.
const TPin kPins[] = {
    {"jpeg/image-rs/progressive-3.jpg", RESIZE_BORDER, 0x307a78f84bef502},
    {"jpeg/image-rs/progressive-3.jpg", RESIZE_STRETCH, 0xb39ba89a8033b2a4},
    {"jpeg/image-rs/progressive-3.jpg", RESIZE_CROP, 0xb46fc2c14df10c83},
    {"jpeg/pillow/exif-72dpi-int.jpg", RESIZE_BORDER, 0xb4952b21d831d8a8},
    {"jpeg/pillow/exif-72dpi-int.jpg", RESIZE_STRETCH, 0x51b8b3f98d2940d3},
    {"jpeg/pillow/exif-72dpi-int.jpg", RESIZE_CROP, 0x997bc99c1e9e7bfb},
    {"jpeg/pillow/hopper_gray.jpg", RESIZE_BORDER, 0x3756f951d2593ecb},
    {"jpeg/pillow/hopper_gray.jpg", RESIZE_STRETCH, 0xfd9e5b9fc5732d4e},
    {"jpeg/pillow/pil_sample_cmyk.jpg", RESIZE_BORDER, 0x166975313de9aeaa},
    {"png/pngsuite/PngSuite.png", RESIZE_BORDER, 0x563bf1a810e542b9},
    {"gif/brickblaster/CREDIT_B.GIF", RESIZE_BORDER, 0xcd81129c9dcf755f},
    {"gif/fate/banner2.gif", RESIZE_STRETCH, 0xc659422952a0bd69},
    {"made:photo-1600x1200.jpg", RESIZE_BORDER, 0xad0aa2761da347ae},
    {"made:photo-1600x1200.jpg", RESIZE_STRETCH, 0xdc03946ada5d7f27},
    {"made:photo-1600x1200.jpg", RESIZE_CROP, 0x57ec1ac08ad37cea},
    {"made:tall-1200x2000-rgb.png", RESIZE_BORDER, 0xaf2ebb4ce780a1fd},
    {"made:tall-1200x2000-rgb.png", RESIZE_STRETCH, 0x5bfa603764c530b0},
    {"made:tall-1200x2000-rgb.png", RESIZE_CROP, 0xb74dc178c1cd7eff},
    {"made:narrow-200x1500-rgb.png", RESIZE_STRETCH, 0x51c43bf1e265c71d},
    {"made:narrow-200x1500-rgb.png", RESIZE_BORDER, 0x1e42e021273fccdd},
    {"made:flat-2000x300-rgb.png", RESIZE_STRETCH, 0xf3c836a84317bbde},
    {"made:flat-2000x300-rgb.png", RESIZE_BORDER, 0x17b3129bc82d6b41},
    {"made:canvas-320x400-rgb.png", RESIZE_BORDER, 0xefdd722b2ff2409e},
    {"made:palette-700x900.png", RESIZE_BORDER, 0x30fe251cb8b8fd60},
    {"made:palette-700x900.png", RESIZE_STRETCH, 0x31d5aa79480a754f},
    {"made:grey-900x700.png", RESIZE_BORDER, 0xea9785b19ffa15fe},
    // Alpha is blended onto the logo's black background (it was dropped).
    {"made:grey16-alpha-800x1000.png", RESIZE_STRETCH, 0x75a016b7cae83789},
    {"made:rgb16-alpha-1000x800.png", RESIZE_BORDER, 0xb65f3c28f8562f05},
    {"made:interlaced-640x480-rgb.png", RESIZE_BORDER, 0x18aa8aaebd65e1f7},
    {"made:interlaced-640x480-rgb.png", RESIZE_STRETCH, 0x47553096c08dc23b},
};

// The readers that came to hand their rows to the feed store what their
// whole-picture way stored (the hashes taken from that way).
const TPin kStreamedPins[] = {
    {"bmp/pillow/hopper_rle8.bmp", RESIZE_BORDER, 0x70da4633b56fec6a},
    {"tga/gdk-pixbuf/gtk-logo-rle-24bpp-bottom-right.tga", RESIZE_CROP, 0x57957565b98d777f},
    {"tga/gdk-pixbuf/gtk-logo-cmap-rle-8bpp-bottom-left.tga", RESIZE_STRETCH, 0xe55e3ed983256cd9},
    {"pcx/kimageformats/rgb.pcx", RESIZE_BORDER, 0x3f73da9559533eee},
    {"ras/fate/lena-8bit-rle.sun", RESIZE_BORDER, 0x1de309b6ed76194d},
    {"ras/kimageformats/rle_24bit.ras", RESIZE_STRETCH, 0x4f4086eed14758cd},
    {"sgi/kimageformats/rgb-gimp-2.8.10-rle.rgb", RESIZE_BORDER, 0x3f73da9559533eee},
    {"sgi/fate/lena_rgba.sgi", RESIZE_CROP, 0x7a3ec31ad55885d0},
    {"tiff/pillow/hopper_lzw.tif", RESIZE_BORDER, 0x3eabdb5bb7014359},
    {"made:photo-1000x700.bmp", RESIZE_BORDER, 0xb8c195840c00b75f},
    {"made:photo-1000x700.bmp", RESIZE_CROP, 0xb6cb4f38337db425},
    {"made:photo-700x1000.tga", RESIZE_STRETCH, 0xeeeefb0ae6e6036a},
    {"made:photo-700x1000.pcx", RESIZE_BORDER, 0x425ce452c44a511b},
    {"made:photo-1000x700.ppm", RESIZE_CROP, 0xb6cb4f38337db425},
    {"made:photo-700x1000.sgi", RESIZE_BORDER, 0x425ce452c44a511b},
    {"made:photo-1000x700.ras", RESIZE_STRETCH, 0xf3e9eaac48a44e68},
    {"made:photo-700x1000.tif", RESIZE_CROP, 0x5794a4e6c5be8b0f},
};

class ImportPin : public testing::Test {
 protected:
  void SetUp() override {
    src_ = test::MakeTempFolder("kvo-pin-");
    SetStorageDir(xdg_.Root() + "store");
    WriteJpeg(src_ + "photo-1600x1200.jpg", 1600, 1200);
    WritePng(src_ + "tall-1200x2000-rgb.png", 1200, 2000, PNG_COLOR_TYPE_RGB, 8, false);
    WritePng(src_ + "narrow-200x1500-rgb.png", 200, 1500, PNG_COLOR_TYPE_RGB, 8, false);
    WritePng(src_ + "flat-2000x300-rgb.png", 2000, 300, PNG_COLOR_TYPE_RGB, 8, false);
    WritePng(src_ + "canvas-320x400-rgb.png", 320, 400, PNG_COLOR_TYPE_RGB, 8, false);
    WritePng(src_ + "palette-700x900.png", 700, 900, PNG_COLOR_TYPE_PALETTE, 8, false);
    WritePng(src_ + "grey-900x700.png", 900, 700, PNG_COLOR_TYPE_GRAY, 8, false);
    WritePng(src_ + "grey16-alpha-800x1000.png", 800, 1000, PNG_COLOR_TYPE_GRAY_ALPHA, 16, false);
    WritePng(src_ + "rgb16-alpha-1000x800.png", 1000, 800, PNG_COLOR_TYPE_RGB_ALPHA, 16, false);
    WritePng(src_ + "interlaced-640x480-rgb.png", 640, 480, PNG_COLOR_TYPE_RGB, 8, true);
    for (const char* name : {"photo-1000x700.bmp", "photo-700x1000.tga", "photo-700x1000.pcx",
                             "photo-1000x700.ppm", "photo-700x1000.sgi", "photo-1000x700.ras",
                             "photo-700x1000.tif"})
      WritePicture(src_ + name, std::string(name).find("1000x700") != std::string::npos);
  }
  // The formula picture through our own writer of the extension's format.
  static void WritePicture(const std::string& Path, bool Wide) {
    TImg img;
    test::MakePicture(img, Wide ? 1000 : 700, Wide ? 700 : 1000, 24,
                      [](int32_t X, int32_t Y, uint8_t* Px) {
                        for (uint32_t c = 0; c < 3; ++c)
                          Px[c] = Sample(static_cast<uint32_t>(X), static_cast<uint32_t>(Y), c);
                      });
    EXPECT_EQ(test::SaveFile(Path, img), test::kOk) << Path;
    ImgFree(img);
  }
  void TearDown() override {
    for (const auto& e : dialogs_.Errors) ADD_FAILURE() << "error box: " << e;
    test::RemoveTree(src_);
  }
  std::string Source(const std::string& Input) {
    if (Input.rfind("made:", 0) == 0) return src_ + Input.substr(5);
    return test::DataFile(Input);
  }
  // Imports Input in Mode; the hash of the stored picture's palette,
  // pixels and trailer.
  uint64_t StoredHash(const std::string& Input, int32_t Mode) {
    Settings().ResizeMode = Mode;
    BatchAnswer() = BA_OVERWRITE_ALL;
    std::string dest = GetStorageDir() + "pin.kvo";
    if (!ImportPicture(Source(Input), dest)) return 0;
    TImg img;
    if (!LoadStoredPicture(dest, img)) return 0;
    std::vector<uint8_t> bytes(&img.Palette[0][0], &img.Palette[0][0] + 768);
    bytes.insert(bytes.end(), img.Data, img.Data + static_cast<int64_t>(img.Width) * img.Height);
    ImgFree(img);
    std::string whole = test::ReadWhole(dest);
    if (whole.size() < 12) return 0;
    bytes.insert(bytes.end(), whole.end() - 12, whole.end());
    return test::Fnv1a(bytes);
  }

  // The stored picture of the file Path, as blue, green and red bytes.
  std::vector<uint8_t> StoredColours(const std::string& Path) {
    BatchAnswer() = BA_OVERWRITE_ALL;
    std::string dest = GetStorageDir() + "turned.kvo";
    TImg img;
    std::vector<uint8_t> bgr;
    EXPECT_TRUE(ImportPicture(Path, dest) && LoadStoredPicture(dest, img)) << Path;
    for (int64_t i = 0; i < int64_t{img.Width} * img.Height; ++i)
      bgr.insert(bgr.end(), img.Palette[img.Data[i]], img.Palette[img.Data[i]] + 3);
    ImgFree(img);
    return bgr;
  }
  // How far apart two such pictures are: the mean difference of a byte.
  static double Distance(const std::vector<uint8_t>& A, const std::vector<uint8_t>& B) {
    if (A.size() != B.size() || A.empty()) return 255;
    int64_t sum = 0;
    for (size_t i = 0; i < A.size(); ++i) sum += std::abs(A[i] - B[i]);
    return static_cast<double>(sum) / static_cast<double>(A.size());
  }

  test::ScopedXdg xdg_;
  test::ScriptedDialogs dialogs_;
  std::string src_;
};

TEST_F(ImportPin, StoredPicturesHashAsTheyAlwaysHave) {
  GIFDone();  // the GIF reader's position table outlives its files on purpose
  int mem = MemCount(), files = FCount();
  for (const TPin& pin : kPins) {
    uint64_t got = StoredHash(pin.Input, pin.Mode);
    EXPECT_EQ(got, pin.Hash) << pin.Input << " mode " << pin.Mode << ": 0x" << std::hex << got;
  }
  GIFDone();
  EXPECT_EQ(MemCount(), mem);
  EXPECT_EQ(FCount(), files);
}

// The readers that hand their rows on store, in every fitting mode, what
// they stored when they delivered whole pictures.
TEST_F(ImportPin, StreamedReadersStoreWhatTheWholePictureWayStored) {
  for (const TPin& pin : kStreamedPins) {
    const int32_t id = FFGetFormatId(pin.Input, FF_TABLE_READ);
    const TFormatProcs fed = *FFProcs(id);
    TFormatProcs whole = fed;
    whole.Feed = nullptr;
    FFSetProcs_(whole);
    const uint64_t byPicture = StoredHash(pin.Input, pin.Mode);
    FFSetProcs_(fed);
    const uint64_t byRows = StoredHash(pin.Input, pin.Mode);
    EXPECT_NE(byRows, 0u) << pin.Input;
    EXPECT_EQ(byRows, byPicture) << pin.Input << " mode " << pin.Mode;
    EXPECT_EQ(byRows, pin.Hash) << pin.Input << " mode " << pin.Mode << ": 0x" << std::hex
                                << byRows;
  }
}

// A photograph its camera stored turned or mirrored (Exif orientation 2 to
// 8, Pillow's files, each made from hopper.jpg) is stored upright: close to
// hopper.jpg's own logo, by rows and as a whole picture, in every fitting
// mode. Upright, each is 6 to 12 from it on average (the JPEG coding of the
// turned file, and the resampling, which runs the other way); stored as it
// lies, 48 to 80.
TEST_F(ImportPin, ExifOrientationIsStoredUpright) {
  const int32_t id = FFGetFormatId("x.jpg", FF_TABLE_READ);
  const TFormatProcs fed = *FFProcs(id);
  TFormatProcs whole = fed;
  whole.Feed = nullptr;
  for (int32_t mode : {RESIZE_BORDER, RESIZE_CROP, RESIZE_STRETCH}) {
    Settings().ResizeMode = mode;
    const std::vector<uint8_t> upright = StoredColours(test::DataFile("jpeg/pillow/hopper.jpg"));
    for (int n = 2; n <= 8; ++n) {
      const std::string input = "jpeg/pillow/hopper_orientation_" + std::to_string(n) + ".jpg";
      for (const TFormatProcs* procs : {&fed, static_cast<const TFormatProcs*>(&whole)}) {
        FFSetProcs_(*procs);
        EXPECT_LT(Distance(StoredColours(test::DataFile(input)), upright), 16.0)
            << input << " mode " << mode;
      }
      FFSetProcs_(fed);
    }
  }
}

// A TIFF's orientation tag is the same numbering: the pixels of the turned
// JPEG files, as they lie, in TIFFs that say how they lie.
TEST_F(ImportPin, TiffOrientationIsStoredUpright) {
  Settings().ResizeMode = RESIZE_CROP;
  const std::vector<uint8_t> upright = StoredColours(test::DataFile("jpeg/pillow/hopper.jpg"));
  for (uint16_t n : {3, 6, 8}) {
    TImg lying;
    const std::string jpeg = "jpeg/pillow/hopper_orientation_" + std::to_string(n) + ".jpg";
    ASSERT_EQ(test::Kept([&] { JPGLoad(test::DataFile(jpeg), lying); }), test::kOk);
    const std::string tiff = src_ + "turned-" + std::to_string(n) + ".tif";
    TIFF* t = TIFFOpen(tiff.c_str(), "w");
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(lying.Width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(lying.Height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ORIENTATION, n);
    std::vector<uint8_t> row(size_t(lying.Width) * 3);
    for (int32_t y = 0; y < lying.Height; ++y) {
      const uint8_t* bgr = lying.Data + int64_t{y} * lying.Width * 3;
      for (size_t i = 0; i < row.size(); i += 3)
        row[i] = bgr[i + 2], row[i + 1] = bgr[i + 1], row[i + 2] = bgr[i];
      TIFFWriteScanline(t, row.data(), uint32_t(y), 0);
    }
    TIFFClose(t);
    ImgFree(lying);
    EXPECT_LT(Distance(StoredColours(tiff), upright), 16.0) << tiff;
  }
}

// The row by row readers refuse what the whole-picture readers refuse, with
// the same error, and leave no block or file behind: files cut at many
// lengths, and a file of another kind.
TEST_F(ImportPin, RowReadersFailAsTheWholePictureReadersDo) {
  WritePng(src_ + "cut-source.png", 300, 200, PNG_COLOR_TYPE_RGB, 8, false);
  const std::string sources[] = {src_ + "photo-1600x1200.jpg", src_ + "cut-source.png",
                                 test::DataFile("jpeg/image-rs/progressive-3.jpg")};
  for (const std::string& source : sources) {
    const std::string whole = test::ReadWhole(source);
    const bool jpeg = source.ends_with(".jpg");
    for (size_t cut : {size_t{0}, size_t{10}, whole.size() / 3, whole.size() / 2, whole.size() - 3}) {
      const std::string path = src_ + (jpeg ? "cut.jpg" : "cut.png");
      test::WriteWhole(path, whole.substr(0, cut));
      test::TTableCounts counts;
      TImg img, canvas;
      const test::TErr byPicture = test::Kept([&] { jpeg ? JPGLoad(path, img) : PNGLoad(path, img); });
      TImgFeed feed;
      const test::TErr byRows = test::Kept([&] {
        TImgFeedStarter fit = [&](TImgFeed& F, const TImg& Shape) {
          TImgFeedShape s;
          s.Width = s.FrameWidth = Shape.Width;
          s.Height = s.FrameHeight = Shape.Height;
          s.BitsPerPixel = Shape.BitsPerPixel;
          s.NewWidth = 320;
          s.NewHeight = 400;
          ImgFeedStart(F, canvas, s, &Shape.Palette);
        };
        jpeg ? JPGLoadFed(path, feed, fit) : PNGLoadFed(path, feed, fit);
      });
      EXPECT_NE(byPicture, test::kOk) << source << " cut at " << cut;
      EXPECT_EQ(byRows, byPicture) << source << " cut at " << cut;
      ImgFree(img);
      ImgFree(canvas);
      EXPECT_TRUE(counts.Same()) << source << " cut at " << cut << ": " << counts.Describe();
    }
  }
}

}  // namespace
}  // namespace kvo
