// SPDX-License-Identifier: GPL-3.0-or-later
// The Startup logo shown moving: the viewed logo, the main preview as the
// Startup logo, the boot preview, the options' sample and the export. Run
// on the offscreen platform and once more under Xvfb (ctest's
// kvo_ui_tests_xvfb), where the screenshots are taken from the X screen.
// With KVO_UI_SHOTS naming a folder, the boot preview is saved there.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QPixmap>
#include <QScreen>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "core/Composer.h"
#include "core/Locations.h"
#include "core/LogoPreview.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"
#include "ui/CtlDisplay.h"
#include "ui/wBootPreview.h"
#include "ui/wMain.h"
#include "ui/wOptions.h"

namespace kvo {
namespace {

// Lets the event loop run for Ms milliseconds.
void RunEvents(int Ms) {
  QEventLoop loop;
  QTimer::singleShot(Ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// The window as it is on screen: from the X server under Xvfb, else as
// the widget draws itself.
QImage Shot(QWidget* W) {
  RunEvents(100);
  if (QGuiApplication::platformName() == QLatin1String("xcb"))
    return W->screen()->grabWindow(W->winId()).toImage().convertToFormat(QImage::Format_RGB32);
  return W->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The rectangle of pixels that differ between A and B (empty when none).
QRect Differences(const QImage& A, const QImage& B) {
  QRect r;
  if (A.size() != B.size()) return QRect(0, 0, -1, -1);
  for (int y = 0; y < A.height(); ++y)
    for (int x = 0; x < A.width(); ++x)
      if (A.pixel(x, y) != B.pixel(x, y)) r |= QRect(x, y, 1, 1);
  return r;
}

// Waits until the display has moved Steps steps on.
bool WaitSteps(TDisplayControl* D, int Steps) {
  const int from = D->AnimStep();
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 3000) {
    RunEvents(20);
    if ((D->AnimStep() - from + 20) % 20 >= Steps) return true;
  }
  return false;
}

// This process's CPU time (user + system) in clock ticks.
long long CpuTicks() {
  FILE* f = std::fopen("/proc/self/stat", "r");
  if (!f) return -1;
  char buf[1024] = {};
  const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  // The fields after the command name, which is in parentheses: utime and
  // stime are the 12th and 13th of them.
  const char* p = std::strrchr(buf, ')');
  if (!p) return -1;
  long long utime = 0, stime = 0;
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &utime,
                  &stime) != 2)
    return -1;
  return utime + stime;
}

class LogoAnimation : public testing::Test {
 protected:
  void SetUp() override {
    LoadSettings(true);
    for (bool& on : Settings().MsgEnabled) on = false;
    Settings().AnimEnabled = true;
    Settings().AnimShape = ANIM_BOTTOM;
    ASSERT_TRUE(MakeLongDir(GetStorageDir()));
    TImg img;
    ImgAlloc(img, LOGO_WIDTH, LOGO_HEIGHT, 8);
    std::memset(img.Data, 1, static_cast<size_t>(LOGO_WIDTH) * LOGO_HEIGHT);
    img.Palette[1][1] = 160;
    stored_ = GetStorageDir() + "Custom--Green.kvo";
    ASSERT_TRUE(SaveStoredPicture(stored_, img, TLogoMarks{POS_ALL, 0, MARKS_SIZE}));
    ImgFree(img);
    ASSERT_TRUE(SetLogo(stored_, POS_STARTUP));
    ASSERT_TRUE(SetLogo(stored_, POS_WAIT));
  }
  void TearDown() override { ClearError(); }

  std::unique_ptr<TfrmMain> Open() {
    auto w = std::make_unique<TfrmMain>();
    w->SetSettingsLoaded(true);  // the settings of SetUp, not those on disk
    w->show();
    RunEvents(200);
    return w;
  }

  // Where in the window the display's moving part is.
  static QRect MovingArea(TfrmMain& W) {
    TDisplayControl* d = W.Preview.Display;
    const TAnimArea a = AnimArea(d->Picture(), ANIM_FIRST);
    return QRect(d->mapTo(&W, QPoint(a.Left, a.Top)), QSize(a.Width, a.Height));
  }

  test::ScopedXdg xdg_;
  test::ScriptedDialogs dialogs_;
  std::string stored_;
};

TEST_F(LogoAnimation, ViewedStartupLogoMovesInItsBarAloneAndWaitLogoStandsStill) {
  auto w = Open();
  w->ViewLogo(POS_STARTUP);
  TDisplayControl* d = w->Preview.Display;
  ASSERT_TRUE(d->Animating());
  const QRect bar = MovingArea(*w);
  ASSERT_FALSE(bar.isEmpty());
  const QImage before = Shot(w.get());
  ASSERT_TRUE(WaitSteps(d, 3));
  const QImage after = Shot(w.get());
  const QRect changed = Differences(before, after);
  EXPECT_FALSE(changed.isEmpty());
  EXPECT_TRUE(bar.contains(changed)) << "bar " << bar.x() << "," << bar.y() << " " << bar.width()
                                     << "x" << bar.height() << "; changed " << changed.x() << ","
                                     << changed.y() << " " << changed.width() << "x"
                                     << changed.height();
  // The pixels stay; only the palette moves.
  const TImg& p = d->Picture();
  const std::string pixels(reinterpret_cast<const char*>(p.Data),
                           static_cast<size_t>(p.Width) * p.Height);
  d->Step();
  EXPECT_EQ(std::memcmp(pixels.data(), p.Data, pixels.size()), 0);

  w->ViewLogo(POS_WAIT);
  EXPECT_FALSE(d->Animating());
  const QImage still = Shot(w.get());
  RunEvents(300);
  EXPECT_TRUE(Differences(still, Shot(w.get())).isEmpty());
  w->EndSession();
}

TEST_F(LogoAnimation, StopsWhileHiddenOrMinimisedAndWithoutAnimation) {
  auto w = Open();
  w->ViewLogo(POS_STARTUP);
  TDisplayControl* d = w->Preview.Display;
  EXPECT_TRUE(d->Animating());
  w->showMinimized();
  RunEvents(100);
  EXPECT_FALSE(d->Animating());
  w->showNormal();
  RunEvents(100);
  EXPECT_TRUE(d->Animating());
  w->hide();
  EXPECT_FALSE(d->Animating());
  w->show();
  RunEvents(100);
  EXPECT_TRUE(d->Animating());
  // The stored picture itself does not move; as the Startup logo it does,
  // unless the animation is off.
  w->SelectIndex(0);
  EXPECT_FALSE(d->Animating());
  w->mnuViewAsStartup->setChecked(true);
  EXPECT_TRUE(d->Animating());
  Settings().AnimEnabled = false;
  w->ShowPreviewOfCurrent();
  EXPECT_FALSE(d->Animating());
  w->EndSession();
}

// An unanimated logo on screen costs nothing: no timer, no repaints. Only
// this process's own CPU time counts, so a busy machine does not matter.
TEST_F(LogoAnimation, IdlePreviewUsesUnderOnePercentOfACore) {
  auto w = Open();
  w->ViewLogo(POS_WAIT);
  RunEvents(300);
  const long long before = CpuTicks();
  ASSERT_GE(before, 0);
  RunEvents(5000);
  const long long used = CpuTicks() - before;
  // 1 % of 5 s.
  EXPECT_LT(used * 100, 5 * sysconf(_SC_CLK_TCK)) << used << " ticks";
  w->EndSession();
}

TEST_F(LogoAnimation, BootPreviewFillsTheScreenAt4To3AndAnyKeyEndsIt) {
  auto w = Open();
  w->ViewLogo(POS_STARTUP);
  w->mnuBootPreview->trigger();
  TfrmBootPreview* boot = w->BootPreviewForm();
  ASSERT_NE(boot, nullptr);
  RunEvents(300);
  // The whole screen (Xvfb has no window manager to make it full screen).
  EXPECT_EQ(boot->geometry(), boot->screen()->geometry());
  int32_t x = 0, y = 0, bw = 0, bh = 0;
  BootPictureRect(boot->width(), boot->height(), x, y, bw, bh);
  EXPECT_EQ(boot->Display->geometry(), QRect(x, y, bw, bh));
  EXPECT_NEAR(bw * 3.0 / (bh * 4.0), 1.0, 0.005);
  EXPECT_TRUE(bw == boot->width() || bh == boot->height());
  EXPECT_TRUE(boot->Display->Animating());
  const QImage shot = Shot(boot);
  if (const char* folder = std::getenv("KVO_UI_SHOTS"); folder && *folder) {
    EXPECT_TRUE(shot.save(QString::fromLocal8Bit(folder) + "/boot-preview.png"));
  }
  // The picture's green in the middle, black around a picture narrower
  // than the screen, the bar's colours at the bottom.
  EXPECT_EQ(shot.pixel(shot.width() / 2, shot.height() / 2), qRgb(0, 160, 0));
  if (x > 0) {
    EXPECT_EQ(shot.pixel(x / 2, shot.height() / 2), qRgb(0, 0, 0));
  }
  EXPECT_NE(shot.pixel(shot.width() / 2, y + bh - 2), qRgb(0, 160, 0));
  QKeyEvent key(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier);
  QCoreApplication::sendEvent(boot, &key);
  RunEvents(100);
  EXPECT_EQ(w->BootPreviewForm(), nullptr);
  // F11 on the stored picture: composed as the Startup logo.
  w->SelectIndex(0);
  w->BootPreview();
  RunEvents(200);
  ASSERT_NE(w->BootPreviewForm(), nullptr);
  EXPECT_TRUE(w->BootPreviewForm()->Display->Animating());
  w->BootPreviewForm()->close();
  w->EndSession();
}

TEST_F(LogoAnimation, OptionsSampleFollowsShapeMovementAndSwitch) {
  TOptionsCopy copy = OptionsFromSettings();
  TfrmOptions f(copy);
  f.show();
  RunEvents(100);
  TDisplayControl* s = f.dspAnimSample;
  ASSERT_NE(s, nullptr);
  // It moves only while its page is shown.
  EXPECT_FALSE(s->Animating());
  f.pgOptions->setCurrentIndex(4);
  RunEvents(50);
  EXPECT_TRUE(s->Animating());
  if (const char* folder = std::getenv("KVO_UI_SHOTS"); folder && *folder) {
    EXPECT_TRUE(Shot(&f).save(QString::fromLocal8Bit(folder) + "/options-animation.png"));
  }
  auto pixels = [&] {
    return std::string(reinterpret_cast<const char*>(s->Picture().Data),
                       static_cast<size_t>(s->Picture().Width) * s->Picture().Height);
  };
  // The bottom bar: the last six rows of the sample.
  EXPECT_GE(static_cast<uint8_t>(pixels()[ANIM_SAMPLE_WIDTH * (ANIM_SAMPLE_HEIGHT - 1)]), 236);
  const std::string bottom = pixels();
  f.lstAnimShape->setCurrentIndex(ANIM_VERTICAL);
  EXPECT_NE(pixels(), bottom);
  EXPECT_GE(static_cast<uint8_t>(pixels()[ANIM_SAMPLE_WIDTH * 50]), 236);
  const std::string smooth = pixels();
  f.lstAnimMove->setCurrentIndex(ANIM_VEGAS);
  EXPECT_NE(pixels(), smooth);
  f.chkAnimEnabled->setChecked(false);
  EXPECT_FALSE(s->Animating());
  f.chkAnimEnabled->setChecked(true);
  EXPECT_TRUE(s->Animating());
  f.hide();
  EXPECT_FALSE(s->Animating());
}

TEST_F(LogoAnimation, ExportPreviewWritesTheSelectedPictureAsStartupLogo) {
  auto w = Open();
  const std::string gif = xdg_.Root() + "exported.gif";
  Dialogs().FileSave = [&](const std::string&, std::string&, const std::string&, int32_t&,
                           std::string& File) {
    EXPECT_EQ(File, "Custom--Green.gif");
    File = gif;
    return true;
  };
  w->SelectIndex(0);
  w->mnuExportPreview->trigger();
  EXPECT_EQ(test::RunShell("identify -format '%T|' " + test::ShellQuoted(gif)).Out,
            "6|6|6|6|6|6|6|6|6|6|6|6|6|6|6|6|6|6|6|6|");
  EXPECT_TRUE(dialogs_.Errors.empty());
  // A file that is there is replaced only when the user says so.
  test::WriteWhole(gif, "mine");
  for (char answer : {'N', 'Y'}) {
    dialogs_.YesNoAnswers.push_back(answer);
    w->mnuExportPreview->trigger();
    EXPECT_EQ(test::ReadWhole(gif) == "mine", answer == 'N') << answer;
  }
  EXPECT_EQ(dialogs_.Questions.size(), 2u);
  w->EndSession();
}

}  // namespace
}  // namespace kvo
