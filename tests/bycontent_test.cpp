// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures recognised by their content (logos named as Windows names them,
// pictures without an extension, stored pictures), and transparency
// blended onto the logo's black background, checked against Pillow.
#include <gtest/gtest.h>

#include <string>

#include "core/Locations.h"
#include "core/Settings.h"
#include "core/StoreDrop.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

// Writes the sources, 320 x 400 each so that the import neither fits nor
// scales them and every stored pixel comes from one source pixel. A few
// colours only, so the logo palette holds them all at its 6-bit precision.
constexpr const char* kMakeSources = R"(
import os, sys
from PIL import Image
d = sys.argv[1]
W, H = 320, 400
def rgba(x, y):
    band = (x // 80) % 4
    if y < 100: return (255, 0, 255, 0)          # hidden magenta
    if y < 200: return (200, 100, 50, 128)       # half
    if y < 300: return (40 + 60 * band, 220, 90, 64 + 64 * band)
    return (10, 20, 250, 255)
half = Image.new('RGBA', (W, H))
half.putdata([rgba(x, y) for y in range(H) for x in range(W)])
for ext in ('png', 'tga', 'tif', 'sgi'):
    half.save(d + 'half.' + ext)
logo = Image.new('P', (W, H)); logo.putpalette([(i * 37) % 256 for i in range(768)])
logo.putdata([(x // 20 + y // 25) % 16 for y in range(H) for x in range(W)])
logo.save(d + 'logo.bmp'); os.rename(d + 'logo.bmp', d + 'LOGO.SYS')
quads = [(200, 40, 40), (40, 200, 40), (40, 40, 200), (240, 240, 0)]
photo = Image.new('RGB', (W, H))
photo.putdata([quads[x // 160 + 2 * (y // 200)] for y in range(H) for x in range(W)])
photo.save(d + 'photo.png'); os.rename(d + 'photo.png', d + 'photo')
key = Image.new('P', (W, H)); key.putpalette([255, 0, 255, 0, 255, 0] + [0] * 762)
key.putdata([0 if x < 160 else 1 for y in range(H) for x in range(W)])
key.save(d + 'key.gif', transparency=0)
)";

// The number of pixels where the stored picture differs from the source
// composited onto black, at the logo palette's 6-bit precision.
constexpr const char* kCompare = R"(
import sys
from PIL import Image
src = Image.open(sys.argv[1]).convert('RGBA')
want = Image.alpha_composite(Image.new('RGBA', src.size, (0, 0, 0, 255)), src).convert('RGB')
got = Image.open(sys.argv[2]).convert('RGB')
print(sum(1 for a, b in zip(want.getdata(), got.getdata()) if tuple(v & 0xFC for v in a) != b))
)";

std::string Python(const char* Script, const std::string& Args) {
  return test::RunShell("/usr/bin/python3 -c " + test::ShellQuoted(Script) + " " + Args + " 2>&1")
      .Out;
}

test::TPipeRun Kvo(const std::string& Args) {
  return test::RunShell(std::string("'") + KVO_CLI_PATH + "' " + Args + " 2>&1 </dev/null");
}

class ByContent : public testing::Test {
 protected:
  void SetUp() override {
    src_ = xdg_.Root() + "src/";
    ASSERT_TRUE(EnsureFolder(src_));
    ASSERT_EQ(Python(kMakeSources, test::ShellQuoted(src_)), "");
    Settings() = TSettings{};
    SetStorageDir(DefaultStorageDir());
  }
  std::string Src(const std::string& Name) const { return test::ShellQuoted(src_ + Name); }
  test::ScopedXdg xdg_;
  std::string src_;
};

// Each source is added by kvo add and stored as Pillow sees it on black:
// logos under their Windows names and a PNG without extension by their
// signatures, transparent pixels black in every reader that has alpha.
TEST_F(ByContent, AddedPicturesAreStoredAsPillowSeesThemOnBlack) {
  const struct {
    const char* File;
    const char* Name;  // stored as Custom--NAME.kvo
  } rows[] = {
      {"LOGO.SYS", "LOGO"},  {"photo", "photo"},    {"half.png", "half"},  {"key.gif", "key"},
      {"half.tga", "half1"}, {"half.tif", "half2"}, {"half.sgi", "half3"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.File);
    const std::string stored = GetStorageDir() + "Custom--" + row.Name + ".kvo";
    const test::TPipeRun add = Kvo("add --rename-to Custom--" + std::string(row.Name) + " " + Src(row.File));
    ASSERT_EQ(add.Status, 0) << add.Out;
    ASSERT_TRUE(FileExists(stored)) << add.Out;
    EXPECT_EQ(Python(kCompare, Src(row.File) + " " + test::ShellQuoted(stored)), "0\n");
  }
  // A stored picture is examined like any other (a PNG under its own
  // extension); a name that leads to no file says so.
  test::TPipeRun info = Kvo("info " + test::ShellQuoted(GetStorageDir() + "Custom--LOGO.kvo"));
  EXPECT_EQ(info.Status, 0) << info.Out;
  EXPECT_NE(info.Out.find("PNG, Portable Network Graphics (PNG)"), std::string::npos) << info.Out;
  const test::TPipeRun missing = Kvo("add " + Src("missing.jpg"));
  EXPECT_EQ(missing.Status, 1);
  EXPECT_NE(missing.Out.find("missing.jpg: File not exist."), std::string::npos) << missing.Out;
  EXPECT_EQ(missing.Out.find("Format not supported"), std::string::npos) << missing.Out;
}

// A logo dropped on the window is added; a dropped folder gives its
// pictures by extension and, where the extension names nothing, by
// signature; other files stay out.
TEST_F(ByContent, DropsAndFoldersTakeLogosAndPicturesWithoutExtension) {
  test::WriteWhole(src_ + "readme.txt", "LOGO.SYS is the startup logo\n");
  test::WriteWhole(src_ + "LOGOW.SYS", test::ReadWhole(src_ + "LOGO.SYS"));
  const std::vector<std::string> want = {src_ + "LOGO.SYS", src_ + "LOGOW.SYS", src_ + "half.png",
                                         src_ + "half.sgi", src_ + "half.tga", src_ + "half.tif",
                                         src_ + "key.gif",  src_ + "photo"};
  EXPECT_EQ(PicturesInFolder(src_), want);

  test::ScriptedDialogs dialogs;
  AddDroppedFiles({src_ + "LOGOW.SYS"});
  EXPECT_TRUE(dialogs.Errors.empty()) << dialogs.Errors.front();
  EXPECT_TRUE(FileExists(GetStorageDir() + "Custom--LOGOW.kvo"));
}

}  // namespace
}  // namespace kvo
