// SPDX-License-Identifier: GPL-3.0-or-later
// Silicon Graphics image files (.rgb, .rgba, .bw, .sgi): one byte per
// channel, one to four channels, verbatim or run-length encoded. Pictures
// are written as run-length encoded files with three channels.
#pragma once

#include <cstdint>
#include <string>

#include "formats/ByteCursor.h"
#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

namespace kvo {

// One channel: 8-bit grey. Two channels (grey and alpha): 8-bit grey, the
// alpha plane dropped. Three: 24 bits. Four: 32 bits with alpha in the
// fourth byte.
void SGILoad(const std::string& FileName, TImg& Img);
// Writes the picture at 24 bits as a run-length encoded file, channels red,
// green, blue.
void SGISave(const std::string& FileName, TImg& Img);
void SGIInfo(const std::string& FileName, TFileInfo& Info);
// The picture's rows to a feed, bottom row first (TFFFeedProc).
void SGILoadFed(const std::string& FileName, TImgFeed& Feed, const TImgFeedStarter& Start);

// Packs one channel row of N (at least 1) bytes into Out, which must hold
// 2 x N + 2 bytes; returns the packed length including the closing 0.
// Runs hold at most 126 bytes, literal packets at most 125, and two equal
// bytes already make a run.
int64_t SGIPackRow_(const uint8_t* In, int64_t N, uint8_t* Out);
// Unpacks one channel row into N bytes of Out. Stops at the closing packet,
// at the end of In, or when Out is full (a run crossing the row's end is
// cut). A packet whose bytes are missing from In is the cursor's error.
void SGIUnpackRow_(TByteCursor& In, uint8_t* Out, int64_t N);

}  // namespace kvo
