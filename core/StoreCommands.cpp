// SPDX-License-Identifier: GPL-3.0-or-later
// The store commands of the main window: delete, rename, change prefix and
// choose positions of the selected pictures.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/Basic.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "core/StoreCommands.h"
#include "platform/FaultInject.h"
#include "platform/TextUtil.h"
#include "platform/Trash.h"

namespace kvo {
namespace {


const TLogoEntry* EntryAt(int32_t Index) {
  const auto& e = LogoList().Entries;
  if (Index < 0 || Index >= static_cast<int32_t>(e.size())) return nullptr;
  return &e[static_cast<size_t>(Index)];
}

uint32_t SelectedPositions(const TListSelection& Sel) {
  uint32_t m = 0;
  for (int32_t i : Sel.Selected)
    if (const TLogoEntry* e = EntryAt(i)) m |= e->Positions;
  return m;
}

std::string WithoutExt(const std::string& FileName) {
  return FileName.size() >= 4 ? FileName.substr(0, FileName.size() - 4) : FileName;
}

}  // namespace

std::string RenameRefusal(const std::string& OldFileName, const std::string& NewFileName) {
  if (NewFileName == OldFileName) return {};
  // The list keeps LOGO_NAME_MAX characters of a name: a longer one could
  // never be set, renamed or deleted again.
  if (NewFileName.size() > LOGO_NAME_MAX)
    return "the new name would be " + std::to_string(NewFileName.size()) +
           " characters long, more than the " + std::to_string(LOGO_NAME_MAX) +
           " a stored name may have.";
  // The picture itself, found again by a name that differs in case only,
  // is no other picture.
  const TLogoEntry* other = EntryAt(FindByFileName(NewFileName));
  if (other && other->FileName != OldFileName)
    return "an image named " + other->FileName + " is stored already.";
  return {};
}

std::string RenameFailure(int Errno) {
  if (Errno == EEXIST) return "a file of the new name is in the storage folder already.";
  return std::string(std::strerror(Errno)) + ".";
}

// The question before a deletion: it names exactly the pictures that go,
// as the list shows them, and where they go.
std::string DeleteQuestion(const std::vector<std::string>& Names, bool Permanently) {
  const size_t n = Names.size();
  std::string q = Permanently ? "Delete " : "Move ";
  q += n == 1 ? Names[0] : "these " + std::to_string(n) + " pictures";
  q += Permanently ? " permanently? It cannot be brought back." : " to the Trash?";
  if (n == 1) return q;
  // A box taller than the screen would hide its buttons: the first names,
  // then how many more.
  constexpr size_t SHOWN = 15;
  q += "\n";
  for (size_t i = 0; i < n && i < SHOWN; ++i) q += "\n" + Names[i];
  if (n > SHOWN) q += "\n... and " + std::to_string(n - SHOWN) + " more";
  return q;
}

namespace {

// Unlinks the named pictures; each one that stays is reported.
int32_t UnlinkStored(const std::vector<std::string>& Names, const std::string& Dir) {
  int32_t gone = 0;
  for (const std::string& name : Names) {
    const std::string path = Dir + name;
    if (FaultInjected(TFaultOp::Delete) || ::unlink(path.c_str()) != 0)
      ShowError("Couldn't delete image file \"" + path + "\": " + std::strerror(errno) + ".");
    else
      ++gone;
  }
  return gone;
}

// Moves the named pictures to the Trash, all of them or none: when one
// cannot go, those moved already are put back, so the list never holds
// half of what the question named. Where gets each one's place in the Trash.
bool TrashStored(const std::vector<std::string>& Names, const std::string& Dir,
                 std::vector<std::string>& Where) {
  std::vector<TTrashed> moved;
  for (const std::string& name : Names) {
    TTrashed t;
    if (MoveToTrash(Dir + name, t)) {
      moved.push_back(t);
      continue;
    }
    std::string text = "Couldn't move image file \"" + Dir + name + "\" to the Trash: " +
                       std::strerror(errno) + ".";
    std::string kept;
    for (const TTrashed& m : moved)
      if (!PutBackFromTrash(m)) kept += " " + m.InTrash;
    if (!moved.empty())
      text += kept.empty() ? " Those moved before it were put back; nothing was deleted."
                           : " These stay in the Trash:" + kept;
    ShowError(text);
    return false;
  }
  for (const TTrashed& m : moved) Where.push_back(m.InTrash);
  return true;
}

}  // namespace

int32_t DeleteSelected(const TListSelection& Sel, bool Permanently, std::vector<std::string>* Where) {
  if (StoreBusy()) return -1;
  // The selection alone decides what goes; the focus row only when it is
  // selected. A row named twice goes once.
  std::vector<std::string> names;
  int32_t first = -1;
  for (int32_t i : Sel.Selected) {
    const TLogoEntry* e = EntryAt(i);
    if (!e || std::find(names.begin(), names.end(), e->FileName) != names.end()) continue;
    names.push_back(e->FileName);
    if (first < 0 || i < first) first = i;
  }
  if (names.empty()) return -1;
  if (YesNo(DeleteQuestion(names, Permanently), false) != 'Y') return -1;
  TChangeLock changing;
  if (!changing.Held()) return -1;
  const std::string dir = GetStorageDir();
  std::vector<std::string> where;
  if (Permanently) {
    const int32_t gone = UnlinkStored(names, dir);
    if (gone == 1 && names.size() == 1)
      ShowStatus(names[0] + " deleted.");
    else if (gone > 0)
      ShowStatus(std::to_string(gone) + (gone == 1 ? " picture" : " pictures") + " deleted.");
  } else if (TrashStored(names, dir, where)) {
    ShowStatus(names.size() == 1 ? names[0] + " moved to the Trash."
                                 : std::to_string(names.size()) + " pictures moved to the Trash.");
  }
  if (Where) *Where = where;
  // The others keep their marks: they live in the files, and the list is
  // read again from the folder.
  LoadLogoList();
  // The row that took the place of the first one gone.
  return LogoList().Count > 0 ? std::min(first, LogoList().Count - 1) : -1;
}

int32_t RenameSelected(const TListSelection& Sel) {
  const TLogoEntry* current = EntryAt(Sel.Current);
  if (!current) {
    ShowWarning("No image selected for renaming.");
    return -1;
  }
  std::string oldName = WithoutExt(current->FileName);
  std::string input = oldName;
  if (!ExecRenameDialog("Rename", "Enter new name", input)) return -1;
  std::string newName = SanitizeName(input);
  // A change of letter case alone is a rename too.
  if (newName == oldName) return -1;
  oldName += STORED_EXT;
  newName += STORED_EXT;
  TChangeLock changing;
  if (!changing.Held()) return -1;
  const TLogoEntry* other = EntryAt(FindByFileName(newName));
  if (other && other->FileName != oldName) {
    ShowError("There already exists an image with that name, please select another one.");
    return -1;
  }
  const std::string why = RenameRefusal(oldName, newName);
  if (!why.empty()) {
    ShowError("Couldn't rename image " + oldName + " to " + newName + ": " + why);
    return -1;
  }
  if (!RenameStored(oldName, newName)) {
    ShowError("Couldn't rename image " + oldName + " to " + newName + ": " + RenameFailure(errno) +
              " If the files are changed in another application press F5 to refresh the list.");
    return -1;
  }
  LoadLogoList();
  return FindByFileName(newName);
}

int32_t ChangePrefixSelected(const TListSelection& Sel) {
  const TLogoEntry* current = EntryAt(Sel.Current);
  if (!current) {
    ShowWarning("No images selected.");
    return -1;
  }
  std::string input = PrefixOf(current->FileName);
  if (!ExecRenameDialog("Change Prefix", "New prefix for selected images", input)) return -1;
  std::string prefix = MakePrefix(input, true);
  // The list keeps LOGO_PREFIX_MAX characters of a prefix: a longer one
  // could never be found again by its prefix.
  if (prefix.size() - 2 > LOGO_PREFIX_MAX) {
    ShowError("The prefix " + prefix.substr(0, prefix.size() - 2) + " is longer than " +
              std::to_string(LOGO_PREFIX_MAX) + " characters; no image was renamed.");
    return -1;
  }
  TChangeLock changing;
  if (!changing.Held()) return -1;
  // Take the names first: each rename updates the list it walks.
  std::vector<std::string> names;
  for (int32_t i : Sel.Selected)
    if (const TLogoEntry* e = EntryAt(i)) names.push_back(e->FileName);
  int ok = 0;
  std::string first, failed;
  for (const std::string& name : names) {
    const std::string renamed = prefix + NameAfterPrefix(name);
    // A picture that has the prefix already is where it was asked to be.
    std::string why = RenameRefusal(name, renamed);
    if (why.empty() && renamed != name && !RenameStored(name, renamed)) why = RenameFailure(errno);
    if (why.empty()) {
      if (ok++ == 0) first = renamed;
    } else {
      failed += "\n" + name + ": " + why;
    }
  }
  LoadLogoList();
  // Every image that kept its name is named, with the reason.
  const std::string report = "Images renamed: " + std::to_string(ok);
  if (failed.empty())
    ShowInfo(report);
  else
    ShowError(report + "\nImages that couldn't be renamed:" + failed);
  return first.empty() ? -1 : FindByFileName(first);
}

void SetPositions(const std::vector<int32_t>& Entries, uint32_t Positions) {
  auto& e = LogoList().Entries;
  for (int32_t i : Entries) {
    if (i < 0 || i >= static_cast<int32_t>(e.size())) continue;
    e[static_cast<size_t>(i)].Positions = Positions;
    e[static_cast<size_t>(i)].Used = 0;
  }
}

void ChoosePositionsSelected(const TListSelection& Sel) {
  if (StoreBusy()) return;
  uint32_t m = SelectedPositions(Sel);
  const char* text =
      "When using Shuffle or AutoChange feature you can select which images are used at which "
      "position. For example, you can make an image displaying rocket launching to be used only "
      "as a startup logo. This action will not set the logo immediately to the selected position, "
      "but only prepare it for use with Shuffle and AutoChange.";
  if (ExecPositionDialog(m, text, TONE_NOTE)) SetPositions(Sel.Selected, m);
}

void TogglePosition(const TListSelection& Sel, uint32_t Position) {
  if (StoreBusy() || !EntryAt(Sel.Current)) return;
  SetPositions(Sel.Selected, SelectedPositions(Sel) ^ Position);
}

}  // namespace kvo
