// SPDX-License-Identifier: GPL-3.0-or-later
// The logo composer: a stored picture becomes a logo file, with one message
// of the position's message file drawn on it and, for the Startup logo, the
// palette animation.
#pragma once

#include <cstdint>
#include <string>

#include "core/Store.h"
#include "image/IMGBasic.h"

namespace kvo {

inline constexpr int32_t ANIM_FIRST = 236;
inline constexpr int32_t ANIM_COUNT = 20;
// The header field of a BMP file that starts the palette rotation.
inline constexpr int64_t BMP_IMPORTANT_COLORS_OFFSET = 50;

// Backs up the position's logo file, then writes the logo; true when the
// new logo is in place.
bool SetLogo(const std::string& StoredPath, uint32_t Position);
bool MakeLogo(const std::string& StoredPath, const std::string& LogoPath,
              const std::string& MessageText, bool Animate, bool DrawMessageOn);
// What Set puts on the logo of a position: the message (when the position's
// messages are on) and, for the Startup logo, the animation.
struct TLogoRecipe {
  bool DrawMessage = false;
  std::string MessageText;
  bool Animate = false;
};
TLogoRecipe LogoRecipe(uint32_t Position);
// Draws the message and the animation on a stored picture as MakeLogo does;
// returns the important-colours count the file gets (INVALID_ID: all 256).
int32_t ComposeLogo(TImg& Img, const TLogoRecipe& Recipe);
bool WriteLogoFile(const std::string& LogoPath, TImg& Img, int32_t ImportantColours);
void DrawMessage(TImg& Img, const std::string& MessageText);
int32_t DrawTextLine(TImg& Img, const std::string& Line, int32_t X, int32_t Y);
// The K-th field (from 0) of Text between separators, trimmed of blanks and
// control characters; false when there is no K-th field.
bool NthField(const std::string& Text, const std::string& Separator, int32_t K,
              std::string& Field);
// The index among entries 0 .. Count - 1 nearest to a 0x00BBGGRR colour by
// 4 dR^2 + 9 dG^2 + dB^2, the lowest index winning ties.
int32_t NearestColorIndex(const TImg& Img, int32_t Count, uint32_t Color);
void FillAnimPalette(TPalette& Palette, int32_t First, uint32_t C1, int32_t Move, uint32_t C2);
void DrawAnimShape(TImg& Img, int32_t First, int32_t Shape, int32_t Move);
// The Set command: the position dialog, then SetLogo for each checked one.
// Returns the positions whose logo was written.
uint32_t SetSelectedAsLogo(const TListSelection& Sel);
// What the status bar says after logos were written to the drive Where:
// "Startup and Turn off logos written to win98.img."
std::string LogosWrittenText(uint32_t Positions, const std::string& Where);

}  // namespace kvo
