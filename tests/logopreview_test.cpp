// SPDX-License-Identifier: GPL-3.0-or-later
// The Startup logo shown moving: the palette rotation against the composer's
// own logos, the current logo read back with its important-colours count,
// and the animated GIF as ImageMagick and Pillow read it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "core/Composer.h"
#include "core/Locations.h"
#include "core/LogoPreview.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "formats/ConForm.h"
#include "platform/FaultInject.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

bool SameEntry(const TPalette& A, int I, const TPalette& B, int J) {
  return std::memcmp(A[I], B[J], 3) == 0;
}

class LogoPreview : public testing::Test {
 protected:
  void SetUp() override {
    Settings() = TSettings{};
    // No message: the composed picture is the stored one plus the bars.
    for (bool& on : Settings().MsgEnabled) on = false;
    SetStorageDir(xdg_.Root() + "store");
    ASSERT_TRUE(MakeLongDir(GetStorageDir()));
    for (uint32_t p : POSITIONS) SetLogoFile(p, xdg_.Root() + "logo" + std::to_string(p) + ".sys");
    // Diagonal stripes through entries 1 .. 235 of a colourful palette.
    TImg img;
    ImgAlloc(img, LOGO_WIDTH, LOGO_HEIGHT, 8);
    for (int i = 1; i < 236; ++i) {
      img.Palette[i][0] = static_cast<uint8_t>(i);
      img.Palette[i][1] = static_cast<uint8_t>(255 - i);
      img.Palette[i][2] = static_cast<uint8_t>(i * 7);
    }
    for (int y = 0; y < LOGO_HEIGHT; ++y)
      for (int x = 0; x < LOGO_WIDTH; ++x)
        img.Data[y * LOGO_WIDTH + x] = static_cast<uint8_t>(1 + (x + y) % 235);
    stored_ = GetStorageDir() + "Custom--Stripes.kvo";
    ASSERT_TRUE(SaveStoredPicture(stored_, img, TLogoMarks{POS_ALL, 0, MARKS_SIZE}));
    ImgFree(img);
  }
  void TearDown() override { ClearError(); }

  // The picture frame K of a GIF should show: each index through the
  // palette of step K, as red, green, blue bytes.
  static std::string ExpectedRgb(const TImg& Img, int32_t Important, int32_t K) {
    TPalette p;
    RotateAnimPalette(Img.Palette, Important, K, p);
    std::string rgb;
    rgb.reserve(static_cast<size_t>(Img.Width) * Img.Height * 3);
    for (int64_t i = 0; i < static_cast<int64_t>(Img.Width) * Img.Height; ++i) {
      const uint8_t* e = p[Img.Data[i]];
      for (int c : {2, 1, 0}) rgb += static_cast<char>(e[c]);
    }
    return rgb;
  }

  test::ScopedXdg xdg_;
  std::string stored_;
};

TEST_F(LogoPreview, RotationOfTheComposedStartupLogo) {
  TImg img;
  int32_t important = 0;
  ASSERT_TRUE(ComposeStoredLogo(stored_, POS_STARTUP, img, important));
  ASSERT_EQ(important, ANIM_FIRST);
  ASSERT_EQ(AnimCycleLength(img, important), 20);
  // The composer's palette: smooth scroll between the default colours.
  TPalette composed;
  std::memcpy(composed, img.Palette, sizeof composed);
  TPalette step;
  RotateAnimPalette(composed, important, 0, step);
  EXPECT_EQ(std::memcmp(step, composed, sizeof step), 0);
  for (int k = 1; k <= 20; ++k) {
    RotateAnimPalette(composed, important, k, step);
    for (int i = 0; i < 236; ++i) ASSERT_TRUE(SameEntry(step, i, composed, i)) << k << " " << i;
    // Entry 236 + j shows what entry 236 + (j + k) mod 20 showed at step 0.
    for (int j = 0; j < 20; ++j)
      ASSERT_TRUE(SameEntry(step, 236 + j, composed, 236 + (j + k) % 20)) << k << " " << j;
  }
  // After a whole cycle the palette is the logo's again.
  EXPECT_EQ(std::memcmp(step, composed, sizeof step), 0);
  // Only the bottom bar moves.
  const TAnimArea a = AnimArea(img, important);
  EXPECT_EQ((std::vector<int32_t>{a.Left, a.Top, a.Width, a.Height}),
            (std::vector<int32_t>{0, 394, 320, 6}));
  ImgFree(img);
}

TEST_F(LogoPreview, ComposedPictureIsWhatSetWritesAndOnlyTheStartupLogoMoves) {
  ASSERT_TRUE(SetLogo(stored_, POS_STARTUP));
  TImg composed, current;
  int32_t important = 0, currentImportant = 0;
  ASSERT_TRUE(ComposeStoredLogo(stored_, POS_STARTUP, composed, important));
  LoadCurrentLogo(POS_STARTUP, current, currentImportant);
  ASSERT_TRUE(NoError()) << LastErrorText();
  EXPECT_EQ(currentImportant, ANIM_FIRST);
  ASSERT_EQ(current.Width * current.Height, composed.Width * composed.Height);
  EXPECT_EQ(std::memcmp(current.Data, composed.Data, 320 * 400), 0);
  EXPECT_EQ(std::memcmp(current.Palette, composed.Palette, sizeof(TPalette)), 0);
  ImgFree(composed);
  ImgFree(current);

  // Wait and Turn off never move, nor does a Startup logo with the
  // animation switched off.
  ASSERT_TRUE(ComposeStoredLogo(stored_, POS_WAIT, composed, important));
  EXPECT_EQ(important, ANIM_NONE);
  EXPECT_EQ(AnimCycleLength(composed, important), 0);
  ImgFree(composed);
  Settings().AnimEnabled = false;
  ASSERT_TRUE(ComposeStoredLogo(stored_, POS_STARTUP, composed, important));
  EXPECT_EQ(important, ANIM_NONE);
  ImgFree(composed);
  ASSERT_TRUE(SetLogo(stored_, POS_WAIT));
  // Showing a logo only reads it: nothing is opened for writing, so a logo
  // on a read-only drive shows as well.
  FaultInjectStart(0, EIO);
  LoadCurrentLogo(POS_WAIT, current, currentImportant);
  EXPECT_EQ(FaultInjectStop(), 0);
  EXPECT_EQ(currentImportant, ANIM_NONE);
  ImgFree(current);
}

TEST_F(LogoPreview, CurrentLogoHeaderIsTrustedOnlyWithinRange) {
  ASSERT_TRUE(SetLogo(stored_, POS_STARTUP));
  std::string bytes = test::ReadWhole(GetLogoFile(POS_STARTUP));
  TImg img;
  int32_t important = 0;
  for (uint32_t field : {0u, 256u, 300u, 0x10000ECu}) {
    for (int b = 0; b < 4; ++b) bytes[50 + b] = static_cast<char>((field >> (8 * b)) & 0xFF);
    test::WriteWhole(GetLogoFile(POS_STARTUP), bytes);
    LoadCurrentLogo(POS_STARTUP, img, important);
    EXPECT_TRUE(NoError()) << field;
    EXPECT_EQ(important, ANIM_NONE) << field;
    ImgFree(img);
  }
  // A missing logo is the reader's "cannot open" error, nothing shown.
  SetLogoFile(POS_TURNOFF, xdg_.Root() + "none.sys");
  MonitoredKeep("test", [&] { LoadCurrentLogo(POS_TURNOFF, img, important); });
  EXPECT_FALSE(NoError());
  ClearError();
  ImgFree(img);
}

// One cycle as ImageMagick and Pillow read it: 20 frames of 6/100 s that
// loop for ever, frame k the logo's indices through the palette of step k.
TEST_F(LogoPreview, GifOfOneCycleAsImageMagickAndPillowReadIt) {
  TImg img;
  int32_t important = 0;
  ASSERT_TRUE(ComposeStoredLogo(stored_, POS_STARTUP, img, important));
  const std::string gif = xdg_.Root() + "startup.gif";
  SaveAnimGif(gif, img, important, ANIM_STEPS_PER_SECOND, 1);
  ASSERT_TRUE(NoError()) << LastErrorText();
  EXPECT_EQ(GifFrameDelay(ANIM_STEPS_PER_SECOND), 6);  // 100 / 18, rounded

  const std::string q = test::ShellQuoted(gif);
  test::TPipeRun id = test::RunShell("identify -format '%T %w %h|' " + q);
  ASSERT_EQ(id.Status, 0) << "needs imagemagick";
  std::string want;
  for (int k = 0; k < 20; ++k) want += "6 320 400|";
  EXPECT_EQ(id.Out, want);
  test::TPipeRun iter = test::RunShell("identify -verbose " + q + "'[0]' | grep -i iterations");
  EXPECT_NE(iter.Out.find("Iterations: 0"), std::string::npos) << iter.Out;
  std::string expected;
  for (int k : {0, 1, 7, 19}) {
    const std::string rgb = xdg_.Root() + "frame.rgb";
    ASSERT_EQ(test::RunShell("convert " + q + "'[" + std::to_string(k) + "]' -depth 8 rgb:" +
                             test::ShellQuoted(rgb)).Status, 0);
    EXPECT_TRUE(test::ReadWhole(rgb) == ExpectedRgb(img, important, k)) << "frame " << k;
  }

  for (int k = 0; k < 20; ++k) expected += ExpectedRgb(img, important, k);
  const std::string all = xdg_.Root() + "expected.rgb";
  test::WriteWhole(all, expected);
  // Pillow: frame count, loop, duration (ms), every frame's pixels; and the
  // doubled GIF shows the same frames at 640 x 800.
  const std::string gif2 = xdg_.Root() + "startup2.gif";
  SaveAnimGif(gif2, img, important, ANIM_STEPS_PER_SECOND, 2);
  ASSERT_TRUE(NoError()) << LastErrorText();
  const std::string script =
      "import sys\nfrom PIL import Image\n"
      "im = Image.open(sys.argv[1]); im2 = Image.open(sys.argv[3])\n"
      "want = open(sys.argv[2], 'rb').read(); n = 320 * 400 * 3; bad = 0; bad2 = 0\n"
      "for k in range(im.n_frames):\n"
      "  im.seek(k); im2.seek(k)\n"
      "  f = im.convert('RGB').tobytes()\n"
      "  bad += f != want[k * n:(k + 1) * n]\n"
      "  bad2 += im2.convert('RGB').resize((320, 400), Image.NEAREST).tobytes() != f\n"
      "print(im.n_frames, im.info.get('loop'), im.info.get('duration'), bad, im2.size, "
      "im2.n_frames, bad2)\n";
  test::WriteWhole(xdg_.Root() + "check.py", script);
  test::TPipeRun pil =
      test::RunShell("/usr/bin/python3 " + test::ShellQuoted(xdg_.Root() + "check.py") + " " + q +
                     " " + test::ShellQuoted(all) + " " + test::ShellQuoted(gif2) + " 2>&1");
  EXPECT_EQ(pil.Out, "20 0 60 0 (640, 800) 20 0\n");
  ImgFree(img);
}

TEST_F(LogoPreview, StillLogoGivesOneFrameAndFailuresLeaveTheOldFile) {
  TImg img;
  int32_t important = 0;
  ASSERT_TRUE(ComposeStoredLogo(stored_, POS_WAIT, img, important));
  const std::string gif = xdg_.Root() + "wait.gif";
  SaveAnimGif(gif, img, important, ANIM_STEPS_PER_SECOND, 1);
  ASSERT_TRUE(NoError());
  EXPECT_EQ(test::RunShell("identify -format '%T %w %h|' " + test::ShellQuoted(gif)).Out,
            "6 320 400|");
  const std::string nowhere = xdg_.Root() + "no/such/folder.gif";
  MonitoredKeep("test", [&] { SaveAnimGif(nowhere, img, important, 18, 1); });
  EXPECT_EQ(LastErrorText(), "Cannot create file: " + nowhere);
  ClearError();
  const std::string old = test::ReadWhole(gif);
  MonitoredKeep("test", [&] { SaveAnimGif(gif, img, important, 18, 3); });
  EXPECT_FALSE(NoError());
  ClearError();
  EXPECT_EQ(test::ReadWhole(gif), old);
  // A target that cannot be replaced (a folder): refused, nothing written.
  const std::string folder = xdg_.Root() + "taken.gif";
  ASSERT_TRUE(MakeLongDir(folder));
  MonitoredKeep("test", [&] { SaveAnimGif(folder, img, important, 18, 1); });
  EXPECT_EQ(LastErrorText(), "Cannot create file: " + folder);
  ClearError();
  EXPECT_EQ(test::RunShell("ls -A " + test::ShellQuoted(xdg_.Root()) + " | grep -c taken").Out,
            "1\n");
  ImgFree(img);
}

}  // namespace
}  // namespace kvo
