// SPDX-License-Identifier: GPL-3.0-or-later
// The message text renderer and its font stand-in.
//
// The sprite operations (expansion, shadow, outline, stamp, palette) are
// checked on sprites drawn by hand as character pictures, against results
// worked out by hand. Glyph rendering is checked against the font file
// itself: DejaVu Sans (units per em 2048; hhea ascender 1901, descender
// -483; post underline position -40, thickness 90; OS/2 strike-out
// position 530, size 102) and advance widths read from its hmtx table with
// a small independent reader, cross-checked with ImageMagick's
// `convert -font DejaVu-Sans -pointsize 12 -density 96 +antialias label:`.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "core/TextGen.h"
#include "image/IMGBasic.h"
#include "platform/Fonts.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

// Every test leaves the tracked tables and the frame stack as it found them.
class TextTest : public testing::Test {
 protected:
  void SetUp() override {
    mem_ = MemCount();
    depth_ = MonDepth();
  }
  void TearDown() override {
    EXPECT_EQ(MemCount(), mem_);
    EXPECT_EQ(MonDepth(), depth_);
  }

 private:
  int mem_ = 0, depth_ = 0;
};

using TextSprite = TextTest;
using TextFonts = TextTest;
using TextRender = TextTest;
using TextDraw = TextTest;

// An 8-bit picture from rows of characters: '#' is index 1, 'o' index 2,
// '.' index 0.
void Art(TImg& Img, const std::vector<std::string>& Rows) {
  const int32_t w = static_cast<int32_t>(Rows[0].size()), h = static_cast<int32_t>(Rows.size());
  ImgAlloc(Img, w, h, 8);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const char c = Rows[y][x];
      Img.Data[y * w + x] = c == '#' ? 1 : c == 'o' ? 2 : 0;
    }
}

// The reverse of Art, for comparisons that print readably.
std::vector<std::string> ArtOf(const TImg& Img) {
  std::vector<std::string> rows;
  for (int32_t y = 0; y < Img.Height; ++y) {
    std::string row;
    for (int32_t x = 0; x < Img.Width; ++x) {
      const uint8_t v = Img.Data[y * Img.Width + x];
      row += v == 1 ? '#' : v == 2 ? 'o' : v == 0 ? '.' : '?';
    }
    rows.push_back(row);
  }
  return rows;
}

// Options whose three indices are those of Art: back 0, text 1, effect 2.
TTextOptions ArtOptions(int32_t Effect, int32_t DX, int32_t DY) {
  TTextOptions o;
  TextOptionsInit(o);
  o.Effect = Effect;
  o.EffectDX = DX;
  o.EffectDY = DY;
  return o;
}

TTextOptions DejaVu(int32_t Size, int32_t Style = 0) {
  TTextOptions o;
  TextOptionsInit(o);
  o.FontName = "DejaVu Sans";
  o.FontSize = Size;
  o.FontStyle = Style;
  return o;
}

// Index counts of an 8-bit picture.
std::vector<int64_t> Histogram(const TImg& Img) {
  std::vector<int64_t> h(256, 0);
  for (int64_t i = 0; i < int64_t(Img.Width) * Img.Height; ++i) ++h[Img.Data[i]];
  return h;
}

// The rightmost column holding a text pixel, -1 when none.
int32_t RightmostText(const TImg& Img, uint8_t TextIndex) {
  int32_t right = -1;
  for (int32_t y = 0; y < Img.Height; ++y)
    for (int32_t x = 0; x < Img.Width; ++x)
      if (Img.Data[y * Img.Width + x] == TextIndex) right = std::max(right, x);
  return right;
}

// A 1-bit line as the font stand-in draws it, with its extent.
struct Line {
  int32_t Cx = 0, Cy = 0, Width = 0, RowBytes = 0;
  std::vector<uint8_t> Bits;
  bool Bit(int32_t X, int32_t Y) const {
    return (Bits[Y * RowBytes + X / 8] & (0x80 >> (X % 8))) != 0;
  }
  int64_t Count() const {
    int64_t n = 0;
    for (int32_t y = 0; y < Cy; ++y)
      for (int32_t x = 0; x < Width; ++x) n += Bit(x, y);
    return n;
  }
};

Line DrawLine(TFont& Font, const std::string& Text) {
  Line l;
  EXPECT_TRUE(FontTextExtent(Font, Text, l.Cx, l.Cy));
  l.Width = (l.Cx + 31) / 32 * 32;
  l.RowBytes = l.Width / 8;
  l.Bits.assign(size_t(l.RowBytes) * l.Cy, 0);
  EXPECT_TRUE(FontDrawText(Font, Text, l.Bits.data(), l.Width, l.Cy, l.RowBytes));
  return l;
}

TFontRequest Request(std::string_view Face, int32_t Height, bool Bold = false) {
  TFontRequest r;
  r.Face = Face;
  r.Height = Height;
  r.Bold = Bold;
  return r;
}

// ---- sprite operations on hand-drawn sprites -----------------------------------

TEST_F(TextSprite, ExpansionTakesBitsMostSignificantFirstAndSkipsRowPadding) {
  // 40 pixels wide: 5 bytes of bits, padded to 8 per row.
  const uint8_t bits[16] = {0x80, 0x00, 0x00, 0x00, 0x01, 0xEE, 0xEE, 0xEE,
                            0x40, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
  TTextOptions o = ArtOptions(TE_NONE, 1, 1);
  o.TextIndex = 9;
  o.BackIndex = 4;
  TImg img;
  CreateTextImg(img, 40, 2, o, bits, 1);
  ASSERT_EQ(img.Width, 40);
  ASSERT_EQ(img.Height, 2);
  for (int32_t x = 0; x < 40; ++x) {
    const bool row0 = x == 0 || x == 39, row1 = x == 1 || x == 38 || x == 39;
    EXPECT_EQ(img.Data[x], row0 ? 9 : 4) << "row 0 column " << x;
    EXPECT_EQ(img.Data[40 + x], row1 ? 9 : 4) << "row 1 column " << x;
  }
  ImgFree(img);
}

TEST_F(TextSprite, ShadowUpLeftOrDownRightGrowsByTheOffset) {
  TImg src, dest;
  Art(src, {"##.",
            "#.#"});
  // Offset (-2, 3): 2 more columns, 3 more rows; the text at column 2 row
  // 0, the shadow at column 0 row 3.
  _Text_AddShadow(dest, src, ArtOptions(TE_SHADOW, -2, 3));
  EXPECT_EQ(ArtOf(dest), (std::vector<std::string>{"..##.",
                                                    "..#.#",
                                                    ".....",
                                                    "oo...",
                                                    "o.o.."}));
  // Offset (1, 1): the shadow peeks out right and below; the text wins
  // where they overlap.
  _Text_AddShadow(dest, src, ArtOptions(TE_SHADOW, 1, 1));
  EXPECT_EQ(ArtOf(dest), (std::vector<std::string>{"##..",
                                                    "#o#.",
                                                    ".o.o"}));
  ImgFree(src);
  ImgFree(dest);
}

TEST_F(TextSprite, OutlineRingsEveryTextPixel) {
  TImg src, dest;
  Art(src, {"#..",
            "..#"});
  _Text_AddBorder(dest, src, ArtOptions(TE_OUTLINE, 1, 1));
  EXPECT_EQ(ArtOf(dest), (std::vector<std::string>{"ooo..",
                                                    "o#ooo",
                                                    "ooo#o",
                                                    "..ooo"}));
  // Negative thicknesses count by their size; 2 columns and no rows.
  _Text_AddBorder(dest, src, ArtOptions(TE_OUTLINE, -2, 0));
  EXPECT_EQ(ArtOf(dest), (std::vector<std::string>{"oo#oo..",
                                                    "..oo#oo"}));
  ImgFree(src);
  ImgFree(dest);
}

TEST_F(TextSprite, StampIsClippedAndNeedsTwoPalettePictures) {
  TImg dest, src;
  Art(dest, {"...",
             "..."});
  Art(src, {"#.",
            "##"});
  Text_Stamp(dest, src, -1, 0, 2, 1);  // only the lower row's right pixel lands
  EXPECT_EQ(ArtOf(dest), (std::vector<std::string>{"...", "o.."}));
  Text_Stamp(dest, src, 2, -1, 1, 1);  // only the lower row's left pixel
  EXPECT_EQ(ArtOf(dest), (std::vector<std::string>{"..#", "o.."}));
  Text_Stamp(dest, src, 3, 0, 1, 1);   // entirely outside
  Text_Stamp(dest, src, -2, -2, 1, 1);
  EXPECT_EQ(ArtOf(dest), (std::vector<std::string>{"..#", "o.."}));

  TImg rgb;
  ImgAlloc(rgb, 2, 2, 24);
  std::memset(rgb.Data, 0x55, 12);
  Text_Stamp(rgb, src, 0, 0, 9, 1);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(rgb.Data[i], 0x55);
  ImgFree(rgb);
  ImgFree(src);
  ImgFree(dest);
}

TEST_F(TextSprite, PaletteIsBlueGreenRedAndTheLaterIndexWins) {
  TImg img;
  TTextOptions o;
  TextOptionsInit(o);
  o.BackColor = 0x00332211;  // red 0x11, green 0x22, blue 0x33
  o.TextColor = 0x00665544;
  o.EffectColor = 0x00998877;
  TextSetPalette(img, o);
  EXPECT_EQ(img.Palette[0][0], 0x33);
  EXPECT_EQ(img.Palette[0][1], 0x22);
  EXPECT_EQ(img.Palette[0][2], 0x11);
  EXPECT_EQ(img.Palette[1][0], 0x66);
  EXPECT_EQ(img.Palette[2][2], 0x77);
  o.BackIndex = o.TextIndex = o.EffectIndex = 7;
  TextSetPalette(img, o);
  EXPECT_EQ(img.Palette[7][0], 0x99);  // the effect colour came last
  o.TextIndex = 300;                   // no such entry: nothing written
  TextSetPalette(img, o);
}

// ---- the font stand-in ------------------------------------------------------------

TEST_F(TextFonts, CodePageBytesMapToUnicode) {
  EXPECT_EQ(AnsiToUnicode(0x41), U'A');
  EXPECT_EQ(AnsiToUnicode(0x80), U'\u20AC');  // euro sign
  EXPECT_EQ(AnsiToUnicode(0x85), U'\u2026');  // ellipsis
  EXPECT_EQ(AnsiToUnicode(0x9F), U'\u0178');  // Y with diaeresis
  EXPECT_EQ(AnsiToUnicode(0x81), U'\u0081');  // undefined: kept
  EXPECT_EQ(AnsiToUnicode(0xE9), U'\u00E9');
  EXPECT_EQ(FontMulDiv(12, 96, 72), 16);
  EXPECT_EQ(FontMulDiv(10, 96, 72), 13);  // 13.33
  EXPECT_EQ(FontMulDiv(11, 96, 72), 15);  // 14.67
  EXPECT_EQ(FontMulDiv(-3, 1, 2), -2);    // halves away from zero
  EXPECT_EQ(FontMulDiv(1, 1, 0), -1);
}

TEST_F(TextFonts, LineHeightIsTheScaledAscenderPlusDescender) {
  TFont font;
  // Both are rounded outwards to whole pixels. 16 pixels per em: 1901 * 16
  // / 2048 = 14.85 -> 15 above and 483 * 16 / 2048 = 3.77 -> 4 below.
  ASSERT_TRUE(FontCreate(Request("DejaVu Sans", -16), font));
  EXPECT_EQ(font.Family, "DejaVu Sans");
  EXPECT_EQ(font.PixelSize, 16);
  EXPECT_EQ(font.Ascent, 15);
  EXPECT_EQ(font.Descent, 4);
  // 13 pixels: 12.07 -> 13, 3.07 -> 4. 32 pixels: 29.70 -> 30, 7.55 -> 8.
  ASSERT_TRUE(FontCreate(Request("DejaVu Sans", -13), font));
  EXPECT_EQ(font.Ascent + font.Descent, 17);
  ASSERT_TRUE(FontCreate(Request("DejaVu Sans", -32), font));
  EXPECT_EQ(font.Ascent + font.Descent, 38);
  // A positive height is the cell, 2384 units: 38 pixels of it are 32.64
  // per em, truncated to 32, whose cell is 38 again.
  ASSERT_TRUE(FontCreate(Request("DejaVu Sans", 38), font));
  EXPECT_EQ(font.PixelSize, 32);
  int32_t cx = 0, cy = 0;
  ASSERT_TRUE(FontTextExtent(font, "x", cx, cy));
  EXPECT_EQ(cy, 38);
}

TEST_F(TextFonts, ExtentIsTheSumOfRoundedAdvances) {
  TFont font;
  ASSERT_TRUE(FontCreate(Request("DejaVu Sans", -16), font));
  int32_t cx = 0, cy = 0;
  // hmtx: W 2025 units = 15.82 px, i 569 = 4.45 px.
  ASSERT_TRUE(FontTextExtent(font, "W", cx, cy));
  EXPECT_NEAR(cx, 16, 1);
  ASSERT_TRUE(FontTextExtent(font, "i", cx, cy));
  EXPECT_NEAR(cx, 4, 1);
  // The sixteen advances sum to 131.24 px unrounded; each rounds by less
  // than a pixel. (ImageMagick's label is 129 pixels wide.)
  ASSERT_TRUE(FontTextExtent(font, "Shutting down...", cx, cy));
  EXPECT_GE(cx, 131 - 8);
  EXPECT_LE(cx, 131 + 8);
  int32_t twice = 0;
  ASSERT_TRUE(FontTextExtent(font, "Shutting down...Shutting down...", twice, cy));
  EXPECT_EQ(twice, 2 * cx);  // no kerning, whole-pixel pens
  ASSERT_TRUE(FontTextExtent(font, "", cx, cy));
  EXPECT_EQ(cx, 0);
  EXPECT_EQ(cy, 19);
}

TEST_F(TextFonts, MissingFacesFallBackAndLongNamesAreCut) {
  TFont font;
  ASSERT_TRUE(FontCreate(Request("Verdana", -16), font));
  EXPECT_FALSE(font.Family.empty());
  EXPECT_GT(DrawLine(font, "Verdana").Count(), 50);

  const std::string longName = "DejaVu Sans with a much longer name..";  // 37
  const std::string forty = longName + "xyz";
  ASSERT_EQ(forty.size(), 40u);
  ASSERT_TRUE(FontCreate(Request(forty, -16), font));
  EXPECT_EQ(font.Face, forty.substr(0, 32));
  EXPECT_GT(DrawLine(font, "Cut").Count(), 10);

  // Sizes no screen font has are refused rather than rasterised.
  EXPECT_FALSE(FontCreate(Request("DejaVu Sans", -100000), font));
  EXPECT_FALSE(font.FtFace);
}

TEST_F(TextFonts, BoldAndItalicTakeTheirFaceOrAreSynthesised) {
  TFont regular, bold;
  ASSERT_TRUE(FontCreate(Request("DejaVu Sans", -16), regular));
  ASSERT_TRUE(FontCreate(Request("DejaVu Sans", -16, true), bold));
  EXPECT_FALSE(bold.SynthBold);  // DejaVu Sans Bold is installed
  int32_t rx = 0, bx = 0, cy = 0;
  ASSERT_TRUE(FontTextExtent(regular, "Hello World", rx, cy));
  ASSERT_TRUE(FontTextExtent(bold, "Hello World", bx, cy));
  // hmtx: 92.43 px regular, 105.24 px bold.
  EXPECT_NEAR(rx, 92, 6);
  EXPECT_NEAR(bx, 105, 6);

  // The maths face comes in one weight and slant only.
  TFont plain, thick, slanted;
  ASSERT_TRUE(FontCreate(Request("DejaVu Math TeX Gyre", -16), plain));
  ASSERT_TRUE(FontCreate(Request("DejaVu Math TeX Gyre", -16, true), thick));
  TFontRequest italic = Request("DejaVu Math TeX Gyre", -16);
  italic.Italic = true;
  ASSERT_TRUE(FontCreate(italic, slanted));
  ASSERT_EQ(plain.Family, "DejaVu Math TeX Gyre");
  EXPECT_TRUE(thick.SynthBold);
  EXPECT_TRUE(slanted.SynthItalic);
  const Line p = DrawLine(plain, "Hello"), t = DrawLine(thick, "Hello");
  const Line s = DrawLine(slanted, "Hello");
  EXPECT_GT(t.Cx, p.Cx);
  EXPECT_GT(t.Count(), p.Count());
  EXPECT_EQ(s.Cx, p.Cx);  // a slant moves pixels, not the pen
  EXPECT_NE(s.Bits, p.Bits);
}

TEST_F(TextFonts, UnderlineAndStrikeOutFollowTheFaceMetrics) {
  TFontRequest r = Request("DejaVu Sans", -16);
  TFont plain, lined;
  ASSERT_TRUE(FontCreate(r, plain));
  r.Underline = r.StrikeOut = true;
  ASSERT_TRUE(FontCreate(r, lined));
  // Underline: centre (40 + 45) * 16 / 2048 = 0.66 px below the baseline,
  // 90 * 16 / 2048 = 0.70 -> 1 row thick: row 15, just under the baseline.
  // Strike-out: top 530 * 16 / 2048 = 4.14 -> 4 px above the baseline, 102
  // * 16 / 2048 = 0.80 -> 1 row: row 11.
  EXPECT_EQ(lined.UnderlineTop, 15);
  EXPECT_EQ(lined.UnderlineRows, 1);
  EXPECT_EQ(lined.StrikeOutTop, 11);
  EXPECT_EQ(lined.StrikeOutRows, 1);
  const Line p = DrawLine(plain, "Hmm"), l = DrawLine(lined, "Hmm");
  for (int32_t x = 0; x < l.Width; ++x) {
    EXPECT_EQ(l.Bit(x, 15), x < l.Cx) << x;
    EXPECT_EQ(l.Bit(x, 11), x < l.Cx) << x;
    EXPECT_FALSE(p.Bit(x, 15)) << x;  // no descenders in "Hmm"
  }
  // Elsewhere the two lines agree.
  for (int32_t y = 0; y < l.Cy; ++y) {
    if (y == 11 || y == 15) continue;
    for (int32_t x = 0; x < l.Width; ++x) EXPECT_EQ(l.Bit(x, y), p.Bit(x, y)) << x << "," << y;
  }
}

TEST_F(TextFonts, DrawingIsClippedToTheBitmap) {
  TFont font;
  ASSERT_TRUE(FontCreate(Request("DejaVu Sans", -16), font));
  // A bitmap far too small for the line: 8 x 4 pixels inside a guarded
  // buffer. Only the first byte of each of the 4 rows may change.
  std::vector<uint8_t> buf(4 * 4 + 16, 0);
  ASSERT_TRUE(FontDrawText(font, "WWWW", buf.data(), 8, 4, 4));
  for (size_t i = 0; i < buf.size(); ++i) {
    if (i < 16 && i % 4 == 0) continue;
    EXPECT_EQ(buf[i], 0) << i;
  }
  // The euro sign is a glyph of its own, not the empty box of an unknown
  // character.
  EXPECT_NE(DrawLine(font, "\x80").Bits, DrawLine(font, "\x81").Bits);
}

// The set pixels of a line, with rows counted from its baseline.
std::set<std::pair<int32_t, int32_t>> Ink(const Line& L, int32_t Ascent) {
  std::set<std::pair<int32_t, int32_t>> ink;
  for (int32_t y = 0; y < L.Cy; ++y)
    for (int32_t x = 0; x < L.Width; ++x)
      if (L.Bit(x, y)) ink.insert({x, y - Ascent});
  return ink;
}

TEST_F(TextFonts, Utf8TextIsDrawnAsItsCharactersOtherTextAsWindows1252) {
  EXPECT_EQ(TextToUnicode("Caf\xC3\xA9 \xE2\x82\xAC"), U"Caf\u00E9 \u20AC");
  EXPECT_EQ(TextToUnicode("Caf\xE9 \x80"), U"Caf\u00E9 \u20AC");  // not UTF-8
  EXPECT_EQ(TextToUnicode("\xEF\xBB\xBFok"), U"ok");
  // Overlong forms and surrogates are not UTF-8, so the whole text is 1252.
  EXPECT_EQ(TextToUnicode("\xC0\xAF"), U"\u00C0\u00AF");
  EXPECT_EQ(TextToUnicode("\xED\xA0\x80"), U"\u00ED\u00A0\u20AC");
  EXPECT_EQ(TextToUnicode("\xF0\x9F\x98\x80!"), U"\U0001F600!");
  EXPECT_EQ(TextToUtf8("Caf\xE9"), "Caf\xC3\xA9");
  EXPECT_EQ(TextToUtf8("Caf\xC3\xA9"), "Caf\xC3\xA9");

  TFont font;
  ASSERT_TRUE(FontCreate(Request("DejaVu Sans", -16), font));
  const Line utf8 = DrawLine(font, "Caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(utf8.Bits, DrawLine(font, "Caf\xE9 \x80").Bits);
  EXPECT_NE(utf8.Bits, DrawLine(font, "Caf\xC3\x83\xC2\xA9 \xC3\xA2\xE2\x80\x9A\xC2\xAC").Bits);
}

// U+27C2 (perpendicular) is not in DejaVu Sans; it is drawn from the face
// fc-match picks for it, on the line's own baseline, not as an empty box.
TEST_F(TextFonts, ACharacterTheFaceLacksComesFromFontconfigsChoice) {
  const test::TPipeRun match =
      test::RunShell("fc-match -f '%{family[0]}' 'DejaVu Sans:charset=27c2'");
  ASSERT_EQ(match.Status, 0);
  ASSERT_NE(match.Out, "DejaVu Sans");
  TFont sans, other;
  ASSERT_TRUE(FontCreate(Request("DejaVu Sans", -16), sans));
  ASSERT_TRUE(FontCreate(Request(match.Out, -16), other));
  const Line fallen = DrawLine(sans, "\xE2\x9F\x82"), direct = DrawLine(other, "\xE2\x9F\x82");
  EXPECT_EQ(fallen.Cx, direct.Cx);
  EXPECT_GT(fallen.Count(), 10);
  EXPECT_EQ(Ink(fallen, sans.Ascent), Ink(direct, other.Ascent));
  // A character no installed face has is the face's own box.
  const Line none = DrawLine(sans, "\xEE\x80\x80");  // U+E000, private use
  EXPECT_NE(Ink(none, sans.Ascent), Ink(fallen, sans.Ascent));
}

// ---- rendering lines ------------------------------------------------------------

TEST_F(TextRender, TransparentPicksTheSmallestFreeBackIndex) {
  TTextOptions o = DejaVu(12);
  TImg img;
  o.TextIndex = 5;
  o.EffectIndex = 0;
  Text_Render(img, "Ab", o);
  EXPECT_EQ(o.BackIndex, 1);
  o.TextIndex = 0;
  o.EffectIndex = 1;
  o.Effect = TE_OUTLINE;
  Text_Render(img, "Ab", o);
  EXPECT_EQ(o.BackIndex, 2);
  // Only the three indices occur, and all three do.
  const std::vector<int64_t> h = Histogram(img);
  EXPECT_EQ(h[0] + h[1] + h[2], int64_t(img.Width) * img.Height);
  EXPECT_GT(h[0], 0);
  EXPECT_GT(h[1], 0);
  EXPECT_GT(h[2], 0);
  // Without Transparent the index stays as given.
  o.Transparent = 0;
  o.BackIndex = 9;
  Text_Render(img, "Ab", o);
  EXPECT_EQ(o.BackIndex, 9);
  ImgFree(img);
}

TEST_F(TextRender, SpriteIsWholeWordsWideAndOneLineHigh) {
  TTextOptions o = DejaVu(12);
  TImg img;
  TFont font;
  ASSERT_TRUE(FontCreate(Request("DejaVu Sans", -16), font));
  for (const char* text : {"i", "Shutting down...", "Windows is shutting down. Please wait."}) {
    int32_t cx = 0, cy = 0;
    ASSERT_TRUE(FontTextExtent(font, text, cx, cy));
    Text_Render(img, text, o);
    EXPECT_EQ(o.OutWidth % 32, 0) << text;
    EXPECT_GE(o.OutWidth, cx) << text;
    EXPECT_LT(o.OutWidth, cx + 32) << text;
    EXPECT_EQ(o.OutHeight, 19) << text;
    EXPECT_EQ(img.Width, o.OutWidth);
    EXPECT_EQ(img.Height, o.OutHeight);
    EXPECT_EQ(img.BitsPerPixel, 8);
  }
  // A 1-pixel em: "W" advances by one pixel and still makes 32 columns.
  o.FontSize = 1;  // MulDiv(1, 96, 72) = 1
  Text_Render(img, "W", o);
  EXPECT_EQ(o.OutWidth, 32);
  // The palette carries the three colours, blue first.
  EXPECT_EQ(img.Palette[o.TextIndex][0], 0);
  EXPECT_EQ(img.Palette[o.BackIndex][0], 255);
  ImgFree(img);
}

TEST_F(TextRender, BoldIsWiderAndVerdanaRenders) {
  TImg regular, bold, verdana;
  TTextOptions r = DejaVu(12), b = DejaVu(12, TS_BOLD), v = DejaVu(12);
  v.FontName = "Verdana";
  Text_Render(regular, "Hello World", r);
  Text_Render(bold, "Hello World", b);
  Text_Render(verdana, "Hello World", v);
  EXPECT_GT(RightmostText(bold, 1), RightmostText(regular, 1));
  EXPECT_GT(Histogram(bold)[1], Histogram(regular)[1]);
  EXPECT_GT(Histogram(verdana)[1], 50);
  ImgFree(regular);
  ImgFree(bold);
  ImgFree(verdana);
}

TEST_F(TextRender, EmptyTextOrNoFontRendersNothing) {
  TTextOptions o = DejaVu(12);
  o.OutWidth = o.OutHeight = 77;
  TImg img;
  ImgAlloc(img, 3, 3, 8);
  uint8_t* before = img.Data;
  Text_Render(img, "", o);
  EXPECT_EQ(o.OutWidth, 0);
  EXPECT_EQ(o.OutHeight, 0);
  EXPECT_EQ(img.Data, before);  // untouched
  EXPECT_EQ(img.Width, 3);

  // A size no font is made for: no sprite, no error passed on.
  o.FontSize = 100000;
  Text_Render(img, "Hi", o);
  EXPECT_EQ(o.OutWidth, 0);
  EXPECT_EQ(o.OutHeight, 0);
  EXPECT_TRUE(NoError());
  // With an outline only the margins remain: 2 x 2 of background.
  o.Effect = TE_OUTLINE;
  Text_Render(img, "Hi", o);
  EXPECT_EQ(o.OutWidth, 2);
  EXPECT_EQ(o.OutHeight, 2);
  EXPECT_EQ(Histogram(img)[o.BackIndex], 4);
  ImgFree(img);
}

// ---- drawing into pictures --------------------------------------------------------

// A 320 x 400 logo canvas with a made-up palette and a pattern of indices
// 3 .. 9, so a changed pixel shows.
void Canvas(TImg& Img) {
  ImgAlloc(Img, 320, 400, 8);
  for (int32_t i = 0; i < 320 * 400; ++i) Img.Data[i] = static_cast<uint8_t>(3 + i % 7);
  for (int i = 0; i < 256; ++i)
    for (int c = 0; c < 3; ++c) Img.Palette[i][c] = static_cast<uint8_t>(i * (c + 3));
}

// Every pixel that differs lies in the rectangle and holds one of Allowed.
int64_t CheckChanges(const TImg& Before, const TImg& After, int32_t X, int32_t Y, int32_t W,
                     int32_t H, std::initializer_list<uint8_t> Allowed) {
  int64_t changed = 0;
  for (int32_t y = 0; y < Before.Height; ++y)
    for (int32_t x = 0; x < Before.Width; ++x) {
      const int64_t i = int64_t(y) * Before.Width + x;
      if (Before.Data[i] == After.Data[i]) continue;
      ++changed;
      EXPECT_TRUE(x >= X && x < X + W && y >= Y && y < Y + H) << x << "," << y;
      EXPECT_NE(std::find(Allowed.begin(), Allowed.end(), After.Data[i]), Allowed.end());
    }
  return changed;
}

TEST_F(TextDraw, IntoALogoOnlyTextAndOutlineIndicesInsideTheSprite) {
  TImg logo, before;
  Canvas(logo);
  ImgCopy(logo, before);
  TTextOptions o = DejaVu(12);
  o.TextIndex = 200;
  o.EffectIndex = 17;
  o.Effect = TE_OUTLINE;
  Text_Draw(logo, "Shutting down...", 8, 12, o);
  EXPECT_EQ(o.OutHeight, 21);
  EXPECT_GT(CheckChanges(before, logo, 8, 12, o.OutWidth, o.OutHeight, {200, 17}), 100);
  // The logo keeps its own colours.
  EXPECT_EQ(std::memcmp(logo.Palette, before.Palette, sizeof(TPalette)), 0);
  ImgFree(logo);
  ImgFree(before);
}

TEST_F(TextDraw, ClippedAtTheRightAndBottomEdges) {
  TImg logo, before;
  Canvas(logo);
  ImgCopy(logo, before);
  TTextOptions o = DejaVu(12);
  o.TextIndex = 200;
  o.EffectIndex = 17;
  o.Effect = TE_OUTLINE;
  // The outline's top ring and the cell's first rows land on row 399; the
  // rest hangs over the bottom, and most of the line over the right edge.
  Text_Draw(logo, "WWWW", 300, 399, o);
  CheckChanges(before, logo, 300, 399, 20, 1, {200, 17});
  // 48-pixel capitals from row 380: the cell's top is 45 - 35 = 10 rows
  // above the letters, so they start at row 391 and run off the bottom.
  o.FontSize = 36;
  Text_Draw(logo, "MMMMMMMMMMMM", 200, 380, o);
  EXPECT_GT(CheckChanges(before, logo, 200, 380, 120, 20, {200, 17}), 100);
  EXPECT_NE(std::find(logo.Data + 399 * 320 + 200, logo.Data + 400 * 320, 200),
            logo.Data + 400 * 320);  // the stems reach the bottom row
  // At the right edge itself nothing is pasted.
  ImgCopy(logo, before);
  Text_Draw(logo, "M", 320, 0, o);
  EXPECT_EQ(CheckChanges(before, logo, 0, 0, 0, 0, {}), 0);
  ImgFree(logo);
  ImgFree(before);
}

TEST_F(TextDraw, IntoTrueColourKeysAColourTheTextDoesNotUse) {
  TImg pic;
  ImgAlloc(pic, 64, 24, 24);
  for (int i = 0; i < 64 * 24; ++i) {
    pic.Data[3 * i] = 10;  // blue
    pic.Data[3 * i + 1] = 20;
    pic.Data[3 * i + 2] = 30;
  }
  TTextOptions o = DejaVu(12);
  o.TextColor = 0x000000;    // black: the background cannot be black
  o.EffectColor = 0x000040;  // red 64: nor red 64; it becomes red 128
  o.Effect = TE_SHADOW;
  Text_Draw(pic, "Hi", 2, 1, o);
  EXPECT_EQ(o.BackColor, 128u);
  int64_t text = 0, shadow = 0;
  for (int32_t y = 0; y < 24; ++y)
    for (int32_t x = 0; x < 64; ++x) {
      const uint8_t* p = pic.Data + 3 * (y * 64 + x);
      const bool untouched = p[0] == 10 && p[1] == 20 && p[2] == 30;
      if (untouched) continue;
      EXPECT_TRUE(x >= 2 && y >= 1 && x < 2 + o.OutWidth && y < 1 + o.OutHeight) << x << "," << y;
      if (p[0] == 0 && p[1] == 0 && p[2] == 0)
        ++text;
      else if (p[0] == 0 && p[1] == 0 && p[2] == 64)
        ++shadow;
      else
        ADD_FAILURE() << "colour " << int(p[2]) << "," << int(p[1]) << "," << int(p[0]);
    }
  EXPECT_GT(text, 20);
  EXPECT_GT(shadow, 5);
  ImgFree(pic);
}

TEST_F(TextDraw, OpaquePasteCoversTheWholeSprite) {
  TImg logo, before;
  Canvas(logo);
  ImgCopy(logo, before);
  TTextOptions o = DejaVu(12);
  o.Transparent = 0;
  o.BackIndex = 250;
  o.TextIndex = 200;
  Text_Draw(logo, "Hi", 10, 20, o);
  for (int32_t y = 20; y < 20 + o.OutHeight; ++y)
    for (int32_t x = 10; x < 10 + o.OutWidth; ++x) {
      const uint8_t v = logo.Data[y * 320 + x];
      EXPECT_TRUE(v == 250 || v == 200) << x << "," << y;
    }
  CheckChanges(before, logo, 10, 20, o.OutWidth, o.OutHeight, {250, 200});
  EXPECT_EQ(std::memcmp(logo.Palette, before.Palette, sizeof(TPalette)), 0);
  ImgFree(logo);
  ImgFree(before);
}

}  // namespace
}  // namespace kvo
