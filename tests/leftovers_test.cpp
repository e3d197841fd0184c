// SPDX-License-Identifier: GPL-3.0-or-later
// Scratch files that runs which ended halfway left behind (a killed save, a
// failing disk) are removed at the next start, and never one that another
// run is writing right now.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>
#include <utime.h>

#include <ctime>
#include <string>

#include "base/MiscProcs.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

std::string Q(const std::string& S) { return test::ShellQuoted(S); }

test::TPipeRun Sh(const std::string& Command) {
  return test::RunShell("MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 " + Command + " 2>&1 </dev/null");
}

// The number of a process that has ended: a child that exited and was reaped.
pid_t GonePid() {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

// A scratch file last written Seconds ago.
void Leave(const std::string& Path, time_t Seconds = 0) {
  test::WriteWhole(Path, "half a file");
  const time_t then = std::time(nullptr) - Seconds;
  struct utimbuf times {then, then};
  ASSERT_EQ(::utime(Path.c_str(), &times), 0);
}

// The change lock held as another run holds it: through a file description
// of its own, which this process's locks do not share.
class TOtherRun {
 public:
  TOtherRun() : Fd_(::open(ChangeLockFile().c_str(), O_RDWR | O_CREAT, 0644)) {
    EXPECT_EQ(::flock(Fd_, LOCK_EX | LOCK_NB), 0);
  }
  ~TOtherRun() { ::close(Fd_); }

 private:
  int Fd_;
};

class Leftovers : public testing::Test {
 protected:
  void SetUp() override {
    Settings() = TSettings{};
    SetStorageDir(DefaultStorageDir());
    for (uint32_t p : POSITIONS) SetLogoFile(p, DefaultLogoFile(p));
    store_ = GetStorageDir();
    settings_ = AddBS(GetAppDir());
    windows_ = ManagedDrive().WinFolder();
    ASSERT_TRUE(MakeLongDir(store_));
    ASSERT_TRUE(MakeLongDir(settings_));
  }
  test::ScopedXdg xdg_;
  std::string store_, settings_, windows_;
};

TEST_F(Leftovers, FilesOfGoneRunsGoThoseOfLiveRunsStay) {
  const std::string gone = std::to_string(GonePid()), live = std::to_string(::getppid());
  Leave(store_ + "Custom--a.kvo.kvo-new-" + gone);
  Leave(windows_ + "logow.sys.kvo-new-" + gone);
  Leave(windows_ + "logos.sys.kvo-new-" + gone + ".kvo-tmp-Zz78Yx");  // killed while writing it
  Leave(windows_ + "logos.sys.kvo-new-" + live);
  Leave(store_ + "Custom--b.kvo.kvo-tmp-Ab12Cd");
  Leave(settings_ + "kvo.ini.kvo-tmp-Xy34Ef");          // a settings save may be writing it
  Leave(settings_ + "registry.ini.kvo-tmp-Qw56Rt", 120);  // no save takes two minutes
  Leave(store_ + "Notes.kvo-new-draft");                  // not a scratch name: the user's
  Leave(store_ + "Custom--c.kvo");
  {
    // Another run is changing the store: its young file stays.
    TOtherRun other;
    RemoveLeftovers();
    EXPECT_FALSE(FileExists(store_ + "Custom--a.kvo.kvo-new-" + gone));
    EXPECT_FALSE(FileExists(windows_ + "logow.sys.kvo-new-" + gone));
    EXPECT_FALSE(FileExists(windows_ + "logos.sys.kvo-new-" + gone + ".kvo-tmp-Zz78Yx"));
    EXPECT_FALSE(FileExists(settings_ + "registry.ini.kvo-tmp-Qw56Rt"));
    EXPECT_TRUE(FileExists(store_ + "Custom--b.kvo.kvo-tmp-Ab12Cd"));
  }
  RemoveLeftovers();
  EXPECT_FALSE(FileExists(store_ + "Custom--b.kvo.kvo-tmp-Ab12Cd"));
  EXPECT_TRUE(FileExists(windows_ + "logos.sys.kvo-new-" + live));
  EXPECT_TRUE(FileExists(settings_ + "kvo.ini.kvo-tmp-Xy34Ef"));
  EXPECT_TRUE(FileExists(store_ + "Notes.kvo-new-draft"));
  EXPECT_TRUE(FileExists(store_ + "Custom--c.kvo"));
}

TEST_F(Leftovers, NothingYoungGoesWhenTheLockCannotBeTaken) {
  // A lock file that cannot be opened (a read-only settings folder) guards
  // nothing: another run may be writing its young file right now.
  const std::string lock = ChangeLockFile();
  ::unlink(lock.c_str());
  ASSERT_EQ(::symlink((xdg_.Root() + "no-such-folder/kvo.lock").c_str(), lock.c_str()), 0);
  Leave(store_ + "Custom--b.kvo.kvo-tmp-Ab12Cd");
  Leave(store_ + "Custom--c.kvo.kvo-tmp-Ef34Gh", 120);
  RemoveLeftovers();
  EXPECT_TRUE(FileExists(store_ + "Custom--b.kvo.kvo-tmp-Ab12Cd"));
  EXPECT_FALSE(FileExists(store_ + "Custom--c.kvo.kvo-tmp-Ef34Gh"));
  ::unlink(lock.c_str());
}

TEST_F(Leftovers, CopiesOfKilledImageRunsLeaveTheTemporaryFolder) {
  const std::string tmp = xdg_.Root() + "tmp/", old = getenv("TMPDIR") ? getenv("TMPDIR") : "";
  ASSERT_TRUE(MakeLongDir(tmp));
  ::setenv("TMPDIR", tmp.c_str(), 1);
  const std::string gone = std::to_string(GonePid()), live = std::to_string(::getppid());
  for (const std::string& name : {"kvo-drive-" + gone + "-Ab12Cd", "kvo-local-" + gone + "-Xy34Ef",
                                  "kvo-drive-" + live + "-Qw56Rt", "kvo-drive-" + gone + "-notes",
                                  "kvo-local-" + gone + "-Cd56Ef",
                                  "kvo-drive-" + gone + "-Gh78Ij.kvo-tmp-Kl90Mn"})
    Leave(tmp + name);
  // Another user's file of a gone process is theirs to remove.
  ASSERT_EQ(::chown((tmp + "kvo-local-" + gone + "-Cd56Ef").c_str(), ::getuid() + 1, ::getgid()),
            ::geteuid() == 0 ? 0 : -1);
  RemoveLeftovers();
  EXPECT_FALSE(FileExists(tmp + "kvo-drive-" + gone + "-Ab12Cd"));
  EXPECT_FALSE(FileExists(tmp + "kvo-local-" + gone + "-Xy34Ef"));
  EXPECT_FALSE(FileExists(tmp + "kvo-drive-" + gone + "-Gh78Ij.kvo-tmp-Kl90Mn"));
  EXPECT_TRUE(FileExists(tmp + "kvo-drive-" + live + "-Qw56Rt"));
  EXPECT_TRUE(FileExists(tmp + "kvo-drive-" + gone + "-notes"));
  EXPECT_EQ(FileExists(tmp + "kvo-local-" + gone + "-Cd56Ef"), ::geteuid() == 0);
  old.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", old.c_str(), 1);
}

TEST_F(Leftovers, TheProgramsRemoveThemAtStart) {
  const std::string app = "env -u DISPLAY -u WAYLAND_DISPLAY " + Q(KVO_APP_PATH);
  const std::string killed = store_ + "Custom--a.kvo.kvo-new-" + std::to_string(GonePid());
  Leave(killed);
  Leave(store_ + "Custom--b.kvo.kvo-tmp-Ab12Cd");
  ASSERT_EQ(Sh(Q(KVO_CLI_PATH) + " list").Status, 0);
  EXPECT_FALSE(FileExists(killed));
  EXPECT_FALSE(FileExists(store_ + "Custom--b.kvo.kvo-tmp-Ab12Cd"));
  const std::string logo = windows_ + "logow.sys.kvo-new-" + std::to_string(GonePid());
  Leave(logo);
  ASSERT_EQ(Sh(app + " /shuffle").Status, 0);
  EXPECT_FALSE(FileExists(logo));
}

TEST_F(Leftovers, AnImageLosesItsHalfInstalledFile) {
  const std::string img = xdg_.Root() + "w98.ima", kvonew = xdg_.Root() + "KVONEW.TMP";
  test::WriteWhole(kvonew, "half a logo");
  ASSERT_EQ(Sh("mkfs.fat -F 12 -C " + Q(img) + " 1440 >/dev/null && mmd -i " + Q(img) +
               " ::WINDOWS && mcopy -i " + Q(img) + " " + Q(kvonew) + " ::WINDOWS/KVONEW.TMP")
                .Status, 0);
  SetDriveOverride(img);
  for (uint32_t p : POSITIONS) SetLogoFile(p, DefaultLogoFile(p));
  {
    TOtherRun other;
    RemoveLeftovers();
    EXPECT_EQ(Sh("mtype -i " + Q(img) + " ::WINDOWS/KVONEW.TMP").Out, "half a logo");
  }
  RemoveLeftovers();
  EXPECT_NE(Sh("mtype -i " + Q(img) + " ::WINDOWS/KVONEW.TMP").Status, 0);
  SetDriveOverride("");
}

}  // namespace
}  // namespace kvo
