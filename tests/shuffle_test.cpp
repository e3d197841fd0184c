// SPDX-License-Identifier: GPL-3.0-or-later
// Shuffle: picks by position and round, the three logos set at once, and
// rounds that advance across "/shuffle" starts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "base/Basic.h"
#include "core/Locations.h"
#include "core/Random.h"
#include "core/Settings.h"
#include "core/Shuffle.h"
#include "core/Store.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

TLogoEntry Entry(const char* Name, uint32_t Positions, uint32_t Used) {
  TLogoEntry e;
  e.FileName = Name;
  e.Positions = Positions;
  e.Used = Used;
  return e;
}

TEST(PickImage, RoundsPerPosition) {
  RandomSeed(3);
  LogoList() = TLogoList{};
  LogoList().Entries = {Entry("A.kvo", POS_WAIT, POS_WAIT), Entry("B.kvo", POS_WAIT, 0),
                        Entry("C.kvo", 0, POS_WAIT)};
  LogoList().Count = 3;
  // A is used in this round: B is the only free one.
  EXPECT_EQ(PickImage(POS_WAIT), 1);
  EXPECT_EQ(LogoList().Entries[1].Used, POS_WAIT);
  // Now every eligible one is used: a new round clears all marks (C's stale
  // one too) and picks A or B, never C.
  int32_t k = PickImage(POS_WAIT);
  EXPECT_TRUE(k == 0 || k == 1);
  EXPECT_EQ(LogoList().Entries[2].Used, 0u);
  EXPECT_EQ(LogoList().Entries[static_cast<size_t>(1 - k)].Used, 0u);
  // Nothing eligible for the Startup logo.
  EXPECT_EQ(PickImage(POS_STARTUP), INVALID_ID);
}

TEST(PickImage, EveryPictureOnceARound) {
  RandomSeed(11);
  LogoList() = TLogoList{};
  for (int i = 0; i < 7; ++i) LogoList().Entries.push_back(Entry("p.kvo", POS_ALL, 0));
  LogoList().Count = 7;
  for (int round = 0; round < 3; ++round) {
    std::set<int32_t> seen;
    for (int i = 0; i < 7; ++i) seen.insert(PickImage(POS_TURNOFF));
    EXPECT_EQ(seen.size(), 7u) << "round " << round;
  }
}

class ShuffleRuns : public testing::Test {
 protected:
  void SetUp() override {
    Settings() = TSettings{};
    SetStorageDir(DefaultStorageDir());
    std::string cmd = "mkdir -p '" + GetStorageDir() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    for (uint32_t p : POSITIONS) SetLogoFile(p, DefaultLogoFile(p));
  }
  void Store(const std::string& Name, uint8_t Shade, uint32_t Positions) {
    TImg img;
    _imgalloc_(img, 320, 400, 8, __LINE__, "Test.Shuffle.img");
    img.Palette[1][0] = img.Palette[1][1] = img.Palette[1][2] = Shade;
    MemFill(img.Data, 320 * 400, 1);
    ASSERT_TRUE(SaveStoredPicture(GetStorageDir() + Name, img, {Positions, 0, 12}));
    ImgFree(img);
  }
  test::ScopedXdg xdg_;
  test::ScriptedDialogs dialogs_;
};

TEST_F(ShuffleRuns, OnePictureForAllThree) {
  Settings().MsgEnabled[0] = Settings().MsgEnabled[1] = Settings().MsgEnabled[2] = false;
  Settings().AnimEnabled = false;
  Store("Custom--only.kvo", 77, POS_ALL);
  ShuffleCommand();
  EXPECT_EQ(dialogs_.Statuses, (std::vector<std::string>{"Setting logos...", "Random logos are set."}));
  std::string startup = test::ReadWhole(GetLogoFile(POS_STARTUP));
  ASSERT_EQ(startup.size(), 129078u);
  EXPECT_EQ(test::ReadWhole(GetLogoFile(POS_WAIT)), startup);
  EXPECT_EQ(test::ReadWhole(GetLogoFile(POS_TURNOFF)), startup);
}

TEST_F(ShuffleRuns, NoPicturesChangeNothing) {
  test::WriteWhole(GetLogoFile(POS_WAIT), "before");
  ShuffleCommand();
  EXPECT_EQ(test::ReadWhole(GetLogoFile(POS_WAIT)), "before");
  // Nothing to choose from is no success.
  EXPECT_EQ(dialogs_.Statuses.back(), SHUFFLE_NOTHING_TEXT);
}

// Two pictures for the Startup logo: two "/shuffle" starts in a row show
// both, because each run writes its round's marks back.
TEST_F(ShuffleRuns, CommandLineRunsAdvanceTheRound) {
  Store("Custom--a.kvo", 10, POS_STARTUP);
  Store("Custom--b.kvo", 20, POS_STARTUP);
  std::string run = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '") + KVO_APP_PATH + "' /shuffle";
  std::set<std::string> logos;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(std::system(run.c_str()), 0);
    logos.insert(test::ReadWhole(GetLogoFile(POS_STARTUP)));
  }
  EXPECT_EQ(logos.size(), 2u);
  LoadLogoList();
  ASSERT_EQ(LogoList().Count, 2);
  EXPECT_EQ(LogoList().Entries[0].Used | LogoList().Entries[1].Used, POS_STARTUP);
}

}  // namespace
}  // namespace kvo
