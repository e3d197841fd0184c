// SPDX-License-Identifier: GPL-3.0-or-later
// The format registry, the dispatch, the movie interface and the unified
// source; and the golden battery of every BMP, TGA and PCX test file.
#include "formats/ConForm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "formats/FFBasic.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using test::kOk;
using test::TErr;

// ---- lookup ------------------------------------------------------------------------

TEST(FormatLookup, ExtensionsAreMatchedWholeAndWithoutCase) {
  EXPECT_EQ(FFGetFormatId("photo.BMP", FF_TABLE_READ), FF_BMP);
  EXPECT_EQ(FFGetFormatId("/some.dir/photo.Dib", FF_TABLE_READ), FF_BMP);
  EXPECT_EQ(FFGetFormatId("photo.bmp2", FF_TABLE_READ), INVALID_ID);
  EXPECT_EQ(FFGetFormatId("photo", FF_TABLE_READ), INVALID_ID);
  EXPECT_EQ(FFGetFormatId("/some.dir/photo", FF_TABLE_READ), INVALID_ID);
  EXPECT_EQ(FFGetFormatId("photo.", FF_TABLE_READ), INVALID_ID);
  // ".J" is in the JPEG row, but the extension is lower-cased first.
  EXPECT_EQ(FFGetFormatId("photo.J", FF_TABLE_READ), INVALID_ID);
  // A part of an extension is not an extension.
  EXPECT_EQ(FFGetFormatId("photo.jp", FF_TABLE_READ), INVALID_ID);
  EXPECT_EQ(FFGetFormatId("photo.mp", FF_TABLE_READ), INVALID_ID);
}

TEST(FormatLookup, TheTwoTablesDisagreeWhereTheyShould) {
  EXPECT_EQ(FFGetFormatId("song.mp2", FF_TABLE_READ), FF_MPEG);
  EXPECT_EQ(FFGetFormatId("song.mp2", FF_TABLE_WRITE), FF_MPA);
  EXPECT_EQ(FFGetFormatId("photo.jpe", FF_TABLE_READ), FF_JPEG);
  EXPECT_EQ(FFGetFormatId("photo.jpe", FF_TABLE_WRITE), INVALID_ID);
  EXPECT_EQ(FFGetFormatId("film.mpe", FF_TABLE_WRITE), INVALID_ID);
  EXPECT_EQ(FFGetFormatId("logo.rle", FF_TABLE_WRITE), INVALID_ID);
  EXPECT_EQ(FFGetFormatId("image.ppm", FF_TABLE_WRITE), FF_PNM);
  EXPECT_EQ(FFGetFormatId("image.pgm", FF_TABLE_WRITE), INVALID_ID);

  TFormatRow row;
  FFGetFormat("x.ras", row, FF_TABLE_READ);
  EXPECT_EQ(row.ShortName, "RGB");  // the Sun raster row's short name, as the table has it
  EXPECT_EQ(row.Flags, 0x09u);
  FFGetFormat("x.nothing", row, FF_TABLE_WRITE);
  EXPECT_EQ(row.Id, INVALID_ID);
  EXPECT_TRUE(row.Exts.empty());
}

TEST(FormatLookup, TablesHaveTheirRowsInOrder) {
  const int32_t read[] = {7, 4, 3, 5, 14, 13, 15, 2, 9, 6, 12, 8, 10, 11, 1, 16, 17, 11, 19};
  const int32_t write[] = {6, 3, 5, 7, 8, 2, 9, 1, 11, 12, 13, 14, 15, 10, 17, 18, 19};
  for (int i = 0; i < FF_READ_ROWS; ++i) EXPECT_EQ(FFReadRow(i)->Id, read[i]) << i;
  for (int i = 0; i < FF_WRITE_ROWS; ++i) EXPECT_EQ(FFWriteRow(i)->Id, write[i]) << i;
  EXPECT_EQ(FFReadRow(FF_READ_ROWS), nullptr);
  EXPECT_EQ(FFWriteRow(-1), nullptr);
  EXPECT_EQ(FFReadRowById(FF_MPA), nullptr);
}

TEST(FormatLookup, ConvExtMakesPatternsAndList) {
  std::string patterns, list;
  FFConvExt_(".bmp.dib.rle", patterns, list);
  EXPECT_EQ(patterns, "*.bmp;*.dib;*.rle");
  EXPECT_EQ(list, "bmp,dib,rle");
  FFConvExt_(".png", patterns, list);
  EXPECT_EQ(patterns, "*.png");
  EXPECT_EQ(list, "png");
  FFConvExt_("", patterns, list);
  EXPECT_EQ(patterns, "");
}

TEST(FormatLookup, OpenDialogFilterOfStillFormatsByLongName) {
  std::string f;
  FFMakeLoadFilter(1, FFL_LONG_NAMES, f);
  const std::string expected =
      "All supported formats|*.gif;*.giff;*.bmp;*.dib;*.rle;*.ras;*.sun;*.rgb;*.rgba;*.bw;*.sgi;"
      "*.pnm;*.ppm;*.pgm;*.pcx;*.png;*.jpg;*.jpeg;*.jif;*.jfif;*.jpe;*.J;*.tif;*.tiff;*.tga;"
      "*.bay;*.xpm;*.sys|"
      "BAY, Bayer Image|*.bay|"
      "BMP/DIB, Windows Device Independent Bitmap|*.bmp;*.dib;*.rle|"
      "GIF, Graphics Interchange Format|*.gif;*.giff|"
      "JPEG, Joint Photographic Experts Group|*.jpg;*.jpeg;*.jif;*.jfif;*.jpe;*.J|"
      "PCX, Zsoft Paintbrush|*.pcx|"
      "PNG, Portable Network Graphics|*.png|"
      "PNM, Portable Image|*.pnm;*.ppm;*.pgm|"
      "RAS, Sun Raster Image|*.ras;*.sun|"
      "RGB, Silicon Graphics Image|*.rgb;*.rgba;*.bw;*.sgi|"
      "SYS, Windows Logo Bitmap|*.sys|"
      "TGA, Truevision Targa|*.tga|"
      "TIFF, Tagged Image File Format|*.tif;*.tiff|"
      "XPM, X PixMap|*.xpm|"
      "Any file (*.*)|*.*";
  EXPECT_EQ(f, expected);
}

TEST(FormatLookup, FilterOptionsListExtensionsAndDropTheCatchAlls) {
  std::string f;
  FFMakeLoadFilter(4, FFL_LIST_EXTS | FFL_NO_ALL, f);  // sound rows, short names
  EXPECT_EQ(f, "MPA (mp3,mpa,mp2)|*.mp3;*.mpa;*.mp2|OGG (ogg)|*.ogg|WAV (wav)|*.wav|");
  // Mask 0 takes every row and the logo files: the "All" entry, two bars
  // each, "Any file".
  FFMakeLoadFilter(0, 0, f);
  EXPECT_EQ(std::count(f.begin(), f.end(), '|'), 2 + 2 * (FF_READ_ROWS + 1) + 1);
}

TEST(FormatLookup, WriterDepthTable) {
  EXPECT_EQ(FFWriterDepth(FF_BMP, 16), 24);
  EXPECT_EQ(FFWriterDepth(FF_BMP, 15), 15);
  EXPECT_EQ(FFWriterDepth(FF_HAV, 15), 16);
  EXPECT_EQ(FFWriterDepth(FF_PNG, 8), 8);
  EXPECT_EQ(FFWriterDepth(FF_PNG, 32), 24);
  EXPECT_EQ(FFWriterDepth(FF_JPEG, 8), 24);
  EXPECT_EQ(FFWriterDepth(FF_FLIC, 24), 8);
  EXPECT_EQ(FFWriterDepth(FF_TGA, 7), 24);  // "other" column
  EXPECT_EQ(FFWriterDepth(FF_WAV, 8), 0);
  EXPECT_EQ(FFWriterDepth(FF_GIF, 8), 0);  // no row
}

// ---- writer preparation ------------------------------------------------------------------

TEST(FormatWriters, FFInitConvertsOnlyWhenTheFormatAsks) {
  test::TTableCounts counts;
  TImg img;
  test::MakePicture(img, 5, 4, 15, [](int32_t X, int32_t Y, uint8_t* P) {
    P[0] = static_cast<uint8_t>(X * 3 + Y);
    P[1] = static_cast<uint8_t>(Y);
  });
  TFFInit ffi;
  EXPECT_EQ(test::Kept([&] { FFInit(FF_TGA, ffi, img); }), kOk);
  EXPECT_EQ(ffi.Img, &img);
  EXPECT_FALSE(ffi.TempUsed);
  FFDone(ffi);
  EXPECT_EQ(test::Kept([&] { FFInit(FF_PNG, ffi, img); }), kOk);
  ASSERT_TRUE(ffi.TempUsed);
  EXPECT_EQ(ffi.Img, &ffi.Temp);
  EXPECT_EQ(ffi.Img->BitsPerPixel, 24);
  FFDone(ffi);
  EXPECT_EQ(ffi.Img, nullptr);
  ImgFree(img);
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

TEST(FormatWriters, FFInitRefusesWhatNoWriterTakes) {
  TImg img;
  TFFInit ffi;
  EXPECT_EQ(test::Kept([&] { FFInit(FF_PNG, ffi, img); }), (TErr{EG_MVI2, 1}));  // not valid
  for (auto [w, h] : {std::pair{3, 10}, {10, 3}, {4097, 10}, {10, 4097}}) {
    test::MakePicture(img, w, h, 8, [](int32_t, int32_t, uint8_t* P) { *P = 0; });
    EXPECT_EQ(test::Kept([&] { FFInit(FF_PNG, ffi, img); }), (TErr{EG_MVI2, 1})) << w << "x" << h;
    ImgFree(img);
  }
  test::MakePicture(img, 4, 4, 8, [](int32_t, int32_t, uint8_t* P) { *P = 0; });
  EXPECT_EQ(test::Kept([&] { FFInit(FF_WAV, ffi, img); }), (TErr{EG_MVI2, 1}));
  EXPECT_EQ(test::Kept([&] { FFInit(FF_GIF, ffi, img); }), (TErr{EG_MVI2, 1}));
  EXPECT_EQ(test::Kept([&] { FFInit(FF_PNG, ffi, img); }), kOk);  // 4 x 4 is the smallest
  FFDone(ffi);
  ImgFree(img);
}

TEST(FormatWriters, WideBmpSkipsTheWriterLimitsThatPngHas) {
  test::TTempDir dir;
  TImg img;
  test::MakePicture(img, 5000, 4, 8, [](int32_t X, int32_t, uint8_t* P) { *P = X & 0xFF; });
  test::TTableCounts counts;
  EXPECT_EQ(test::SaveFile(dir.Path("wide.png"), img), (TErr{EG_MVI2, 1}));
  EXPECT_EQ(test::SaveFile(dir.Path("wide.bmp"), img), kOk);
  EXPECT_EQ(test::ReadWhole(dir.Path("wide.bmp")).size(), 54u + 1024u + 5000u * 4u);
  EXPECT_TRUE(counts.Same()) << counts.Describe();
  ImgFree(img);
}

// ---- dispatch ------------------------------------------------------------------------------

TEST(FormatDispatch, UnknownFormatsGetTheirEntryPointsAnswers) {
  test::TTempDir dir;
  std::string path = dir.Write("x.bmp", "BM");
  TImg img;
  TFileInfo info;
  test::TTableCounts counts;
  EXPECT_EQ(test::LoadFile(dir.Write("x.xyz", "data"), img), (TErr{EG_IMG, 2}));
  EXPECT_EQ(test::LoadFile(path, img, FF_FLIC), (TErr{EG_IMG, 2}));  // a movie format
  EXPECT_EQ(test::LoadFile(path, img, 0), (TErr{EG_IMG, 2}));
  EXPECT_EQ(test::LoadFile(path, img, 99), (TErr{EG_IMG, 2}));
  EXPECT_EQ(test::InfoFile(dir.Write("x.xyz", "data"), info), (TErr{EG_MVI2, 2}));
  EXPECT_EQ(test::InfoFile(path, info, FF_MPA), (TErr{EG_MVI2, 2}));  // writing table only
  test::MakePicture(img, 4, 4, 8, [](int32_t, int32_t, uint8_t* P) { *P = 1; });
  EXPECT_EQ(test::SaveFile(dir.Path("x.jpe"), img), (TErr{EG_IMG, 2}));
  EXPECT_EQ(test::SaveFile(dir.Path("x.gif"), img), (TErr{EG_IMG, 2}));
  EXPECT_EQ(test::SaveFile(dir.Path("x.bmp"), img, FF_WAV), (TErr{EG_IMG, 2}));
  ImgFree(img);
  EXPECT_EQ(test::SaveFile(dir.Path("y.bmp"), img), (TErr{EG_IMG, 9}));  // no pixels
  EXPECT_TRUE(counts.Same()) << counts.Describe();
  EXPECT_EQ(MonDepth(), 0);
}

TEST(FormatDispatch, FFInfoFillsTheSharedFields) {
  TFileInfo info;
  std::string dir = test::DataDir();
  ASSERT_EQ(test::InfoFile(dir + "bmp/bmpsuite/g/pal8.bmp", info), kOk);
  EXPECT_EQ(info.FormatId, FF_BMP);
  EXPECT_EQ(info.Description, "BMP/DIB, Windows Device Independent Bitmap");
  EXPECT_EQ(info.VideoCompression, "Uncompressed, full frames");
  EXPECT_EQ(info.AudioCompression, "PCM, uncompressed");
  EXPECT_EQ(info.FileSize, 9254);
  EXPECT_EQ(info.FrameCount, 1);
  ASSERT_EQ(test::InfoFile(dir + "bmp/bmpsuite/g/pal8rle.bmp", info), kOk);
  EXPECT_EQ(info.VideoCompression, "Run Length Encoding (RLE)");
  // The identifier given wins over the extension.
  EXPECT_EQ(test::InfoFile(dir + "bmp/bmpsuite/g/pal8.bmp", info, FF_PCX), (TErr{EG_IMG, 2}));
}

TEST(FormatDispatch, AFailedLoadLeavesNoStalePointerInThePicture) {
  test::TTempDir dir;
  TImg img;
  // An 8-bit PCX whose run-length data ends after 8 of its 16 pixels: the
  // picture is allocated before the decoder finds the data cut.
  test::TBytes b;
  b.U8(10).U8(5).U8(1).U8(8).U16(0).U16(0).U16(3).U16(3).Fill(65 - 12, 0).U8(1).U16(4);
  b.Fill(128 - b.Size(), 0).U8(0xC8).U8(5).U8(12).Fill(768, 0);
  EXPECT_EQ(test::LoadFile(dir.Write("cut.pcx", b.Str()), img), (TErr{EG_IMG, 3}));
  EXPECT_EQ(img.Data, nullptr);
  ImgFree(img);  // harmless
}

// ---- the unified source ----------------------------------------------------------------------

TEST(UnifiedSource, AFileUnderAnotherFormatsNameIsFoundByItsContent) {
  test::TTempDir dir;
  std::string bmp = test::ReadWhole(test::DataFile("bmp/bmpsuite/g/pal8.bmp"));
  ASSERT_FALSE(bmp.empty());
  for (const char* name : {"pal8.tga", "pal8.pcx", "pal8.png", "pal8.dib"}) {
    test::TTableCounts counts;
    TUniInfo info;
    ASSERT_TRUE(UniInfo(dir.Write(name, bmp), info, false)) << name;
    EXPECT_EQ(info.FormatId, FF_BMP) << name;
    EXPECT_EQ(info.Kind, UNI_STILL);
    EXPECT_EQ(info.Width, 127);
    EXPECT_EQ(info.Height, 64);
    EXPECT_TRUE(info.VideoValid && info.VideoLoadable);
    EXPECT_EQ(info.Description, "BMP/DIB, Windows Device Independent Bitmap");
    EXPECT_DOUBLE_EQ(info.VideoBytes, 127.0 * 64);
    EXPECT_TRUE(counts.Same()) << name << ": " << counts.Describe();
  }
  EXPECT_EQ(MonDepth(), 0);
}

TEST(UnifiedSource, AGifUnderABitmapsNameIsImportedAsGif) {
  test::TTempDir dir;
  std::string gif = test::ReadWhole(test::DataFile("gif/sdl/palette.gif"));
  std::string path = dir.Write("palette.bmp", gif);
  TUniInfo info;
  ASSERT_TRUE(UniInfo(path, info, false));
  EXPECT_EQ(info.FormatId, FF_GIF);
  EXPECT_EQ(info.Kind, UNI_STILL);  // one frame
  TUniFile uni;
  TImg img;
  EXPECT_EQ(test::Kept([&] {
              UniOpen(uni, info);
              UniImgLoad(uni, img, 1, 0);
              UniClose(uni);
            }),
            kOk);
  EXPECT_EQ(img.Width, 23);
  EXPECT_EQ(img.Height, 42);
  ImgFree(img);
  // The same bytes under a name no row knows are taken by their signature.
  ASSERT_TRUE(UniInfo(dir.Write("palette.pic", gif), info, false));
  EXPECT_EQ(info.FormatId, FF_GIF);
  ConDone();  // the GIF reader keeps the last file's frame positions until the end
}

// A name no row knows, on bytes without a signature (a TGA has none), is
// refused without offering the file to every reader.
TEST(UnifiedSource, AnExtensionInNoRowWithoutASignatureIsRefusedWithoutProbing) {
  test::TTempDir dir;
  std::string tga = test::ReadWhole(test::DataFile("tga/image-rs/top_left.tga"));
  ASSERT_EQ(FFFormatOfBytes({reinterpret_cast<const uint8_t*>(tga.data()), 32}, {}), INVALID_ID);
  TUniInfo info;
  EXPECT_FALSE(UniInfo(dir.Write("top_left.xyz", tga), info, false));
  EXPECT_TRUE(NoError());
  EXPECT_EQ(WarnGroup(), EG_FILE);
  EXPECT_EQ(WarnCode(), 9);
  EXPECT_FALSE(UniInfo(dir.Write("top_left", tga), info, false));
  EXPECT_TRUE(UniInfo(dir.Write("top_left.tga", tga), info, false));
}

TEST(UnifiedSource, NothingRecognisedIsDescribedAsInvalid) {
  test::TTempDir dir;
  TUniInfo info;
  test::TTableCounts counts;
  // Every probe fails, but that is no error of UniInfo: the file is simply
  // not valid, and the importer refuses it for that.
  EXPECT_TRUE(UniInfo(dir.Path("missing.bmp"), info, false));
  EXPECT_FALSE(info.VideoValid);
  EXPECT_FALSE(info.AudioValid);
  EXPECT_EQ(info.FormatId, FF_BMP);
  EXPECT_EQ(info.Kind, UNI_STILL);
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

TEST(UnifiedSource, StillPictureRoundTrip) {
  std::string file = test::DataFile("bmp/bmpsuite/g/rgb24.bmp");
  test::TTableCounts counts;
  TUniInfo info;
  ASSERT_TRUE(UniInfo(file, info, false));
  TUniFile uni;
  TImg img;
  EXPECT_EQ(test::Kept([&] {
              UniOpen(uni, info);
              UniImgLoad(uni, img, 1, 0);
            }),
            kOk);
  EXPECT_EQ(uni.CurFrame, 1);
  EXPECT_NE(uni.FrameFlag, 0);
  EXPECT_EQ(uni.TimePos, 0.0);
  EXPECT_EQ(img.BitsPerPixel, 24);
  EXPECT_EQ(test::Kept([&] { UniClose(uni); }), kOk);
  ImgFree(img);
  EXPECT_TRUE(counts.Same()) << counts.Describe();

  // A source that is not loadable is refused at the load.
  info.VideoLoadable = 0;
  EXPECT_EQ(test::Kept([&] {
              UniOpen(uni, info);
              UniImgLoad(uni, img, 1, 0);
            }),
            (TErr{EG_MVI, 5}));
  info.Kind = 2;
  EXPECT_EQ(test::Kept([&] { UniOpen(uni, info); }), (TErr{EG_UNI, 1}));
  uni.Info.Kind = 7;
  EXPECT_EQ(test::Kept([&] { UniClose(uni); }), (TErr{EG_UNI, 1}));
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

// ---- movies, through a scripted reader --------------------------------------------------------

// A stand-in movie reader: three frames of 4 x 2 pixels, 8 bits, each frame
// filled with its number. It opens the file so the tests see files released.
struct TFakeMovie {
  int32_t Handle;
  int32_t FrameCount;
  int32_t CurFrame;
  int32_t EndReached;
  int32_t FrameFlag;
};

void FakeOpen(void* S, const std::string& FileName) {
  auto* m = static_cast<TFakeMovie*>(S);
  FOpen(m->Handle, FileName, FM_READ);
  if (FSize(m->Handle) == 0) SetError(EG_MVI, 6, __LINE__);
  m->FrameCount = 3;
}

void FakeLoad(void* S, TImg& Img, int32_t Frame, int32_t) {
  auto* m = static_cast<TFakeMovie*>(S);
  m->CurFrame = Frame == 0 ? m->CurFrame + 1 : Frame;
  ImgAlloc(Img, 4, 2, 8);
  std::memset(Img.Data, m->CurFrame, 8);
  m->FrameFlag = -1;
  if (m->CurFrame == m->FrameCount) m->EndReached = -1;
}

void FakeClose(void* S) { FClose(static_cast<TFakeMovie*>(S)->Handle); }

void FakeView(void* S, TMviView& V) {
  auto* m = static_cast<TFakeMovie*>(S);
  V.FrameCount = &m->FrameCount;
  V.CurFrame = &m->CurFrame;
  V.EndReached = &m->EndReached;
  V.FrameFlag = &m->FrameFlag;
}

void FakeInfo(const std::string& FileName, TFileInfo& Info) {
  Monitored("test.FakeInfo", [&] {
    int32_t h = 0;
    FOpen(h, FileName, FM_READ);
    FClose(h);
    Info.Width = 4;
    Info.Height = 2;
    Info.BytesPerPixel = 1;
    Info.BitsPerPixel = 8;
    Info.FrameCount = 3;
    Info.FramesPerSecond = 2;
    Info.VideoValid = Info.VideoLoadable = -1;
  });
}

const TMviReader kFakeReader = {
    &TMviFile::FLC, "test.FakeMovie", sizeof(TFakeMovie), FakeOpen, FakeLoad, FakeClose, FakeView};

class MovieInterface : public ::testing::Test {
 protected:
  void SetUp() override { FFSetProcs_({FF_FLIC, nullptr, nullptr, FakeInfo, &kFakeReader}); }
  void TearDown() override { ConDone(); }
  test::TTempDir dir_;
};

TEST_F(MovieInterface, OpensLoadsFramesAndStopsAtTheEnd) {
  std::string file = dir_.Write("clip.flc", "frames");
  test::TTableCounts counts;
  TMviFile mf;
  TImg img;
  ASSERT_EQ(test::Kept([&] { MviOpen(mf, file, INVALID_ID); }), kOk);
  EXPECT_EQ(mf.type, FF_FLIC);
  EXPECT_NE(mf.FLC, nullptr);
  EXPECT_EQ(mf.GIF, nullptr);
  EXPECT_EQ(test::Kept([&] { MviImgLoad(mf, img, 4, 0); }), (TErr{EG_MVI, 7}));
  EXPECT_EQ(test::Kept([&] { MviImgLoad(mf, img, 2, 0); }), kOk);
  EXPECT_EQ(img.Data[0], 2);
  EXPECT_EQ(test::Kept([&] { MviImgLoad(mf, img, 0, 1); }), kOk);
  EXPECT_EQ(img.Data[0], 3);
  // The end is reached: further loads end silently and change nothing.
  EXPECT_EQ(test::Kept([&] { MviImgLoad(mf, img, 1, 0); }), kOk);
  EXPECT_EQ(img.Data[0], 3);
  EXPECT_EQ(test::Kept([&] { MviClose(mf); }), kOk);
  EXPECT_EQ(mf.FLC, nullptr);
  EXPECT_EQ(mf.type, 0);
  ImgFree(img);
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

TEST_F(MovieInterface, AFailedOpenReleasesTheStateAndTheFile) {
  test::TTableCounts counts;
  TMviFile mf;
  EXPECT_EQ(test::Kept([&] { MviOpen(mf, dir_.Write("empty.flc", ""), INVALID_ID); }),
            (TErr{EG_MVI, 6}));
  EXPECT_EQ(mf.FLC, nullptr);
  EXPECT_EQ(test::Kept([&] { MviOpen(mf, dir_.Path("missing.flc"), FF_FLIC); }),
            (TErr{EG_FILE, 1}));
  EXPECT_EQ(test::Kept([&] { MviOpen(mf, dir_.Write("x.bmp", "BM"), INVALID_ID); }),
            (TErr{EG_MVI, 1}));
  TImg img;
  EXPECT_EQ(test::Kept([&] { MviImgLoad(mf, img, 1, 0); }), (TErr{EG_MVI, 1}));  // not open
  EXPECT_EQ(test::Kept([&] { MviClose(mf); }), kOk);
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

TEST_F(MovieInterface, TheUnifiedSourceReadsMoviesThroughIt) {
  std::string file = dir_.Write("clip.flc", "frames");
  test::TTableCounts counts;
  TUniInfo info;
  ASSERT_TRUE(UniInfo(file, info, false));
  EXPECT_EQ(info.Kind, UNI_MOVIE);
  EXPECT_DOUBLE_EQ(info.VideoDuration, 1.5);
  EXPECT_DOUBLE_EQ(info.VideoBytes, 4.0 * 2 * 3);
  TUniFile uni;
  TImg img;
  ASSERT_EQ(test::Kept([&] {
              UniOpen(uni, info);
              UniImgLoad(uni, img, 3, 0);
            }),
            kOk);
  EXPECT_EQ(uni.CurFrame, 3);
  EXPECT_NE(uni.FrameFlag, 0);
  EXPECT_DOUBLE_EQ(uni.TimePos, 1.0);
  EXPECT_EQ(test::Kept([&] { UniClose(uni); }), kOk);
  ImgFree(img);
  EXPECT_TRUE(counts.Same()) << counts.Describe();
}

// ---- the golden battery ---------------------------------------------------------------------

struct TGoldenRow {
  const char* File;
  int Width, Height, Bits, Group, Code;
  uint64_t Hash;
};

const TGoldenRow kGolden[] = {
#include "tests/format_golden.inc"
};

TEST(FormatGolden, EveryBmpTgaPcxFileDecodesAsTheReferenceOrIsRefused) {
  const std::string root = test::DataDir();
  int decoded = 0, refused = 0;
  for (const TGoldenRow& row : kGolden) {
    SCOPED_TRACE(row.File);
    test::TTableCounts counts;
    TImg img;
    TErr e = test::LoadFile(root + row.File, img);
    EXPECT_EQ(test::ToString(e), test::ToString({row.Group, row.Code}));
    if (e == kOk && row.Group == 0) {
      ++decoded;
      EXPECT_EQ(img.Width, row.Width);
      EXPECT_EQ(img.Height, row.Height);
      EXPECT_EQ(test::Fnv1a(test::CanonicalRgb(img, row.Bits)), row.Hash);
    } else if (e != kOk) {
      ++refused;
    }
    ImgFree(img);
    EXPECT_TRUE(counts.Same()) << counts.Describe();
  }
  EXPECT_GT(decoded, 150);
  std::printf("golden: %d decoded as the reference, %d refused\n", decoded, refused);
}

// A few files decoded live by ImageMagick and Pillow, so the table's source
// stays honest.
TEST(FormatGolden, LiveDifferentialAgainstImageMagickAndPillow) {
  const std::string root = test::DataDir();
  for (const char* file :
       {"bmp/bmpsuite/g/pal8rle.bmp", "tga/truevision/ctc24.tga", "pcx/kimageformats/rgb.pcx",
        "tga/gdk-pixbuf/gtk-logo-cmap-rle-8bpp-top-right.tga"}) {
    SCOPED_TRACE(file);
    TImg img;
    ASSERT_EQ(test::LoadFile(root + file, img), kOk);
    int w = 0, h = 0;
    std::vector<uint8_t> ours = test::CanonicalRgb(img);
    EXPECT_EQ(test::MagickRgb(root + file, w, h), ours);
    EXPECT_EQ(w, img.Width);
    EXPECT_EQ(test::PillowRgb(root + file, w, h), ours);
    ImgFree(img);
  }
}

}  // namespace
}  // namespace kvo
