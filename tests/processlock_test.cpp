// SPDX-License-Identifier: GPL-3.0-or-later
// One change at a time: the change lock between runs of the program, held
// against it by util-linux flock(1) as another program would, and two kvo
// processes writing the same store and drive at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "base/MiscProcs.h"
#include "core/Backup.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "platform/Folders.h"
#include "platform/ProcessLock.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string Q(const std::string& S) { return test::ShellQuoted(S); }

test::TPipeRun Sh(const std::string& Command) {
  return test::RunShell(Command + " 2>&1 </dev/null");
}

// Whether a process other than this one could take the lock on Path now.
bool FreeForOthers(const std::string& Path) {
  return Sh("flock -n " + Q(Path) + " true").Status == 0;
}

long long MillisSince(steady_clock::time_point Start) {
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - Start).count();
}

// Another process holding the lock on Path, from its construction until it
// is killed.
class TForeignHolder {
 public:
  explicit TForeignHolder(const std::string& Path) {
    std::string ready = Path + ".ready";
    ::unlink(ready.c_str());
    test::TPipeRun run = test::RunShell("( exec 9>>" + Q(Path) + "; flock -x 9 && touch " +
                                        Q(ready) + " && exec sleep 60 ) >/dev/null 2>&1 </dev/null & echo $!");
    Pid_ = std::atoi(run.Out.c_str());
    for (int i = 0; i < 500 && !FileExists(ready); ++i) ::usleep(10000);
    Ready_ = Pid_ > 0 && FileExists(ready);
  }
  ~TForeignHolder() { Kill(); }
  void Kill() {
    if (Pid_ <= 0) return;
    ::kill(Pid_, SIGKILL);
    Pid_ = 0;
  }
  bool Ready() const { return Ready_; }

 private:
  int Pid_ = 0;
  bool Ready_ = false;
};

TEST(ProcessLock, WaitsForAnotherHolderThenGivesUpAndNests) {
  test::ScopedXdg xdg;
  test::ScriptedDialogs dialogs;
  const std::string path = ChangeLockFile();
  {
    TForeignHolder other(path);
    ASSERT_TRUE(other.Ready());
    auto start = steady_clock::now();
    TProcessLock second(path, milliseconds(300));
    EXPECT_FALSE(second.Held());
    EXPECT_GE(MillisSince(start), 300);
    // A command says why it did nothing; "/shuffle" says nothing.
    { TChangeLock command(false, milliseconds(100)); EXPECT_FALSE(command.Held()); }
    { TChangeLock session(true, milliseconds(100)); EXPECT_FALSE(session.Held()); }
    EXPECT_EQ(dialogs.Errors, (std::vector<std::string>{CHANGE_LOCK_BUSY}));
  }
  // Once the other holder is gone, the lock is ours; a command run by a
  // command gets it at once, and only the outermost end releases it.
  {
    TProcessLock outer(path, milliseconds(2000));
    ASSERT_TRUE(outer.Held());
    {
      TChangeLock inner(false, milliseconds(0));
      EXPECT_TRUE(inner.Held());
    }
    EXPECT_FALSE(FreeForOthers(path));
  }
  EXPECT_TRUE(FreeForOthers(path));
  EXPECT_EQ(dialogs.Errors.size(), 1u);
}

class ProcessLockRuns : public testing::Test {
 protected:
  void SetUp() override {
    src_ = xdg_.Root() + "src/";
    ASSERT_EQ(Sh("mkdir -p " + Q(src_) + " && convert -size 320x400 gradient:red-blue " +
                 Q(src_ + "a.png") + " && convert -size 100x100 xc:green " + Q(src_ + "b.png") +
                 " && convert -size 640x480 gradient:navy-orange " + Q(src_ + "c.png")).Status, 0);
    ASSERT_EQ(Kvo("add " + Q(src_ + "a.png") + " " + Q(src_ + "b.png") + " " + Q(src_ + "c.png")).Status,
              0);
    Settings() = TSettings{};
    SetStorageDir(DefaultStorageDir());
  }
  static test::TPipeRun Kvo(const std::string& Args) { return Sh(Q(KVO_CLI_PATH) + " " + Args); }
  test::ScopedXdg xdg_;
  std::string src_;
};

TEST_F(ProcessLockRuns, WhileAnotherChangesKvoFailsAndSessionShuffleSkipsQuietly) {
  const std::string startup = DefaultLogoFile(POS_STARTUP);
  const std::string shuffle =
      "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + Q(KVO_APP_PATH) + " /shuffle";
  {
    TForeignHolder other(ChangeLockFile());
    ASSERT_TRUE(other.Ready());
    auto start = steady_clock::now();
    test::TPipeRun r = Kvo("set Custom--a --startup");
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, std::string("kvo: ") + CHANGE_LOCK_BUSY + "\n");
    EXPECT_GE(MillisSince(start), CHANGE_LOCK_WAIT.count());
    start = steady_clock::now();
    r = Sh(shuffle);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, "");
    EXPECT_GE(MillisSince(start), SESSION_LOCK_WAIT.count());
    EXPECT_FALSE(FileExists(startup));
  }
  // The same start with nobody else at work sets the logos.
  ASSERT_EQ(Sh(shuffle).Status, 0);
  EXPECT_TRUE(FileExists(startup));
}

// Two programs set and shuffle the logos at the same moment, round after
// round, starting each time from logos the program never touched: the
// backup names every logo once, its copies are the logos as they were, and
// the store keeps every picture once.
TEST_F(ProcessLockRuns, TwoWritersAtOnceKeepTheOriginals) {
  const std::map<uint32_t, std::string> originals = {{POS_STARTUP, "startup logo of the vendor"},
                                                     {POS_WAIT, "wait logo of the vendor"}};
  const std::string turnoff = DefaultLogoFile(POS_TURNOFF);  // did not exist
  const std::string out = xdg_.Root() + "out";
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    test::RemoveTree(BackupDir());
    ::unlink(turnoff.c_str());
    for (const auto& [p, bytes] : originals) test::WriteWhole(DefaultLogoFile(p), bytes);
    const std::string kvo = Q(KVO_CLI_PATH);
    Sh("( " + kvo + " set Custom--a --startup --wait --turnoff; echo status $? ) >" + Q(out + "1") +
       " 2>&1 & ( " + kvo + " shuffle; echo status $? ) >" + Q(out + "2") + " 2>&1 & wait");
    for (const char* n : {"1", "2"}) {
      const std::string o = test::ReadWhole(out + n);
      EXPECT_TRUE(o.ends_with("status 0\n") || o.find(CHANGE_LOCK_BUSY) != std::string::npos) << o;
    }
    // Every logo is named by one command; nothing else is in the backup.
    std::map<std::string, std::string> command;  // logo -> its backup copy ("" for del)
    std::set<std::string> copies;
    std::string bat = test::ReadWhole(RestoreBatFile());
    for (size_t at = 0, eol; at < bat.size(); at = eol + 1) {
      eol = bat.find('\n', at);
      if (eol == std::string::npos) eol = bat.size();
      std::string line = bat.substr(at, eol - at);
      if (!line.starts_with("copy") && !line.starts_with("del")) continue;
      bool copy = line.starts_with("copy");
      std::string logo = PathFromGuest(ManagedDrive(), QuotedField(line, copy ? 2 : 1));
      std::string backup = copy ? PathFromGuest(ManagedDrive(), QuotedField(line, 1)) : "";
      EXPECT_TRUE(command.emplace(logo, backup).second) << "named twice: " << logo;
      if (copy) copies.insert(ExtractFileName(backup));
    }
    ASSERT_EQ(command.size(), 3u) << bat;
    EXPECT_EQ(command[turnoff], "");
    // (Compared whole, named briefly: a wrong copy is a logo of 129078 bytes.)
    for (const auto& [p, bytes] : originals) {
      const std::string& copy = command[DefaultLogoFile(p)];
      EXPECT_TRUE(test::ReadWhole(copy) == bytes) << copy;
    }
    test::TPipeRun ls = Sh("LC_ALL=C ls " + Q(BackupDir()));
    std::string listed;
    for (const std::string& c : copies) listed += c + "\n";
    EXPECT_EQ(ls.Out, listed + "restore.bat\n");
    // The store lists every picture once, and nothing else is in it.
    EXPECT_EQ(Sh("LC_ALL=C ls " + Q(GetStorageDir())).Out,
              "Custom--a.kvo\nCustom--b.kvo\nCustom--c.kvo\n");
    test::TPipeRun list = Kvo("list");
    EXPECT_NE(list.Out.find("3 images"), std::string::npos) << list.Out;
  }
  ASSERT_EQ(Kvo("restore").Status, 0);
  for (const auto& [p, bytes] : originals) EXPECT_EQ(test::ReadWhole(DefaultLogoFile(p)), bytes);
  EXPECT_FALSE(FileExists(turnoff));
}

}  // namespace
}  // namespace kvo
