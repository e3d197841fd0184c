// SPDX-License-Identifier: GPL-3.0-or-later
// Screen output of pictures and the display controls built on it.
//
// Expected colours are worked out by hand from the pixel layouts: 15-bit
// words hold blue in bits 0-4, green 5-9, red 10-14; 16-bit words blue 0-4,
// green 5-10, red 11-15; 24- and 32-bit pixels are blue, green, red (and an
// unused byte). Qt widens 5- and 6-bit fields by repeating their top bits.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QWidget>

#include <cstring>

#include "base/Errors.h"
#include "image/IMGBasic.h"
#include "ui/CtlDisplay.h"
#include "ui/CtlPreview.h"
#include "ui/ScreenOutput.h"

namespace kvo {
namespace {

// A picture of the given size and depth whose pixel bytes are Bytes.
void MakePicture(TImg& Img, int32_t Width, int32_t Height, int32_t Bits,
                 std::initializer_list<uint8_t> Bytes) {
  ImgAlloc(Img, Width, Height, Bits);
  ASSERT_EQ(static_cast<size_t>(Width) * Height * Img.BytesPerPixel, Bytes.size());
  std::memcpy(Img.Data, Bytes.begin(), Bytes.size());
}

void SetEntry(TImg& Img, int Index, uint8_t R, uint8_t G, uint8_t B) {
  Img.Palette[Index][0] = B;
  Img.Palette[Index][1] = G;
  Img.Palette[Index][2] = R;
}

// A canvas picture of one palette colour.
void MakeFlat(TImg& Img, int32_t Width, int32_t Height, uint8_t R, uint8_t G, uint8_t B) {
  ImgAlloc(Img, Width, Height, 8);
  std::memset(Img.Data, 1, static_cast<size_t>(Width) * Height);
  SetEntry(Img, 1, R, G, B);
}

QRgb At(const QImage& Image, int X, int Y) { return Image.pixel(X, Y) | 0xFF000000u; }

void ExpectNear(QRgb Got, QRgb Want) {
  EXPECT_NEAR(qRed(Got), qRed(Want), 4);
  EXPECT_NEAR(qGreen(Got), qGreen(Want), 4);
  EXPECT_NEAR(qBlue(Got), qBlue(Want), 4);
}

// ---- conversion of every depth --------------------------------------------------

TEST(ScreenOutputConversion, EightBitUsesItsOwnPalette) {
  TImg img;
  MakePicture(img, 2, 1, 8, {0, 7});
  SetEntry(img, 0, 1, 2, 3);
  SetEntry(img, 7, 200, 100, 50);
  QImage q = ImgToQImage(img, false, 0);
  EXPECT_EQ(q.format(), QImage::Format_Indexed8);
  EXPECT_EQ(At(q, 0, 0), qRgb(1, 2, 3));
  EXPECT_EQ(At(q, 1, 0), qRgb(200, 100, 50));
  ImgFree(img);
}

TEST(ScreenOutputConversion, FifteenBitIsFiveFiveFive) {
  TImg img;
  // 0x7C00 red 31, 0x03E0 green 31, 0x0010 blue 16, little-endian words.
  MakePicture(img, 3, 1, 15, {0x00, 0x7C, 0xE0, 0x03, 0x10, 0x00});
  QImage q = ImgToQImage(img, false, 0);
  EXPECT_EQ(q.format(), QImage::Format_RGB555);
  EXPECT_EQ(At(q, 0, 0), qRgb(255, 0, 0));
  EXPECT_EQ(At(q, 1, 0), qRgb(0, 255, 0));
  EXPECT_EQ(At(q, 2, 0), qRgb(0, 0, 132));  // 16 -> 10000 100
  ImgFree(img);
}

TEST(ScreenOutputConversion, SixteenBitIsFiveSixFive) {
  TImg img;
  // 0xF800 red 31, 0x0400 green 32 of 63, 0x001F blue 31.
  MakePicture(img, 3, 1, 16, {0x00, 0xF8, 0x00, 0x04, 0x1F, 0x00});
  QImage q = ImgToQImage(img, false, 0);
  EXPECT_EQ(q.format(), QImage::Format_RGB16);
  EXPECT_EQ(At(q, 0, 0), qRgb(255, 0, 0));
  EXPECT_EQ(At(q, 1, 0), qRgb(0, 130, 0));  // 32 -> 100000 10
  EXPECT_EQ(At(q, 2, 0), qRgb(0, 0, 255));
  ImgFree(img);
}

TEST(ScreenOutputConversion, TwentyFourAndThirtyTwoBitAreBlueGreenRed) {
  TImg img24, img32;
  MakePicture(img24, 1, 1, 24, {0x10, 0x20, 0x30});
  MakePicture(img32, 1, 1, 32, {1, 2, 3, 99});
  EXPECT_EQ(At(ImgToQImage(img24, false, 0), 0, 0), qRgb(0x30, 0x20, 0x10));
  EXPECT_EQ(At(ImgToQImage(img32, false, 0), 0, 0), qRgb(3, 2, 1));
  ImgFree(img24);
  ImgFree(img32);
}

// ---- rows and rectangles ----------------------------------------------------------

TEST(ScreenOutputRows, AlignedRowsAreUsedInPlace) {
  TImg img;
  MakePicture(img, 4, 2, 8, {1, 2, 3, 4, 5, 6, 7, 8});
  TQImageView view(img);
  EXPECT_FALSE(view.Copied());
  EXPECT_EQ(view.Image().constBits(), img.Data);
  ImgFree(img);
}

TEST(ScreenOutputRows, NineByteRowsArePaddedToTwelve) {
  TImg img;
  // 3 pixels at 24 bits: rows of 9 bytes.
  MakePicture(img, 3, 2, 24,
              {1, 0, 0, 2, 0, 0, 3, 0, 0,    // top row: blues 1, 2, 3
               0, 0, 4, 0, 0, 5, 0, 0, 6});  // bottom row: reds 4, 5, 6
  TQImageView view(img);
  EXPECT_TRUE(view.Copied());
  EXPECT_EQ(view.Image().bytesPerLine(), 12);
  EXPECT_EQ(At(view.Image(), 2, 0), qRgb(0, 0, 3));
  EXPECT_EQ(At(view.Image(), 0, 1), qRgb(4, 0, 0));
  EXPECT_EQ(At(view.Image(), 2, 1), qRgb(6, 0, 0));
  ImgFree(img);
}

TEST(ScreenOutputRows, RectangleCorrections) {
  TImgRect r{0, 0, 0, -5};  // no width, no height: the whole picture
  CorrectPutRect(r, 10, 8);
  EXPECT_EQ(r.Width, 10);
  EXPECT_EQ(r.Height, 8);
  r = {12, 8, 3, 3};  // edges beyond the picture start at 0
  CorrectPutRect(r, 10, 8);
  EXPECT_EQ(r.Left, 0);
  EXPECT_EQ(r.Top, 0);
  r = {6, 5, 9, 9};  // an overhang is cut at the picture's edge
  CorrectPutRect(r, 10, 8);
  EXPECT_EQ(r.Width, 4);
  EXPECT_EQ(r.Height, 3);
}

TEST(ScreenOutputDrawing, DrawsThePartAskedForAtThePlaceAskedFor) {
  TImg img;
  MakePicture(img, 3, 1, 24, {0, 0, 10, 0, 0, 20, 0, 0, 30});  // reds 10, 20, 30
  QImage canvas(6, 3, QImage::Format_RGB32);
  canvas.fill(Qt::white);
  {
    QPainter dc(&canvas);
    TImgRect part{1, 0, 0, 0};  // from column 1, width 0 = to the end
    ImgPutEx(img, part, &dc, 2, 1, 0);
    EXPECT_EQ(part.Width, 2);
  }
  EXPECT_EQ(At(canvas, 1, 1), qRgb(255, 255, 255));
  EXPECT_EQ(At(canvas, 2, 1), qRgb(20, 0, 0));
  EXPECT_EQ(At(canvas, 3, 1), qRgb(30, 0, 0));
  EXPECT_EQ(At(canvas, 4, 1), qRgb(255, 255, 255));
  {
    QPainter dc(&canvas);
    TImgRect beyond{7, 0, 1, 1};  // a left edge beyond the picture draws column 0
    ImgPutEx(img, beyond, &dc, 0, 0, 0);
  }
  EXPECT_EQ(At(canvas, 0, 0), qRgb(10, 0, 0));
  ImgFree(img);
}

TEST(ScreenOutputDrawing, InvalidPicturesDrawNothing) {
  QImage canvas(2, 2, QImage::Format_RGB32);
  canvas.fill(Qt::white);
  TImg none;
  {
    QPainter dc(&canvas);
    ImgPut(none, &dc, 0, 0);
  }
  EXPECT_TRUE(NoError());
  EXPECT_EQ(At(canvas, 0, 0), qRgb(255, 255, 255));
}

// ---- palettes ----------------------------------------------------------------------------

TEST(ScreenOutputPalette, TrueColourDevicesRealiseNothing) {
  const QList<QRgb> before = RealizedPalette();
  TImg img;
  MakeFlat(img, 2, 2, 9, 8, 7);
  QImage canvas(2, 2, QImage::Format_RGB32);
  {
    QPainter dc(&canvas);
    EXPECT_FALSE(IsPaletteDevice(&dc));
    PalPut(img.Palette, &dc);
  }
  EXPECT_EQ(RealizedPalette(), before);
  ImgFree(img);
}

TEST(ScreenOutputPalette, PaletteDeviceGetsTrueColourReducedAndRealised) {
  TImg img;
  MakePicture(img, 3, 1, 24, {0, 0, 255, 0, 255, 0, 255, 0, 0});  // red, green, blue
  QImage q = ImgToQImage(img, true, 0);
  ASSERT_EQ(q.format(), QImage::Format_Indexed8);
  // The colour table is the palette realised from the reduced picture.
  EXPECT_EQ(q.colorTable(), RealizedPalette());
  // The quantiser keeps colours to a few bits' precision.
  ExpectNear(At(q, 0, 0), qRgb(255, 0, 0));
  ExpectNear(At(q, 1, 0), qRgb(0, 255, 0));
  ExpectNear(At(q, 2, 0), qRgb(0, 0, 255));
  ImgFree(img);
}

// ---- display control and preview ----------------------------------------------------

class PreviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    panel_.setGeometry(0, 0, 300, 300);
    panel_.setAutoFillBackground(true);
    QPalette pal = panel_.palette();
    pal.setColor(QPalette::Window, QColor(10, 200, 30));
    panel_.setPalette(pal);
    Preview_Init(p_, &panel_, 2);
    panel_.show();
  }
  void TearDown() override { Preview_Done(p_); }

  QRect Bounds() const { return p_.Display->geometry(); }

  QWidget panel_;
  TPreview p_;
};

TEST_F(PreviewTest, NewControlPaintsBlackUntilGivenAColour) {
  ASSERT_NE(p_.Display, nullptr);
  EXPECT_EQ(At(p_.Display->grab().toImage(), 3, 3), qRgb(0, 0, 0));
  Display_SetColor(p_.Display, 0x000000FF);  // red as 0x00BBGGRR
  EXPECT_EQ(At(p_.Display->grab().toImage(), 3, 3), qRgb(255, 0, 0));
}

TEST_F(PreviewTest, LargePictureShrinksToTouchTheBox) {
  TImg logo;
  MakeFlat(logo, 320, 400, 40, 50, 60);
  const TImg before = logo;
  Preview_Show(p_, logo);
  // Box 296 x 296: 236 x 296, centred, one pixel in from the box's corner.
  EXPECT_EQ(Bounds(), QRect(31, 1, 236, 296));
  EXPECT_EQ(p_.Display->Picture().Width, 236);
  EXPECT_EQ(At(p_.Display->grab().toImage(), 100, 100), qRgb(40, 50, 60));
  // The caller's picture is left as it was.
  EXPECT_EQ(logo.Width, 320);
  EXPECT_EQ(logo.Data, before.Data);
  EXPECT_NE(p_.Display->Picture().Data, logo.Data);
  ImgFree(logo);
}

TEST_F(PreviewTest, SmallPictureKeepsItsSizeAndIsCentred) {
  TImg small;
  MakeFlat(small, 100, 50, 1, 2, 3);
  Preview_Show(p_, small);
  EXPECT_EQ(Bounds(), QRect(99, 124, 100, 50));
  ImgFree(small);
}

TEST_F(PreviewTest, EmptyPictureLeavesTheDisplayAlone) {
  TImg small, empty;
  MakeFlat(small, 100, 50, 1, 2, 3);
  Preview_Show(p_, small);
  Preview_Show(p_, empty);
  EXPECT_EQ(Bounds(), QRect(99, 124, 100, 50));
  EXPECT_EQ(p_.Display->Picture().Width, 100);
  ImgFree(small);
}

TEST_F(PreviewTest, HiddenPreviewShowsThePanelColour) {
  TImg small;
  MakeFlat(small, 100, 50, 250, 0, 0);
  Preview_Show(p_, small);
  EXPECT_EQ(At(panel_.grab().toImage(), 150, 150), qRgb(250, 0, 0));
  Preview_Hide(p_);
  EXPECT_EQ(At(panel_.grab().toImage(), 150, 150), qRgb(10, 200, 30));
  // Hiding keeps the picture.
  EXPECT_EQ(p_.Display->Picture().Width, 100);
  ImgFree(small);
}

}  // namespace
}  // namespace kvo
