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

TOggFile& O_(void* S) { return *static_cast<TOggFile*>(S); }

void MviOggOpen_(void* S, const std::string& FileName) { OggOpen(O_(S), FileName); }
void MviOggClose_(void* S) { OggClose(O_(S)); }
void MviOggView_(void* S, TMviView& View) {
  View.FrameCount = &O_(S).FrameCount;
  View.CurFrame = &O_(S).CurFrame;
  View.HasSound = true;
}

}  // namespace

const TMviReader kOggMovie = {&TMviFile::OGG, "conform.MviOpen.mf.OGG", sizeof(TOggFile),
                              MviOggOpen_,    nullptr,                  MviOggClose_,
                              MviOggView_};

}  // namespace kvo
