// SPDX-License-Identifier: GPL-3.0-or-later
// The WAV reader and the sound conversion: every WAV file of the test data
// described as its manifest and ffprobe describe it; RIFF walks over files
// built here (odd chunks, missing chunks, sizes that lie) and the test data's
// broken files; conversions against ffmpeg's decoding; the picture import
// refusing sound; and what still works without the FFmpeg module.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "core/Store.h"
#include "formats/AvModule.h"
#include "formats/ConForm.h"
#include "formats/FF_WAV.h"
#include "formats/SndBasic.h"
#include "tests/AvTestSupport.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using test::kOk;
using test::TErr;

const TErr kCannotOpen{EG_WAV, 1}, kCannotRead{EG_WAV, 3}, kConversion{EG_AUDIO, 3};

// ---- building files -------------------------------------------------------------------------

struct TChunk {
  std::string Id, Body;
};

// A RIFF "WAVE" file of the chunks, each padded to an even size; RiffSize
// overrides the size field.
std::string Riff(const std::vector<TChunk>& Chunks, int64_t RiffSize = -1) {
  test::TBytes b;
  for (const TChunk& c : Chunks) {
    b.Raw(std::vector<uint8_t>(c.Id.begin(), c.Id.end())).U32(uint32_t(c.Body.size()));
    b.Raw(std::vector<uint8_t>(c.Body.begin(), c.Body.end()));
    if (c.Body.size() % 2) b.U8(0);
  }
  test::TBytes head;
  head.Raw({'R', 'I', 'F', 'F'}).U32(RiffSize >= 0 ? uint32_t(RiffSize) : uint32_t(b.Size() + 4));
  head.Raw({'W', 'A', 'V', 'E'}).Raw(b.Vec());
  return head.Str();
}

// A "fmt " body: the 16 bytes of PCMWAVEFORMAT, then Extra (with its own
// cbSize when given).
std::string Fmt(uint32_t Tag, uint32_t Ch, uint32_t Rate, uint32_t Bits, uint32_t Align,
                const std::string& Extra = "") {
  test::TBytes b;
  b.U16(Tag).U16(Ch).U32(Rate).U32(Rate * Align).U16(Align).U16(Bits);
  return b.Str() + Extra;
}

std::string Le16(uint32_t V) { return test::TBytes().U16(V).Str(); }

class WavTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(counts_.Same()) << counts_.Describe(); }
  TErr Open(const std::string& Bytes, TWAVFile& W) {
    const std::string path = dir_.Write("x.wav", Bytes);
    return test::Kept([&] {
      WAVOpen(W, path);
      WAVClose(W);
    });
  }
  test::TTableCounts counts_;
  test::TTempDir dir_;
};

// ---- the test data's files -----------------------------------------------------------------

struct TWavFile {
  const char* File;
  uint16_t Tag, Channels;
  uint32_t Rate;
  uint16_t Bits, Align;
  int32_t Length;
  const char* Compression;
};

// Tag, channels, rate, bits and block alignment from the manifest; the
// length in sample frames is ffprobe's duration_ts (the "fact" chunk's count
// where there is one), the texts after the tag are ffprobe's
// codec_long_name.
const TWavFile kFiles[] = {
    {"audiofile-afsp/M1F1-Alaw-AFsp.wav", 6, 2, 8000, 8, 2, 23493, "(6) PCM A-law / G.711 A-law"},
    {"audiofile-afsp/M1F1-float32-AFsp.wav", 3, 2, 8000, 32, 8, 23493,
     "(3) PCM 32-bit floating point little-endian"},
    {"audiofile-afsp/M1F1-int12-AFsp.wav", 1, 2, 8000, 12, 4, 23493, "(1) PCM, uncompressed"},
    {"audiofile-afsp/M1F1-int16-AFsp.wav", 1, 2, 8000, 16, 4, 23493, "(1) PCM, uncompressed"},
    {"audiofile-afsp/M1F1-int16WE-AFsp.wav", 0xFFFE, 2, 8000, 16, 4, 23493,
     "(65534) PCM, uncompressed"},
    {"audiofile-afsp/M1F1-int24-AFsp.wav", 1, 2, 8000, 24, 6, 23493, "(1) PCM, uncompressed"},
    {"audiofile-afsp/M1F1-int32-AFsp.wav", 1, 2, 8000, 32, 8, 23493, "(1) PCM, uncompressed"},
    {"audiofile-afsp/M1F1-mulaw-AFsp.wav", 7, 2, 8000, 8, 2, 23493,
     "(7) PCM mu-law / G.711 mu-law"},
    {"audiofile-afsp/M1F1-uint8-AFsp.wav", 1, 2, 8000, 8, 2, 23493, "(1) PCM, uncompressed"},
    {"audiofile-afsp/M1F1-uint8WE-AFsp.wav", 0xFFFE, 2, 8000, 8, 2, 23493,
     "(65534) PCM, uncompressed"},
    {"audiofile-afsp/addf8-Alaw-GW.wav", 6, 1, 8000, 8, 1, 23808, "(6) PCM A-law / G.711 A-law"},
    {"audiofile-afsp/addf8-GSM-GW.wav", 0x31, 1, 8000, 0, 65, 23808, "(49) GSM Microsoft variant"},
    // No "fact" chunk: ffprobe estimates 103424 from the byte rate; ffmpeg
    // decodes 101 blocks of 1012 samples.
    {"audiofile/traveling.wav", 2, 1, 22050, 4, 512, 102212, "(2) ADPCM Microsoft"},
    {"brickblaster/TEST.WAV", 1, 1, 44100, 8, 1, 1586, "(1) PCM, uncompressed"},
    {"cpython/pluck-pcm16.wav", 1, 2, 11025, 16, 4, 3307, "(1) PCM, uncompressed"},
    {"cpython/pluck-pcm24-ext.wav", 0xFFFE, 2, 11025, 24, 6, 3307, "(65534) PCM, uncompressed"},
    {"cpython/pluck-pcm24.wav", 1, 2, 11025, 24, 6, 3307, "(1) PCM, uncompressed"},
    {"cpython/pluck-pcm32.wav", 1, 2, 11025, 32, 8, 3307, "(1) PCM, uncompressed"},
    {"cpython/pluck-pcm8.wav", 1, 2, 11025, 8, 2, 3307, "(1) PCM, uncompressed"},
    {"cpython/sndhdr.wav", 1, 2, 44100, 16, 4, 5, "(1) PCM, uncompressed"},
    {"fate/Bells.wav", 1, 1, 11025, 8, 1, 18480, "(1) PCM, uncompressed"},
    {"fate/a6.wav", 0x22, 1, 8000, 1, 32, 345972, "(34) DSP Group TrueSpeech"},
    {"fate/ciao.wav", 0x31, 1, 8000, 0, 65, 28480, "(49) GSM Microsoft variant"},
    {"fate/square3.wav", 1, 1, 44100, 16, 2, 44100, "(1) PCM, uncompressed"},
    {"soundevent/wav_alaw.wav", 6, 1, 16000, 8, 1, 16000, "(6) PCM A-law / G.711 A-law"},
    {"soundevent/wav_ima_adpcm.wav", 0x11, 1, 16000, 4, 512, 16272, "(17) ADPCM IMA WAV"},
    {"soundevent/wav_ms_adpcm.wav", 2, 1, 16000, 4, 512, 16000, "(2) ADPCM Microsoft"},
    {"soundevent/wav_pcm_16.wav", 1, 1, 16000, 16, 2, 16000, "(1) PCM, uncompressed"},
    {"soundevent/wav_pcm_u8.wav", 1, 1, 16000, 8, 1, 16000, "(1) PCM, uncompressed"},
    {"soundevent/wav_ulaw.wav", 7, 1, 16000, 8, 1, 16000, "(7) PCM mu-law / G.711 mu-law"},
};

std::string WavPath(const std::string& Name) { return test::DataFile("wav/" + Name); }

// PCM is used as it is (an extensible one as the plain PCM it holds);
// everything else becomes 16-bit PCM of the same rate and channels.
TEST_F(WavTest, EveryTestFileIsDescribedAsFfprobeDescribesIt) {
  for (const TWavFile& f : kFiles) {
    SCOPED_TRACE(f.File);
    TFileInfo fi;
    ASSERT_EQ(test::InfoFile(WavPath(f.File), fi), kOk);
    EXPECT_EQ(fi.Description, "WAV, Windows Wave Sound");
    EXPECT_EQ(fi.FileSize, int32_t(test::ReadWhole(WavPath(f.File)).size()));
    EXPECT_EQ(fi.AudioFormat.wFormatTag, f.Tag);
    EXPECT_EQ(fi.AudioFormat.nChannels, f.Channels);
    EXPECT_EQ(fi.AudioFormat.nSamplesPerSec, f.Rate);
    EXPECT_EQ(fi.AudioFormat.wBitsPerSample, f.Bits);
    EXPECT_EQ(fi.AudioFormat.nBlockAlign, f.Align);
    EXPECT_EQ(fi.AudioLength, f.Length);
    EXPECT_EQ(fi.AudioCompression, f.Compression);
    EXPECT_TRUE(fi.AudioValid && fi.AudioLoadable);
    EXPECT_FALSE(fi.VideoValid);
    const TWaveFormatEx& out = fi.AudioOutFormat;
    const bool pcm = f.Tag == 1 || f.Tag == 0xFFFE;
    EXPECT_EQ(out.wFormatTag, 1);
    EXPECT_EQ(out.nChannels, f.Channels);
    EXPECT_EQ(out.nSamplesPerSec, f.Rate);
    EXPECT_EQ(out.wBitsPerSample, pcm ? f.Bits : 16);
    EXPECT_EQ(out.nBlockAlign, pcm ? f.Align : f.Channels * 2);
    EXPECT_EQ(out.cbSize, 0);
  }
}

// ---- the chunk walk ---------------------------------------------------------------------------

TEST_F(WavTest, ChunksAroundTheSoundAreWalkedOver) {
  const std::string fmt = Fmt(1, 1, 8000, 8, 1);
  TWAVFile w;
  // An odd-sized chunk with its pad byte, a LIST, the format after the
  // data, a RIFF size of 0 and one of 0xFFFFFFFF (streaming writers).
  for (int64_t riffSize : {int64_t(-1), int64_t(0), int64_t(0xFFFFFFFF)}) {
    const std::string bytes = Riff({{"JUNK", "abc"},
                                    {"LIST", std::string(9, 'x')},
                                    {"data", std::string(7, '\x80')},
                                    {"fmt ", fmt}},
                                   riffSize);
    ASSERT_EQ(Open(bytes, w), kOk) << riffSize;
    EXPECT_EQ(w.DataSize, 7);
    EXPECT_EQ(w.DataPos, 12 + 8 + 4 + 8 + 10 + 8);
    EXPECT_EQ(w.Length, 7);
  }
  // A pad byte missing at the very end, a partial last block, and a
  // 16-byte format chunk without cbSize.
  std::string bytes = Riff({{"fmt ", Fmt(1, 2, 8000, 16, 4)}, {"data", std::string(9, '\0')}});
  ASSERT_EQ(Open(bytes.substr(0, bytes.size() - 1), w), kOk);
  EXPECT_EQ(w.Length, 2);
  EXPECT_EQ(w.Format.cbSize, 0);
  EXPECT_EQ(w.InFormatSize, 18);
  // A sound without samples.
  ASSERT_EQ(Open(Riff({{"fmt ", fmt}, {"data", ""}}), w), kOk);
  EXPECT_EQ(w.Length, 0);
}

TEST_F(WavTest, CbSizeIsCutToTheChunk) {
  TWAVFile w;
  const std::string fmt = Fmt(1, 1, 8000, 8, 1, Le16(100) + "ab");
  ASSERT_EQ(Open(Riff({{"fmt ", fmt}, {"data", "xy"}}), w), kOk);
  EXPECT_EQ(w.ExtraLen, 2);
  EXPECT_EQ(w.Format.cbSize, 2);
}

TEST_F(WavTest, BrokenHeadersAreRefused) {
  const std::string fmt = Fmt(1, 1, 8000, 8, 1), data = std::string(8, '\x80');
  TWAVFile w;
  EXPECT_EQ(Open("", w), kCannotOpen);
  EXPECT_EQ(Open(std::string("RIFF\x04\0\0\0WAV", 11), w), kCannotOpen);
  std::string avi = Riff({{"fmt ", fmt}, {"data", data}});
  avi.replace(8, 4, "AVI ");
  EXPECT_EQ(Open(avi, w), kCannotOpen);
  std::string rifx = Riff({{"fmt ", fmt}, {"data", data}});
  rifx[3] = 'X';
  EXPECT_EQ(Open(rifx, w), kCannotOpen);
  // Missing chunks, and chunks that reach past the end of the file.
  EXPECT_EQ(Open(Riff({{"fmt ", fmt}}), w), kCannotRead);
  EXPECT_EQ(Open(Riff({{"data", data}}), w), kCannotRead);
  EXPECT_EQ(Open(Riff({{"fmt ", fmt}, {"data", data}}).substr(0, 50), w), kCannotRead);
  std::string longFmt = Riff({{"fmt ", fmt}, {"data", data}});
  test::PokeU32(longFmt, 16, 4000);
  EXPECT_EQ(Open(longFmt, w), kCannotRead);
  // Formats that describe no sound.
  EXPECT_EQ(Open(Riff({{"fmt ", fmt.substr(0, 12)}, {"data", data}}), w), kCannotOpen);
  for (const std::string& f :
       {Fmt(1, 0, 8000, 8, 1), Fmt(1, 1, 0, 8, 1), Fmt(1, 1, 8000, 8, 0), Fmt(1, 1, 8000, 0, 1),
        Fmt(1, 1, 8000, 40, 5), Fmt(1, 2, 8000, 16, 2), Fmt(3, 1, 8000, 24, 3),
        Fmt(0xFFFE, 1, 8000, 16, 2, Le16(0))})
    EXPECT_EQ(Open(Riff({{"fmt ", f}, {"data", data}}), w), kCannotOpen);
}

// The broken files of the test data: the audiofile suite's invalid
// headers, and a file whose bytes went through a UTF-8 mangler (its data
// chunk now claims some 430 MB of a 13 KB file).
TEST_F(WavTest, BrokenTestFilesAreRefused) {
  const std::string bad = test::DataDir() + "bad/";
  for (const char* f : {"100-bits-per-sample.wav", "33-bits-per-sample.wav",
                        "zero-bits-per-sample.wav", "zero-channels.wav"}) {
    TFileInfo fi;
    EXPECT_EQ(test::InfoFile(bad + "audiofile-invalid/" + f, fi), kCannotOpen) << f;
  }
  TFileInfo fi;
  EXPECT_EQ(test::InfoFile(bad + "utf8-mangled/pluck-pcm8.wav", fi), kCannotRead);
  EXPECT_EQ(ErrorText(EG_WAV, 3), "Cannot read from WAV file.");
}

// Every cut of a PCM and of an ADPCM file fails with a WAV error (their
// data chunks end with the file), the whole file opens.
TEST_F(WavTest, TruncatedFilesFailCleanly) {
  for (const char* name : {"cpython/sndhdr.wav", "soundevent/wav_ms_adpcm.wav"}) {
    const std::string bytes = test::ReadWhole(WavPath(name));
    std::vector<size_t> cuts;
    for (size_t n = 0; n < bytes.size(); n += n < 200 ? 1 : 61) cuts.push_back(n);
    cuts.push_back(bytes.size());
    int opened = 0;
    for (size_t n : cuts) {
      TWAVFile w;
      const TErr e = Open(bytes.substr(0, n), w);
      EXPECT_TRUE(e == kOk || e.Group == EG_WAV) << name << " " << n << ": " << test::ToString(e);
      if (e == kOk) ++opened;
      ASSERT_TRUE(counts_.Same()) << n;
    }
    EXPECT_EQ(opened, 1) << name;
  }
}

// ---- sound files as movies and in the import -------------------------------------------------

TEST_F(WavTest, ASoundPassesTheDescriptionButNotThePictureImport) {
  const std::string path = WavPath("fate/Bells.wav");
  TUniInfo u;
  ASSERT_TRUE(UniInfo(path, u, false));
  EXPECT_EQ(u.FormatId, FF_WAV);
  EXPECT_EQ(u.Kind, UNI_MOVIE);
  ASSERT_TRUE(u.AudioValid);
  EXPECT_FALSE(u.VideoValid);
  EXPECT_EQ(u.SampleRate, 11025);
  EXPECT_NEAR(u.AudioDuration, 18480.0 / 11025, 1e-9);
  EXPECT_EQ(u.AudioBytes, 18480);
  // Under a wrong name the probe finds the sound; this is the movie opened
  // below.
  ASSERT_TRUE(UniInfo(dir_.Write("bells.gif", test::ReadWhole(path)), u, false));
  ASSERT_EQ(u.FormatId, FF_WAV);
  ASSERT_EQ(u.Kind, UNI_MOVIE);

  test::ScriptedDialogs dialogs;
  std::string dest = dir_.Path("Custom--Bells.kvo");
  EXPECT_FALSE(ImportPicture(path, dest));
  ASSERT_EQ(dialogs.Errors.size(), 1u);
  EXPECT_EQ(dialogs.Errors[0], "Format not supported (\"Bells.wav\")");

  // As a movie it has sound and no frames; closing releases the source's
  // conversion buffer.
  TUniFile uni;
  TImg img;
  ASSERT_EQ(test::Kept([&] { UniOpen(uni, u); }), kOk);
  EXPECT_TRUE(uni.Mvi.View.HasSound);
  ASSERT_NE(uni.Mvi.View.FrameCount, nullptr);
  EXPECT_EQ(*uni.Mvi.View.FrameCount, 0);
  EXPECT_EQ(test::Kept([&] { UniImgLoad(uni, img, 1, 0); }), (TErr{EG_MVI, 5}));
  EXPECT_EQ(test::Kept([&] { MviImgLoad(uni.Mvi, img, 1, 0); }), (TErr{EG_MVI, 7}));
  _memalloc_(uni.SndBuf, 4096, __LINE__, "wav_test.SndBuf");
  EXPECT_EQ(test::Kept([&] { UniClose(uni); }), kOk);
  EXPECT_EQ(uni.SndBuf, nullptr);
}

// ---- conversion ---------------------------------------------------------------------------------

// The data chunk of a test data file and its stored format.
struct TSound {
  std::string Data, FmtChunk;
  TWaveFormatEx Format, Out;
  TWaveFormat Stored() const {
    return TWaveFormat(Format, reinterpret_cast<const uint8_t*>(FmtChunk.data()) + 18,
                       Format.cbSize);
  }
};

TSound ReadSound(const std::string& Path) {
  TSound s;
  TWAVFile w;
  EXPECT_EQ(test::Kept([&] {
              WAVOpen(w, Path);
              s.Format = w.Format;
              s.Out = w.OutFormat;
              s.FmtChunk.assign(reinterpret_cast<const char*>(w.InFormat), size_t(w.InFormatSize));
              s.Data = test::ReadWhole(Path).substr(size_t(w.DataPos), size_t(w.DataSize));
              WAVClose(w);
            }),
            kOk);
  return s;
}

TErr Convert(const TSound& S, const TWaveFormat& Dest, std::string& Out, int64_t Cap) {
  Out.assign(size_t(Cap), '\0');
  int64_t n = -1;
  const TErr e = test::Kept([&] {
    WaveConvert(reinterpret_cast<const uint8_t*>(S.Data.data()),
                reinterpret_cast<uint8_t*>(Out.data()), int64_t(S.Data.size()), Dest, S.Stored(), n,
                Cap);
  });
  Out.resize(size_t(std::max<int64_t>(n, 0)));
  return e;
}

// Compressed sound to its PCM is sample for sample what ffmpeg decodes.
TEST_F(WavTest, ConversionToPcmEqualsFfmpeg) {
  for (const char* name : {"soundevent/wav_ima_adpcm.wav", "soundevent/wav_ms_adpcm.wav",
                           "audiofile/traveling.wav", "audiofile-afsp/M1F1-mulaw-AFsp.wav",
                           "audiofile-afsp/M1F1-Alaw-AFsp.wav", "fate/ciao.wav",
                           "audiofile-afsp/M1F1-float32-AFsp.wav", "fate/Bells.wav"}) {
    SCOPED_TRACE(name);
    const TSound s = ReadSound(WavPath(name));
    TWaveFormatEx pcm16 = s.Out;
    pcm16.wBitsPerSample = 16;
    pcm16.nBlockAlign = uint16_t(2 * pcm16.nChannels);
    pcm16.nAvgBytesPerSec = pcm16.nSamplesPerSec * pcm16.nBlockAlign;
    std::string out;
    ASSERT_EQ(Convert(s, pcm16, out, 8 << 20), kOk);
    const std::string want = test::FfmpegSound(WavPath(name), "s16le");
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(out.size(), want.size());
    EXPECT_TRUE(out == want);
  }
}

// IMA ADPCM at 16 kHz to 8-bit PCM at 8 kHz goes through 16-bit PCM at
// 16 kHz in two steps; ffmpeg's resampler gives the same samples.
TEST_F(WavTest, ConversionThroughPcmInTwoSteps) {
  const std::string path = WavPath("soundevent/wav_ima_adpcm.wav");
  const TSound s = ReadSound(path);
  TWaveFormatEx u8{1, 1, 8000, 8000, 1, 8, 0};
  std::string out;
  ASSERT_EQ(Convert(s, u8, out, 1 << 20), kOk);
  const std::string want = test::FfmpegSound(path, "u8", "8000");
  ASSERT_NEAR(double(out.size()), double(want.size()), 2.0);
  int worst = 0;
  for (size_t i = 0; i < std::min(out.size(), want.size()); ++i)
    worst = std::max(worst, std::abs(int(uint8_t(out[i])) - int(uint8_t(want[i]))));
  EXPECT_LE(worst, 1);
}

TEST_F(WavTest, ConversionFailures) {
  const TSound ima = ReadSound(WavPath("soundevent/wav_ima_adpcm.wav"));
  std::string out;
  // The destination is too small for the result.
  EXPECT_EQ(Convert(ima, ima.Out, out, 1000), kConversion);
  // Equal formats are copied when they fit, byte for byte.
  const TSound pcm = ReadSound(WavPath("fate/Bells.wav"));
  const int64_t n = int64_t(pcm.Data.size());
  ASSERT_EQ(Convert(pcm, pcm.Format, out, n), kOk);
  EXPECT_TRUE(out == pcm.Data);
  EXPECT_EQ(Convert(pcm, pcm.Format, out, n - 1), kConversion);
  // The destination must be complete PCM; the source must have a decoder.
  EXPECT_EQ(Convert(pcm, ima.Format, out, 1 << 20), kConversion);
  TWaveFormatEx half = pcm.Out;
  half.nBlockAlign = 3;
  EXPECT_EQ(Convert(pcm, half, out, 1 << 20), kConversion);
  TSound odd = ima;
  odd.Format.wFormatTag = 0x7A7A;
  EXPECT_EQ(Convert(odd, ima.Out, out, 1 << 20), kConversion);
  int64_t len = 7;
  EXPECT_EQ(test::Kept([&] { WaveConvert(nullptr, nullptr, -1, pcm.Out, pcm.Out, len, 0); }),
            kConversion);
  EXPECT_EQ(len, 0);
  // A decoder that refuses the data (an MS ADPCM block naming predictor 255
  // of 7) is the conversion engine's failure, with FFmpeg's status.
  TSound ms = ReadSound(WavPath("soundevent/wav_ms_adpcm.wav"));
  ms.Data[0] = '\xFF';
  EXPECT_EQ(Convert(ms, ms.Out, out, 1 << 20), (TErr{EG_ACM, KVOAV_ERR_DECODE}));
  EXPECT_EQ(ErrorText(EG_ACM, KVOAV_ERR_DECODE), "Fatal error in Audio Compression Manager: 4");
}

TEST_F(WavTest, SuggestionsAndTexts) {
  TWaveFormatEx pcm;
  EXPECT_TRUE(SndSuggestPcm(TWaveFormatEx{0x11, 2, 22050, 22311, 1024, 4, 2}, pcm));
  EXPECT_EQ(pcm.wFormatTag, 1);
  EXPECT_EQ(pcm.nChannels, 2);
  EXPECT_EQ(pcm.nSamplesPerSec, 22050u);
  EXPECT_EQ(pcm.wBitsPerSample, 16);
  EXPECT_EQ(pcm.nBlockAlign, 4);
  EXPECT_EQ(pcm.nAvgBytesPerSec, 88200u);
  EXPECT_FALSE(SndSuggestPcm(TWaveFormatEx{0x11, 0, 22050, 0, 1024, 4, 2}, pcm));
  EXPECT_FALSE(SndSuggestPcm(TWaveFormatEx{0x7A7A, 1, 8000, 8000, 1, 8, 0}, pcm));
  EXPECT_FALSE(SndSuggestPcm(TWaveFormatEx{1, 1, 8000, 8000, 2, 8, 0}, pcm));  // align
  EXPECT_EQ(SndCompressionText(TWaveFormatEx{0x7A7A, 1, 8000, 8000, 1, 8, 0}),
            "(31354) Unknown codec");
  EXPECT_EQ(SndCompressionText(TWaveFormatEx{1, 1, 8000, 8000, 1, 8, 0}), "(1) PCM, uncompressed");
}

// Without the FFmpeg module PCM is still described and used, and an
// extensible PCM file still converts to its plain PCM; compressed sound is
// described but not loadable, and does not convert.
TEST_F(WavTest, WithoutTheModuleOnlyPcmConverts) {
  AvSetModulePath_("");
  TFileInfo fi;
  ASSERT_EQ(test::InfoFile(WavPath("soundevent/wav_ima_adpcm.wav"), fi), kOk);
  EXPECT_TRUE(fi.AudioValid);
  EXPECT_FALSE(fi.AudioLoadable);
  EXPECT_EQ(fi.AudioCompression, "(17) Unknown codec");
  EXPECT_EQ(fi.AudioOutFormat.wFormatTag, 0);
  EXPECT_EQ(fi.AudioLength, 16272);  // the "fact" chunk's count
  ASSERT_EQ(test::InfoFile(WavPath("fate/Bells.wav"), fi), kOk);
  EXPECT_TRUE(fi.AudioLoadable);
  const TSound ext = ReadSound(WavPath("audiofile-afsp/M1F1-int16WE-AFsp.wav"));
  std::string out;
  ASSERT_EQ(Convert(ext, ext.Out, out, 1 << 20), kOk);
  EXPECT_TRUE(out == ext.Data);
  const TSound ima = ReadSound(WavPath("soundevent/wav_ima_adpcm.wav"));
  TWaveFormatEx pcm16{1, 1, 16000, 32000, 2, 16, 0};
  EXPECT_EQ(Convert(ima, pcm16, out, 1 << 20), kConversion);
  AvSetModulePath_(nullptr);
}

}  // namespace
}  // namespace kvo
