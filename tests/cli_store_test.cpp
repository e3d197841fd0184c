// SPDX-License-Identifier: GPL-3.0-or-later
// The kvo command's store, logo and gallery verbs, run as a user runs them,
// on a fresh default drive.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "core/Locations.h"
#include "core/Settings.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

struct TOut {
  int Status = -1;
  std::string Text;  // standard output and standard error
};

TOut Kvo(const std::string& Args) {
  std::string cmd = std::string("'") + KVO_CLI_PATH + "' " + Args + " 2>&1 </dev/null";
  const test::TPipeRun run = test::RunShell(cmd);
  return TOut{run.Status, run.Out};
}

class KvoStoreVerbs : public testing::Test {
 protected:
  void SetUp() override {
    src_ = xdg_.Root() + "src/";
    std::string cmd = "mkdir -p '" + src_ + "' && convert -size 640x480 gradient:red-blue '" + src_ +
                      "Sunset.JPG' && convert -size 100x100 xc:green '" + src_ + "leaf.png'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    Settings() = TSettings{};
    SetStorageDir(DefaultStorageDir());
  }
  std::string Stored(const std::string& Name) { return GetStorageDir() + Name; }
  test::ScopedXdg xdg_;
  std::string src_;
};

TEST_F(KvoStoreVerbs, AddListRenamePrefixPositionsDelete) {
  TOut r = Kvo("add --mode crop '" + src_ + "Sunset.JPG' '" + src_ + "leaf.png'");
  ASSERT_EQ(r.Status, 0) << r.Text;
  EXPECT_TRUE(FileExists(Stored("Custom--Sunset.kvo")));
  // A clash is skipped by default, replaced with --overwrite, stored under
  // another name with --rename-to.
  r = Kvo("add '" + src_ + "leaf.png'");
  EXPECT_EQ(r.Status, 0);
  EXPECT_NE(r.Text.find("Image \"Custom--leaf.kvo\" already exists"), std::string::npos);
  EXPECT_EQ(Kvo("add --rename-to Custom--leaf2 '" + src_ + "leaf.png'").Status, 0);
  EXPECT_TRUE(FileExists(Stored("Custom--leaf2.kvo")));

  r = Kvo("list");
  EXPECT_EQ(r.Text.rfind("SWT  Custom--leaf.kvo  used ---\n", 0), 0u) << r.Text;
  EXPECT_NE(r.Text.find("3 images (total size: "), std::string::npos);

  EXPECT_EQ(Kvo("rename Custom--leaf2.kvo Green").Status, 0);
  EXPECT_TRUE(FileExists(Stored("Green.kvo")));
  r = Kvo("rename Green Custom--leaf");
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Text.find("There already exists an image with that name"), std::string::npos);
  EXPECT_EQ(Kvo("rename NoSuchPicture X").Status, 1);

  r = Kvo("prefix My--Cars Green Custom--Sunset");
  EXPECT_EQ(r.Status, 0) << r.Text;
  EXPECT_EQ(r.Text, "Images renamed: 2\n");
  EXPECT_TRUE(FileExists(Stored("MyCars--Sunset.kvo")));

  EXPECT_EQ(Kvo("positions --startup --turnoff MyCars--Sunset").Status, 0);
  r = Kvo("list --json");
  EXPECT_NE(r.Text.find("{\"file\": \"MyCars--Sunset.kvo\", \"prefix\": \"MyCars\", \"positions\": 5, \"used\": 0}"),
            std::string::npos) << r.Text;

  EXPECT_EQ(Kvo("delete MyCars--Green MyCars--Sunset.kvo").Status, 0);
  EXPECT_FALSE(FileExists(Stored("MyCars--Sunset.kvo")));
  EXPECT_EQ(Kvo("delete MyCars--Sunset").Status, 1);
}

// Names that differ only in letter case are different pictures: the exact
// name wins, a name matching several only by case is refused naming them,
// and a change of case alone renames.
TEST_F(KvoStoreVerbs, NamesDifferingInCaseAreDifferentPictures) {
  ASSERT_EQ(std::system(("mkdir -p '" + src_ + "b' && cp '" + src_ + "leaf.png' '" + src_ + "Sun.png' && cp '" + src_ +
                         "leaf.png' '" + src_ + "b/sun.png'").c_str()), 0);
  ASSERT_EQ(Kvo("add '" + src_ + "Sun.png' '" + src_ + "b/sun.png' '" + src_ + "Sunset.JPG'").Status, 0);
  TOut r = Kvo("set Custom--SUN --startup");
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Text.find("differ from this name only in letter case (Custom--Sun.kvo, Custom--sun.kvo)"),
            std::string::npos) << r.Text;
  EXPECT_EQ(Kvo("delete --permanently Custom--sun").Status, 0);
  EXPECT_TRUE(FileExists(Stored("Custom--Sun.kvo")));
  EXPECT_FALSE(FileExists(Stored("Custom--sun.kvo")));
  r = Kvo("rename Custom--Sunset Custom--SUNSET");
  EXPECT_EQ(r.Status, 0) << r.Text;
  EXPECT_TRUE(FileExists(Stored("Custom--SUNSET.kvo")));
  EXPECT_FALSE(FileExists(Stored("Custom--Sunset.kvo")));
  // Names longer than the list keeps (127 characters) are shortened when
  // added, numbered when the shortened name is taken, and can be named.
  const std::string a150 = src_ + std::string(146, 'a') + ".png", a250 = src_ + std::string(246, 'a') + ".png";
  ASSERT_EQ(std::system(("cp '" + src_ + "leaf.png' '" + a150 + "' && cp '" + src_ + "leaf.png' '" + a250 + "'").c_str()), 0);
  ASSERT_EQ(Kvo("add '" + a150 + "' '" + a250 + "'").Status, 0);
  const std::string first = "Custom--" + std::string(115, 'a') + ".kvo", second = "Custom--" + std::string(113, 'a') + "~2.kvo";
  EXPECT_TRUE(FileExists(Stored(first)));
  EXPECT_TRUE(FileExists(Stored(second)));
  EXPECT_EQ(Kvo("delete --permanently " + first + " " + second).Status, 0);
}

TEST_F(KvoStoreVerbs, SetShuffleRestoreOnAFreshDrive) {
  ASSERT_EQ(Kvo("add '" + src_ + "leaf.png'").Status, 0);
  TOut r = Kvo("set leaf");
  EXPECT_EQ(r.Status, 2);
  r = Kvo("set Custom--leaf --startup --turnoff");
  ASSERT_EQ(r.Status, 0) << r.Text;
  std::string startup = DefaultLogoFile(POS_STARTUP);
  EXPECT_EQ(test::ReadWhole(startup).size(), 129078u);
  EXPECT_FALSE(FileExists(DefaultLogoFile(POS_WAIT)));
  EXPECT_EQ(Kvo("shuffle").Status, 0);
  EXPECT_TRUE(FileExists(DefaultLogoFile(POS_WAIT)));
  // None of the logos existed before: restoring deletes them all, and
  // ends the log-in job that would shuffle them back.
  SetAutoRun(true);
  const std::string job = xdg_.Root() + "config/autostart/KvoPanoramics.desktop";
  ASSERT_TRUE(FileExists(job));
  EXPECT_EQ(Kvo("restore").Status, 0);
  EXPECT_FALSE(FileExists(job));
  EXPECT_FALSE(FileExists(startup));
  EXPECT_FALSE(FileExists(DefaultLogoFile(POS_WAIT)));
}

TEST_F(KvoStoreVerbs, GalleriesAndUsageErrors) {
  ASSERT_EQ(Kvo("add '" + src_ + "leaf.png' '" + src_ + "Sunset.JPG'").Status, 0);
  std::string gal = xdg_.Root() + "g.gal";
  TOut r = Kvo("gallery create '" + gal + "' Trees Custom--leaf Custom--Sunset");
  ASSERT_EQ(r.Status, 0) << r.Text;
  EXPECT_NE(r.Text.find("Number of pictures: 2"), std::string::npos);
  EXPECT_EQ(Kvo("gallery install '" + gal + "'").Status, 0);
  EXPECT_TRUE(FileExists(Stored("Trees--leaf.kvo")));
  EXPECT_EQ(Kvo("gallery install '" + gal + "'").Status, 1);  // the prefix is taken
  EXPECT_EQ(Kvo("gallery install --overwrite '" + gal + "'").Status, 0);
  EXPECT_EQ(Kvo("gallery install --prefix Wood '" + gal + "'").Status, 0);
  EXPECT_TRUE(FileExists(Stored("Wood--Sunset.kvo")));
  r = Kvo("gallery create '" + gal + "' ' ' Custom--leaf");
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Text.find("Invalid prefix."), std::string::npos);
  EXPECT_EQ(Kvo("add --mode sideways x.png").Status, 2);
  EXPECT_EQ(Kvo("nosuchverb").Status, 2);
}

// --palette chooses the reduction for one run; without it the choice in
// kvo.ini holds, and kvo add never writes that choice back.
TEST_F(KvoStoreVerbs, PaletteChoiceForOneRunOrFromTheSettings) {
  // The stored picture of Sunset.JPG added with these options.
  auto add = [this](const std::string& Options) {
    EXPECT_EQ(Kvo("add --overwrite " + Options + " '" + src_ + "Sunset.JPG'").Status, 0);
    return test::ReadWhole(Stored("Custom--Sunset.kvo"));
  };
  const std::string best = add("--palette best"), standard = add("");
  EXPECT_NE(best, standard);
  test::WriteWhole(SettingsFile(), "[Main]\r\nPalette=1\r\n");
  EXPECT_EQ(add(""), best);
  EXPECT_EQ(add("--palette standard"), standard);
  EXPECT_EQ(test::ReadWhole(SettingsFile()), "[Main]\r\nPalette=1\r\n");
  EXPECT_EQ(Kvo("add --palette worst '" + src_ + "Sunset.JPG'").Status, 2);
}

// The preview of a stored picture is a cycle of 20 frames; the Wait logo
// in place is one still frame; --scale 2 doubles it.
TEST_F(KvoStoreVerbs, PreviewWritesStoredAndCurrentLogosAsGif) {
  ASSERT_EQ(Kvo("add '" + src_ + "leaf.png'").Status, 0);
  const std::string gif = xdg_.Root() + "p.gif", q = "'" + gif + "'";
  TOut r = Kvo("preview Custom--leaf " + q);
  ASSERT_EQ(r.Status, 0) << r.Text;
  EXPECT_EQ(r.Text, gif + ": 20 frames\n");
  r = Kvo("preview Custom--leaf.kvo " + q + " --scale 2 --turnoff");
  ASSERT_EQ(r.Status, 0) << r.Text;
  EXPECT_EQ(test::RunShell("identify -format '%w %h %T|' " + q).Out, "640 800 6|");
  EXPECT_EQ(Kvo("preview --current " + q + " --wait").Status, 1);  // no logo yet
  ASSERT_EQ(Kvo("set Custom--leaf --wait").Status, 0);
  r = Kvo("preview --current " + q + " --wait");
  ASSERT_EQ(r.Status, 0) << r.Text;
  EXPECT_EQ(r.Text, gif + ": 1 frame\n");
  EXPECT_EQ(Kvo("preview NoSuch " + q).Status, 1);
  EXPECT_EQ(Kvo("preview Custom--leaf").Status, 2);
  EXPECT_EQ(Kvo("preview --current Custom--leaf " + q).Status, 2);
  EXPECT_EQ(Kvo("preview Custom--leaf " + q + " --scale 3").Status, 2);
  EXPECT_EQ(Kvo("preview Custom--leaf " + q + " --wait --turnoff").Status, 2);
}

}  // namespace
}  // namespace kvo
