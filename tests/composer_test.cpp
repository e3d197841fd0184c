// SPDX-License-Identifier: GPL-3.0-or-later
// Composing logos: the animation palette and bars, the message choice and
// the written logo files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "core/Composer.h"
#include "core/Locations.h"
#include "core/Random.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

uint32_t Rgb(int R, int G, int B) { return static_cast<uint32_t>(R | (G << 8) | (B << 16)); }

// Palette entry as 0x00BBGGRR.
uint32_t Entry(const TImg& Img, int I) {
  return Rgb(Img.Palette[I][2], Img.Palette[I][1], Img.Palette[I][0]);
}

// A canvas in the logo layout: a grey ramp in entries 1..235, pixels 1..235.
TImg MakeCanvas() {
  TImg img;
  _imgalloc_(img, 320, 400, 8, __LINE__, "Test.Canvas.img");
  for (int i = 1; i <= 235; ++i) img.Palette[i][0] = img.Palette[i][1] = img.Palette[i][2] = static_cast<uint8_t>(i);
  for (int64_t i = 0; i < 320 * 400; ++i) img.Data[i] = static_cast<uint8_t>(1 + (i % 235));
  return img;
}

TEST(AnimPalette, SmoothScrollGoesThereAndBack) {
  TImg img;
  const uint32_t c1 = 16744448, c2 = 8404992;  // the defaults
  FillAnimPalette(img.Palette, 236, c1, ANIM_SMOOTH, c2);
  EXPECT_EQ(Entry(img, 236), c1);
  // green 64 div 9 + 1024 div 9 = 7 + 113; blue 128 div 9 + 2040 div 9 = 14 + 226
  EXPECT_EQ(Entry(img, 237), Rgb(0, 120, 240));
  EXPECT_EQ(Entry(img, 245), c2);
  EXPECT_EQ(Entry(img, 246), c2);
  EXPECT_EQ(Entry(img, 254), Rgb(0, 120, 240));
  EXPECT_EQ(Entry(img, 255), c1);
  EXPECT_EQ(Entry(img, 235), 0u);  // nothing outside the 20 entries
}

TEST(AnimPalette, VegasBlocksAndUnknownMoveIsBlack) {
  TImg img;
  FillAnimPalette(img.Palette, 236, Rgb(255, 0, 0), ANIM_VEGAS, Rgb(0, 0, 255));
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(Entry(img, 236 + i), ((i / 5) % 2) ? Rgb(255, 0, 0) : Rgb(0, 0, 255)) << i;
  FillAnimPalette(img.Palette, 236, Rgb(255, 0, 0), 7, Rgb(0, 0, 255));
  for (int i = 236; i < 256; ++i) EXPECT_EQ(Entry(img, i), 0u);
}

TEST(AnimShape, VegasTopBarCountsDownEveryFourColumns) {
  TImg img = MakeCanvas();
  DrawAnimShape(img, 236, ANIM_TOP, ANIM_VEGAS);
  auto at = [&](int x, int y) { return img.Data[y * 320 + x]; };
  EXPECT_EQ(at(0, 0), 255);
  for (int x = 1; x <= 4; ++x) EXPECT_EQ(at(x, 3), 254);
  for (int x = 5; x <= 8; ++x) EXPECT_EQ(at(x, 5), 253);
  // Columns 4j+1 .. 4j+4 carry 254 - j: index 236 covers 73 .. 76, then the
  // count wraps to 255 for 77 .. 80.
  EXPECT_EQ(at(76, 0), 236);
  EXPECT_EQ(at(77, 0), 255);
  EXPECT_EQ(at(81, 0), 254);
  EXPECT_NE(at(0, 6), 255);  // row 6 is outside the bar
  ImgFree(img);
}

TEST(AnimShape, SmoothBottomBarOddRowsLeadByOneColumn) {
  TImg img = MakeCanvas();
  DrawAnimShape(img, 236, ANIM_BOTTOM, ANIM_SMOOTH);
  auto at = [&](int x, int y) { return img.Data[y * 320 + x]; };
  // Column 0: both 255; column 1: both 255, then cur := 254; column 2: odd
  // rows 254, even rows still 255; column 3: both 254.
  EXPECT_EQ(at(0, 394), 255);
  EXPECT_EQ(at(1, 395), 255);
  EXPECT_EQ(at(2, 395), 254);
  EXPECT_EQ(at(2, 394), 255);
  EXPECT_EQ(at(3, 394), 254);
  // Each index covers two columns, so the count wraps every 40 columns:
  // 236 is reached at column 38 (odd rows) and 39, 255 again at 40 and 41.
  EXPECT_EQ(at(39, 394), 236);
  EXPECT_EQ(at(40, 395), 255);
  EXPECT_EQ(at(40, 394), 236);
  EXPECT_EQ(at(41, 394), 255);
  EXPECT_NE(at(0, 393), 255);
  ImgFree(img);
}

TEST(AnimShape, VerticalBarsOnBothSides) {
  TImg img = MakeCanvas();
  DrawAnimShape(img, 236, ANIM_VERTICAL, ANIM_VEGAS);
  auto at = [&](int x, int y) { return img.Data[y * 320 + x]; };
  EXPECT_EQ(at(0, 0), 236);
  EXPECT_EQ(at(3, 1), 237);
  EXPECT_EQ(at(316, 4), 237);
  EXPECT_EQ(at(319, 5), 238);
  EXPECT_NE(at(4, 0), 236);
  EXPECT_NE(at(315, 0), 236);
  ImgFree(img);
}

TEST(MessageFields, NthFieldFollowsTheSeparatorSearches) {
  std::string f;
  const std::string text = "Welcome--\r\nHave a nice day\r\nand a nice evening\r\n--\r\nShutting down...";
  ASSERT_TRUE(NthField(text, "--\r\n", 0, f));
  EXPECT_EQ(f, "Welcome");
  ASSERT_TRUE(NthField(text, "--\r\n", 1, f));
  EXPECT_EQ(f, "Have a nice day\r\nand a nice evening");
  ASSERT_TRUE(NthField(text, "--\r\n", 2, f));
  EXPECT_EQ(f, "Shutting down...");
  EXPECT_FALSE(NthField(text, "--\r\n", 3, f));
  // A "--" on the last line is text, not a separator.
  ASSERT_TRUE(NthField("one\r\n--", "--\r\n", 0, f));
  EXPECT_EQ(f, "one\r\n--");
  // An empty line inside a message is a field of its own.
  ASSERT_TRUE(NthField("a\r\n\r\nbc", "\r\n", 1, f));
  EXPECT_EQ(f, "");
  ASSERT_TRUE(NthField("a\r\n\r\nbc", "\r\n", 2, f));
  EXPECT_EQ(f, "bc");
  EXPECT_FALSE(NthField("a\r\n\r\nbc", "\r\n", 3, f));
}

// Every line is drawn once: the search for the next break also runs in the
// last few characters of the text, where a short last line sits.
TEST(MessageFields, EachLineOnceAfterEmptyLinesAndShortLastMessagesWhole) {
  std::vector<std::string> lines;
  std::string f;
  for (int32_t j = 0; NthField("x\r\n\r\n\r\ny", "\r\n", j, f); ++j) lines.push_back(f);
  EXPECT_EQ(lines, (std::vector<std::string>{"x", "", "", "y"}));
  ASSERT_TRUE(NthField("--\r\nz", "--\r\n", 1, f));
  EXPECT_EQ(f, "z");
  ASSERT_TRUE(NthField("Hello\r\n--\r\nab--\r\n", "--\r\n", 1, f));
  EXPECT_EQ(f, "ab");
  ASSERT_TRUE(NthField("Hello\r\n--\r\nab--\r\n", "--\r\n", 2, f));
  EXPECT_EQ(f, "");
}

TEST(MessageFields, NearestColourPrefersTheLowestIndexOnTies) {
  TImg img;
  img.Palette[3][2] = 200;
  img.Palette[4][2] = 200;
  EXPECT_EQ(NearestColorIndex(img, 236, Rgb(210, 0, 0)), 3);
  EXPECT_EQ(NearestColorIndex(img, 236, 0), 0);
  // Green weighs 9, red 4: a colour 10 off in red beats one 10 off in green.
  img.Palette[5][1] = 90, img.Palette[5][2] = 100;
  img.Palette[6][1] = 100, img.Palette[6][2] = 90;
  EXPECT_EQ(NearestColorIndex(img, 236, Rgb(100, 100, 0)), 6);
}

class Logos : public testing::Test {
 protected:
  void SetUp() override {
    Settings() = TSettings{};
    SetStorageDir(xdg_.Root() + "store");
    std::string store = GetStorageDir();
    test::WriteWhole(store + ".keep", "");
    for (uint32_t p : POSITIONS)
      SetLogoFile(p, xdg_.Root() + "logo" + std::to_string(p) + ".sys");
    canvas_ = MakeCanvas();
    MakeLongDirForTest(store);
    ASSERT_TRUE(SaveStoredPicture(store + "Custom--c.kvo", canvas_, {POS_ALL, 0, 12}));
    stored_ = store + "Custom--c.kvo";
  }
  void TearDown() override { ImgFree(canvas_); }
  static void MakeLongDirForTest(const std::string& Dir) {
    std::string cmd = "mkdir -p '" + Dir + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  int32_t ImportantColours(uint32_t Position) {
    std::string bytes = test::ReadWhole(GetLogoFile(Position));
    if (bytes.size() < 54) return -1;
    return static_cast<uint8_t>(bytes[50]) | (static_cast<uint8_t>(bytes[51]) << 8);
  }
  test::ScopedXdg xdg_;
  TImg canvas_;
  std::string stored_;
};

TEST_F(Logos, OnlyTheAnimatedStartupLogoHas236ImportantColours) {
  Settings().MsgEnabled[0] = Settings().MsgEnabled[1] = Settings().MsgEnabled[2] = false;
  for (uint32_t p : POSITIONS) SetLogo(stored_, p);
  EXPECT_EQ(test::ReadWhole(GetLogoFile(POS_STARTUP)).size(), 129078u);
  EXPECT_EQ(ImportantColours(POS_STARTUP), 236);
  EXPECT_EQ(ImportantColours(POS_WAIT), 256);
  EXPECT_EQ(ImportantColours(POS_TURNOFF), 256);
  // ImageMagick reads the logo as the canvas (BMP rows are bottom-up).
  std::string cmd = "identify -format '%w %h' '" + GetLogoFile(POS_WAIT) + "' > '" +
                    xdg_.Root() + "id.txt'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(test::ReadWhole(xdg_.Root() + "id.txt"), "320 400");
  // And so does Pillow, as a palette picture.
  cmd = "/usr/bin/python3 -c \"import sys; from PIL import Image; i = Image.open(sys.argv[1]); "
        "print(i.size[0], i.size[1], i.mode)\" '" + GetLogoFile(POS_STARTUP) + "' > '" +
        xdg_.Root() + "pil.txt'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(test::ReadWhole(xdg_.Root() + "pil.txt"), "320 400 P\n");
}

TEST_F(Logos, UnreadableStoredPictureLeavesTheLogoAlone) {
  test::WriteWhole(GetLogoFile(POS_WAIT), "old logo");
  test::WriteWhole(stored_, "not a picture");
  SetLogo(stored_, POS_WAIT);
  EXPECT_EQ(test::ReadWhole(GetLogoFile(POS_WAIT)), "old logo");
  SetLogo("", POS_WAIT);
  EXPECT_EQ(test::ReadWhole(GetLogoFile(POS_WAIT)), "old logo");
}

TEST_F(Logos, FirstMessageOnlyWhenPickingTheFirst) {
  Settings().MsgPickMethod = 2;  // acts as "first"
  Settings().AnimEnabled = false;
  SetMessages(POS_WAIT, "Hello\r\n--\r\nSecond message\r\n--\r\nThird");
  SetLogo(stored_, POS_WAIT);
  std::string withThree = test::ReadWhole(GetLogoFile(POS_WAIT));
  SetMessages(POS_WAIT, "Hello");
  SetLogo(stored_, POS_WAIT);
  EXPECT_EQ(test::ReadWhole(GetLogoFile(POS_WAIT)), withThree);
  // The text changed the picture under row 12 only.
  SetMessages(POS_WAIT, "");
  SetLogo(stored_, POS_WAIT);
  std::string plain = test::ReadWhole(GetLogoFile(POS_WAIT));
  EXPECT_NE(plain, withThree);
}

TEST_F(Logos, RandomPickDrawsEveryMessageSometimes) {
  Settings().AnimEnabled = false;
  SetMessages(POS_TURNOFF, "One\r\n--\r\nTwo\r\n--\r\nThree");
  RandomSeed(1);
  std::set<std::string> seen;
  for (int i = 0; i < 30; ++i) {
    SetLogo(stored_, POS_TURNOFF);
    seen.insert(test::ReadWhole(GetLogoFile(POS_TURNOFF)));
  }
  EXPECT_EQ(seen.size(), 3u);
}

// The Startup logo as written: a line long enough to run into the right-hand
// bar meets the animation there, and the bar's colours win; left of the bar
// the text stays as it was drawn.
TEST_F(Logos, AnimationPaintsOverMessageText) {
  Settings().AnimShape = ANIM_VERTICAL;
  Settings().FontSize = 24;
  auto compose = [&](bool Animate, const std::string& Message) {
    Settings().AnimEnabled = Animate;
    SetMessages(POS_STARTUP, Message);
    SetLogo(stored_, POS_STARTUP);
    std::string bytes = test::ReadWhole(GetLogoFile(POS_STARTUP));
    EXPECT_EQ(bytes.size(), 129078u);
    bytes.resize(129078);
    return bytes;
  };
  // The 8-bit rows after the header and palette, bottom row first.
  auto at = [](const std::string& Logo, int X, int Y) {
    return static_cast<uint8_t>(Logo[size_t(1078 + (399 - Y) * 320 + X)]);
  };
  const std::string line(40, 'M');
  const std::string plain = compose(false, ""), text = compose(false, line);
  const std::string both = compose(true, line);
  int textInBar = 0;
  for (int y = 0; y < 400; ++y) {
    for (int x : {0, 1, 2, 3, 316, 317, 318, 319}) {
      textInBar += at(text, x, y) != at(plain, x, y);
      EXPECT_GE(at(both, x, y), 236) << x << ", " << y;
    }
    for (int x = 4; x < 316; ++x) ASSERT_EQ(at(both, x, y), at(text, x, y)) << x << ", " << y;
  }
  EXPECT_GT(textInBar, 0);  // the text did reach the bar
}

}  // namespace
}  // namespace kvo
