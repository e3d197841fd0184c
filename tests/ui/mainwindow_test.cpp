// SPDX-License-Identifier: GPL-3.0-or-later
// The main window, built on the offscreen platform over a storage folder of
// a few stored pictures in the test's own XDG folders. The core's questions
// are answered by the scripted dialog table; the window installs its own
// status, busy and preview entries over it.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QIcon>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSet>
#include <QSplitter>
#include <QTest>
#include <QScrollBar>
#include <QTextBrowser>
#include <QToolButton>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Shuffle.h"
#include "core/Store.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"
#include "ui/CtlDisplay.h"
#include "ui/wDrive.h"
#include "ui/wHelp.h"
#include "ui/wMain.h"
#include "tests/ui/UiTestSupport.h"

namespace kvo {
namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadSettings(true);
    dir_ = GetStorageDir();
    ASSERT_TRUE(MakeLongDir(dir_));
    Store("Custom--Alpha.kvo", 200, 10, 10, POS_STARTUP);
    Store("custom--Beta.kvo", 10, 200, 10, POS_STARTUP | POS_WAIT);
    Store("Gal--Gamma.kvo", 10, 10, 200, POS_ALL);
  }
  void TearDown() override { ClearError(); }

  // A stored picture of one colour.
  void Store(const std::string& Name, uint8_t R, uint8_t G, uint8_t B, uint32_t Positions) {
    TImg img;
    ImgAlloc(img, LOGO_WIDTH, LOGO_HEIGHT, 8);
    std::memset(img.Data, 1, static_cast<size_t>(LOGO_WIDTH) * LOGO_HEIGHT);
    img.Palette[1][0] = B;
    img.Palette[1][1] = G;
    img.Palette[1][2] = R;
    ASSERT_TRUE(SaveStoredPicture(dir_ + Name, img, TLogoMarks{Positions, 0, MARKS_SIZE}));
    ImgFree(img);
  }

  std::unique_ptr<TfrmMain> Open() {
    auto w = std::make_unique<TfrmMain>();
    w->show();
    return w;
  }

  // The colour of the preview's picture at its centre.
  static QRgb PreviewColour(const TfrmMain& W) {
    const TImg& p = W.Preview.Display->Picture();
    const uint8_t* e = p.Palette[p.Data[(p.Height / 2) * p.Width + p.Width / 2]];
    return qRgb(e[2], e[1], e[0]);
  }

  static void Key(QWidget* Target, int Key) {
    QKeyEvent press(QEvent::KeyPress, Key, Qt::NoModifier);
    QCoreApplication::sendEvent(Target, &press);
  }

  static uint32_t MarksOnDisk(const std::string& Path) {
    TLogoMarks m;
    EXPECT_TRUE(ReadMarks(Path, m));
    return m.Positions;
  }

  // Picture files to add, in a folder of their own.
  std::vector<std::string> SourcePictures(int Count) {
    std::vector<std::string> files;
    std::string folder = xdg_.Root() + "sources/";
    MakeLongDir(folder);
    for (int i = 0; i < Count; ++i) {
      QImage q(32, 40, QImage::Format_RGB32);
      q.fill(QColor(40 * i, 90, 200));
      files.push_back(folder + "pic" + std::to_string(i) + ".png");
      EXPECT_TRUE(q.save(QString::fromStdString(files.back())));
    }
    return files;
  }

  test::ScopedXdg xdg_;
  test::ScriptedDialogs dialogs_;
  std::string dir_;
};

// ---- start, list and preview ------------------------------------------------------

TEST_F(MainWindowTest, StartShowsTheStoredPicturesAndTheFirstOne) {
  auto w = Open();
  EXPECT_FALSE(w->Starting());
  // The title names the drive in use: the folder that holds the Windows folder.
  EXPECT_EQ(w->windowTitle().toStdString(), "KvoPanoramics 2.0.0 - " + BootDriveRoot());
  ASSERT_EQ(w->lstFiles->count(), 3);
  // Sorted without regard to case, one row per entry.
  EXPECT_EQ(w->lstFiles->text(0), QStringLiteral("Custom--Alpha.kvo"));
  EXPECT_EQ(w->lstFiles->text(1), QStringLiteral("custom--Beta.kvo"));
  EXPECT_EQ(w->lstFiles->text(2), QStringLiteral("Gal--Gamma.kvo"));
  EXPECT_EQ(w->lstFiles->currentRow(), 0);
  EXPECT_EQ(w->StatusText(), StatusSummary());
  EXPECT_EQ(w->panStatus->text().toStdString(), " " + StatusSummary());
  EXPECT_FALSE(w->StatusBold());
  EXPECT_EQ(w->btnAdd->toolTip(), QStringLiteral("Add images to the list"));
  // The preview area sits right of the list.
  EXPECT_GT(w->Panel2->mapTo(w.get(), QPoint(0, 0)).x(), w->lstFiles->width());
  ASSERT_NE(w->Preview.Display, nullptr);
  EXPECT_TRUE(w->Preview.Display->isVisible());
  EXPECT_EQ(PreviewColour(*w), qRgb(200, 10, 10));
  // A logo is shown in the proportion 6 : 5, shrunk into the panel.
  const QRect r = w->Preview.Display->geometry();
  EXPECT_NEAR(static_cast<double>(r.width()) / r.height(), 1.2, 0.01);
  EXPECT_LE(r.right(), w->Panel2->width());
}

TEST_F(MainWindowTest, SelectionDrivesThePreview) {
  auto w = Open();
  w->lstFiles->setCurrentRow(2);
  EXPECT_EQ(PreviewColour(*w), qRgb(10, 10, 200));
  w->SelectIndex(1);
  EXPECT_EQ(PreviewColour(*w), qRgb(10, 200, 10));
  EXPECT_EQ(w->Selection().Selected, std::vector<int32_t>{1});
  w->SelectFileName("gal--gamma.kvo");
  EXPECT_EQ(w->lstFiles->currentRow(), 2);
  w->SelectFileName("nothing.kvo");
  EXPECT_EQ(w->lstFiles->currentRow(), 0);
  // A logo that cannot be loaded clears the preview; a click brings the
  // entry back.
  w->ViewLogo(POS_TURNOFF);
  EXPECT_FALSE(w->Preview.Display->isVisible());
  w->SelectIndex(0);
  EXPECT_TRUE(w->Preview.Display->isVisible());
}

TEST_F(MainWindowTest, StatusTextsOfRunningOperationsAreBold) {
  auto w = Open();
  ShowStatus("Setting logos...", true);
  EXPECT_EQ(w->panStatus->text(), QStringLiteral(" Setting logos..."));
  EXPECT_TRUE(w->panStatus->font().bold());
  w->SetStatus("done", false);
  EXPECT_FALSE(w->panStatus->font().bold());
}

// ---- long operations --------------------------------------------------------------

TEST_F(MainWindowTest, AddDisablesEveryCommandWhileItRuns) {
  auto w = Open();
  dialogs_.FileChoices.push_back(SourcePictures(2));
  int pumps = 0, enabledDuring = 0, cursorDuring = 0;
  Dialogs().ProcessPending = [&] {
    // The status updates before and after the batch let events through too.
    if (!StoreBusy()) return;
    ++pumps;
    enabledDuring += w->btnAdd->isEnabled() + w->btnExit->isEnabled() + w->btnNoPat->isEnabled() +
                     w->mnuAdd->isEnabled() + w->mnuRefresh->isEnabled() +
                     w->mnuImage->menuAction()->isEnabled() + w->mnuAbout->isEnabled();
    cursorDuring += QApplication::overrideCursor() == nullptr;
  };
  w->btnAdd->click();
  EXPECT_GT(pumps, 0);
  EXPECT_EQ(enabledDuring, 0);
  EXPECT_EQ(cursorDuring, 0);
  EXPECT_TRUE(w->btnAdd->isEnabled());
  EXPECT_TRUE(w->mnuAdd->isEnabled());
  EXPECT_TRUE(w->mnuImage->menuAction()->isEnabled());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  ASSERT_EQ(w->lstFiles->count(), 5);
  EXPECT_EQ(w->lstFiles->text(w->lstFiles->currentRow()), QStringLiteral("Custom--pic1.kvo"));
  EXPECT_EQ(w->StatusText(), StatusSummary());
}

TEST_F(MainWindowTest, EscStopsTheAddAfterTheCurrentPicture) {
  auto w = Open();
  dialogs_.FileChoices.push_back(SourcePictures(3));
  bool sent = false;
  Dialogs().ProcessPending = [&] {
    if (!sent && FileExists(dir_ + "Custom--pic0.kvo")) {
      sent = true;
      Key(w->lstFiles, Qt::Key_Escape);
    }
  };
  w->btnAdd->click();
  EXPECT_TRUE(sent);
  EXPECT_EQ(BatchAnswer(), BA_ABORT);
  EXPECT_FALSE(FileExists(dir_ + "Custom--pic1.kvo"));
  EXPECT_EQ(w->lstFiles->count(), 4);
}

// ---- keys -------------------------------------------------------------------------------

TEST_F(MainWindowTest, FunctionKeysToggleThePositionsOfTheSelection) {
  auto w = Open();
  w->lstFiles->setCurrentRow(0, QItemSelectionModel::ClearAndSelect);
  w->lstFiles->setRowSelected(1, true);
  // Start only, and start plus wait: F7 gives (start + wait) XOR wait.
  Key(w->lstFiles, Qt::Key_F7);
  EXPECT_EQ(LogoList().Entries[0].Positions, POS_STARTUP);
  EXPECT_EQ(LogoList().Entries[1].Positions, POS_STARTUP);
  EXPECT_EQ(LogoList().Entries[2].Positions, POS_ALL);
  Key(w->lstFiles, Qt::Key_F8);
  EXPECT_EQ(LogoList().Entries[1].Positions, POS_STARTUP | POS_TURNOFF);
  Key(w->lstFiles, Qt::Key_F6);
  EXPECT_EQ(LogoList().Entries[0].Positions, POS_TURNOFF);
  // The files have them at once, so re-reading the folder keeps them.
  EXPECT_EQ(MarksOnDisk(dir_ + "Custom--Alpha.kvo"), POS_TURNOFF);
  w->mnuRefresh->trigger();
  EXPECT_EQ(LogoList().Entries[1].Positions, POS_TURNOFF);
  EXPECT_EQ(LogoList().Entries[2].Positions, POS_ALL);
}

TEST_F(MainWindowTest, EscOutsideABatchOnlySetsTheAnswer) {
  auto w = Open();
  BatchAnswer() = BA_NONE;
  Key(w->lstFiles, Qt::Key_Escape);
  EXPECT_EQ(BatchAnswer(), BA_ABORT);
  EXPECT_EQ(w->lstFiles->count(), 3);
  EXPECT_EQ(w->lstFiles->currentRow(), 0);
}

TEST_F(MainWindowTest, SetWritesTheLogoAndTheViewShowsIt) {
  auto w = Open();
  w->SelectIndex(1);
  // The view of the drive's Wait logo, missing, follows the Set at once.
  w->ViewLogo(POS_WAIT);
  EXPECT_FALSE(w->Preview.Display->isVisible());
  dialogs_.PositionAnswers.push_back({true, POS_WAIT});
  w->btnSet->click();
  ASSERT_TRUE(FileExists(GetLogoFile(POS_WAIT)));
  EXPECT_TRUE(w->Preview.Display->isVisible());
  EXPECT_EQ(PreviewColour(*w), qRgb(10, 200, 10));
  w->SelectIndex(0);
  w->ViewLogo(POS_WAIT);
  EXPECT_TRUE(w->Preview.Display->isVisible());
  EXPECT_EQ(w->Preview.Display->Picture().BitsPerPixel, 8);
  EXPECT_EQ(PreviewColour(*w), qRgb(10, 200, 10));

  // A logo that cannot be written is said, and the others are written.
  ASSERT_TRUE(std::filesystem::create_directories(GetLogoFile(POS_TURNOFF)));
  dialogs_.PositionAnswers.push_back({true, POS_STARTUP | POS_TURNOFF});
  w->btnSet->click();
  EXPECT_TRUE(FileExists(GetLogoFile(POS_STARTUP)));
  ASSERT_EQ(dialogs_.Errors.size(), 1u);
  EXPECT_EQ(dialogs_.Errors[0].rfind("The Turn off logo could not be written: ", 0), 0u) << dialogs_.Errors[0];
  EXPECT_EQ(w->StatusText().rfind("Startup logo written to ", 0), 0u) << w->StatusText();
}

// Tool icons drawn in the text colour (where the desktop's icon theme has
// none) follow the desktop into a dark scheme while the window is open.
TEST_F(MainWindowTest, ToolIconsFollowTheSchemeWhileOpen) {
  if (QIcon::hasThemeIcon(QStringLiteral("dialog-ok-apply"))) GTEST_SKIP() << "the icon theme draws it";
  auto w = Open();
  auto ink = [&] {
    const QImage drawn = w->btnSet->icon().pixmap(24, 24).toImage();
    for (int y = 0; y < drawn.height(); ++y)
      for (int x = 0; x < drawn.width(); ++x)
        if (qAlpha(drawn.pixel(x, y)) == 255) return QColor(drawn.pixel(x, y)).rgb();
    return QRgb{0};
  };
  const QPalette dark = test::DarkPalette();
  ASSERT_NE(ink(), dark.color(QPalette::Active, QPalette::ButtonText).rgb());
  test::TScheme scheme(dark);
  QApplication::processEvents();
  EXPECT_EQ(ink(), dark.color(QPalette::Active, QPalette::ButtonText).rgb());
}

// After Set the status bar says what went where, the row of the picture
// carries the mark of the logos it became, and the view says whose logo it
// shows; a logo the drive lacks is said to be missing, not drawn grey.
TEST_F(MainWindowTest, SetSaysWhatItWroteAndMarksTheSource) {
  auto w = Open();
  w->SelectIndex(1);
  dialogs_.PositionAnswers.push_back({true, POS_STARTUP | POS_TURNOFF});
  w->btnSet->click();
  EXPECT_EQ(w->StatusText(), "Startup and Turn off logos written to " + DriveCaption() +
                                 ". Whether Windows shows the logos is not known: the drive has "
                                 "no MSDOS.SYS.");
  TFileListModel* m = w->lstFiles->Model();
  EXPECT_EQ(m->SourceOf(1), POS_STARTUP | POS_TURNOFF);
  EXPECT_EQ(m->SourceOf(0), 0u);
  EXPECT_EQ(m->Spoken(1).toStdString(), "custom--Beta: Startup, Wait; current Startup, Turn off logos");
  EXPECT_TRUE(m->data(m->index(1, 0), Qt::FontRole).value<QFont>().bold());
  // The mark stays with the drive's logos from one start to the next.
  w->close();
  w = Open();
  EXPECT_EQ(w->lstFiles->Model()->SourceOf(1), POS_STARTUP | POS_TURNOFF);
  EXPECT_EQ(w->PreviewCaption(), "Stored picture Custom--Alpha");

  struct Case {
    uint32_t Position;
    std::string Caption, Note;
  } const views[] = {
      {POS_STARTUP, "Current Startup logo of " + DriveCaption(), ""},
      {POS_WAIT, "Current Wait logo of " + DriveCaption(), "No Wait logo on this drive: Windows shows its own."},
  };
  for (const Case& c : views) {
    w->ViewLogo(c.Position);
    EXPECT_EQ(w->PreviewCaption(), c.Caption);
    EXPECT_EQ(w->lblPreviewNote->isVisibleTo(w.get()), !c.Note.empty());
    EXPECT_EQ(w->lblPreviewNote->text().toStdString(), c.Note);
    EXPECT_EQ(w->Preview.Display->isVisible(), c.Note.empty());
  }
  // Restoring the originals takes the marks away.
  dialogs_.YesNoAnswers.push_back('Y');
  w->mnuRestore->trigger();
  EXPECT_EQ(w->lstFiles->Model()->SourceOf(1), 0u);
}

TEST_F(MainWindowTest, ShuffleWithNothingToChooseFromSaysSoAndChangesNothing) {
  auto w = Open();
  // Pictures kept from every position, then no pictures at all.
  SetPositions({0, 1, 2}, 0);
  SaveLogoMarks();
  for (int round = 0; round < 2; ++round) {
    w->btnShuffle->click();
    EXPECT_EQ(w->StatusText(), SHUFFLE_NOTHING_TEXT) << round;
    for (uint32_t p : POSITIONS) EXPECT_FALSE(FileExists(GetLogoFile(p))) << round;
    for (const char* name : {"Custom--Alpha.kvo", "custom--Beta.kvo", "Gal--Gamma.kvo"})
      std::remove((dir_ + name).c_str());
  }
  EXPECT_EQ(w->lstFiles->count(), 0);
  EXPECT_EQ(w->PreviewCaption(), "No stored pictures");
}

TEST_F(MainWindowTest, ListHasHeadersChecksNaturalOrderAndWholeNamesInTips) {
  Store("Custom--wall10.kvo", 1, 1, 1, 0);
  Store("Custom--wall2.kvo", 1, 1, 1, POS_WAIT);
  auto w = Open();
  TFileListModel* m = w->lstFiles->Model();
  QStringList headers;
  for (int c = 0; c < m->columnCount(); ++c) headers << m->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
  EXPECT_EQ(headers.join('|'), QStringLiteral("Name|Startup|Wait|Turn off"));
  QStringList rows;
  for (int r = 0; r < m->rowCount(); ++r) {
    QString row = m->data(m->index(r, 0), Qt::DisplayRole).toString();
    for (int c = 1; c < 4; ++c) row += "|" + m->data(m->index(r, c), Qt::DisplayRole).toString();
    rows << row;
  }
  EXPECT_EQ(rows.join('\n').toStdString(),
            "Custom--Alpha|\u2713||\n"
            "custom--Beta|\u2713|\u2713|\n"
            "Custom--wall2||\u2713|\n"
            "Custom--wall10|||\n"
            "Gal--Gamma|\u2713|\u2713|\u2713");
  EXPECT_EQ(m->data(m->index(3, 0), Qt::ToolTipRole).toString(), QStringLiteral("Custom--wall10.kvo"));
  EXPECT_EQ(m->data(m->index(2, 2), Qt::AccessibleTextRole).toString(), QStringLiteral("Wait"));
}

TEST_F(MainWindowTest, PreviewGrowsWithTheWindowInTheLogosShape) {
  auto w = Open();
  const QSize small = w->Preview.Display->size();
  w->resize(1400, 900);
  QApplication::processEvents();
  const QSize large = w->Preview.Display->size();
  EXPECT_GT(large.width(), small.width());
  EXPECT_GT(large.height(), 480);
  EXPECT_NEAR(static_cast<double>(large.width()) / large.height(), 1.2, 0.01);
  EXPECT_LE(large.height(), w->Panel2->height());

  struct Case {
    int W, H, FitW, FitH;
  } const fits[] = {{480, 400, 480, 400}, {1000, 400, 480, 400}, {480, 1000, 480, 400},
                    {121, 100, 120, 100}, {0, 0, 1, 1}};
  for (const Case& c : fits) {
    int fw = 0, fh = 0;
    PreviewFit(c.W, c.H, fw, fh);
    EXPECT_EQ(fw, c.FitW) << c.W << "x" << c.H;
    EXPECT_EQ(fh, c.FitH) << c.W << "x" << c.H;
  }
}

TEST_F(MainWindowTest, PreviewAsStartupLogoAndTheSplitAreRemembered) {
  auto w = Open();
  EXPECT_FALSE(w->mnuViewAsStartup->isChecked());
  w->mnuViewAsStartup->setChecked(true);
  EXPECT_EQ(w->PreviewCaption(), "Stored picture Custom--Alpha, as the Startup logo");
  w->splMain->setSizes({200, 424});
  const int listWidth = w->lstFiles->width();
  w->close();
  w = Open();
  EXPECT_TRUE(w->mnuViewAsStartup->isChecked());
  EXPECT_EQ(w->lstFiles->width(), listWidth);
}

// ---- list commands -------------------------------------------------------------------------

TEST_F(MainWindowTest, DeleteAndRenameRebuildTheList) {
  auto w = Open();
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
  // Ctrl+Down moves the focus off the selection: Delete names and takes
  // the selected picture, and says where it went.
  w->lstFiles->setCurrentRow(1, QItemSelectionModel::ClearAndSelect);
  QTest::keyClick(w->lstFiles, Qt::Key_Down, Qt::ControlModifier);
  dialogs_.YesNoAnswers = {'Y', 'Y'};
  QTest::keyClick(w->lstFiles, Qt::Key_Delete);
  ASSERT_FALSE(dialogs_.Questions.empty());
  EXPECT_EQ(dialogs_.Questions.back(), "Move custom--Beta.kvo to the Trash?");
  EXPECT_EQ(w->StatusText(), "custom--Beta.kvo moved to the Trash.");
  EXPECT_TRUE(FileExists(xdg_.Root() + "data/Trash/files/custom--Beta.kvo"));
  w->lstFiles->setCurrentRow(1, QItemSelectionModel::ClearAndSelect);
  w->btnDelete->click();
  ASSERT_EQ(w->lstFiles->count(), 1);
  EXPECT_EQ(w->lstFiles->currentRow(), 0);
  dialogs_.RenameAnswers.push_back({true, "Zulu"});
  w->mnuRename->trigger();
  ASSERT_EQ(w->lstFiles->count(), 1);
  EXPECT_EQ(w->lstFiles->text(w->lstFiles->currentRow()), QStringLiteral("Zulu.kvo"));
  EXPECT_EQ(PreviewColour(*w), qRgb(200, 10, 10));
}

TEST_F(MainWindowTest, PrefixPositionsShuffleRefreshAndRestore) {
  auto w = Open();
  for (int i = 0; i < 3; ++i) w->lstFiles->setRowSelected(i, true);
  w->lstFiles->setCurrentRow(0, QItemSelectionModel::Select);
  dialogs_.RenameAnswers.push_back({true, "Trees"});
  w->mnuPrefix->trigger();
  EXPECT_EQ(dialogs_.Infos.back(), "Images renamed: 3");
  ASSERT_EQ(w->lstFiles->count(), 3);
  EXPECT_EQ(w->lstFiles->text(0).left(7), QStringLiteral("Trees--"));

  // Positions: only the Turn off logo for all three pictures.
  for (int i = 0; i < 3; ++i) w->lstFiles->setRowSelected(i, true);
  dialogs_.PositionAnswers.push_back({true, POS_TURNOFF});
  w->mnuPosition->trigger();
  for (const TLogoEntry& e : LogoList().Entries) EXPECT_EQ(e.Positions, POS_TURNOFF);

  // Shuffle sets only the Turn off logo, then restore deletes it again.
  w->btnShuffle->click();
  EXPECT_EQ(w->StatusText(), "Random logos are set.");
  EXPECT_TRUE(FileExists(GetLogoFile(POS_TURNOFF)));
  EXPECT_FALSE(FileExists(GetLogoFile(POS_STARTUP)));
  dialogs_.YesNoAnswers.push_back('Y');
  w->mnuRestore->trigger();
  EXPECT_EQ(dialogs_.Infos.back(), "Previous logos restored.");
  EXPECT_FALSE(FileExists(GetLogoFile(POS_TURNOFF)));

  // A picture stored behind the window's back appears on F5.
  Store("Zeta.kvo", 1, 2, 3, POS_ALL);
  w->mnuRefresh->trigger();
  EXPECT_EQ(w->lstFiles->count(), 4);
}

TEST_F(MainWindowTest, GalleryCreateAndOpen) {
  auto w = Open();
  w->lstFiles->setRowSelected(0, true);
  w->lstFiles->setRowSelected(1, true);
  const std::string gal = GetStorageDir() + "../two.gal";
  Dialogs().FileSave = [&](const std::string&, std::string&, const std::string&, int32_t&,
                           std::string& File) {
    File = gal;
    return true;
  };
  dialogs_.RenameAnswers.push_back({true, "Pair"});
  w->mnuGalCreate->trigger();
  ASSERT_TRUE(FileExists(gal));
  Dialogs().FileOpen = [&](const std::string&, std::string&, const std::string&, int32_t&,
                           std::string& File) {
    File = gal;
    return true;
  };
  w->mnuGalOpen->trigger();
  EXPECT_EQ(dialogs_.Infos.back(), "Gallery installed (prefix \"Pair\").");
  EXPECT_EQ(w->lstFiles->count(), 5);
  EXPECT_EQ(w->lstFiles->text(w->lstFiles->currentRow()).left(6), QStringLiteral("Pair--"));
}

// ---- end ------------------------------------------------------------------------------------

TEST_F(MainWindowTest, ClosingSavesMarksAndSettingsOnce) {
  auto w = Open();
  // Changed in memory only, as a shuffle would.
  LogoList().Entries[2].Positions = POS_WAIT;
  LogoList().Entries[2].Used = POS_WAIT;
  Settings().FontSize = 23;
  EXPECT_TRUE(w->close());
  TLogoMarks m;
  ASSERT_TRUE(ReadMarks(dir_ + "Gal--Gamma.kvo", m));
  EXPECT_EQ(m.Positions, POS_WAIT);
  EXPECT_EQ(m.Used, POS_WAIT);
  EXPECT_NE(test::ReadWhole(SettingsFile()).find("FontSize=23"), std::string::npos);
  EXPECT_EQ(w->Preview.Display, nullptr);
  // A second end (the event loop's) does nothing more.
  Settings().FontSize = 24;
  w->EndSession();
  EXPECT_EQ(test::ReadWhole(SettingsFile()).find("FontSize=24"), std::string::npos);
}

TEST_F(MainWindowTest, ClosingDuringALongOperationSaysWhyAndClosesWhenItEnds) {
  auto w = Open();
  dialogs_.FileChoices.push_back(SourcePictures(2));
  bool asked = false, closedAtOnce = true;
  std::string said;
  Dialogs().ProcessPending = [&] {
    if (asked || !StoreBusy()) return;
    asked = true;
    closedAtOnce = w->close();
    said = w->StatusText();
  };
  w->btnAdd->click();
  ASSERT_TRUE(asked);
  EXPECT_FALSE(closedAtOnce);
  EXPECT_EQ(said, "Closing when the current operation ends (ESC stops it)...");
  EXPECT_TRUE(FileExists(dir_ + "Custom--pic1.kvo"));
  EXPECT_FALSE(w->isVisible());
  EXPECT_EQ(w->Preview.Display, nullptr);  // the end sequence ran
}

// ---- errors never escape ------------------------------------------------------------------

TEST_F(MainWindowTest, ForeignExceptionInACommandIsShown) {
  auto w = Open();
  Dialogs().YesNo = [](const std::string&, bool) -> char { throw std::runtime_error("disk on fire"); };
  w->btnDelete->click();
  ASSERT_EQ(dialogs_.Errors.size(), 1u);
  EXPECT_NE(dialogs_.Errors[0].find("disk on fire"), std::string::npos);
  EXPECT_TRUE(NoError());
  EXPECT_EQ(w->lstFiles->count(), 3);
}

TEST_F(MainWindowTest, CoreErrorInALongOperationLeavesTheWindowUsable) {
  auto w = Open();
  dialogs_.FileChoices.push_back(SourcePictures(2));
  Dialogs().ProcessPending = [] { SetError(EG_FILE, 1, __LINE__); };
  w->btnAdd->click();
  ASSERT_EQ(dialogs_.Errors.size(), 1u);
  EXPECT_EQ(dialogs_.Errors[0].rfind(ErrorText(EG_FILE, 1), 0), 0u);
  EXPECT_FALSE(w->BusyUI());
  EXPECT_FALSE(StoreBusy());
  EXPECT_TRUE(w->btnAdd->isEnabled());
  EXPECT_TRUE(w->mnuShuffle->isEnabled());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// ---- help and system information ----------------------------------------------------------

TEST(MainWindowText, DigitGroups) {
  EXPECT_EQ(DigitGroups(0), "0");
  EXPECT_EQ(DigitGroups(999), "999");
  EXPECT_EQ(DigitGroups(1572864), "1,572,864");
  EXPECT_EQ(DigitGroups(1572864), NumToStr(1572864, 100));
  // Memory of today's machines does not fit in 32 bits.
  EXPECT_EQ(DigitGroups(17179869184ull), "17,179,869,184");
}

TEST_F(MainWindowTest, SystemInformationGoesToTheClipboard) {
  auto w = Open();
  w->mnuSysInfo->trigger();
  const std::string text = QGuiApplication::clipboard()->text().toStdString();
  // The memory figures move between two readings, so the text is compared
  // from the line after them.
  const std::string expected = SystemInformationText();
  const size_t from = expected.find("\r\nWindows");
  ASSERT_NE(from, std::string::npos) << expected;
  EXPECT_NE(text.find(expected.substr(from)), std::string::npos) << text;
  EXPECT_EQ(text.rfind("Information generated by KvoPanoramics 2.0.0\r\n\r\nPhysical memory available: ", 0),
            0u);
  EXPECT_NE(text.find("\r\nStorage folder: " + GetStorageDir() + "\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nTurn off logo: " + Settings().LogoFile[2] + "\r\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  ASSERT_EQ(dialogs_.Infos.size(), 1u);
  EXPECT_EQ(dialogs_.Infos[0],
            "System information has been pasted to the clipboard, go to your email software or "
            "text editor and choose Edit / Paste to view it.");
}

TEST_F(MainWindowTest, ManualAndAboutNeedNoOtherProgram) {
  auto w = Open();
  // No program on the path to hand a document to: the window's own serve.
  const std::string empty = xdg_.Root() + "no-programs";
  MakeLongDir(empty);
  const char* oldPath = std::getenv("PATH");
  const std::string saved = oldPath ? oldPath : "";
  ::setenv("PATH", empty.c_str(), 1);
  w->btnHelp->click();
  bool aboutShown = false;
  test::WhenModal<TfrmAbout>([&](TfrmAbout* About) {
    const QString all = test::AllText(About);
    aboutShown = all.contains(QStringLiteral("KvoPanoramics 2.0.0")) &&
                 all.contains(QStringLiteral("GNU General Public License")) &&
                 all.contains(QStringLiteral("version 3 of the License, or (at your option) any later"));
    // The keys that close it are the keyboard test's; here it only must go.
    About->reject();
  });
  w->mnuAbout->trigger();
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_TRUE(dialogs_.Errors.empty());
  EXPECT_TRUE(aboutShown);
  TfrmHelp* help = nullptr;
  for (QWidget* top : QApplication::topLevelWidgets()) help = help ? help : qobject_cast<TfrmHelp*>(top);
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(help->isVisible());
  EXPECT_EQ(help->txtManual->source(), QUrl::fromLocalFile(QString::fromStdString(FindDocument("manual.html"))));
  EXPECT_FALSE(help->txtManual->toPlainText().isEmpty());
  // Its links lead to their places in it.
  const int top = help->txtManual->verticalScrollBar()->value();
  help->txtManual->setSource(QUrl(QStringLiteral("#keys")));
  EXPECT_GT(help->txtManual->verticalScrollBar()->value(), top);
  help->close();
}

TEST_F(MainWindowTest, ToolButtonsAndMenusEachHaveTheirOwnAltKey) {
  auto w = Open();
  QStringList keys;
  for (QToolButton* b : w->panTools->findChildren<QToolButton*>())
    if (!b->text().isEmpty()) keys << QKeySequence::mnemonic(b->text()).toString();
  for (QAction* a : w->menuBar()->actions()) keys << QKeySequence::mnemonic(a->text()).toString();
  EXPECT_EQ(keys.size(), 12);
  EXPECT_FALSE(keys.contains(QString()));
  EXPECT_EQ(QSet<QString>(keys.begin(), keys.end()).size(), keys.size())
      << keys.join(' ').toStdString();
}

// The byte counts group with commas, so the sizes keep a point in any locale.
TEST(MainWindowText, SizesKeepTheirDecimalPointInEveryLocale) {
  const std::string old = std::setlocale(LC_ALL, nullptr);
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
    GTEST_SKIP() << "locale de_DE.UTF-8 not installed (localedef -i de_DE -f UTF-8 de_DE.UTF-8)";
  const TLogoList saved = LogoList();
  LogoList().Count = 1;
  LogoList().TotalSize = 1572864;
  const std::string summary = StatusSummary();
  LogoList() = saved;
  const std::string sizes = GetFileSizeStr(1536) + " " + RealToStr(2.5, 5, 2);
  std::setlocale(LC_ALL, old.c_str());
  EXPECT_EQ(summary, "1 image (total size: 1.5 MB)");
  EXPECT_EQ(sizes, "1.5 kB  2.50");
}

TEST_F(MainWindowTest, DocumentsAreFoundInTheApplicationFolderFirst) {
  // The source tree's copy serves a program run from its build folder.
  EXPECT_EQ(FindDocument("readme.txt"), AddBS(KVO_SOURCE_DIR) + "docs/readme.txt");
  EXPECT_EQ(FindDocument("no-such-document.txt"), "");
  MakeLongDir(GetAppDir());
  test::WriteWhole(GetAppDir() + "readme.txt", "mine");
  EXPECT_EQ(FindDocument("readme.txt"), GetAppDir() + "readme.txt");
}

}  // namespace
}  // namespace kvo

namespace kvo {
namespace {

// With KVO_UI_SHOTS naming a folder, the window is drawn into PNGs there in
// a few states, so that its layout can be looked at (run under xvfb-run to
// see the platform's own fonts and style).
TEST_F(MainWindowTest, Screenshots) {
  const char* folder = std::getenv("KVO_UI_SHOTS");
  if (!folder || !*folder) GTEST_SKIP() << "set KVO_UI_SHOTS to a folder to take screenshots";
  // Long names, as galleries bring them.
  Store("Kleiber--Frozen waterfall in the morning light above the valley.kvo", 90, 140, 200, POS_STARTUP);
  Store("Kleiber--Frozen waterfall in the morning light above the valley copy.kvo", 200, 140, 90,
        POS_STARTUP | POS_TURNOFF);
  const QString scale = QString::number(qRound(qApp->devicePixelRatio() * 100));
  auto shoot = [&](QWidget& Widget, const QString& Name) {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    EXPECT_TRUE(Widget.grab().save(QString::fromLocal8Bit(folder) + "/" + Name + ".png"))
        << Name.toStdString();
  };
  for (const test::TNamedScheme& s : test::LightAndDark()) {
    test::TScheme scheme(s.Palette);
    auto w = Open();
    w->resize(900, 560);
    w->SelectIndex(3);
    dialogs_.PositionAnswers.push_back({true, POS_STARTUP | POS_TURNOFF});
    w->btnSet->click();
    shoot(*w, QStringLiteral("main-%1-%2").arg(QLatin1String(s.Name), scale));
    w->ViewLogo(POS_WAIT);
    shoot(*w, QStringLiteral("main-missing-logo-%1-%2").arg(QLatin1String(s.Name), scale));
    test::WriteWhole(BootDriveRoot() + "MSDOS.SYS", "[Options]\r\nBootGUI=1\r\nLogo=0\r\n");
    TfrmDrive drive(w.get());
    drive.show();
    shoot(drive, QStringLiteral("drive-%1-%2").arg(QLatin1String(s.Name), scale));
    drive.close();
    w->close();
  }
}

}  // namespace
}  // namespace kvo
