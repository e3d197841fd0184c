// SPDX-License-Identifier: GPL-3.0-or-later
// MPEG placeholder reader.
#include "formats/FF_MPG.h"

#include "base/Errors.h"
#include "formats/ConForm.h"

namespace kvo {

void MpgOpen(TMpgFile& M, const std::string& FileName) {
  TProcScope trace("FF_MPG.MpgOpen");
  (void)FileName;
  M = TMpgFile{};
}

void MpgImgLoad(TMpgFile& M, TImg& Img, int32_t FrameNo, int32_t Flags) {
  (void)M, (void)Img, (void)FrameNo, (void)Flags;
}

void MpgClose(TMpgFile& M) { M = TMpgFile{}; }

void MpgInfo(const std::string& FileName, TFileInfo& Info) {
  (void)FileName;
  Info = TFileInfo{};
}

namespace {

void MpgView_(TMpgFile& M, TMviView& View) {
  View.FrameCount = &M.FrameCount;
  View.CurFrame = &M.CurFrame;
}

}  // namespace

const TMviReader kMpgMovie = TMviAdapter<TMpgFile, MpgOpen, MpgImgLoad, MpgClose, MpgView_>::Reader(
    &TMviFile::MPG, "conform.MviOpen.mf.MPG");

}  // namespace kvo
