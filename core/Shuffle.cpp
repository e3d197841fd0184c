// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Shuffle.h"

#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/VCLUtils.h"
#include "core/Composer.h"
#include "core/Locations.h"
#include "core/Random.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "drive/Drive.h"
#include "platform/Folders.h"

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

namespace {

// Why SetLogo did not write the logo of Position from the stored picture
// Name. The drive keeps its last words, which may be an earlier failure's:
// they are taken when they changed during this write, or when the picture
// is there (then the drive is what failed).
std::string WhyNotWritten_(uint32_t Position, const std::string& Name, const std::string& Before) {
  if (GetLogoFile(Position).empty()) return "no logo file is chosen for it";
  const std::string& after = ManagedDrive().LastError();
  if (!after.empty() && (after != Before || FileExists(GetStorageDir() + Name))) return after;
  return "the stored picture " + Name + " could not be read";
}

// "Startup", "Startup and Turn off", "Startup, Wait to shut down and Turn off".
std::string PositionList_(uint32_t Positions) {
  std::vector<std::string> names;
  for (uint32_t p : POSITIONS)
    if (Positions & p) names.push_back(PositionCaption(p));
  std::string list;
  for (size_t i = 0; i < names.size(); ++i)
    list += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return list;
}

}  // namespace

bool ShuffleLogos(TShuffleOutcome* Outcome) {
  // Nothing changes while the drive cannot be written (a virtual machine
  // running on its disk image): not the logos, not the round's marks.
  TDriveLock lock(ManagedDrive());
  if (!lock.Held()) return false;
  LoadLogoList();
  auto& entries = LogoList().Entries;
  // The round's marks as they were, for a shuffle that falls short.
  std::vector<uint32_t> used;
  for (const TLogoEntry& e : entries) used.push_back(e.Used);
  TShuffleOutcome o;
  std::string names[3];
  for (uint32_t p : POSITIONS) {
    int32_t k = PickImage(p);
    // A position no picture is allowed at keeps its logo.
    if (k == INVALID_ID) continue;
    o.Picked |= p;
    const int i = PositionIndex(p);
    names[i] = entries[static_cast<size_t>(k)].FileName;
    const std::string driveSaid = ManagedDrive().LastError();
    if (SetLogo(GetStorageDir() + names[i], p))
      o.Written |= p;
    else
      o.Why[i] = WhyNotWritten_(p, names[i], driveSaid);
  }
  if (!o.NotWritten()) {
    if (o.Written) RememberLogoSources(names);
  } else {
    // A shuffle that fell short takes its picks back: no picture is used
    // up by a logo that was not written, and the pictures' marks and the
    // record of which picture each logo shows stay as they were or go,
    // never half of a shuffle. The next shuffle picks from the same round.
    for (size_t j = 0; j < entries.size(); ++j) entries[j].Used = used[j];
    ForgetLogoSources();
  }
  if (Outcome) *Outcome = o;
  return true;
}

std::string ShuffleFailureText(const TShuffleOutcome& Outcome) {
  std::string text;
  for (uint32_t p : POSITIONS)
    if (Outcome.NotWritten() & p)
      text += (text.empty() ? "" : "\n") + ("The " + PositionCaption(p) +
                                              " logo could not be written: ") +
              Outcome.Why[PositionIndex(p)];
  return text;
}

std::string ShuffleStatusText(const TShuffleOutcome& Outcome) {
  if (!Outcome.Picked) return SHUFFLE_NOTHING_TEXT;
  if (!Outcome.NotWritten()) return "Random logos are set.";
  if (!Outcome.Written) return "No logo was written.";
  const bool one = (Outcome.Written & (Outcome.Written - 1)) == 0;
  return "Only the " + PositionList_(Outcome.Written) + (one ? " logo was" : " logos were") +
         " changed.";
}

TShuffleOutcome ShuffleCommand() {
  TShuffleOutcome o;
  if (StoreBusy()) return o;
  TChangeLock changing;
  if (!changing.Held()) return o;
  StoreBusy() = true;
  ShowBusy();
  ShowStatus("Setting logos...", true);
  if (ShuffleLogos(&o)) {
    // The round's marks go to the files before another run may shuffle:
    // it starts from the files.
    SaveLogoMarks();
    // An empty store, or one whose pictures are kept from every position,
    // has nothing to choose from; that is no success to report, and
    // neither is a logo the drive did not take.
    const std::string failure = ShuffleFailureText(o);
    if (!failure.empty()) ShowError(failure);
    ShowStatus(ShuffleStatusText(o), true);
  } else {
    ShowError(ManagedDrive().LastError());
    ShowStatus("No logo was written.", true);
  }
  ShowReady();
  StoreBusy() = false;
  return o;
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
