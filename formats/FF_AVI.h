// SPDX-License-Identifier: GPL-3.0-or-later
// AVI movies (RIFF "AVI "), decoded by FFmpeg through the module of
// formats/AvModule.h: any codec FFmpeg has (uncompressed DIB, RLE,
// Microsoft Video 1, Cinepak, Indeo, Motion JPEG, ...), frame by frame
// and in any order; sound that converts to PCM is described with it.
#pragma once

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"
#include "image/IMGBasic.h"

struct KvoAvFile;
struct KvoAvProcs;

namespace kvo {

struct TMviReader;

// One open AVI file. Plain data: the movie layer keeps it in a zero-filled
// tracked block and reads the size, depth, FrameCount, FrameRate, CurFrame,
// PalChanged and the audio formats directly.
struct TAviFile {
  const KvoAvProcs* Procs = nullptr;  // the module that opened it
  KvoAvFile* Av = nullptr;            // the module's open file (video and audio)
  int32_t HasVideo = 0;     // the file has a video stream
  int32_t VideoOk = 0;      // its frames decode (else the stream is dropped)
  uint32_t VideoTag = 0;    // the video format's four-character code
  char VideoCodec[256] = {};  // FFmpeg's name of its decoder; empty when none
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BitsPerPixel = 0;  // 8, 15, 24, ... (16 is reported as 15)
  int32_t BytesPerPixel = 0;
  int32_t FrameCount = 0;    // the video stream's length
  double FrameRate = 0;      // its rate / scale
  int32_t FileSize = 0;
  // The sound, kept only when it is PCM or converts to PCM.
  int32_t AudioStream = 0;  // the file has a sound stream
  int32_t HasAudio = 0;     // and it was kept
  TWaveFormatEx AudioFormat;     // as stored, cbSize = AudioExtraLen
  uint8_t* AudioExtra = nullptr; // its codec bytes: "FF_AVI.AviOpen.AudioExtra"
  uint16_t AudioExtraLen = 0;
  TWaveFormatEx AudioOutFormat;  // the PCM it converts to
  int32_t AudioLength = 0;       // sample frames
  double AudioRatio = 0;         // converted bytes for each stored byte
  // Frame state.
  int32_t CurFrame = 0;    // the frame last delivered (1-based), 0 before
  int32_t FrameFlag = 0;   // the last load delivered a picture
  int32_t PalChanged = 0;  // its palette differs from the frame delivered before
  uint8_t Palette[256][3] = {};  // that frame's palette (8 bits only)
};

// Opens the file and its streams. Failures: EG_AVI 5 "Cannot open AVI
// file." (missing, empty, no AVI file, the module missing, a video stream
// without frames, or neither a video nor a usable sound stream). A video
// stream whose decoder cannot open or decode frame 1 is dropped (VideoOk
// clear) but still gives size and frame count; sound that cannot become
// PCM is dropped with the warning EG_AVI 8.
void AviOpen(TAviFile& A, const std::string& FileName);
// Frame FrameNo (1-based, 0 the next one) into Img; Flags bit 0: Img still
// holds the frame last delivered. Out of range, no decoder or a frame that
// cannot be decoded: EG_AVI 1 "Cannot read from AVI file.".
void AviImgLoad(TAviFile& A, TImg& Img, int32_t FrameNo, int32_t Flags);
void AviClose(TAviFile& A);
void AviInfo(const std::string& FileName, TFileInfo& Info);
extern const TMviReader kAviMovie;

// "(CODE) " + the codec's description as AviInfo gives it.
std::string AviVideoText_(uint32_t Tag, const std::string& DecoderName);

}  // namespace kvo
