// SPDX-License-Identifier: GPL-3.0-or-later
// The dialog helpers and the program's dialogs, driven the way a user would:
// each modal window is answered from a timer while the code under test waits
// in exec().
#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/IniWrap.h"
#include "base/VCLUtils.h"
#include "core/Gallery.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/VCLUtils_qt.h"
#include "ui/wAdvanced.h"
#include "ui/wOptions.h"
#include "ui/wOverwrite.h"
#include "ui/wRename.h"
#include "ui/wResize.h"
#include "ui/Theme.h"
#include "ui/wSetLogo.h"

namespace kvo {
namespace {

using test::Child;
using test::WhenModal;

QColor ButtonFace() { return QApplication::palette().color(QPalette::Active, QPalette::Button); }
QColor WindowColor() { return QApplication::palette().color(QPalette::Active, QPalette::Base); }
// QFileDialog hides accept(); the dialog's own checks still run through it.
void Accept(QFileDialog* D) { static_cast<QDialog*>(D)->accept(); }
// A file dialog reads its folder in the background and, when the listing
// arrives, may put the name it was opened with back into its name field:
// let that happen before a test chooses a file, as a user's pace would.
void Settle() {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 200) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}
// Types into the dialog's name field, as a user does: selectFile leaves the
// field alone while it has the focus, which it gets once the dialog is up.
void Type(QFileDialog* D, const QString& Name) {
  if (auto* edit = test::Child<QLineEdit>(D, "fileNameEdit")) edit->setText(Name);
}
QColor FieldColor(const QWidget* W) { return W->palette().color(QPalette::Active, QPalette::Base); }

// Each test starts from default settings in fresh XDG folders.
class DialogTest : public testing::Test {
 protected:
  void SetUp() override { Settings() = TSettings{}; }
  void TearDown() override {
    PrefsPrepare("", "");
    Settings() = TSettings{};
    InstallSilentDialogs();
  }
  test::ScopedXdg xdg_;
};

// ---- message boxes -------------------------------------------------------------------

TEST_F(DialogTest, QuestionsAnswerWithTheirLettersAndClosingMeansNoOrCancel) {
  WhenModal<QMessageBox>([](QMessageBox* b) {
    EXPECT_EQ(b->windowTitle(), "KvoPanoramics 2.0.0");
    EXPECT_EQ(b->icon(), QMessageBox::Question);
    EXPECT_EQ(b->defaultButton(), b->button(QMessageBox::Yes));
    b->close();
  });
  EXPECT_EQ(qt::YesNo("Delete?", 1), 'N');

  WhenModal<QMessageBox>([](QMessageBox* b) {
    EXPECT_EQ(b->defaultButton(), b->button(QMessageBox::No));
    b->button(QMessageBox::Yes)->click();
  });
  EXPECT_EQ(qt::YesNo("Delete?", 0), 'Y');

  WhenModal<QMessageBox>([](QMessageBox* b) {
    EXPECT_EQ(b->defaultButton(), b->button(QMessageBox::No));
    b->close();
  });
  EXPECT_EQ(qt::YesNoCancel("Overwrite?", 2), 'C');

  WhenModal<QMessageBox>([](QMessageBox* b) {
    EXPECT_EQ(b->defaultButton(), b->button(QMessageBox::Cancel));
    b->button(QMessageBox::No)->click();
  });
  EXPECT_EQ(qt::YesNoCancel("Overwrite?", 7), 'N');
}

TEST_F(DialogTest, BoxesShowTextLiterallyUnderTheirCaptions) {
  WhenModal<QMessageBox>([](QMessageBox* b) {
    EXPECT_EQ(b->windowTitle(), "KvoPanoramics 2.0.0");
    EXPECT_EQ(b->icon(), QMessageBox::Critical);
    // A file name with markup characters is shown as it is.
    EXPECT_EQ(b->textFormat(), Qt::PlainText);
    EXPECT_EQ(b->text(), "Cannot open file: <b>x</b>.gif");
    b->close();
  });
  qt::ShowError("Cannot open file: <b>x</b>.gif");
  WhenModal<QMessageBox>([](QMessageBox* b) {
    EXPECT_EQ(b->windowTitle(), "Error");
    EXPECT_EQ(b->icon(), QMessageBox::Critical);
    b->close();
  });
  qt::FatalError("Fatal error: internal monitoring overflow.");
}

TEST_F(DialogTest, InstalledTableReachesTheRealDialogsAndKeepsTheWindowsEntries) {
  std::vector<std::string> statuses;
  Dialogs().Status = [&](const std::string& s, bool) { statuses.push_back(s); };
  InstallQtDialogs();
  ShowStatus("ready");
  EXPECT_EQ(statuses, std::vector<std::string>{"ready"});

  WhenModal<QMessageBox>([](QMessageBox* b) {
    EXPECT_EQ(b->defaultButton(), b->button(QMessageBox::No));
    b->button(QMessageBox::Yes)->click();
  });
  EXPECT_EQ(YesNo("Sure?", false), 'Y');
  WhenModal<TfrmOverwrite>([](TfrmOverwrite* f) { f->btnSkipAll->click(); });
  EXPECT_EQ(ExecOverwriteDialog("Image Already Exists", "Image exists."), 5);
  WhenModal<QMessageBox>([](QMessageBox* b) {
    EXPECT_EQ(b->windowTitle(), "Error");
    b->close();
  });
  Dialogs().FatalError("boom");
}

// ---- names, filters, colours, texts ---------------------------------------------------------

TEST(DialogNames, FilterToExtTakesTheFirstExtensionOfTheChosenPattern) {
  const std::string load = "Bitmaps|*.bmp;*.dib|JPEG (*.jpg)|*.jpg;*.jpeg|GIF| *.gif |Any file (*.*)|*.*";
  EXPECT_EQ(FilterToExt(load, 1), ".bmp");
  EXPECT_EQ(FilterToExt(load, 2), ".jpg");
  EXPECT_EQ(FilterToExt(load, 3), ".gif");  // blanks around the pattern go
  EXPECT_EQ(FilterToExt(load, 4), "");      // *.* names no extension
  EXPECT_EQ(FilterToExt(load, 5), "");
  EXPECT_EQ(FilterToExt(load, 0), "");
  EXPECT_EQ(FilterToExt("Gallery Files (*.gal)|*.gal", 1), ".gal");
  EXPECT_EQ(FilterToExt("Odd|noext", 1), "");
  EXPECT_EQ(FilterToExt("Odd|*.a,*.b", 1), ".a");
  // A separator as the last character opens no pattern.
  EXPECT_EQ(FilterToExt("A|*.a|B|", 2), "");
}

TEST(DialogNames, CompleteNameAddsTheFilterExtensionOnlyWhenMissingOrForced) {
  const std::string f = "GIF|*.gif|Any file (*.*)|*.*";
  EXPECT_EQ(CompleteName("/tmp/pic", f, 1, false), "/tmp/pic.gif");
  EXPECT_EQ(CompleteName("/tmp/pic", f, 2, false), "/tmp/pic");
  EXPECT_EQ(CompleteName("/tmp/pic.png", f, 1, false), "/tmp/pic.png");
  EXPECT_EQ(CompleteName("/tmp/pic.png", f, 1, true), "/tmp/pic.gif");
  // A dot in a folder name is no extension of the file.
  EXPECT_EQ(CompleteName("/tmp/a.b/pic", f, 1, false), "/tmp/a.b/pic.gif");
}

TEST(DialogNames, OrderProperlyRepairsOnlyTheExchangedEnds) {
  using L = std::vector<std::string>;
  auto ordered = [](L l) {
    _OrderProperly(l);
    return l;
  };
  EXPECT_EQ(ordered({"e", "b", "c", "d", "a"}), (L{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(ordered({"a", "b", "c", "d", "e"}), (L{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(ordered({"a", "d", "c", "b", "e"}), (L{"e", "d", "c", "b", "a"}));  // descending
  EXPECT_EQ(ordered({"d", "a", "c", "b"}), (L{"d", "a", "c", "b"}));  // no exchanged ends
  EXPECT_EQ(ordered({"D.png", "b.png", "C.png", "a.png"}), (L{"a.png", "b.png", "C.png", "D.png"}));
  EXPECT_EQ(ordered({"B", "a"}), (L{"a", "B"}));
  EXPECT_EQ(ordered({"c", "b", "a"}), (L{"a", "b", "c"}));
  EXPECT_EQ(ordered({"x"}), (L{"x"}));
}

TEST(DialogNames, WindowsFiltersBecomeQtNameFilters) {
  EXPECT_EQ(QtNameFilters("Gallery Files (*.gal)|*.gal"), QStringList{"Gallery Files (*.gal)"});
  EXPECT_EQ(QtNameFilters("All supported formats|*.gif;*.bmp; *.jpg|Any file (*.*)|*.*"),
            (QStringList{"All supported formats (*.gif *.bmp *.jpg)", "Any file (*)"}));
  EXPECT_EQ(QtNameFilters("Lonely name"), QStringList{});
}

TEST(DialogColors, ColourValuesKeepRedInTheLowByte) {
  EXPECT_EQ(ColorRefToQColor(0x800000), QColor(0, 0, 128));  // navy
  EXPECT_EQ(QColorToColorRef(QColor(0, 128, 255)), 16744448u);
  QImage image(4, 4, QImage::Format_RGB32);
  image.fill(Qt::black);
  QPainter p(&image);
  ClearDC(&p, 1, 1, 2, 2, 0x0000FF);
  ClearDC(nullptr, 0, 0, 4, 4, 0xFFFFFF);
  p.end();
  EXPECT_EQ(image.pixelColor(1, 1), QColor(255, 0, 0));
  EXPECT_EQ(image.pixelColor(3, 3), QColor(0, 0, 0));
}

TEST(DialogTexts, MessageEditorsWriteUtf8AndReadOldFilesAsWindows1252) {
  const std::string utf8 = "\xE2\x82\xACuro \xC3\xA9t\xC3\xA9 \xCE\xA9\r\n--\r\n\r\nend";
  const QString shown = MessageToQString(utf8);
  EXPECT_EQ(shown, QString::fromUtf8("€uro été Ω\n--\n\nend"));
  EXPECT_EQ(QStringToMessage(shown), utf8);
  // Text that is not UTF-8 was written for the Windows code page.
  EXPECT_EQ(MessageToQString("\x80uro \xE9t\xE9\r\nend"), QString::fromUtf8("€uro été\nend"));
}

// ---- file dialogs ------------------------------------------------------------------------

class FileDialogTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    dir_ = xdg_.Root();
    for (const char* name : {"pic.gif", "a.png", "b.png", "c.png"}) test::WriteWhole(dir_ + name, "x");
  }
  std::string dir_;
  const std::string filter_ = "PNG|*.png|GIF|*.gif|Any file (*.*)|*.*";
};

TEST_F(FileDialogTest, OpenDialogStartsWhereTheCallerLeftAndRemembersTheEnd) {
  std::string dir = dir_, file = "stale";
  int32_t index = 1;
  WhenModal<QFileDialog>([&](QFileDialog* d) {
    Settle();
    EXPECT_EQ(d->windowTitle(), "Open a Gallery");
    EXPECT_EQ(d->directory().absolutePath() + "/", QString::fromStdString(dir_));
    EXPECT_EQ(d->selectedNameFilter(), "PNG (*.png)");
    d->selectNameFilter("GIF (*.gif)");
    Type(d, QString::fromStdString(dir_ + "pic.gif"));
    Accept(d);
  });
  ASSERT_TRUE(qt::FileOpenDlg("Open a Gallery", dir, filter_, index, file));
  EXPECT_EQ(file, dir_ + "pic.gif");
  EXPECT_EQ(dir, dir_);
  EXPECT_EQ(index, 2);

  dir = "/elsewhere/";
  WhenModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
  EXPECT_FALSE(qt::FileOpenDlg("Open a Gallery", dir, filter_, index, file));
  EXPECT_EQ(file, "");
  EXPECT_EQ(dir, "/elsewhere/");
  EXPECT_EQ(index, 2);
}

TEST_F(FileDialogTest, OpenDialogCompletesATypedNameWithTheFilterExtension) {
  test::WriteWhole(dir_ + "two.gal", "x");
  test::WriteWhole(dir_ + "notes", "x");
  const std::string filter = std::string(GAL_FILTER) + "|Any file (*.*)|*.*";
  auto type = [](const char* Name) {
    WhenModal<QFileDialog>([Name](QFileDialog* d) {
      Settle();
      Type(d, QString::fromLatin1(Name));
      // A name the dialog cannot find would stop it with a message box.
      const QString chosen = d->selectedFiles().value(0);
      if (QFileInfo::exists(chosen)) {
        Accept(d);
      } else {
        ADD_FAILURE() << "the dialog does not find " << chosen.toStdString();
        d->reject();
      }
    });
  };
  std::string dir = dir_, file;
  int32_t index = 1;
  type("two");
  ASSERT_TRUE(qt::FileOpenDlg("Open a Gallery", dir, filter, index, file));
  EXPECT_EQ(file, dir_ + "two.gal");
  index = 2;
  type("notes");
  ASSERT_TRUE(qt::FileOpenDlg("Open a Gallery", dir, filter, index, file));
  EXPECT_EQ(file, dir_ + "notes");
}

TEST_F(FileDialogTest, SaveDialogCompletesTheNameAndNeverAsksAboutOverwriting) {
  std::string dir = dir_, file = "gallery";
  int32_t index = 2;
  WhenModal<QFileDialog>([&](QFileDialog* d) {
    Settle();
    EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_TRUE(d->testOption(QFileDialog::DontConfirmOverwrite));
    // The name it was given, completed from the chosen filter.
    EXPECT_EQ(d->selectedFiles().value(0), QString::fromStdString(dir_ + "gallery.gif"));
    Type(d, QString::fromStdString(dir_ + "newpic"));
    Accept(d);
  });
  ASSERT_TRUE(qt::FileSaveDlg("Create New Gallery", dir, filter_, index, file));
  EXPECT_EQ(file, dir_ + "newpic.gif");

  WhenModal<QFileDialog>([&](QFileDialog* d) {
    Settle();
    d->selectNameFilter("Any file (*)");
    Type(d, QString::fromStdString(dir_ + "a.png"));
    Accept(d);
  });
  ASSERT_TRUE(qt::FileSaveDlg("Create New Gallery", dir, filter_, index, file));
  EXPECT_EQ(file, dir_ + "a.png");
  EXPECT_EQ(index, 3);
}

TEST_F(FileDialogTest, MultiOpenReturnsEveryChosenFileInOrder) {
  std::string dir = "/", folder = dir_;
  int32_t index = 1;
  std::vector<std::string> files{"stale"};
  WhenModal<QFileDialog>([&](QFileDialog* d) {
    Settle();
    EXPECT_EQ(d->fileMode(), QFileDialog::ExistingFiles);
    d->setDirectory(QString::fromStdString(folder));
    Type(d, "\"c.png\" \"b.png\" \"a.png\"");
    Accept(d);
  });
  ASSERT_TRUE(qt::MultiFileOpenDlg("Add New Image", dir, filter_, index, files));
  EXPECT_EQ(files, (std::vector<std::string>{dir_ + "a.png", dir_ + "b.png", dir_ + "c.png"}));
  EXPECT_EQ(dir, dir_);
}

// ---- colour dialog -----------------------------------------------------------------------

TEST_F(DialogTest, CustomColoursRoundTripThroughTheSettingsFile) {
  const std::string ini = SettingsFile();
  test::WriteWhole(ini, "[Main]\r\nFontSize=12\r\nColorB=0000FF\r\nColorC=zz\r\n");
  WhenModal<QColorDialog>([](QColorDialog* d) {
    EXPECT_EQ(d->currentColor(), QColor(0, 255, 0));
    EXPECT_EQ(QColorDialog::customColor(0), QColor(255, 255, 255));
    EXPECT_EQ(QColorDialog::customColor(1), QColor(255, 0, 0));
    EXPECT_EQ(QColorDialog::customColor(2), QColor(255, 255, 255));  // unreadable: white
    QColorDialog::setCustomColor(3, QColor(0x12, 0x34, 0x56));
    d->setCurrentColor(QColor(1, 2, 3));
    d->accept();
  });
  EXPECT_EQ(ColorPickDlg(0x00FF00, ini, "Main"), 0x030201u);
  // The target stays on the settings file.
  std::string value;
  PrefsReadStr("ColorD", value, "");
  EXPECT_EQ(value, "563412");
  PrefsReadStr("ColorB", value, "");
  EXPECT_EQ(value, "0000FF");
  PrefsReadStr("FontSize", value, "");
  EXPECT_EQ(value, "12");

  const std::string before = test::ReadWhole(ini);
  WhenModal<QColorDialog>([](QColorDialog* d) {
    QColorDialog::setCustomColor(0, QColor(9, 9, 9));
    d->reject();
  });
  EXPECT_EQ(ColorPickDlg(0x123456, ini, "Main"), 0x123456u);
  EXPECT_EQ(test::ReadWhole(ini), before);
}

TEST_F(DialogTest, ColourDialogWithoutSettingsFileNeitherReadsNorWrites) {
  const std::string ini = SettingsFile();
  test::WriteWhole(ini, "[Main]\r\nColorA=000000\r\n");
  QColorDialog::setCustomColor(0, QColor(7, 8, 9));
  WhenModal<QColorDialog>([](QColorDialog* d) {
    EXPECT_EQ(QColorDialog::customColor(0), QColor(7, 8, 9));
    d->accept();
  });
  ColorPickDlg(0, "", "");
  EXPECT_EQ(test::ReadWhole(ini), "[Main]\r\nColorA=000000\r\n");
}

// ---- control helpers ------------------------------------------------------------------------

TEST(DialogControls, DisablingAContainerGreysEveryFieldInsideNestedOnesToo) {
  QWidget panel;
  auto* edit = new QLineEdit(&panel);
  auto* combo = new QComboBox(&panel);
  auto* label = new QLabel("x", &panel);
  auto* inner = new QGroupBox(&panel);
  auto* innerEdit = new QLineEdit(inner);
  auto* innerCombo = new QComboBox(inner);
  TWinControl_Enable(&panel, false);
  for (QWidget* w : std::vector<QWidget*>{edit, combo, innerEdit, innerCombo}) {
    EXPECT_FALSE(w->isEnabled());
    EXPECT_EQ(FieldColor(w), ButtonFace());
  }
  EXPECT_FALSE(label->isEnabled());
  EXPECT_FALSE(inner->isEnabled());
  TWinControl_Enable(&panel, true);
  for (QWidget* w : std::vector<QWidget*>{edit, combo, innerEdit, innerCombo}) {
    EXPECT_TRUE(w->isEnabled());
    EXPECT_EQ(FieldColor(w), WindowColor());
  }
  EXPECT_TRUE(label->isEnabled());
}

// ---- the small dialogs ------------------------------------------------------------------------

TEST_F(DialogTest, PositionDialogShowsTheGivenPositionsAndReturnsTheCheckedOnes) {
  uint32_t positions = POS_STARTUP | POS_TURNOFF;
  WhenModal<TfrmSetLogo>([](TfrmSetLogo* f) {
    EXPECT_EQ(f->windowTitle(), "Select Logo Position");
    EXPECT_EQ(f->chk0->text(), "&Startup");
    EXPECT_TRUE(f->chk0->isChecked());
    EXPECT_FALSE(f->chk1->isChecked());
    EXPECT_TRUE(f->chk2->isChecked());
    EXPECT_EQ(f->chk2->text(), "Turn &Off");
    EXPECT_TRUE(f->memoText->isReadOnly());
    // A note in the scheme's link colour, readable on the field.
    const QPalette& pal = f->memoText->palette();
    EXPECT_EQ(pal.color(QPalette::Text), NoteTextColor(pal, pal.color(QPalette::Base)));
    f->chk1->click();
    f->btnCancel->click();
  });
  EXPECT_FALSE(qt::ExecPositionDialog(positions, "Explanation", TONE_NOTE));
  EXPECT_EQ(positions, 5u);

  WhenModal<TfrmSetLogo>([](TfrmSetLogo* f) {
    f->chk0->click();
    f->chk2->click();
    f->btnOK->click();
  });
  EXPECT_TRUE(qt::ExecPositionDialog(positions, "Explanation", TONE_PLAIN));
  EXPECT_EQ(positions, 0u);

  WhenModal<TfrmSetLogo>([](TfrmSetLogo* f) {
    f->chk1->click();
    f->btnOK->click();
  });
  EXPECT_TRUE(qt::ExecPositionDialog(positions, "Explanation", 0));
  EXPECT_EQ(positions, POS_WAIT);
}

TEST_F(DialogTest, ResizeDialogChecksTheStoredModeAndAnUnknownOneAsNothing) {
  int32_t mode = 3;
  WhenModal<TfrmResize>([](TfrmResize* f) {
    EXPECT_EQ(f->windowTitle(), "Choose Resize Mode");
    EXPECT_FALSE(f->radBorder->isChecked() || f->radCrop->isChecked() ||
                 f->radStretch->isChecked());
    f->btnOK->click();
  });
  EXPECT_TRUE(qt::ExecResizeDialog(mode));
  EXPECT_EQ(mode, 0);

  mode = 1;
  WhenModal<TfrmResize>([](TfrmResize* f) {
    EXPECT_TRUE(f->radCrop->isChecked());
    f->imgStretch->click();  // the picture chooses its mode
    EXPECT_TRUE(f->radStretch->isChecked());
    f->btnOK->click();
  });
  EXPECT_TRUE(qt::ExecResizeDialog(mode));
  EXPECT_EQ(mode, 2);

  WhenModal<TfrmResize>([](TfrmResize* f) {
    f->radBorder->click();
    f->close();
  });
  EXPECT_FALSE(qt::ExecResizeDialog(mode));
  EXPECT_EQ(mode, 2);
}

TEST(DialogResize, ExamplePicturesShowBordersCropAndStretch) {
  const QImage border = ResizeExampleImage(RESIZE_BORDER);
  const QImage crop = ResizeExampleImage(RESIZE_CROP);
  const QImage stretch = ResizeExampleImage(RESIZE_STRETCH);
  ASSERT_EQ(border.size(), QSize(96, 80));
  // The wide scene keeps its shape only with black margins above and below.
  EXPECT_EQ(border.pixelColor(48, 2), QColor(Qt::black));
  EXPECT_EQ(border.pixelColor(48, 77), QColor(Qt::black));
  EXPECT_NE(border.pixelColor(48, 40), QColor(Qt::black));
  for (const QImage* full : {&crop, &stretch}) {
    EXPECT_NE(full->pixelColor(48, 2), QColor(Qt::black));
    EXPECT_NE(full->pixelColor(2, 77), QColor(Qt::black));
  }
  // Cropping cuts the house at the left edge off; stretching keeps it.
  EXPECT_NE(crop, stretch);
  EXPECT_EQ(ResizeExampleImage(9), border);
}

TEST_F(DialogTest, RenameDialogReturnsTheTextExactlyAsTyped) {
  std::string name = "old";
  WhenModal<TfrmRename>([](TfrmRename* f) {
    EXPECT_EQ(f->windowTitle(), "Change Prefix");
    EXPECT_EQ(f->labSubTitle->text(), "New prefix for selected images");
    EXPECT_EQ(f->edNewName->text(), "old");
    f->edNewName->setText("  new name  ");
    f->btnOK->click();
  });
  EXPECT_TRUE(qt::ExecRenameDialog("Change Prefix", "New prefix for selected images", name));
  EXPECT_EQ(name, "  new name  ");

  WhenModal<TfrmRename>([](TfrmRename* f) {
    f->edNewName->setText("");
    f->btnCancel->click();
  });
  EXPECT_FALSE(qt::ExecRenameDialog("Rename", "Enter new name", name));
  EXPECT_EQ(name, "  new name  ");
}

TEST_F(DialogTest, OverwriteDialogAnswersByButtonAndAbortsWhenClosed) {
  WhenModal<TfrmOverwrite>([](TfrmOverwrite* f) {
    EXPECT_EQ(f->windowTitle(), "Image Already Exists");
    f->close();
  });
  EXPECT_EQ(qt::ExecOverwriteDialog("Image Already Exists", "Exists."), OVR_ABORT);

  const std::vector<std::pair<const char*, int32_t>> answers = {
      {"btnOvr", 1}, {"btnOvrAll", 4}, {"btnSkip", 2}, {"btnSkipAll", 5}, {"btnRename", 3}, {"btnAbort", 6}};
  for (const auto& [name, answer] : answers) {
    WhenModal<TfrmOverwrite>([name = name](TfrmOverwrite* f) {
      if (auto* b = Child<QPushButton>(f, name)) b->click();
    });
    EXPECT_EQ(qt::ExecOverwriteDialog("c", "t"), answer) << name;
  }
}

TEST(DialogOverwrite, ButtonsSitInOneRowInTheirOrder) {
  TfrmOverwrite f("c", "t");
  f.show();
  QApplication::processEvents();
  const std::vector<std::pair<QPushButton*, QString>> row = {
      {f.btnOvr, "&Overwrite"}, {f.btnOvrAll, "Overwrite All"}, {f.btnSkip, "&Skip"},
      {f.btnSkipAll, "Skip All Dupl."}, {f.btnRename, "&Rename"}, {f.btnAbort, "A&bort"}};
  for (size_t i = 0; i < row.size(); ++i) {
    EXPECT_EQ(row[i].first->text(), row[i].second);
    EXPECT_EQ(row[i].first->size(), QSize(75, 25));
    if (i > 0) {
      EXPECT_GT(row[i].first->x(), row[i - 1].first->x());
      EXPECT_EQ(row[i].first->y(), row[i - 1].first->y());
    }
  }
}

TEST(DialogOverwrite, ShortTextsSitLowerAndLongOnesScroll) {
  TfrmOverwrite one("c", "Image \"a.kvo\" already exists.");
  EXPECT_EQ(one.memo1->toPlainText(), "\nImage \"a.kvo\" already exists.");
  EXPECT_EQ(one.memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

  TfrmOverwrite three("c", "1\r\n2\r\n3");
  EXPECT_EQ(three.memo1->toPlainText(), "1\n2\n3");

  std::string words;
  while (WrappedLineCount(QString::fromStdString(words), one.memo1->font(), 469) < 8)
    words += "duplicate ";
  TfrmOverwrite eight("c", words);
  EXPECT_EQ(eight.memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  TfrmOverwrite six("c", "1\n2\n3\n4\n5\n6");
  EXPECT_EQ(six.memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
}

// ---- the options dialog ---------------------------------------------------------------------------

class OptionsTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    LoadSettings(true);
    SetMessages(POS_STARTUP, "Welcome\r\n--\r\nHello");
    SetMessages(POS_TURNOFF, "Bye");
  }
  std::string AutostartEntry() const {
    return xdg_.Root() + "config/autostart/" + RUN_VALUE_NAME + ".desktop";
  }
};

TEST_F(OptionsTest, OpensWithTheSettingsAndCorrectsOutOfRangeValues) {
  Settings().AnimShape = 7;
  Settings().MsgPickMethod = 5;
  Settings().AnimMove = -3;
  WhenModal<TfrmOptions>([](TfrmOptions* f) {
    EXPECT_EQ(f->windowTitle(), "Options");
    EXPECT_EQ(f->pgOptions->currentIndex(), 0);
    const QStringList tabs = {"General", "Startup", "Shut Down", "Turn Off", "Animation"};
    for (int i = 0; i < tabs.size(); ++i) EXPECT_EQ(f->pgOptions->tabText(i), tabs[i]);
    EXPECT_EQ(f->lstAnimShape->currentText(), "Vertical - left and right bar");
    EXPECT_EQ(f->lstAnimMove->currentText(), "Smooth scroll");
    EXPECT_EQ(f->grpMsgPick->checkedButton()->text(), "Show only the first one (ignore others)");
    EXPECT_EQ(f->edFont->text(), "Verdana, size 10, bold");
    EXPECT_EQ(f->lstPalette->currentText(), "Standard");
    EXPECT_EQ(f->lstPalette->accessibleName(), "Palette");
    EXPECT_EQ(f->memo[0]->toPlainText(), "Welcome\n--\nHello");
    EXPECT_EQ(f->chkMsg[2]->text(), "\"Turn off\" messages");
    EXPECT_EQ(f->panAnimColor1->Color(), 16744448u);
    f->btnOK->click();
  });
  EXPECT_TRUE(ExecOptionsDialog(nullptr));
  EXPECT_EQ(Settings().AnimShape, 2);
  EXPECT_EQ(Settings().MsgPickMethod, 1);
  EXPECT_EQ(Settings().AnimMove, 0);
}

TEST_F(OptionsTest, CancelLeavesSettingsAndFilesAsTheyWere) {
  const TSettings before = Settings();
  WhenModal<TfrmOptions>([](TfrmOptions* f) {
    f->chkAutoStart->click();
    f->grpMsgPick->button(1)->click();
    f->chkAnimEnabled->click();
    f->lstAnimShape->setCurrentIndex(0);
    f->lstPalette->setCurrentIndex(1);
    f->memo[1]->setPlainText("changed");
    f->chkMsg[0]->click();
    f->btnCancel->click();
  });
  EXPECT_FALSE(ExecOptionsDialog(nullptr));
  const TSettings& s = Settings();
  EXPECT_EQ(s.AutoChange, before.AutoChange);
  EXPECT_EQ(s.MsgPickMethod, before.MsgPickMethod);
  EXPECT_EQ(s.AnimEnabled, before.AnimEnabled);
  EXPECT_EQ(s.AnimShape, before.AnimShape);
  EXPECT_EQ(s.Palette, before.Palette);
  EXPECT_EQ(s.MsgEnabled[0], before.MsgEnabled[0]);
  EXPECT_EQ(GetMessages(POS_WAIT), "");
  EXPECT_EQ(test::ReadWhole(SettingsFile()), "");
  EXPECT_EQ(test::ReadWhole(MessageFile(POS_WAIT)), "");
}

TEST_F(OptionsTest, OkWritesEverythingBackAndSaves) {
  WhenModal<TfrmOptions>([&](TfrmOptions* f) {
    // Off for a new user, and said in words what it would do.
    EXPECT_FALSE(f->chkAutoStart->isChecked());
    EXPECT_EQ(f->lblAutoStart->text().toStdString(),
              "At log-in, put random logos on " + xdg_.Root() + "data/KvoPanoramics/drive_c/.");
    f->chkAutoStart->click();
    f->grpMsgPick->button(1)->click();
    f->pgOptions->setCurrentIndex(3);
    f->chkMsg[2]->click();
    // A switched-off message is greyed but keeps its text.
    EXPECT_FALSE(f->memo[2]->isEnabled());
    EXPECT_EQ(FieldColor(f->memo[2]), ButtonFace());
    EXPECT_EQ(f->memo[2]->toPlainText(), "Bye");
    f->memo[2]->setPlainText("Good night\n\nSee you");
    f->lstAnimMove->setCurrentIndex(1);
    f->lstPalette->setCurrentIndex(1);
    WhenModal<QColorDialog>([](QColorDialog* d) {
      d->setCurrentColor(QColor(255, 0, 0));
      d->accept();
    });
    f->panTextColor1->clicked();
    EXPECT_EQ(f->panTextColor1->Color(), 0x0000FFu);
    f->btnOK->click();
  });
  EXPECT_TRUE(ExecOptionsDialog(nullptr));
  const TSettings& s = Settings();
  EXPECT_TRUE(s.AutoChange);
  EXPECT_EQ(s.MsgPickMethod, 1);
  EXPECT_FALSE(s.MsgEnabled[2]);
  EXPECT_EQ(s.AnimMove, 1);
  EXPECT_EQ(s.TextColor, 0x0000FFu);
  EXPECT_EQ(GetMessages(POS_TURNOFF), "Good night\r\n\r\nSee you");
  EXPECT_EQ(test::ReadWhole(MessageFile(POS_TURNOFF)), "Good night\r\n\r\nSee you\r\n");
  const std::string ini = test::ReadWhole(SettingsFile());
  EXPECT_NE(ini.find("Msg2Enabled=0"), std::string::npos);
  EXPECT_NE(ini.find("AutoChange=1"), std::string::npos);
  EXPECT_NE(ini.find("Palette=1"), std::string::npos);  // Best
  EXPECT_NE(ini.find("ColorA=FFFFFF"), std::string::npos);  // the colour dialog's list
  // Turning automatic change on is what makes the log-in job.
  EXPECT_NE(test::ReadWhole(AutostartEntry()).find("/shuffle"), std::string::npos);

  WhenModal<TfrmOptions>([](TfrmOptions* f) {
    EXPECT_TRUE(f->chkAutoStart->isChecked());
    f->chkAutoStart->click();
    f->btnOK->click();
  });
  EXPECT_TRUE(ExecOptionsDialog(nullptr));
  EXPECT_FALSE(FileExists(AutostartEntry()));
  EXPECT_NE(test::ReadWhole(SettingsFile()).find("AutoChange=0"), std::string::npos);
}

TEST_F(OptionsTest, AnimationSwitchGreysTheWholeOptionsBox) {
  Settings().AnimEnabled = false;
  TOptionsCopy copy = OptionsFromSettings();
  TfrmOptions f(copy);
  for (QComboBox* list : {f.lstAnimShape, f.lstAnimMove}) {
    EXPECT_FALSE(list->isEnabled());
    EXPECT_EQ(FieldColor(list), ButtonFace());
  }
  EXPECT_FALSE(f.panAnimColor1->isEnabled());
  EXPECT_FALSE(f.panAnimColor2->isEnabled());
  for (QLabel* label : f.boxAutoChange->findChildren<QLabel*>()) EXPECT_FALSE(label->isEnabled());
  f.chkAnimEnabled->click();
  EXPECT_TRUE(f.lstAnimShape->isEnabled());
  EXPECT_EQ(FieldColor(f.lstAnimMove), WindowColor());
  EXPECT_TRUE(f.panAnimColor2->isEnabled());
}

TEST_F(OptionsTest, ChosenFontSizeIsLimitedAndCancelKeepsTheOldFont) {
  TOptionsCopy copy = OptionsFromSettings();
  WhenModal<TfrmOptions>([](TfrmOptions* f) {
    WhenModal<QFontDialog>([](QFontDialog* d) {
      QFont font("DejaVu Sans");
      font.setPointSize(96);
      font.setItalic(true);
      d->setCurrentFont(font);
      d->accept();
    });
    f->btnFontSelect->click();
    EXPECT_EQ(f->edFont->text(), "DejaVu Sans, size 72, italic");
    f->btnCancel->click();
  });
  EXPECT_FALSE(ExecOptionsDialog(copy, nullptr));
  // The font dialog's choice lives in the working copy only.
  EXPECT_EQ(copy.FontSize, 72);
  EXPECT_EQ(Settings().FontSize, 10);
  EXPECT_EQ(Settings().FontName, "Verdana");
  EXPECT_TRUE(Settings().FontBold);

  QFont small("DejaVu Sans");
  small.setPointSize(4);
  TakeChosenFont(copy, small);
  EXPECT_EQ(copy.FontSize, 6);
  EXPECT_FALSE(copy.FontBold);
}

// ---- the special folders dialog -------------------------------------------------------------------

TEST_F(DialogTest, FoldersDialogHandsOnWhatWasTypedOnlyOnOk) {
  LoadSettings(false);
  SetStorageDir("/store/");
  SetLogoFile(POS_WAIT, "/w/logow.sys");
  WhenModal<TfrmLoc>([](TfrmLoc* f) {
    EXPECT_EQ(f->windowTitle(), "Advanced Options");
    EXPECT_EQ(f->pgFolders->currentIndex(), 0);
    EXPECT_EQ(f->edSrc->text(), "/store/");
    EXPECT_EQ(f->edDest1->text(), "/w/logow.sys");
    f->btnRestore95->click();
    f->btnRestoreStorage->click();
    EXPECT_EQ(f->edDest1->text().toStdString(), DefaultLogoFile(POS_WAIT));
    f->pgFolders->setCurrentIndex(1);
    f->btnCancel->click();
  });
  EXPECT_FALSE(ExecAdvancedDialog(nullptr));
  EXPECT_EQ(GetStorageDir(), "/store/");
  EXPECT_EQ(GetLogoFile(POS_WAIT), "/w/logow.sys");

  WhenModal<TfrmLoc>([](TfrmLoc* f) {
    EXPECT_EQ(f->pgFolders->currentIndex(), 0);  // always opens on the logo files
    f->edSrc->setText("");
    f->edDest2->setText("  /mnt/win98/WINDOWS/LOGOS.SYS ");
    f->btnOK->click();
  });
  EXPECT_TRUE(ExecAdvancedDialog(nullptr));
  EXPECT_EQ(GetStorageDir(), "");
  EXPECT_EQ(GetLogoFile(POS_TURNOFF), "/mnt/win98/WINDOWS/LOGOS.SYS");
  EXPECT_EQ(GetLogoFile(POS_WAIT), "/w/logow.sys");
}

// ---- screenshots ---------------------------------------------------------------------------------

// With KVO_UI_SHOTS naming a folder, every dialog is drawn into a PNG there,
// so that its layout can be looked at (run under a real display server, such
// as xvfb-run, to see the platform's own fonts and style).
TEST_F(DialogTest, Screenshots) {
  const char* folder = std::getenv("KVO_UI_SHOTS");
  if (!folder || !*folder) GTEST_SKIP() << "set KVO_UI_SHOTS to a folder to take screenshots";
  LoadSettings(true);
  SetMessages(POS_STARTUP, "Welcome to Windows\r\n--\r\nHave a nice day");
  auto shoot = [&](QWidget& w, const char* name) {
    w.show();
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    EXPECT_TRUE(w.grab().save(QString::fromLocal8Bit(folder) + "/" + name + ".png")) << name;
    w.hide();
  };
  TfrmSetLogo setLogo(POS_STARTUP | POS_TURNOFF,
                      "Select one or more positions where you want to set this image. The logo "
                      "will be generated immediately and you will see it on the next shut down "
                      "(or startup).",
                      0);
  shoot(setLogo, "setlogo");
  TfrmResize resize(0);
  shoot(resize, "resize");
  TfrmRename rename("Change Prefix", "New prefix for selected images", "Custom");
  shoot(rename, "rename");
  TfrmOverwrite overwrite("Image Already Exists",
                          "Image \"Custom--sunset.kvo\" already exists in the destination folder. "
                          "What to do with it?");
  shoot(overwrite, "overwrite");
  TOptionsCopy copy = OptionsFromSettings();
  TfrmOptions options(copy);
  for (int page = 0; page < options.pgOptions->count(); ++page) {
    options.pgOptions->setCurrentIndex(page);
    shoot(options, ("options" + std::to_string(page)).c_str());
  }
  TfrmLoc loc;
  shoot(loc, "folders0");
  loc.pgFolders->setCurrentIndex(1);
  shoot(loc, "folders1");
}

}  // namespace
}  // namespace kvo
