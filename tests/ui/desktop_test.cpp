// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as a desktop citizen: files and folders dropped on it,
// a picture pasted, a gallery dropped or named on the command line, and the
// size and place it comes back at. Offscreen, over the test's own XDG folders.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QImage>
#include <QMimeData>
#include <QUrl>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/Gallery.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "core/StoreDrop.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"
#include "ui/wMain.h"

namespace kvo {
namespace {

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadSettings(true);
    ASSERT_TRUE(MakeLongDir(GetStorageDir()));
    // Counts the resize questions and answers "border".
    Dialogs().ResizeDialog = [this](int32_t& Mode) {
      ++resizeAsked_;
      Mode = 0;
      return true;
    };
  }

  std::unique_ptr<TfrmMain> Open() {
    auto w = std::make_unique<TfrmMain>();
    w->show();
    return w;
  }

  // A PNG of one colour in Folder (under the test's root).
  std::string Picture(const std::string& Folder, const std::string& Name) {
    const std::string folder = xdg_.Root() + Folder;
    MakeLongDir(folder);
    QImage q(40, 50, QImage::Format_RGB32);
    q.fill(QColor(200, 60, 30));
    EXPECT_TRUE(q.save(QString::fromStdString(folder + Name)));
    return folder + Name;
  }

  // Drags Paths onto the window as a file manager does and lets the drop's
  // work run.
  static void Drop(TfrmMain& W, const std::vector<std::string>& Paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const std::string& p : Paths) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(p)));
    data.setUrls(urls);
    const QPoint at(400, 200);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&W, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&W, &drop);
    EXPECT_TRUE(drop.isAccepted());
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
  }

  static std::vector<std::string> Listed(const TfrmMain& W) {
    std::vector<std::string> names;
    for (int i = 0; i < W.lstFiles->count(); ++i) names.push_back(W.lstFiles->text(i).toStdString());
    return names;
  }

  test::ScopedXdg xdg_;
  test::ScriptedDialogs dialogs_;
  int resizeAsked_ = 0;
};

TEST_F(DesktopTest, DropOfTwoPicturesAndAFolderAddsThemWithOneResizeQuestion) {
  auto w = Open();
  const std::string a = Picture("drag/", "first.png");
  const std::string b = Picture("drag/", "second.bmp");
  Picture("drag/folder/", "inside.png");
  Picture("drag/folder/", "other.ppm");
  test::WriteWhole(xdg_.Root() + "drag/folder/notes.txt", "not a picture");
  Drop(*w, {a, b, xdg_.Root() + "drag/folder"});
  EXPECT_EQ(resizeAsked_, 1);
  EXPECT_EQ(Listed(*w), (std::vector<std::string>{"Custom--first.kvo", "Custom--inside.kvo",
                                                  "Custom--other.kvo", "Custom--second.kvo"}));
  EXPECT_TRUE(dialogs_.Errors.empty()) << dialogs_.Errors.front();
  // The same again: the overwrite question for each, as Add asks it.
  dialogs_.OverwriteAnswers = {2, 1};
  Drop(*w, {a, b});
  EXPECT_EQ(resizeAsked_, 2);
  EXPECT_EQ(dialogs_.OverwriteAsked, 2);
  EXPECT_EQ(w->lstFiles->count(), 4);
}

TEST_F(DesktopTest, PasteAddsTheClipboardPictureUnderATimedName) {
  auto w = Open();
  QGuiApplication::clipboard()->clear();
  w->mnuPaste->trigger();
  ASSERT_EQ(dialogs_.Infos.size(), 1u);
  EXPECT_EQ(dialogs_.Infos[0], "The clipboard holds no picture to add.");
  EXPECT_EQ(w->mnuPaste->shortcut(), QKeySequence(QKeySequence::Paste));

  QImage q(64, 64, QImage::Format_RGB32);
  q.fill(Qt::darkGreen);
  QGuiApplication::clipboard()->setImage(q);
  w->mnuPaste->trigger();
  EXPECT_EQ(resizeAsked_, 1);
  ASSERT_EQ(w->lstFiles->count(), 1);
  const std::string name = w->lstFiles->text(0).toStdString();
  EXPECT_TRUE(std::regex_match(name, std::regex(R"(Custom--Pasted-\d{8}-\d{6}\.kvo)"))) << name;
  EXPECT_EQ(w->lstFiles->currentRow(), 0);
  // 2026-12-08 09:30:05 local time.
  std::tm t{};
  t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 8, t.tm_hour = 9, t.tm_min = 30, t.tm_sec = 5;
  t.tm_isdst = -1;
  EXPECT_EQ(PastedName(std::mktime(&t)), "Pasted-20261208-093005");
}

TEST_F(DesktopTest, DroppedGalleryIsOpenedWhateverItsName) {
  const std::string source = Picture("gal/", "sunset.png");
  Settings().ResizeMode = 0;
  ASSERT_EQ(AddPictureFiles({source}), 0);
  // Packed under another prefix, into a file without the .gal extension.
  const std::string gallery = xdg_.Root() + "gal/holiday.bin";
  CreateGallery(gallery, "Trip", {0});
  ASSERT_TRUE(IsGalleryFile(gallery));
  EXPECT_FALSE(IsGalleryFile(source));

  auto w = Open();
  ASSERT_EQ(w->lstFiles->count(), 1);
  Drop(*w, {gallery});
  EXPECT_EQ(resizeAsked_, 0);
  EXPECT_EQ(Listed(*w), (std::vector<std::string>{"Custom--sunset.kvo", "Trip--sunset.kvo"}));
  EXPECT_EQ(w->lstFiles->text(w->lstFiles->currentRow()), QStringLiteral("Trip--sunset.kvo"));
  // Named on the command line: only existing files and folders are taken.
  EXPECT_EQ(FilesToOpen({"/uninst", gallery, xdg_.Root() + "gal", xdg_.Root() + "missing.gal"}),
            (std::vector<std::string>{gallery, xdg_.Root() + "gal"}));
}

TEST_F(DesktopTest, WindowComesBackAtItsSizeAndPlace) {
  QRect closedAt;
  {
    auto w = Open();
    w->setGeometry(140, 90, 820, 520);
    QApplication::processEvents();
    closedAt = w->geometry();
    w->close();
  }
  auto w = Open();
  EXPECT_EQ(w->geometry(), closedAt);
  // The preview takes the room the window gained; the list keeps its width.
  EXPECT_EQ(w->lstFiles->width(), MAIN_LIST_WIDTH);
  EXPECT_GT(w->Panel2->width(), 820 - MAIN_LIST_WIDTH - 20);
}

}  // namespace
}  // namespace kvo
