// SPDX-License-Identifier: GPL-3.0-or-later
// The in-use check names a process that writes to the image however it
// reached the file, and waits on no other process's file system.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace kvo {
namespace {

class ImageUseTest : public testing::Test {
 protected:
  // Runs Script in bash beside $IMG, a floppy image with a WINDOWS folder and
  // the picture "dawn" (made on the first run); `set_wait` sets its wait logo
  // within a minute, `await` waits 10 s at most; the EXIT trap runs $undo.
  test::TPipeRun Run(const std::string& Script) {
    const std::string dir = xdg_.Root() + "vm";
    const std::string prelude = "export MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 DIR=" + test::ShellQuoted(dir) +
                                " IMG=" + test::ShellQuoted(dir + "/w95.ima") + " CLI=" + test::ShellQuoted(KVO_CLI_PATH) + R"sh(
set -o pipefail; undo=:; trap 'eval "$undo"' EXIT
set_wait() { timeout -k 5 60 "$CLI" --drive "$IMG" set Custom--dawn --wait; }
await() { for i in $(seq 200); do eval "$1" && return 0; sleep 0.05; done; echo "never: $1"; exit 98; }
[ -e "$IMG" ] || { mkdir -p "$DIR" && convert -size 320x400 gradient:navy-orange "$DIR/dawn.png" &&
  mkfs.fat -F 12 -C "$IMG" 1440 >/dev/null && mmd -i "$IMG" ::WINDOWS && "$CLI" --drive "$IMG" add "$DIR/dawn.png" >/dev/null; } || exit 99
)sh";
    return test::RunShell("bash -c " + test::ShellQuoted(prelude + Script) + " 2>&1 </dev/null");
  }
  test::ScopedXdg xdg_;
};

// The holder is `sleep` with the image on descriptor 7; kvo's words show
// its process id as HOLDER.
const std::string kHeld = R"sh( & h=$!; undo="kill -9 $h; wait $h; $undo"
await '[ -e /proc/$h/fdinfo/7 ] && grep -qx sleep /proc/$h/comm'; set_wait 2>&1 | sed "s/(process $h)/(process HOLDER)/")sh";

TEST_F(ImageUseTest, AWriterIsNamedHoweverItReachedTheImageAndAReaderIsNot) {
  struct TCase { const char* What; std::string Hold; bool Refused; };
  const std::vector<TCase> cases = {
      {"writing", R"(sleep 600 7<>"$IMG")", true},
      {"reading", R"(sleep 600 7<"$IMG")", false},
      // The same file under a mount of its own, and under a mount our own
      // table does not list; exit 77 where that cannot be made.
      {"writing through a bind mount", R"sh(mkdir "$DIR.bind" && mount --bind "$DIR" "$DIR.bind" || exit 77
undo='umount "$DIR.bind"'; sleep 600 7<>"$DIR.bind/w95.ima")sh", true},
      {"writing in another mount namespace",
       R"sh(unshare -m true || exit 77; unshare -m sh -c 'exec sleep 600 7<>"$IMG"')sh", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    test::TPipeRun r = Run(c.Hold + kHeld);
    if (r.Status == 77) continue;
    EXPECT_EQ(r.Status, c.Refused ? 1 : 0) << r.Out;
    EXPECT_EQ(r.Out.find("in use by sleep (process HOLDER); close the virtual machine first.") != std::string::npos,
              c.Refused) << r.Out;
  }
}

// A file held open on a FUSE export whose daemon is stopped: anything that
// asks that file system about the file waits for ever. The daemon answers
// again before the holder goes (its last close waits for the daemon).
TEST_F(ImageUseTest, AFrozenMountElsewhereDoesNotHoldTheCheckUp) {
  test::TPipeRun r = Run(R"sh(truncate -s 1M "$DIR/other.raw" && touch "$DIR/export" || exit 99
qemu-storage-daemon --blockdev "{\"driver\":\"file\",\"filename\":\"$DIR/other.raw\",\"node-name\":\"n\"}" \
  --export "{\"type\":\"fuse\",\"id\":\"e\",\"node-name\":\"n\",\"mountpoint\":\"$DIR/export\",\"writable\":true}" &
d=$!; undo='kill -CONT $d; kill $d; wait $d; fusermount3 -u -z "$DIR/export" 2>/dev/null'
await 'findmnt "$DIR/export" >/dev/null'
sleep 600 7<>"$DIR/export" & h=$!; undo="kill -CONT $d; kill -9 $h; wait $h; $undo"
await '[ -e /proc/$h/fdinfo/7 ]'
kill -STOP $d; await 'grep -q ") T " /proc/$d/stat'
sleep 1.5  # the kernel forgets what the daemon last said of the file
set_wait)sh");
  EXPECT_EQ(r.Status, 0) << r.Out;
}

}  // namespace
}  // namespace kvo
