// SPDX-License-Identifier: GPL-3.0-or-later
// The preview: one display control inside a panel, and the fitting of
// pictures into that panel. A picture is centred, shrunk to fit when it is
// too large, and never enlarged.
#pragma once

#include <cstdint>

#include "image/IMGBasic.h"

class QWidget;

namespace kvo {

class TDisplayControl;

struct TPreview {
  QWidget* Panel = nullptr;  // the parent area
  int32_t Margin = 0;        // pixels kept free on each side of the panel
  TDisplayControl* Display = nullptr;
};

// Creates the display control in Panel (16 x 16 at the corner, black).
void Preview_Init(TPreview& P, QWidget* Panel, int32_t Margin);
// The colour shown where there is no picture (0x00BBGGRR).
void Preview_SetColor(TPreview& P, uint32_t Color);
// Fits Img into the panel and shows it; Img itself is never changed. A
// picture without width or height changes nothing.
void Preview_Show(TPreview& P, TImg& Img);
// Preview_Show of a logo that moves: palette entries from Important on
// rotate StepsPerSecond times a second while it is on screen.
void Preview_ShowAnimated(TPreview& P, TImg& Img, int32_t Important, int32_t StepsPerSecond);
// Hides the picture; the panel shows its own colour there.
void Preview_Hide(TPreview& P);
// Releases the picture and the control.
void Preview_Done(TPreview& P);

}  // namespace kvo
