// SPDX-License-Identifier: GPL-3.0-or-later
// Killed halfway: each command that writes the store, the logos or the
// backup is killed right before each of its writes, renames, deletes and
// syncs in turn (by a preloaded library, so every run stops at the same
// step), and what it leaves must be the state before or the state after,
// file by file, with the store listing and restoring as before.
#include <gtest/gtest.h>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/MiscProcs.h"
#include "core/Backup.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "image/IMGBasic.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

namespace fs = std::filesystem;
using TFiles = std::map<std::string, std::string>;  // path under the root -> bytes

// A spread of kill points: every step of a command of today's length, an
// even spread of a longer one (its first and last step always among them).
constexpr long MAX_KILL_POINTS = 80;

std::string Q(const std::string& S) { return test::ShellQuoted(S); }

test::TPipeRun Sh(const std::string& Command) { return test::RunShell(Command + " 2>&1 </dev/null"); }

bool IsTemp(const std::string& Path) {
  return Path.find(".kvo-tmp-") != std::string::npos || Path.find(".kvo-new") != std::string::npos;
}

class KillRuns : public testing::Test {
 protected:
  void SetUp() override {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer build: its runtime must come first, so the kill library "
                    "cannot be preloaded";
#endif
    src_ = xdg_.Root() + "src/";
    ASSERT_EQ(Sh("mkdir -p -m 700 " + Q(xdg_.Root() + "tmp") + " " + Q(xdg_.Root() + "run") + " && mkdir -p " + Q(src_) + " && convert -size 320x400 gradient:red-blue " +
                 Q(src_ + "a.png") + " && convert -size 100x100 xc:green " + Q(src_ + "b.png") +
                 " && convert -size 640x480 gradient:navy-orange " + Q(src_ + "c.png") +
                 " && convert -size 200x150 plasma:fractal -seed 7 " + Q(src_ + "d.png") +
                 " && convert -size 60x90 xc:yellow " + Q(src_ + "e.png")).Status, 0);
    Settings() = TSettings{};
    SetStorageDir(DefaultStorageDir());
  }

  static test::TPipeRun Kvo(const std::string& Args) { return Sh(Q(KVO_CLI_PATH) + " " + Args); }

  void GiveOriginalLogos() {
    for (const auto& [p, bytes] : originals_) test::WriteWhole(DefaultLogoFile(p), bytes);
  }

  // Everything the program keeps: its settings, store, drive and backup.
  TFiles Files() const {
    TFiles files;
    for (const char* top : {"config", "data"}) {
      fs::path dir = xdg_.Root() + top;
      if (!fs::exists(dir)) continue;
      for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().filename() != "kvo.lock")
          files[e.path().string().substr(xdg_.Root().size())] = test::ReadWhole(e.path().string());
    }
    return files;
  }
  void Restore(const TFiles& Files) const {
    for (const char* top : {"config", "data"}) fs::remove_all(xdg_.Root() + top);
    for (const auto& [path, bytes] : Files) {
      fs::create_directories(fs::path(xdg_.Root() + path).parent_path());
      test::WriteWhole(xdg_.Root() + path, bytes);
    }
  }

  // Runs Command (a program and its arguments, quoted for the shell) with
  // the kill library preloaded; its exit status, 128 + 9 when killed.
  int RunKilled(const std::string& Command, long KillAt, const std::string& CountFile) const {
    // Temporary and runtime folders of the test's own: what other tests
    // leave in the shared ones would be swept as extra steps of one run.
    std::string env = "env " + envOptions_ + "TMPDIR=" + Q(xdg_.Root() + "tmp") + " XDG_RUNTIME_DIR=" +
                      Q(xdg_.Root() + "run") + " LD_PRELOAD=" + Q(KVO_KILL_PRELOAD);
    if (KillAt > 0) env += " KVO_KILL_AT=" + std::to_string(KillAt);
    if (!CountFile.empty()) env += " KVO_KILL_COUNT_FILE=" + Q(CountFile);
    test::TPipeRun r = test::RunShell(env + " " + Command + " >/dev/null 2>&1 </dev/null; echo $?");
    return std::atoi(r.Out.c_str());
  }

  // Kills Command at up to MAX_KILL_POINTS of its steps; each time every
  // file the program keeps is its whole old or whole new self, the store
  // lists exactly the pictures that load, and restore.bat brings back the
  // logos the drive had before. The number of kill points tried.
  long KillAtEveryStep(const std::string& Command) {
    const TFiles before = Files();
    const std::string counted = xdg_.Root() + "count";
    EXPECT_EQ(RunKilled(Command, 0, counted), 0) << Command;
    const long steps = std::atol(test::ReadWhole(counted).c_str());
    const TFiles after = Files();
    EXPECT_GT(steps, 0);
    EXPECT_NE(before, after) << "the command changed nothing";
    std::vector<long> points;
    for (long i = 0, n = std::min(steps, MAX_KILL_POINTS); i < n; ++i)
      points.push_back(n == 1 ? 1 : 1 + i * (steps - 1) / (n - 1));
    int tempsLeft = 0;
    for (long at : points) {
      SCOPED_TRACE("killed before step " + std::to_string(at) + " of " + std::to_string(steps));
      Restore(before);
      EXPECT_EQ(RunKilled(Command, at, ""), 128 + SIGKILL);
      const TFiles now = Files();
      for (const auto& [path, bytes] : now) {
        // restore.bat grows by a line before each logo it names is replaced;
        // CheckRestore looks at every one of its states.
        if (path.ends_with(RESTORE_BAT)) continue;
        if (IsTemp(path)) {
          ++tempsLeft;
          continue;
        }
        auto b = before.find(path), a = after.find(path);
        EXPECT_TRUE((b != before.end() && b->second == bytes) || (a != after.end() && a->second == bytes))
            << path << " is neither its old nor its new self (" << bytes.size() << " bytes)";
      }
      for (const auto& [path, bytes] : before) {
        if (after.count(path)) {
          EXPECT_TRUE(now.count(path)) << path << " was lost";
        }
      }
      CheckStore();
      CheckLeftoversGone();
      CheckRestore();
    }
    Restore(before);
    // The killed program's scratch files stay, unlisted, until the next start.
    std::printf("killed at %zu of %ld steps; %d scratch files left behind\n", points.size(), steps,
                tempsLeft);
    return static_cast<long>(points.size());
  }

  // The store lists exactly the stored pictures on disk, and each loads.
  void CheckStore() {
    std::set<std::string> onDisk;
    for (const auto& e : fs::directory_iterator(GetStorageDir())) {
      std::string name = e.path().filename().string();
      if (IsTemp(name) || !name.ends_with(".kvo")) continue;
      onDisk.insert(name);
      TImg img;
      EXPECT_TRUE(LoadStoredPicture(e.path().string(), img)) << name << " does not load";
      ImgFree(img);
    }
    test::TPipeRun list = Kvo("list");
    EXPECT_EQ(list.Status, 0) << list.Out;
    std::set<std::string> listed;
    for (size_t at = 0, eol; at < list.Out.size(); at = eol + 1) {
      eol = std::min(list.Out.find('\n', at), list.Out.size());
      std::string line = list.Out.substr(at, eol - at);
      size_t used = line.rfind("  used ");
      if (line.size() > 5 && used != std::string::npos) listed.insert(line.substr(5, used - 5));
    }
    EXPECT_EQ(listed, onDisk) << list.Out;
  }

  // The next start (CheckStore's kvo list) removed the scratch files named
  // for the killed process and every one in the store; others may wait
  // until they are a minute old (see RemoveLeftovers).
  void CheckLeftoversGone() {
    const std::string store = GetStorageDir().substr(xdg_.Root().size());
    for (const auto& [path, bytes] : Files()) {
      const bool named = path.find(".kvo-new") != std::string::npos;
      EXPECT_FALSE(named || (IsTemp(path) && path.starts_with(store)))
          << path << " outlived the next start";
    }
  }

  // Every line of restore.bat is whole and names a copy that holds the logo
  // as it was; restoring then brings those logos back.
  void CheckRestore() {
    const std::string bat = test::ReadWhole(RestoreBatFile());
    for (size_t at = 0, eol; at < bat.size(); at = eol + 2) {
      eol = bat.find("\r\n", at);
      ASSERT_NE(eol, std::string::npos) << "a cut line ends restore.bat:\n" << bat;
      std::string line = bat.substr(at, eol - at);
      if (!line.starts_with("copy")) continue;
      std::string copy = PathFromGuest(ManagedDrive(), QuotedField(line, 1));
      std::string logo = PathFromGuest(ManagedDrive(), QuotedField(line, 2));
      bool known = false;
      for (const auto& [p, bytes] : originals_)
        if (logo == DefaultLogoFile(p)) {
          known = true;
          EXPECT_TRUE(test::ReadWhole(copy) == bytes) << line;
        }
      EXPECT_TRUE(known) << line;
    }
    Kvo("restore");
    for (const auto& [p, bytes] : originals_)
      EXPECT_TRUE(test::ReadWhole(DefaultLogoFile(p)) == bytes) << DefaultLogoFile(p);
    EXPECT_FALSE(FileExists(DefaultLogoFile(POS_TURNOFF)));
  }

  test::ScopedXdg xdg_;
  std::string src_;
  std::string envOptions_;  // for env(1), before the variables it sets
  const std::map<uint32_t, std::string> originals_ = {{POS_STARTUP, "startup logo of the vendor"},
                                                      {POS_WAIT, "wait logo of the vendor"}};
};

TEST_F(KillRuns, BatchAdd) {
  ASSERT_EQ(Kvo("add " + Q(src_ + "e.png")).Status, 0);
  GiveOriginalLogos();
  long points = KillAtEveryStep(Q(KVO_CLI_PATH) + " add " + Q(src_ + "a.png") + " " + Q(src_ + "b.png") +
                                " " + Q(src_ + "c.png") + " " + Q(src_ + "d.png"));
  RecordProperty("KillPoints", static_cast<int>(points));
}

TEST_F(KillRuns, SetAllThreeLogos) {
  ASSERT_EQ(Kvo("add " + Q(src_ + "a.png") + " " + Q(src_ + "b.png")).Status, 0);
  GiveOriginalLogos();
  long points = KillAtEveryStep(Q(KVO_CLI_PATH) + " set Custom--a --startup --wait --turnoff");
  RecordProperty("KillPoints", static_cast<int>(points));
}

TEST_F(KillRuns, GalleryInstall) {
  ASSERT_EQ(Kvo("add " + Q(src_ + "a.png") + " " + Q(src_ + "c.png") + " " + Q(src_ + "e.png")).Status, 0);
  const std::string gallery = xdg_.Root() + "g.gal";
  ASSERT_EQ(Kvo("gallery create " + Q(gallery) + " Trees Custom--a Custom--c Custom--e").Status, 0);
  GiveOriginalLogos();
  long points = KillAtEveryStep(Q(KVO_CLI_PATH) + " gallery install --prefix Wood " + Q(gallery));
  RecordProperty("KillPoints", static_cast<int>(points));
}

// With one picture in the store the shuffle has one choice, so its result
// is the same in every run.
TEST_F(KillRuns, SessionShuffle) {
  ASSERT_EQ(Kvo("add " + Q(src_ + "c.png")).Status, 0);
  GiveOriginalLogos();
  envOptions_ = "-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ";
  long points = KillAtEveryStep(Q(KVO_APP_PATH) + " /shuffle");
  RecordProperty("KillPoints", static_cast<int>(points));
}

}  // namespace
}  // namespace kvo
