// SPDX-License-Identifier: GPL-3.0-or-later
// The format tables, their lookups, and the depth preparation of writers.
#include "formats/FFBasic.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ByteCursor.h"

namespace kvo {

namespace {

// Row order matters: the open dialog's "All supported formats" pattern and
// UniInfo's probe of the other formats follow it.
const std::array<TFormatRow, FF_READ_ROWS>& ReadTable() {
  static const std::array<TFormatRow, FF_READ_ROWS> rows = {{
      {FF_HAV, 0x1A, ".hav", "HAV", "High quality Audio Video", "HAV, High quality Audio Video"},
      {FF_GIF, 0x0B, ".gif.giff", "GIF", "Graphics Interchange Format",
       "GIF, Graphics Interchange Format"},
      {FF_BMP, 0x09, ".bmp.dib.rle", "BMP", "Windows Device Independent Bitmap",
       "BMP/DIB, Windows Device Independent Bitmap"},
      {FF_FLIC, 0x0A, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"},
      {FF_RAS, 0x09, ".ras.sun", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"},
      {FF_SGI, 0x09, ".rgb.rgba.bw.sgi", "SGI", "Silicon Graphics Image",
       "RGB, Silicon Graphics Image"},
      {FF_PNM, 0x09, ".pnm.ppm.pgm", "PNM", "Portable Image", "PNM, Portable Image"},
      {FF_PCX, 0x09, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"},
      {FF_PNG, 0x09, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"},
      {FF_AVI, 0x1A, ".avi", "AVI", "Windows Audio Video Interleaved",
       "AVI, Windows Audio Video Interleaved"},
      {FF_WAV, 0x14, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"},
      {FF_JPEG, 0x09, ".jpg.jpeg.jif.jfif.jpe.J", "JPEG", "Joint Photographic Experts Group",
       "JPEG, Joint Photographic Experts Group"},
      {FF_TIFF, 0x09, ".tif.tiff", "TIFF", "Tagged Image File Format",
       "TIFF, Tagged Image File Format"},
      {FF_MPEG, 0x1A, ".mpg.mpeg.m1v.m2v.mpe", "MPEG", "Moving Pictures Experts Group",
       "MPEG, Moving Pictures Experts Group"},
      {FF_TGA, 0x09, ".tga", "TGA", "Truevision Targa", "TGA, Truevision Targa"},
      {FF_BAY, 0x09, ".bay", "BAY", "Bayer Image", "BAY, Bayer Image"},
      {FF_XPM, 0x09, ".xpm", "XPM", "X PixMap", "XPM, X PixMap"},
      // MPEG audio is read by the MPEG reader, hence identifier 11 here.
      {FF_MPEG, 0x14, ".mp3.mpa.mp2", "MPA", "MPEG Audio Layer I/II/III",
       "MP3/MPA, MPEG Audio Layer I/II/III"},
      {FF_OGG, 0x14, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"},
  }};
  return rows;
}

const std::array<TFormatRow, FF_WRITE_ROWS>& WriteTable() {
  static const std::array<TFormatRow, FF_WRITE_ROWS> rows = {{
      {FF_AVI, 0x1A, ".avi", "AVI", "Windows Audio Video Interleaved",
       "AVI, Windows Audio Video Interleaved"},
      {FF_BMP, 0x09, ".bmp.dib", "BMP", "Windows Device Independent Bitmap",
       "BMP/DIB, Windows Device Independent Bitmap"},
      {FF_FLIC, 0x0A, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"},
      {FF_HAV, 0x1A, ".hav", "HAV", "High quality Audio Video", "HAV, High quality Audio Video"},
      {FF_JPEG, 0x09, ".jpg.jpeg", "JPEG", "Joint Photographic Experts Group",
       "JPEG, Joint Photographic Experts Group"},
      {FF_PCX, 0x09, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"},
      {FF_PNG, 0x09, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"},
      {FF_TGA, 0x09, ".tga", "TGA", "Truevision Targa", "TGA, Truevision Targa"},
      {FF_MPEG, 0x1A, ".mpg.mpeg.m1v.m2v", "MPEG", "Moving Pictures Experts Group",
       "MPEG, Moving Pictures Experts Group"},
      {FF_WAV, 0x14, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"},
      {FF_SGI, 0x09, ".rgb.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"},
      {FF_RAS, 0x09, ".ras.sun", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"},
      {FF_PNM, 0x09, ".ppm.pnm", "PPM", "Portable PixelMap", "PPM, Portable PixelMap"},
      {FF_TIFF, 0x09, ".tif.tiff", "TIFF", "Tagged Image File Format",
       "TIFF, Tagged Image File Format"},
      {FF_XPM, 0x09, ".xpm", "XPM", "X PixMap", "XPM, X PixMap"},
      {FF_MPA, 0x14, ".mp2", "MPA", "MPEG Audio Layer II", "MP2, MPEG Audio Layer II"},
      {FF_OGG, 0x14, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"},
  }};
  return rows;
}

// The depth a writer takes, by the picture's depth 8 / 15 / 16 / 24 / 32 /
// other. Sound formats take no pictures (0).
struct TDepthRow {
  int32_t Id;
  int32_t Depth[6];
};

// clang-format off
constexpr TDepthRow kWriterDepths[] = {
    //          8   15  16  24  32  other
    {FF_AVI,  {8,  15, 24, 24, 24, 24}},
    {FF_BMP,  {8,  15, 24, 24, 24, 24}},
    {FF_FLIC, {8,  8,  8,  8,  8,  8}},
    {FF_HAV,  {8,  16, 16, 24, 24, 24}},
    {FF_JPEG, {24, 24, 24, 24, 24, 24}},
    {FF_PCX,  {8,  24, 24, 24, 24, 24}},
    {FF_PNG,  {8,  24, 24, 24, 24, 24}},
    {FF_TGA,  {8,  15, 24, 24, 24, 24}},
    {FF_MPEG, {24, 24, 24, 24, 24, 24}},
    {FF_WAV,  {0,  0,  0,  0,  0,  0}},
    {FF_SGI,  {24, 24, 24, 24, 24, 24}},
    {FF_RAS,  {8,  24, 24, 24, 24, 24}},
    {FF_PNM,  {24, 24, 24, 24, 24, 24}},
    {FF_TIFF, {8,  24, 24, 24, 24, 24}},
    {FF_XPM,  {24, 24, 24, 24, 24, 24}},
    {FF_MPA,  {0,  0,  0,  0,  0,  0}},
    {FF_OGG,  {0,  0,  0,  0,  0,  0}},
};
// clang-format on

int DepthColumn(int32_t BitsPerPixel) {
  switch (BitsPerPixel) {
    case 8: return 0;
    case 15: return 1;
    case 16: return 2;
    case 24: return 3;
    case 32: return 4;
    default: return 5;
  }
}

// The extension as the tables compare it: from the last dot of the last
// path component, lower-cased, followed by ".". Empty without extension.
std::string TableKey(std::string_view FileName) {
  size_t slash = FileName.find_last_of('/');
  size_t dot = FileName.find_last_of('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  std::string key(FileName.substr(dot));
  for (char& ch : key) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return key + ".";
}

template <class Table>
const TFormatRow* FindRow(const Table& Rows, const std::string& Key) {
  for (const TFormatRow& row : Rows)
    if ((row.Exts + ".").find(Key) != std::string::npos) return &row;
  return nullptr;
}

}  // namespace

std::string FFText(std::string_view Text) {
  return std::string(Text.substr(0, std::min(Text.size(), FF_TEXT_MAX)));
}

int32_t FFClampSize(int64_t Size) {
  return static_cast<int32_t>(std::clamp<int64_t>(Size, 0, INT32_MAX));
}

const TFormatRow* FFReadRow(int Index) {
  return Index >= 0 && Index < FF_READ_ROWS ? &ReadTable()[static_cast<size_t>(Index)] : nullptr;
}

const TFormatRow* FFWriteRow(int Index) {
  return Index >= 0 && Index < FF_WRITE_ROWS ? &WriteTable()[static_cast<size_t>(Index)] : nullptr;
}

const TFormatRow* FFReadRowById(int32_t Id) {
  for (const TFormatRow& row : ReadTable())
    if (row.Id == Id) return &row;
  return nullptr;
}

void FFGetFormat(std::string_view FileName, TFormatRow& Row, int Table) {
  Row = TFormatRow{};
  std::string key = TableKey(FileName);
  if (key.size() <= 1) return;
  const TFormatRow* found =
      Table == FF_TABLE_WRITE ? FindRow(WriteTable(), key) : FindRow(ReadTable(), key);
  if (found) Row = *found;
}

int32_t FFGetFormatId(std::string_view FileName, int Table) {
  TFormatRow row;
  FFGetFormat(FileName, row, Table);
  return row.Id;
}

// ---- recognition by content --------------------------------------------------------

namespace {

bool Begins(std::span<const uint8_t> Head, std::string_view Sig, size_t At = 0) {
  return Head.size() >= At + Sig.size() &&
         std::memcmp(Head.data() + At, Sig.data(), Sig.size()) == 0;
}

bool IsPnmSpace(uint8_t C) { return C == ' ' || C == '\t' || C == '\n' || C == '\r'; }

// A BMP file header followed by one of the DIB header sizes Windows and
// OS/2 wrote: "BM" alone starts too many other files.
bool LooksLikeBmp(std::span<const uint8_t> H) {
  if (!Begins(H, "BM") || H.size() < 18) return false;
  const uint32_t dib = H[14] | (H[15] << 8) | (H[16] << 16) | (uint32_t{H[17]} << 24);
  return dib == 12 || dib == 16 || dib == 40 || dib == 52 || dib == 56 || dib == 64 ||
         dib == 108 || dib == 124;
}

// PCX's first byte only, so version, encoding and depth must all be ones
// ZSoft defined.
bool LooksLikePcx(std::span<const uint8_t> H) {
  if (H.size() < 4 || H[0] != 0x0A) return false;
  const bool version = H[1] == 0 || (H[1] >= 2 && H[1] <= 5);
  const bool depth = H[3] == 1 || H[3] == 2 || H[3] == 4 || H[3] == 8;
  return version && H[2] == 1 && depth;
}

// An XPM starts with its "/* XPM */" comment, perhaps after white space.
bool LooksLikeXpm(std::span<const uint8_t> H) {
  size_t i = 0;
  while (i < H.size() && IsPnmSpace(H[i])) ++i;
  if (!Begins(H, "/*", i)) return false;
  for (i += 2; i < H.size() && H[i] == ' '; ++i) {
  }
  return Begins(H, "XPM", i);
}

}  // namespace

int32_t FFFormatOfBytes(std::span<const uint8_t> Head, std::span<const uint8_t> Tail) {
  const auto& h = Head;
  if (Begins(h, "\x89PNG\r\n\x1A\n")) return FF_PNG;
  if (Begins(h, "GIF87a") || Begins(h, "GIF89a")) return FF_GIF;
  if (Begins(h, "\xFF\xD8\xFF")) return FF_JPEG;
  if (Begins(h, std::string_view("II*\0", 4)) || Begins(h, std::string_view("MM\0*", 4)))
    return FF_TIFF;
  if (Begins(h, "HAV\x1A")) return FF_HAV;  // HAV_SIGNATURE
  if (Begins(h, "RIFF") && Begins(h, "AVI ", 8)) return FF_AVI;
  if (Begins(h, "RIFF") && Begins(h, "WAVE", 8)) return FF_WAV;
  if (Begins(h, "OggS")) return FF_OGG;
  const bool mpegStart = Begins(h, std::string_view("\0\0\x01\xBA", 4)) ||  // pack
                         Begins(h, std::string_view("\0\0\x01\xB3", 4));    // sequence
  if (mpegStart || Begins(h, "ID3")) return FF_MPEG;
  if (Begins(h, "\x59\xA6\x6A\x95")) return FF_RAS;
  if (h.size() >= 4 && h[0] == 0x01 && h[1] == 0xDA && h[2] <= 1 && (h[3] == 1 || h[3] == 2))
    return FF_SGI;
  if (h.size() >= 6 && (Begins(h, "\x11\xAF", 4) || Begins(h, "\x12\xAF", 4))) return FF_FLIC;
  if (h.size() >= 3 && h[0] == 'P' && h[1] >= '1' && h[1] <= '6' && IsPnmSpace(h[2])) return FF_PNM;
  if (LooksLikeBmp(h)) return FF_BMP;
  if (LooksLikePcx(h)) return FF_PCX;
  if (LooksLikeXpm(h)) return FF_XPM;
  if (Begins(Tail, std::string_view("TRUEVISION-XFILE.\0", 18))) return FF_TGA;
  return INVALID_ID;
}

int32_t FFFormatOfFile(const std::string& FileName) {
  // Only a regular file is looked into: a FIFO or a device named like a
  // picture is never waited on.
  const int fd = ::open(FileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  struct stat st {};
  if (fd < 0) return INVALID_ID;
  uint8_t head[FF_SNIFF_HEAD] = {}, tail[FF_SNIFF_TAIL] = {};
  ssize_t got = -1, tailGot = 0;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    got = ::pread(fd, head, sizeof head, 0);
    if (st.st_size >= static_cast<off_t>(sizeof tail))
      tailGot = ::pread(fd, tail, sizeof tail, st.st_size - static_cast<off_t>(sizeof tail));
  }
  ::close(fd);
  if (got <= 0) return INVALID_ID;
  return FFFormatOfBytes({head, static_cast<size_t>(got)},
                         {tail, tailGot == static_cast<ssize_t>(sizeof tail) ? sizeof tail : 0});
}

void FFConvExt_(std::string_view Exts, std::string& Patterns, std::string& List) {
  Patterns.clear();
  List.clear();
  size_t start = Exts.find('.');
  while (start != std::string_view::npos) {
    size_t next = Exts.find('.', start + 1);
    std::string_view ext =
        Exts.substr(start + 1, next == std::string_view::npos ? next : next - start - 1);
    if (!Patterns.empty()) {
      Patterns += ';';
      List += ',';
    }
    Patterns += "*.";
    Patterns += ext;
    List += ext;
    start = next;
  }
}

void FFMakeLoadFilter(uint32_t Mask, int Options, std::string& Filter) {
  // The logo files Windows shows (LOGO.SYS and its two siblings) are
  // bitmaps under a name no reading row holds; the dialog offers them with
  // the still pictures, and the import knows them by their content.
  static const TFormatRow logoRow = {FF_BMP, 0x09, ".sys", "SYS", "Windows Logo",
                                     "SYS, Windows Logo Bitmap"};
  std::string all = "All supported formats|";
  std::vector<std::string> entries;  // kept sorted; equal texts keep their order
  int taken = 0;
  auto take = [&](const TFormatRow& Row) {
    if (Mask != 0 && (Row.Flags & Mask) == 0) return;
    std::string patterns, list;
    FFConvExt_(Row.Exts, patterns, list);
    std::string name = (Options & FFL_LONG_NAMES) ? Row.LongName : Row.ShortName;
    if (Options & FFL_LIST_EXTS) name += " (" + list + ")";
    std::string entry = name + "|" + patterns;
    all += patterns + ";";
    entries.insert(std::upper_bound(entries.begin(), entries.end(), entry), entry);
    ++taken;
  };
  for (const TFormatRow& row : ReadTable()) take(row);
  take(logoRow);
  Filter.clear();
  if (!(Options & FFL_NO_ALL) && taken >= 2) Filter = all.substr(0, all.size() - 1) + "|";
  for (const std::string& entry : entries) Filter += entry + "|";
  if (!(Options & FFL_NO_ALL)) Filter += "Any file (*.*)|*.*";
}

int32_t FFWriterDepth(int32_t FormatId, int32_t BitsPerPixel) {
  for (const TDepthRow& row : kWriterDepths)
    if (row.Id == FormatId) return row.Depth[DepthColumn(BitsPerPixel)];
  return 0;
}

void FFInit(int32_t FormatId, TFFInit& Ffi, TImg& Img) {
  Monitored("FFBasic.FFInit", [&] {
    Ffi = TFFInit{};
    bool sizeOk = Img.Width >= 4 && Img.Width <= 4096 && Img.Height >= 4 && Img.Height <= 4096;
    if (!ImgIsValid(Img) || !sizeOk) SetError(EG_MVI2, 1, __LINE__);
    int32_t depth = FFWriterDepth(FormatId, Img.BitsPerPixel);
    if (depth == 0) SetError(EG_MVI2, 1, __LINE__);
    if (depth != Img.BitsPerPixel) {
      // The conversion's own error is replaced by the writer's one error.
      MonKeepNext();
      ImgConvBpp(Img, Ffi.Temp, depth);
      if (!NoError()) {
        Ffi.Temp = TImg{};  // its block went with the failed conversion
        SetError(EG_MVI2, 1, __LINE__);
      }
      Ffi.TempUsed = true;
    }
    Ffi.Img = Ffi.TempUsed ? &Ffi.Temp : &Img;
  });
}

void FFDone(TFFInit& Ffi) {
  if (Ffi.TempUsed) ImgFree(Ffi.Temp);
  Ffi.Img = nullptr;
  Ffi.TempUsed = false;
}

int64_t FFCheckPictureSize(int64_t Width, int64_t Height, int32_t BitsPerPixel) {
  if (Width <= 0 || Height <= 0) {
    SetError(EG_IMG, 4, __LINE__);
    return 0;
  }
  int64_t bytes = 0;
  if (!CheckedMul3(Width, Height, (BitsPerPixel + 7) / 8, bytes) || bytes > FF_MAX_PICTURE_BYTES) {
    SetRefusedSize(Width, Height);
    SetError(EG_IMG, 12, __LINE__);
    return 0;
  }
  return bytes;
}

bool FFDescribedTooLarge(int64_t Width, int64_t Height, int32_t BitsPerPixel) {
  // Depths made of 16-bit samples may load at 8 bits a sample: they count
  // at half their bytes, so a description never refuses what a load takes.
  const int32_t bits = BitsPerPixel > 8 && BitsPerPixel % 16 == 0 ? BitsPerPixel / 2 : BitsPerPixel;
  const int64_t perPixel = std::clamp((bits + 7) / 8, 1, 4);
  int64_t bytes = 0;
  return !CheckedMul3(Width, Height, perPixel, bytes) || bytes > FF_MAX_PICTURE_BYTES;
}

void FFBlendOnBlack(uint8_t* Pixels, int64_t Count, int32_t Bpp, int32_t AlphaAt) {
  for (int64_t i = 0; i < Count; ++i, Pixels += Bpp) {
    const uint8_t alpha = Pixels[AlphaAt];
    for (int32_t k = 0; k < Bpp; ++k)
      if (k != AlphaAt) Pixels[k] = FFOnBlack(Pixels[k], alpha);
  }
}

void FFCheckFedSize(int64_t Width, int64_t Height, int64_t FileSize) {
  if (Width <= 0 || Height <= 0) SetError(EG_IMG, 4, __LINE__);
  const bool tooLarge = Width > INT32_MAX || Height > INT32_MAX;
  const int64_t pixels = tooLarge ? 0 : Width * Height;  // both below 2^31
  const bool tooSparse = FileSize >= 0 && pixels > FF_FED_FREE_PIXELS &&
                         pixels / FF_FED_PIXELS_PER_BYTE > FileSize;
  if (tooLarge || tooSparse) {
    SetRefusedSize(Width, Height);
    SetError(EG_IMG, 12, __LINE__);
  }
}

void FFCheckHeldBytes(int64_t Width, int64_t Height, int64_t Bytes) {
  if (Bytes >= 0 && Bytes <= FF_MAX_HELD_BYTES) return;
  SetRefusedSize(Width, Height);
  SetError(EG_IMG, 12, __LINE__);
}

void FFStartFeed(TImgFeed& Feed, const TImgFeedStarter& Start, int64_t Width, int64_t Height,
                 int32_t BitsPerPixel, const TPalette* Palette, bool BottomUp) {
  FFCheckFedSize(Width, Height);
  TImg shape;
  ImgSetDims(shape, static_cast<int32_t>(Width), static_cast<int32_t>(Height), BitsPerPixel);
  if (Palette) std::memcpy(shape.Palette, *Palette, sizeof(TPalette));
  Start(Feed, shape);
  if (BottomUp) ImgFeedBottomUp(Feed);
}

void FFWindowOpen(TFFWindow& W, int32_t Handle, int64_t Start, int64_t End, int64_t Cap,
                  int32_t ErrGroup, int32_t ErrCode) {
  W = TFFWindow{};
  W.Handle = Handle;
  W.Next = Start;
  W.End = std::max(Start, End);
  W.Cap = std::max<int64_t>(Cap, 16);
  _memalloc_(W.Buf, W.Cap, __LINE__, "FFBasic.FFWindowOpen.buf");
  W.Cur = CurMake(W.Buf, 0, ErrGroup, ErrCode);
}

TByteCursor& FFWindowNeed(TFFWindow& W, int64_t N) {
  const int64_t left = static_cast<int64_t>(CurLeft(W.Cur));
  if (left >= N || W.Next >= W.End) return W.Cur;
  std::memmove(W.Buf, W.Cur.data + W.Cur.pos, static_cast<size_t>(left));
  const int64_t n = std::min(W.Cap - left, W.End - W.Next);
  int64_t got = 0;
  FSeek(W.Handle, W.Next);
  FReadPart(W.Handle, W.Buf + left, n, got);
  W.Next = got < n ? W.End : W.Next + got;  // a file that ends early ends the data
  W.Cur = CurMake(W.Buf, static_cast<size_t>(left + std::max<int64_t>(got, 0)), W.Cur.errGroup,
                  W.Cur.errCode);
  return W.Cur;
}

void FFWindowClose(TFFWindow& W) {
  MemFree(W.Buf);
  W.Cur = TByteCursor{};
}

}  // namespace kvo
