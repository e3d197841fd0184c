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

TMpgFile& M_(void* S) { return *static_cast<TMpgFile*>(S); }

void MviMpgOpen_(void* S, const std::string& FileName) { MpgOpen(M_(S), FileName); }
void MviMpgLoad_(void* S, TImg& Img, int32_t Frame, int32_t Mode) {
  MpgImgLoad(M_(S), Img, Frame, Mode);
}
void MviMpgClose_(void* S) { MpgClose(M_(S)); }
void MviMpgView_(void* S, TMviView& View) {
  View.FrameCount = &M_(S).FrameCount;
  View.CurFrame = &M_(S).CurFrame;
}

}  // namespace

const TMviReader kMpgMovie = {&TMviFile::MPG, "conform.MviOpen.mf.MPG", sizeof(TMpgFile),
                              MviMpgOpen_,    MviMpgLoad_,              MviMpgClose_,
                              MviMpgView_};

}  // namespace kvo
