// SPDX-License-Identifier: GPL-3.0-or-later
// What kvo and the window report is what happened: a shuffle, restore,
// prefix, rename, convert or preview that did not do all it was asked
// fails, names the file and says why; contradicting options are refused.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "core/Backup.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Shuffle.h"
#include "core/Store.h"
#include "drive/Drive.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

std::string Q(const std::string& S) { return test::ShellQuoted(S); }
const auto Sh = test::RunTools;

class Outcomes : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = xdg_.Root() + "w/";
    ASSERT_EQ(Sh("mkdir -p " + Q(dir_ + "c/WINDOWS") + " && cd " + Q(dir_) +
                 " && convert -size 320x400 xc:red red.png && convert -size 320x400 xc:blue blue.png")
                  .Status,
              0);
  }
  test::TPipeRun Kvo(const std::string& Drive, const std::string& Args) {
    return Sh(Q(KVO_CLI_PATH) + " --drive " + Q(Drive) + " " + Args);
  }
  // A floppy with a Windows folder, filled so that one logo (129,078
  // bytes), the backup folder and restore.bat fit, and nothing more.
  std::string AlmostFullFloppy() {
    const std::string img = dir_ + "full.img";
    EXPECT_EQ(Sh("mkfs.fat -F 12 -C " + Q(img) + " 1440 >/dev/null && mmd -i " + Q(img) +
                 " ::WINDOWS && head -c 1307152 /dev/zero > " + Q(dir_ + "big") + " && mcopy -i " +
                 Q(img) + " " + Q(dir_ + "big") + " ::BIG")
                  .Status,
              0);
    return img;
  }
  test::ScopedXdg xdg_;
  std::string dir_;
};

// Each row: the drive, what is done before, the command, its exit status,
// the text that must name the cause, and what must hold afterwards.
TEST_F(Outcomes, FailuresExitNonZeroAndNameTheCause) {
  const std::string folder = dir_ + "c", red = Q(dir_ + "red.png"), blue = Q(dir_ + "blue.png");
  const std::string longName = "Q" + std::string(90, 'z');
  struct Row {
    const char* What;
    std::function<std::string()> Drive;
    std::vector<std::string> Before;
    std::string Command;
    int Status;
    std::string Says;
    std::function<void(const std::string& Drive, const std::string& Out)> After;
  };
  auto onFolder = [&] { return folder; };
  const Row rows[] = {
      {"empty shuffle", onFolder, {}, "shuffle", 1,
       "kvo: shuffle: No logos were changed: no stored picture may be used as a logo.\n",
       [&](const std::string&, const std::string&) { EXPECT_FALSE(FileExists(folder + "/LOGO.SYS")); }},
      {"shuffle with room for one logo", [&] { return AlmostFullFloppy(); },
       {"add " + red + " " + blue}, "shuffle", 1,
       "Wait to shut down: the logo could not be written: C:\\WINDOWS\\LOGOW.SYS (Cannot write "
       "C:\\WINDOWS\\LOGOW.SYS in " + dir_ + "full.img: Disk full)",
       [&](const std::string& D, const std::string& Out) {
         EXPECT_NE(Out.find("Startup: C:\\LOGO.SYS\n"), std::string::npos);
         // A shuffle that fell short uses no picture up.
         const std::string list = Kvo(D, "list").Out;
         EXPECT_NE(list.find("Custom--blue.kvo  used ---\n"), std::string::npos) << list;
         EXPECT_NE(list.find("Custom--red.kvo  used ---\n"), std::string::npos) << list;
       }},
      {"restore with a backup copy missing", onFolder,
       {"add " + red, "set Custom--red --startup --wait", "rm " + Q(folder + "/WINDOWS/logos.bak/logo1.bmp")},
       "restore", 1,
       "kvo: restore: not restored: C:\\WINDOWS\\LOGOW.SYS: its backup copy "
       "C:\\WINDOWS\\logos.bak\\logo1.bmp is missing\n",
       [&](const std::string&, const std::string& Out) {
         EXPECT_EQ(Out.find("Previous logos restored."), std::string::npos);
         EXPECT_EQ(test::ReadWhole(folder + "/WINDOWS/LOGOW.SYS").size(), 129078u);
         EXPECT_FALSE(FileExists(folder + "/LOGO.SYS"));
       }},
      {"prefix too long", onFolder, {"add " + red}, "prefix " + std::string(64, 'p') + " Custom--red", 1,
       "kvo: The prefix " + std::string(64, 'p') + " is longer than 63 characters; no image was renamed.\n",
       [&](const std::string& D, const std::string&) {
         EXPECT_EQ(Kvo(D, "list").Out.find("pp"), std::string::npos);
       }},
      {"prefix making a name too long", onFolder, {"add " + red, "rename Custom--red " + longName},
       "prefix " + std::string(40, 'p') + " " + longName, 1,
       "kvo: Images renamed: 0\nImages that couldn't be renamed:\n" + longName +
           ".kvo: the new name would be 137 characters long, more than the 127 a stored name may have.\n",
       nullptr},
      {"convert to an unknown type", onFolder, {}, "convert " + red + " " + Q(dir_ + "out.xyz"), 1,
       "kvo: " + dir_ + "out.xyz: \".xyz\" is not a type kvo can write; the output name must end in one of: .bmp",
       [&](const std::string&, const std::string&) { EXPECT_FALSE(FileExists(dir_ + "out.xyz")); }},
      {"preview to a PNG name", onFolder, {"add " + red}, "preview Custom--red " + Q(dir_ + "p.png"), 1,
       "kvo: " + dir_ + "p.png: the preview is an animated GIF and is written only to a name ending in .gif",
       [&](const std::string&, const std::string&) { EXPECT_FALSE(FileExists(dir_ + "p.png")); }},
      {"--overwrite with --rename-to", onFolder, {}, "add --overwrite --rename-to X " + red, 2,
       "--overwrite excludes --rename-to", nullptr},
      {"--skip with --overwrite", onFolder, {}, "add --skip --overwrite " + red, 2,
       "--overwrite excludes --skip", nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.What);
    // Each row starts from an empty store and a drive with one old logo.
    test::RemoveTree(xdg_.Root() + "data");
    test::WriteWhole(folder + "/WINDOWS/LOGOW.SYS", "old wait");
    ::unlink((folder + "/LOGO.SYS").c_str());
    test::RemoveTree(folder + "/WINDOWS/logos.bak");
    const std::string drive = r.Drive();
    for (const std::string& step : r.Before) {
      const bool kvo = step.rfind("rm ", 0) != 0;
      test::TPipeRun b = kvo ? Kvo(drive, step) : Sh(step);
      ASSERT_EQ(b.Status, 0) << step << "\n" << b.Out;
    }
    const test::TPipeRun run = Kvo(drive, r.Command);
    EXPECT_EQ(run.Status, r.Status) << run.Out;
    EXPECT_NE(run.Out.find(r.Says), std::string::npos) << run.Out;
    if (r.After) r.After(drive, run.Out);
  }
}

// The window's Shuffle and Restore: a logo not written or not restored is
// an error naming it, the status bar claims no success, and a shuffle that
// fell short uses no picture up.
class WindowOutcomes : public testing::Test {
 protected:
  void SetUp() override {
    Settings() = TSettings{};
    SetStorageDir(DefaultStorageDir());
    ASSERT_TRUE(EnsureFolder(GetStorageDir()));
    for (uint32_t p : POSITIONS) SetLogoFile(p, DefaultLogoFile(p));
    TImg img;
    _imgalloc_(img, 320, 400, 8, __LINE__, "Test.Outcomes.img");
    MemFill(img.Data, 320 * 400, 1);
    ASSERT_TRUE(SaveStoredPicture(GetStorageDir() + "Custom--a.kvo", img, {POS_ALL, 0, 12}));
    ImgFree(img);
  }
  test::ScopedXdg xdg_;
  test::ScriptedDialogs dialogs_;
};

TEST_F(WindowOutcomes, AShuffleOrRestoreThatFellShortSaysWhatIsMissing) {
  // A folder where the Wait logo goes: that logo cannot be written.
  const std::string wait = GetLogoFile(POS_WAIT);
  ASSERT_TRUE(EnsureFolder(wait));
  const TShuffleOutcome o = ShuffleCommand();
  EXPECT_EQ(o.Picked, POS_ALL);
  EXPECT_EQ(o.Written, POS_STARTUP | POS_TURNOFF);
  ASSERT_EQ(dialogs_.Errors.size(), 1u);
  EXPECT_EQ(dialogs_.Errors[0].rfind("The Wait to shut down logo could not be written: ", 0), 0u)
      << dialogs_.Errors[0];
  EXPECT_NE(dialogs_.Errors[0].find(GuestPath(ManagedDrive(), wait)), std::string::npos)
      << dialogs_.Errors[0];
  EXPECT_EQ(dialogs_.Statuses.back(), "Only the Startup and Turn off logos were changed.");
  LoadLogoList();
  EXPECT_EQ(LogoList().Entries.at(0).Used, 0u);

  // The Startup logo's backup copy is gone: Restore names it and claims
  // nothing; the Turn off logo, which did not exist, is deleted all the same.
  test::RemoveTree(wait);
  const std::string bak = BackupDir();
  const std::string copy = GuestPath(ManagedDrive(), bak + "logo9.bmp");
  const std::string startup = GuestPath(ManagedDrive(), GetLogoFile(POS_STARTUP));
  test::WriteWhole(bak + "restore.bat", test::ReadWhole(bak + "restore.bat") + "copy \"" + copy +
                                            "\" \"" + startup + "\"\r\n");
  dialogs_.Errors.clear();
  dialogs_.YesNoAnswers.push_back('Y');
  RestoreCommand();
  EXPECT_TRUE(dialogs_.Infos.empty());
  ASSERT_EQ(dialogs_.Errors.size(), 1u);
  EXPECT_EQ(dialogs_.Errors[0], "These logos could not be restored:\n" + startup +
                                    ": its backup copy " + copy + " is missing");
  EXPECT_FALSE(FileExists(GetLogoFile(POS_TURNOFF)));
}

}  // namespace
}  // namespace kvo
