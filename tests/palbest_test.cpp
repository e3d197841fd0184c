// SPDX-License-Identifier: GPL-3.0-or-later
// The "Best" reduction to the logo palette (libimagequant): the stored form
// it must keep whatever it is given, pictures of few colours kept exactly,
// and a photograph reduced closer to its original than the standard way.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>

#include "base/Basic.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "image/IMGBasic.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

// Blue, green and red of a pixel of any depth the import hands on.
void PixelBgr(const TImg& Img, int64_t I, uint8_t (&Bgr)[3]) {
  const uint8_t* p = Img.Data + I * Img.BytesPerPixel;
  if (Img.BitsPerPixel == 8) p = Img.Palette[*p];
  std::memcpy(Bgr, p, 3);
}

// The stored-picture form: 8 bits at the canvas size, entry 0 black, the
// picture only at 1 .. 235, the animation's entries 236 .. 255 zero.
void ExpectLogoForm(const TImg& Img, const std::string& Name) {
  ASSERT_EQ(Img.BitsPerPixel, 8) << Name;
  EXPECT_EQ(Img.Width * Img.Height, LOGO_WIDTH * LOGO_HEIGHT) << Name;
  for (int c = 0; c < 3; ++c) EXPECT_EQ(Img.Palette[0][c], 0) << Name;
  for (int i = LOGO_COLORS + 1; i < 256; ++i)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(Img.Palette[i][c], 0) << Name << " entry " << i;
  int outside = 0;
  for (int64_t i = 0; i < int64_t{Img.Width} * Img.Height; ++i)
    outside += Img.Data[i] < 1 || Img.Data[i] > LOGO_COLORS;
  EXPECT_EQ(outside, 0) << Name;
}

// How close Reduced (8 bits) is to Original, in decibels over all channels.
double Psnr(const TImg& Original, const TImg& Reduced) {
  double sum = 0;
  const int64_t n = int64_t{Original.Width} * Original.Height;
  for (int64_t i = 0; i < n; ++i) {
    uint8_t a[3], b[3];
    PixelBgr(Original, i, a);
    PixelBgr(Reduced, i, b);
    for (int c = 0; c < 3; ++c) sum += (a[c] - b[c]) * (a[c] - b[c]);
  }
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * 3 * static_cast<double>(n) / sum);
}

struct TCase {
  const char* Name;
  int32_t Bits;
  std::function<void(int32_t X, int32_t Y, uint8_t* Px)> Pixel;
};

// Colour K of a set of distinct, irregularly spread colours.
void Colour(int32_t K, uint8_t* Px) {
  Px[0] = static_cast<uint8_t>(K * 37 % 256);
  Px[1] = static_cast<uint8_t>(K * 101 % 256);
  Px[2] = static_cast<uint8_t>(255 - K);
}

class PalBest : public testing::Test {
 protected:
  test::ScopedXdg xdg_;
};

// Pictures of no more colours than the logo holds keep every pixel's colour
// exactly: in any depth, as one colour, and with a fourth byte that is no
// alpha the logo could show (the colour under a transparent pixel is kept).
TEST_F(PalBest, FewColoursAreKeptExactlyInTheLogoForm) {
  const TCase cases[] = {
      {"200 colours, 24 bits", 24,
       [](int32_t X, int32_t Y, uint8_t* Px) { Colour((X / 16 + Y / 20 * 20) % 200, Px); }},
      {"235 colours through a palette", 8,
       [](int32_t X, int32_t Y, uint8_t* Px) { *Px = static_cast<uint8_t>((X + Y * 7) % 235); }},
      {"one colour", 24, [](int32_t, int32_t, uint8_t* Px) { Colour(3, Px); }},
      {"100 colours with transparency", 32,
       [](int32_t X, int32_t Y, uint8_t* Px) {
         Colour((X / 8 + Y / 40 * 40) % 100, Px);
         Px[3] = static_cast<uint8_t>(X < 160 ? 0 : Y % 256);
       }},
  };
  const int mem = MemCount();
  for (const TCase& c : cases) {
    TImg original, img;
    test::MakePicture(original, LOGO_WIDTH, LOGO_HEIGHT, c.Bits, c.Pixel);
    for (int k = 0; k < 256; ++k) Colour(k, original.Palette[k]);
    ImgCopy(original, img);
    ReduceToLogoPalette(img, PALETTE_BEST);
    ExpectLogoForm(img, c.Name);
    int wrong = 0;
    for (int64_t i = 0; i < int64_t{LOGO_WIDTH} * LOGO_HEIGHT; ++i) {
      uint8_t a[3], b[3];
      PixelBgr(original, i, a);
      PixelBgr(img, i, b);
      wrong += std::memcmp(a, b, 3) != 0;
    }
    EXPECT_EQ(wrong, 0) << c.Name;
    ImgFree(original);
    ImgFree(img);
  }
  EXPECT_EQ(MemCount(), mem);
}

// A photograph fitted to the canvas keeps the logo form, comes out closer
// to the fitted picture than the standard reduction brings it, and the
// whole import (from the file into the store) gives the same form.
TEST_F(PalBest, PhotographIsReducedCloserThanStandard) {
  const std::string photo = test::DataFile("jpeg/libjpeg-turbo/testorig.jpg");
  TImg canvas, standard, best;
  ASSERT_EQ(test::LoadFile(photo, canvas), test::kOk);
  FitToCanvas(canvas, RESIZE_STRETCH);
  ImgCopy(canvas, standard);
  ImgCopy(canvas, best);
  ReduceToLogoPalette(standard, PALETTE_STANDARD);
  ReduceToLogoPalette(best, PALETTE_BEST);
  ExpectLogoForm(best, "photograph");
  const double gain = Psnr(canvas, best) - Psnr(canvas, standard);
  EXPECT_GT(gain, 2.0) << Psnr(canvas, best) << " dB against " << Psnr(canvas, standard);
  ImgFree(canvas);
  ImgFree(standard);
  ImgFree(best);

  SetStorageDir(xdg_.Root() + "store");
  Settings().Palette = PALETTE_BEST;
  Settings().ResizeMode = RESIZE_BORDER;
  for (const char* input : {"jpeg/libjpeg-turbo/testorig.jpg", "png/pngsuite/basn6a08.png"}) {
    std::string dest = GetStorageDir() + "best.kvo";
    BatchAnswer() = BA_OVERWRITE_ALL;
    ASSERT_TRUE(ImportPicture(test::DataFile(input), dest)) << input;
    TImg stored;
    ASSERT_TRUE(LoadStoredPicture(dest, stored)) << input;
    ExpectLogoForm(stored, input);
    ImgFree(stored);
  }
  Settings() = TSettings{};
}

}  // namespace
}  // namespace kvo
