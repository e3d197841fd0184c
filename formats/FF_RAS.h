// SPDX-License-Identifier: GPL-3.0-or-later
// Sun raster files (.ras, .sun): 8, 24 and 32 bits per pixel, plain or
// byte-encoded (run-length). Pictures are written byte-encoded at 8 bits
// with their colour map, or at 24 bits.
#pragma once

#include <cstdint>
#include <string>

#include "formats/ByteCursor.h"
#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

namespace kvo {

// 8-bit files load as 8 bits with their colour map (a grey ramp when they
// have none), 24- and 32-bit files as 24 bits.
void RASLoad(const std::string& FileName, TImg& Img);
// Writes 8-bit pictures with a 768-byte colour map and every other depth at
// 24 bits, byte-encoded (type 2), each row padded to an even length. The
// length field holds the size of the encoded data, which is what readers
// of byte-encoded files (netpbm's among them) take it for.
void RASSave(const std::string& FileName, TImg& Img);
void RASInfo(const std::string& FileName, TFileInfo& Info);

// Byte-encodes one row of N (at least 1) bytes into Out, which must hold
// 2 x N bytes; returns the encoded length. 0x80 is the escape: 0x80 0 is
// one 0x80, 0x80 n v is n + 1 copies of v; any repeat becomes a run.
int64_t RASPackRow_(const uint8_t* In, int64_t N, uint8_t* Out);

// The byte-encoded stream, decoded across row boundaries: a run may carry
// over from one call to the next.
struct TRasRuns {
  TByteCursor Data;
  TFFWindow* Window = nullptr;  // or the data comes through this window
  uint8_t Value = 0;
  int64_t Left = 0;
};
// Fills up to N bytes of Out; returns how many, fewer when the data ends.
// An escape cut short by the end of the data is the cursor's error.
int64_t RASUnpack_(TRasRuns& Runs, uint8_t* Out, int64_t N);

// The picture's rows to a feed (TFFFeedProc).
void RASLoadFed(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start);

}  // namespace kvo
