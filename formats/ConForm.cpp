// SPDX-License-Identifier: GPL-3.0-or-later
// Dispatch by format, the movie interface and the unified source.
#include "formats/ConForm.h"

#include <algorithm>
#include <array>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/FFLib.h"
#include "formats/FF_AVI.h"
#include "formats/FF_BAY.h"
#include "formats/FF_BMP.h"
#include "formats/FF_FLC.h"
#include "formats/FF_GIF.h"
#include "formats/FF_HAV.h"
#include "formats/FF_JPG.h"
#include "formats/FF_MPG.h"
#include "formats/FF_OGG.h"
#include "formats/FF_PCX.h"
#include "formats/FF_PNG.h"
#include "formats/FF_PNM.h"
#include "formats/FF_RAS.h"
#include "formats/FF_SGI.h"
#include "formats/FF_TGA.h"
#include "formats/FF_TIF.h"
#include "formats/FF_WAV.h"
#include "formats/FF_XPM.h"
#include "formats/SndBasic.h"

namespace kvo {

namespace {

// The procedures of every format that has them. A reader plugs in with its
// one row; an identifier without a row (or without the procedure asked for)
// gets the answer to an unknown format. ImgLoad serves only the rows with a
// Load procedure, so movie formats stay out of it by having none.
const TFormatProcs kProcs[] = {
    // Id     Load      Save      Info     Movie    Feed
    {FF_TGA, TGALoad_, TGASave_, TGAInfo, nullptr, TGALoadFed_},
    {FF_PCX, PCXLoad_, PCXSave_, PCXInfo, nullptr, PCXLoadFed_},
    {FF_BMP, DIBLoad_, DIBSave_, DIBInfo, nullptr, DIBLoadFed_},
    {FF_JPEG, JPGLoad, JPGSave, JPGInfo, nullptr, JPGLoadFed},
    {FF_PNG, PNGLoad, PNGSave, PNGInfo, nullptr, PNGLoadFed},
    {FF_TIFF, TIFLoad, TIFSave, TIFInfo, nullptr, TIFLoadFed},
    {FF_XPM, XPMLoad, XPMSave, XPMInfo, nullptr},
    {FF_SGI, SGILoad, SGISave, SGIInfo, nullptr, SGILoadFed},
    {FF_RAS, RASLoad, RASSave, RASInfo, nullptr, RASLoadFed},
    {FF_PNM, PNMLoad, PNMSave, PNMInfo, nullptr, PNMLoadFed},
    {FF_BAY, BayLoad, nullptr, BayInfo, nullptr},
    {FF_GIF, GIFLoadStill, nullptr, GIFInfo, &kGifMovie},
    {FF_FLIC, nullptr, nullptr, FLCInfo, &kFlcMovie},
    {FF_HAV, nullptr, nullptr, HAVInfo, &kHavMovie},
    {FF_AVI, nullptr, nullptr, AviInfo, &kAviMovie},
    {FF_MPEG, nullptr, nullptr, MpgInfo, &kMpgMovie},
    {FF_WAV, nullptr, nullptr, WAVInfo, &kWavMovie},
    {FF_OGG, nullptr, nullptr, OggInfo, &kOggMovie},
};

using TProcTable = std::array<TFormatProcs, FF_MAX_ID + 1>;

TProcTable DefaultProcs() {
  TProcTable t{};
  for (size_t i = 0; i < t.size(); ++i) t[i].Id = static_cast<int32_t>(i);
  for (const TFormatProcs& p : kProcs) t[static_cast<size_t>(p.Id)] = p;
  return t;
}

TProcTable& Procs() {
  static TProcTable table = DefaultProcs();
  return table;
}

const TMviReader* MovieReader(int32_t FormatId) {
  const TFormatProcs* p = FFProcs(FormatId);
  return p ? p->Movie : nullptr;
}

int32_t ViewValue(const int32_t* P) { return P ? *P : 0; }

}  // namespace

int32_t FFReadFormatOf(const std::string& FileName) {
  const int32_t id = FFGetFormatId(FileName, FF_TABLE_READ);
  return id != INVALID_ID ? id : FFFormatOfFile(FileName);
}

const TFormatProcs* FFProcs(int32_t FormatId) {
  if (FormatId < 1 || FormatId > FF_MAX_ID) return nullptr;
  return &Procs()[static_cast<size_t>(FormatId)];
}

TFormatProcs FFSetProcs_(const TFormatProcs& P) {
  if (P.Id < 1 || P.Id > FF_MAX_ID) return TFormatProcs{};
  TFormatProcs old = Procs()[static_cast<size_t>(P.Id)];
  Procs()[static_cast<size_t>(P.Id)] = P;
  return old;
}

// ---- still pictures and descriptions -------------------------------------------------

void ImgLoad(const std::string& FileName, TImg& Img, int32_t FormatId) {
  Monitored("conform.ImgLoad", [&] {
    if (FormatId == INVALID_ID) FormatId = FFReadFormatOf(FileName);
    const TFormatProcs* p = FFProcs(FormatId);
    if (!p || !p->Load) SetError(EG_IMG, 2, __LINE__);
    TImgLoadGuard guard(Img);  // a failed load leaves no stale block in Img
    p->Load(FileName, Img);
  });
}

void ImgSave(const std::string& FileName, TImg& Img, int32_t FormatId) {
  Monitored("conform.ImgSave", [&] {
    if (!ImgIsValid(Img)) SetError(EG_IMG, 9, __LINE__);
    if (FormatId == INVALID_ID) FormatId = FFGetFormatId(FileName, FF_TABLE_WRITE);
    const TFormatProcs* p = FFProcs(FormatId);
    if (!p || !p->Save) SetError(EG_IMG, 2, __LINE__);
    p->Save(FileName, Img);
  });
}

void FFInfo(const std::string& FileName, int32_t FormatId, TFileInfo& Info) {
  Monitored("conform.FFInfo", [&] {
    Info = TFileInfo{};
    if (FormatId == INVALID_ID) FormatId = FFReadFormatOf(FileName);
    const TFormatProcs* p = FFProcs(FormatId);
    const TFormatRow* row = FFReadRowById(FormatId);
    if (!p || !p->Info || !row) SetError(EG_MVI2, 2, __LINE__);
    p->Info(FileName, Info);
    // A picture larger than the readers allocate is described, but ImgLoad
    // would refuse it; one whose reader hands its rows to a feed is still
    // imported whatever its size.
    if (p->Load && !p->Feed && Info.VideoLoadable &&
        FFDescribedTooLarge(Info.Width, Info.Height, Info.BitsPerPixel))
      Info.VideoLoadable = 0;
    Info.FormatId = FormatId;
    Info.Description = FFText(row->LongName);
    if (Info.VideoCompression.empty()) Info.VideoCompression = "Uncompressed, full frames";
    if (Info.AudioCompression.empty()) Info.AudioCompression = "PCM, uncompressed";
  });
}

// ---- movies -------------------------------------------------------------------------------

void MviOpen(TMviFile& Mf, const std::string& FileName, int32_t FormatId) {
  Monitored("conform.MviOpen", [&] {
    Mf = TMviFile{};
    Mf.type = FormatId != INVALID_ID ? FormatId : FFReadFormatOf(FileName);
    const TMviReader* r = MovieReader(Mf.type);
    if (!r) SetError(EG_MVI, 1, __LINE__);
    try {
      void*& state = Mf.*(r->Slot);
      _memalloc_(state, r->StateSize, __LINE__, r->StateLabel);
      MemFill(state, r->StateSize, 0);
      r->Open(state, FileName);
      if (r->View) r->View(state, Mf.View);
    } catch (...) {
      Mf = TMviFile{};  // the failing frame released the state block
      throw;
    }
  });
}

void MviImgLoad(TMviFile& Mf, TImg& Img, int32_t Frame, int32_t Mode) {
  Monitored("conform.MviImgLoad", [&] {
    const TMviReader* r = MovieReader(Mf.type);
    if (!r || !(Mf.*(r->Slot))) SetError(EG_MVI, 1, __LINE__);
    if (ViewValue(Mf.View.EndReached)) MonExit();
    if (Frame > ViewValue(Mf.View.FrameCount)) SetError(EG_MVI, 7, __LINE__);
    if (r->Load) r->Load(Mf.*(r->Slot), Img, Frame, Mode);
  });
}

void MviClose(TMviFile& Mf) {
  Monitored("conform.MviClose", [&] {
    // The record is cleared and the state released even when the reader's
    // close fails, so a movie is never closed twice.
    struct TRelease {
      TMviFile& Mf;
      void* State;
      ~TRelease() {
        MemFree(State);
        Mf = TMviFile{};
      }
    };
    const TMviReader* r = MovieReader(Mf.type);
    TRelease release{Mf, r ? Mf.*(r->Slot) : nullptr};
    if (r && release.State) r->Close(release.State);
  });
}

// ---- the unified source ----------------------------------------------------------------

namespace {

// Tries the format the content names (ByContent, when not INVALID_ID),
// then the reading table's rows in order, each identifier once and never
// Id itself; the first description that finds a valid picture or sound
// gives the format. The probes' errors stay in their own keeping frames.
void UniProbe_(const std::string& FileName, int32_t& Id, TFileInfo& Fi, int32_t ByContent) {
  std::vector<int32_t> tried{Id};
  for (int i = -1; i < FF_READ_ROWS; ++i) {
    const int32_t candidate = i < 0 ? ByContent : FFReadRow(i)->Id;
    if (candidate == INVALID_ID) continue;
    if (std::find(tried.begin(), tried.end(), candidate) != tried.end()) continue;
    tried.push_back(candidate);
    TFileInfo probe;
    MonKeepNext();
    FFInfo(FileName, candidate, probe);
    if (NoError() && (probe.VideoValid || probe.AudioValid)) {
      Id = candidate;
      Fi = probe;
      return;
    }
  }
}

int32_t UniKind_(int32_t Id, int32_t FrameCount) {
  switch (Id) {
    case FF_FLIC:
    case FF_AVI:
    case FF_HAV:
    case FF_MPEG:
    case FF_WAV:
    case FF_MPA:
    case FF_OGG: return UNI_MOVIE;
    case FF_GIF: return FrameCount >= 2 ? UNI_MOVIE : UNI_STILL;
    default: return Id >= 1 && Id <= FF_MAX_ID ? UNI_STILL : UNI_NONE;
  }
}

void UniFill_(TUniInfo& U, const std::string& FileName, int32_t Id, const TFileInfo& F) {
  U.FileName = FileName;
  U.FormatId = Id;
  U.Description = F.Description;
  U.FileSize = F.FileSize;
  U.AuxValue = F.AuxValue;
  U.Width = F.Width;
  U.Height = F.Height;
  U.BytesPerPixel = F.BytesPerPixel;
  U.BitsPerPixel = F.BitsPerPixel;
  U.FrameCount = F.FrameCount;
  U.FramesPerSecond = F.FramesPerSecond;
  U.VideoCompression = F.VideoCompression;
  U.VideoValid = F.VideoValid;
  U.VideoLoadable = F.VideoLoadable;
  U.Orientation = F.Orientation;
  U.AudioFormat = F.AudioFormat;
  U.AudioOutFormat = F.AudioOutFormat;
  U.AudioLength = F.AudioLength;
  U.AudioCompression = F.AudioCompression;
  U.AudioValid = F.AudioValid;
  U.AudioLoadable = F.AudioLoadable;
  U.Kind = UniKind_(Id, F.FrameCount);
  U.VideoBytes = double(F.Width) * F.Height * F.BytesPerPixel * F.FrameCount;
  U.VideoDuration =
      F.FrameCount > 0 && F.FramesPerSecond > 0 ? F.FrameCount / F.FramesPerSecond : 0;
  U.SampleRate = F.AudioOutFormat.nSamplesPerSec;
  U.Channels = F.AudioOutFormat.nChannels;
  U.BitsPerSample = F.AudioOutFormat.wBitsPerSample;
  U.BlockAlign = F.AudioOutFormat.nBlockAlign;
  U.AudioBytes = double(F.AudioLength) * U.BlockAlign;
  U.AudioDuration = F.AudioLength > 0 && U.SampleRate > 0 ? F.AudioLength / U.SampleRate : 0;
}

}  // namespace

bool UniInfo(const std::string& FileName, TUniInfo& Info, bool DetectSequences) {
  (void)DetectSequences;
  MonitoredKeep("conform.UniInfo", [&] {
    Info = TUniInfo{};
    // The extension names the format; where it names none (LOGO.SYS, a
    // picture saved without one) or its reader refuses the file, the
    // signature at the file's start does. An explicit extension whose
    // reader takes the file always wins.
    int32_t id = FFGetFormatId(FileName, FF_TABLE_READ);
    const bool named = id != INVALID_ID;
    if (!named) id = FFFormatOfFile(FileName);
    TFileInfo fi;
    MonKeepNext();
    FFInfo(FileName, id, fi);
    // A file neither its name nor its content ties to a reader is refused,
    // never probed: arbitrary files are not offered to every reader.
    if (ErrGroup() == EG_MVI2 && ErrCode() == 2) SetError(EG_MVI2, 2, __LINE__);
    if (!NoError() || !(fi.VideoValid || fi.AudioValid))
      UniProbe_(FileName, id, fi, named ? FFFormatOfFile(FileName) : INVALID_ID);
    UniFill_(Info, FileName, id, fi);
  });
  const bool ok = NoError();
  if (!ok) {
    ClearError();
    SetWarning(EG_FILE, 9, __LINE__);
  }
  return ok;
}

int32_t UniRefusal(const TUniInfo& Info) {
  if (!FFDescribedTooLarge(Info.Width, Info.Height, Info.BitsPerPixel)) return 1;
  SetRefusedSize(Info.Width, Info.Height);
  return 12;
}

void UniOpen(TUniFile& Uni, const TUniInfo& Info) {
  Monitored("conform.UniOpen", [&] {
    Uni = TUniFile{};
    Uni.Info = Info;
    if (Info.Kind == UNI_MOVIE)
      MviOpen(Uni.Mvi, Info.FileName, Info.FormatId);
    else if (Info.Kind != UNI_STILL)
      SetError(EG_UNI, 1, __LINE__);
  });
}

void UniImgLoad(TUniFile& Uni, TImg& Img, int32_t Frame, int32_t Mode) {
  Monitored("conform.UniImgLoad", [&] {
    Uni.FrameFlag = 0;
    if (!Uni.Info.VideoLoadable) SetError(EG_MVI, 5, __LINE__);
    if (Uni.Info.Kind == UNI_STILL) {
      ImgLoad(Uni.Info.FileName, Img, Uni.Info.FormatId);
      Uni.CurFrame = 1;
      Uni.FrameFlag = -1;
    } else if (Uni.Info.Kind == UNI_MOVIE) {
      MviImgLoad(Uni.Mvi, Img, Frame, Mode);
      Uni.CurFrame = ViewValue(Uni.Mvi.View.CurFrame);
      Uni.FrameFlag = ViewValue(Uni.Mvi.View.FrameFlag);
    } else {
      SetError(EG_UNI, 1, __LINE__);
    }
    const double fps = Uni.Info.FramesPerSecond;
    Uni.TimePos = Uni.CurFrame > 1 && fps > 0 ? (Uni.CurFrame - 1) / fps : 0;
  });
}

void UniClose(TUniFile& Uni) {
  Monitored("conform.UniClose", [&] {
    if (Uni.Info.Kind == UNI_MOVIE)
      MviClose(Uni.Mvi);
    else if (Uni.Info.Kind < UNI_NONE || Uni.Info.Kind > 2)
      SetError(EG_UNI, 1, __LINE__);
    SndFree(Uni.SndBuf);
    Uni = TUniFile{};
  });
}

void ConDone() {
  // The GIF reader keeps the frame positions of the last scanned file
  // between calls; the end of the run releases them with the rest.
  GIFDone();
  Procs() = DefaultProcs();
}

}  // namespace kvo
