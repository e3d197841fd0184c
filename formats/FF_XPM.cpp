// SPDX-License-Identifier: GPL-3.0-or-later
// XPM 3 files: our own reader and writer.
//
// The reader takes the whole file into one tracked block and walks it with a
// bounded cursor: it skips C comments and everything outside double quotes,
// and takes the strings in order (values, colours, pixel rows). Every
// failure is one and the same (the routine fails; the format operations
// report "Cannot open image file."). A header whose rows or colours could
// not fit in the file, and a file larger than the readers' picture limit,
// are refused before anything is allocated.
//
// Tolerated: the optional hot spot and XPMEXT words of the values string
// (extensions after the pixels are ignored), rows longer than the width
// (the rest is ignored), colour strings without a "c" visual (the grey or
// mono colour is taken), and a key defined twice (the later definition
// wins). Refused: a file that does not begin with the /* XPM */ comment, an
// unterminated comment, a string without its closing quote on its line, a
// short or missing row, a pixel whose key has no colour, and a colour
// neither hexadecimal, an X11 name nor None.
#include "formats/FF_XPM.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ByteCursor.h"
#include "formats/FFLib.h"

namespace kvo {
namespace {

struct TXpmString_ {
  const uint8_t* Text = nullptr;
  int64_t Length = 0;
};

struct TXpmHeader_ {
  int32_t Width = 0, Height = 0, Colours = 0, Cpp = 0;
};

struct TXpmColour_ {
  const uint8_t* Key;  // Cpp characters inside the file block
  uint32_t Bgr;        // blue in the low byte
  int32_t Order;       // position in the file
};

struct TXpmColours_ {
  TXpmColour_* Items = nullptr;  // sorted by key
  int32_t Count = 0;
  int32_t Cpp = 0;
};

bool IsBlank_(uint8_t C) { return C == ' ' || C == '\t'; }
bool IsSpace_(uint8_t C) { return IsBlank_(C) || C == '\n' || C == '\r' || C == '\f' || C == '\v'; }

std::string_view View_(const uint8_t* From, const uint8_t* To) {
  return {reinterpret_cast<const char*>(From), static_cast<size_t>(To - From)};
}

// ---- reading: the file and its strings -----------------------------------------

// The whole file into one block, refused when it is larger than the
// largest picture the readers allocate: no picture within that limit
// needs more text in practice.
void LoadFile_(const char* Name, uint8_t*& Data, int64_t& Size) {
  int32_t handle = INVALID_ID;
  FOpen(handle, Name, FM_READ);
  Size = FSize(handle);
  if (Size < 0 || Size > FF_MAX_PICTURE_BYTES) SetError(EG_IMG, 8, __LINE__);
  _memalloc_(Data, Size + 1, __LINE__, "FF_XPM.ReadXpm.file");
  FRead(handle, Data, Size);
  FClose(handle);
}

bool AtComment_(const TByteCursor& C) {
  return CurHas(C, 2) && C.data[C.pos] == '/' && C.data[C.pos + 1] == '*';
}

// The cursor stands on "/*": moves past the "*/" that ends the comment.
void SkipComment_(TByteCursor& C) {
  for (size_t i = C.pos + 2; i + 1 < C.size; ++i) {
    if (C.data[i] == '*' && C.data[i + 1] == '/') {
      C.pos = i + 2;
      return;
    }
  }
  CurFail(C);
}

// Moves past comments and the C syntax around the strings to the next
// string. False when no string is left.
bool NextString_(TByteCursor& C, TXpmString_& S) {
  while (!CurAtEnd(C)) {
    if (AtComment_(C)) {
      SkipComment_(C);
      continue;
    }
    if (C.data[C.pos++] != '"') continue;
    size_t start = C.pos;
    while (C.pos < C.size && C.data[C.pos] != '"' && C.data[C.pos] != '\n') ++C.pos;
    if (C.pos >= C.size || C.data[C.pos] != '"') return CurFail(C);
    S.Text = C.data + start;
    S.Length = static_cast<int64_t>(C.pos - start);
    ++C.pos;
    return true;
  }
  return false;
}

void CheckMagic_(TByteCursor& C) {
  while (!CurAtEnd(C) && IsSpace_(C.data[C.pos])) ++C.pos;
  if (!AtComment_(C)) CurFail(C);
  size_t start = C.pos + 2;
  SkipComment_(C);
  const uint8_t* from = C.data + start;
  const uint8_t* to = C.data + C.pos - 2;
  while (from < to && IsSpace_(*from)) ++from;
  while (to > from && IsSpace_(to[-1])) --to;
  if (View_(from, to) != "XPM") CurFail(C);
}

bool ReadNumber_(const uint8_t*& P, const uint8_t* End, int32_t& Value) {
  while (P < End && IsBlank_(*P)) ++P;
  const uint8_t* start = P;
  int64_t v = 0;
  for (; P < End && *P >= '0' && *P <= '9'; ++P) {
    v = v * 10 + (*P - '0');
    if (v > INT32_MAX) return false;
  }
  if (P == start || (P < End && !IsBlank_(*P)) || v < 1) return false;
  Value = static_cast<int32_t>(v);
  return true;
}

// The values string: width, height, colours, characters per pixel (then an
// optional hot spot and XPMEXT, ignored). Each row needs Width x Cpp
// characters and two quotes, each colour at least Cpp and two quotes.
TXpmHeader_ ReadHeader_(TByteCursor& C) {
  TXpmHeader_ h;
  TXpmString_ s;
  if (!NextString_(C, s)) CurFail(C);
  const uint8_t* p = s.Text;
  const uint8_t* end = s.Text + s.Length;
  if (!ReadNumber_(p, end, h.Width) || !ReadNumber_(p, end, h.Height) ||
      !ReadNumber_(p, end, h.Colours) || !ReadNumber_(p, end, h.Cpp))
    CurFail(C);
  int64_t rowChars = 0, rows = 0, colours = 0, size = static_cast<int64_t>(C.size);
  bool fits = CheckedMul(h.Width, h.Cpp, rowChars) && CheckedMul(rowChars + 2, h.Height, rows) &&
              CheckedMul(int64_t{h.Cpp} + 2, h.Colours, colours) && rows <= size &&
              colours <= size;
  if (!fits) CurFail(C);
  return h;
}

// ---- reading: colours ---------------------------------------------------------------

bool HexValue_(std::string_view Digits, uint32_t& Value) {
  Value = 0;
  for (char ch : Digits) {
    int d = ch >= '0' && ch <= '9' ? ch - '0'
            : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
            : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                     : -1;
    if (d < 0) return false;
    Value = Value * 16 + static_cast<uint32_t>(d);
  }
  return true;
}

bool IsNone_(std::string_view V) {
  if (V.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i)
    if ((V[i] | 0x20) != "none"[i]) return false;
  return true;
}

// A colour value: None (black here), #RGB to #RRRRGGGGBBBB, or an X11 name.
bool ParseColourValue_(std::string_view V, uint32_t& Bgr) {
  if (IsNone_(V)) {
    Bgr = 0;
    return true;
  }
  if (!V.empty() && V[0] == '#') {
    std::string_view hex = V.substr(1);
    size_t digits = hex.size() / 3;
    if (hex.size() % 3 != 0 || digits < 1 || digits > 4) return false;
    uint32_t rgb[3] = {};
    for (size_t i = 0; i < 3; ++i) {
      if (!HexValue_(hex.substr(i * digits, digits), rgb[i])) return false;
      // Shorter forms give the high bits, as X11 reads them: #3a7 is #3000a0007000.
      rgb[i] = (rgb[i] << (16 - 4 * digits)) >> 8;
    }
    Bgr = rgb[2] | (rgb[1] << 8) | (rgb[0] << 16);
    return true;
  }
  uint8_t r = 0, g = 0, b = 0;
  if (!X11ColorLookup(V, r, g, b)) return false;
  Bgr = b | (g << 8) | (static_cast<uint32_t>(r) << 16);
  return true;
}

// Rank of a visual keyword: c (colour) before g, g4 and m (mono); s names a
// symbol and gives no colour; -1 for a word that is no keyword.
int VisualRank_(std::string_view Word) {
  static constexpr std::string_view kKeys[] = {"c", "g", "g4", "m", "s"};
  for (int i = 0; i < 5; ++i)
    if (Word == kKeys[i]) return i;
  return -1;
}

// The colour of the best visual of a colour string (after its key).
bool ParseColourSpec_(const uint8_t* P, const uint8_t* End, uint32_t& Bgr) {
  constexpr int kSymbol = 4;
  int bestRank = kSymbol, rank = -1;
  std::string_view best;
  const uint8_t *valueFrom = nullptr, *valueTo = nullptr;
  auto takeValue = [&] {
    if (rank >= 0 && rank < bestRank && valueFrom) bestRank = rank, best = View_(valueFrom, valueTo);
  };
  while (true) {
    while (P < End && IsBlank_(*P)) ++P;
    if (P == End) break;
    const uint8_t* word = P;
    while (P < End && !IsBlank_(*P)) ++P;
    int r = VisualRank_(View_(word, P));
    if (r >= 0) {
      takeValue();
      rank = r;
      valueFrom = valueTo = nullptr;
    } else {
      if (!valueFrom) valueFrom = word;
      valueTo = P;  // a value may be several words: "light grey"
    }
  }
  takeValue();
  return bestRank < kSymbol && ParseColourValue_(best, Bgr);
}

bool KeyLess_(const TXpmColour_& A, const TXpmColour_& B, int32_t Cpp) {
  int c = std::memcmp(A.Key, B.Key, static_cast<size_t>(Cpp));
  return c < 0 || (c == 0 && A.Order < B.Order);
}

void ReadColours_(TByteCursor& C, const TXpmHeader_& H, TXpmColours_& T) {
  _memalloc_(T.Items, int64_t{H.Colours} * static_cast<int64_t>(sizeof(TXpmColour_)), __LINE__,
             "FF_XPM.ReadXpm.colours");
  T.Cpp = H.Cpp;
  for (int32_t i = 0; i < H.Colours; ++i) {
    TXpmString_ s;
    uint32_t bgr = 0;
    if (!NextString_(C, s) || s.Length < H.Cpp ||
        !ParseColourSpec_(s.Text + H.Cpp, s.Text + s.Length, bgr))
      CurFail(C);
    T.Items[i] = TXpmColour_{s.Text, bgr, i};
  }
  std::sort(T.Items, T.Items + H.Colours,
            [&](const TXpmColour_& A, const TXpmColour_& B) { return KeyLess_(A, B, H.Cpp); });
  // Of keys defined twice the later definition counts.
  int32_t kept = 0;
  for (int32_t i = 0; i < H.Colours; ++i) {
    bool later = i + 1 < H.Colours &&
                 std::memcmp(T.Items[i].Key, T.Items[i + 1].Key, static_cast<size_t>(H.Cpp)) == 0;
    if (!later) T.Items[kept++] = T.Items[i];
  }
  T.Count = kept;
}

const TXpmColour_* FindColour_(const TXpmColours_& T, const uint8_t* Key) {
  size_t cpp = static_cast<size_t>(T.Cpp);
  const TXpmColour_* begin = T.Items;
  const TXpmColour_* end = begin + T.Count;
  const TXpmColour_* it = std::lower_bound(begin, end, Key, [&](const TXpmColour_& A, const uint8_t* K) {
    return std::memcmp(A.Key, K, cpp) < 0;
  });
  return it != end && std::memcmp(it->Key, Key, cpp) == 0 ? it : nullptr;
}

// ---- reading: pixels ------------------------------------------------------------------

void ReadPixels_(TByteCursor& C, const TXpmHeader_& H, const TXpmColours_& T, uint8_t* Out) {
  int64_t rowChars = int64_t{H.Width} * H.Cpp;
  for (int32_t y = 0; y < H.Height; ++y) {
    TXpmString_ s;
    if (!NextString_(C, s) || s.Length < rowChars) CurFail(C);
    const uint8_t* key = s.Text;
    for (int32_t x = 0; x < H.Width; ++x, key += H.Cpp, Out += 3) {
      const TXpmColour_* colour = FindColour_(T, key);
      if (!colour) {
        CurFail(C);
        return;
      }
      Out[0] = static_cast<uint8_t>(colour->Bgr);
      Out[1] = static_cast<uint8_t>(colour->Bgr >> 8);
      Out[2] = static_cast<uint8_t>(colour->Bgr >> 16);
    }
  }
}

// A file read whole and its values string; the cursor stands after it.
struct TXpmText_ {
  uint8_t* Data = nullptr;
  int64_t Size = 0;
  TByteCursor Cursor;
  TXpmHeader_ Header;
};

void OpenXpm_(const char* FileName, TXpmText_& T) {
  LoadFile_(FileName, T.Data, T.Size);
  T.Cursor = CurMake(T.Data, static_cast<size_t>(T.Size), EG_IMG, 8);
  CheckMagic_(T.Cursor);
  T.Header = ReadHeader_(T.Cursor);
}

// The colours and the rows after the values string, into Width x Height
// pixels at Out.
void DecodeXpm_(TXpmText_& T, uint8_t* Out) {
  TXpmColours_ colours;
  ReadColours_(T.Cursor, T.Header, colours);
  ReadPixels_(T.Cursor, T.Header, colours, Out);
  MemFree(colours.Items);
}

void ReadXpm_(const char* FileName, TXpmRec& Rec) {
  TXpmText_ t;
  OpenXpm_(FileName, t);
  const TXpmHeader_& h = t.Header;
  Rec.Reserved1 = Rec.Reserved2 = 0;
  if (!Rec.Pixels) {
    Rec.Width = h.Width;
    Rec.Height = h.Height;
  } else {
    if (Rec.Width != h.Width || Rec.Height != h.Height) CurFail(t.Cursor);  // not the buffer's size
    DecodeXpm_(t, Rec.Pixels);
  }
  MemFree(t.Data);
}

// ---- writing ---------------------------------------------------------------------------

// Characters of the pixel keys: printable, without the quote and the
// backslash that would end or escape a C string.
constexpr char kKeyChars[] =
    " .XoO+@#$%&*=-;:>,<1234567890qwertyuipasdfghjklzxcvbnmMNBVCZASDFGHJKLPIUYTREWQ!~^/()_`'][{}|";
constexpr uint32_t kKeyBase = sizeof(kKeyChars) - 1;
static_assert(kKeyBase == 92);

struct TXpmOut_ {
  char* Data = nullptr;
  int64_t Size = 0;
  int64_t Pos = 0;
};

void Put_(TXpmOut_& O, std::string_view Text) {
  if (O.Pos + static_cast<int64_t>(Text.size()) > O.Size) SetError(EG_IMG, 11, __LINE__);
  std::memcpy(O.Data + O.Pos, Text.data(), Text.size());
  O.Pos += static_cast<int64_t>(Text.size());
}

void PutKey_(TXpmOut_& O, uint32_t Index, int32_t Cpp) {
  char key[8];
  for (int32_t k = 0; k < Cpp; ++k, Index /= kKeyBase) key[k] = kKeyChars[Index % kKeyBase];
  Put_(O, std::string_view(key, static_cast<size_t>(Cpp)));
}

// The name of the C array: the file's base name made an identifier.
std::string ArrayName_(std::string_view FileName) {
  size_t slash = FileName.find_last_of('/');
  std::string_view base = FileName.substr(slash == std::string_view::npos ? 0 : slash + 1);
  base = base.substr(0, std::min<size_t>(base.find('.'), 64));
  std::string name;
  for (char ch : base) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) name = "xpm_" + name;
  return name;
}

// The picture's distinct colours (red in bits 16-23), sorted; Count of them.
uint32_t* DistinctColours_(const TXpmRec& Rec, int64_t Pixels, int64_t& Count) {
  uint32_t* colours = nullptr;
  _memalloc_(colours, Pixels * 4, __LINE__, "FF_XPM.WriteXpm.colours");
  const uint8_t* p = Rec.Pixels;
  for (int64_t i = 0; i < Pixels; ++i, p += 3) colours[i] = p[0] | (p[1] << 8) | (p[2] << 16);
  std::sort(colours, colours + Pixels);
  Count = std::unique(colours, colours + Pixels) - colours;
  return colours;
}

void PutColours_(TXpmOut_& O, const uint32_t* Colours, int64_t Count, int32_t Cpp) {
  char text[32];
  for (int64_t i = 0; i < Count; ++i) {
    Put_(O, "\"");
    PutKey_(O, static_cast<uint32_t>(i), Cpp);
    uint32_t c = Colours[i];
    std::snprintf(text, sizeof text, " c #%02X%02X%02X\",\n", (c >> 16) & 0xFF, (c >> 8) & 0xFF,
                  c & 0xFF);
    Put_(O, text);
  }
}

void PutRows_(TXpmOut_& O, const TXpmRec& Rec, const uint32_t* Colours, int64_t Count,
              int32_t Cpp) {
  const uint8_t* p = Rec.Pixels;
  for (int32_t y = 0; y < Rec.Height; ++y) {
    Put_(O, "\"");
    for (int32_t x = 0; x < Rec.Width; ++x, p += 3) {
      uint32_t c = p[0] | (p[1] << 8) | (p[2] << 16);
      int64_t index = std::lower_bound(Colours, Colours + Count, c) - Colours;
      PutKey_(O, static_cast<uint32_t>(index), Cpp);
    }
    Put_(O, y + 1 < Rec.Height ? "\",\n" : "\"\n");
  }
  Put_(O, "};\n");
}

void WriteXpm_(const char* FileName, const TXpmRec& Rec) {
  int64_t pixels = 0, rowChars = 0, rows = 0, colourChars = 0, total = 0;
  if (!Rec.Pixels || Rec.Width <= 0 || Rec.Height <= 0 ||
      !CheckedMul(Rec.Width, Rec.Height, pixels))
    SetError(EG_IMG, 11, __LINE__);
  int64_t count = 0;
  uint32_t* colours = DistinctColours_(Rec, pixels, count);
  int32_t cpp = 1;
  for (int64_t reach = kKeyBase; reach < count; reach *= kKeyBase) ++cpp;
  std::string name = ArrayName_(FileName);
  if (!CheckedMul(Rec.Width, cpp, rowChars) || !CheckedMul(rowChars + 4, Rec.Height, rows) ||
      !CheckedMul(count, cpp + 16, colourChars) || !CheckedAdd(rows, colourChars, total))
    SetError(EG_IMG, 11, __LINE__);
  TXpmOut_ out;
  out.Size = total + static_cast<int64_t>(name.size()) + 256;
  _memalloc_(out.Data, out.Size, __LINE__, "FF_XPM.WriteXpm.text");
  char values[96];
  std::snprintf(values, sizeof values, "\"%d %d %lld %d \",\n", Rec.Width, Rec.Height,
                static_cast<long long>(count), cpp);
  Put_(out, "/* XPM */\nstatic char *");
  Put_(out, name);
  Put_(out, "[] = {\n/* columns rows colors chars-per-pixel */\n");
  Put_(out, values);
  PutColours_(out, colours, count, cpp);
  Put_(out, "/* pixels */\n");
  PutRows_(out, Rec, colours, count, cpp);
  int32_t handle = INVALID_ID;
  FOpen(handle, FileName, FM_CREATE);
  FWrite(handle, out.Data, out.Pos);
  FClose(handle);
  MemFree(out.Data);
  MemFree(colours);
}

}  // namespace

// ---- the XPM routines -----------------------------------------------------------------

int32_t ReadXpm(const char* FileName, TXpmRec* Rec) {
  bool ok = FileName && Rec && FFLibKept("FF_XPM.ReadXpm", [&] { ReadXpm_(FileName, *Rec); });
  return ok ? 0 : 1;
}

int32_t WriteXpm(const char* FileName, const TXpmRec* Rec) {
  bool ok = FileName && Rec && FFLibKept("FF_XPM.WriteXpm", [&] { WriteXpm_(FileName, *Rec); });
  return ok ? 0 : 1;
}

// ---- format operations ------------------------------------------------------------------

namespace {

// The file's text and values string; any failure is EG_IMG 8.
void OpenXpmKept_(const std::string& FileName, TXpmText_& T) {
  if (!FFLibKept("FF_XPM.ReadXpm", [&] { OpenXpm_(FileName.c_str(), T); }))
    SetError(EG_IMG, 8, __LINE__);
}

}  // namespace

void XPMInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("FF_XPM.XPMInfo", [&] {
    TXpmText_ t;
    OpenXpmKept_(FileName, t);
    MemFree(t.Data);
    Info.FileSize = FFClampSize(t.Size);
    Info.Width = t.Header.Width;
    Info.Height = t.Header.Height;
    Info.BytesPerPixel = 3;
    Info.BitsPerPixel = 24;
    Info.FrameCount = 1;
    Info.VideoValid = Info.VideoLoadable = t.Header.Width > 0 ? -1 : 0;
  });
}

// The file is read once: its values string gives the picture's size, which
// is checked before the picture is allocated and the rest decoded.
void XPMLoad(const std::string& FileName, TImg& Img) {
  Monitored("FF_XPM.XPMLoad", [&] {
    TImgLoadGuard guard(Img);
    TXpmText_ t;
    OpenXpmKept_(FileName, t);
    const TXpmHeader_& h = t.Header;
    FFCheckPictureSize(h.Width, h.Height, 24);
    _imgalloc_(Img, h.Width, h.Height, 24, __LINE__, "FF_XPM.XPMLoad.img");
    if (!FFLibKept("FF_XPM.ReadXpm", [&] { DecodeXpm_(t, Img.Data); }))
      SetError(EG_IMG, 8, __LINE__);
    ImgSetDims(Img, h.Width, h.Height, 24);
    MemFree(t.Data);
  });
}

void XPMSave(const std::string& FileName, TImg& Img) {
  Monitored("FF_XPM.XPMSave", [&] {
    TFFInit ffi;
    FFInit(FF_XPM, ffi, Img);
    TXpmRec rec;
    rec.Width = ffi.Img->Width;
    rec.Height = ffi.Img->Height;
    rec.Pixels = ffi.Img->Data;
    if (WriteXpm(FileName.c_str(), &rec) != 0) SetError(EG_IMG, 11, __LINE__);
    FFDone(ffi);
  });
}

}  // namespace kvo
