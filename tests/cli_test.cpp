// SPDX-License-Identifier: GPL-3.0-or-later
// The kvo command, run as a program: conventions, info and convert on the
// test data files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "base/Errors.h"
#include "formats/ConForm.h"
#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using test::TErr;

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

// Runs kvo with Args; Prefix, when given, is the command that runs it.
TRun RunKvo(const std::vector<std::string>& Args, const test::TTempDir& Dir,
            const std::string& Prefix = "") {
  std::string cmd = Prefix + test::ShellQuoted(KVO_CLI_PATH);
  for (const std::string& a : Args) cmd += " " + test::ShellQuoted(a);
  cmd += " 2>" + test::ShellQuoted(Dir.Path("stderr.txt")) + " </dev/null";
  const test::TPipeRun run = test::RunShell(cmd);
  TRun r;
  r.Status = run.Status;
  r.Out = run.Out;
  r.Err = test::ReadWhole(Dir.Path("stderr.txt"));
  return r;
}

bool Has(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

// The files of a test-data folder, sorted, without the manifests.
std::vector<std::string> FilesUnder(const std::string& Folder) {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(Folder))
    if (e.is_regular_file()) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

class KvoCommand : public ::testing::Test {
 protected:
  test::TTempDir dir_;
  const std::string data_ = test::DataDir();
};

TEST_F(KvoCommand, HelpVersionAndUsageErrors) {
  TRun r = RunKvo({"--help"}, dir_);
  EXPECT_EQ(r.Status, 0);
  EXPECT_TRUE(Has(r.Out, "info") && Has(r.Out, "convert")) << r.Out;
  r = RunKvo({"info", "--help"}, dir_);
  EXPECT_EQ(r.Status, 0);
  EXPECT_TRUE(Has(r.Out, "--json")) << r.Out;
  r = RunKvo({"convert", "--help"}, dir_);
  EXPECT_EQ(r.Status, 0);
  EXPECT_TRUE(Has(r.Out, "--frame")) << r.Out;
  r = RunKvo({"--version"}, dir_);
  EXPECT_EQ(r.Status, 0);
  EXPECT_TRUE(Has(r.Out, "2.0.0")) << r.Out;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"frobnicate"},
                                               {"info"},
                                               {"convert", "a.bmp"},
                                               {"convert", "--frame", "0", "a.bmp", "b.bmp"},
                                               {"convert", "--frame", "x", "a", "b"},
                                               {"info", "--bogus", "a.bmp"}}) {
    r = RunKvo(args, dir_);
    EXPECT_EQ(r.Status, 2) << args[0] << " " << r.Err;
    EXPECT_FALSE(r.Err.empty());
  }
}

TEST_F(KvoCommand, InfoShowsEveryFieldOfTheDescription) {
  TRun r = RunKvo({"info", data_ + "bmp/bmpsuite/g/pal8rle.bmp"}, dir_);
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(r.Err.empty()) << r.Err;
  for (const char* want : {"Format:       BMP/DIB, Windows Device Independent Bitmap (BMP)",
                           "Picture:      127 x 64 x 8 bits", "Frames:       1",
                           "Compression:  Run Length Encoding (RLE)", "Valid:        yes",
                           "Loadable:     yes", "Sound:        none", " bytes"})
    EXPECT_TRUE(Has(r.Out, want)) << want << "\n" << r.Out;
  r = RunKvo({"info", "--json", data_ + "tga/truevision/ctc24.tga"}, dir_);
  ASSERT_EQ(r.Status, 0) << r.Err;
  for (const char* want :
       {"\"format\":\"TGA\"", "\"formatId\":1", "\"width\":128", "\"bitsPerPixel\":24",
        "\"frames\":1", "\"valid\":true", "\"loadable\":true",
        "\"compression\":\"Run Length Encoding (RLE)\"", "\"sound\":{\"valid\":false"})
    EXPECT_TRUE(Has(r.Out, want)) << want << "\n" << r.Out;
  EXPECT_EQ(r.Out.front(), '[');
}

TEST_F(KvoCommand, InfoReportsFailuresInTheSystemsTexts) {
  std::string missing = dir_.Path("missing.bmp");
  TRun r = RunKvo({"info", missing}, dir_);
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "kvo: " + missing + ": File not exist.\n");
  r = RunKvo({"info", dir_.Write("notes.xyz", "text")}, dir_);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Has(r.Err, "Invalid image format.")) << r.Err;
  // A picture the layer understands but cannot load is described (status 0).
  r = RunKvo({"info", data_ + "bmp/bmpsuite/g/pal4.bmp"}, dir_);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(Has(r.Out, "Loadable:     no")) << r.Out;
  // One bad file among good ones fails the run, the others are still shown.
  r = RunKvo({"info", "--json", missing, data_ + "pcx/kimageformats/rgb.pcx"}, dir_);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Has(r.Out, "\"error\":\"File not exist.\"")) << r.Out;
  EXPECT_TRUE(Has(r.Out, "\"format\":\"PCX\"")) << r.Out;
}

// Every test file, folder by folder: one JSON object per file, marked valid
// exactly when the format layer (in this process) finds it valid.
TEST_F(KvoCommand, InfoAgreesWithTheFormatLayerOnEveryTestFile) {
  for (const char* folder : {"bmp", "tga", "pcx", "png", "jpeg", "tiff", "xpm", "gif", "pnm", "ras",
                             "sgi", "flic", "avi", "wav", "bad"}) {
    SCOPED_TRACE(folder);
    std::vector<std::string> files = FilesUnder(data_ + folder);
    std::vector<std::string> args = {"info", "--json"};
    args.insert(args.end(), files.begin(), files.end());
    TRun r = RunKvo(args, dir_);
    bool allValid = true;
    size_t at = 0;
    for (const std::string& file : files) {
      TUniInfo u;
      const bool ok = UniInfo(file, u, false);
      const bool valid = ok && (u.VideoValid || u.AudioValid);
      allValid = allValid && valid;
      size_t start = r.Out.find("{\"file\":", at);
      ASSERT_NE(start, std::string::npos) << file;
      size_t end = r.Out.find('\n', start);
      std::string line = r.Out.substr(start, end - start);
      at = end;
      EXPECT_TRUE(Has(line, file)) << line;
      // The picture's flags come before the sound's, which read alike.
      const std::string video = line.substr(0, line.find(",\"sound\":"));
      EXPECT_EQ(Has(video, "\"valid\":true,\"loadable\""), valid && u.VideoValid) << line;
      if (valid) {
        EXPECT_TRUE(Has(line, "\"formatId\":" + std::to_string(u.FormatId) + ",")) << line;
      }
    }
    EXPECT_EQ(r.Status, allValid ? 0 : 1);
  }
}

TEST_F(KvoCommand, ConvertWritesTheFormatTheExtensionNames) {
  std::string out = dir_.Path("logo.bmp");
  TRun r = RunKvo({"convert", data_ + "tga/truevision/ucm8.tga", out}, dir_);
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(Has(r.Out, "128 x 128 x 8 bits, BMP")) << r.Out;
  EXPECT_EQ(test::ReadWhole(out).substr(0, 2), "BM");
  r = RunKvo({"convert", data_ + "bmp/bmpsuite/g/rgb24.bmp", dir_.Path("x.pcx")}, dir_);
  EXPECT_EQ(r.Status, 0) << r.Err;
  r = RunKvo({"convert", "--frame", "2", data_ + "bmp/bmpsuite/g/rgb24.bmp", dir_.Path("y.bmp")},
             dir_);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Has(r.Err, "End of movie reached.")) << r.Err;
  r = RunKvo({"convert", data_ + "bmp/bmpsuite/g/rgb24.bmp", dir_.Path("y.gif")}, dir_);
  EXPECT_EQ(r.Status, 1);
  // The type the name asks for is named, and the types that can be written.
  EXPECT_TRUE(Has(r.Err, "kvo: " + dir_.Path("y.gif") +
                             ": \".gif\" is not a type kvo can write; the output name must end in one "
                             "of: .bmp .jpg .pcx .png")) << r.Err;
  r = RunKvo({"convert", data_ + "bmp/bmpsuite/g/pal4.bmp", dir_.Path("y.bmp")}, dir_);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Has(r.Err, "Image format not supported.")) << r.Err;
  r = RunKvo({"convert", data_ + "bmp/bmpsuite/g/rgb24.bmp", dir_.Path("no/such/dir/y.bmp")}, dir_);
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Has(r.Err, "Cannot create file: ")) << r.Err;
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("y.bmp")));
}

TEST_F(KvoCommand, APictureTooLargeToLoadSaysItsSize) {
  test::TBytes b;  // a 24-bit bitmap header that asks for 2.7 GB of pixels
  b.U8('B').U8('M').U32(54).U32(0).U32(54).U32(40).U32(30000).U32(30000).U16(1).U16(24);
  const std::string file = dir_.Write("huge.bmp", b.Fill(24, 0).Str());
  TRun r = RunKvo({"info", file}, dir_);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(Has(r.Out, "Loadable:     no")) << r.Out;
  r = RunKvo({"convert", file, dir_.Path("out.bmp")}, dir_);
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "kvo: " + file + ": Picture too large (30000 \u00D7 30000).\n");
}

// Files padded far beyond their pictures, read by kvo under an address
// space limit of 400 MB: only what the pictures need is read.
TEST_F(KvoCommand, PaddedFilesAreReadNoFurtherThanTheirPicturesNeed) {
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer reserves terabytes of address space for its shadow, so
  // no address-space limit can hold a program built with it; the results
  // are still checked.
  const std::string limit;
#else
  const std::string limit = "prlimit --as=" + std::to_string(400 << 20) + " ";
#endif
  const std::string gif =
      dir_.Write("padded.gif", test::ReadWhole(data_ + "gif/pygif-suite/animation.gif"));
  const std::string xpm = dir_.Write("padded.xpm",
                                     "/* XPM */\nstatic char *x[] = {\n\"4 4 1 1\",\n"
                                     "\". c #FF0000\",\n\"....\",\n\"....\",\n\"....\",\n"
                                     "\"....\"\n};\n");
  // Sparse padding, which costs no disk: 1 GiB, and just past the largest
  // picture the readers allocate.
  ASSERT_EQ(::truncate(gif.c_str(), off_t{1} << 30), 0);
  ASSERT_EQ(::truncate(xpm.c_str(), FF_MAX_PICTURE_BYTES + 1), 0);
  // The last frame of the animation reads its own data, not the padding.
  TRun r = RunKvo({"convert", "--frame", "4", gif, dir_.Path("last.bmp")}, dir_, limit);
  EXPECT_EQ(r.Status, 0) << r.Err;
  // An XPM file larger than any picture needs is refused, not read.
  r = RunKvo({"info", xpm}, dir_, limit);
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "kvo: " + xpm + ": Cannot open image file.\n");
  r = RunKvo({"convert", xpm, dir_.Path("x.bmp")}, dir_, limit);
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "kvo: " + xpm + ": Cannot open image file.\n");
}

// Every test file that loads in this process converts with status 0, and
// every one that does not fails with status 1. BMP takes any size (the
// other writers only 4 to 4096 pixels a side), and the pictures come back
// from it as the same pixels (but for 32 bits, which BMP is read without).
TEST_F(KvoCommand, ConvertWorksOnEveryReadableTestFile) {
  int converted = 0;
  for (const char* folder : {"bmp", "tga", "pcx", "png", "jpeg", "tiff", "xpm", "bad"}) {
    std::vector<std::string> files = FilesUnder(data_ + folder);
    int failuresTried = 0;
    for (const std::string& file : files) {
      TUniInfo u;
      TImg img;
      bool readable = UniInfo(file, u, false) && u.VideoValid && u.VideoLoadable &&
                      test::LoadFile(file, img, u.FormatId) == test::kOk;
      // Failures are the same code path every time: a few per folder suffice.
      if (!readable && ++failuresTried > 5) continue;
      SCOPED_TRACE(file);
      std::string out = dir_.Path("out.bmp");
      std::filesystem::remove(out);
      TRun r = RunKvo({"convert", file, out}, dir_);
      EXPECT_EQ(r.Status, readable ? 0 : 1) << r.Err;
      if (readable && r.Status == 0) {
        ++converted;
        TImg back;
        const TErr want = img.BitsPerPixel == 32 ? TErr{EG_IMG, 1} : test::kOk;
        ASSERT_EQ(test::LoadFile(out, back), want);
        const int bits = back.BitsPerPixel == 15 ? 5 : 8;
        if (img.BitsPerPixel != 32) {
          EXPECT_EQ(test::CanonicalRgb(back, bits), test::CanonicalRgb(img, bits));
        }
        ImgFree(back);
      } else if (!readable) {
        EXPECT_TRUE(Has(r.Err, "kvo: ")) << r.Err;
      }
      ImgFree(img);
    }
  }
  EXPECT_GT(converted, 200);
}

// The usual private folder in the temporary folder taken first, by another
// user or by a link: an image is written all the same, through a folder the
// run makes for itself and removes at its end. Such folders that killed
// runs left go at the next start; a live run's stays.
TEST(KvoPrivateFolder, ATakenUsualPlaceIsNeverUsedNorInTheWay) {
  test::ScopedXdg xdg;
  auto q = [](const std::string& S) { return test::ShellQuoted(S); };
  auto sh = [](const std::string& Command) {
    return test::RunShell("MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 " + Command + " 2>&1 </dev/null");
  };
  const std::string dir = xdg.Root(), tmp = dir + "tmp/", img = dir + "w98.ima";
  const std::string mine = "kvopanoramics-" + std::to_string(::getuid()), usual = tmp + mine;
  const std::string live = mine + "-" + std::to_string(::getpid()) + "-Qw56Rt";
  ASSERT_EQ(sh("convert -size 320x400 gradient:navy-orange " + q(dir + "dawn.png") +
               " && mkfs.fat -F 12 -C " + q(img) + " 1440 >/dev/null && mmd -i " + q(img) + " ::WINDOWS && " +
               q(KVO_CLI_PATH) + " --drive " + q(img) + " add " + q(dir + "dawn.png"))
                .Status,
            0);
  const struct {
    const char* By;
    std::string Take;
  } rows[] = {
      {"another user", "mkdir " + q(usual) + " && chown 65534 " + q(usual)},
      {"a link", "mkdir -p " + q(dir + "elsewhere") + " && ln -s " + q(dir + "elsewhere") + " " + q(usual)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.By);
    ASSERT_EQ(sh("rm -rf " + q(tmp) + " && mkdir -p " + q(usual + "-999999999-Ab12Cd/mtools-home") + " " +
                 q(tmp + live) + " && touch " + q(usual + "-999999999-Ab12Cd/mtoolsrc") + " && " + row.Take)
                  .Status,
              0);
    const test::TPipeRun set = sh("env -u XDG_RUNTIME_DIR TMPDIR=" + q(tmp) + " " + q(KVO_CLI_PATH) +
                                  " --drive " + q(img) + " set Custom--dawn --wait");
    EXPECT_EQ(set.Status, 0) << set.Out;
    EXPECT_EQ(sh("mtype -i " + q(img) + " ::WINDOWS/LOGOW.SYS").Out.substr(0, 2), "BM");
    EXPECT_EQ(sh("ls -A " + q(usual + "/")).Out, "");
    EXPECT_EQ(sh("ls -A " + q(tmp)).Out, mine + "\n" + live + "\n");
  }
}

}  // namespace
}  // namespace kvo
