// SPDX-License-Identifier: GPL-3.0-or-later
// XPM 3 files (X PixMap, the C source form) through our own reader and
// writer behind the two routines the format layer has always called.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "formats/FFBasic.h"

namespace kvo {

// The exchange record of ReadXpm and WriteXpm.
struct TXpmRec {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Reserved1 = 0;      // set to 0 whenever the record is filled
  uint8_t* Pixels = nullptr;  // 24-bit pixels, blue, green, red, rows top first
  int32_t Reserved2 = 0;      // always 0
};

void XPMLoad(const std::string& FileName, TImg& Img);
// Writes the picture as 24-bit colours, with as few characters per pixel as
// its number of colours allows.
void XPMSave(const std::string& FileName, TImg& Img);
void XPMInfo(const std::string& FileName, TFileInfo& Info);

// ---- the XPM routines --------------------------------------------------------------
// Each returns 0 on success and any other value on failure; neither raises.

// With Rec->Pixels null: reads only the size into Width and Height. With
// Pixels set: Width and Height describe that buffer, and the file (which
// must have that size) is decoded into it. Colours: #RGB, #RRGGBB, #RRRGGGBBB
// and #RRRRGGGGBBBB (shorter forms give the high bits, as in X11), the X11
// colour names, and None (transparent), which becomes black.
int32_t ReadXpm(const char* FileName, TXpmRec* Rec);
// Writes Width x Height 24-bit pixels from Rec->Pixels.
int32_t WriteXpm(const char* FileName, const TXpmRec* Rec);

// The colour of an X11 colour name, matched without regard to case, spaces
// and tabs ("Light Grey" is "lightgrey"). False for an unknown name.
bool X11ColorLookup(std::string_view Name, uint8_t& Red, uint8_t& Green, uint8_t& Blue);

}  // namespace kvo
