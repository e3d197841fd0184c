// SPDX-License-Identifier: GPL-3.0-or-later
// A small HAV writer for the tests, made from the format's description: no
// program writes HAV files. Strips are packed token by token (THavPacker)
// or by a greedy packer that draws a given picture over what the decoder
// holds before (HavPack); HavFile lays out the header, page table, pages,
// frames and their palette and image records. The image record goes last
// in its frame and the data of strips past the frame's first read follows
// the first read directly, as the reader expects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvo::test {

using THavBytes = std::vector<uint8_t>;

// One strip's bit stream, most significant bit first, in either codec.
class THavPacker {
 public:
  THavPacker(bool Fast, int Bpp) : fast_(Fast), bpp_(Bpp) {}
  THavPacker& Literal(uint8_t V);
  // A fill token carrying T0, then T1 (2- and 3-byte pixels) and T2 (3-byte
  // pixels) as the stream holds them, then the count of pixels.
  THavPacker& Fill(uint8_t T0, uint8_t T1, uint8_t T2, int Count);
  // A fill of the pixel whose bytes, as stored, are Px.
  THavPacker& FillPixel(const uint8_t* Px, int Count);
  THavPacker& Skip(int64_t N);  // any N from 2, in as many tokens as it takes
  THavPacker& Above(int N);     // copy from the row above
  THavPacker& Match(int Ref, int Col, int Count);  // full codec only
  THavPacker& Repeat(int Entry);                   // full codec only
  THavPacker& End();
  THavPacker& Count(int N);
  THavPacker& Bits(uint32_t V, int N);
  THavBytes Bytes() const { return bytes_; }

 private:
  THavPacker& Token(uint32_t V) { return Bits(V, 12); }
  bool fast_;
  int bpp_;
  THavBytes bytes_;
  int used_ = 8;  // bits used of the last byte
};

// Packs bytes [Start, End) of Target, rows of RowBytes, as one strip. Prev
// is what the decode target holds before this frame (nullptr for a key
// frame, which must not depend on it): equal bytes are skipped. Earlier
// strips of Target are taken as already decoded.
THavBytes HavPack(bool Fast, int Bpp, int64_t RowBytes, const THavBytes* Prev,
                  const THavBytes& Target, int64_t Start, int64_t End);

struct THavStripSpec {
  int Rows = 0;
  bool Packed = true;
  THavBytes Data;
};

struct THavPaletteSpec {
  int First = 0;
  THavBytes Rgb;  // red, green, blue for each entry
};

struct THavFrameSpec {
  std::vector<THavPaletteSpec> Palettes;
  std::vector<THavStripSpec> Strips;  // none: the frame has no image record
  int Direct = -1;                    // strips that come with the first read; -1 all
};

struct THavMovieSpec {
  int32_t Width = 4, Height = 2, Bpp = 1, Mode = 0, Interval = 0;
  double Fps = 10;
  int32_t AudioFlags = 0, AudioRate = 0, AudioLength = 0;
  int32_t Version = 97;
  uint32_t HeaderSize = 64;
  std::vector<THavFrameSpec> Frames;
};

// Where HavFile put things, for tests that spoil them (file offsets).
struct THavLayout {
  size_t PageTable = 0;
  std::vector<size_t> Entry;  // of each frame (0-based) in its page
  std::vector<size_t> Frame;  // of each frame's data
  std::vector<size_t> Image;  // of each frame's image record (0: none)
};

std::string HavFile(const THavMovieSpec& M, THavLayout* Layout = nullptr);

// The residuals a "BEST-P" strip stores for Picture's bytes [Start, End):
// each byte minus the same byte of the pixel before it in the strip.
void HavResiduals(const THavBytes& Picture, THavBytes& Residuals, int Bpp, int64_t Start,
                  int64_t End);

// A movie that draws Pictures (Width x Height x Bpp bytes each), frame
// after frame, in strips of RowsPerStrip rows, packed with HavPack; key
// frames (every Interval frames, only the first for 0) stand alone.
THavMovieSpec HavMovieOf(const std::vector<THavBytes>& Pictures, int32_t Width, int32_t Height,
                         int32_t Bpp, int32_t Mode, int32_t Interval, int RowsPerStrip);

}  // namespace kvo::test
