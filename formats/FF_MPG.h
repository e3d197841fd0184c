// SPDX-License-Identifier: GPL-3.0-or-later
// MPEG video and MPEG audio files: accepted, and opened as movies without
// frames. Their pictures and sound are not decoded; the reader exists so
// that such files are recognised by their extension and open cleanly.
#pragma once

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

namespace kvo {

struct TMviReader;

// An open MPEG file: nothing but the movie layer's view of no frames.
struct TMpgFile {
  int32_t FrameCount = 0;
  int32_t CurFrame = 0;
};

void MpgOpen(TMpgFile& M, const std::string& FileName);
// Loads nothing (the file has no frames to give).
void MpgImgLoad(TMpgFile& M, TImg& Img, int32_t FrameNo, int32_t Flags);
void MpgClose(TMpgFile& M);
// Describes nothing: Info is cleared.
void MpgInfo(const std::string& FileName, TFileInfo& Info);
extern const TMviReader kMpgMovie;

}  // namespace kvo
