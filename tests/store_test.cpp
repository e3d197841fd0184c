// SPDX-License-Identifier: GPL-3.0-or-later
// The image store end to end: pictures made by ImageMagick are added with
// scripted answers to every question, then listed, renamed, re-prefixed,
// given positions and deleted, and every stored file is checked as a logo
// canvas with a valid trailer.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include "base/Basic.h"
#include "base/Errors.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "formats/ConForm.h"
#include "image/IMGBasic.h"
#include "platform/TextUtil.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

class Store : public testing::Test {
 protected:
  void SetUp() override {
    src_ = xdg_.Root() + "src/";
    ASSERT_EQ(::mkdir(src_.c_str(), 0777), 0);
    SetStorageDir(xdg_.Root() + "store");
    Settings().ResizeMode = RESIZE_BORDER;
    mem_ = MemCount();
    files_ = FCount();
  }
  void TearDown() override {
    for (const auto& e : dialogs_.Errors) ADD_FAILURE() << "error box: " << e;
    EXPECT_EQ(MemCount(), mem_);
    EXPECT_EQ(FCount(), files_);
  }
  // Makes a picture with ImageMagick: Drawing is what convert draws, e.g.
  // "-size 640x480 gradient:red-blue".
  std::string Make(const std::string& Name, const std::string& Drawing) {
    std::string path = src_ + Name;
    std::string cmd = "convert " + Drawing + " '" + path + "' 2>/dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return path;
  }
  std::string Stored(const std::string& FileName) { return GetStorageDir() + FileName; }

  // A stored picture must be the logo canvas with the logo palette layout.
  void ExpectCanvas(const std::string& FileName) {
    SCOPED_TRACE(FileName);
    TImg img;
    ASSERT_TRUE(LoadStoredPicture(Stored(FileName), img));
    EXPECT_EQ(img.Width, 320);
    EXPECT_EQ(img.Height, 400);
    EXPECT_EQ(img.BitsPerPixel, 8);
    EXPECT_EQ(img.Palette[0][0] | img.Palette[0][1] | img.Palette[0][2], 0);
    for (int i = 236; i < 256; ++i)
      EXPECT_EQ(img.Palette[i][0] | img.Palette[i][1] | img.Palette[i][2], 0) << i;
    int64_t outside = 0;
    for (int64_t i = 0; i < 320 * 400; ++i) outside += (img.Data[i] < 1 || img.Data[i] > 235);
    EXPECT_EQ(outside, 0);
    ImgFree(img);
    TLogoMarks marks;
    EXPECT_TRUE(ReadMarks(Stored(FileName), marks));
  }

  test::ScopedXdg xdg_;
  test::ScriptedDialogs dialogs_;
  std::string src_;
  int mem_ = 0, files_ = 0;
};

TEST(StoreNames, PrefixesAndSanitising) {
  EXPECT_EQ(PrefixOf("Custom--a.kvo"), "Custom");
  EXPECT_EQ(PrefixOf("--a.kvo"), "");
  EXPECT_EQ(PrefixOf("a.kvo"), "");
  EXPECT_EQ(PrefixOf("ab--"), "ab");
  EXPECT_EQ(PrefixOf("a-"), "");
  EXPECT_EQ(NameAfterPrefix("a.kvo"), "a.kvo");
  EXPECT_EQ(NameAfterPrefix("--a.kvo"), "a.kvo");
  EXPECT_EQ(NameAfterPrefix("My--Cars--x.kvo"), "Cars--x.kvo");
  EXPECT_EQ(SanitizeName("  a\\b:c>d<e/f  "), "a_b_c_d_e_f");
  EXPECT_EQ(MakePrefix("My--Cars", true), "MyCars--");
  EXPECT_EQ(MakePrefix("", true), "--");
  EXPECT_EQ(MakePrefix(" ../x ", false), ".._x");
}

TEST_F(Store, AddsInEveryFitModeAndStoresLogoCanvases) {
  std::vector<std::string> files = {
      Make("Sunset.JPG", "-size 640x480 gradient:orange-navy"),
      Make("tall.png", "-size 100x300 plasma:fractal -seed 7"),
      Make("exact.bmp", "-size 320x400 xc:gray50 -fill red -draw 'circle 160,200 160,260' -type truecolor"),
  };
  for (int32_t mode : {RESIZE_BORDER, RESIZE_CROP, RESIZE_STRETCH}) {
    SCOPED_TRACE(mode);
    dialogs_.ResizeMode = mode;
    dialogs_.FileChoices.push_back(files);
    dialogs_.OverwriteAnswers = {BA_OVERWRITE_ALL};
    AddPictures();
    EXPECT_EQ(Settings().ResizeMode, mode);
    EXPECT_TRUE(dialogs_.Errors.empty()) << dialogs_.Errors.front();
    ASSERT_EQ(LogoList().Count, 3);
    EXPECT_EQ(LogoList().Entries[0].FileName, "Custom--exact.kvo");
    EXPECT_EQ(LogoList().Entries[2].FileName, "Custom--tall.kvo");
    for (const auto& e : LogoList().Entries) {
      ExpectCanvas(e.FileName);
      EXPECT_EQ(e.Positions, POS_ALL);
      EXPECT_EQ(e.Used, 0u);
      EXPECT_EQ(e.Prefix, "Custom");
    }
  }
  // Only the second and third Add found clashes, answered once each.
  EXPECT_EQ(dialogs_.OverwriteAsked, 2);
  EXPECT_EQ(dialogs_.Statuses.front(), "Adding image \"Sunset.JPG\" (file 1 of 3), press ESC to abort...");
}

TEST_F(Store, OverwriteQuestionAnswers) {
  std::string a = Make("a.png", "-size 320x400 xc:red");
  std::string b = Make("b.png", "-size 320x400 xc:blue");
  std::string c = Make("c.png", "-size 320x400 xc:green");
  AddPictureFiles({a, b, c});
  auto modified = [&](const std::string& n) {
    struct stat st {};
    ::stat(Stored(n).c_str(), &st);
    return st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  };
  int64_t before = modified("Custom--a.kvo");

  // Skip All: nothing asked after the first answer, nothing written.
  dialogs_.OverwriteAnswers = {BA_SKIP_ALL};
  AddPictureFiles({a, b, c});
  EXPECT_EQ(dialogs_.OverwriteAsked, 1);
  EXPECT_EQ(modified("Custom--a.kvo"), before);

  // Rename with a new name stores a fourth picture; a cancelled rename asks
  // the overwrite question again; an empty name skips.
  dialogs_.OverwriteAsked = 0;
  dialogs_.OverwriteAnswers = {BA_RENAME, BA_RENAME, BA_RENAME, BA_SKIP};
  dialogs_.RenameAnswers = {{true, "Custom--a2"}, {false, ""}, {true, ""}};
  AddPictureFiles({a, b, c});
  EXPECT_EQ(dialogs_.OverwriteAsked, 4);
  EXPECT_EQ(LogoList().Count, 4);
  EXPECT_NE(FindByFileName("Custom--a2.kvo"), INVALID_ID);

  // Abort ends the batch at once.
  dialogs_.OverwriteAsked = 0;
  dialogs_.OverwriteAnswers = {BA_ABORT};
  AddPictureFiles({a, b, c});
  EXPECT_EQ(dialogs_.OverwriteAsked, 1);
  EXPECT_EQ(BatchAnswer(), BA_ABORT);
}

// An animation adds its first frame.
TEST_F(Store, AddsTheFirstFrameOfAnAnimatedGif) {
  std::string gif = Make("anim.gif", "-size 64x48 xc:red xc:blue -loop 0");
  AddPictureFiles({gif});
  ASSERT_EQ(LogoList().Count, 1);
  ExpectCanvas("Custom--anim.kvo");
  TImg img;
  ASSERT_TRUE(LoadStoredPicture(Stored("Custom--anim.kvo"), img));
  // Border mode pads a 64 x 48 picture top and bottom; the middle is red.
  const uint8_t* mid = img.Palette[img.Data[200 * 320 + 160]];
  EXPECT_GT(mid[2], 200);
  EXPECT_LT(mid[0], 50);
  ImgFree(img);
  ConDone();  // the GIF reader keeps the last file's frame positions until the end
}

TEST_F(Store, UnsupportedFilesAreRefusedAndTheBatchGoesOn) {
  std::string junk = src_ + "notes.txt";
  test::WriteWhole(junk, "not a picture");
  std::string ok = Make("ok.png", "-size 32x32 xc:yellow");
  // A 24-bit bitmap header that asks for 2.7 GB of pixels says its size.
  test::TBytes b;
  b.U8('B').U8('M').U32(54).U32(0).U32(54).U32(40).U32(30000).U32(30000).U16(1).U16(24);
  std::string huge = src_ + "huge.bmp";
  test::WriteWhole(huge, b.Fill(24, 0).Str());
  AddPictureFiles({junk, huge, ok});
  ASSERT_EQ(dialogs_.Errors.size(), 2u);
  EXPECT_EQ(dialogs_.Errors[0], "Format not supported (\"notes.txt\")");
  EXPECT_EQ(dialogs_.Errors[1], "huge.bmp: Picture too large (30000 \u00D7 30000).");
  dialogs_.Errors.clear();
  EXPECT_EQ(LogoList().Count, 1);
}

// Columns 0..31 and 608..639 red, the rest green: the crop must cut away
// exactly the red margins, and the border must put black above and below.
TEST_F(Store, FitModesCutAndPadWhereExpected) {
  TImg img;
  _imgalloc_(img, 640, 480, 24, __LINE__, "Test.Fit.img");
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      uint8_t* p = img.Data + (static_cast<int64_t>(y) * 640 + x) * 3;
      bool margin = x < 32 || x >= 608;
      p[0] = 0, p[1] = margin ? 0 : 255, p[2] = margin ? 255 : 0;
    }
  TImg crop;
  ImgCopy(img, crop);
  FitToCanvas(crop, RESIZE_CROP);
  ASSERT_EQ(crop.Width, 320);
  int red = 0;
  for (int64_t i = 0; i < 320 * 400; ++i) red += crop.Data[i * 3 + 2] != 0;
  EXPECT_EQ(red, 0);
  ImgFree(crop);

  // Border: 640 x 533 with the picture at row 26; 26 / 533 of 400 rows is
  // 19.5, so rows 0..18 stay black and row 21 is picture.
  FitToCanvas(img, RESIZE_BORDER);
  ASSERT_EQ(img.Height, 400);
  auto rowSum = [&](int y) {
    int64_t s = 0;
    for (int x = 0; x < 320 * 3; ++x) s += img.Data[static_cast<int64_t>(y) * 320 * 3 + x];
    return s;
  };
  for (int y = 0; y <= 18; ++y) EXPECT_EQ(rowSum(y), 0) << y;
  for (int y = 381; y < 400; ++y) EXPECT_EQ(rowSum(y), 0) << y;
  EXPECT_GT(rowSum(21), 0);
  EXPECT_GT(rowSum(378), 0);
  ImgFree(img);
}

// A 9 x 100 picture in crop mode keeps Round(9 * 5 / 6) = Round(7.5) = 8
// rows from row (100 - 8) / 2 = 46: the enlarged result starts with row 46's
// grey and ends with row 53's.
TEST_F(Store, CropRoundsHalvesToEven) {
  TImg img;
  _imgalloc_(img, 9, 100, 24, __LINE__, "Test.Crop.img");
  for (int y = 0; y < 100; ++y) MemFill(img.Data + y * 27, 27, static_cast<uint8_t>(y * 2));
  FitToCanvas(img, RESIZE_CROP);
  EXPECT_EQ(img.Data[0], 92);
  EXPECT_EQ(img.Data[(320 * 399) * 3], 106);
  ImgFree(img);
}

TEST_F(Store, RenamePrefixPositionsAndDelete) {
  AddPictureFiles({Make("x.png", "-size 64x64 xc:white"), Make("y.png", "-size 64x64 xc:black"),
                   Make("z.png", "-size 64x64 xc:gray")});
  ASSERT_EQ(LogoList().Count, 3);

  // The same name: nothing happens. A change of letter case alone renames.
  dialogs_.RenameAnswers = {{true, "Custom--x"}, {true, "custom--X"}, {true, "Custom--x"}};
  EXPECT_EQ(RenameSelected({{0}, 0}), -1);
  EXPECT_EQ(RenameSelected({{0}, 0}), 0);
  EXPECT_EQ(LogoList().Entries[0].FileName, "custom--X.kvo");
  EXPECT_EQ(RenameSelected({{0}, 0}), 0);
  EXPECT_EQ(LogoList().Entries[0].FileName, "Custom--x.kvo");
  // A clash is refused, a new name renames.
  dialogs_.RenameAnswers = {{true, "Custom--y"}, {true, " Fresh/one "}};
  RenameSelected({{0}, 0});
  EXPECT_EQ(dialogs_.Errors.back(),
            "There already exists an image with that name, please select another one.");
  dialogs_.Errors.clear();
  int32_t at = RenameSelected({{0}, 0});
  ASSERT_NE(at, -1);
  EXPECT_EQ(LogoList().Entries[static_cast<size_t>(at)].FileName, "Fresh_one.kvo");

  // Change prefix of everything: "My--Cars" becomes "MyCars--".
  dialogs_.RenameAnswers = {{true, "My--Cars"}};
  ChangePrefixSelected({{0, 1, 2}, 0});
  EXPECT_EQ(dialogs_.Infos.back(), "Images renamed: 3");
  std::set<std::string> names;
  for (const auto& e : LogoList().Entries) names.insert(e.FileName);
  EXPECT_EQ(names, (std::set<std::string>{"MyCars--Fresh_one.kvo", "MyCars--y.kvo", "MyCars--z.kvo"}));
  EXPECT_EQ(StatusSummary().substr(0, 9), "3 images ");

  // Positions: the dialog opens with the OR of the selection; F-key toggles.
  dialogs_.PositionAnswers = {{true, POS_STARTUP | POS_TURNOFF}};
  ChoosePositionsSelected({{0, 1}, 0});
  EXPECT_EQ(LogoList().Entries[0].Positions, 5u);
  TogglePosition({{0}, 0}, POS_WAIT);
  EXPECT_EQ(LogoList().Entries[0].Positions, 7u);
  SaveLogoMarks();
  LoadLogoList();
  EXPECT_EQ(LogoList().Entries[0].Positions, 7u);
  EXPECT_EQ(LogoList().Entries[1].Positions, 5u);

  // Delete asks, with No as the default answer.
  EXPECT_EQ(DeleteSelected({{0, 1}, 1}), -1);
  EXPECT_EQ(dialogs_.Questions.back(),
            "Move these 2 pictures to the Trash?\n\nMyCars--Fresh_one.kvo\nMyCars--y.kvo");
  EXPECT_EQ(LogoList().Count, 3);
  dialogs_.YesNoAnswers = {'Y'};
  EXPECT_EQ(DeleteSelected({{0, 1}, 1}), 0);
  ASSERT_EQ(LogoList().Count, 1);
  EXPECT_EQ(LogoList().Entries[0].FileName, "MyCars--z.kvo");
}

TEST_F(Store, MarksTrailerIsOnlyTrustedWhenValid) {
  AddPictureFiles({Make("m.png", "-size 16x16 xc:teal")});
  std::string path = Stored("Custom--m.kvo");
  std::string bytes = test::ReadWhole(path);

  // A bare PNG (no trailer) lists with empty marks and gets a fresh trailer.
  std::string bare = bytes.substr(0, bytes.size() - 12);
  test::WriteWhole(path, bare);
  LoadLogoList();
  EXPECT_EQ(LogoList().Entries[0].Positions, 0u);
  EXPECT_TRUE(WriteMarks(path, {POS_WAIT, 0, 12}));
  EXPECT_EQ(test::ReadWhole(path).substr(0, bare.size()), bare);
  TLogoMarks m;
  ASSERT_TRUE(ReadMarks(path, m));
  EXPECT_EQ(m.Positions, POS_WAIT);

  // A lying trailer size, or a file too short for one, is never written over.
  std::string liar = bytes;
  liar[liar.size() - 4] = 13;
  test::WriteWhole(path, liar);
  EXPECT_FALSE(ReadMarks(path, m));
  EXPECT_FALSE(WriteMarks(path, {POS_ALL, 0, 12}));
  EXPECT_EQ(test::ReadWhole(path), liar);
  test::WriteWhole(path, "short");
  EXPECT_FALSE(WriteMarks(path, {POS_ALL, 0, 12}));
  EXPECT_EQ(test::ReadWhole(path), "short");
}

TEST_F(Store, ListingStopsAt5000AndSortsInNaturalOrder) {
  std::string dir = GetStorageDir();
  ::mkdir(dir.c_str(), 0777);
  for (int i = 0; i < 5003; ++i) test::WriteWhole(dir + "n" + std::to_string(i) + ".kvo", "x");
  test::WriteWhole(dir + "B.kvo", "x");
  test::WriteWhole(dir + "readme.txt", "x");
  LoadLogoList();
  EXPECT_EQ(LogoList().Count, 5000);
  for (int i = 1; i < LogoList().Count; ++i)
    EXPECT_LT(CompareNatural(LogoList().Entries[i - 1].FileName, LogoList().Entries[i].FileName), 0);
}

// Names are ordered as people count: "wall2" before "wall10", letter case
// aside; names equal that way still have a fixed order.
TEST(StoreNames, NaturalOrder) {
  struct Case {
    const char* A;
    const char* B;
    int Sign;
  } const cases[] = {
      {"wall2.kvo", "wall10.kvo", -1},  {"Wall10.kvo", "wall9.kvo", 1},
      {"a.kvo", "B.kvo", -1},           {"Custom--Kleiber.kvo", "Custom--Kleiber copy.kvo", 1},
      {"x007.kvo", "x7.kvo", -1},       {"x7.kvo", "x007.kvo", 1},
      {"img2b", "img2a", 1},            {"same.kvo", "SAME.kvo", 0},
      {"99999999999999999999", "100000000000000000000", -1},  // past 64 bits
      {"v1.2.10", "v1.2.9", 1},         {"", "0", -1},
  };
  for (const Case& c : cases) {
    const int got = CompareNatural(c.A, c.B);
    EXPECT_EQ((got > 0) - (got < 0), c.Sign) << c.A << " vs " << c.B;
  }
}

// Saving the marks writes the files whose marks changed since they were
// listed (and gives a trailer to a file without one), and leaves the rest
// untouched: a shuffle changes three pictures, not the whole store.
TEST_F(Store, SavingMarksWritesOnlyWhatChanged) {
  AddPictureFiles({Make("a.png", "-size 8x8 xc:red"), Make("b.png", "-size 8x8 xc:lime"),
                   Make("c.png", "-size 8x8 xc:blue")});
  const std::string a = Stored("Custom--a.kvo"), b = Stored("Custom--b.kvo"),
                    c = Stored("Custom--c.kvo");
  std::string bare = test::ReadWhole(c);
  bare.resize(bare.size() - 12);
  test::WriteWhole(c, bare);
  // Far in the past, so any write shows in the modification time.
  for (const std::string& f : {a, b, c}) {
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  }
  auto modified = [](const std::string& F) {
    struct stat st {};
    ::stat(F.c_str(), &st);
    return st.st_mtim.tv_sec != 1000000000;
  };
  LoadLogoList();
  ASSERT_EQ(LogoList().Count, 3);
  LogoList().Entries[1].Used = POS_WAIT;  // Custom--b.kvo
  SaveLogoMarks();
  EXPECT_FALSE(modified(a));
  EXPECT_TRUE(modified(b));
  EXPECT_TRUE(modified(c));
  TLogoMarks m;
  ASSERT_TRUE(ReadMarks(b, m));
  EXPECT_EQ(m.Used, POS_WAIT);
  ASSERT_TRUE(ReadMarks(c, m));
  EXPECT_EQ(m.Positions, 0u);
  // Written once, the marks are the file's: a second save writes nothing.
  for (const std::string& f : {b, c}) {
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  }
  SaveLogoMarks();
  EXPECT_FALSE(modified(b));
  EXPECT_FALSE(modified(c));
}

// Only regular files (or links to them) are listed, and listing never
// opens anything else: a pipe named like a stored picture would block.
TEST_F(Store, ListingSkipsPipesAndFollowsLinks) {
  AddPictureFiles({Make("p.png", "-size 8x8 xc:red")});
  ASSERT_EQ(::mkfifo(Stored("Custom--pipe.kvo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(Stored("Custom--folder.kvo").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(Stored("Custom--p.kvo").c_str(), Stored("Custom--link.kvo").c_str()), 0);
  LoadLogoList();
  std::set<std::string> names;
  for (const TLogoEntry& e : LogoList().Entries) names.insert(e.FileName);
  EXPECT_EQ(names, (std::set<std::string>{"Custom--link.kvo", "Custom--p.kvo"}));
  for (const TLogoEntry& e : LogoList().Entries) EXPECT_EQ(e.Positions, POS_ALL) << e.FileName;
}

TEST(StoreStatus, SummaryTexts) {
  LogoList() = TLogoList{};
  LogoList().Count = 1;
  LogoList().TotalSize = 1572864;
  EXPECT_EQ(StatusSummary(), "1 image (total size: 1.5 MB)");
  LogoList().Count = 0;
  LogoList().TotalSize = 0;
  EXPECT_EQ(StatusSummary(), "0 images (total size: 0.0 MB)");
}

}  // namespace
}  // namespace kvo
