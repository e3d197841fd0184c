// SPDX-License-Identifier: GPL-3.0-or-later
// WAV sound reader.
//
// The RIFF chunks are walked one header at a time: each header is read
// into a small buffer and taken apart by a cursor, every size is checked
// against the file before a byte of the chunk is read, and every step moves
// on by at least the 8 bytes of a header, so the walk ends.
//
// Odd files the reader tolerates, because real writers make them:
// - a RIFF size that disagrees with the file (streaming writers leave 0 or
//   0xFFFFFFFF, editors forget to update it): the walk goes by the file;
// - chunks before, between and after "fmt " and "data" (LIST, fact, JUNK,
//   cue): skipped, each with the pad byte of an odd size; a pad byte
//   missing at the very end of the file;
// - a 16-byte "fmt " chunk (PCMWAVEFORMAT, no cbSize): cbSize 0;
// - a cbSize larger than the "fmt " chunk holds: cut to the chunk.
// Refused: no RIFF "WAVE" header, a format without channels, rate or block
// alignment, PCM of no or more than 32 bits or whose block alignment does
// not match its samples, float samples of other than 32 or 64 bits, an
// extensible format without its fields (all EG_WAV 1); no "fmt " or
// "data" chunk, or chunks that reach past the end of the file (EG_WAV 3).
#include "formats/FF_WAV.h"

#include <algorithm>
#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/ByteCursor.h"
#include "formats/ConForm.h"
#include "formats/FFLib.h"
#include "formats/SndBasic.h"

namespace kvo {

namespace {

constexpr int64_t kRiffHeader = 12;
constexpr int64_t kChunkHeader = 8;
constexpr int64_t kFormatRecord = 18;
constexpr int64_t kMaxFormatChunk = kFormatRecord + 0xFFFF;  // cbSize is 16 bits
// Room for one block converted on trial: the sound codecs in use expand a
// block at most some 16 times.
constexpr int64_t kTrialBytes = 64 * 1024;

bool IsId(const uint8_t* P, const char* Id) { return std::memcmp(P, Id, 4) == 0; }

// Count bytes at Pos, which the caller has found inside the file; a short
// file is a chunk cut short.
void ReadAt_(TWAVFile& W, int64_t FileSize, int64_t Pos, void* Buf, int64_t Count) {
  if (Pos < 0 || Count > FileSize - Pos) SetError(EG_WAV, 3, __LINE__);
  FSeek(W.Handle, Pos);
  FRead(W.Handle, Buf, Count);
}

void WavRiffHeader_(TWAVFile& W, int64_t FileSize) {
  uint8_t hdr[kRiffHeader];
  if (FileSize < kRiffHeader) SetError(EG_WAV, 1, __LINE__);
  ReadAt_(W, FileSize, 0, hdr, kRiffHeader);
  if (!IsId(hdr, "RIFF") || !IsId(hdr + 8, "WAVE")) SetError(EG_WAV, 1, __LINE__);
}

// The "fmt " chunk of Len bytes at Body into the tracked InFormat block.
void WavReadFmt_(TWAVFile& W, int64_t FileSize, int64_t Body, int64_t Len) {
  if (Len < 16 || Len > kMaxFormatChunk) SetError(EG_WAV, 1, __LINE__);
  if (Len > FileSize - Body) SetError(EG_WAV, 3, __LINE__);
  const int64_t n = std::max(Len, kFormatRecord);
  _memalloc_(W.InFormat, n, __LINE__, "FF_WAV.WAVOpen.wf.sl.InFormat");
  MemFill(W.InFormat, n, 0);
  ReadAt_(W, FileSize, Body, W.InFormat, Len);
  W.InFormatSize = static_cast<int32_t>(n);
  TByteCursor c = CurMake(W.InFormat, static_cast<size_t>(n), EG_WAV, 1);
  W.Format.wFormatTag = CurU16LE(c);
  W.Format.nChannels = CurU16LE(c);
  W.Format.nSamplesPerSec = CurU32LE(c);
  W.Format.nAvgBytesPerSec = CurU32LE(c);
  W.Format.nBlockAlign = CurU16LE(c);
  W.Format.wBitsPerSample = CurU16LE(c);
  const uint16_t cb = CurU16LE(c);
  W.ExtraLen = static_cast<uint16_t>(std::min<int64_t>(cb, n - kFormatRecord));
  W.Format.cbSize = W.ExtraLen;
}

// Walks the chunks after the RIFF header until "fmt " and "data" are found.
void WavWalk_(TWAVFile& W, int64_t FileSize) {
  bool haveFmt = false, haveData = false;
  int64_t pos = kRiffHeader;
  while (!(haveFmt && haveData) && kChunkHeader <= FileSize - pos) {
    uint8_t hdr[kChunkHeader];
    ReadAt_(W, FileSize, pos, hdr, kChunkHeader);
    TByteCursor c = CurMake(hdr, sizeof hdr, EG_WAV, 3);
    const uint8_t* id = CurBytes(c, 4);
    const int64_t len = CurU32LE(c);
    const int64_t body = pos + kChunkHeader;
    if (IsId(id, "fmt ") && !haveFmt) {
      WavReadFmt_(W, FileSize, body, len);
      haveFmt = true;
    } else if (IsId(id, "data") && !haveData) {
      if (len > FileSize - body) SetError(EG_WAV, 3, __LINE__);
      W.DataPos = body;
      W.DataSize = len;
      haveData = true;
    } else if (IsId(id, "fact") && W.FactLength < 0 && len >= 4 && 4 <= FileSize - body) {
      uint8_t count[4];
      ReadAt_(W, FileSize, body, count, 4);
      W.FactLength = GetU32LE(count);
    }
    pos = body + len + (len & 1);
  }
  if (!haveFmt || !haveData) SetError(EG_WAV, 3, __LINE__);
}

TWaveFormat StoredFormat_(const TWAVFile& W) {
  return TWaveFormat(W.Format, W.InFormat ? W.InFormat + kFormatRecord : nullptr, W.ExtraLen);
}

void WavCheckFormat_(const TWAVFile& W) {
  const TWaveFormatEx& f = W.Format;
  if (f.nChannels == 0 || f.nSamplesPerSec == 0 || f.nBlockAlign == 0)
    SetError(EG_WAV, 1, __LINE__);
  const uint16_t tag = SndSampleTag(StoredFormat_(W));
  const uint32_t bytes = (f.wBitsPerSample + 7u) / 8u;
  if (tag == 0) SetError(EG_WAV, 1, __LINE__);
  if (tag == WAVE_FORMAT_PCM &&
      (f.wBitsPerSample < 1 || f.wBitsPerSample > 32 || f.nBlockAlign != f.nChannels * bytes))
    SetError(EG_WAV, 1, __LINE__);
  if (tag == WAVE_FORMAT_IEEE_FLOAT &&
      ((f.wBitsPerSample != 32 && f.wBitsPerSample != 64) || f.nBlockAlign != f.nChannels * bytes))
    SetError(EG_WAV, 1, __LINE__);
}

// Converts the first block; the sample frames it gave, or -1 when the
// conversion failed (the reason stays recorded in its own frame).
int64_t WavTrial_(TWAVFile& W, int64_t FileSize) {
  int64_t frames = -1;
  uint8_t* block = nullptr;
  uint8_t* out = nullptr;
  FFLibKept("FF_WAV.WAVOpen.trial", [&] {
    const int64_t align = W.Format.nBlockAlign;
    const int64_t room = std::max(kTrialBytes, align * 32);
    _memalloc_(block, align, __LINE__, "FF_WAV.WAVOpen.block");
    _memalloc_(out, room, __LINE__, "FF_WAV.WAVOpen.trial");
    ReadAt_(W, FileSize, W.DataPos, block, align);
    int64_t got = 0;
    WaveConvert(block, out, align, TWaveFormat(W.OutFormat), StoredFormat_(W), got, room);
    frames = got / W.OutFormat.nBlockAlign;
    MemFree(out);
    MemFree(block);
  });
  return frames;
}

int32_t Clamp32_(int64_t V) { return static_cast<int32_t>(std::clamp<int64_t>(V, 0, INT32_MAX)); }

// The PCM format, the length in sample frames and whether it converts.
void WavPcm_(TWAVFile& W, int64_t FileSize) {
  const uint16_t tag = SndSampleTag(StoredFormat_(W));
  const int64_t fact = W.FactLength;
  if (!SndSuggestPcm(StoredFormat_(W), W.OutFormat)) {
    W.OutFormat = TWaveFormatEx{};
    W.Length = Clamp32_(fact);
    return;
  }
  if (tag == WAVE_FORMAT_PCM) {  // used as it is: a block is a sample frame
    W.Loadable = -1;
    W.Length = Clamp32_(W.Blocks);
    return;
  }
  int64_t perBlock = 0;
  if (W.Blocks > 0) {
    perBlock = WavTrial_(W, FileSize);
    if (perBlock < 0) {
      W.OutFormat = TWaveFormatEx{};
      W.Length = Clamp32_(fact);
      return;
    }
  }
  W.Loadable = -1;
  int64_t total = 0;
  if (!CheckedMul(W.Blocks, perBlock, total)) total = INT64_MAX;
  // Block codecs fill their last block up; the "fact" chunk says how many
  // of the frames are sound.
  W.Length = Clamp32_(fact >= 0 && fact <= total ? fact : total);
}

}  // namespace

void WAVOpen(TWAVFile& W, const std::string& FileName) {
  Monitored("FF_WAV.WAVOpen", [&] {
    W = TWAVFile{};
    const int32_t handle = FFLibOpen(FileName, FM_READ);
    if (handle == INVALID_ID) SetError(EG_WAV, 1, __LINE__);
    W.Handle = handle;
    const int64_t size = FSize(W.Handle);
    W.FileSize = FFClampSize(size);
    WavRiffHeader_(W, size);
    WavWalk_(W, size);
    WavCheckFormat_(W);
    W.Blocks = W.DataSize / W.Format.nBlockAlign;
    WavPcm_(W, size);
    if (!FFLibKept("FF_WAV.WAVOpen.seek", [&] { FSeek(W.Handle, W.DataPos); }))
      SetError(EG_WAV, 5, __LINE__);
  });
}

void WAVClose(TWAVFile& W) {
  Monitored("FF_WAV.WAVClose", [&] {
    MemFree(W.InFormat);
    W.InFormat = nullptr;
    const int32_t handle = W.Handle;
    W.Handle = 0;
    if (handle > 0) FClose(handle);
  });
}

void WAVInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("FF_WAV.WAVInfo", [&] {
    TWAVFile w;
    WAVOpen(w, FileName);
    Info.FileSize = w.FileSize;
    Info.AudioFormat = w.Format;
    Info.AudioOutFormat = w.OutFormat;
    Info.AudioLength = w.Length;
    Info.AudioCompression = SndCompressionText(StoredFormat_(w));
    Info.AudioValid = -1;
    Info.AudioLoadable = w.Loadable;
    WAVClose(w);
  });
}

// ---- the movie reader -------------------------------------------------------------------

namespace {

void WavView_(TWAVFile& W, TMviView& View) {
  View.FrameCount = &W.FrameCount;
  View.CurFrame = &W.CurFrame;
  View.HasSound = true;
}

}  // namespace

const TMviReader kWavMovie = TMviAdapter<TWAVFile, WAVOpen, nullptr, WAVClose, WavView_>::Reader(
    &TMviFile::WAV, "conform.MviOpen.mf.WAV");

}  // namespace kvo
