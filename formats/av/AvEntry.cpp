// SPDX-License-Identifier: GPL-3.0-or-later
// The FFmpeg module's one exported symbol and the table behind it. Every
// function is wrapped so that no C++ exception (a failed allocation in a
// vector) leaves the module: the caller sees KVOAV_ERR_MEMORY instead.
#include <new>

#include "formats/av/AvCommon.h"

namespace kvoav {
namespace {

template <class F>
int Guarded(F&& Body) noexcept {
  try {
    return Body();
  } catch (...) {
    return KVOAV_ERR_MEMORY;
  }
}

int Open(const char* Path, KvoAvFile** File) {
  if (!File) return KVOAV_ERR_ARGUMENT;
  *File = nullptr;
  if (!Path) return KVOAV_ERR_ARGUMENT;
  return Guarded([&] {
    auto f = std::make_unique<KvoAvFile>();
    f->Path = Path;
    FormatPtr probe;
    if (int s = OpenAvi(f->Path, -1, probe); s != KVOAV_OK) return s;
    f->Video = FirstStream(probe.get(), AVMEDIA_TYPE_VIDEO);
    f->Audio = FirstStream(probe.get(), AVMEDIA_TYPE_AUDIO);
    // The video's demuxer reads nothing but video.
    for (unsigned i = 0; i < probe->nb_streams; ++i)
      probe->streams[i]->discard =
          static_cast<int>(i) == f->Video ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    f->Fmt = std::move(probe);
    *File = f.release();
    return static_cast<int>(KVOAV_OK);
  });
}

void Close(KvoAvFile* File) { delete File; }

int StreamsG(KvoAvFile* F, KvoAvStreams* O) {
  if (!F || !O) return KVOAV_ERR_ARGUMENT;
  return Guarded([&] { return Streams(F, O); });
}

int VideoOpenG(KvoAvFile* F) {
  if (!F) return KVOAV_ERR_ARGUMENT;
  return Guarded([&] { return VideoOpen(F); });
}

int VideoFrameG(KvoAvFile* F, int64_t Index, const uint8_t** Dib, int64_t* DibSize) {
  if (!F || !Dib || !DibSize) return KVOAV_ERR_ARGUMENT;
  return Guarded([&] { return VideoFrame(F, Index, Dib, DibSize); });
}

int AudioHeadG(KvoAvFile* F, uint8_t* Dest, int64_t Capacity, int64_t* Got) {
  if (!F || !Got) return KVOAV_ERR_ARGUMENT;
  return Guarded([&] { return AudioHead(F, Dest, Capacity, Got); });
}

int AudioCodecG(const KvoAvWave* Format, char* Name) {
  if (!Name) return KVOAV_ERR_ARGUMENT;
  return Guarded([&] { return AudioCodec(Format, Name); });
}

int AudioConvertG(const KvoAvWave* Src, const uint8_t* SrcData, int64_t SrcLen,
                  const KvoAvWave* Dst, uint8_t* Dest, int64_t Capacity, int64_t* Written) {
  return Guarded(
      [&] { return AudioConvert(Src, SrcData, SrcLen, Dst, Dest, Capacity, Written); });
}

const KvoAvProcs kProcs = {
    KVOAV_ABI_VERSION, Open,        Close,      StreamsG,     VideoOpenG,
    VideoFrameG,       AudioHeadG,  AudioCodecG, AudioConvertG,
};

}  // namespace
}  // namespace kvoav

extern "C" __attribute__((visibility("default"))) const KvoAvProcs* kvoav_procs(uint32_t Version) {
  if (Version != KVOAV_ABI_VERSION) return nullptr;
  // FFmpeg reports on standard error by default; the callers report
  // failures in their own words.
  av_log_set_level(AV_LOG_QUIET);
  return &kvoav::kProcs;
}
