// SPDX-License-Identifier: GPL-3.0-or-later
// Windows wave sound files (RIFF "WAVE"): described and opened as movies
// without pictures.
#pragma once

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"

namespace kvo {

struct TMviReader;

// One open WAV file. Plain data: the movie layer keeps it in a zero-filled
// tracked block.
struct TWAVFile {
  int32_t Handle = 0;
  int32_t FileSize = 0;
  int64_t DataPos = 0;   // the "data" chunk: where its bytes begin
  int64_t DataSize = 0;  // and how many there are
  // The "fmt " chunk as stored, at least 18 bytes (a 16-byte chunk is
  // completed with a zero cbSize): "FF_WAV.WAVOpen.wf.sl.InFormat".
  uint8_t* InFormat = nullptr;
  int32_t InFormatSize = 0;
  TWaveFormatEx Format;     // its 18-byte record
  uint16_t ExtraLen = 0;    // bytes after the record (cbSize, cut to the chunk)
  TWaveFormatEx OutFormat;  // the PCM it converts to; zero when it cannot
  int64_t Blocks = 0;       // whole blocks of the data chunk
  int64_t FactLength = -1;  // the "fact" chunk's sample count; -1 without one
  int32_t Length = 0;       // sample frames
  int32_t Loadable = 0;     // the sound converts to PCM
  // The movie layer's view: a sound has no frames.
  int32_t FrameCount = 0;
  int32_t CurFrame = 0;
};

// Walks the RIFF chunks, reads the format and finds the data; for a format
// other than PCM works out its PCM format and converts one block on trial.
// Ends positioned at the start of the data. Failures: EG_WAV 1 "Cannot open
// WAV file." (no RIFF "WAVE" file, or a format that describes no sound),
// EG_WAV 3 "Cannot read from WAV file." (a needed chunk missing or cut
// short), EG_WAV 5 "Cannot seek in WAV file.". A format that cannot become
// PCM is no failure: the file opens with Loadable clear.
void WAVOpen(TWAVFile& W, const std::string& FileName);
void WAVClose(TWAVFile& W);
void WAVInfo(const std::string& FileName, TFileInfo& Info);
extern const TMviReader kWavMovie;

}  // namespace kvo
