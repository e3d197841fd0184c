// SPDX-License-Identifier: GPL-3.0-or-later
// The Startup logo as Windows shows it: the palette entries from the
// important-colours index on rotate one place a step while the picture stays
// as it is. The same steps drive the window's previews and the animated GIF
// export.
#pragma once

#include <cstdint>
#include <string>

#include "image/IMGBasic.h"

namespace kvo {

inline constexpr int32_t ANIM_SPEED_MAX = 100;
// The AnimSpeed setting within 1 .. ANIM_SPEED_MAX.
int32_t AnimStepsPerSecond();
// The important-colours count of a logo that does not move.
inline constexpr int32_t ANIM_NONE = 256;

// Steps of one cycle: 256 - Important for an 8-bit picture whose
// important-colours count is 1 .. 255; 0 for a picture that does not move.
int32_t AnimCycleLength(const TImg& Img, int32_t Important);
// The palette of step Step: entry Important + j shows the colour of entry
// Important + (j + Step) mod (256 - Important), so colours move one entry
// towards the lower indices a step; entries below Important are copied.
// Without a rotating range, Dest is Src.
void RotateAnimPalette(const TPalette& Src, int32_t Important, int32_t Step, TPalette& Dest);
// The smallest rectangle holding every pixel of index Important or above
// (Width 0 when there is none): the only part a step changes.
struct TAnimArea {
  int32_t Left = 0, Top = 0, Width = 0, Height = 0;
};
TAnimArea AnimArea(const TImg& Img, int32_t Important);

// A stored picture composed in memory as Set would write it for Position
// (message and, for the Startup logo, bars and animation palette). False,
// with nothing recorded, when the picture cannot be read or composed;
// Important is ANIM_NONE for a still logo.
bool ComposeStoredLogo(const std::string& StoredPath, uint32_t Position, TImg& Img,
                       int32_t& Important);
// The logo file now in place for Position, read through the managed drive,
// with its important-colours count (ANIM_NONE unless it rotates). Errors go
// through the error state (EG_FILE 1 when there is no such file).
void LoadCurrentLogo(uint32_t Position, TImg& Img, int32_t& Important);

// The GIF frame delay, in hundredths of a second, of StepsPerSecond.
int32_t GifFrameDelay(int32_t StepsPerSecond);
// One full cycle of the logo as an animated GIF that loops forever: one frame
// a step, each the whole picture (Scale times as large, 1 or 2) with the
// palette of its step, written by giflib. A still logo gives one frame.
// Errors go through the error state; a failure leaves FileName as it was.
void SaveAnimGif(const std::string& FileName, const TImg& Img, int32_t Important,
                 int32_t StepsPerSecond, int32_t Scale);

}  // namespace kvo
