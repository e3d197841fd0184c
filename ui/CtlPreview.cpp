// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/CtlPreview.h"

#include <QWidget>

#include "base/Errors.h"
#include "core/LogoPreview.h"
#include "ui/CtlDisplay.h"

namespace kvo {

void Preview_Init(TPreview& P, QWidget* Panel, int32_t Margin) {
  P.Panel = Panel;
  P.Margin = Margin;
  P.Display = Display_Create_VCL(Panel, 0, 0, 16, 16);
  Preview_SetColor(P, 0);
}

void Preview_SetColor(TPreview& P, uint32_t Color) { Display_SetColor(P.Display, Color); }

void Preview_Show(TPreview& P, TImg& Img) { Preview_ShowAnimated(P, Img, ANIM_NONE, 0); }

void Preview_ShowAnimated(TPreview& P, TImg& Img, int32_t Important, int32_t StepsPerSecond) {
  if (Img.Width == 0 || Img.Height == 0 || !P.Panel || !P.Display) return;
  const int32_t boxWidth = P.Panel->width() - 2 * P.Margin;
  const int32_t boxHeight = P.Panel->height() - 2 * P.Margin;
  // A panel smaller than its margins has no room to fit anything into.
  if (boxWidth < 1 || boxHeight < 1) return;
  Monitored("CtlPreview.Preview_Show", [&] {
    int32_t x = 0, y = 0, w = 0, h = 0;
    CalcBoxResize(Img.Width, Img.Height, boxWidth, boxHeight, false, x, y, w, h);
    TImg scaled;
    const bool resized = w != Img.Width || h != Img.Height;
    // Nearest neighbour: the preview is redrawn at every selection change,
    // so speed counts more than smoothness here.
    if (resized) ImgResize(Img, scaled, w, h);
    // One pixel in from the box's corner, not Margin pixels.
    Display_SetBounds(P.Display, x + 1, y + 1, w, h);
    Display_ShowAnimated(P.Display, resized ? scaled : Img, Important, StepsPerSecond);
    ImgFree(scaled);
  });
}

void Preview_Hide(TPreview& P) { Display_Hide(P.Display); }

void Preview_Done(TPreview& P) { Display_Free(P.Display); }

}  // namespace kvo
