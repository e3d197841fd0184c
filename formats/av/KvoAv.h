// SPDX-License-Identifier: GPL-3.0-or-later
// The interface of the FFmpeg module (libkvoav.so).
//
// FFmpeg's libraries pull some 135 shared libraries into a process, and a
// program linked with them pays ~30 ms at every start. Adding a photo or
// shuffling the logos must start fast, so no program links FFmpeg: the AVI
// and compressed-sound readers load this module on first use (AvModule.h)
// and reach FFmpeg through the one table of plain functions it hands out.
//
// Both sides compile this header; only plain C types cross it. The module
// keeps no state of the program's (no tracked memory, no error state): every
// function returns a KVOAV_ status and the caller's readers turn it into
// their own error texts. Memory the module hands out (a decoded picture)
// belongs to the open file and stays valid until the next call on it.
#pragma once

#include <stdint.h>

extern "C" {

// Raised whenever the table below changes shape; a module of another
// version is not used.
#define KVOAV_ABI_VERSION 1

// The module's one exported symbol.
#define KVOAV_ENTRY_NAME "kvoav_procs"

enum KvoAvStatus {
  KVOAV_OK = 0,
  KVOAV_ERR_OPEN = 1,       // the container cannot be opened or is no AVI file
  KVOAV_ERR_NOSTREAM = 2,   // no such stream
  KVOAV_ERR_NODECODER = 3,  // no decoder for the codec, or it would not open
  KVOAV_ERR_DECODE = 4,     // the decoder failed on the data
  KVOAV_ERR_RANGE = 5,      // a frame or position the file does not hold
  KVOAV_ERR_SPACE = 6,      // the caller's buffer is too small
  KVOAV_ERR_MEMORY = 7,     // FFmpeg could not allocate
  KVOAV_ERR_FORMAT = 8,     // a wave format the converter cannot take
  KVOAV_ERR_ARGUMENT = 9,   // a null pointer or negative size
};

// A wave format: the 18-byte WAVEFORMATEX fields and the codec's extra
// bytes (ExtraLen of them at Extra; not owned).
struct KvoAvWave {
  uint16_t Tag;
  uint16_t Channels;
  uint32_t Rate;
  uint32_t AvgBytes;
  uint16_t BlockAlign;
  uint16_t Bits;
  uint16_t ExtraLen;
  const uint8_t* Extra;
};

inline constexpr int KVOAV_TEXT_MAX = 256;
inline constexpr int KVOAV_EXTRA_MAX = 1024;

// The first video and the first audio stream of an open file.
struct KvoAvStreams {
  int32_t HasVideo;
  uint32_t VideoTag;    // the format's four-character code (biCompression)
  int32_t Width;
  int32_t Height;
  int32_t BitCount;     // biBitCount of the stream format
  int64_t FrameCount;   // the stream's length in frames, as its header gives it
  int32_t RateNum;      // frames per second = RateNum / RateDen
  int32_t RateDen;
  char VideoCodec[KVOAV_TEXT_MAX];  // the decoder's long name; empty when none

  int32_t HasAudio;
  uint16_t AudioTag;
  uint16_t Channels;
  uint32_t SampleRate;
  uint32_t AvgBytes;
  uint16_t BlockAlign;
  uint16_t AudioBits;
  uint16_t AudioExtraLen;  // bytes of AudioExtra in use (cut at KVOAV_EXTRA_MAX)
  uint8_t AudioExtra[KVOAV_EXTRA_MAX];
  double AudioSeconds;     // the stream's length, as its header gives it
};

struct KvoAvFile;  // an open container

struct KvoAvProcs {
  uint32_t Version;  // KVOAV_ABI_VERSION

  // ---- AVI containers ----
  int (*Open)(const char* Path, KvoAvFile** File);
  void (*Close)(KvoAvFile* File);
  int (*Streams)(KvoAvFile* File, KvoAvStreams* Out);
  // Opens the decoder of the first video stream.
  int (*VideoOpen)(KvoAvFile* File);
  // Frame Index (0-based) as a packed device-independent bitmap: a 40-byte
  // BITMAPINFOHEADER, 256 RGBQUAD entries for 8 bits, rows bottom-up padded
  // to 4 bytes; 8 bits for palettised and grey frames, 16 (5-5-5) for 5-5-5
  // frames, otherwise 24. Going forward decodes on from the frame before;
  // going back (or far ahead) seeks to the nearest earlier key frame.
  int (*VideoFrame)(KvoAvFile* File, int64_t Index, const uint8_t** Dib, int64_t* DibSize);
  // The first bytes of the first audio stream, as stored: up to Capacity
  // of them into Dest, Got the number delivered.
  int (*AudioHead)(KvoAvFile* File, uint8_t* Dest, int64_t Capacity, int64_t* Got);

  // ---- sound ----
  // The decoder's long name for a wave format (Name gets KVOAV_TEXT_MAX
  // bytes); KVOAV_ERR_NODECODER when FFmpeg has none.
  int (*AudioCodec)(const KvoAvWave* Format, char* Name);
  // Converts SrcLen bytes of Src (whole blocks; a partial last block is
  // left out) into Dest in the PCM format Dst: decodes with FFmpeg's
  // decoder for Src's tag and resamples with libswresample.
  int (*AudioConvert)(const KvoAvWave* Src, const uint8_t* SrcData, int64_t SrcLen,
                      const KvoAvWave* Dst, uint8_t* Dest, int64_t Capacity, int64_t* Written);
};

typedef const KvoAvProcs* (*KvoAvEntry)(uint32_t Version);

}  // extern "C"
