// SPDX-License-Identifier: GPL-3.0-or-later
// Writing over an existing file never loses it: the tracked layer's created
// files, every picture writer, the kvo command and the store's pictures.
// A save that is refused, or whose writes fail halfway (a file-size limit
// stands in for a full disk), leaves the old file byte for byte and nothing
// beside it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/IniWrap.h"
#include "base/WinUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "formats/ConForm.h"
#include "image/IMGBasic.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

const char* const kWriters[] = {"bmp", "tga", "pcx", "sgi", "ras",
                                "ppm", "png", "tif", "jpg", "xpm"};

class Replacing : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::MakeTempFolder("kvo-replace-");
    mem_ = MemCount();
    files_ = FCount();
    ClearError();
  }
  void TearDown() override {
    EXPECT_EQ(MemCount(), mem_);
    EXPECT_EQ(FCount(), files_);
    ClearError();
    test::RemoveTree(dir_);
  }
  // The names in the folder, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // Saves Img as Name, in the format its extension names; false when the
  // save failed (the error is cleared).
  static bool Save(const std::string& Name, TImg& Img) {
    MonitoredKeep("Test.Save", [&] { ImgSave(Name, Img, INVALID_ID); });
    const bool ok = NoError();
    ClearError();
    return ok;
  }
  std::string dir_;
  int mem_ = 0, files_ = 0;
};

// A 24-bit picture of noise, which no writer packs small.
TImg Noise(int32_t Width, int32_t Height) {
  TImg img;
  ImgAlloc(img, Width, Height, 24);
  uint32_t x = 12345;
  for (int64_t i = 0; i < int64_t{Width} * Height * 3; ++i) {
    x = x * 1103515245u + 12345u;
    img.Data[i] = static_cast<uint8_t>(x >> 24);
  }
  return img;
}

// Runs Body with files that cannot grow past Limit bytes, so writes fail
// halfway as on a full disk, and exits: 0 when Body found nothing wrong.
[[noreturn]] void RunWithSmallFiles(int64_t Limit, const std::function<std::string()>& Body) {
  ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
  const rlimit r{static_cast<rlim_t>(Limit), static_cast<rlim_t>(Limit)};
  ::setrlimit(RLIMIT_FSIZE, &r);
  const std::string wrong = Body();
  std::fputs(wrong.c_str(), stderr);
  std::_Exit(wrong.empty() ? 0 : 1);
}

// Body runs in a child process, so the limit ends with it.
void ExpectWithSmallFiles(int64_t Limit, const std::function<std::string()>& Body) {
  EXPECT_EXIT(RunWithSmallFiles(Limit, Body), testing::ExitedWithCode(0), "");
}

TEST_F(Replacing, ACreatedFileTakesTheOldOnesPlaceOnlyWhenClosedWhole) {
  const std::string name = dir_ + "keep.bin";
  test::WriteWhole(name, "old");
  ASSERT_EQ(::chmod(name.c_str(), 0640), 0);
  int32_t h;
  ASSERT_EQ(FOpen(h, name, FM_CREATE), 0);
  FWrite(h, "new!", 4);
  EXPECT_EQ(test::ReadWhole(name), "old");  // the old file is whole while the new one is written
  FClose(h);
  EXPECT_EQ(test::ReadWhole(name), "new!");
  struct stat st {};
  ASSERT_EQ(::stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replaced file's permissions are kept

  // A failing frame gives up the binary and text files it created.
  MonitoredKeep("Test.Fails", [&] {
    int32_t b, t;
    FOpen(b, name, FM_CREATE);
    FWrite(b, "partial", 7);
    TXTOpen(t, dir_ + "new.txt", FM_CREATE);
    TXTWrite(t, "line");
    SetError(EG_IMG, 11, __LINE__);
  });
  EXPECT_FALSE(NoError());
  ClearError();
  EXPECT_EQ(test::ReadWhole(name), "new!");
  EXPECT_EQ(Names(), std::vector<std::string>{"keep.bin"});
}

// A picture smaller than the writers take is refused after the target was
// named; every writer that checks the picture leaves the old file.
TEST_F(Replacing, ARefusedSaveLeavesTheOldFile) {
  TImg tiny = Noise(2, 2);
  for (const char* ext : kWriters) {
    if (std::string(ext) == "bmp") continue;  // BMP writes pictures of any size
    const std::string name = dir_ + "keep." + ext;
    test::WriteWhole(name, std::string("old ") + ext);
    EXPECT_FALSE(Save(name, tiny)) << ext;
    EXPECT_EQ(test::ReadWhole(name), std::string("old ") + ext);
  }
  ImgFree(tiny);
  EXPECT_EQ(Names().size(), std::size(kWriters) - 1);
}

TEST_F(Replacing, ASaveThatFailsHalfwayLeavesTheOldFileOfEveryWriter) {
  ExpectWithSmallFiles(4096, [&] {
    std::string wrong;
    TImg img = Noise(128, 128);  // 48 KB of pixels
    for (const char* ext : kWriters) {
      const std::string name = dir_ + "keep." + ext, old = std::string("old ") + ext;
      test::WriteWhole(name, old);
      if (Save(name, img)) wrong += std::string(ext) + " saved past the limit; ";
      if (test::ReadWhole(name) != old) wrong += std::string(ext) + " lost the old file; ";
    }
    ImgFree(img);
    if (Names().size() != std::size(kWriters)) wrong += "files left beside the targets; ";
    if (FCount() != files_ || MemCount() != mem_) wrong += "tracked tables off; ";
    return wrong;
  });
  // Without the limit every writer replaces the file.
  TImg img = Noise(128, 128);
  for (const char* ext : kWriters) {
    const std::string name = dir_ + "keep." + ext;
    test::WriteWhole(name, "old");
    EXPECT_TRUE(Save(name, img)) << ext;
    EXPECT_GT(test::ReadWhole(name).size(), 4096u) << ext;
  }
  ImgFree(img);
  EXPECT_EQ(Names().size(), std::size(kWriters));
}

TEST_F(Replacing, AFailingConvertKeepsTheFileItWouldHaveReplaced) {
  // ImageMagick writes the 2 x 2 picture that no writer of ours takes.
  const std::string small = dir_ + "small.png";
  ASSERT_EQ(test::RunShell("convert -size 2x2 xc:red " + test::ShellQuoted(small)).Status, 0);
  for (const char* ext : {"tga", "pcx", "png"}) {
    const std::string keep = dir_ + "keep." + ext, old = std::string("precious ") + ext;
    test::WriteWhole(keep, old);
    const test::TPipeRun run = test::RunShell(test::ShellQuoted(KVO_CLI_PATH) + " convert " +
                                              test::ShellQuoted(small) + " " +
                                              test::ShellQuoted(keep) + " 2>/dev/null </dev/null");
    EXPECT_EQ(run.Status, 1) << ext;
    EXPECT_EQ(test::ReadWhole(keep), old) << ext;
  }
  EXPECT_EQ(Names(), (std::vector<std::string>{"keep.pcx", "keep.png", "keep.tga", "small.png"}));
}

// A stored picture saved again, or its marks rewritten, is replaced whole or
// not at all.
TEST_F(Replacing, StoredPicturesAndTheirMarksAreReplacedWhole) {
  const std::string stored = dir_ + "Custom--a.kvo";
  TImg img = Noise(64, 64);
  ASSERT_TRUE(SaveStoredPicture(stored, img, TLogoMarks{POS_ALL, 0, MARKS_SIZE}));
  const std::string before = test::ReadWhole(stored);
  ASSERT_GT(before.size(), 2000u);
  ExpectWithSmallFiles(1024, [&] {
    std::string wrong;
    if (SaveStoredPicture(stored, img, TLogoMarks{POS_WAIT, 0, MARKS_SIZE}))
      wrong += "saved past the limit; ";
    if (WriteMarks(stored, TLogoMarks{POS_WAIT, POS_WAIT, MARKS_SIZE}))
      wrong += "marks rewritten past the limit; ";
    if (test::ReadWhole(stored) != before) wrong += "the stored picture changed; ";
    if (Names().size() != 1) wrong += "files left beside it; ";
    return wrong;
  });
  ImgFree(img);
  // Without the limit the marks go in, and only the trailer changes.
  ASSERT_TRUE(WriteMarks(stored, TLogoMarks{POS_WAIT, POS_WAIT, MARKS_SIZE}));
  const std::string after = test::ReadWhole(stored);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.substr(0, after.size() - MARKS_SIZE),
            before.substr(0, before.size() - MARKS_SIZE));
  TLogoMarks m;
  ASSERT_TRUE(ReadMarks(stored, m));
  EXPECT_EQ(m.Positions, POS_WAIT);
  EXPECT_EQ(m.Used, POS_WAIT);
  EXPECT_EQ(Names().size(), 1u);
}

TEST_F(Replacing, AFailedSettingsSaveLeavesTheOldSettingsAndMessageFiles) {
  test::ScopedXdg xdg;
  Settings() = TSettings{};
  const std::string app = xdg.Root() + "config/KvoPanoramics/";
  ASSERT_FALSE(GetWinFolder().empty());  // the first look makes the default drive
  // Settings are written key by key, each write replacing the file; with
  // the old file larger than the limit every one of them fails.
  const std::string ini = "[Main]\r\n; " + std::string(80, '-') + "\r\nFontSize=12\r\n";
  test::WriteWhole(SettingsFile(), ini);
  test::WriteWhole(MessageFile(POS_STARTUP), "old");
  LoadSettings(true);
  Settings().FontSize = 30;
  SetMessages(POS_STARTUP, std::string(100, 'n'));
  ExpectWithSmallFiles(64, [&] {
    SaveSettings(true);
    std::string wrong;
    if (test::ReadWhole(SettingsFile()) != ini) wrong += "kvo.ini changed; ";
    if (test::ReadWhole(MessageFile(POS_STARTUP)) != "old") wrong += "the message file changed; ";
    for (const auto& e : std::filesystem::directory_iterator(app))
      if (e.path().string().find(".kvo-tmp-") != std::string::npos)
        wrong += "a temporary file is left; ";
    return wrong;
  });
  SaveSettings(true);  // and without the limit both are written
  EXPECT_EQ(test::ReadWhole(MessageFile(POS_STARTUP)), std::string(100, 'n') + "\r\n");
  EXPECT_NE(test::ReadWhole(SettingsFile()).find("FontSize=30"), std::string::npos);
  PrefsPrepare("", "");
  Settings() = TSettings{};
}

}  // namespace
}  // namespace kvo
