// SPDX-License-Identifier: GPL-3.0-or-later
// Fonts through fontconfig and FreeType, in GDI's terms.
//
// How GDI's answers are reproduced:
// - The size: GDI's negative height is the em height in pixels, so the face
//   is scaled to exactly that many pixels per em (FreeType's size request at
//   96 dpi, as the screen context would have it). A positive height is the
//   cell height and is turned into an em height by the face's ascender and
//   descender.
// - The extent: the width is the sum of the glyphs' advances, each rounded
//   to whole pixels as GDI's integer advances are; no kerning, since
//   TextOutA does not kern either. The height is the line height of the
//   scaled face, ascender plus descender, which is what GDI's tmHeight is.
// - The drawing: monochrome glyphs of the hinted outlines, the baseline at
//   row Ascent, like TextOutA at (0, 0) with the default top-left alignment.
// - Bold and italic pick the matching face; when fontconfig has none, the
//   outlines are emboldened or slanted, as GDI simulates them.
// - A character the face lacks comes from the face fontconfig matches for
//   the same request plus that character, drawn on the same baseline; only
//   when no installed face has it does the face's own empty box stand in.
// - Underline and strike-out are bars as wide as the extent, placed by the
//   face's own metrics (the post and OS/2 tables).
#include "platform/Fonts.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H


namespace kvo {

void TFtLibraryFree_::operator()(FT_LibraryRec_* Library) const { FT_Done_FreeType(Library); }
void TFtFaceFree_::operator()(FT_FaceRec_* Face) const { FT_Done_Face(Face); }

namespace {

struct TFcPatternFree_ {
  void operator()(FcPattern* Pattern) const { FcPatternDestroy(Pattern); }
};
using TFcPattern_ = std::unique_ptr<FcPattern, TFcPatternFree_>;

// The em size used when GDI is asked for height 0 ("a default size"):
// 12 points at 96 pixels per inch.
constexpr int32_t kDefaultPixelSize = 16;
// Larger requests are refused: a line this tall already covers a logo ten
// times over, and a mistyped size must not ask for gigabytes of bitmap.
constexpr int32_t kMaxPixelSize = 4096;

// Characters 0x80 .. 0x9F of Windows-1252; the rest of the code page is
// Latin-1, whose bytes equal their code points.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Decodes the UTF-8 sequence at Text[I] into C and moves I past it; false
// (I unchanged) when the bytes there are not a well-formed sequence:
// overlong forms, surrogates and values past U+10FFFF are not.
bool NextUtf8_(std::string_view Text, size_t& I, char32_t& C) {
  const auto lead = static_cast<uint8_t>(Text[I]);
  if (lead < 0x80) {
    C = lead;
    ++I;
    return true;
  }
  size_t n = 0;
  char32_t c = 0;
  if (lead >= 0xC2 && lead <= 0xDF) n = 1, c = lead & 0x1Fu;
  else if (lead >= 0xE0 && lead <= 0xEF) n = 2, c = lead & 0x0Fu;
  else if (lead >= 0xF0 && lead <= 0xF4) n = 3, c = lead & 0x07u;
  else return false;
  if (Text.size() - I <= n) return false;
  for (size_t k = 1; k <= n; ++k) {
    const auto t = static_cast<uint8_t>(Text[I + k]);
    if ((t & 0xC0u) != 0x80u) return false;
    c = (c << 6) | (t & 0x3Fu);
  }
  constexpr char32_t kLeast[4] = {0, 0x80, 0x800, 0x10000};
  if (c < kLeast[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  C = c;
  I += n + 1;
  return true;
}

void PutUtf8_(std::string& Out, char32_t C) {
  auto put = [&](uint32_t B) { Out += static_cast<char>(B); };
  if (C < 0x80) {
    put(C);
  } else if (C < 0x800) {
    put(0xC0 | (C >> 6)), put(0x80 | (C & 0x3F));
  } else if (C < 0x10000) {
    put(0xE0 | (C >> 12)), put(0x80 | ((C >> 6) & 0x3F)), put(0x80 | (C & 0x3F));
  } else {
    put(0xF0 | (C >> 18)), put(0x80 | ((C >> 12) & 0x3F)), put(0x80 | ((C >> 6) & 0x3F)),
        put(0x80 | (C & 0x3F));
  }
}

struct TFaceMatch_ {
  std::string File;
  std::string Family;
  int Index = 0;
};

// Char, when not 0, asks for a face that has that character.
TFcPattern_ MakePattern_(const std::string& Face, bool Bold, bool Italic, char32_t Char) {
  TFcPattern_ pattern(FcPatternCreate());
  if (!pattern) return pattern;
  FcPattern* p = pattern.get();
  if (Char != 0) {
    FcCharSet* chars = FcCharSetCreate();
    bool added =
        chars && FcCharSetAddChar(chars, Char) && FcPatternAddCharSet(p, FC_CHARSET, chars);
    if (chars) FcCharSetDestroy(chars);  // the pattern holds its own reference
    if (!added) return nullptr;
  }
  // No name: fontconfig's default face, as GDI's font mapper picks its own.
  if (!Face.empty())
    FcPatternAddString(p, FC_FAMILY, reinterpret_cast<const FcChar8*>(Face.c_str()));
  FcPatternAddInteger(p, FC_WEIGHT, Bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddInteger(p, FC_SLANT, Italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  // GDI is asked to prefer TrueType; here outlines are what can be scaled
  // to any size at all, so a scalable face beats a bitmap face of the name.
  FcPatternAddBool(p, FC_SCALABLE, FcTrue);
  if (!FcConfigSubstitute(nullptr, p, FcMatchPattern)) return nullptr;
  FcDefaultSubstitute(p);
  return pattern;
}

// Loads fontconfig's configuration once per run; false when it cannot.
bool FontconfigReady_() {
  static const bool ready = [] {
    // The configuration stays loaded to the end of the process, as every
    // fontconfig user (the Qt program among them) expects.
    return FcInit() != FcFalse;
  }();
  return ready;
}

// With Char not 0, only a face that has the character is a match.
bool MatchFace_(const std::string& Face, bool Bold, bool Italic, char32_t Char,
                TFaceMatch_& Match) {
  if (!FontconfigReady_()) return false;
  TFcPattern_ pattern = MakePattern_(Face, Bold, Italic, Char);
  if (!pattern) return false;
  FcResult result = FcResultNoMatch;
  TFcPattern_ found(FcFontMatch(nullptr, pattern.get(), &result));
  if (!found) return false;
  FcCharSet* chars = nullptr;
  if (Char != 0 && (FcPatternGetCharSet(found.get(), FC_CHARSET, 0, &chars) != FcResultMatch ||
                    !FcCharSetHasChar(chars, Char)))
    return false;
  FcChar8* text = nullptr;
  if (FcPatternGetString(found.get(), FC_FILE, 0, &text) != FcResultMatch || !text) return false;
  Match.File = reinterpret_cast<const char*>(text);
  if (FcPatternGetString(found.get(), FC_FAMILY, 0, &text) == FcResultMatch && text)
    Match.Family = reinterpret_cast<const char*>(text);
  FcPatternGetInteger(found.get(), FC_INDEX, 0, &Match.Index);
  return true;
}

// Whether the opened face itself is bold or italic. Its own tables decide,
// not the match: fontconfig's configuration may already have marked a
// regular face "bold" because it means to embolden it.
bool FaceIsBold_(FT_Face Face) {
  const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(Face, FT_SFNT_OS2));
  if (os2 && os2->version != 0xFFFF && os2->usWeightClass != 0) return os2->usWeightClass >= 600;
  return (Face->style_flags & FT_STYLE_FLAG_BOLD) != 0;
}

bool FaceIsItalic_(FT_Face Face) { return (Face->style_flags & FT_STYLE_FLAG_ITALIC) != 0; }

// The em height in pixels for GDI's height; 0 when it cannot be made.
int32_t PixelSizeFor_(FT_Face Face, int32_t Height) {
  int64_t ppem = kDefaultPixelSize;
  if (Height < 0) {
    ppem = -static_cast<int64_t>(Height);
  } else if (Height > 0) {
    // Whole pixels per em only: truncated, so the cell is never taller
    // than asked.
    const int64_t cell = static_cast<int64_t>(Face->ascender) - Face->descender;
    if (!FT_IS_SCALABLE(Face) || cell <= 0) return 0;
    ppem = static_cast<int64_t>(Height) * Face->units_per_EM / cell;
  }
  return (ppem < 1 || ppem > kMaxPixelSize) ? 0 : static_cast<int32_t>(ppem);
}

// Font units of the face at the chosen size, in whole pixels.
int32_t UnitsToPixels_(FT_Face Face, FT_Long Units) {
  const FT_Long v = FT_MulFix(Units, Face->size->metrics.y_scale);  // 26.6
  return static_cast<int32_t>(v >= 0 ? (v + 32) >> 6 : -((-v + 32) >> 6));
}

// Underline and strike-out rows, counted from the top of the cell.
void PlaceBars_(FT_Face Face, TFont& Font) {
  // The underline position is the centre of the stroke below the baseline.
  const FT_Short thick = Face->underline_thickness > 0
                             ? Face->underline_thickness
                             : static_cast<FT_Short>(Face->units_per_EM / 20);
  Font.UnderlineRows = std::max(1, UnitsToPixels_(Face, thick));
  const FT_Long centre26 = -FT_MulFix(Face->underline_position, Face->size->metrics.y_scale);
  const FT_Long top26 = centre26 - Font.UnderlineRows * 32;
  Font.UnderlineTop =
      Font.Ascent + static_cast<int32_t>(top26 >= 0 ? (top26 + 32) >> 6 : -((-top26 + 32) >> 6));
  // The strike-out position is the top of its stroke above the baseline.
  // A face without an OS/2 table says nothing about it: a quarter of the em
  // is where common faces put it, as thick as the underline.
  const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(Face, FT_SFNT_OS2));
  const bool told = os2 && os2->version != 0xFFFF && os2->yStrikeoutSize > 0;
  const FT_Long pos = told ? os2->yStrikeoutPosition : Face->units_per_EM / 4;
  Font.StrikeOutRows = told ? std::max(1, UnitsToPixels_(Face, os2->yStrikeoutSize))
                            : Font.UnderlineRows;
  Font.StrikeOutTop = Font.Ascent - UnitsToPixels_(Face, pos);
}

// Scales an opened face to PixelSize pixels per em and chooses its
// character map.
bool ScaleFace_(FT_Face Face, int32_t PixelSize) {
  // ppem pixels at 96 dpi: ppem * 72 / 96 points, in 26.6 exactly ppem * 48.
  if (FT_IS_SCALABLE(Face)) {
    if (FT_Set_Char_Size(Face, 0, static_cast<FT_F26Dot6>(PixelSize) * 48, FONT_SCREEN_DPI,
                         FONT_SCREEN_DPI) != 0)
      return false;
  } else if (Face->num_fixed_sizes < 1 || FT_Select_Size(Face, 0) != 0) {
    return false;
  }
  // Symbol faces have no Unicode map; their own map is used as it stands.
  if (FT_Select_Charmap(Face, FT_ENCODING_UNICODE) != 0 && Face->num_charmaps > 0)
    FT_Set_Charmap(Face, Face->charmaps[0]);
  return true;
}

// Scales the opened face, chooses its character map and reads the metrics.
bool SizeFace_(const TFontRequest& Request, TFont& Font) {
  FT_Face face = Font.FtFace.get();
  Font.PixelSize = PixelSizeFor_(face, Request.Height);
  if (Font.PixelSize == 0 || !ScaleFace_(face, Font.PixelSize)) return false;
  Font.Ascent = static_cast<int32_t>((face->size->metrics.ascender + 32) >> 6);
  Font.Descent = static_cast<int32_t>((-face->size->metrics.descender + 32) >> 6);
  if (FT_IS_SCALABLE(face)) PlaceBars_(face, Font);
  return true;
}

bool IsSymbolFace_(FT_Face Face) {
  return Face->charmap && Face->charmap->encoding == FT_ENCODING_MS_SYMBOL;
}

// The Windows-1252 byte of a character, 0 when the code page has none.
uint32_t AnsiByte_(char32_t Char) {
  for (uint32_t b = 1; b < 256; ++b)
    if (AnsiToUnicode(static_cast<uint8_t>(b)) == Char) return b;
  return 0;
}

FT_UInt GlyphIndex_(FT_Face Face, char32_t Char) {
  // A symbol face lists its characters at U+F000 + byte, as Windows maps them.
  if (IsSymbolFace_(Face)) {
    const uint32_t byte = AnsiByte_(Char);
    return byte == 0 ? 0 : FT_Get_Char_Index(Face, 0xF000u + byte);
  }
  return FT_Get_Char_Index(Face, Char);
}

// Opens the face fontconfig picks for Char at the font's size, or finds it
// among those already open; nullptr when no other face has the character.
FT_Face OpenFallback_(TFont& Font, char32_t Char) {
  TFaceMatch_ match;
  if (!MatchFace_(Font.Face, Font.Bold, Font.Italic, Char, match)) return nullptr;
  if (match.File == Font.File && match.Index == Font.FileIndex) return nullptr;
  for (const TFontFallback& f : Font.Fallbacks)
    if (f.File == match.File && f.FileIndex == match.Index) return f.Face.get();
  TFontFallback f;
  f.File = match.File;
  f.FileIndex = match.Index;
  FT_Face face = nullptr;
  if (FT_New_Face(Font.Library.get(), match.File.c_str(), match.Index, &face) == 0) {
    f.Face.reset(face);
    if (!ScaleFace_(face, Font.PixelSize)) f.Face.reset();
  }
  Font.Fallbacks.push_back(std::move(f));
  return Font.Fallbacks.back().Face.get();
}

// The face whose glyph stands for Char and that glyph's index: the font's
// own face when it has the character, else the fallback fontconfig picks.
// Control characters and symbol faces never look further.
FT_Face FaceFor_(TFont& Font, char32_t Char, FT_UInt& Glyph) {
  FT_Face face = Font.FtFace.get();
  Glyph = GlyphIndex_(face, Char);
  if (Glyph != 0 || Char < 0x20 || (Char >= 0x7F && Char < 0xA0) || IsSymbolFace_(face))
    return face;
  auto known = std::find_if(Font.FallbackFor.begin(), Font.FallbackFor.end(),
                            [&](const auto& F) { return F.first == Char; });
  FT_Face other = known != Font.FallbackFor.end() ? known->second : OpenFallback_(Font, Char);
  if (known == Font.FallbackFor.end()) Font.FallbackFor.emplace_back(Char, other);
  const FT_UInt glyph = other ? FT_Get_Char_Index(other, Char) : 0;
  if (glyph == 0) return face;
  Glyph = glyph;
  return other;
}

// Loads the glyph of one character, hinted for monochrome output, with any
// synthesis applied; the slot returned then holds an outline (or a bitmap
// for a bitmap-only face). nullptr when the glyph fails to load.
FT_GlyphSlot LoadGlyph_(TFont& Font, char32_t Char) {
  FT_UInt glyph = 0;
  FT_Face face = FaceFor_(Font, Char, glyph);
  FT_Int32 flags = FT_LOAD_TARGET_MONO;
  if (FT_IS_SCALABLE(face)) flags |= FT_LOAD_NO_BITMAP;
  if (FT_Load_Glyph(face, glyph, flags) != 0) return nullptr;
  const bool own = face == Font.FtFace.get();
  if (own ? Font.SynthItalic : Font.Italic && !FaceIsItalic_(face))
    FT_GlyphSlot_Oblique(face->glyph);
  if (own ? Font.SynthBold : Font.Bold && !FaceIsBold_(face)) FT_GlyphSlot_Embolden(face->glyph);
  return face->glyph;
}

// The glyph's advance in whole pixels.
int32_t AdvanceOf_(FT_GlyphSlot Slot) { return static_cast<int32_t>((Slot->advance.x + 32) >> 6); }

inline void SetBit_(uint8_t* Bits, int32_t RowBytes, int32_t X, int32_t Y) {
  Bits[static_cast<int64_t>(Y) * RowBytes + (X >> 3)] |= static_cast<uint8_t>(0x80u >> (X & 7));
}

// Copies the set pixels of a rendered glyph whose top-left pixel lands at
// (Left, Top), clipped to the Width x Height bitmap.
void BlitGlyph_(const FT_Bitmap& Glyph, int64_t Left, int64_t Top, uint8_t* Bits, int32_t Width,
                int32_t Height, int32_t RowBytes) {
  const bool mono = Glyph.pixel_mode == FT_PIXEL_MODE_MONO;
  if (!mono && Glyph.pixel_mode != FT_PIXEL_MODE_GRAY) return;
  const int64_t rows = Glyph.rows, cols = Glyph.width, pitch = std::abs(Glyph.pitch);
  for (int64_t r = 0; r < rows; ++r) {
    const int64_t y = Top + r;
    if (y < 0 || y >= Height) continue;
    // A negative pitch stores the bottom row first.
    const uint8_t* src = Glyph.buffer + (Glyph.pitch >= 0 ? r : rows - 1 - r) * pitch;
    for (int64_t c = 0; c < cols; ++c) {
      const int64_t x = Left + c;
      if (x < 0 || x >= Width) continue;
      const bool on = mono ? (src[c >> 3] & (0x80u >> (c & 7))) != 0 : src[c] >= 128;
      if (on) SetBit_(Bits, RowBytes, static_cast<int32_t>(x), static_cast<int32_t>(y));
    }
  }
}

// Sets Rows rows from Top on, columns 0 .. Cx - 1, clipped.
void DrawBar_(int32_t Top, int32_t Rows, int64_t Cx, uint8_t* Bits, int32_t Width, int32_t Height,
              int32_t RowBytes) {
  const int64_t x1 = std::min<int64_t>(Cx, Width);
  const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(Top) + Rows, Height);
  for (int64_t y = std::max(Top, 0); y < y1; ++y)
    for (int64_t x = 0; x < x1; ++x)
      SetBit_(Bits, RowBytes, static_cast<int32_t>(x), static_cast<int32_t>(y));
}

// Back to an empty font; the face goes before the library that made it.
void Release_(TFont& Font) {
  Font.FallbackFor.clear();
  Font.Fallbacks.clear();
  Font.FtFace.reset();
  Font.Library.reset();
  Font.Face.clear();
  Font.Family.clear();
  Font.File.clear();
  Font.FileIndex = Font.PixelSize = Font.Ascent = Font.Descent = 0;
  Font.Bold = Font.Italic = Font.SynthBold = Font.SynthItalic = false;
  Font.Underline = Font.StrikeOut = false;
  Font.UnderlineTop = Font.UnderlineRows = Font.StrikeOutTop = Font.StrikeOutRows = 0;
}

}  // namespace

int32_t FontMulDiv(int32_t A, int32_t B, int32_t C) {
  if (C == 0) return -1;
  const int64_t n = static_cast<int64_t>(A) * B;
  const int64_t c = C;
  const bool negative = (n < 0) != (c < 0);
  const int64_t an = n < 0 ? -n : n, ac = c < 0 ? -c : c;
  const int64_t q = (an + ac / 2) / ac;
  if (q > INT32_MAX) return -1;  // Windows answers -1 on overflow as well
  return static_cast<int32_t>(negative ? -q : q);
}

char32_t AnsiToUnicode(uint8_t Byte) {
  if (Byte >= 0x80 && Byte <= 0x9F) return kCp1252High[Byte - 0x80];
  return Byte;
}

std::u32string TextToUnicode(std::string_view Text) {
  std::u32string out;
  size_t i = 0;
  char32_t c = 0;
  while (i < Text.size() && NextUtf8_(Text, i, c)) out += c;
  if (i < Text.size()) {
    out.clear();
    for (char b : Text) out += AnsiToUnicode(static_cast<uint8_t>(b));
  } else if (!out.empty() && out.front() == U'\uFEFF') {
    out.erase(0, 1);
  }
  return out;
}

std::string TextToUtf8(std::string_view Text) {
  std::string out;
  for (char32_t c : TextToUnicode(Text)) PutUtf8_(out, c);
  return out;
}

bool FontCreate(const TFontRequest& Request, TFont& Font) {
  Release_(Font);
  Font.Face = std::string(Request.Face.substr(0, FONT_FACE_MAX));
  TFaceMatch_ match;
  if (!MatchFace_(Font.Face, Request.Bold, Request.Italic, 0, match)) return false;
  FT_Library library = nullptr;
  if (FT_Init_FreeType(&library) != 0) return false;
  Font.Library.reset(library);
  FT_Face face = nullptr;
  if (FT_New_Face(library, match.File.c_str(), match.Index, &face) != 0) {
    Release_(Font);
    return false;
  }
  Font.FtFace.reset(face);
  Font.Family = match.Family;
  Font.File = match.File;
  Font.FileIndex = match.Index;
  Font.Bold = Request.Bold;
  Font.Italic = Request.Italic;
  Font.SynthBold = Request.Bold && !FaceIsBold_(face);
  Font.SynthItalic = Request.Italic && !FaceIsItalic_(face);
  Font.Underline = Request.Underline;
  Font.StrikeOut = Request.StrikeOut;
  if (!SizeFace_(Request, Font)) {
    Release_(Font);
    return false;
  }
  return true;
}

bool FontTextExtent(TFont& Font, std::string_view Text, int32_t& Cx, int32_t& Cy) {
  Cx = Cy = 0;
  if (!Font.FtFace) return false;
  int64_t pen = 0;
  for (char32_t c : TextToUnicode(Text)) {
    FT_GlyphSlot slot = LoadGlyph_(Font, c);
    if (!slot) return false;
    pen += AdvanceOf_(slot);
  }
  if (pen > INT32_MAX) return false;
  Cx = static_cast<int32_t>(pen);
  Cy = Font.Ascent + Font.Descent;
  return true;
}

bool FontDrawText(TFont& Font, std::string_view Text, uint8_t* Bits, int32_t Width,
                  int32_t Height, int32_t RowBytes) {
  if (!Font.FtFace || !Bits || Width < 0 || Height < 0 || RowBytes < (Width + 7) / 8) return false;
  int64_t pen = 0;
  for (char32_t c : TextToUnicode(Text)) {
    FT_GlyphSlot slot = LoadGlyph_(Font, c);
    if (!slot) return false;
    if (slot->format != FT_GLYPH_FORMAT_BITMAP && FT_Render_Glyph(slot, FT_RENDER_MODE_MONO) != 0)
      return false;
    BlitGlyph_(slot->bitmap, pen + slot->bitmap_left,
               static_cast<int64_t>(Font.Ascent) - slot->bitmap_top, Bits, Width, Height, RowBytes);
    pen += AdvanceOf_(slot);
  }
  const int64_t cx = pen;
  if (Font.Underline)
    DrawBar_(Font.UnderlineTop, Font.UnderlineRows, cx, Bits, Width, Height, RowBytes);
  if (Font.StrikeOut)
    DrawBar_(Font.StrikeOutTop, Font.StrikeOutRows, cx, Bits, Width, Height, RowBytes);
  return true;
}

}  // namespace kvo
