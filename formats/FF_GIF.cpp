// SPDX-License-Identifier: GPL-3.0-or-later
// GIF reader.
//
// Frames are found by their signatures, not by walking every extension
// block: a Graphic Control Extension (21 F9 04) anywhere in the next 1,024
// bytes, else an image separator (2C) - anywhere for the first frame, as
// the very next byte for later ones. The full scan never decodes; it walks
// each frame's sub-blocks only to learn where the next one starts, and
// keeps every frame's position so a movie can seek without scanning again.
// A frame is later read back from its stored position exactly as the scan
// found it (a separator there means the frame has no extension).
//
// Odd files the reader tolerates, because real encoders write them and the
// picture stays unambiguous:
// - frames that reach beyond the logical screen or lie outside it: clipped,
//   nothing is ever written outside the canvas;
// - a data stream that ends early (no terminator, a cut file): the frame
//   ends there and its remaining pixels stay as they were;
// - more data than the frame has pixels: the rest is ignored;
// - a code beyond the next free table entry: taken as that entry (the
//   string of the previous code and its own first byte);
// - a first code that is not a clear code; clear codes in a row;
// - a file cut inside a later frame: the full scan keeps the frames before
//   it, so a cut animation still shows its whole frames.
// Refused: a code size byte outside 2..11 or a first code that names a
// table entry (EG_IMG 3, "Cannot decompress image data."); a logical screen
// or a frame buffer beyond the readers' picture limit (EG_IMG 12); a first
// frame whose sub-blocks run past the end of the file during the full scan
// (EG_IMG 9).
//
// Pixels a file leaves undefined are defined here: the first frame starts on
// a canvas of the background index (index 0 when the frame brings its own
// colour table or the file has no global one), and palette entries past a
// colour table are black. A frame's transparent index is black in its
// palette, so what shows through a still picture is the logo's background.
#include "formats/FF_GIF.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ByteCursor.h"
#include "formats/ConForm.h"
#include "formats/FFLib.h"

namespace kvo {

namespace {

constexpr int kScreenDesc = 13;
constexpr int kWindow = 1024;   // bytes searched for a frame's signatures
constexpr int kExtBytes = 8;    // 21 F9 04 flags delay(2) transparent terminator
constexpr int kDescBytes = 10;  // 2C left top width height (16 bits each) flags
constexpr int64_t kScanBuf = 65536;
constexpr int64_t kRefillMargin = 260;  // a sub-block and its length byte fit
constexpr int kBlkEntries = 256;
constexpr int kMaxBlocks = 256;
constexpr int32_t kMaxFrames = kBlkEntries * kMaxBlocks;
constexpr int kMaxCodes = 4096;
constexpr int64_t kLzwTableBytes = kMaxCodes * (2 + 1 + 2);  // prefixes, suffixes, lengths

// ---- module-wide state: one GIF at a time ------------------------------------------------

int32_t* ImgFPosBlk[kMaxBlocks] = {};  // frame positions, kBlkEntries per block
int32_t ImgFPosBlkCount = 0;           // blocks ever allocated (some may be gone)
int32_t GIFScanNo = 0;                 // number of the last full scan

struct TGIFCache {
  bool Valid = false;
  int64_t FileSize = 0;
  int64_t Time = 0;
  std::string Name;  // lower-cased
  TGIFFile Gf;
};
TGIFCache GIFCached;

uint8_t* GIFCmpsBuf = nullptr;   // compressed data: the scan's window, or one frame's data
uint8_t* GIFLZWChBuf = nullptr;  // the LZW string table

// A block recorded for exactly this variable. A failing monitored frame
// releases what it allocated without clearing our pointers, so every
// long-lived pointer is checked before use rather than trusted.
bool OwnBlock_(void* const& Var) {
  const int i = MemFind(Var);
  return i != INVALID_ID && MemRecord(i)->VarAddr == &Var;
}

// Allocates (or resizes) with the record naming Var itself, which is what
// OwnBlock_ recognises later.
template <class T>
void AllocOwned_(T*& Var, int64_t Size, int Line, const char* Name) {
  _memalloc_(Var, Size, Line, Name, MK_MEM);
}

template <class T>
void DropStale_(T*& Var) {
  void* const& v = reinterpret_cast<void* const&>(Var);
  if (Var && !OwnBlock_(v)) Var = nullptr;
}

int64_t FileAge_(const std::string& Name) {
  std::error_code ec;
  const auto t = std::filesystem::last_write_time(Name, ec);
  return ec ? 0 : static_cast<int64_t>(t.time_since_epoch().count());
}

std::string Lower_(const std::string& S) {
  std::string r = S;
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

// ---- one frame's header ------------------------------------------------------------

struct TGIFFrameHdr {
  uint8_t Ext[kExtBytes] = {};  // zeros when the frame has no extension
  int32_t Left = 0, Top = 0, Width = 0, Height = 0, Flags = 0;
  int64_t Pos = 0;  // of the extension's 0x21, else of the separator
};

int32_t Delay_(const TGIFFrameHdr& H) { return H.Ext[4] | (H.Ext[5] << 8); }
int32_t DisposalOf_(const TGIFFrameHdr& H) { return (H.Ext[3] >> 2) & 7; }
bool Transparent_(const TGIFFrameHdr& H) { return (H.Ext[3] & 1) || H.Ext[6] != 0; }
int64_t TableBytes_(int32_t Flags) { return 3 * (int64_t{2} << (Flags & 7)); }

// The full-screen test: a frame that leaves part of the screen uncovered.
bool PartialFrame_(const TGIFFile& Gf, const TGIFFrameHdr& H) {
  return (H.Left != 0 && H.Left < Gf.Width) || (H.Top != 0 && H.Top < Gf.Height) ||
         H.Width < Gf.Width || H.Height < Gf.Height;
}

// Up to kWindow bytes of the file from Base.
struct TGIFWindow {
  uint8_t Bytes[kWindow];
  int64_t Base = 0;
  int64_t Got = 0;
};

bool ReadWindow_(int32_t Handle, int64_t Base, TGIFWindow& W) {
  W.Base = Base;
  W.Got = 0;
  FSeek(Handle, Base);
  FReadPart(Handle, W.Bytes, kWindow, W.Got);
  return W.Got > 0;
}

bool IsGce_(const TGIFWindow& W, int64_t At) {
  return At + 3 <= W.Got && W.Bytes[At] == 0x21 && W.Bytes[At + 1] == 0xF9 &&
         W.Bytes[At + 2] == 0x04;
}

int64_t FindGce_(const TGIFWindow& W, int64_t From) {
  for (int64_t i = From; i + 3 <= W.Got; ++i)
    if (IsGce_(W, i)) return i;
  return -1;
}

int64_t FindSep_(const TGIFWindow& W, int64_t From) {
  for (int64_t i = From; i < W.Got; ++i)
    if (W.Bytes[i] == 0x2C) return i;
  return -1;
}

// A record found at At that needs Need bytes but runs past the window is
// read again from At, so records near the window's end are read whole.
int64_t Anchor_(int32_t Handle, TGIFWindow& W, int64_t At, int64_t Need) {
  if (At <= 0 || At + Need <= W.Got) return At;
  ReadWindow_(Handle, W.Base + At, W);
  return 0;
}

void ParseDesc_(const uint8_t* P, TGIFFrameHdr& H) {
  TByteCursor c = CurMake(P, kDescBytes);
  CurSkip(c, 1);
  H.Left = CurU16LE(c);
  H.Top = CurU16LE(c);
  H.Width = CurU16LE(c);
  H.Height = CurU16LE(c);
  H.Flags = CurU8(c);
}

}  // namespace

// ---- locating a frame -----------------------------------------------------------------

namespace {

// Finds frame FrameIndex from the file's current position (AtPos: a
// position the scan stored, which holds the extension or the separator
// itself) and leaves the file after its image descriptor. False when there
// is no such frame; a first frame without a separator is EG_IMG 4.
bool GIFGetImgHdr_(TGIFFile& Gf, int32_t FrameIndex, bool AtPos, TGIFFrameHdr& H) {
  return Monitored("FF_GIF.GIFGetImgHdr_", [&]() -> bool {
    TGIFWindow w;
    if (!ReadWindow_(Gf.Handle, FPos(Gf.Handle), w)) return false;
    const bool strict = AtPos || FrameIndex > 0;  // the separator must come first
    int64_t g = AtPos ? (IsGce_(w, 0) ? 0 : -1) : FindGce_(w, 0);
    int64_t s = -1;
    H = TGIFFrameHdr{};
    if (g >= 0) {
      g = Anchor_(Gf.Handle, w, g, kExtBytes + kDescBytes);
      if (w.Got - g >= kExtBytes) {
        std::memcpy(H.Ext, w.Bytes + g, kExtBytes);
        H.Pos = w.Base + g;
        s = FindSep_(w, g + kExtBytes);
      }
    } else {
      s = FindSep_(w, 0);
      if (strict && s != 0) s = -1;
      H.Pos = w.Base + std::max<int64_t>(s, 0);
    }
    if (s >= 0) {
      s = Anchor_(Gf.Handle, w, s, kDescBytes);
      if (w.Got - s < kDescBytes) s = -1;
    }
    if (s < 0) {
      if (FrameIndex == 0 || AtPos) SetError(EG_IMG, 4, __LINE__);
      return false;
    }
    ParseDesc_(w.Bytes + s, H);
    FSeek(Gf.Handle, w.Base + s + kDescBytes);
    return true;
  });
}

// ---- the position table ----------------------------------------------------------------

void GIFChk4ImgFPos_(int32_t Frame) {
  Monitored("FF_GIF.GIFChk4ImgFPos_", [&] {
    const int32_t b = Frame / kBlkEntries;
    DropStale_(ImgFPosBlk[b]);
    if (!ImgFPosBlk[b])
      AllocOwned_(ImgFPosBlk[b], kBlkEntries * sizeof(int32_t), __LINE__,
                  "FF_GIF.GIFChk4ImgFPos_.GIFCached.ImgFPosBlk[requested_blk]");
    ImgFPosBlkCount = std::max(ImgFPosBlkCount, b + 1);
  });
}

void GIFFreeFPosBlk_() {
  Monitored("FF_GIF.GIFFreeFPosBlk_", [&] {
    for (int32_t b = 0; b < ImgFPosBlkCount; ++b) {
      DropStale_(ImgFPosBlk[b]);
      MemFree(ImgFPosBlk[b]);
      ImgFPosBlk[b] = nullptr;
    }
    ImgFPosBlkCount = 0;
  });
}

bool TableIntact_(int32_t FrameCount) {
  for (int32_t b = 0; b * kBlkEntries < FrameCount; ++b)
    if (!ImgFPosBlk[b] || !OwnBlock_(reinterpret_cast<void* const&>(ImgFPosBlk[b]))) return false;
  return true;
}

// The stored position of frame Frame (0-based). Positions of frames after
// the first belong to one full scan; another GIF scanned since leaves this
// file without them.
int64_t FramePos_(const TGIFFile& Gf, int32_t Frame) {
  if (Frame == 0) return Gf.FirstPos;
  if (Frame < 0 || Frame >= Gf.FrameCount || Gf.ScanId != GIFScanNo || !TableIntact_(Frame + 1))
    SetError(EG_MVI, 1, __LINE__);
  return ImgFPosBlk[Frame / kBlkEntries][Frame % kBlkEntries];
}

// ---- header and scan --------------------------------------------------------------

// Screen descriptor and global colour table.
void GIFReadScreen_(TGIFFile& Gf) {
  uint8_t hdr[kScreenDesc];
  FRead(Gf.Handle, hdr, sizeof hdr);
  if (std::memcmp(hdr, "GIF", 3) != 0 ||
      (std::memcmp(hdr + 3, "87a", 3) != 0 && std::memcmp(hdr + 3, "89a", 3) != 0))
    SetError(EG_IMG, 2, __LINE__);
  const int64_t size = FSize(Gf.Handle);
  // Frame positions are 32-bit file offsets.
  if (size > INT32_MAX) SetError(EG_IMG, 1, __LINE__);
  TByteCursor c = CurMake(hdr + 6, kScreenDesc - 6);
  Gf.FileSize = static_cast<int32_t>(size);
  Gf.Width = CurU16LE(c);
  Gf.Height = CurU16LE(c);
  Gf.BytesPerPixel = 1;
  Gf.BitsPerPixel = 8;
  const int32_t flags = CurU8(c);
  const int32_t back = CurU8(c);
  Gf.BackColor = -1;
  if (flags & 0x80) {
    const int64_t n = TableBytes_(flags);
    FRead(Gf.Handle, Gf.GlobalPal, n);
    SwapRBInPlace(n / 3, &Gf.GlobalPal[0][0]);
    Gf.BackColor = back;
  }
}

// The scan's view of the file: GIFCmpsBuf holds Len bytes read from FilePos.
struct TGIFScanBuf {
  int64_t FilePos = 0;
  int64_t Len = 0;
  int64_t Pos = 0;
};

// Moves the unread tail to the buffer's start and fills the rest from the
// file; returns the number of bytes read.
int64_t GIFGetNewCmpsData_(TGIFFile& Gf, TGIFScanBuf& B) {
  return Monitored("FF_GIF.GIFGetNewCmpsData_", [&]() -> int64_t {
    const int64_t tail = B.Len - B.Pos;
    MemMove(GIFCmpsBuf + B.Pos, GIFCmpsBuf, tail);
    B.FilePos += B.Pos;
    B.Len = tail;
    B.Pos = 0;
    int64_t got = 0;
    FSeek(Gf.Handle, B.FilePos + tail);  // the frame search reads the file too
    FReadPart(Gf.Handle, GIFCmpsBuf + tail, kScanBuf - tail, got);
    B.Len += got;
    return got;
  });
}

// Walks one frame's data (code size byte, sub-blocks, terminator) from Pos
// without decoding; sets Pos to the position after it and tells whether the
// trailer follows. The buffer carries over from frame to frame, so small
// frames share one read. False when the sub-blocks run past the end of the
// file.
bool WalkFrameData_(TGIFFile& Gf, int64_t& Pos, TGIFScanBuf& b, bool& Trailer) {
  if (Pos >= b.FilePos && Pos < b.FilePos + b.Len) {
    b.Pos = Pos - b.FilePos;
  } else {
    b = TGIFScanBuf{};
    b.FilePos = Pos;
    GIFGetNewCmpsData_(Gf, b);
  }
  if (b.Len - b.Pos < 1) return false;
  ++b.Pos;  // the LZW code size
  for (;;) {
    if (b.Len - b.Pos < kRefillMargin) GIFGetNewCmpsData_(Gf, b);
    if (b.Pos >= b.Len) return false;
    const int64_t l = GIFCmpsBuf[b.Pos];
    if (b.Len - b.Pos < l + 1) return false;
    b.Pos += l + 1;
    if (l == 0) break;
  }
  Trailer = b.Pos < b.Len && GIFCmpsBuf[b.Pos] == 0x3B;
  Pos = b.FilePos + b.Pos;
  return true;
}

void GIFScan_(TGIFFile& Gf) {
  GIFCached.Valid = false;
  Gf.ScanId = ++GIFScanNo;
  GIFCmpsBuf = nullptr;
  _memalloc_(GIFCmpsBuf, kScanBuf, __LINE__, "FF_GIF.GIFOpen.GIFCmpsBuf");
  int64_t delaySum = 0;
  TGIFFrameHdr h;
  TGIFScanBuf buf;
  while (Gf.FrameCount < kMaxFrames && GIFGetImgHdr_(Gf, Gf.FrameCount, false, h)) {
    int64_t pos = FPos(Gf.Handle);
    GIFChk4ImgFPos_(Gf.FrameCount);
    ImgFPosBlk[Gf.FrameCount / kBlkEntries][Gf.FrameCount % kBlkEntries] =
        static_cast<int32_t>(h.Pos);
    if (Gf.FrameCount == 0) Gf.FirstPos = static_cast<int32_t>(h.Pos);
    if (h.Flags & 0x80) pos += TableBytes_(h.Flags);
    bool trailer = false;
    if (!WalkFrameData_(Gf, pos, buf, trailer)) {
      // A cut file keeps the frames that are whole; without one it is refused.
      if (Gf.FrameCount == 0) SetError(EG_IMG, 9, __LINE__);
      break;
    }
    delaySum += Delay_(h);
    if (!Gf.Partial && Gf.FrameCount > 0 && PartialFrame_(Gf, h)) Gf.Partial = -1;
    ++Gf.FrameCount;
    if (trailer) break;
    FSeek(Gf.Handle, pos);
  }
  MemFree(GIFCmpsBuf);
  Gf.FrameRate = delaySum > 0 ? Gf.FrameCount * 100.0 / static_cast<double>(delaySum) : 0;
}

bool GIFFromCache_(TGIFFile& Gf, const std::string& Name, int64_t Age) {
  if (!GIFCached.Valid || GIFCached.Name != Name || GIFCached.FileSize != Gf.FileSize ||
      GIFCached.Time != Age || GIFCached.Gf.ScanId != GIFScanNo ||
      !TableIntact_(GIFCached.Gf.FrameCount))
    return false;
  const int32_t handle = Gf.Handle;
  Gf = GIFCached.Gf;
  Gf.Handle = handle;
  return true;
}

void GIFOpenFirst_(TGIFFile& Gf) {
  TGIFFrameHdr h;
  if (!GIFGetImgHdr_(Gf, 0, false, h)) return;
  // The first frame's position lives in the record, so a still picture
  // never disturbs the table of a cached scan.
  Gf.FirstPos = static_cast<int32_t>(h.Pos);
  Gf.FrameCount = 1;
  const int32_t delay = Delay_(h);
  Gf.FrameRate = delay > 0 ? 100 / delay : 0;
}

}  // namespace

void GIFOpen(TGIFFile& Gf, const std::string& FileName, int32_t FirstOnly) {
  Monitored("FF_GIF.GIFOpen", [&] {
    Gf = TGIFFile{};
    FOpen(Gf.Handle, FileName, FM_READ);
    GIFReadScreen_(Gf);
    if (FirstOnly) {
      GIFOpenFirst_(Gf);
      return;
    }
    const std::string name = Lower_(FileName);
    const int64_t age = FileAge_(FileName);
    if (GIFFromCache_(Gf, name, age)) return;
    GIFScan_(Gf);
    GIFCached.Gf = Gf;
    GIFCached.Gf.Handle = 0;
    GIFCached.FileSize = Gf.FileSize;
    GIFCached.Time = age;
    GIFCached.Name = name;
    GIFCached.Valid = true;
  });
}

// ---- window operations and de-interlacing ----------------------------------------------

namespace {

struct TGIFRect {
  int64_t Left = 0, Top = 0, Width = 0, Height = 0;
};

TGIFRect Clip_(int64_t CanvasW, int64_t CanvasH, int64_t L, int64_t T, int64_t W, int64_t H) {
  TGIFRect r;
  if (L < 0 || T < 0 || L >= CanvasW || T >= CanvasH || W <= 0 || H <= 0) return r;
  r.Left = L;
  r.Top = T;
  r.Width = std::min(W, CanvasW - L);
  r.Height = std::min(H, CanvasH - T);
  return r;
}

}  // namespace

void FillWin_(uint8_t* Canvas, int32_t CanvasW, int32_t CanvasH, int32_t Left, int32_t Top,
              int32_t Width, int32_t Height, uint8_t Value) {
  TProcScope trace("FF_GIF.FillWin_");
  const TGIFRect r = Clip_(CanvasW, CanvasH, Left, Top, Width, Height);
  for (int64_t y = 0; y < r.Height; ++y)
    std::memset(Canvas + (r.Top + y) * CanvasW + r.Left, Value, static_cast<size_t>(r.Width));
}

void ExtractWin_(const uint8_t* Canvas, int32_t CanvasW, int32_t CanvasH, int32_t Left, int32_t Top,
                 int32_t Width, int32_t Height, uint8_t* Packed) {
  TProcScope trace("FF_GIF.ExtractWin_");
  const TGIFRect r = Clip_(CanvasW, CanvasH, Left, Top, Width, Height);
  for (int64_t y = 0; y < r.Height; ++y)
    std::memcpy(Packed + y * r.Width, Canvas + (r.Top + y) * CanvasW + r.Left,
                static_cast<size_t>(r.Width));
}

void InsertWin_(const uint8_t* Packed, uint8_t* Canvas, int32_t CanvasW, int32_t CanvasH,
                int32_t Left, int32_t Top, int32_t Width, int32_t Height) {
  TProcScope trace("FF_GIF.InsertWin_");
  const TGIFRect r = Clip_(CanvasW, CanvasH, Left, Top, Width, Height);
  for (int64_t y = 0; y < r.Height; ++y)
    std::memcpy(Canvas + (r.Top + y) * CanvasW + r.Left, Packed + y * r.Width,
                static_cast<size_t>(r.Width));
}

void GIFunInterlace_(const uint8_t* Src, uint8_t* Dest, int32_t Width, int32_t Height,
                     int32_t DestRows) {
  TProcScope trace("FF_GIF.GIFunInterlace_");
  static constexpr int32_t kStart[4] = {0, 4, 2, 1};
  static constexpr int32_t kStep[4] = {8, 8, 4, 2};
  int64_t row = 0;
  for (int pass = 0; pass < 4; ++pass)
    for (int64_t y = kStart[pass]; y < Height; y += kStep[pass], ++row)
      if (y < DestRows)
        std::memcpy(Dest + y * Width, Src + row * Width, static_cast<size_t>(Width));
}

// ---- the LZW decoder --------------------------------------------------------------------

namespace {

// Codes, least significant bit first, from the joined data of the
// sub-blocks. A zero length byte or the end of the bytes read ends the
// stream; a code whose bits all lie before that is still delivered.
struct TGIFCodes {
  const uint8_t* P = nullptr;
  const uint8_t* End = nullptr;
  uint32_t BlockLeft = 0;
  uint64_t Bits = 0;
  int32_t Count = 0;
  bool Ended = false;
};

inline bool NextCode_(TGIFCodes& R, int32_t Width, int32_t& Code) {
  while (R.Count < Width) {
    if (R.BlockLeft == 0) {
      if (R.Ended || R.P >= R.End || *R.P == 0) {
        R.Ended = true;
        return false;
      }
      R.BlockLeft = *R.P++;
    }
    while (R.BlockLeft > 0 && R.Count <= 56 && R.P < R.End) {
      R.Bits |= static_cast<uint64_t>(*R.P++) << R.Count;
      R.Count += 8;
      --R.BlockLeft;
    }
    if (R.BlockLeft > 0 && R.P >= R.End && R.Count < Width) {
      R.Ended = true;  // a sub-block cut short by the end of the data
      return false;
    }
  }
  Code = static_cast<int32_t>(R.Bits & ((uint64_t{1} << Width) - 1));
  R.Bits >>= Width;
  R.Count -= Width;
  return true;
}

struct TGIFTable {
  uint16_t* Prefix;
  uint8_t* Suffix;
  uint16_t* Length;  // bytes of the entry's string minus 2
  int32_t FirstFree;
};

// Writes the string of Code backwards from its last byte (N bytes in all)
// at Out; bytes at or past Limit are left out. Returns its first byte.
inline uint8_t WriteString_(const TGIFTable& T, int32_t Code, uint8_t* Out, int64_t N,
                            int64_t Limit) {
  int64_t i = N - 1;
  if (N <= Limit) {
    while (Code >= T.FirstFree && i > 0) {
      const int32_t e = Code - T.FirstFree;
      Out[i--] = T.Suffix[e];
      Code = T.Prefix[e];
    }
  } else {
    while (Code >= T.FirstFree && i > 0) {
      const int32_t e = Code - T.FirstFree;
      if (i < Limit) Out[i] = T.Suffix[e];
      --i;
      Code = T.Prefix[e];
    }
  }
  // The lengths are built with the chains, so a chain always ends on a
  // root code exactly at the string's first byte.
  if (i != 0 || Code >= T.FirstFree) SetError(EG_IMG, 3, __LINE__);
  Out[0] = static_cast<uint8_t>(Code);
  return Out[0];
}

// Decodes Size bytes of frame data (code size byte, then sub-blocks) into
// up to OutSize bytes at Out.
void GIFunLZW_(const uint8_t* Data, int64_t Size, uint8_t* Out, int64_t OutSize, TGIFTable T) {
  const int32_t codeSize = Data[0];
  if (codeSize < 2 || codeSize > 11) SetError(EG_IMG, 3, __LINE__);
  const int32_t clear = 1 << codeSize, end = clear + 1;
  T.FirstFree = clear + 2;
  int32_t width = codeSize + 1, nextFree = T.FirstFree, mask = (1 << width) - 1;
  TGIFCodes in;
  in.P = Data + 1;
  in.End = Data + Size;
  int64_t pos = 0;
  int32_t prev = -1, code = 0;
  while (pos < OutSize && NextCode_(in, width, code)) {
    if (code == clear) {
      width = codeSize + 1;
      mask = (1 << width) - 1;
      nextFree = T.FirstFree;
      prev = -1;
      continue;
    }
    if (code == end) break;
    if (prev < 0) {  // after a clear, or the stream's first code
      if (code > end) SetError(EG_IMG, 3, __LINE__);
      Out[pos++] = static_cast<uint8_t>(code);
      prev = code;
      continue;
    }
    const bool fresh = code >= nextFree;  // the entry about to be made
    const int32_t c = fresh ? prev : code;
    const int64_t n = c < clear ? 1 : T.Length[c - T.FirstFree] + 2;
    const int64_t room = OutSize - pos;
    const uint8_t first = WriteString_(T, c, Out + pos, n, room);
    if (fresh && n < room) Out[pos + n] = first;
    pos += std::min(n + (fresh ? 1 : 0), room);
    if (nextFree < kMaxCodes) {
      const int32_t e = nextFree - T.FirstFree;
      T.Prefix[e] = static_cast<uint16_t>(prev);
      T.Suffix[e] = first;
      T.Length[e] =
          static_cast<uint16_t>(prev >= T.FirstFree ? T.Length[prev - T.FirstFree] + 1 : 0);
      if (++nextFree > mask && width < 12) mask = (1 << ++width) - 1;
    }
    prev = fresh ? std::min(nextFree - 1, code) : code;
  }
}

}  // namespace

// ---- decoding one frame -----------------------------------------------------------------

namespace {

// Undoes what the previous frame asked for before the next one is drawn.
void GIFDispose_(TGIFFile& Gf, TImg& Img) {
  if (Gf.Disposal == 2)
    FillWin_(Img.Data, Gf.Width, Gf.Height, Gf.DispLeft, Gf.DispTop, Gf.DispWidth, Gf.DispHeight,
             static_cast<uint8_t>(Gf.BackColor & 0xFF));
  else if (Gf.Disposal == 3 && Gf.PrevImg)
    InsertWin_(Gf.PrevImg, Img.Data, Gf.Width, Gf.Height, Gf.DispLeft, Gf.DispTop, Gf.DispWidth,
               Gf.DispHeight);
}

// The frame's colour table (read from the file, which stands after the
// image descriptor) or the global one; the first frame's canvas.
void GIFFramePalette_(TGIFFile& Gf, TImg& Img, const TGIFFrameHdr& H) {
  const bool local = H.Flags & 0x80;
  if (Gf.CurFrame == 0) {
    const int32_t fill = !local && Gf.BackColor != -1 ? Gf.BackColor : 0;
    MemFill(Img.Data, int64_t{Img.Width} * Img.Height, static_cast<uint8_t>(fill));
  }
  if (local) {
    const int64_t n = TableBytes_(H.Flags);
    MemFill(Img.Palette, sizeof Img.Palette, 0);
    FRead(Gf.Handle, Img.Palette, n);
    SwapRBInPlace(n / 3, &Img.Palette[0][0]);
    Gf.PalChanged = -1;
    Gf.PrevLocalPal = -1;
  } else {
    std::memcpy(Img.Palette, Gf.GlobalPal, sizeof Img.Palette);
    // The first frame always brings a new palette.
    Gf.PalChanged = Gf.CurFrame == 0 || Gf.PrevLocalPal ? -1 : 0;
    Gf.PrevLocalPal = 0;
  }
}

// The frame's transparent index shows black, the logo's background, not
// the colour its table happens to hold there (often a garish key colour).
// Only this frame's palette changes: the global table stays as the file has it.
void GIFBlackTransparent_(TImg& Img, const TGIFFrameHdr& H) {
  if (H.Ext[3] & 1) MemFill(Img.Palette[H.Ext[6]], 3, 0);
}

// Remembers how this frame is to be disposed of, and for disposal 3 what
// lies under it, before anything of it is drawn.
void GIFKeepDisposal_(TGIFFile& Gf, const TImg& Img, const TGIFFrameHdr& H) {
  Gf.Disposal = DisposalOf_(H);
  if (Gf.Disposal != 2 && Gf.Disposal != 3) return;
  const TGIFRect r = Clip_(Gf.Width, Gf.Height, H.Left, H.Top, H.Width, H.Height);
  Gf.DispLeft = static_cast<int32_t>(r.Left);
  Gf.DispTop = static_cast<int32_t>(r.Top);
  Gf.DispWidth = static_cast<int32_t>(r.Width);
  Gf.DispHeight = static_cast<int32_t>(r.Height);
  if (Gf.Disposal != 3 || r.Width == 0) return;
  AllocOwned_(Gf.PrevImg, r.Width * r.Height, __LINE__, "FF_GIF.GIFLoadNext.gf.PrevImg");
  ExtractWin_(Img.Data, Gf.Width, Gf.Height, Gf.DispLeft, Gf.DispTop, Gf.DispWidth, Gf.DispHeight,
              Gf.PrevImg);
}

// Reads the frame's data from the file's position (after the colour
// table): the code size byte and the sub-blocks up to their terminator,
// walked as they come in, so only what the frame needs is read. Never past
// the next frame, the end of the file, or three bytes a pixel (more than
// any encoder writes); a stream cut short ends with what there is.
int64_t GIFReadFrameData_(TGIFFile& Gf, int64_t Pixels) {
  const int64_t start = FPos(Gf.Handle);
  int64_t end = Gf.CurFrame + 1 < Gf.FrameCount ? FramePos_(Gf, Gf.CurFrame + 1) : Gf.FileSize;
  end = std::min(end, start + 3 * Pixels + kScanBuf);
  if (end <= start) SetError(EG_IMG, 9, __LINE__);
  GIFCmpsBuf = nullptr;
  int64_t size = 0, got = 0, next = 1;  // next: where the next length byte lies
  bool ended = false;
  while (!ended) {
    while (next < got && !ended) {
      ended = GIFCmpsBuf[next] == 0;
      next += GIFCmpsBuf[next] + 1;
    }
    if (ended || got >= end - start) break;
    if (got == size) {
      size = std::min(end - start, std::max({2 * size, kScanBuf, next + 1}));
      _memalloc_(GIFCmpsBuf, size, __LINE__, "FF_GIF.GIFLoadNext.GIFCmpsBuf");
    }
    int64_t n = 0;
    FReadPart(Gf.Handle, GIFCmpsBuf + got, size - got, n);
    if (n <= 0) break;
    got += n;
  }
  if (got <= 0) SetError(EG_IMG, 9, __LINE__);
  return got;
}

void GIFDecode_(int64_t Size, uint8_t* Out, int64_t OutSize) {
  GIFLZWChBuf = nullptr;
  _memalloc_(GIFLZWChBuf, kLzwTableBytes, __LINE__, "FF_GIF.GIFLoadNext.GIFLZWChBuf");
  TGIFTable t;
  t.Prefix = reinterpret_cast<uint16_t*>(GIFLZWChBuf);
  t.Suffix = GIFLZWChBuf + 2 * kMaxCodes;
  t.Length = reinterpret_cast<uint16_t*>(GIFLZWChBuf + 3 * kMaxCodes);
  t.FirstFree = 0;
  GIFunLZW_(GIFCmpsBuf, Size, Out, OutSize, t);
  MemFree(GIFLZWChBuf);
  MemFree(GIFCmpsBuf);
}

// Puts a decoded (and de-interlaced) frame onto the canvas, clipped. A
// partial frame's transparent pixels let the canvas show through; a frame
// that covers the screen replaces it whole.
void GIFPut_(TImg& Src, TImg& Img, const TGIFFile& Gf, const TGIFFrameHdr& H) {
  ImgCopyPalette(Img, Src);
  if (PartialFrame_(Gf, H) && Transparent_(H))
    ImgSprite(Src, Img, H.Left, H.Top, H.Ext[6]);
  else
    ImgInsert(Src, Img, H.Left, H.Top);
}

// Decodes the frame whose colour table has been read and composes it.
void GIFDrawFrame_(TGIFFile& Gf, TImg& Img, const TGIFFrameHdr& H) {
  const int64_t fw = H.Width, fh = H.Height;
  if (fw == 0 || fh == 0 || H.Left >= Gf.Width || H.Top >= Gf.Height) return;  // nothing shows
  const bool interlaced = H.Flags & 0x40;
  const bool inPlace = H.Left == 0 && H.Top == 0 && fw == Gf.Width && fh == Gf.Height;
  const int64_t visRows = std::min<int64_t>(fh, Gf.Height - H.Top);
  // Rows below the screen are never decoded, unless interlacing spreads them.
  const int64_t rows = interlaced ? fh : visRows;
  if (fw * rows > FF_MAX_PICTURE_BYTES) {
    SetRefusedSize(fw, fh);
    SetError(EG_IMG, 12, __LINE__);
  }
  const int64_t size = GIFReadFrameData_(Gf, fw * fh);
  if (inPlace && !interlaced) {
    GIFDecode_(size, Img.Data, fw * fh);
    return;
  }
  TImg temp, sprite;
  _imgalloc_(temp, H.Width, static_cast<int32_t>(rows), 8, __LINE__, "FF_GIF.GIFLoadNext.ih_temp");
  MemFill(temp.Data, fw * rows, 0);
  GIFDecode_(size, temp.Data, fw * rows);
  if (interlaced && inPlace) {
    GIFunInterlace_(temp.Data, Img.Data, H.Width, H.Height, H.Height);
  } else if (interlaced) {
    _imgalloc_(sprite, H.Width, static_cast<int32_t>(visRows), 8, __LINE__,
               "FF_GIF.GIFLoadNext.ih_sprite");
    GIFunInterlace_(temp.Data, sprite.Data, H.Width, H.Height, static_cast<int32_t>(visRows));
    GIFPut_(sprite, Img, Gf, H);
    ImgFree(sprite);
  } else {
    GIFPut_(temp, Img, Gf, H);
  }
  ImgFree(temp);
}

}  // namespace

void GIFLoadNext(TGIFFile& Gf, TImg& Img) {
  Monitored("FF_GIF.GIFLoadNext", [&] {
    if (Gf.CurFrame < 0 || Gf.CurFrame + 1 > Gf.FrameCount) SetError(EG_MVI, 7, __LINE__);
    FFCheckPictureSize(Gf.Width, Gf.Height, 8);
    DropStale_(Gf.PrevImg);
    _imgalloc_(Img, Gf.Width, Gf.Height, 8, __LINE__, "FF_GIF.GIFLoadNext.ih");
    if (Gf.CurFrame == 0) {  // a new start: nothing of an earlier run remains
      Gf.Disposal = 0;
      Gf.PrevLocalPal = 0;
    }
    GIFDispose_(Gf, Img);
    FSeek(Gf.Handle, FramePos_(Gf, Gf.CurFrame));
    TGIFFrameHdr h;
    GIFGetImgHdr_(Gf, Gf.CurFrame, true, h);
    GIFFramePalette_(Gf, Img, h);
    GIFBlackTransparent_(Img, h);
    GIFKeepDisposal_(Gf, Img, h);
    GIFDrawFrame_(Gf, Img, h);
    ++Gf.CurFrame;
  });
}

void GIFLoad(TGIFFile& Gf, TImg& Img, int32_t FrameNo, int32_t Flags) {
  Monitored("FF_GIF.GIFLoad", [&] {
    TImgLoadGuard guard(Img);
    if (FrameNo < 0 || FrameNo > Gf.FrameCount) SetError(EG_MVI, 1, __LINE__);
    if (FrameNo == 0 || FrameNo == Gf.CurFrame + 1) {
      GIFLoadNext(Gf, Img);
      return;
    }
    const bool holds = Flags & 1;
    if (holds && Gf.CurFrame == FrameNo) return;
    if (!Gf.Partial) {  // every later frame covers the screen: go straight there
      Gf.CurFrame = FrameNo - 1;
      GIFLoadNext(Gf, Img);
      return;
    }
    if (!(holds && Gf.CurFrame < FrameNo)) Gf.CurFrame = 0;
    while (Gf.CurFrame < FrameNo) GIFLoadNext(Gf, Img);
  });
}

void GIFClose(TGIFFile& Gf) {
  Monitored("FF_GIF.GIFClose", [&] {
    DropStale_(Gf.PrevImg);
    MemFree(Gf.PrevImg);
    Gf.PrevImg = nullptr;
    const int32_t handle = Gf.Handle;
    Gf.Handle = 0;
    FClose(handle);
  });
}

void GIFInfo(const std::string& FileName, TFileInfo& Info, int32_t Quick) {
  Monitored("FF_GIF.GIFInfo", [&] {
    TGIFFile gf;
    GIFOpen(gf, FileName, Quick ? 0 : -1);
    Info.FileSize = gf.FileSize;
    Info.Width = gf.Width;
    Info.Height = gf.Height;
    Info.BytesPerPixel = 1;
    Info.BitsPerPixel = 8;
    Info.FrameCount = gf.FrameCount;
    Info.FramesPerSecond = gf.FrameRate;
    Info.VideoCompression = "Variable-Length-Code LZW (Lempel-Ziv & Welch)";
    Info.VideoValid = Info.VideoLoadable = gf.Width > 0 ? -1 : 0;
    GIFClose(gf);
  });
}

void GIFInfo(const std::string& FileName, TFileInfo& Info) { GIFInfo(FileName, Info, 1); }

void GIFLoadStill(const std::string& FileName, TImg& Img) {
  Monitored("FF_GIF.GIFLoadStill", [&] {
    TGIFFile gf;
    GIFOpen(gf, FileName, -1);
    GIFLoadNext(gf, Img);
    GIFClose(gf);
  });
}

void GIFDone() {
  Monitored("FF_GIF.GIFDone", [&] {
    GIFFreeFPosBlk_();
    GIFCached = TGIFCache{};
  });
}

// ---- the movie reader -------------------------------------------------------------------

namespace {

void GifOpenMovie_(TGIFFile& Gf, const std::string& FileName) { GIFOpen(Gf, FileName, 0); }
// The frame flag of a GIF movie is its palette-changed flag; a GIF movie
// never reports its end by itself.
void GifView_(TGIFFile& Gf, TMviView& View) {
  View.FrameCount = &Gf.FrameCount;
  View.CurFrame = &Gf.CurFrame;
  View.FrameFlag = &Gf.PalChanged;
}

}  // namespace

const TMviReader kGifMovie =
    TMviAdapter<TGIFFile, GifOpenMovie_, GIFLoad, GIFClose, GifView_>::Reader(
        &TMviFile::GIF, "conform.MviOpen.mf.GIF");

}  // namespace kvo
