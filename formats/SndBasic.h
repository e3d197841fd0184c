// SPDX-License-Identifier: GPL-3.0-or-later
// Sound formats and their conversion, for the AVI and WAV sources.
//
// Sound is converted through PCM. The PCM format a stored format converts to
// ("the suggestion") keeps the rate and the channels; PCM is its own
// suggestion, an extensible format holding integer PCM becomes the same PCM
// with the plain tag, and everything else (ADPCM, mu-law, A-law, GSM, IEEE
// float and whatever else FFmpeg decodes) becomes 16-bit PCM. Decoding
// and resampling are FFmpeg's (formats/AvModule.h); when the module cannot
// be loaded, sound converts only between equal formats (an extensible PCM
// format and its plain twin count as equal).
#pragma once

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"

namespace kvo {

inline constexpr uint16_t WAVE_FORMAT_PCM = 1;
inline constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
inline constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// A wave format as a file stores it: the 18-byte record and the codec's
// extra bytes that follow it (ExtraLen of them at Extra, not owned).
struct TWaveFormat {
  TWaveFormatEx Fx;
  const uint8_t* Extra = nullptr;
  uint16_t ExtraLen = 0;

  TWaveFormat() = default;
  TWaveFormat(const TWaveFormatEx& F) : Fx(F) {}  // NOLINT: a record without extra bytes
  TWaveFormat(const TWaveFormatEx& F, const uint8_t* E, uint16_t N)
      : Fx(F), Extra(E), ExtraLen(N) {}
};

// The tag that says how the samples are stored: an extensible format's
// sub-format (0 when its fields are missing), otherwise the format's tag.
uint16_t SndSampleTag(const TWaveFormat& F);

// PCM whose fields agree: 1 or more channels, a rate, 1 to 32 bits in
// whole bytes a sample, block alignment = channels x bytes a sample.
bool SndPcmComplete(const TWaveFormatEx& F);
// The PCM format F converts to; false when there is none (no decoder, or
// fields that describe no sound).
bool SndSuggestPcm(const TWaveFormat& F, TWaveFormatEx& Pcm);
// "(tag) " + "PCM, uncompressed" for PCM, FFmpeg's name of the decoder, or
// "Unknown codec".
std::string SndCompressionText(const TWaveFormat& F);

// Converts SrcLen bytes at Src from SrcFormat into DestFormat (which must be
// PCM) at Dest, which holds DestCap bytes; ConvLen gets the bytes written.
// Equal formats (their first 16 bytes) are copied; otherwise the sound goes
// through the suggestion of SrcFormat, in two steps when that is neither of
// the two. Failures: AUDIO 3 "Audio conversion error (WAVE)." when there is
// no suggestion, a format is not complete PCM, or a result does not fit;
// EG_ACM with FFmpeg's status when its decoding fails.
void WaveConvert(const uint8_t* Src, uint8_t* Dest, int64_t SrcLen, const TWaveFormat& DestFormat,
                 const TWaveFormat& SrcFormat, int64_t& ConvLen, int64_t DestCap);

// Releases a sound conversion buffer (tracked) and clears the pointer.
void SndFree(uint8_t*& Buffer);

}  // namespace kvo
