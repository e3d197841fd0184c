// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Shuffle.h"

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/VCLUtils.h"
#include "core/Composer.h"
#include "core/Locations.h"
#include "core/Random.h"
#include "core/Settings.h"
#include "core/Store.h"

namespace kvo {

int32_t PickImage(uint32_t Position) {
  auto& entries = LogoList().Entries;
  auto eligible = [&](const TLogoEntry& E) { return (E.Positions & Position) != 0; };
  auto free = [&](const TLogoEntry& E) { return eligible(E) && !(E.Used & Position); };
  int32_t f = 0;
  for (const auto& e : entries) f += free(e);
  if (f == 0) {
    // A round ends: every picture may be chosen again for this position.
    for (auto& e : entries) e.Used &= ~Position;
    for (const auto& e : entries) f += eligible(e);
  }
  if (f <= 0) return INVALID_ID;
  int32_t b = Random(f);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!free(entries[i])) continue;
    if (b-- == 0) {
      entries[i].Used |= Position;
      return static_cast<int32_t>(i);
    }
  }
  return INVALID_ID;
}

bool ShuffleLogos(uint32_t* Written) {
  // Nothing changes while the drive cannot be written (a virtual machine
  // running on its disk image): not the logos, not the round's marks.
  TDriveLock lock(ManagedDrive());
  if (!lock.Held()) return false;
  LoadLogoList();
  uint32_t written = 0, picked = 0;
  std::string names[3];
  for (uint32_t p : POSITIONS) {
    int32_t k = PickImage(p);
    // A position no picture is allowed at keeps its logo.
    if (k == INVALID_ID) continue;
    picked |= p;
    names[PositionIndex(p)] = LogoList().Entries[static_cast<size_t>(k)].FileName;
    if (SetLogo(GetStorageDir() + names[PositionIndex(p)], p)) written |= p;
  }
  // Recorded only when every picked logo is in place.
  if (written && written == picked) RememberLogoSources(names);
  if (Written) *Written = written;
  return true;
}

void ShuffleCommand() {
  if (StoreBusy()) return;
  TChangeLock changing;
  if (!changing.Held()) return;
  StoreBusy() = true;
  ShowBusy();
  ShowStatus("Setting logos...", true);
  uint32_t written = 0;
  if (ShuffleLogos(&written)) {
    // The round's marks go to the files before another run may shuffle:
    // it starts from the files.
    SaveLogoMarks();
    // An empty store, or one whose pictures are kept from every position,
    // has nothing to choose from; that is no success to report.
    bool choosable = false;
    for (const TLogoEntry& e : LogoList().Entries) choosable = choosable || (e.Positions & POS_ALL);
    ShowStatus(choosable || written ? "Random logos are set." : SHUFFLE_NOTHING_TEXT, true);
  } else {
    ShowError(ManagedDrive().LastError());
  }
  ShowReady();
  StoreBusy() = false;
}

void ShuffleCommandRun() {
  TProcScope trace("Shuffle.ShuffleCommandRun");
  // At session start a virtual machine may already run on the drive's
  // image, or the window may be changing the logos: then this start leaves
  // everything as it is, without a word.
  TChangeLock changing(true, SESSION_LOCK_WAIT);
  if (!changing.Held() || !ShuffleLogos()) return;
  // Without the window nothing else would ever save the round's marks, and
  // every start would begin the same round again.
  SaveLogoMarks();
}

}  // namespace kvo
