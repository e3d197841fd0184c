// SPDX-License-Identifier: GPL-3.0-or-later
// Ogg placeholder reader.
#include "formats/FF_OGG.h"

#include "base/Errors.h"
#include "formats/ConForm.h"

namespace kvo {

void OggOpen(TOggFile& O, const std::string& FileName) {
  TProcScope trace("FF_OGG.OggOpen");
  (void)FileName;
  O = TOggFile{};
}

void OggClose(TOggFile& O) { O = TOggFile{}; }

void OggInfo(const std::string& FileName, TFileInfo& Info) { (void)FileName, (void)Info; }

namespace {

void OggView_(TOggFile& O, TMviView& View) {
  View.FrameCount = &O.FrameCount;
  View.CurFrame = &O.CurFrame;
  View.HasSound = true;
}

}  // namespace

const TMviReader kOggMovie = TMviAdapter<TOggFile, OggOpen, nullptr, OggClose, OggView_>::Reader(
    &TMviFile::OGG, "conform.MviOpen.mf.OGG");

}  // namespace kvo
