// SPDX-License-Identifier: GPL-3.0-or-later
// What Windows will really show: MSDOS.SYS read and switched by kvo on a
// folder drive and inside a disk image (made and checked by mkfs.fat and
// mtools), and the logo files other programs leave judged from their
// headers (written by ImageMagick, and by ourselves).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>

#include "core/Locations.h"
#include "core/LogoCheck.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

const std::string kTools = "MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 ";

std::string Q(const std::string& S) { return test::ShellQuoted(S); }

test::TPipeRun Sh(const std::string& Command) {
  return test::RunShell(kTools + Command + " 2>&1 </dev/null");
}

test::TPipeRun Kvo(const std::string& Drive, const std::string& Args) {
  return Sh(Q(KVO_CLI_PATH) + " --drive " + Q(Drive) + " " + Args);
}

// The ';' lines Windows ends MSDOS.SYS with, so that it stays over 1024
// bytes.
std::string Padding(const std::string& Eol) {
  std::string s = ";" + Eol + ";The following lines are required for compatibility with other programs." +
                  Eol + ";Do not remove them (MSDOS.SYS needs to be >1024 bytes)." + Eol;
  for (char c = 'a'; c <= 's'; ++c) s += ";" + std::string(69, 'x') + c + Eol;
  return s;
}

std::string Win98(const std::string& LogoLine) {
  return "[Paths]\r\nWinDir=C:\\WINDOWS\r\nWinBootDir=C:\\WINDOWS\r\nHostWinBootDrv=C\r\n\r\n"
         "[Options]\r\nBootMulti=1\r\nBootGUI=1\r\nDoubleBuffer=1\r\nAutoScan=1\r\nWinVer=4.10.2222\r\n" +
         LogoLine + Padding("\r\n");
}

std::string Win95(const std::string& Eol, const std::string& BootGui, const std::string& Added) {
  return "[Paths]" + Eol + "WinDir=C:\\WINDOWS" + Eol + "WinBootDir=C:\\WINDOWS" + Eol +
         "HostWinBootDrv=C" + Eol + Eol + "[Options]" + Eol + "BootGUI=" + BootGui + Eol +
         "Network=1" + Eol + Added + Padding(Eol);
}

// The start of the MS-DOS 6 kernel file: a jump, then binary data.
std::string DosKernel() {
  std::string s("\xe9\x73\x01\x00\x00\x00\x4d\x53\x44\x4f\x53", 11);
  for (int i = 0; i < 4000; ++i) s += static_cast<char>(i * 7);
  return s;
}

// Win98 with Logo=0, a ';' line filling it to Size bytes.
std::string Filled(size_t Size) {
  const std::string base = Win98("Logo=0\r\n");
  return base + ";" + std::string(Size - base.size() - 3, 'x') + "\r\n";
}

std::string LogoOn(std::string S) {
  S.replace(S.find("Logo=0"), 6, "Logo=1");
  return S;
}

struct TMsdosRow {
  const char* Name;
  std::string Text;  // MSDOS.SYS; "<none>" for a drive without one
  const char* Json;  // what kvo drive --json says of it
  int Status;        // of kvo drive logos off and on
  std::string Off, On;
};

class LogoCheckTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = xdg_.Root() + "vm/"; }
  test::TPipeRun M(const std::string& Tool, const std::string& Img, const std::string& Args) {
    return Sh(Tool + " -i " + Q(Img) + " " + Args);
  }
  test::ScopedXdg xdg_;
  std::string dir_;
};

TEST_F(LogoCheckTest, MsdosSysIsReadAndOnlyItsLogoValueSwitchedThenRestored) {
  const std::string none = "<none>";
  const TMsdosRow rows[] = {
      {"Windows 98, Logo=1", Win98("Logo=1\r\n"),
       R"("msdosSysForm": "text", "logo": 1, "bootGUI": 1,
 "logosShown": "all", "logoSetting": "Windows shows the logos.")",
       0, Win98("Logo=0\r\n"), Win98("Logo=1\r\n")},
      {"Windows 98, Logo=0", Win98("Logo=0\r\n"),
       R"("logo": 0, "bootGUI": 1,
 "logosShown": "not startup", "logoSetting": "Windows will not show the Startup logo: MSDOS.SYS has Logo=0.")",
       0, Win98("Logo=0\r\n"), Win98("Logo=1\r\n")},
      {"Windows 95, no Logo= (added after the last key)", Win95("\r\n", "1", ""),
       R"("logo": 1, "bootGUI": 1,)", 0, Win95("\r\n", "1", "Logo=0\r\n"), Win95("\r\n", "1", "")},
      {"BootGUI=0", Win95("\r\n", "0", ""),
       R"("logo": 1, "bootGUI": 0,
 "logosShown": "none", "logoSetting": "Windows starts at the command prompt (BootGUI=0): no logo is shown.")",
       0, Win95("\r\n", "0", "Logo=0\r\n"), Win95("\r\n", "0", "")},
      {"odd case and spacing, a commented key", "[paths]\r\nwindir=C:\\WIN95\r\n[options]\r\n;Logo=1\r\n  bootgui = 1 \r\n\tLOGO =  0  \r\n" + Padding("\r\n"),
       R"("logo": 0, "bootGUI": 1,)", 0,
       "[paths]\r\nwindir=C:\\WIN95\r\n[options]\r\n;Logo=1\r\n  bootgui = 1 \r\n\tLOGO =  0  \r\n" + Padding("\r\n"),
       "[paths]\r\nwindir=C:\\WIN95\r\n[options]\r\n;Logo=1\r\n  bootgui = 1 \r\n\tLOGO =  1  \r\n" + Padding("\r\n")},
      {"LF-only lines", Win95("\n", "1", ""), R"("logo": 1, "bootGUI": 1,)", 0,
       Win95("\n", "1", "Logo=0\n"), Win95("\n", "1", "")},
      {"no [Options] section", "[Paths]\r\nWinDir=C:\\WINDOWS\r\n" + Padding("\r\n"),
       R"("logo": 1, "bootGUI": 1,)", 0,
       "[Paths]\r\nWinDir=C:\\WINDOWS\r\n" + Padding("\r\n") + "[Options]\r\nLogo=0\r\n",
       "[Paths]\r\nWinDir=C:\\WINDOWS\r\n" + Padding("\r\n")},
      // The start-up stops reading at ^Z: a Logo=0 after it neither counts
      // nor is switched, and a Logo=0 added goes before it.
      {"Logo=0 after the end mark", Win98("") + "\x1a" + "Logo=0\r\n", R"("logo": 1, "bootGUI": 1,)", 0,
       Win98("Logo=0\r\n") + "\x1a" + "Logo=0\r\n", Win98("") + "\x1a" + "Logo=0\r\n"},
      {"the binary MS-DOS form", DosKernel(),
       R"("msdosSysForm": "not text", "logo": null, "bootGUI": null,
 "logosShown": "not known", )",
       1, DosKernel(), DosKernel()},
      {"64 KB", Filled(65536), R"("logo": 0, "bootGUI": 1,)", 0, Filled(65536), LogoOn(Filled(65536))},
      {"past 64 KB", Filled(65537), R"("msdosSysForm": "unreadable", "logo": null,)", 1, Filled(65537),
       Filled(65537)},
      {"no MSDOS.SYS", none, R"("msdosSysForm": "missing", "logo": null, "bootGUI": null,
 "logosShown": "not known", "logoSetting": "Whether Windows shows the logos is not known: the drive has no MSDOS.SYS.")",
       1, none, none},
  };
  int n = 0;
  for (const TMsdosRow& row : rows) {
    SCOPED_TRACE(row.Name);
    const std::string folder = dir_ + "c" + std::to_string(n) + "/";
    const std::string img = dir_ + "w" + std::to_string(n++) + ".ima";
    ASSERT_EQ(Sh("mkdir -p " + Q(folder + "WINDOWS") + " && mkfs.fat -F 12 -C " + Q(img) +
                 " 1440 >/dev/null && " + kTools + "mmd -i " + Q(img) + " ::WINDOWS").Status, 0);
    if (row.Text != none) {
      test::WriteWhole(folder + "MSDOS.SYS", row.Text);
      ASSERT_EQ(::chmod((folder + "MSDOS.SYS").c_str(), 0444), 0);
      ASSERT_EQ(Sh("cp " + Q(folder + "MSDOS.SYS") + " " + Q(dir_ + "put") + " && " + kTools + "mcopy -i " +
                   Q(img) + " " + Q(dir_ + "put") + " ::MSDOS.SYS && " + kTools + "mattrib -i " + Q(img) +
                   " +r +h +s ::MSDOS.SYS").Status, 0);
    }
    // What each drive holds now, with the image's attributes.
    auto onFolder = [&] { return row.Text == none ? none : test::ReadWhole(folder + "MSDOS.SYS"); };
    auto onImage = [&] {
      test::TPipeRun r = M("mtype", img, "::MSDOS.SYS");
      return r.Status == 0 ? r.Out : none;
    };
    for (const auto& [drive, read] : {std::pair{folder, std::function<std::string()>(onFolder)},
                                      std::pair{img, std::function<std::string()>(onImage)}}) {
      SCOPED_TRACE(drive);
      test::TPipeRun json = Kvo(drive, "drive --json");
      EXPECT_NE(json.Out.find(row.Json), std::string::npos) << json.Out;
      const std::pair<const char*, const std::string*> steps[] = {{"off", &row.Off}, {"on", &row.On}};
      for (const auto& [value, expected] : steps) {
        test::TPipeRun r = Kvo(drive, std::string("drive logos ") + value);
        EXPECT_EQ(r.Status, row.Status) << value << ": " << r.Out;
        EXPECT_EQ(read(), *expected) << value;
        if (drive == img && row.Text != none) {
          EXPECT_EQ(M("mattrib", img, "::MSDOS.SYS").Out.substr(0, 8), "  A  SHR") << value;
        }
        if (*expected == row.Text) continue;
        ASSERT_EQ(Kvo(drive, "restore").Status, 0);
        EXPECT_EQ(read(), row.Text) << "restored after " << value;
      }
    }
    if (row.Text != none) {
      struct stat st {};
      ASSERT_EQ(::stat((folder + "MSDOS.SYS").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0444u);
      EXPECT_EQ(M("mattrib", img, "::MSDOS.SYS").Out.substr(0, 8), "  A  SHR") << "kept by the restore";
    }
  }
  // The batch file run inside Windows lifts the attributes COPY cannot
  // write over, and puts them back.
  const test::TPipeRun bat = M("mtype", dir_ + "w0.ima", "::WINDOWS/LOGOS.BAK/RESTORE.BAT");
  EXPECT_NE(bat.Out.find("attrib -r -h -s \"C:\\MSDOS.SYS\"\r\n"
                         "copy \"C:\\WINDOWS\\LOGOS.BAK\\MSDOS1.SYS\" \"C:\\MSDOS.SYS\"\r\n"
                         "attrib +r +h +s \"C:\\MSDOS.SYS\"\r\n"),
            std::string::npos)
      << bat.Out;

  // A batch file that came with the drive puts nothing but a text MSDOS.SYS
  // from the backup folder in its place, and never deletes it.
  const std::string c0 = dir_ + "c0/", c0bat = c0 + "WINDOWS/logos.bak/restore.bat";
  test::WriteWhole(c0 + "WINDOWS/logos.bak/logo9.bmp", std::string("BM\0\0a program", 13));
  const std::string hostile = "copy \"C:\\WINDOWS\\logos.bak\\logo9.bmp\" \"C:\\MSDOS.SYS\"\r\n"
                              "del  \"C:\\MSDOS.SYS\"\r\n";
  test::WriteWhole(c0bat, test::ReadWhole(c0bat) + hostile);
  const test::TPipeRun restore = Kvo(c0, "restore");
  EXPECT_EQ(restore.Status, 0) << restore.Out;
  EXPECT_NE(restore.Out.find("were skipped:\ncopy \"C:\\WINDOWS\\logos.bak\\logo9.bmp\" \"C:\\MSDOS.SYS\"\n"
                             "del  \"C:\\MSDOS.SYS\""),
            std::string::npos)
      << restore.Out;
  EXPECT_EQ(test::ReadWhole(c0 + "MSDOS.SYS"), rows[0].Text);
}

TEST_F(LogoCheckTest, LogoFilesAreJudgedAsWindowsReadsThem) {
  const std::string root = dir_ + "c/", win = root + "WINDOWS/";
  const std::string gradient = "convert -size 320x400 gradient:navy-orange ";
  ASSERT_EQ(Sh("mkdir -p " + Q(win) + " && " + gradient + Q(dir_ + "dawn.png")).Status, 0);
  struct TRow {
    const char* Name;
    std::string Convert;  // the ImageMagick command that writes the file named last
    uint32_t Position;
    const char* Status;
  } rows[] = {
      {"24-bit BMP", gradient + "-type truecolor BMP3:", POS_STARTUP,
       "present, but Windows cannot show it: 24-bit picture"},
      {"RLE8 BMP", gradient + "-colors 256 -compress RLE BMP3:", POS_WAIT,
       "present, but Windows cannot show it: compressed"},
      {"640 x 480 8-bit BMP", "convert -size 640x480 gradient:navy-orange -colors 256 -compress none BMP3:",
       POS_TURNOFF, "present, but Windows cannot show it: 640 \u00d7 480"},
      {"a PNG named LOGO.SYS", gradient + "PNG:", POS_STARTUP, "present, but Windows cannot show it: not a bitmap"},
      {"16 colours", gradient + "-colors 16 -compress none BMP3:", POS_WAIT,
       "present, but Windows cannot show it: 4-bit picture"},
      {"version 5 header", gradient + "-colors 256 -compress none BMP:", POS_WAIT,
       "present, but Windows cannot show it: bitmap header of 124 bytes, not 40"},
      // 256 important colours: the whole palette stays still.
      {"8-bit 320 x 400, uncompressed", gradient + "-colors 256 -compress none BMP3:", POS_STARTUP,
       "present, not animated"},
      {"the same as a Wait logo", gradient + "-colors 256 -compress none BMP3:", POS_WAIT, "present"},
      {"no Startup logo", "", POS_STARTUP, "missing (Windows shows its own logo)"},
      {"no Turn off logo", "", POS_TURNOFF, "missing"},
  };
  std::unique_ptr<TDrive> drive = OpenFolderDrive(win, "");
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    const std::string file = DefaultLogoFile(*drive, row.Position);
    Sh("rm -f " + Q(file));
    if (!row.Convert.empty()) {
      ASSERT_EQ(Sh(row.Convert + Q(file)).Status, 0);
    }
    const TLogoFileState st = CheckLogoFile(*drive, row.Position);
    EXPECT_EQ(st.Text, row.Status);
    EXPECT_EQ(st.Showable, st.Text.starts_with("present") && st.Text.find("cannot") == std::string::npos);
  }

  // Windows' own Startup logo is the answer, not a failure.
  test::TPipeRun builtIn = Kvo(root, "preview --current " + Q(dir_ + "now.gif") + " --startup");
  EXPECT_EQ(builtIn.Status, 0);
  EXPECT_EQ(builtIn.Out, "There is no Startup logo file (C:\\logo.sys): Windows shows its built-in logo.\n");

  // Our own logos pass, the Startup logo moving; Set warns once that the
  // Startup logo will not be seen.
  test::WriteWhole(root + "MSDOS.SYS", Win98("Logo=0\r\n"));
  ASSERT_EQ(Kvo(root, "add " + Q(dir_ + "dawn.png")).Status, 0);
  test::TPipeRun set = Kvo(root, "set Custom--dawn --startup --wait --turnoff");
  EXPECT_EQ(set.Status, 0) << set.Out;
  const std::string warning = "kvo: warning: Windows will not show the Startup logo: MSDOS.SYS has Logo=0.\n";
  EXPECT_NE(set.Out.find(warning), std::string::npos) << set.Out;
  EXPECT_EQ(set.Out.find(warning), set.Out.rfind(warning));
  for (uint32_t p : POSITIONS) EXPECT_EQ(CheckLogoFile(*drive, p).Text, "present") << PositionCaption(p);
}

}  // namespace
}  // namespace kvo
