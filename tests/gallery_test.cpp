// SPDX-License-Identifier: GPL-3.0-or-later
// Gallery files: creation, installation, and what a hostile gallery can
// and cannot do.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "base/Basic.h"
#include "base/VCLUtils.h"
#include "core/Gallery.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

class Galleries : public testing::Test {
 protected:
  void SetUp() override {
    SetStorageDir(xdg_.Root() + "store");
    std::string cmd = "mkdir -p '" + GetStorageDir() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    mem_ = MemCount();
    files_ = FCount();
  }
  void TearDown() override {
    EXPECT_EQ(MemCount(), mem_);
    EXPECT_EQ(FCount(), files_);
  }
  void Store(const std::string& Name, uint8_t Shade, TLogoMarks Marks) {
    TImg img;
    _imgalloc_(img, 320, 400, 8, __LINE__, "Test.Gallery.img");
    img.Palette[1][0] = img.Palette[1][1] = img.Palette[1][2] = Shade;
    MemFill(img.Data, 320 * 400, 1);
    ASSERT_TRUE(SaveStoredPicture(GetStorageDir() + Name, img, Marks));
    ImgFree(img);
  }
  std::string Gal(const std::string& Name) { return xdg_.Root() + Name; }

  test::ScopedXdg xdg_;
  test::ScriptedDialogs dialogs_;
  int mem_ = 0, files_ = 0;
};

TEST(GalleryTimes, DownloadTimesRoundUpToFiveSeconds) {
  EXPECT_EQ(DownloadTime(1000000, 14400), "00:09:20");  // 555.6 -> 556 -> 560
  EXPECT_EQ(DownloadTime(1000000, 2048576), "00:00:04");
  EXPECT_EQ(DownloadTime(0, 14400), "00:00:00");
  EXPECT_EQ(DownloadTime(36000, 14400), "00:00:20");    // exactly 20: kept
  EXPECT_EQ(DownloadTime(37800, 14400), "00:00:25");    // 21 -> 25
  EXPECT_EQ(DownloadTime(45000, 14400), "00:00:30");    // 25 -> 30: always above
}

TEST_F(Galleries, CreateAndInstallUnderANewPrefix) {
  Store("Custom--a.kvo", 10, {POS_STARTUP, POS_STARTUP, 12});
  Store("Custom--b.kvo", 20, {POS_ALL, POS_WAIT, 12});
  LoadLogoList();
  CreateGallery(Gal("Cars.gal"), "Cars", {0, 1});
  ASSERT_EQ(dialogs_.Infos.size(), 1u);
  EXPECT_EQ(dialogs_.Infos[0].rfind("Gallery \"" + Gal("Cars.gal") + "\" successfuly created.\r\n\r\n"
                                    "Prefix: \"Cars\"\r\n\r\nNumber of pictures: 2\r\n\r\nFile size: ", 0),
            0u);
  EXPECT_NE(dialogs_.Infos[0].find("  at  2 Mbps\r\n\r\n"), std::string::npos);

  // The file: header, then a.kvo and b.kvo with their Used marks cleared.
  std::string g = test::ReadWhole(Gal("Cars.gal"));
  auto u8 = [&](size_t i) { return reinterpret_cast<const uint8_t*>(g.data()) + i; };
  TGalleryHeader h = ParseGalleryHeader(u8(0));
  EXPECT_EQ(h.HeaderSize, 108);
  EXPECT_EQ(h.Magic, "Kvo Panoramics Gallery");
  EXPECT_EQ(g.substr(4, 32), std::string("\x16Kvo Panoramics Gallery") + std::string(9, '\0'));
  EXPECT_EQ(h.Version, 1);
  EXPECT_EQ(h.Prefix, "Cars");
  EXPECT_EQ(h.ImageCount, 2);
  TGalleryEntry e = ParseGalleryEntry(u8(108));
  EXPECT_EQ(e.EntrySize, 136);
  EXPECT_EQ(e.Name, "a.kvo");
  std::string dataA = g.substr(108 + 136, static_cast<size_t>(e.DataSize));
  EXPECT_EQ(dataA.substr(dataA.size() - 12), std::string("\x01\0\0\0\0\0\0\0\x0c\0\0\0", 12));

  int32_t at = InstallGallery(Gal("Cars.gal"));
  EXPECT_EQ(dialogs_.Infos.back(), "Gallery installed (prefix \"Cars\").");
  ASSERT_NE(at, -1);
  EXPECT_EQ(LogoList().Entries[static_cast<size_t>(at)].FileName, "Cars--a.kvo");
  int32_t b = FindByFileName("Cars--b.kvo");
  ASSERT_NE(b, INVALID_ID);
  EXPECT_EQ(LogoList().Entries[static_cast<size_t>(b)].Positions, POS_ALL);
  EXPECT_EQ(LogoList().Entries[static_cast<size_t>(b)].Used, 0u);
  TImg img;
  EXPECT_TRUE(LoadStoredPicture(GetStorageDir() + "Cars--b.kvo", img));
  EXPECT_EQ(img.Palette[1][0], 20);
  ImgFree(img);
}

TEST_F(Galleries, PrefixClashAsksAndRenameAsksAgain) {
  Store("Cars--x.kvo", 1, {POS_ALL, 0, 12});
  Store("Custom--a.kvo", 2, {POS_ALL, 0, 12});
  LoadLogoList();
  CreateGallery(Gal("c.gal"), "Car", {1});
  // "Car" is the beginning of "Cars--x.kvo": the question comes; "No" asks
  // for a new prefix, which clashes too, then Cancel ends the command.
  dialogs_.RenameAnswers = {{true, "Cars-"}};
  Dialogs().YesNoCancel = [&](const std::string& Q, char) {
    dialogs_.Questions.push_back(Q);
    return dialogs_.Questions.size() == 1 ? 'N' : 'C';
  };
  EXPECT_EQ(InstallGallery(Gal("c.gal")), -1);
  EXPECT_EQ(dialogs_.Questions.size(), 2u);
  EXPECT_EQ(FindByFileName("Car--a.kvo"), INVALID_ID);
  // Yes installs over the clash.
  Dialogs().YesNoCancel = [](const std::string&, char) { return 'Y'; };
  InstallGallery(Gal("c.gal"));
  EXPECT_NE(FindByFileName("Car--a.kvo"), INVALID_ID);
}

TEST_F(Galleries, HeaderChecksAndLargerHeaders) {
  auto install = [&](const std::string& Bytes) {
    test::WriteWhole(Gal("t.gal"), Bytes);
    InstallGallery(Gal("t.gal"));
    std::string e = dialogs_.Errors.empty() ? "" : dialogs_.Errors.back();
    dialogs_.Errors.clear();
    return e;
  };
  TGalleryHeader h;
  h.Magic = "Kvo Panoramics Galler";
  h.Version = 1;
  h.ImageCount = 1;
  EXPECT_EQ(install(GalleryHeaderBytes(h)), "This is not a valid Kvo Panoramics gallery.");
  h.Magic = GAL_MAGIC;
  h.Version = 2;
  EXPECT_EQ(install(GalleryHeaderBytes(h)), "Invalid gallery version.");
  h.Version = 1;
  h.ImageCount = 0;
  EXPECT_EQ(install(GalleryHeaderBytes(h)), "This gallery contains no images.");

  // A header of 120 bytes: the first entry is read at 120.
  h.ImageCount = 1;
  h.HeaderSize = 120;
  h.Prefix = "Wide";
  TGalleryEntry e;
  e.Name = "w.kvo";
  e.DataSize = 5;
  std::string file = GalleryHeaderBytes(h) + std::string(12, '\0') + GalleryEntryBytes(e) + "hello";
  EXPECT_EQ(install(file), "");
  EXPECT_EQ(test::ReadWhole(GetStorageDir() + "Wide--w.kvo"), "hello");
}

TEST_F(Galleries, HostileNamesStayInTheStorageFolder) {
  TGalleryHeader h;
  h.Magic = GAL_MAGIC;
  h.Version = 1;
  h.Prefix = "../../escape";
  h.ImageCount = 2;
  TGalleryEntry e;
  e.Name = "../../../../tmp/evil.kvo";
  e.DataSize = 3;
  std::string file = GalleryHeaderBytes(h) + GalleryEntryBytes(e) + "abc";
  e.Name = "/etc/passwd";
  file += GalleryEntryBytes(e) + "def";
  test::WriteWhole(Gal("h.gal"), file);
  InstallGallery(Gal("h.gal"));
  EXPECT_EQ(test::ReadWhole(GetStorageDir() + ".._.._escape--.._.._.._.._tmp_evil.kvo"), "abc");
  EXPECT_EQ(test::ReadWhole(GetStorageDir() + ".._.._escape--_etc_passwd"), "def");
  EXPECT_EQ(test::ReadWhole(xdg_.Root() + "escape--evil.kvo"), "");
}

TEST_F(Galleries, NegativeSizesAreCorruptData) {
  TGalleryHeader h;
  h.Magic = GAL_MAGIC;
  h.Version = 1;
  h.Prefix = "N";
  h.ImageCount = 2;
  TGalleryEntry good;
  good.Name = "a/b.kvo";
  good.DataSize = 1;
  TGalleryEntry bad = good;
  bad.Name = "neg.kvo";
  bad.DataSize = -5;
  test::WriteWhole(Gal("n.gal"), GalleryHeaderBytes(h) + GalleryEntryBytes(good) + "x" +
                                     GalleryEntryBytes(bad) + "yyyyyy");
  InstallGallery(Gal("n.gal"));
  EXPECT_EQ(test::ReadWhole(GetStorageDir() + "N--a_b.kvo"), "x");
  ASSERT_EQ(dialogs_.Errors.size(), 1u);
  EXPECT_EQ(dialogs_.Errors[0], "Image data corrupted.");
  bad.DataSize = 1;
  bad.EntrySize = -136;
  test::WriteWhole(Gal("n.gal"), GalleryHeaderBytes(h) + GalleryEntryBytes(bad) + "z");
  InstallGallery(Gal("n.gal"));
  EXPECT_EQ(dialogs_.Errors.back(), "Image data corrupted.");
  dialogs_.Errors.clear();
}

TEST_F(Galleries, OversizedEntriesStopQuietlyAndTruncationIsAnError) {
  TGalleryHeader h;
  h.Magic = GAL_MAGIC;
  h.Version = 1;
  h.Prefix = "P";
  h.ImageCount = 3;
  TGalleryEntry e;
  e.Name = "one.kvo";
  e.DataSize = 2;
  std::string file = GalleryHeaderBytes(h) + GalleryEntryBytes(e) + "11";
  e.Name = "big.kvo";
  e.DataSize = 204800;
  file += GalleryEntryBytes(e);
  test::WriteWhole(Gal("o.gal"), file);
  InstallGallery(Gal("o.gal"));
  EXPECT_TRUE(dialogs_.Errors.empty());
  EXPECT_EQ(dialogs_.Infos.back(), "Gallery installed (prefix \"P\").");
  EXPECT_EQ(test::ReadWhole(GetStorageDir() + "P--one.kvo"), "11");

  // Announced entries that are not there: what came before stays, and the
  // read error is shown.
  h.Prefix = "Q";
  e.Name = "two.kvo";
  e.DataSize = 2;
  test::WriteWhole(Gal("t.gal"), GalleryHeaderBytes(h) + GalleryEntryBytes(e) + "22");
  InstallGallery(Gal("t.gal"));
  ASSERT_EQ(dialogs_.Errors.size(), 1u);
  EXPECT_EQ(dialogs_.Errors[0], "Cannot read from file.");
  EXPECT_EQ(test::ReadWhole(GetStorageDir() + "Q--two.kvo"), "22");
  // Every cut of a good gallery is an error or an install, never a crash.
  Store("Custom--z.kvo", 3, {POS_ALL, 0, 12});
  LoadLogoList();
  CreateGallery(Gal("z.gal"), "Z", {FindByFileName("Custom--z.kvo")});
  std::string whole = test::ReadWhole(Gal("z.gal"));
  for (size_t cut = 0; cut < whole.size(); cut += 97) {
    test::WriteWhole(Gal("cut.gal"), whole.substr(0, cut));
    InstallGallery(Gal("cut.gal"));
  }
  dialogs_.Errors.clear();
}

TEST_F(Galleries, CommandsAskForFileAndPrefix) {
  Store("Custom--a.kvo", 1, {POS_ALL, 0, 12});
  Store("Custom--b.kvo", 2, {POS_ALL, 0, 12});
  LoadLogoList();
  CreateGalleryCommand({{0}, 0});
  EXPECT_EQ(dialogs_.Warnings.back().substr(0, 40), "To create a gallery you must highlight t");
  std::string target = Gal("Mine.gal");
  Dialogs().FileSave = [&](const std::string& Title, std::string&, const std::string& Filter,
                           int32_t&, std::string& File) {
    EXPECT_EQ(Title, "Create New Gallery");
    EXPECT_EQ(Filter, "Gallery Files (*.gal)|*.gal");
    EXPECT_EQ(File, "CustomGallery");
    File = target;
    return true;
  };
  dialogs_.RenameAnswers = {{true, " My--Set "}};
  CreateGalleryCommand({{0, 1}, 0});
  std::string g = test::ReadWhole(target);
  ASSERT_GE(g.size(), 108u);
  EXPECT_EQ(ParseGalleryHeader(reinterpret_cast<const uint8_t*>(g.data())).Prefix, "MySet");
  dialogs_.RenameAnswers = {{true, std::string(64, 'x')}};
  dialogs_.YesNoAnswers = {'Y'};
  CreateGalleryCommand({{0, 1}, 0});
  EXPECT_EQ(dialogs_.Warnings.back(), "Invalid prefix.");
}

}  // namespace
}  // namespace kvo
