// SPDX-License-Identifier: GPL-3.0-or-later
// Shuffle: random stored pictures as logos, and the "/shuffle" run that
// automatic change starts at every session start.
//
// Picks work in rounds per position: a picture is not chosen twice for a
// position until every picture allowed there has had its turn.
#pragma once

#include <cstdint>
#include <string>

namespace kvo {

// The list index of a random picture allowed at Position and not yet used
// there in this round (starting a new round when none is left), marked as
// used; INVALID_ID when no picture is allowed there.
int32_t PickImage(uint32_t Position);
// What one shuffle did, position by position.
struct TShuffleOutcome {
  uint32_t Picked = 0;   // positions a stored picture was chosen for
  uint32_t Written = 0;  // positions whose new logo is in place
  // For each position picked but not written (index PositionIndex), why:
  // the drive's words when it gave any.
  std::string Why[3];
  uint32_t NotWritten() const { return Picked & ~Written; }
};
// Re-reads the storage folder and sets all three logos from random picks;
// Outcome (when given) tells what was picked and written. The picks mark
// their pictures used only when every picked logo was written: a shuffle
// that fell short leaves the round as it was. False, with nothing
// changed, when the managed drive cannot be written.
bool ShuffleLogos(TShuffleOutcome* Outcome = nullptr);
// What Shuffle says when no stored picture may be used at any position.
inline constexpr const char* SHUFFLE_NOTHING_TEXT =
    "No logos were changed: no stored picture may be used as a logo.";
// The error of a shuffle that left picked logos unwritten, one line per
// logo with its reason; empty when every picked logo was written.
std::string ShuffleFailureText(const TShuffleOutcome& Outcome);
// The status after a shuffle: success only when every picked logo was
// written.
std::string ShuffleStatusText(const TShuffleOutcome& Outcome);
// The Shuffle button and menu item; the outcome, for the window.
TShuffleOutcome ShuffleCommand();
// The "/shuffle" command-line run: sets random logos without a window and
// writes the round's marks back, so rounds advance from one start to the next.
// While another run keeps changing the logos (SESSION_LOCK_WAIT), it does
// nothing and says nothing.
void ShuffleCommandRun();

}  // namespace kvo
