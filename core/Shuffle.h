// SPDX-License-Identifier: GPL-3.0-or-later
// Shuffle: random stored pictures as logos, and the "/shuffle" run that
// automatic change starts at every session start.
//
// Picks work in rounds per position: a picture is not chosen twice for a
// position until every picture allowed there has had its turn.
#pragma once

#include <cstdint>

namespace kvo {

// The list index of a random picture allowed at Position and not yet used
// there in this round (starting a new round when none is left), marked as
// used; INVALID_ID when no picture is allowed there.
int32_t PickImage(uint32_t Position);
// Re-reads the storage folder and sets all three logos from random picks;
// Written (when given) gets the positions whose logo was written. False,
// with nothing changed, when the managed drive cannot be written.
bool ShuffleLogos(uint32_t* Written = nullptr);
// What Shuffle says when no stored picture may be used at any position.
inline constexpr const char* SHUFFLE_NOTHING_TEXT =
    "No logos were changed: no stored picture may be used as a logo.";
// The Shuffle button and menu item.
void ShuffleCommand();
// The "/shuffle" command-line run: sets random logos without a window and
// writes the round's marks back, so rounds advance from one start to the next.
// While another run keeps changing the logos (SESSION_LOCK_WAIT), it does
// nothing and says nothing.
void ShuffleCommandRun();

}  // namespace kvo
