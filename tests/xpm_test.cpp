// SPDX-License-Identifier: GPL-3.0-or-later
// XPM reading and writing, checked against netpbm's xpmtoppm, ImageMagick,
// the X11 colour table and files built here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/FF_XPM.h"
#include "tests/LibFormatTest.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using namespace kvo::test;

std::string Data(const std::string& Name) { return DataFile(Name); }

// An XPM file from its values string, colour strings and rows.
std::string Xpm(const std::string& Values, const std::vector<std::string>& Colours,
                const std::vector<std::string>& Rows) {
  std::string s = "/* XPM */\nstatic char *t[] = {\n\"" + Values + "\",\n";
  for (const std::string& c : Colours) s += "\"" + c + "\",\n";
  for (const std::string& r : Rows) s += "\"" + r + "\",\n";
  return s + "};\n";
}

std::vector<uint8_t> Rgb(std::initializer_list<int> V) {
  std::vector<uint8_t> out;
  for (int v : V) out.push_back(static_cast<uint8_t>(v));
  return out;
}

TErr LoadText(const TTempDir& Dir, const std::string& Text, TImg& Img) {
  return KeptLoad(XPMLoad, Dir.Write("t.xpm", Text), Img);
}

// ---- reading -------------------------------------------------------------------------

TEST(XpmRead, EveryTestFileDecodesAsXpmtoppmSeesItOrIsRefused) {
  TGoldenTally tally = CheckGolden(FF_XPM, XPMLoad);
  EXPECT_EQ(tally.Identical, 5);
  EXPECT_EQ(tally.Refused, 4);
  EXPECT_TRUE(tally.Unchecked.empty());
}

TEST(XpmRead, ColourForms) {
  TTempDir dir;
  TImg img;
  std::string text = Xpm("7 1 7 1",
                         {"a c #F0A", "b c #FF8000", "c c #123456789ABC", "d c #FFF000888",
                          "e c Light Goldenrod Yellow", "f c None", "g c NAVYBLUE"},
                         {"abcdefg"});
  ASSERT_EQ(LoadText(dir, text, img), kOk);
  EXPECT_EQ(img.BitsPerPixel, 24);
  // #F0A gives the high bits (0xF0, 0x00, 0xA0), as X11 reads it.
  EXPECT_EQ(CanonicalRgb(img), Rgb({0xF0, 0x00, 0xA0, 0xFF, 0x80, 0x00, 0x12, 0x56, 0x9A, 0xFF,
                                    0x00, 0x88, 250, 250, 210, 0, 0, 0, 0, 0, 128}));
  ImgFree(img);
}

TEST(XpmRead, VisualsKeysAndLayout) {
  TTempDir dir;
  TImg img;
  // Two characters a pixel, keys with blanks, a colour given only for mono,
  // a key defined twice (the later one counts), comments between strings,
  // a hot spot and trailing text in a row.
  std::string text =
      "/* XPM */\n/* a comment with \"quotes\" */ static char *t[] = {\n"
      "\"3 2 4 2 1 1\",\n\"  c red m black\", \". \tm white s bright\",\n"
      "\"xx c blue\", \"xx c #00FF00\",\n/* pixels */\n\"  . xx\",\n\"xx.   extra\"\n};\n";
  ASSERT_EQ(LoadText(dir, text, img), kOk);
  EXPECT_EQ(CanonicalRgb(img), Rgb({255, 0, 0, 255, 255, 255, 0, 255, 0,  //
                                    0, 255, 0, 255, 255, 255, 255, 0, 0}));
  ImgFree(img);
}

TEST(XpmRead, TheColourTableIsX11s) {
  std::ifstream in("/usr/share/X11/rgb.txt");
  if (!in) GTEST_SKIP() << "no X11 rgb.txt on this machine";
  std::string line;
  int checked = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '!') continue;
    std::istringstream fields(line);
    int r = 0, g = 0, b = 0;
    fields >> r >> g >> b;
    std::string name, word;
    while (fields >> word) name += (name.empty() ? "" : " ") + word;
    uint8_t R = 0, G = 0, B = 0;
    ASSERT_TRUE(X11ColorLookup(name, R, G, B)) << name;
    ASSERT_EQ(R | G << 8 | B << 16, r | g << 8 | b << 16) << name;
    ++checked;
  }
  EXPECT_GT(checked, 700);
  uint8_t R = 0, G = 0, B = 0;
  EXPECT_FALSE(X11ColorLookup("not a colour", R, G, B));
  EXPECT_FALSE(X11ColorLookup(std::string(300, 'a'), R, G, B));
}

TEST(XpmInfo, SizesWithoutPixels) {
  TFileInfo info;
  ASSERT_EQ(KeptInfo(XPMInfo, Data("xpm/pillow/hopper_rgb.xpm"), info), kOk);
  EXPECT_EQ(info.Width, 128);
  EXPECT_EQ(info.Height, 128);
  EXPECT_EQ(info.BitsPerPixel, 24);
  EXPECT_EQ(info.BytesPerPixel, 3);
  EXPECT_EQ(info.FrameCount, 1);
  EXPECT_EQ(info.VideoCompression, "");
  EXPECT_EQ(info.FileSize, static_cast<int32_t>(
                               std::filesystem::file_size(Data("xpm/pillow/hopper_rgb.xpm"))));
}

// ---- hostile files -------------------------------------------------------------------------

TEST(XpmRefuse, HostileFilesAreErrorsAndLeaveNothing) {
  const std::vector<std::string> cases = {
      "",
      "static char *x[] = {\"1 1 1 1\", \"a c red\", \"a\"};",  // no /* XPM */
      "/* XPM */ {\"1 1 1 1\", /* open comment \"a c red\", \"a\"};\n",
      "/* XPM */ {\"1 1 1 1\", \"a c red\", \"a};\n",  // the last string never closes
      "/* XPM */ {\"1 1 1 1\", \"a c red\n\", \"a\"};\n",
      Xpm("0 1 1 1", {"a c red"}, {""}),
      Xpm("1 1 0 1", {}, {"a"}),
      Xpm("1 1 1 0", {"a c red"}, {"a"}),
      Xpm("2147483647 2147483647 1 1", {"a c red"}, {"a"}),
      Xpm("9999999999 1 1 1", {"a c red"}, {"a"}),
      Xpm("1 1 2147483647 1", {"a c red"}, {"a"}),
      Xpm("1 1 1 2147483647", {"a c red"}, {"a"}),
      Xpm("3 2 1 1", {"a c red"}, {"aaa"}),         // a row missing
      Xpm("3 2 1 1", {"a c red"}, {"aaa", "aa"}),   // a short row
      Xpm("3 1 1 1", {"a c red"}, {"aba"}),         // a key without colour
      Xpm("1 1 1 1", {"a c #12345"}, {"a"}),        // five hex digits
      Xpm("1 1 1 1", {"a c #GGGGGG"}, {"a"}),
      Xpm("1 1 1 1", {"a c nosuchcolour"}, {"a"}),
      Xpm("1 1 1 1", {"a s symbol"}, {"a"}),        // no visual with a colour
      Xpm("1 1 1 2", {"a"}, {"aa"}),                // colour string shorter than its key
      Xpm("1 x 1 1", {"a c red"}, {"a"}),
  };
  TTempDir dir;
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    TTableCounts counts;
    TImg img;
    EXPECT_EQ(LoadText(dir, cases[i], img), (TErr{EG_IMG, 8}));
    EXPECT_EQ(img.Data, nullptr);
    TFileInfo info;
    TErr infoErr = KeptInfo(XPMInfo, dir.Path("t.xpm"), info);
    EXPECT_TRUE(infoErr == kOk || infoErr == (TErr{EG_IMG, 8}));
    EXPECT_TRUE(counts.Same()) << counts.Describe();
  }
}

TEST(XpmRefuse, HugeButPlausibleSizeIsRefusedBeforeAllocating) {
  // 20000 x 20000 one-character pixels would fit a 400 MB file; this one
  // is short, and the header alone is refused.
  TTempDir dir;
  TImg img;
  EXPECT_EQ(LoadText(dir, Xpm("20000 20000 1 1", {"a c red"}, {"a"}), img), (TErr{EG_IMG, 8}));
}

TEST(XpmRefuse, AFileLargerThanAnyPictureNeedsIsRefusedUnread) {
  // A 4 x 4 picture padded past the readers' picture limit (sparse).
  TTempDir dir;
  const std::string text = Xpm("4 4 1 1", {"a c red"}, {"aaaa", "aaaa", "aaaa", "aaaa"});
  const std::string path = dir.Write("t.xpm", text);
  ASSERT_EQ(::truncate(path.c_str(), FF_MAX_PICTURE_BYTES + 1), 0);
  TTableCounts counts;
  TImg img;
  EXPECT_EQ(KeptLoad(XPMLoad, path, img), (TErr{EG_IMG, 8}));
  TFileInfo info;
  EXPECT_EQ(KeptInfo(XPMInfo, path, info), (TErr{EG_IMG, 8}));
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

TEST(XpmRefuse, EveryCutIsAPictureOrAnError) {
  TruncationSweep(ReadWhole(Data("xpm/sdl/sample.xpm")), ".xpm", XPMLoad, XPMInfo, 13);
  TruncationSweep(Xpm("4 3 3 2", {"   c #102030", ".. c blue", "X. c None"},
                      {"  ..X.  ", "X.X.X.X.", "        "}),
                  ".xpm", XPMLoad, XPMInfo);
}

// ---- writing ---------------------------------------------------------------------------

class XpmWrite : public testing::Test {
 protected:
  void TearDown() override {
    ImgFree(img_);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  TTempDir dir_;
  TImg img_;
  TTableCounts counts_;
};

TEST_F(XpmWrite, ManyColoursRoundTripAndImageMagickAgrees) {
  MakePattern(img_, 50, 40, 24);  // about 2000 colours: two characters a pixel
  std::string path = dir_.Path("many.xpm");
  ASSERT_EQ(KeptSave(XPMSave, path, img_), kOk);
  std::string text = ReadWhole(path);
  EXPECT_EQ(text.rfind("/* XPM */\nstatic char *many[] = {", 0), 0u) << text.substr(0, 60);
  EXPECT_NE(text.find(" 2 \","), std::string::npos);
  TImg back;
  ASSERT_EQ(KeptLoad(XPMLoad, path, back), kOk);
  EXPECT_EQ(CanonicalRgb(back), CanonicalRgb(img_));
  ImgFree(back);
  int w = 0, h = 0;
  EXPECT_EQ(MagickRgb(path, w, h), CanonicalRgb(img_));
}

TEST_F(XpmWrite, FewColoursUseOneCharacterAndXpmtoppmAgrees) {
  MakePattern(img_, 32, 16, 8);  // a palette picture is written in 24-bit colours
  std::string path = dir_.Path("few.xpm");
  ASSERT_EQ(KeptSave(XPMSave, path, img_), kOk);
  EXPECT_NE(ReadWhole(path).find(" 1 \","), std::string::npos);
  std::string ppm = RunCommand("/usr/bin/xpmtoppm " + ShellQuoted(path) + " 2>/dev/null");
  std::vector<uint8_t> rgb = CanonicalRgb(img_);
  ASSERT_GE(ppm.size(), rgb.size());
  EXPECT_EQ(ppm.substr(0, 2), "P6");
  EXPECT_EQ(ppm.substr(ppm.size() - rgb.size()), std::string(rgb.begin(), rgb.end()));
}

TEST_F(XpmWrite, FailedWritesReportCannotCreate) {
  MakePattern(img_, 64, 64, 24);
  EXPECT_EQ(KeptSave(XPMSave, dir_.Path("no/folder/x.xpm"), img_), (TErr{EG_IMG, 11}));
  TFileSizeLimit limit(1000);
  EXPECT_EQ(KeptSave(XPMSave, dir_.Path("full.xpm"), img_), (TErr{EG_IMG, 11}));
}

}  // namespace
}  // namespace kvo
