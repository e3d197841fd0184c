// SPDX-License-Identifier: GPL-3.0-or-later
// The AVI reader: the test data's movies and movies ffmpeg makes here, frame
// for frame against ffmpeg's own decoding (first, middle and last frames, a
// jump back, every frame of a movie with key frames and reordered frames in
// a shuffled order); the fallbacks (a codec nobody decodes, sound that
// cannot become PCM, no FFmpeg module at all); refusals and truncation; the
// movie interface, the kvo command on movies, and the MPEG and Ogg files
// that open without frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "formats/AvModule.h"
#include "formats/ConForm.h"
#include "formats/FF_AVI.h"
#include "formats/FF_MPG.h"
#include "formats/FF_OGG.h"
#include "platform/Folders.h"
#include "tests/AvTestSupport.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using test::kOk;
using test::TErr;
using TPixels = std::vector<uint8_t>;

// A small colour test pattern ffmpeg draws, N frames at 10 a second.
std::string Pattern(int W, int H, int N) {
  return "-f lavfi -i testsrc=size=" + std::to_string(W) + "x" + std::to_string(H) +
         ":rate=10:duration=" + std::to_string(N / 10.0);
}

// With Bits 5 both sides keep the top five bits of each component: 5-5-5
// frames are widened to 8 bits differently by different converters.
TPixels Cut(TPixels P, int Bits) {
  if (Bits < 8)
    for (uint8_t& v : P) v = static_cast<uint8_t>(v & (0xFF << (8 - Bits)));
  return P;
}

class AviTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ImgFree(img_);
    EXPECT_TRUE(counts_.Same()) << counts_.Describe();
  }
  std::string Make(const std::string& Name, const std::string& Input, const std::string& Options) {
    const std::string path = dir_.Path(Name);
    EXPECT_TRUE(test::FfmpegMake(path, Input, Options)) << Name;
    return path;
  }
  // Loads frame Frame (1-based) of an open movie and compares it with
  // ffmpeg's decoding of the same frame.
  void ExpectFrame(TAviFile& A, const std::string& Path, int32_t Frame, int Bits = 8) {
    SCOPED_TRACE("frame " + std::to_string(Frame));
    ASSERT_EQ(test::Kept([&] { AviImgLoad(A, img_, Frame, 0); }), kOk);
    EXPECT_EQ(A.CurFrame, Frame);
    const TPixels want = test::FfmpegFrameRgb(Path, Frame - 1);
    ASSERT_EQ(want.size(), size_t(img_.Width) * img_.Height * 3);
    EXPECT_TRUE(Cut(test::CanonicalRgb(img_), Bits) == Cut(want, Bits));
  }
  // Opens Path, checks its geometry, then the frames Frames in that order.
  void CheckMovie(const std::string& Path, int32_t W, int32_t H, int32_t Bits, int32_t Count,
                  const std::vector<int32_t>& Frames) {
    SCOPED_TRACE(Path);
    TAviFile a;
    ASSERT_EQ(test::Kept([&] { AviOpen(a, Path); }), kOk);
    EXPECT_EQ(a.Width, W);
    EXPECT_EQ(a.Height, H);
    EXPECT_EQ(a.BitsPerPixel, Bits);
    EXPECT_EQ(a.FrameCount, Count);
    EXPECT_TRUE(a.VideoOk);
    for (int32_t f : Frames) ExpectFrame(a, Path, f, Bits == 15 ? 5 : 8);
    EXPECT_EQ(test::Kept([&] { AviClose(a); }), kOk);
  }
  test::TTableCounts counts_;
  test::TTempDir dir_;
  TImg img_;
};

// ---- frames against ffmpeg ---------------------------------------------------------------

// The test data's movies: Microsoft Video 1 in 8 and 16 bits, Cinepak with PCM
// sound, two files cut short at 1 MiB (their headers promise more frames
// than they hold: the frames that are there load), and MPEG-4 with packed
// B-frames. Expected geometry from the test data's manifest. Three of them
// mark frames as key frames in their index that are coded against the frame
// before (pcitva15.avi its 66th, 67th and 121st, laracroft and toon nearly
// every frame; ffmpeg's own seeking shows those frames wrong too), so there
// the jump back goes to the first frame, and pcitva15 is not asked for a
// frame past its first false key frame out of order.
TEST_F(AviTest, TestMoviesDecodeAsFfmpegDecodesThem) {
  const std::string d = test::DataDir() + "avi/fate/";
  CheckMovie(d + "clock-cram16.avi", 148, 148, 15, 30, {1, 15, 30, 2});
  CheckMovie(d + "skating.avi", 160, 120, 8, 225, {1, 113, 225, 2});
  CheckMovie(d + "pcitva15.avi", 100, 75, 24, 152, {1, 30, 64, 2});
  CheckMovie(d + "laracroft-cinepak-partial.avi", 400, 187, 24, 326, {1, 40, 79, 1});
  CheckMovie(d + "toon.avi", 200, 100, 8, 2822, {1, 58, 116, 1});
  CheckMovie(d + "packed_bframes.avi", 544, 352, 24, 15, {1, 8, 15, 2});
}

TEST_F(AviTest, RatesAndSoundOfTheTestMovies) {
  const std::string d = test::DataDir() + "avi/fate/";
  TFileInfo fi;
  ASSERT_EQ(test::InfoFile(d + "clock-cram16.avi", fi), kOk);
  EXPECT_NEAR(fi.FramesPerSecond, 1e6 / 66738, 0.01);  // 66738 us a frame
  EXPECT_EQ(fi.VideoCompression, "(CRAM) Microsoft Video 1");
  EXPECT_EQ(fi.AudioValid, 0);
  ASSERT_EQ(test::InfoFile(d + "pcitva15.avi", fi), kOk);
  EXPECT_NEAR(fi.FramesPerSecond, 1e6 / 199122, 0.001);
  EXPECT_EQ(fi.VideoCompression, "(cvid) Cinepak");
  EXPECT_EQ(fi.Description, "AVI, Windows Audio Video Interleaved");
  // PCM is used as it is: 1 channel, 11025 Hz, 8 bits; the length is the
  // stream header's (ffprobe's nb_frames).
  EXPECT_TRUE(fi.AudioValid && fi.AudioLoadable);
  EXPECT_EQ(fi.AudioFormat.wFormatTag, 1);
  EXPECT_EQ(fi.AudioOutFormat.nSamplesPerSec, 11025u);
  EXPECT_EQ(fi.AudioOutFormat.nChannels, 1);
  EXPECT_EQ(fi.AudioOutFormat.wBitsPerSample, 8);
  EXPECT_EQ(fi.AudioLength, 333690);
  EXPECT_EQ(fi.AudioCompression, "(1) PCM, uncompressed");
  ASSERT_EQ(test::InfoFile(d + "toon.avi", fi), kOk);
  EXPECT_EQ(fi.FramesPerSecond, 8.0);
  EXPECT_EQ(fi.AudioOutFormat.nSamplesPerSec, 22050u);
}

// Movies ffmpeg makes in every codec the reader meets in old AVI files, at
// sizes whose rows need padding; the depth is the decoded frame's.
TEST_F(AviTest, MadeMoviesDecodeAsFfmpegDecodesThem) {
  CheckMovie(Make("raw.avi", Pattern(33, 17, 12), "-c:v rawvideo -pix_fmt bgr24"), 33, 17, 24, 12,
             {1, 6, 12, 2});
  CheckMovie(Make("pal.avi", Pattern(35, 20, 10), "-c:v rawvideo -pix_fmt pal8"), 35, 20, 8, 10,
             {1, 5, 10, 3});
  CheckMovie(Make("bmp.avi", Pattern(30, 18, 10), "-c:v bmp -pix_fmt pal8"), 30, 18, 8, 10,
             {1, 5, 10, 3});
  CheckMovie(Make("msvc.avi", Pattern(32, 24, 10), "-c:v msvideo1"), 32, 24, 15, 10,
             {1, 5, 10, 2});
  CheckMovie(Make("cvid.avi", Pattern(64, 48, 10), "-c:v cinepak"), 64, 48, 24, 10, {1, 5, 10, 2});
  CheckMovie(Make("mjpg.avi", Pattern(40, 30, 10), "-c:v mjpeg -q:v 3"), 40, 30, 24, 10,
             {1, 5, 10, 2});
}

// Key frames every 5 frames and B-frames held back for reordering: every
// frame, loaded in a shuffled order (backwards, forwards past key frames,
// the same frame twice), is the frame ffmpeg decodes at that place.
TEST_F(AviTest, AnyFrameInAnyOrder) {
  const std::string path =
      Make("gop.avi", Pattern(48, 32, 20), "-c:v mpeg4 -g 5 -bf 2 -q:v 4 -pix_fmt yuv420p");
  std::vector<TPixels> want;
  for (int k = 0; k < 20; ++k) want.push_back(test::FfmpegFrameRgb(path, k));
  TAviFile a;
  ASSERT_EQ(test::Kept([&] { AviOpen(a, path); }), kOk);
  ASSERT_EQ(a.FrameCount, 20);
  for (int32_t f : {1, 2, 3, 4, 5, 6, 7, 20, 19, 11, 12, 3, 3, 18, 6, 16, 1, 10, 9, 15}) {
    SCOPED_TRACE(f);
    ASSERT_EQ(test::Kept([&] { AviImgLoad(a, img_, f, 0); }), kOk);
    EXPECT_TRUE(test::CanonicalRgb(img_) == want[size_t(f - 1)]);
  }
  // Frame 0 is the next one.
  ASSERT_EQ(test::Kept([&] { AviImgLoad(a, img_, 0, 0); }), kOk);
  EXPECT_EQ(a.CurFrame, 16);
  EXPECT_TRUE(test::CanonicalRgb(img_) == want[15]);
  EXPECT_EQ(test::Kept([&] { AviClose(a); }), kOk);
}

// A movie with frames left out (ffmpeg's AVI writer marks them with empty
// chunks): the frame count includes them, and such a frame shows the frame
// before it, as a player shows it.
TEST_F(AviTest, AnEmptyFrameShowsTheFrameBefore) {
  const std::string path = Make("gap.avi", "-f lavfi -i testsrc=size=16x8:rate=10 -frames:v 10",
                                "-vf \"select='not(eq(n\\,3)+eq(n\\,4))'\" -fps_mode passthrough "
                                "-c:v rawvideo -pix_fmt bgr24");
  TAviFile a;
  ASSERT_EQ(test::Kept([&] { AviOpen(a, path); }), kOk);
  EXPECT_EQ(a.FrameCount, 12);
  const TPixels third = test::FfmpegFrameRgb(path, 2), next = test::FfmpegFrameRgb(path, 3);
  for (int32_t f : {4, 5, 3}) {
    ASSERT_EQ(test::Kept([&] { AviImgLoad(a, img_, f, 0); }), kOk);
    EXPECT_TRUE(test::CanonicalRgb(img_) == third) << f;
  }
  ASSERT_EQ(test::Kept([&] { AviImgLoad(a, img_, 6, 0); }), kOk);
  EXPECT_TRUE(test::CanonicalRgb(img_) == next);
  EXPECT_EQ(test::Kept([&] { AviClose(a); }), kOk);
}

// toon.avi changes its palette at its 60th and 61st frames (ffprobe shows
// palette side data on those packets): the flag is set for the first frame
// and where the palette changed, never for frames that kept it. With Flags
// bit 0 the frame already held is not loaded again.
TEST_F(AviTest, PaletteChangedFlagFollowsThePalette) {
  TAviFile a;
  ASSERT_EQ(test::Kept([&] { AviOpen(a, test::DataFile("avi/fate/toon.avi")); }), kOk);
  std::vector<int32_t> changed;
  for (int32_t f = 1; f <= 70; ++f) {
    ASSERT_EQ(test::Kept([&] { AviImgLoad(a, img_, 0, 1); }), kOk);
    if (a.PalChanged) changed.push_back(f);
  }
  EXPECT_EQ(changed, (std::vector<int32_t>{1, 60, 61}));
  ASSERT_EQ(test::Kept([&] { AviImgLoad(a, img_, 70, 1); }), kOk);
  EXPECT_EQ(a.PalChanged, 0);
  EXPECT_EQ(a.CurFrame, 70);
  EXPECT_EQ(test::Kept([&] { AviClose(a); }), kOk);
}

// ---- sound ---------------------------------------------------------------------------------

TEST_F(AviTest, SoundIsDescribedAsItsPcm) {
  const std::string pcm = Make("pcm.avi", Pattern(16, 16, 10) + " -f lavfi -i sine=r=22050:d=1",
                               "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le -ac 2 -shortest");
  TFileInfo fi;
  ASSERT_EQ(test::InfoFile(pcm, fi), kOk);
  EXPECT_TRUE(fi.AudioValid && fi.AudioLoadable);
  EXPECT_EQ(fi.AudioOutFormat.wBitsPerSample, 16);
  EXPECT_EQ(fi.AudioOutFormat.nChannels, 2);
  EXPECT_EQ(fi.AudioOutFormat.nBlockAlign, 4);
  EXPECT_EQ(fi.AudioLength, 22050);
  // IMA ADPCM becomes 16-bit PCM of the same rate and channels, as long as
  // the sound ffmpeg decodes from it.
  const std::string ima = Make("ima.avi", Pattern(16, 16, 10) + " -f lavfi -i sine=r=11025:d=1",
                               "-c:v rawvideo -pix_fmt bgr24 -c:a adpcm_ima_wav -shortest");
  ASSERT_EQ(test::InfoFile(ima, fi), kOk);
  EXPECT_TRUE(fi.AudioValid && fi.AudioLoadable);
  EXPECT_EQ(fi.AudioFormat.wFormatTag, 0x11);
  EXPECT_EQ(fi.AudioCompression, "(17) ADPCM IMA WAV");
  EXPECT_EQ(fi.AudioOutFormat.wFormatTag, 1);
  EXPECT_EQ(fi.AudioOutFormat.wBitsPerSample, 16);
  EXPECT_EQ(fi.AudioOutFormat.nSamplesPerSec, 11025u);
  EXPECT_EQ(fi.AudioOutFormat.nAvgBytesPerSec, 22050u);
  const size_t decoded = test::FfmpegSound(ima, "s16le").size() / 2;
  EXPECT_NEAR(fi.AudioLength, double(decoded), 1100.0);  // to one ADPCM block
  // The pictures are there all the same.
  EXPECT_TRUE(fi.VideoValid && fi.VideoLoadable);
  EXPECT_EQ(fi.FrameCount, 10);
}

// Sound in a format no decoder takes is left out with a warning; the
// pictures still open. A file with such sound and no pictures opens not.
TEST_F(AviTest, SoundThatCannotBecomePcmIsDropped) {
  std::string bytes = test::ReadWhole(
      Make("snd.avi", Pattern(16, 16, 10) + " -f lavfi -i sine=r=8000:d=1",
           "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_u8 -shortest"));
  const size_t strf = test::FindCode(bytes, "strf", 1);  // the sound's format
  ASSERT_NE(strf, std::string::npos);
  test::PokeU16(bytes, strf + 8, 0x7A7A);
  const std::string path = dir_.Write("odd.avi", bytes);
  TAviFile a;
  ASSERT_EQ(test::Kept([&] { AviOpen(a, path); }), kOk);
  EXPECT_EQ(WarnGroup(), EG_AVI);
  EXPECT_EQ(WarnCode(), 8);
  EXPECT_EQ(LastWarningText(),
            "AVI audio stream not valid (decompressor not found?), ignoring audio");
  EXPECT_EQ(a.HasAudio, 0);
  EXPECT_TRUE(a.VideoOk);
  ASSERT_EQ(test::Kept([&] { AviImgLoad(a, img_, 10, 0); }), kOk);
  EXPECT_EQ(test::Kept([&] { AviClose(a); }), kOk);
  TFileInfo fi;
  ASSERT_EQ(test::InfoFile(path, fi), kOk);
  EXPECT_EQ(fi.AudioValid, 0);
  EXPECT_EQ(fi.AudioCompression, "(31354) Unknown codec");

  std::string sound = test::ReadWhole(
      Make("sound.avi", "-f lavfi -i sine=r=8000:d=1", "-c:a pcm_u8"));
  TAviFile b;
  ASSERT_EQ(test::Kept([&] { AviOpen(b, dir_.Write("sound2.avi", sound)); }), kOk);
  EXPECT_TRUE(b.HasAudio);
  EXPECT_EQ(b.HasVideo, 0);
  EXPECT_EQ(test::Kept([&] { AviClose(b); }), kOk);
  test::PokeU16(sound, test::FindCode(sound, "strf") + 8, 0x7A7A);
  EXPECT_EQ(test::Kept([&] { AviOpen(b, dir_.Write("none.avi", sound)); }), (TErr{EG_AVI, 5}));
}

// ---- fallbacks and refusals ----------------------------------------------------------------

// A video codec no decoder takes: the stream is dropped but still gives
// its size and frame count; loading a frame fails; the import refuses it.
TEST_F(AviTest, AVideoCodecNobodyDecodesKeepsItsDescription) {
  std::string bytes =
      test::ReadWhole(Make("v.avi", Pattern(24, 20, 10), "-c:v rawvideo -pix_fmt bgr24"));
  const size_t strh = test::FindCode(bytes, "strh"), strf = test::FindCode(bytes, "strf");
  ASSERT_NE(strf, std::string::npos);
  bytes.replace(strh + 12, 4, "QQQQ");  // fccHandler
  bytes.replace(strf + 24, 4, "QQQQ");  // biCompression
  const std::string path = dir_.Write("q.avi", bytes);
  TAviFile a;
  ASSERT_EQ(test::Kept([&] { AviOpen(a, path); }), kOk);
  EXPECT_EQ(a.VideoOk, 0);
  EXPECT_EQ(a.Width, 24);
  EXPECT_EQ(a.Height, 20);
  EXPECT_EQ(a.BitsPerPixel, 24);
  EXPECT_EQ(a.FrameCount, 10);
  EXPECT_EQ(test::Kept([&] { AviImgLoad(a, img_, 1, 0); }), (TErr{EG_AVI, 1}));
  EXPECT_EQ(test::Kept([&] { AviClose(a); }), kOk);
  TUniInfo u;
  ASSERT_TRUE(UniInfo(path, u, false));
  EXPECT_EQ(u.FormatId, FF_AVI);
  EXPECT_TRUE(u.VideoValid);
  EXPECT_EQ(u.VideoLoadable, 0);
  EXPECT_EQ(u.VideoCompression, "(QQQQ) Unknown codec");
}

TEST_F(AviTest, CompressionTexts) {
  EXPECT_EQ(AviVideoText_(0, "raw video"), "(0) Full frames, uncompressed");
  EXPECT_EQ(AviVideoText_(0x20424944, "x"), "(DIB ) Full frames, uncompressed");
  EXPECT_EQ(AviVideoText_(0x20574152, ""), "(RAW ) Full frames, uncompressed");
  EXPECT_EQ(AviVideoText_(0x20424752, ""), "(RGB ) Full frames, uncompressed");
  EXPECT_EQ(AviVideoText_(0x64697663, "Cinepak"), "(cvid) Cinepak");
  EXPECT_EQ(AviVideoText_(0x0131, ""), "(1\?\?\?) Unknown codec");
}

TEST_F(AviTest, RefusedFiles) {
  const TErr cannotOpen{EG_AVI, 5};
  TAviFile a;
  EXPECT_EQ(test::Kept([&] { AviOpen(a, dir_.Path("missing.avi")); }), cannotOpen);
  EXPECT_EQ(test::Kept([&] { AviOpen(a, dir_.Write("empty.avi", "")); }), cannotOpen);
  // A picture under the name of a movie is no movie, whatever FFmpeg's
  // probing would make of it.
  const std::string png = test::DataFile("png/pngsuite/basn2c08.png");
  EXPECT_EQ(test::Kept([&] { AviOpen(a, dir_.Write("pic.avi", test::ReadWhole(png))); }),
            cannotOpen);
  const std::string movie =
      test::ReadWhole(Make("m.avi", Pattern(16, 16, 10), "-c:v rawvideo -pix_fmt bgr24"));
  EXPECT_EQ(test::Kept([&] { AviOpen(a, dir_.Write("head.avi", movie.substr(0, 60))); }),
            cannotOpen);
  // A video stream whose header counts no frames.
  std::string none = movie;
  const size_t strh = test::FindCode(none, "strh");
  test::PokeU32(none, strh + 8 + 32, 0);  // dwLength
  test::PokeU32(none, test::FindCode(none, "avih") + 8 + 16, 0);  // dwTotalFrames
  const TErr e = test::Kept([&] { AviOpen(a, dir_.Write("none.avi", none)); });
  if (e == kOk) {  // FFmpeg counted the frames from the index instead
    EXPECT_GT(a.FrameCount, 0);
    test::Kept([&] { AviClose(a); });
  } else {
    EXPECT_EQ(e, cannotOpen);
  }
  // Frames outside the movie.
  ASSERT_EQ(test::Kept([&] { AviOpen(a, dir_.Write("ok.avi", movie)); }), kOk);
  EXPECT_EQ(test::Kept([&] { AviImgLoad(a, img_, 11, 0); }), (TErr{EG_AVI, 1}));
  EXPECT_EQ(test::Kept([&] { AviImgLoad(a, img_, -1, 0); }), (TErr{EG_AVI, 1}));
  EXPECT_EQ(test::Kept([&] { AviClose(a); }), kOk);
  // A movie cut short: its header's frames beyond the cut fail to load.
  TAviFile t;
  ASSERT_EQ(test::Kept([&] { AviOpen(t, test::DataFile("avi/fate/toon.avi")); }), kOk);
  EXPECT_EQ(test::Kept([&] { AviImgLoad(t, img_, 500, 0); }), (TErr{EG_AVI, 1}));
  EXPECT_EQ(test::Kept([&] { AviImgLoad(t, img_, 3, 0); }), kOk);
  EXPECT_EQ(test::Kept([&] { AviClose(t); }), kOk);
}

// Every cut of a small movie with sound opens and loads its frames, or
// fails with an AVI error: never a crash, and nothing left behind.
TEST_F(AviTest, TruncatedMoviesFailCleanly) {
  const std::string movie =
      test::ReadWhole(Make("t.avi", Pattern(8, 8, 4) + " -f lavfi -i sine=r=8000:d=0.4",
                           "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_u8 -shortest"));
  ASSERT_GT(movie.size(), 1000u);
  const std::string path = dir_.Path("cut.avi");
  int opened = 0;
  for (size_t n = 0; n < movie.size(); n += 5) {
    test::WriteWhole(path, movie.substr(0, n));
    TAviFile a;
    const TErr e = test::Kept([&] {
      AviOpen(a, path);
      for (int32_t f = 1; f <= a.FrameCount; ++f) {
        MonKeepNext();
        AviImgLoad(a, img_, f, 0);
        ClearError();
      }
      AviClose(a);
    });
    if (e == kOk) ++opened;
    EXPECT_TRUE(e == kOk || e.Group == EG_AVI) << n << ": " << test::ToString(e);
    if (img_.Data && !MemValid(img_.Data)) img_ = TImg{};
    ImgFree(img_);
    ASSERT_TRUE(counts_.Same()) << n << ": " << test::ToString(e) << " " << counts_.Describe();
  }
  EXPECT_GT(opened, 0);
}

// Without the FFmpeg module an AVI file cannot be opened, and nothing
// fails worse than that.
TEST_F(AviTest, WithoutTheModuleMoviesDoNotOpen) {
  const std::string path = Make("m.avi", Pattern(16, 16, 10), "-c:v rawvideo -pix_fmt bgr24");
  AvSetModulePath_("/nonexistent/libkvoav.so");
  TAviFile a;
  EXPECT_EQ(test::Kept([&] { AviOpen(a, path); }), (TErr{EG_AVI, 5}));
  TUniInfo u;
  UniInfo(path, u, false);
  EXPECT_FALSE(u.VideoValid || u.AudioValid);
  AvSetModulePath_(nullptr);
  EXPECT_NE(AvProcs(), nullptr);
  EXPECT_EQ(test::Kept([&] { AviOpen(a, path); }), kOk);
  EXPECT_EQ(test::Kept([&] { AviClose(a); }), kOk);
}

// ---- through the movie layer and the kvo command -------------------------------------------

TEST_F(AviTest, MovieLayerAndUnifiedSource) {
  const std::string path = Make("u.avi", Pattern(20, 12, 10), "-c:v cinepak");
  TMviFile mf;
  ASSERT_EQ(test::Kept([&] { MviOpen(mf, path, INVALID_ID); }), kOk);
  ASSERT_NE(mf.AVI, nullptr);
  EXPECT_EQ(*mf.View.FrameCount, 10);
  ASSERT_EQ(test::Kept([&] { MviImgLoad(mf, img_, 4, 0); }), kOk);
  EXPECT_EQ(*mf.View.CurFrame, 4);
  EXPECT_TRUE(*mf.View.FrameFlag);
  EXPECT_EQ(test::Kept([&] { MviImgLoad(mf, img_, 11, 0); }), (TErr{EG_MVI, 7}));
  EXPECT_EQ(test::Kept([&] { MviClose(mf); }), kOk);

  TUniInfo u;
  ASSERT_TRUE(UniInfo(path, u, false));
  EXPECT_EQ(u.Kind, UNI_MOVIE);
  EXPECT_EQ(u.FrameCount, 10);
  EXPECT_NEAR(u.VideoDuration, 1.0, 1e-9);
  TUniFile uni;
  ASSERT_EQ(test::Kept([&] {
              UniOpen(uni, u);
              UniImgLoad(uni, img_, 10, 0);
              UniClose(uni);
            }),
            kOk);
  EXPECT_TRUE(test::CanonicalRgb(img_) == test::FfmpegFrameRgb(path, 9));
  // Under a wrong extension the probe still finds the movie.
  const std::string renamed = dir_.Write("movie.bmp", test::ReadWhole(path));
  ASSERT_TRUE(UniInfo(renamed, u, false));
  EXPECT_EQ(u.FormatId, FF_AVI);
}

// kvo info describes a movie, kvo convert --frame N saves frame N, and
// kvo add imports frame 1 into the store; a sound file is refused.
TEST_F(AviTest, TheKvoCommandOnMovies) {
  test::ScopedXdg xdg;
  Settings() = TSettings{};
  SetStorageDir(DefaultStorageDir());
  const std::string path = Make("clip.avi", Pattern(40, 32, 10) + " -f lavfi -i sine=r=8000:d=1",
                                "-c:v msvideo1 -c:a pcm_u8 -shortest");
  const std::string kvo = test::ShellQuoted(KVO_CLI_PATH);
  test::TPipeRun r = test::RunPipe(kvo + " info " + test::ShellQuoted(path));
  ASSERT_EQ(r.Status, 0) << r.Out;
  EXPECT_NE(r.Out.find("Picture:      40 x 32 x 15 bits"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("Compression:  (MSVC) Microsoft Video 1"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("Sound:        8,000 Hz, 1 channel(s), 8 bits, 8,000 sample frames"),
            std::string::npos)
      << r.Out;

  const std::string out = dir_.Path("f7.bmp");
  r = test::RunPipe(kvo + " convert --frame 7 " + test::ShellQuoted(path) + " " +
                    test::ShellQuoted(out));
  ASSERT_EQ(r.Status, 0) << r.Out;
  ASSERT_EQ(test::LoadFile(out, img_), kOk);
  EXPECT_TRUE(Cut(test::CanonicalRgb(img_), 5) == Cut(test::FfmpegFrameRgb(path, 6), 5));
  r = test::RunPipe(kvo + " convert --frame 11 " + test::ShellQuoted(path) + " " +
                        test::ShellQuoted(out),
                    dir_.Path("err.txt"));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(test::ReadWhole(dir_.Path("err.txt")).find("End of movie reached."), std::string::npos);

  r = test::RunPipe(kvo + " add " + test::ShellQuoted(path));
  EXPECT_EQ(r.Status, 0);
  EXPECT_TRUE(FileExists(GetStorageDir() + "Custom--clip.kvo"));
  const std::string wav = test::DataFile("wav/fate/Bells.wav");
  r = test::RunPipe(kvo + " add " + test::ShellQuoted(wav), dir_.Path("err.txt"));
  EXPECT_FALSE(FileExists(GetStorageDir() + "Custom--Bells.kvo"));
  EXPECT_NE(test::ReadWhole(dir_.Path("err.txt")).find("Format not supported (\"Bells.wav\")"),
            std::string::npos);
}

// No program links FFmpeg: it is loaded only when a movie or sound needs it.
TEST_F(AviTest, TheProgramsDoNotLinkFfmpeg) {
  for (const char* program : {KVO_CLI_PATH, KVO_APP_PATH}) {
    const test::TPipeRun r = test::RunPipe("ldd " + test::ShellQuoted(program));
    ASSERT_EQ(r.Status, 0) << program;
    EXPECT_EQ(r.Out.find("libavcodec"), std::string::npos) << program;
    EXPECT_EQ(r.Out.find("libavformat"), std::string::npos) << program;
  }
}

// ---- MPEG and Ogg --------------------------------------------------------------------------

TEST_F(AviTest, MpegAndOggFilesOpenWithoutFrames) {
  const std::string mpg =
      Make("x.mpg", "-f lavfi -i testsrc=size=32x32:rate=25:duration=0.4", "-c:v mpeg1video");
  TMviFile mf;
  ASSERT_EQ(test::Kept([&] { MviOpen(mf, mpg, INVALID_ID); }), kOk);
  EXPECT_EQ(mf.type, FF_MPEG);
  EXPECT_EQ(*mf.View.FrameCount, 0);
  EXPECT_EQ(test::Kept([&] { MviImgLoad(mf, img_, 1, 0); }), (TErr{EG_MVI, 7}));
  EXPECT_EQ(img_.Data, nullptr);
  EXPECT_EQ(test::Kept([&] { MviClose(mf); }), kOk);
  TFileInfo fi;
  ASSERT_EQ(test::InfoFile(mpg, fi), kOk);
  EXPECT_EQ(fi.Description, "MPEG, Moving Pictures Experts Group");
  EXPECT_EQ(fi.VideoValid, 0);
  EXPECT_EQ(fi.FrameCount, 0);
  // MPEG audio is read by the MPEG reader.
  ASSERT_EQ(test::Kept([&] { MviOpen(mf, dir_.Write("song.mp3", "ID3"), INVALID_ID); }), kOk);
  EXPECT_EQ(mf.type, FF_MPEG);
  EXPECT_EQ(test::Kept([&] { MviClose(mf); }), kOk);

  const std::string ogg = dir_.Write("x.ogg", "OggS");
  ASSERT_EQ(test::Kept([&] { MviOpen(mf, ogg, INVALID_ID); }), kOk);
  EXPECT_EQ(*mf.View.FrameCount, 0);
  EXPECT_TRUE(mf.View.HasSound);
  EXPECT_EQ(test::Kept([&] { MviImgLoad(mf, img_, 1, 0); }), (TErr{EG_MVI, 7}));
  EXPECT_EQ(test::Kept([&] { MviClose(mf); }), kOk);
  ASSERT_EQ(test::InfoFile(ogg, fi), kOk);
  EXPECT_EQ(fi.Description, "OGG, Ogg Vorbis Audio");
  EXPECT_EQ(fi.AudioValid, 0);
}

}  // namespace
}  // namespace kvo
