// SPDX-License-Identifier: GPL-3.0-or-later
// The message text renderer: one line of text becomes a small 8-bit sprite
// in three palette indices (background, text, effect), optionally with a
// shadow or an outline, pasted into a logo with its background left out.
// Text is rasterised without smoothing, so pasting adds no colours.
#pragma once

#include <cstdint>
#include <string>

#include "image/IMGBasic.h"

namespace kvo {

inline constexpr size_t TEXT_FONT_NAME_MAX = 32;

inline constexpr int32_t TS_BOLD = 1;
inline constexpr int32_t TS_ITALIC = 2;
inline constexpr int32_t TS_UNDERLINE = 4;
inline constexpr int32_t TS_STRIKEOUT = 8;

inline constexpr int32_t TE_NONE = 0;
inline constexpr int32_t TE_SHADOW = 1;
inline constexpr int32_t TE_OUTLINE = 2;

struct TTextOptions {
  std::string FontName = "Arial";  // at most 32 characters are used
  int32_t FontSize = 12;           // points
  int32_t FontStyle = 0;
  int32_t EffectDX = 1;
  int32_t EffectDY = 1;
  int32_t BackIndex = 0;
  int32_t TextIndex = 1;
  int32_t EffectIndex = 2;
  int32_t Effect = TE_NONE;
  uint32_t BackColor = 16777215;
  uint32_t TextColor = 0;
  uint32_t EffectColor = 8421504;
  int32_t Transparent = -1;
  int32_t OutWidth = 0;
  int32_t OutHeight = 0;
};

void TextOptionsInit(TTextOptions& Opts);
void Text_MakeSprite8bit(TImg& Img, const std::string& Text, const TTextOptions& Opts);
void CreateTextImg(TImg& Img, int32_t Width, int32_t Height, const TTextOptions& Opts,
                   const uint8_t* Bits, int32_t BitsPerPixel);
void _Text_AddShadow(TImg& Dest, TImg& Src, const TTextOptions& Opts);
void _Text_AddBorder(TImg& Dest, TImg& Src, const TTextOptions& Opts);
TImg* _AllocImgPtr();
void Text_Stamp(TImg& Dest, const TImg& Src, int32_t X, int32_t Y, int32_t NewIndex,
                int32_t MatchIndex);
void TextSetPalette(TImg& Img, const TTextOptions& Opts);
void Text_Render(TImg& Img, const std::string& Text, TTextOptions& Opts);
void Text_Draw(TImg& Target, const std::string& Text, int32_t X, int32_t Y, TTextOptions& Opts);

}  // namespace kvo
