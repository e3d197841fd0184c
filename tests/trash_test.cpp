// SPDX-License-Identifier: GPL-3.0-or-later
// Delete takes exactly the pictures it names, the selection and never the
// focus row alone, and moves them to the desktop's Trash (here the test's
// own $XDG_DATA_HOME/Trash) with the information a file manager needs to
// put them back; kvo delete does the same and says where, --permanently
// unlinks.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "platform/Folders.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

struct TDeleteRow {
  const char* What;
  std::vector<int32_t> Selected;  // rows, in the window
  int32_t Current;                // the focus row
  const char* Kvo;                // when set, the kvo arguments run instead
  char Answer;
  const char* Asked;  // the question ("" none), or what kvo said
  int Exit;
  // Original name → its name in the Trash ("" unlinked).
  std::vector<std::pair<std::string, std::string>> Gone;
};

// The Trash is not emptied between rows, so a name that went before comes
// back numbered.
const TDeleteRow kRows[] = {
    {"one selected, the focus on it", {1}, 1, nullptr, 'Y',
     "Move Custom--Beta.kvo to the Trash?", 0, {{"Custom--Beta.kvo", "Custom--Beta.kvo"}}},
    {"the focus moved off the selection (Ctrl+Down)", {0}, 2, nullptr, 'Y',
     "Move Custom--Alpha.kvo to the Trash?", 0, {{"Custom--Alpha.kvo", "Custom--Alpha.kvo"}}},
    {"two selected, the focus on neither", {0, 2}, 1, nullptr, 'Y',
     "Move these 2 pictures to the Trash?\n\nCustom--Alpha.kvo\nCustom--Sea 50%.kvo", 0,
     {{"Custom--Alpha.kvo", "Custom--Alpha.2.kvo"}, {"Custom--Sea 50%.kvo", "Custom--Sea 50%.kvo"}}},
    {"the focus row alone is no selection", {}, 1, nullptr, 'Y', "", 0, {}},
    {"answered No", {1}, 1, nullptr, 'N', "Move Custom--Beta.kvo to the Trash?", 0, {}},
    {"kvo delete", {}, -1, "delete Custom--Beta 'Custom--Sea 50%.kvo'", 'Y',
     "Custom--Beta.kvo moved to the Trash: TRASH/files/Custom--Beta.2.kvo\n"
     "Custom--Sea 50%.kvo moved to the Trash: TRASH/files/Custom--Sea 50%.2.kvo\n", 0,
     {{"Custom--Beta.kvo", "Custom--Beta.2.kvo"}, {"Custom--Sea 50%.kvo", "Custom--Sea 50%.2.kvo"}}},
    {"kvo delete --permanently", {}, -1, "delete --permanently Custom--Alpha", 'Y',
     "Custom--Alpha.kvo deleted.\n", 0, {{"Custom--Alpha.kvo", ""}}},
    {"kvo delete of a missing name deletes none", {}, -1, "delete Custom--Alpha Nothing", 'Y',
     "kvo: Nothing: no such stored picture in STORE\n", 1, {}},
};

// The two characters of these names a Path= line escapes, worked by hand.
std::string Escaped(std::string Path) {
  for (size_t at = 0; (at = Path.find_first_of(" %", at)) != std::string::npos; at += 3)
    Path.replace(at, 1, Path[at] == ' ' ? "%20" : "%25");
  return Path;
}

std::string Replaced(std::string Text, const std::string& Old, const std::string& New) {
  for (size_t at = 0; (at = Text.find(Old, at)) != std::string::npos; at += New.size())
    Text.replace(at, Old.size(), New);
  return Text;
}

TEST(Trash, DeleteMovesExactlyTheNamedPicturesToTheTrash) {
  test::ScopedXdg xdg;
  test::ScriptedDialogs dialogs;
  Settings() = TSettings{};
  SetStorageDir(DefaultStorageDir());
  const std::string dir = GetStorageDir(), trash = xdg.Root() + "data/Trash";
  ASSERT_TRUE(EnsureFolder(dir));
  const std::pair<std::string, uint32_t> pictures[] = {
      {"Custom--Alpha.kvo", POS_STARTUP}, {"Custom--Beta.kvo", POS_WAIT}, {"Custom--Sea 50%.kvo", POS_ALL}};
  for (const TDeleteRow& row : kRows) {
    SCOPED_TRACE(row.What);
    std::map<std::string, std::string> bytes;
    for (const auto& [name, positions] : pictures) {
      TImg img;
      ImgAlloc(img, 8, 8, 8);
      img.Data[0] = static_cast<uint8_t>(positions);
      ASSERT_TRUE(SaveStoredPicture(dir + name, img, TLogoMarks{positions, 0, MARKS_SIZE}));
      ImgFree(img);
      bytes[name] = test::ReadWhole(dir + name);
    }
    LoadLogoList();
    if (row.Kvo) {
      const test::TPipeRun run =
          test::RunShell(std::string("'") + KVO_CLI_PATH + "' " + row.Kvo + " 2>&1 </dev/null");
      EXPECT_EQ(run.Status, row.Exit);
      EXPECT_EQ(run.Out, Replaced(Replaced(row.Asked, "TRASH", trash), "STORE", dir));
    } else {
      dialogs.Questions.clear();
      dialogs.YesNoAnswers = {row.Answer};
      DeleteSelected(TListSelection{row.Selected, row.Current});
      EXPECT_EQ(dialogs.Questions.empty() ? "" : dialogs.Questions.back(), row.Asked);
    }
    // What went is in the Trash, unchanged, with its original path; the
    // others stay listed with their marks.
    std::set<std::string> gone;
    for (const auto& [name, inTrash] : row.Gone) {
      gone.insert(name);
      EXPECT_FALSE(FileExists(dir + name)) << name;
      if (inTrash.empty()) continue;
      EXPECT_EQ(test::ReadWhole(trash + "/files/" + inTrash), bytes[name]) << inTrash;
      const std::string info = test::ReadWhole(trash + "/info/" + inTrash + ".trashinfo");
      EXPECT_TRUE(std::regex_match(info, std::regex("\\[Trash Info\\]\nPath=" +
                                                    std::regex_replace(Escaped(dir + name),
                                                                       std::regex("[.+]"), "\\$&") +
                                                    "\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n")))
          << info;
    }
    LoadLogoList();
    EXPECT_EQ(LogoList().Count, static_cast<int32_t>(3 - gone.size()));
    for (const TLogoEntry& e : LogoList().Entries) {
      for (const auto& [name, positions] : pictures) {
        if (e.FileName == name) {
          EXPECT_EQ(e.Positions, positions) << name;
        }
      }
    }
  }
  // The only files in the Trash are the ones the rows moved there.
  EXPECT_EQ(test::RunShell("ls '" + trash + "/files' | wc -l").Out, "6\n");
}

}  // namespace
}  // namespace kvo
