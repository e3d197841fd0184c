// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows Drive dialog over a disk image made by the real tools
// (sfdisk, mkfs.fat, mtools), so what it shows is what they wrote.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include <cstdlib>
#include <string>

#include "base/MiscProcs.h"
#include "base/WinUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "tests/TestSupport.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/CtlDisplay.h"
#include "ui/wDrive.h"
#include "ui/wMain.h"

namespace kvo {
namespace {

using test::WhenModal;

class DriveDialogTest : public testing::Test {
 protected:
  // A 40 MB raw disk: partition 1 FAT16 "WIN98" with WINDOWS\LOGOW.SYS (a
  // 24-bit BMP by ImageMagick) and an MSDOS.SYS that says Logo=0,
  // partition 2 FAT16 "DATA" with nothing on it.
  std::string MakeImage() {
    const std::string img = xdg_.Root() + "win98.img", q = test::ShellQuoted(img);
    const std::string mtools = "MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 ";
    const std::string volume1 = q + "@@1048576";  // sector 2048
    const std::string steps[] = {
        "truncate -s 40M " + q,
        "printf 'label: dos\\nstart=2048, size=32768, type=6\\nstart=34816, type=6\\n' | "
        "sfdisk -q " + q,
        // mkfs.fat counts in KiB: half the partition's sectors.
        "mkfs.fat -F 16 -n WIN98 --offset 2048 " + q + " 16384 >/dev/null 2>&1",
        "mkfs.fat -F 16 -n DATA --offset 34816 " + q + " 23552 >/dev/null 2>&1",
        mtools + "mmd -i " + volume1 + " ::WINDOWS",
        "convert -size 320x400 xc:red BMP3:- | " + mtools + "mcopy -i " + volume1 +
            " - ::WINDOWS/LOGOW.SYS",
        "printf '[Options]\\r\\nBootGUI=1\\r\\nLogo=0\\r\\n' | " + mtools + "mcopy -i " + volume1 +
            " - ::MSDOS.SYS"};
    std::string command;
    for (const std::string& step : steps) command += (command.empty() ? "" : " && ") + step;
    const test::TPipeRun r = test::RunShell(command + " 2>&1");
    EXPECT_EQ(r.Status, 0) << r.Out << " (needs fdisk, dosfstools, mtools and imagemagick)";
    return img;
  }

  static QString Row(QTreeWidget* List, int Index) {
    QTreeWidgetItem* item = List->topLevelItem(Index);
    if (!item) return {};
    return item->text(0) + "|" + item->text(1) + "|" + item->text(2) + "|" + item->text(3) +
           (item->isSelected() ? "|selected" : "");
  }

  test::ScopedXdg xdg_;
  test::ScriptedDialogs dialogs_;
};

TEST_F(DriveDialogTest, ImageShowsItsPartitionsWindowsFolderAndLogosAndIsRememberedOnOk) {
  const std::string img = MakeImage();
  TfrmDrive f;
  f.edPath->setText(QString::fromStdString(img));
  f.Refresh();
  ASSERT_EQ(f.lvPartitions->topLevelItemCount(), 2);
  // 16384 KiB and 23552 KiB, as sfdisk laid them out.
  EXPECT_EQ(Row(f.lvPartitions, 0), "1|FAT16|16.0 MB|WIN98|selected");
  EXPECT_EQ(Row(f.lvPartitions, 1), "2|FAT16|23.0 MB|DATA");
  EXPECT_EQ(f.lblKind->text().toStdString(), "Drive: disk image " + img + "\nFormat: raw disk");
  EXPECT_EQ(f.lblWinFolder->text(), "Windows folder: C:\\WINDOWS\\");
  EXPECT_EQ(f.lblLogos->text(),
            "Startup logo: C:\\LOGO.SYS, missing (Windows shows its own logo)\n"
            "Wait to shut down logo: C:\\WINDOWS\\LOGOW.SYS, present, but Windows cannot show it: "
            "24-bit picture\n"
            "Turn off logo: C:\\WINDOWS\\LOGOS.SYS, missing");
  EXPECT_EQ(f.lblShowing->text(), "Windows will not show the Startup logo: MSDOS.SYS has Logo=0.");
  EXPECT_TRUE(f.chkLogos->isEnabled());
  EXPECT_FALSE(f.chkLogos->isChecked());
  EXPECT_EQ(f.lblError->text(), "");

  // Another FAT partition makes the choice "PATH:2"; it has no Windows
  // folder yet, so the one Windows would use shows as missing.
  f.lvPartitions->setCurrentItem(f.lvPartitions->topLevelItem(1));
  EXPECT_EQ(f.Choice(), img + ":2");
  EXPECT_EQ(Row(f.lvPartitions, 1), "2|FAT16|23.0 MB|DATA|selected");
  EXPECT_EQ(f.lblWinFolder->text(), "Windows folder: C:\\WINDOWS\\ (missing)");
  EXPECT_FALSE(f.chkLogos->isEnabled());
  // Looking is not choosing: nothing is remembered before OK.
  EXPECT_EQ(RememberedDrive(), "");

  WhenModal<TfrmDrive>([&](TfrmDrive* d) {
    d->edPath->setText(QString::fromStdString(img));
    d->Refresh();
    d->chkLogos->setChecked(true);
    d->btnOK->click();
  });
  EXPECT_TRUE(ExecDriveDialog(nullptr));
  EXPECT_EQ(RememberedDrive(), img + ":1");
  EXPECT_TRUE(dialogs_.Errors.empty());
  // OK switched the Startup logo on in the image's MSDOS.SYS.
  EXPECT_EQ(test::RunShell("MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 mtype -i " +
                           test::ShellQuoted(img + "@@1048576") + " ::MSDOS.SYS").Out,
            "[Options]\r\nBootGUI=1\r\nLogo=1\r\n");

  // The main window names the image and views the logos inside it.
  TfrmMain w;
  w.show();
  EXPECT_EQ(w.windowTitle(), "KvoPanoramics 2.0.0 - win98.img, partition 1");
  w.ViewLogo(POS_WAIT);
  EXPECT_TRUE(w.Preview.Display->isVisible());
  w.ViewLogo(POS_STARTUP);
  EXPECT_FALSE(w.Preview.Display->isVisible());
  w.EndSession();

  // The picture of the dialog for the package's description: the same
  // disk as QEMU keeps it, a QCOW2 on a backing file.
  if (const char* folder = std::getenv("KVO_UI_SHOTS"); folder && *folder) {
    const std::string base = xdg_.Root() + "win98-base.qcow2", top = xdg_.Root() + "win98.qcow2";
    ASSERT_EQ(test::RunShell("qemu-img convert -O qcow2 " + test::ShellQuoted(img) + " " + test::ShellQuoted(base) +
                             " && qemu-img create -q -f qcow2 -F qcow2 -b " + test::ShellQuoted(base) + " " +
                             test::ShellQuoted(top)).Status, 0);
    TfrmDrive shot;
    shot.edPath->setText(QString::fromStdString(top));
    shot.Refresh();
    shot.show();
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    EXPECT_TRUE(shot.grab().save(QString::fromLocal8Bit(folder) + "/windows-drive.png"));
  }
}

TEST_F(DriveDialogTest, ContainerImageIsRefusedAndOkStaysOpen) {
  // A kind QEMU cannot rewrite in place.
  const std::string qcow = xdg_.Root() + "win98.vmdk";
  ASSERT_EQ(test::RunShell("qemu-img create -q -f vmdk -o subformat=streamOptimized " +
                           test::ShellQuoted(qcow) + " 40M").Status, 0)
      << "needs qemu-utils";
  WhenModal<TfrmDrive>([&](TfrmDrive* d) {
    d->edPath->setText(QString::fromStdString(qcow));
    d->Refresh();
    EXPECT_EQ(d->lvPartitions->topLevelItemCount(), 0);
    EXPECT_TRUE(d->lblError->text().startsWith("Not usable: "))
        << d->lblError->text().toStdString();
    EXPECT_TRUE(d->lblError->text().contains("qemu-img convert"))
        << d->lblError->text().toStdString();
    EXPECT_EQ(d->lblWinFolder->text(), "");
    d->btnOK->click();
    EXPECT_TRUE(d->isVisible());
    ASSERT_EQ(dialogs_.Errors.size(), 1u);
    EXPECT_NE(dialogs_.Errors[0].find("qemu-img convert"), std::string::npos);
    d->btnCancel->click();
  });
  EXPECT_FALSE(ExecDriveDialog(nullptr));
  EXPECT_EQ(RememberedDrive(), "");
}

// The pictures are the user's, whichever drive the logos go to: choosing a
// disk image keeps them in view (and a logo the image lacks is said to be
// missing); only a Windows folder whose win.ini names a store brings its
// own, and the status bar says so. The WIN.INI of a folder drive is
// Windows' own: start, drive changes and the end leave it byte for byte.
TEST_F(DriveDialogTest, ChangingTheDriveKeepsThePicturesUnlessTheDriveBringsItsOwn) {
  const std::string img = MakeImage();
  const std::string startWinIni = GetWinFolder() + "WIN.INI";  // of the default drive
  const std::string startText = "[windows]\r\nload=\r\nrun=\r\n\x1a";
  test::WriteWhole(startWinIni, startText);
  LoadSettings(true);
  const std::string mine = GetStorageDir();
  ASSERT_TRUE(MakeLongDir(mine));
  TImg pic;
  ImgAlloc(pic, LOGO_WIDTH, LOGO_HEIGHT, 8);
  ASSERT_TRUE(SaveStoredPicture(mine + "Custom--Mine.kvo", pic, TLogoMarks{POS_ALL, 0, MARKS_SIZE}));
  ImgFree(pic);
  TfrmMain w;
  w.SetSettingsLoaded(true);
  w.show();
  ASSERT_EQ(w.lstFiles->count(), 1);
  auto choose = [&](const std::string& Choice) {
    WhenModal<TfrmDrive>([&](TfrmDrive* d) {
      // Typed, as the user would (a typed path starts from its own partition).
      d->edPath->selectAll();
      QTest::keyClicks(d->edPath, QString::fromStdString(Choice));
      d->Refresh();
      d->btnOK->click();
      if (!d->isVisible()) return;
      ADD_FAILURE() << Choice << " refused: " << d->lblError->text().toStdString() << " "
                    << (dialogs_.Errors.empty() ? "" : dialogs_.Errors.back());
      d->btnCancel->click();
    });
    w.mnuDrive->trigger();
  };
  choose(img);
  EXPECT_EQ(GetStorageDir(), mine);
  EXPECT_EQ(w.lstFiles->count(), 1);
  EXPECT_EQ(w.StatusText(), StatusSummary());
  w.ViewLogo(POS_STARTUP);
  EXPECT_EQ(w.lblPreviewNote->text().toStdString(), NoLogoText(POS_STARTUP));
  // Set says where the logo went.
  w.SelectIndex(0);
  dialogs_.PositionAnswers.push_back({true, POS_TURNOFF});
  w.btnSet->click();
  EXPECT_EQ(w.StatusText(),
            "Turn off logo written to win98.img, partition 1. Windows will not show the Startup "
            "logo: MSDOS.SYS has Logo=0.");

  const std::string folder = xdg_.Root() + "mnt/", theirs = xdg_.Root() + "theirs/";
  ASSERT_TRUE(MakeLongDir(folder + "WINDOWS/") && MakeLongDir(theirs));
  const std::string theirText = "[tarvoni]\r\nkvo-StorageDir=" + theirs + "\r\n\x1a";
  test::WriteWhole(folder + "WINDOWS/win.ini", theirText);
  choose(folder);
  EXPECT_EQ(GetStorageDir(), theirs);
  EXPECT_EQ(w.lstFiles->count(), 0);
  EXPECT_EQ(w.StatusText(), "Now using the pictures stored in " + theirs + ": 0 images (total size: 0.0 MB)");
  EXPECT_TRUE(dialogs_.Errors.empty()) << dialogs_.Errors.front();
  w.EndSession();
  EXPECT_EQ(test::ReadWhole(startWinIni), startText);
  EXPECT_EQ(test::ReadWhole(folder + "WINDOWS/win.ini"), theirText);
  // The store in use is remembered with the program's own settings.
  EXPECT_NE(test::ReadWhole(OwnWinIniFile()).find("kvo-StorageDir=" + theirs + "\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kvo
