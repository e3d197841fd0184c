// SPDX-License-Identifier: GPL-3.0-or-later
// The FFmpeg module (formats/av/KvoAv.h), loaded on first use.
//
// No program links FFmpeg: its libraries would cost every start of the
// program, also the ones that never meet a movie (adding a photo, the
// shuffle at session start). The AVI reader and the sound conversion ask
// for the module when they need it; it is looked for next to the running
// program, then in the installation the program belongs to, then in the
// build tree (for the tests). A module that cannot be found or loaded is not an error here:
// the callers answer as for a codec nobody has (the video or sound is not
// decodable).
#pragma once

#include "formats/av/KvoAv.h"

namespace kvo {

// The module's table, or nullptr when it cannot be loaded. The first call
// loads it; the answer is kept for the rest of the run.
const KvoAvProcs* AvProcs();

// Tests: the next AvProcs looks only at Path ("" loads nothing); nullptr
// goes back to the usual places. A module once loaded stays in memory.
void AvSetModulePath_(const char* Path);

}  // namespace kvo
