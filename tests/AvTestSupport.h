// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the movie and sound tests: running the ffmpeg command (which
// makes test movies and decodes frames and sound for comparison), the
// built kvo program, and patching fields of RIFF files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace kvo::test {

// Runs a shell command; standard error goes where Err names (or nowhere).
inline TPipeRun RunPipe(const std::string& Cmd, const std::string& Err = "/dev/null") {
  return RunShell(Cmd + " 2>" + ShellQuoted(Err) + " </dev/null");
}

// Makes a movie with ffmpeg from Input (lavfi sources) and Options; true
// when ffmpeg succeeded.
inline bool FfmpegMake(const std::string& Out, const std::string& Input,
                       const std::string& Options) {
  return RunPipe("ffmpeg -nostdin -v error -y " + Input + " " + Options + " " + ShellQuoted(Out))
             .Status == 0;
}

// Video frame K (0-based, in the order ffmpeg decodes them) as ffmpeg's
// decoder gives it, converted to RGB bytes, top row first.
inline std::vector<uint8_t> FfmpegFrameRgb(const std::string& Path, int K) {
  const TPipeRun r = RunPipe("ffmpeg -nostdin -v error -i " + ShellQuoted(Path) +
                             " -an -vf 'select=eq(n\\," + std::to_string(K) +
                             ")' -fps_mode passthrough -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
  return std::vector<uint8_t>(r.Out.begin(), r.Out.end());
}

// The whole sound of Path as ffmpeg decodes it, in the raw format Fmt
// ("s16le", "u8") with the given rate ("" keeps the file's).
inline std::string FfmpegSound(const std::string& Path, const std::string& Fmt,
                               const std::string& Rate = "") {
  return RunPipe("ffmpeg -nostdin -v error -i " + ShellQuoted(Path) + " -vn " +
                 (Rate.empty() ? "" : "-ar " + Rate + " ") + "-f " + Fmt + " -")
      .Out;
}

// The offset of the Nth (0-based) occurrence of a four-character code.
inline size_t FindCode(const std::string& Bytes, const char* Code, int Nth = 0) {
  size_t at = 0;
  for (int i = 0;; ++i) {
    at = Bytes.find(Code, at);
    if (at == std::string::npos || i == Nth) return at;
    at += 4;
  }
}

inline void PokeU16(std::string& Bytes, size_t At, uint32_t V) {
  Bytes[At] = static_cast<char>(V & 0xFF);
  Bytes[At + 1] = static_cast<char>((V >> 8) & 0xFF);
}

inline void PokeU32(std::string& Bytes, size_t At, uint32_t V) {
  PokeU16(Bytes, At, V & 0xFFFF);
  PokeU16(Bytes, At + 2, V >> 16);
}

}  // namespace kvo::test
