// SPDX-License-Identifier: GPL-3.0-or-later
// The message text renderer: a line becomes a monochrome bitmap through the
// font stand-in (platform/Fonts.h), is expanded to an 8-bit sprite of three
// palette indices, gains a shadow or an outline, and is pasted with its
// background left out.
//
// Policies the callers rely on:
// - Font trouble never reaches the caller: the line simply yields no sprite
//   (the composer then draws nothing for it and goes on).
// - A paste into an 8-bit picture leaves that picture's palette as it was.
//   The paste operations hand the source's palette to the destination, and
//   the sprite's palette holds only its three colours; the logo would lose
//   every other colour. So the sprite borrows the target's palette first:
//   its indices were chosen from that palette to begin with.
#include "core/TextGen.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "base/Basic.h"
#include "base/Errors.h"
#include "platform/Fonts.h"

namespace kvo {
namespace {

int32_t RoundUp4_(int32_t N) { return (N + 3) / 4 * 4; }

// A monochrome bitmap row: whole bytes, padded to a multiple of 4 bytes.
int32_t MonoRowBytes_(int32_t Width) { return RoundUp4_((Width + 7) / 8); }

uint8_t Index_(int32_t Index) { return static_cast<uint8_t>(Index); }

bool Is8bit_(const TImg& Img) {
  return Img.BitsPerPixel == 8 && Img.Data != nullptr && Img.Width > 0 && Img.Height > 0;
}

// The smallest index that is neither A nor B.
int32_t FreeIndex_(int32_t A, int32_t B) {
  int32_t i = 0;
  while (i == A || i == B) ++i;
  return i;
}

// The font GDI would have been asked for: the face name goes through a
// zero-terminated buffer (so it ends at a zero byte, as GDI reads it), the
// size in points becomes a negative height in screen pixels.
bool MakeFont_(const TTextOptions& Opts, TFont& Font) {
  char* faceName = nullptr;
  const size_t n = std::min(Opts.FontName.size(), TEXT_FONT_NAME_MAX);
  _memalloc_(faceName, static_cast<int64_t>(n) + 1, __LINE__,
             "textgen.Text_MakeSprite8bit.faceName", MK_STR);
  std::memcpy(faceName, Opts.FontName.data(), n);
  faceName[n] = '\0';
  TFontRequest request;
  request.Face = faceName;
  request.Height = -FontMulDiv(Opts.FontSize, FONT_SCREEN_DPI, 72);
  request.Bold = (Opts.FontStyle & TS_BOLD) != 0;
  request.Italic = (Opts.FontStyle & TS_ITALIC) != 0;
  request.Underline = (Opts.FontStyle & TS_UNDERLINE) != 0;
  request.StrikeOut = (Opts.FontStyle & TS_STRIKEOUT) != 0;
  const bool made = FontCreate(request, Font);
  MemFree(faceName);
  return made;
}

// A new Width x Height 8-bit picture in Dest, every pixel BackIndex. A
// picture with no pixels at all (an effect of thickness 0 around no text)
// leaves Dest empty.
bool NewBackground_(TImg& Dest, int64_t Width, int64_t Height, const TTextOptions& Opts,
                    const char* Label) {
  if (Width < 1 || Height < 1) return false;
  if (Width > INT32_MAX || Height > INT32_MAX) {
    SetError(EG_MEM, 5, __LINE__);  // beyond any block the allocator hands out
    MonExit();
  }
  _imgalloc_(Dest, static_cast<int32_t>(Width), static_cast<int32_t>(Height), 8, __LINE__, Label);
  MemFill(Dest.Data, static_cast<int64_t>(Dest.Width) * Dest.Height, Index_(Opts.BackIndex));
  return true;
}

int64_t Abs64_(int32_t V) { return V < 0 ? -static_cast<int64_t>(V) : V; }

// Replaces Sprite by the picture with its effect and returns that; without
// an effect the sprite itself is the result.
TImg* WithEffect_(TImg* Sprite, const TTextOptions& Opts) {
  if (Opts.Effect != TE_SHADOW && Opts.Effect != TE_OUTLINE) return Sprite;
  TImg* result = _AllocImgPtr();
  if (Opts.Effect == TE_SHADOW)
    _Text_AddShadow(*result, *Sprite, Opts);
  else
    _Text_AddBorder(*result, *Sprite, Opts);
  ImgFree(*Sprite);
  MemFree(Sprite);
  return result;
}

// Moves the picture of Result into Img. The allocator knows a block by the
// variable that holds it, and later resizes of Img must find its block as
// Img's; so the pixels are exchanged in through a placeholder block of Img's
// own rather than by copying the record.
void MoveInto_(TImg& Img, TImg& Result) {
  ImgFree(Img);
  if (!Result.Data) return;
  _imgalloc_(Img, 1, 1, 8, __LINE__, "textgen.Text_Render.img");
  ImgXchg(Img, Result);
  ImgFree(Result);
}

// 24-bit pixel value of a 0x00BBGGRR colour: bytes blue, green, red.
uint32_t PixelOf_(uint32_t Color) {
  uint8_t r = 0, g = 0, b = 0;
  ColorSplit(Color, r, g, b);
  return b | (static_cast<uint32_t>(g) << 8) | (static_cast<uint32_t>(r) << 16);
}

void PasteTransparent_(TImg& Sprite, TImg& Target, int32_t X, int32_t Y, TTextOptions& Opts) {
  if (Target.BitsPerPixel == 8) {
    ImgCopyPalette(Target, Sprite);
    ImgSprite(Sprite, Target, X, Y, Index_(Opts.BackIndex));
    return;
  }
  // A true-colour target knows no indices: the background becomes a colour
  // that neither the text nor its effect has, and that colour is the key.
  Opts.BackColor = 0;
  while (Opts.BackColor == Opts.TextColor || Opts.BackColor == Opts.EffectColor)
    Opts.BackColor += 64;
  TextSetPalette(Sprite, Opts);
  ImgConvBpp(Sprite, Sprite, 24);
  ImgSprite(Sprite, Target, X, Y, PixelOf_(Opts.BackColor));
}

}  // namespace

void TextOptionsInit(TTextOptions& Opts) { Opts = TTextOptions{}; }

void Text_MakeSprite8bit(TImg& Img, const std::string& Text, const TTextOptions& Opts) {
  if (Text.empty()) return;
  // Whatever goes wrong here leaves the line without a sprite and nothing
  // more: the frame keeps its error instead of passing it on.
  MonitoredKeep("textgen.Text_MakeSprite8bit", [&] {
    TFont font;
    if (!MakeFont_(Opts, font)) MonExit();
    int32_t cx = 0, cy = 0;
    if (!FontTextExtent(font, Text, cx, cy) || cx < 1 || cy < 1) MonExit();
    // Whole bytes, then whole 32-bit words: always a multiple of 32 pixels.
    const int32_t width = 8 * RoundUp4_((cx + 7) / 8);
    const int32_t rowBytes = MonoRowBytes_(width);
    const int64_t bytes = static_cast<int64_t>(rowBytes) * cy;
    uint8_t* bits = nullptr;
    _memalloc_(bits, bytes, __LINE__, "textgen.Text_MakeSprite8bit.bits");
    MemFill(bits, bytes, 0);
    const bool drawn = FontDrawText(font, Text, bits, width, cy, rowBytes);
    if (drawn) {
      CreateTextImg(Img, width, cy, Opts, bits, 1);
      TextSetPalette(Img, Opts);
    }
    MemFree(bits);
  });
}

void CreateTextImg(TImg& Img, int32_t Width, int32_t Height, const TTextOptions& Opts,
                   const uint8_t* Bits, int32_t BitsPerPixel) {
  Monitored("textgen.CreateTextImg", [&] {
    _imgalloc_(Img, Width, Height, 8, __LINE__, "textgen.CreateTextImg.img");
    const uint8_t text = Index_(Opts.TextIndex), back = Index_(Opts.BackIndex);
    if (BitsPerPixel != 1 || !Bits) {
      // Only monochrome rows are understood; the picture stays background.
      MemFill(Img.Data, static_cast<int64_t>(Width) * Height, back);
      MonExit();
    }
    const int64_t rowBytes = MonoRowBytes_(Width);
    uint8_t* d = Img.Data;
    for (int64_t y = 0; y < Height; ++y) {
      const uint8_t* s = Bits + y * rowBytes;
      for (int64_t x = 0; x < Width; ++x) *d++ = (s[x >> 3] & (0x80u >> (x & 7))) ? text : back;
    }
  });
}

void _Text_AddShadow(TImg& Dest, TImg& Src, const TTextOptions& Opts) {
  Monitored("textgen._Text_AddShadow", [&] {
    const int32_t dx = Opts.EffectDX, dy = Opts.EffectDY;
    if (!NewBackground_(Dest, Src.Width + Abs64_(dx), Src.Height + Abs64_(dy), Opts,
                        "textgen._Text_AddShadow.imgDest"))
      MonExit();
    Text_Stamp(Dest, Src, std::max(dx, 0), std::max(dy, 0), Opts.EffectIndex, Opts.TextIndex);
    // The text on top of its shadow (no text: only the margins remain).
    if (Is8bit_(Src))
      ImgSprite(Src, Dest, dx < 0 ? static_cast<int32_t>(Abs64_(dx)) : 0,
                dy < 0 ? static_cast<int32_t>(Abs64_(dy)) : 0, Index_(Opts.BackIndex));
  });
}

void _Text_AddBorder(TImg& Dest, TImg& Src, const TTextOptions& Opts) {
  Monitored("textgen._Text_AddBorder", [&] {
    const int64_t a = Abs64_(Opts.EffectDX), b = Abs64_(Opts.EffectDY);
    if (!NewBackground_(Dest, Src.Width + 2 * a, Src.Height + 2 * b, Opts,
                        "textgen._Text_AddBorder.imgDest"))
      MonExit();
    // Every shift of the text within the margins: a rectangular dilation.
    for (int64_t i = 0; i <= 2 * b; ++i)
      for (int64_t j = 0; j <= 2 * a; ++j)
        Text_Stamp(Dest, Src, static_cast<int32_t>(j), static_cast<int32_t>(i), Opts.EffectIndex,
                   Opts.TextIndex);
    if (Is8bit_(Src))
      ImgSprite(Src, Dest, static_cast<int32_t>(a), static_cast<int32_t>(b),
                Index_(Opts.BackIndex));
  });
}

TImg* _AllocImgPtr() {
  return Monitored("textgen._AllocImgPtr", [&] {
    TImg* result = nullptr;
    _memalloc_(result, static_cast<int64_t>(sizeof(TImg)), __LINE__, "textgen._AllocImgPtr.result");
    return new (result) TImg{};
  });
}

void Text_Stamp(TImg& Dest, const TImg& Src, int32_t X, int32_t Y, int32_t NewIndex,
                int32_t MatchIndex) {
  if (!Is8bit_(Dest) || !Is8bit_(Src)) return;
  // Only the source rows and columns that land inside Dest.
  const int64_t x0 = std::max<int64_t>(0, -static_cast<int64_t>(X));
  const int64_t x1 = std::min<int64_t>(Src.Width, static_cast<int64_t>(Dest.Width) - X);
  const int64_t y0 = std::max<int64_t>(0, -static_cast<int64_t>(Y));
  const int64_t y1 = std::min<int64_t>(Src.Height, static_cast<int64_t>(Dest.Height) - Y);
  const uint8_t match = Index_(MatchIndex), value = Index_(NewIndex);
  for (int64_t sy = y0; sy < y1; ++sy) {
    const uint8_t* s = Src.Data + sy * Src.Width;
    uint8_t* d = Dest.Data + (sy + Y) * Dest.Width;
    for (int64_t sx = x0; sx < x1; ++sx)
      if (s[sx] == match) d[sx + X] = value;
  }
}

void TextSetPalette(TImg& Img, const TTextOptions& Opts) {
  auto set = [&Img](int32_t Index, uint32_t Color) {
    if (Index < 0 || Index > 255) return;
    uint8_t r = 0, g = 0, b = 0;
    ColorSplit(Color, r, g, b);
    Img.Palette[Index][0] = b;
    Img.Palette[Index][1] = g;
    Img.Palette[Index][2] = r;
  };
  set(Opts.BackIndex, Opts.BackColor);
  set(Opts.TextIndex, Opts.TextColor);
  set(Opts.EffectIndex, Opts.EffectColor);
}

void Text_Render(TImg& Img, const std::string& Text, TTextOptions& Opts) {
  Monitored("textgen.Text_Render", [&] {
    Opts.OutWidth = 0;
    Opts.OutHeight = 0;
    if (Text.empty()) MonExit();
    if (Opts.Transparent) Opts.BackIndex = FreeIndex_(Opts.TextIndex, Opts.EffectIndex);
    TImg* sprite = _AllocImgPtr();
    Text_MakeSprite8bit(*sprite, Text, Opts);
    TImg* result = WithEffect_(sprite, Opts);
    Opts.OutWidth = result->Width;
    Opts.OutHeight = result->Height;
    MoveInto_(Img, *result);
    TextSetPalette(Img, Opts);
    MemFree(result);
  });
}

void Text_Draw(TImg& Target, const std::string& Text, int32_t X, int32_t Y, TTextOptions& Opts) {
  Monitored("textgen.Text_Draw", [&] {
    TImg sprite;
    Text_Render(sprite, Text, Opts);
    if (Opts.OutWidth != 0 && Opts.OutHeight != 0) {
      if (Opts.Transparent) {
        PasteTransparent_(sprite, Target, X, Y, Opts);
      } else {
        if (Target.BitsPerPixel == 8) ImgCopyPalette(Target, sprite);
        ImgInsert(sprite, Target, X, Y);
      }
    }
    ImgFree(sprite);
  });
}

}  // namespace kvo
