// SPDX-License-Identifier: GPL-3.0-or-later
// Sound formats and their conversion through PCM.
#include "formats/SndBasic.h"

#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/AvModule.h"

namespace kvo {

namespace {

// WAVE_FORMAT_EXTENSIBLE's fields before any codec bytes: valid bits,
// channel mask, and the sub-format GUID whose first word is a format tag.
constexpr uint16_t kExtensibleBytes = 22;

// The largest intermediate buffer of a two-step conversion.
constexpr int64_t kMaxTempBytes = int64_t{1} << 30;

bool IsExtensiblePcm(const TWaveFormat& F) {
  return F.Fx.wFormatTag == WAVE_FORMAT_EXTENSIBLE && SndSampleTag(F) == WAVE_FORMAT_PCM;
}

// An extensible format holding integer PCM carries the same bytes as PCM.
TWaveFormatEx PlainTwin(const TWaveFormat& F) {
  TWaveFormatEx p = F.Fx;
  p.wFormatTag = WAVE_FORMAT_PCM;
  p.cbSize = 0;
  return p;
}

// The comparison over the record's first 16 bytes.
bool SameFormat(const TWaveFormatEx& A, const TWaveFormatEx& B) {
  return A.wFormatTag == B.wFormatTag && A.nChannels == B.nChannels &&
         A.nSamplesPerSec == B.nSamplesPerSec && A.nAvgBytesPerSec == B.nAvgBytesPerSec &&
         A.nBlockAlign == B.nBlockAlign && A.wBitsPerSample == B.wBitsPerSample;
}

KvoAvWave ToAv(const TWaveFormat& F) {
  return KvoAvWave{F.Fx.wFormatTag,   F.Fx.nChannels,     F.Fx.nSamplesPerSec,
                   F.Fx.nAvgBytesPerSec, F.Fx.nBlockAlign, F.Fx.wBitsPerSample,
                   F.Extra ? F.ExtraLen : uint16_t{0}, F.Extra};
}

// FFmpeg's name for the decoder of F; empty when it has none.
std::string DecoderName(const TWaveFormat& F) {
  const KvoAvProcs* av = AvProcs();
  if (!av) return {};
  char name[KVOAV_TEXT_MAX] = {};
  const KvoAvWave w = ToAv(F);
  return av->AudioCodec(&w, name) == KVOAV_OK ? std::string(name) : std::string();
}

// One conversion by the module; the status becomes the system's error.
int64_t Step_(const TWaveFormat& From, const uint8_t* Src, int64_t SrcLen, const TWaveFormat& To,
              uint8_t* Dest, int64_t DestCap) {
  const KvoAvProcs* av = AvProcs();
  if (!av) SetError(EG_AUDIO, 3, __LINE__);
  const KvoAvWave from = ToAv(From), to = ToAv(To);
  int64_t written = 0;
  const int s = av->AudioConvert(&from, Src, SrcLen, &to, Dest, DestCap, &written);
  if (s == KVOAV_ERR_SPACE || s == KVOAV_ERR_FORMAT || s == KVOAV_ERR_ARGUMENT)
    SetError(EG_AUDIO, 3, __LINE__);
  if (s != KVOAV_OK) SetError(EG_ACM, s, __LINE__);
  return written;
}

// Source to PCM into a buffer of its own, then PCM to the destination. The
// buffer holds the PCM the source's own rate of bytes promises, and 5 % more.
int64_t TwoSteps_(const TWaveFormat& Src, const uint8_t* Data, int64_t SrcLen,
                  const TWaveFormatEx& Pcm, const TWaveFormat& Dest, uint8_t* Out, int64_t Cap) {
  if (Src.Fx.nAvgBytesPerSec == 0) SetError(EG_AUDIO, 3, __LINE__);
  const double want =
      static_cast<double>(SrcLen) * Pcm.nAvgBytesPerSec / Src.Fx.nAvgBytesPerSec * 1.05;
  if (want > static_cast<double>(kMaxTempBytes)) SetError(EG_AUDIO, 3, __LINE__);
  const int64_t tempLen = RoundHalfEven(want);
  uint8_t* temp = nullptr;
  _memalloc_(temp, tempLen > 0 ? tempLen : 1, __LINE__, "SndBasic.WaveConvert.temp");
  const int64_t pcmLen = Step_(Src, Data, SrcLen, Pcm, temp, tempLen);
  const int64_t n = Step_(Pcm, temp, pcmLen, Dest, Out, Cap);
  MemFree(temp);
  return n;
}

}  // namespace

uint16_t SndSampleTag(const TWaveFormat& F) {
  if (F.Fx.wFormatTag != WAVE_FORMAT_EXTENSIBLE) return F.Fx.wFormatTag;
  if (!F.Extra || F.ExtraLen < kExtensibleBytes) return 0;
  return static_cast<uint16_t>(F.Extra[6] | (F.Extra[7] << 8));
}

bool SndPcmComplete(const TWaveFormatEx& F) {
  const int bytes = (F.wBitsPerSample + 7) / 8;
  return F.wFormatTag == WAVE_FORMAT_PCM && F.nChannels >= 1 && F.nSamplesPerSec >= 1 &&
         F.wBitsPerSample >= 1 && F.wBitsPerSample <= 32 && F.nBlockAlign == F.nChannels * bytes;
}

bool SndSuggestPcm(const TWaveFormat& F, TWaveFormatEx& Pcm) {
  Pcm = TWaveFormatEx{};
  if (F.Fx.wFormatTag == WAVE_FORMAT_PCM || IsExtensiblePcm(F)) {
    Pcm = PlainTwin(F);
    return SndPcmComplete(Pcm);
  }
  if (F.Fx.nChannels < 1 || F.Fx.nSamplesPerSec < 1 || DecoderName(F).empty()) return false;
  const uint64_t align = uint64_t{F.Fx.nChannels} * 2;
  const uint64_t avg = align * F.Fx.nSamplesPerSec;
  if (align > UINT16_MAX || avg > UINT32_MAX) return false;
  Pcm.wFormatTag = WAVE_FORMAT_PCM;
  Pcm.nChannels = F.Fx.nChannels;
  Pcm.nSamplesPerSec = F.Fx.nSamplesPerSec;
  Pcm.nAvgBytesPerSec = static_cast<uint32_t>(avg);
  Pcm.nBlockAlign = static_cast<uint16_t>(align);
  Pcm.wBitsPerSample = 16;
  return true;
}

std::string SndCompressionText(const TWaveFormat& F) {
  std::string text = "(" + std::to_string(F.Fx.wFormatTag) + ") ";
  if (F.Fx.wFormatTag == WAVE_FORMAT_PCM || IsExtensiblePcm(F)) return text + "PCM, uncompressed";
  const std::string name = DecoderName(F);
  return FFText(text + (name.empty() ? "Unknown codec" : name));
}

void WaveConvert(const uint8_t* Src, uint8_t* Dest, int64_t SrcLen, const TWaveFormat& DestFormat,
                 const TWaveFormat& SrcFormat, int64_t& ConvLen, int64_t DestCap) {
  Monitored("SndBasic.WaveConvert", [&] {
    ConvLen = 0;
    if (SrcLen < 0 || DestCap < 0 || (!Src && SrcLen > 0) || (!Dest && DestCap > 0))
      SetError(EG_AUDIO, 3, __LINE__);
    const TWaveFormat src =
        IsExtensiblePcm(SrcFormat) ? TWaveFormat(PlainTwin(SrcFormat)) : SrcFormat;
    if (SameFormat(src.Fx, DestFormat.Fx)) {
      if (SrcLen > DestCap) SetError(EG_AUDIO, 3, __LINE__);
      if (SrcLen > 0) std::memmove(Dest, Src, static_cast<size_t>(SrcLen));
      ConvLen = SrcLen;
      return;
    }
    TWaveFormatEx pcm;
    if (!SndSuggestPcm(src, pcm) || !SndPcmComplete(DestFormat.Fx))
      SetError(EG_AUDIO, 3, __LINE__);
    if (!SameFormat(pcm, src.Fx) && !SameFormat(pcm, DestFormat.Fx))
      ConvLen = TwoSteps_(src, Src, SrcLen, pcm, DestFormat, Dest, DestCap);
    else
      ConvLen = Step_(src, Src, SrcLen, DestFormat, Dest, DestCap);
  });
}

void SndFree(uint8_t*& Buffer) {
  MemFree(Buffer);
  Buffer = nullptr;
}

}  // namespace kvo
