// SPDX-License-Identifier: GPL-3.0-or-later
// WAV reader under the fuzzer: the RIFF walk, the format checks and the
// sound conversion. The bytes go to a file that is described, then opened,
// and the start of its data is converted to the PCM the reader chose.
// Checked: the data chunk lies inside the file, the stored format record is
// inside its block, the length is not negative, a loadable sound has a
// complete PCM format, a conversion never reports more bytes than its
// buffer holds, and no block or file stays behind. Without the FFmpeg
// module (the fuzzing build has none) only PCM converts, which keeps the
// fuzzer on this program's own parsing.
#include <algorithm>

#include "formats/FF_WAV.h"
#include "formats/SndBasic.h"
#include "fuzz/FuzzSupport.h"

namespace {

using kvo::fuzz::Check;

constexpr int64_t kConvertBytes = 4096;

void CheckOpen(const kvo::TWAVFile& W, size_t Size) {
  Check(W.DataPos >= 12 && W.DataSize >= 0, "the data chunk follows the RIFF header");
  Check(W.DataPos + W.DataSize <= static_cast<int64_t>(Size), "the data lies inside the file");
  Check(W.InFormat && W.InFormatSize >= 18, "the format record is read whole");
  Check(W.ExtraLen <= W.InFormatSize - 18, "the extra bytes lie inside the format block");
  Check(W.Length >= 0 && W.Blocks >= 0, "lengths are not negative");
  Check(W.Format.nBlockAlign > 0 && W.Format.nChannels > 0, "a sound has blocks and channels");
  Check(!W.Loadable || kvo::SndPcmComplete(W.OutFormat), "a loadable sound has its PCM");
}

// Converts the start of the data into the PCM format the reader chose.
void CheckConvert(const kvo::TWAVFile& W, const uint8_t* Data) {
  const int64_t n = std::min(W.DataSize, kConvertBytes);
  static uint8_t out[16 * kConvertBytes];
  int64_t got = -1;
  const kvo::TWaveFormat stored(W.Format, W.InFormat + 18, W.ExtraLen);
  kvo::MonitoredKeep("fuzz.Convert", [&] {
    kvo::WaveConvert(Data + W.DataPos, out, n, kvo::TWaveFormat(W.OutFormat), stored, got,
                     sizeof out);
  });
  const bool ok = kvo::NoError();
  kvo::ClearError();
  Check(!ok || (got >= 0 && got <= static_cast<int64_t>(sizeof out)), "a conversion fits");
  Check(ok || got == 0, "a failed conversion delivers nothing");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string path = kvo::fuzz::InputPath(".wav");
  if (!kvo::fuzz::WriteInput(path, Data, Size)) return 0;

  const int mem = kvo::MemCount(), files = kvo::FCount();
  kvo::TFileInfo info;
  kvo::MonitoredKeep("fuzz.Info", [&] { kvo::WAVInfo(path, info); });
  const bool described = kvo::NoError();
  kvo::ClearError();
  Check(!described || info.AudioLength >= 0, "a described length is not negative");

  kvo::TWAVFile w;
  kvo::MonitoredKeep("fuzz.Open", [&] { kvo::WAVOpen(w, path); });
  const bool opened = kvo::NoError();
  kvo::ClearError();
  Check(opened == described, "opening and describing agree");
  if (opened) {
    CheckOpen(w, Size);
    if (w.Loadable) CheckConvert(w, Data);
    kvo::MonitoredKeep("fuzz.Close", [&] { kvo::WAVClose(w); });
    kvo::ClearError();
  }
  kvo::fuzz::CheckTables(mem, files);
  return 0;
}
