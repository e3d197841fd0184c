// SPDX-License-Identifier: GPL-3.0-or-later
// The store commands of the main window: delete, rename, change prefix and
// choose positions of the selected pictures.
#include <unistd.h>

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

int32_t DeleteSelected(const TListSelection& Sel) {
  int32_t n = static_cast<int32_t>(Sel.Selected.size());
  if (n == 0 || StoreBusy()) return -1;
  const TLogoEntry* current = EntryAt(Sel.Current);
  std::string question = (n == 1 && current) ? "Delete " + current->FileName + "?"
                                             : "Delete " + std::to_string(n) + " selected logos?";
  if (YesNo(question, false) != 'Y') return -1;
  TChangeLock changing;
  if (!changing.Held()) return -1;
  std::string dir = GetStorageDir();
  for (int32_t i : Sel.Selected) {
    const TLogoEntry* e = EntryAt(i);
    if (!e) continue;
    std::string path = dir + e->FileName;
    if (FaultInjected(TFaultOp::Delete) || ::unlink(path.c_str()) != 0)
      ShowError("Couldn't delete image file: \"" + path + "\"");
  }
  LoadLogoList();
  int32_t select = Sel.Current + 1 - n;
  return (select >= 0 && select < LogoList().Count) ? select : -1;
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
  if (SameText(newName, oldName)) return -1;
  oldName += STORED_EXT;
  newName += STORED_EXT;
  TChangeLock changing;
  if (!changing.Held()) return -1;
  if (FindByFileName(newName) != INVALID_ID) {
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
