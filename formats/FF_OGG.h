// SPDX-License-Identifier: GPL-3.0-or-later
// Ogg Vorbis sound files: accepted, and opened as movies without frames.
// The sound is not decoded; the reader exists so that such files are
// recognised by their extension and open cleanly.
#pragma once

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"

namespace kvo {

struct TMviReader;

// An open Ogg file: nothing but the movie layer's view of no frames.
struct TOggFile {
  int32_t FrameCount = 0;
  int32_t CurFrame = 0;
};

void OggOpen(TOggFile& O, const std::string& FileName);
void OggClose(TOggFile& O);
// Describes nothing: Info is left as it is.
void OggInfo(const std::string& FileName, TFileInfo& Info);
extern const TMviReader kOggMovie;

}  // namespace kvo
