// SPDX-License-Identifier: GPL-3.0-or-later
// AVI movie reader on the FFmpeg module.
//
// The file is checked for its RIFF "AVI " header here, before the module
// is loaded: describing a picture under a wrong name probes the AVI reader
// too, and that must neither load FFmpeg nor let FFmpeg's own probing take
// a picture for a movie (the module opens files with the AVI demuxer only).
//
// Frames come from the module as packed DIBs (8 bits with their palette,
// 16 bits 5-5-5, or 24 bits) and become pictures through DibToQimg. The
// module decodes in order and seeks only backwards or past a key frame, so
// playing a movie frame after frame never seeks.
//
// Odd files the reader tolerates: a file cut short (its index lost) opens
// with the frame count its header gives, and the frames that are there
// load; a header length beyond them fails on load, not on open. A video
// stream FFmpeg cannot decode is kept as a description (size, frame count)
// without pictures; sound that cannot become PCM is left out.
#include "formats/FF_AVI.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/AvModule.h"
#include "formats/ByteCursor.h"
#include "formats/ConForm.h"
#include "formats/FFLib.h"
#include "formats/SndBasic.h"

namespace kvo {

namespace {

constexpr int64_t kDibHeader = 40;
constexpr int kTrialBlocks = 20;           // sound blocks converted on trial
constexpr int64_t kTrialBytes = 64 * 1024;  // at least this much room for them

int32_t Clamp32_(int64_t V) { return static_cast<int32_t>(std::clamp<int64_t>(V, 0, INT32_MAX)); }

// The file's size, when it exists, is not empty and starts as an AVI file.
int64_t AviCheckFile_(const std::string& FileName) {
  const int32_t h = FFLibOpen(FileName, FM_READ);
  if (h == INVALID_ID) SetError(EG_AVI, 5, __LINE__);
  uint8_t hdr[12] = {};
  int64_t got = 0;
  const int64_t size = FSize(h);
  FReadPart(h, hdr, sizeof hdr, got);
  FClose(h);
  if (size <= 0 || got < 12 || std::memcmp(hdr, "RIFF", 4) != 0 ||
      std::memcmp(hdr + 8, "AVI ", 4) != 0)
    SetError(EG_AVI, 5, __LINE__);
  return size;
}

// Closes the module's file when the open fails after it was opened.
struct TAvGuard_ {
  TAviFile& A;
  bool Armed = true;
  ~TAvGuard_() {
    if (Armed && A.Av) A.Procs->Close(A.Av);
    if (Armed) A.Av = nullptr;
  }
};

void AviVideo_(TAviFile& A, const KvoAvStreams& S) {
  if (S.FrameCount <= 0) SetError(EG_AVI, 5, __LINE__);
  A.HasVideo = -1;
  A.FrameCount = Clamp32_(S.FrameCount);
  A.FrameRate = S.RateDen > 0 && S.RateNum > 0 ? static_cast<double>(S.RateNum) / S.RateDen : 0;
  A.VideoTag = S.VideoTag;
  std::memcpy(A.VideoCodec, S.VideoCodec, sizeof A.VideoCodec);
  A.VideoCodec[sizeof A.VideoCodec - 1] = '\0';
  int64_t w = S.Width, h = S.Height, bits = S.BitCount;
  const uint8_t* dib = nullptr;
  int64_t size = 0;
  // The depth is the decoded frame's; the stream's own says how it is stored.
  if (A.Procs->VideoOpen(A.Av) == KVOAV_OK &&
      A.Procs->VideoFrame(A.Av, 0, &dib, &size) == KVOAV_OK && size >= kDibHeader) {
    w = static_cast<int32_t>(GetU32LE(dib + 4));
    h = static_cast<int32_t>(GetU32LE(dib + 8));
    bits = dib[14] | (dib[15] << 8);
    A.VideoOk = -1;
  }
  A.Width = Clamp32_(w);
  A.Height = Clamp32_(h);
  A.BitsPerPixel = bits == 16 ? 15 : Clamp32_(bits);
  A.BytesPerPixel = (A.BitsPerPixel + 7) / 8;
}

// Converts the first blocks of the sound to Pcm; true when that gave sound.
bool AviAudioTrial_(TAviFile& A, const TWaveFormat& Stored, const TWaveFormatEx& Pcm) {
  bool ok = false;
  uint8_t* head = nullptr;
  uint8_t* out = nullptr;
  FFLibKept("FF_AVI.AviOpen.trial", [&] {
    const int64_t want = std::max<int64_t>(int64_t{Stored.Fx.nBlockAlign} * kTrialBlocks, 1);
    _memalloc_(head, want, __LINE__, "FF_AVI.AviOpen.head");
    int64_t got = 0;
    if (A.Procs->AudioHead(A.Av, head, want, &got) != KVOAV_OK || got <= 0)
      SetError(EG_AVI, 3, __LINE__);
    const int64_t room = std::max(kTrialBytes, got * 32);
    _memalloc_(out, room, __LINE__, "FF_AVI.AviOpen.trial");
    int64_t conv = 0;
    WaveConvert(head, out, got, TWaveFormat(Pcm), Stored, conv, room);
    ok = conv > 0;
    MemFree(out);
    MemFree(head);
  });
  return ok;
}

// Keeps the sound when it is PCM or converts to PCM; false when dropped.
bool AviAudio_(TAviFile& A, const KvoAvStreams& S) {
  A.AudioStream = -1;
  A.AudioFormat = TWaveFormatEx{S.AudioTag,   S.Channels,  S.SampleRate, S.AvgBytes,
                                S.BlockAlign, S.AudioBits, S.AudioExtraLen};
  if (S.AudioExtraLen > 0) {
    _memalloc_(A.AudioExtra, S.AudioExtraLen, __LINE__, "FF_AVI.AviOpen.AudioExtra");
    std::memcpy(A.AudioExtra, S.AudioExtra, S.AudioExtraLen);
    A.AudioExtraLen = S.AudioExtraLen;
  }
  const TWaveFormat stored(A.AudioFormat, A.AudioExtra, A.AudioExtraLen);
  TWaveFormatEx pcm;
  if (!SndSuggestPcm(stored, pcm)) return false;
  if (A.AudioFormat.wFormatTag != WAVE_FORMAT_PCM && !AviAudioTrial_(A, stored, pcm)) return false;
  A.HasAudio = -1;
  A.AudioOutFormat = pcm;
  A.AudioLength = Clamp32_(RoundHalfEven(S.AudioSeconds * pcm.nSamplesPerSec));
  A.AudioRatio = A.AudioFormat.nAvgBytesPerSec
                     ? static_cast<double>(pcm.nAvgBytesPerSec) / A.AudioFormat.nAvgBytesPerSec
                     : 0;
  return true;
}

// The palette-changed flag of an 8-bit frame: set for the first frame
// delivered and whenever the palette differs from the frame before's.
void AviPalette_(TAviFile& A, const TImg& Img) {
  A.PalChanged = 0;
  if (Img.BitsPerPixel != 8) return;
  if (A.CurFrame == 0 || std::memcmp(A.Palette, Img.Palette, sizeof A.Palette) != 0)
    A.PalChanged = -1;
  std::memcpy(A.Palette, Img.Palette, sizeof A.Palette);
}

}  // namespace

std::string AviVideoText_(uint32_t Tag, const std::string& DecoderName) {
  std::string code;
  for (int i = 0; i < 4; ++i) {
    const auto ch = static_cast<unsigned char>(Tag >> (8 * i));
    code += std::isprint(ch) ? static_cast<char>(ch) : '?';
  }
  std::string upper = code;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  if (Tag == 0) return "(0) Full frames, uncompressed";
  if (upper == "DIB " || upper == "RAW " || upper == "RGB ")
    return "(" + code + ") Full frames, uncompressed";
  return FFText("(" + code + ") " + (DecoderName.empty() ? "Unknown codec" : DecoderName));
}

void AviOpen(TAviFile& A, const std::string& FileName) {
  Monitored("FF_AVI.AviOpen", [&] {
    A = TAviFile{};
    A.FileSize = FFClampSize(AviCheckFile_(FileName));
    A.Procs = AvProcs();
    if (!A.Procs || A.Procs->Open(FileName.c_str(), &A.Av) != KVOAV_OK)
      SetError(EG_AVI, 5, __LINE__);
    TAvGuard_ guard{A};
    KvoAvStreams s;
    if (A.Procs->Streams(A.Av, &s) != KVOAV_OK) SetError(EG_AVI, 5, __LINE__);
    if (s.HasVideo) AviVideo_(A, s);
    const bool dropped = s.HasAudio && !AviAudio_(A, s);
    if (!s.HasVideo && !A.HasAudio) SetError(EG_AVI, 5, __LINE__);
    guard.Armed = false;
    // Last, so that no procedure called after it clears it.
    if (dropped) SetWarning(EG_AVI, 8, __LINE__);
  });
}

void AviImgLoad(TAviFile& A, TImg& Img, int32_t FrameNo, int32_t Flags) {
  Monitored("FF_AVI.AviImgLoad", [&] {
    TImgLoadGuard guard(Img);
    A.FrameFlag = 0;
    if (FrameNo == 0) FrameNo = A.CurFrame + 1;
    if (FrameNo < 1 || FrameNo > A.FrameCount) SetError(EG_AVI, 1, __LINE__);
    if ((Flags & 1) && A.CurFrame == FrameNo) {  // Img holds it already
      A.PalChanged = 0;
      return;
    }
    if (!A.VideoOk || !A.Procs || !A.Av) SetError(EG_AVI, 1, __LINE__);
    const uint8_t* dib = nullptr;
    int64_t size = 0;
    if (A.Procs->VideoFrame(A.Av, FrameNo - 1, &dib, &size) != KVOAV_OK)
      SetError(EG_AVI, 1, __LINE__);
    DibToQimg(Img, dib, size);
    // A stream may change its frame size or depth midway (an MPEG-4 stream
    // can carry a new header); the movie is read at the size and depth of
    // its first frame, which every frame delivered keeps.
    if (Img.Width != A.Width || Img.Height != A.Height || Img.BytesPerPixel != A.BytesPerPixel) {
      ImgFree(Img);
      SetError(EG_AVI, 1, __LINE__);
    }
    AviPalette_(A, Img);
    A.CurFrame = FrameNo;
    A.FrameFlag = -1;
  });
}

void AviClose(TAviFile& A) {
  Monitored("FF_AVI.AviClose", [&] {
    if (A.Av && A.Procs) A.Procs->Close(A.Av);
    A.Av = nullptr;
    MemFree(A.AudioExtra);
    A.AudioExtra = nullptr;
  });
}

void AviInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("FF_AVI.AviInfo", [&] {
    TAviFile a;
    AviOpen(a, FileName);
    Info.FileSize = a.FileSize;
    Info.Width = a.Width;
    Info.Height = a.Height;
    Info.BytesPerPixel = a.BytesPerPixel;
    Info.BitsPerPixel = a.BitsPerPixel;
    Info.FrameCount = a.FrameCount;
    Info.FramesPerSecond = a.FrameRate;
    if (a.HasVideo) {
      Info.VideoCompression = AviVideoText_(a.VideoTag, a.VideoCodec);
      Info.VideoValid = -1;
      Info.VideoLoadable = a.VideoOk;
    }
    if (a.AudioStream) {
      Info.AudioFormat = a.AudioFormat;
      Info.AudioCompression =
          SndCompressionText(TWaveFormat(a.AudioFormat, a.AudioExtra, a.AudioExtraLen));
    }
    if (a.HasAudio) {
      Info.AudioOutFormat = a.AudioOutFormat;
      Info.AudioLength = a.AudioLength;
      Info.AudioValid = Info.AudioLoadable = -1;
    }
    AviClose(a);
  });
}

// ---- the movie reader -------------------------------------------------------------------

namespace {

void AviView_(TAviFile& A, TMviView& View) {
  View.FrameCount = &A.FrameCount;
  View.CurFrame = &A.CurFrame;
  View.FrameFlag = &A.FrameFlag;
  View.HasSound = A.HasAudio != 0;
}

}  // namespace

const TMviReader kAviMovie = TMviAdapter<TAviFile, AviOpen, AviImgLoad, AviClose, AviView_>::Reader(
    &TMviFile::AVI, "conform.MviOpen.mf.AVI");

}  // namespace kvo
