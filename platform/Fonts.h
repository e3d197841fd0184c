// SPDX-License-Identifier: GPL-3.0-or-later
// The font stand-in for GDI's text calls: a face chosen by fontconfig and
// rasterised by FreeType, without smoothing, at the screen's 96 pixels per
// inch. It answers the three questions the message renderer asks of GDI:
// make a font (CreateFontA), how large is this line (GetTextExtentPoint32A),
// and draw it into a monochrome bitmap (TextOutA).
//
// Text is UTF-8, as message files written on Linux are; text that is not
// valid UTF-8 is read in the ANSI code page of the Windows systems the logos
// are made for (Windows-1252), so files written for them keep their look. A
// character the chosen face lacks is drawn from the face fontconfig picks
// for it.
//
// Nothing here throws, and no call of ours runs inside a library frame:
// failures come back as false and the caller decides what they mean.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct FT_LibraryRec_;
struct FT_FaceRec_;

namespace kvo {

// Pixels per logical inch of the screen the renderer pretends to draw on.
inline constexpr int32_t FONT_SCREEN_DPI = 96;
// GDI's face-name field holds at most this many characters.
inline constexpr size_t FONT_FACE_MAX = 32;

// What CreateFontA is given, in its own terms.
struct TFontRequest {
  std::string_view Face;  // cut to FONT_FACE_MAX characters
  // GDI's height: negative is the character (em) height in pixels, positive
  // the cell height (ascent + descent), 0 the default size.
  int32_t Height = 0;
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
};

struct TFtLibraryFree_ {
  void operator()(FT_LibraryRec_* Library) const;
};
struct TFtFaceFree_ {
  void operator()(FT_FaceRec_* Face) const;
};

// A face fontconfig chose for characters the font's own face lacks.
struct TFontFallback {
  std::string File;
  int32_t FileIndex = 0;
  std::unique_ptr<FT_FaceRec_, TFtFaceFree_> Face;  // empty when the file could not be used
};

// One made font. Rows are counted from the top of the line's cell; the
// baseline lies between row Ascent - 1 and row Ascent.
struct TFont {
  TFont() = default;
  // Not movable: a plain move would release the library before its face.
  TFont(const TFont&) = delete;
  TFont& operator=(const TFont&) = delete;

  std::string Face;          // the face name asked for, after the cut
  std::string Family;        // the family fontconfig found for it
  std::string File;          // the font file, and the face's index in it
  int32_t FileIndex = 0;
  int32_t PixelSize = 0;     // em height in pixels
  int32_t Ascent = 0;        // pixels above the baseline
  int32_t Descent = 0;       // pixels below it
  bool Bold = false;         // as asked for; fallback faces are matched with it
  bool Italic = false;
  bool SynthBold = false;    // bold asked for, no bold face: emboldened outlines
  bool SynthItalic = false;  // italic asked for, no italic face: slanted outlines
  bool Underline = false;
  bool StrikeOut = false;
  int32_t UnderlineTop = 0, UnderlineRows = 0;
  int32_t StrikeOutTop = 0, StrikeOutRows = 0;
  // Declared in this order so the faces go before their library.
  std::unique_ptr<FT_LibraryRec_, TFtLibraryFree_> Library;
  std::unique_ptr<FT_FaceRec_, TFtFaceFree_> FtFace;
  std::vector<TFontFallback> Fallbacks;
  // Each character looked up beyond the face, and the face that has it
  // (nullptr: none has it, the face's own empty box stands for it).
  std::vector<std::pair<char32_t, FT_FaceRec_*>> FallbackFor;
};

// Windows' MulDiv: A * B / C in 64 bits, rounded half away from zero;
// -1 when C is 0.
int32_t FontMulDiv(int32_t A, int32_t B, int32_t C);

// The Unicode character of one Windows-1252 byte. The five bytes the code
// page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) keep their value, as
// Windows' own conversion does.
char32_t AnsiToUnicode(uint8_t Byte);

// The characters of a text: its UTF-8 when the whole text is valid UTF-8,
// otherwise each byte as Windows-1252. A byte-order mark at the start is
// dropped, as editors put it there to mark the encoding only.
std::u32string TextToUnicode(std::string_view Text);
// The same characters as UTF-8 (a valid UTF-8 text comes back unchanged).
std::string TextToUtf8(std::string_view Text);

// Finds the installed face nearest to the request (a missing face falls back
// to fontconfig's closest one) and opens it at the asked size. False when no
// face could be found or opened; Font is then empty.
bool FontCreate(const TFontRequest& Request, TFont& Font);

// The extent of one line: Cx is the sum of the glyphs' advances, Cy the
// font's line height (Ascent + Descent). False when a glyph fails to load.
bool FontTextExtent(TFont& Font, std::string_view Text, int32_t& Cx, int32_t& Cy);

// Draws the line with the top-left corner of its cell at (0, 0) into a 1-bit
// bitmap of Width x Height pixels whose rows are RowBytes apart, the most
// significant bit of a byte leftmost. Text pixels are set; nothing else is
// touched. Everything is clipped to the bitmap.
bool FontDrawText(TFont& Font, std::string_view Text, uint8_t* Bits, int32_t Width,
                  int32_t Height, int32_t RowBytes);

}  // namespace kvo
