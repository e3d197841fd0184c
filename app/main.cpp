// SPDX-License-Identifier: GPL-3.0-or-later
// kvopanoramics: the desktop program. "/shuffle" and "/uninst" runs are
// recognised here, before anything of the window system exists, so that
// automatic change at session start works with no display at all.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/Desktop.h"
#include "base/Basic.h"
#include "base/Errors.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "formats/ConForm.h"
#include "drive/Drive.h"
#include "platform/TextUtil.h"

namespace {

constexpr const char* kHelpText =
    "Usage: kvopanoramics [FILE...]\n"
    "       kvopanoramics /shuffle | /uninst\n"
    "Manages the startup and shut-down logos of a Windows 95 or 98 drive.\n"
    "\n"
    "  FILE...    pictures to add, or a gallery (.gal) to open, in the window\n"
    "  /shuffle   put random stored pictures on the drive as its logos, without\n"
    "             a window (what automatic change runs at log-in)\n"
    "  /uninst    turn automatic change off and restore the previous logos\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "Everything can also be done from a shell: see `kvo --help`.\n";

// "--help" and "--version" answer before anything is read or written, so
// asking the program what it is changes nothing.
bool AnswerInfoOption(const std::vector<std::string>& Args) {
  for (const std::string& arg : Args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelpText, stdout);
      return true;
    }
    if (arg == "--version") {
      std::printf("kvopanoramics (KvoPanoramics) %s\n", KVO_VERSION);
      return true;
    }
  }
  return false;
}

// The start sequence as it applies to every start: the settings and
// message files, the storage folder, and the Run value brought in line with
// AutoChange (so a moved program repairs its own autostart entry, and one
// left while automatic change is off goes), and the
// scratch files of runs that ended halfway removed. Then the
// switches; when one was recognised the run ends here without saving
// anything, since a command-line run leaves behind only what its action
// wrote.
int Run(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (AnswerInfoOption(args)) return 0;
  kvo::InstallSilentDialogs();
  {
    // The start and a switch's run are one operation on the drive (one
    // that writes, for the switches); the window's actions are each one
    // of their own.
    kvo::TDriveOperation operation(kvo::HasCommandSwitch(args));
    kvo::LoadSettings(true);
    kvo::RemoveLeftovers();
    if (kvo::ProcessCommandLine(args)) return 0;
  }
  return kvo::RunDesktop(argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
  int rc = 1;
  try {
    rc = Run(argc, argv);
  } catch (const std::exception& e) {
    // The runs swallow their own failures; this only guards the start-up.
    std::fprintf(stderr, "kvopanoramics: %s\n", kvo::PlainText(e.what()).c_str());
  }
  kvo::ConDone();
  kvo::BasicFinalize();
  kvo::ErrorsFinalize();
  return rc;
}
