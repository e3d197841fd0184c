// SPDX-License-Identifier: GPL-3.0-or-later
// The windows as people of the desktop use them: text readable in a light
// and a dark colour scheme (WCAG AA contrast between the colours the widgets
// draw with), every control named for a screen reader (walked through
// QAccessible, as AT-SPI sees them), and every command reachable from the
// keyboard alone.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QColorDialog>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "tests/TestSupport.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/Theme.h"
#include "ui/wAdvanced.h"
#include "ui/wDrive.h"
#include "ui/wHelp.h"
#include "ui/wMain.h"
#include "ui/wOptions.h"
#include "ui/wOverwrite.h"
#include "ui/wRename.h"
#include "ui/wResize.h"
#include "ui/wSetLogo.h"

namespace kvo {
namespace {

using test::WhenModal;

using test::ShownText;
using test::TScheme;

class AccessTest : public testing::Test {
 protected:
  void SetUp() override {
    LoadSettings(true);
    const std::string dir = GetStorageDir();
    ASSERT_TRUE(MakeLongDir(dir));
    // Long names, as galleries bring them.
    Store(dir + "Kleiber--A very long name of a picture taken at the lake at dusk.kvo", POS_STARTUP);
    Store(dir + "Kleiber--A very long name of a picture taken at the lake at dusk copy.kvo",
          POS_STARTUP | POS_TURNOFF);
    Store(dir + "Custom--Sunset.kvo", POS_ALL);
  }
  void TearDown() override { ClearError(); }

  static void Store(const std::string& Path, uint32_t Positions) {
    TImg img;
    ImgAlloc(img, LOGO_WIDTH, LOGO_HEIGHT, 8);
    std::memset(img.Data, 1, static_cast<size_t>(LOGO_WIDTH) * LOGO_HEIGHT);
    img.Palette[1][1] = 160;
    ASSERT_TRUE(SaveStoredPicture(Path, img, TLogoMarks{Positions, 0, MARKS_SIZE}));
    ImgFree(img);
  }

  // Every window of the program, shown (not run), in the state that shows
  // the most text: the drive dialog with an error, the main window with
  // its list.
  std::vector<std::unique_ptr<QWidget>> AllWindows() {
    std::vector<std::unique_ptr<QWidget>> all;
    all.push_back(std::make_unique<TfrmMain>());
    all.push_back(std::make_unique<TfrmSetLogo>(POS_STARTUP, "Select one or more positions.",
                                                TONE_PLAIN));
    all.push_back(std::make_unique<TfrmSetLogo>(POS_WAIT, "When using Shuffle or AutoChange.",
                                                TONE_NOTE));
    all.push_back(std::make_unique<TfrmOptions>(options_));
    all.push_back(std::make_unique<TfrmLoc>());
    auto drive = std::make_unique<TfrmDrive>();
    drive->edPath->setText(QString::fromStdString(xdg_.Root() + "no-such-drive"));
    drive->Refresh();
    all.push_back(std::move(drive));
    all.push_back(std::make_unique<TfrmResize>(RESIZE_BORDER));
    all.push_back(std::make_unique<TfrmRename>("Rename", "New name:", "Custom--Sunset"));
    all.push_back(std::make_unique<TfrmOverwrite>("Overwrite", "The file exists."));
    all.push_back(std::make_unique<TfrmAbout>(FindDocument("readme.txt")));
    all.push_back(std::make_unique<TfrmHelp>(FindDocument("manual.html")));
    for (auto& w : all) w->show();
    QApplication::processEvents();
    return all;
  }

  test::ScopedXdg xdg_;
  test::ScriptedDialogs dialogs_;
  TOptionsCopy options_ = OptionsFromSettings();
};

// ---- colours ----------------------------------------------------------------------------

TEST(ThemeColours, ContrastAndReadableColours) {
  struct Case {
    QColor A, B;
    double Ratio;
  } const ratios[] = {
      {Qt::black, Qt::white, 21.0},
      {Qt::white, Qt::white, 1.0},
      {QColor(118, 118, 118), Qt::white, 4.54},  // the lightest grey that passes on white
      {QColor(128, 0, 0), QColor(45, 45, 45), 1.26},  // the old error red on a dark window
  };
  for (const Case& c : ratios) EXPECT_NEAR(ContrastRatio(c.A, c.B), c.Ratio, 0.01);
  const QColor backgrounds[] = {Qt::white, QColor(240, 240, 240), QColor(45, 45, 45), Qt::black};
  for (const QColor& bg : backgrounds) {
    QPalette p;
    p.setColor(QPalette::Window, bg);
    p.setColor(QPalette::Link, QColor(42, 130, 218));
    EXPECT_GE(ContrastRatio(ErrorTextColor(p), bg), TEXT_CONTRAST_MIN) << bg.name().toStdString();
    EXPECT_GE(ContrastRatio(NoteTextColor(p, bg), bg), TEXT_CONTRAST_MIN) << bg.name().toStdString();
    // Still a red.
    EXPECT_GT(ErrorTextColor(p).red(), ErrorTextColor(p).green() + 60) << bg.name().toStdString();
  }
  // A colour that reads already stays as it is.
  EXPECT_EQ(ReadableOn(QColor(0, 0, 128), Qt::white), QColor(0, 0, 128));
}

// The background a widget's text lies on: its own when it paints one,
// else that of the nearest parent that does.
QColor BackgroundOf(const QWidget* W) {
  const QPalette::ColorRole role = W->backgroundRole();
  if (role == QPalette::Base || role == QPalette::Button) return W->palette().color(role);
  for (const QWidget* w = W; w; w = w->parentWidget())
    if (w->autoFillBackground() || w->isWindow()) return w->palette().color(w->backgroundRole());
  return W->palette().color(QPalette::Window);
}

// Every text of Window whose colour has less than 4.5 : 1 against its
// background, as "object: ratio".
QStringList ContrastFailures(QWidget* Window) {
  QStringList failures;
  QList<QWidget*> widgets = Window->findChildren<QWidget*>();
  widgets.prepend(Window);
  for (QWidget* w : widgets) {
    if (!w->isVisibleTo(Window) || !w->isEnabled() || ShownText(w).trimmed().isEmpty()) continue;
    // Text fields and lists draw on their viewport.
    const QWidget* drawn = w;
    if (auto* area = qobject_cast<QAbstractScrollArea*>(w)) drawn = area->viewport();
    const QColor fg = drawn->palette().color(drawn->foregroundRole());
    const QColor bg = BackgroundOf(drawn);
    const double ratio = ContrastRatio(fg, bg);
    if (ratio < TEXT_CONTRAST_MIN)
      failures << QStringLiteral("%1/%2: %3 on %4 = %5")
                      .arg(Window->objectName(), w->objectName(), fg.name(), bg.name())
                      .arg(ratio, 0, 'f', 2);
  }
  return failures;
}

TEST_F(AccessTest, EveryTextReadsInLightAndDarkSchemes) {
  for (const test::TNamedScheme& c : test::LightAndDark()) {
    TScheme scheme(c.Palette);
    auto windows = AllWindows();
    int texts = 0;
    for (auto& w : windows) {
      for (QWidget* child : w->findChildren<QWidget*>()) texts += !ShownText(child).isEmpty();
      const QStringList failures = ContrastFailures(w.get());
      EXPECT_TRUE(failures.isEmpty()) << c.Name << ": " << failures.join(", ").toStdString();
    }
    EXPECT_GT(texts, 60) << c.Name;  // the walk saw the windows' texts
    for (auto& w : windows)
      if (auto* m = dynamic_cast<TfrmMain*>(w.get())) m->EndSession();
  }
}

// ---- screen readers --------------------------------------------------------------------

bool Interactive(QAccessible::Role Role) {
  using R = QAccessible::Role;
  static const R roles[] = {R::Button,   R::CheckBox, R::RadioButton, R::ComboBox,   R::EditableText, R::SpinBox,
                            R::Slider,   R::List,     R::ListItem,    R::Table,      R::Tree,         R::TreeItem,
                            R::Cell,     R::PageTab,  R::ButtonMenu,  R::ButtonDropDown, R::Link};
  return std::find(std::begin(roles), std::end(roles), Role) != std::end(roles);
}

// The interactive controls under I that a screen reader could not name.
void Unnamed(QAccessibleInterface* I, QStringList& Out, int Depth = 0) {
  if (!I || !I->isValid() || Depth > 16 || I->state().invisible) return;
  if (Interactive(I->role()) && I->text(QAccessible::Name).trimmed().isEmpty())
    Out << QStringLiteral("%1 (role %2)")
               .arg(I->object() ? I->object()->objectName() : QStringLiteral("?"))
               .arg(static_cast<int>(I->role()));
  for (int i = 0; i < I->childCount(); ++i) Unnamed(I->child(i), Out, Depth + 1);
}

TEST_F(AccessTest, EveryControlHasAnAccessibleName) {
  auto windows = AllWindows();
  for (auto& w : windows) {
    QStringList unnamed;
    Unnamed(QAccessible::queryAccessibleInterface(w.get()), unnamed);
    EXPECT_TRUE(unnamed.isEmpty()) << w->objectName().toStdString() << ": "
                                   << unnamed.join(", ").toStdString();
  }
  auto* main = dynamic_cast<TfrmMain*>(windows[0].get());
  ASSERT_NE(main, nullptr);
  // A row says its name and its positions; the preview says what it shows.
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(main->lstFiles);
  ASSERT_NE(list, nullptr);
  QStringList cells;
  for (int i = 0; i < list->childCount(); ++i) cells << list->child(i)->text(QAccessible::Name);
  EXPECT_TRUE(cells.contains(QStringLiteral("Custom--Sunset: Startup, Wait, Turn off")))
      << cells.join(" | ").toStdString();
  EXPECT_TRUE(cells.contains(QStringLiteral("not Wait"))) << cells.join(" | ").toStdString();
  EXPECT_EQ(QAccessible::queryAccessibleInterface(main->Panel2)->text(QAccessible::Name),
            QStringLiteral("Preview: Stored picture Custom--Sunset"));
  main->EndSession();
}

// ---- keyboard -------------------------------------------------------------------------------

class KeyboardTest : public AccessTest {
 protected:
  std::unique_ptr<TfrmMain> OpenActive() {
    auto w = std::make_unique<TfrmMain>();
    w->show();
    Activate(w.get());
    w->lstFiles->setFocus();
    return w;
  }
  // The offscreen platform gives the activation back to no window when a
  // dialog closes; a desktop gives it to the main window.
  static void Activate(QWidget* W) {
    W->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(W));
  }
  // Keys typed to whatever has the focus, one after the other.
  static void Type(const std::vector<QKeyCombination>& Keys) {
    for (const QKeyCombination& k : Keys) {
      QWidget* target = QApplication::activePopupWidget();
      if (!target) target = QApplication::focusWidget();
      ASSERT_NE(target, nullptr);
      QTest::keyClick(target, k.key(), k.keyboardModifiers());
    }
  }
};

TEST_F(KeyboardTest, EveryCommandIsReachedWithoutAMouse) {
  auto w = OpenActive();
  std::vector<std::string> asked;
  Dialogs().MultiFileOpen = [&](const std::string& Title, std::string&, const std::string&,
                                int32_t&, std::vector<std::string>&) {
    asked.push_back(Title);
    return false;
  };
  Dialogs().PositionDialog = [&](uint32_t&, const std::string& Text, uint32_t Tone) {
    asked.push_back(Text.substr(0, 16) + (Tone == TONE_NOTE ? " (note)" : ""));
    return false;
  };
  Dialogs().YesNo = [&](const std::string& Text, bool) {
    asked.push_back(Text);
    return 'N';
  };
  Dialogs().RenameDialog = [&](const std::string& Caption, const std::string&, std::string&) {
    asked.push_back(Caption);
    return false;
  };
  const auto alt = [](Qt::Key K) { return QKeyCombination(Qt::AltModifier, K); };
  struct Case {
    const char* Command;
    std::vector<QKeyCombination> Keys;
    std::string Asked;  // what the command asked first
  } const cases[] = {
      {"Add", {QKeyCombination(Qt::Key_A)}, "Add New Image"},
      {"Set", {QKeyCombination(Qt::Key_Return)}, "Select one or mo"},
      {"Delete", {QKeyCombination(Qt::Key_Delete)}, "Move Custom--Sunset.kvo to the Trash?"},
      {"Rename", {QKeyCombination(Qt::Key_F2)}, "Rename"},
      {"Choose Position", {alt(Qt::Key_I), QKeyCombination(Qt::Key_C)}, "When using Shuff (note)"},
      {"Set from the menu", {alt(Qt::Key_I), QKeyCombination(Qt::Key_S)}, "Select one or mo"},
  };
  for (const Case& c : cases) {
    asked.clear();
    w->lstFiles->setFocus();
    Type(c.Keys);
    ASSERT_FALSE(asked.empty()) << c.Command;
    EXPECT_EQ(asked.front(), c.Asked) << c.Command;
  }
  // Shuffle from the menu (Alt+I, F) says what it did in the status bar.
  Type({alt(Qt::Key_I), QKeyCombination(Qt::Key_F)});
  EXPECT_EQ(w->StatusText(), "Random logos are set.");
}

TEST_F(KeyboardTest, DialogsOpenWithTheFocusInTheirFirstFieldAndCloseWithEscape) {
  auto w = OpenActive();
  const auto alt = [](Qt::Key K) { return QKeyCombination(Qt::AltModifier, K); };
  // Options: the first message editor; its colour swatches open their
  // chooser with Space and take the colour chosen there.
  QString optionsFocus, driveFocus;
  uint32_t picked = 0;
  WhenModal<TfrmOptions>([&](TfrmOptions* O) {
    // The focus comes with the window's activation.
    (void)QTest::qWaitFor([O] { return O->focusWidget() != nullptr; }, 2000);
    optionsFocus = O->focusWidget() ? O->focusWidget()->objectName() : QString();
    O->panTextColor1->setFocus();
    WhenModal<QColorDialog>([](QColorDialog* C) {
      C->setCurrentColor(QColor(10, 20, 30));
      C->accept();
    });
    QTest::keyClick(O->panTextColor1, Qt::Key_Space);
    picked = O->panTextColor1->Color();
    // Keys reach a dialog once it is the active window again.
    Activate(O);
    QTest::keyClick(O, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([O] { return !O->isVisible(); }, 3000)) << "Escape left Options open";
    if (O->isVisible()) O->reject();
  });
  Type({alt(Qt::Key_T), QKeyCombination(Qt::Key_O)});
  EXPECT_EQ(picked, 0x1E140Au);  // 0x00BBGGRR
  EXPECT_FALSE(optionsFocus.isEmpty());
  Activate(w.get());
  WhenModal<TfrmDrive>([&](TfrmDrive* D) {
    (void)QTest::qWaitFor([D] { return D->focusWidget() != nullptr; }, 2000);
    driveFocus = D->focusWidget() ? D->focusWidget()->objectName() : QString();
    Activate(D);
    QTest::keyClick(D, Qt::Key_W, Qt::ControlModifier);
    // The offscreen platform does not hand every build's key to a window
    // shortcut in time; the dialog's own Ctrl+W shortcut is then fired as
    // the key would fire it.
    if (!QTest::qWaitFor([D] { return !D->isVisible(); }, 1000))
      for (QShortcut* sc : D->findChildren<QShortcut*>())
        if (sc->key() == QKeySequence(Qt::CTRL | Qt::Key_W)) emit sc->activated();
    EXPECT_TRUE(QTest::qWaitFor([D] { return !D->isVisible(); }, 3000)) << "Ctrl+W left the dialog open";
    if (D->isVisible()) D->reject();
  });
  Type({alt(Qt::Key_T), QKeyCombination(Qt::Key_D)});
  EXPECT_EQ(driveFocus, QStringLiteral("edPath"));
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  Activate(w.get());
  // Ctrl+Q quits.
  Type({QKeyCombination(Qt::ControlModifier, Qt::Key_Q)});
  EXPECT_FALSE(w->isVisible());
}

TEST_F(KeyboardTest, TabGoesFromTheListToThePreviewAndAlongTheToolBar) {
  auto w = OpenActive();
  const QWidget* order[] = {w->Panel2,    w->btnAdd,  w->btnSet,   w->btnShuffle, w->btnDelete,
                            w->btnHelp,   w->btnAbout, w->btnExit, w->btnNoPat,   w->lstFiles};
  ASSERT_EQ(QApplication::focusWidget(), w->lstFiles);
  for (const QWidget* next : order) {
    Type({QKeyCombination(Qt::Key_Tab)});
    ASSERT_EQ(QApplication::focusWidget(), next)
        << "after Tab: " << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString() : "none");
  }
  // Every menu item has an Alt key of its own within its menu.
  for (QAction* menu : w->menuBar()->actions()) {
    QStringList keys;
    for (QAction* a : menu->menu()->actions())
      if (!a->isSeparator()) keys << QKeySequence::mnemonic(a->text()).toString();
    EXPECT_FALSE(keys.contains(QString())) << menu->text().toStdString() << ": " << keys.join(' ').toStdString();
    EXPECT_EQ(QSet<QString>(keys.begin(), keys.end()).size(), keys.size())
        << menu->text().toStdString() << ": " << keys.join(' ').toStdString();
  }
  w->close();
}

}  // namespace
}  // namespace kvo
