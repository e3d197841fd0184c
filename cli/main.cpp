// SPDX-License-Identifier: GPL-3.0-or-later
// kvo: the command-line companion of KvoPanoramics. Everything runs on the
// core library, with no display; results go to standard output, errors to
// standard error in the system's own texts.
//
// Exit status: 0 success, 1 failure, 2 usage error.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <sstream>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/VCLUtils.h"
#include "cli/Verbs.h"
#include "core/Locations.h"
#include "formats/ConForm.h"
#include "drive/Drive.h"

namespace {

// CLI11's own report of a parse (help, version, a usage error), printed
// plain like every other text: a usage error repeats the arguments given,
// which may be file names from anywhere.
int ExitWith(const CLI::App& App, const CLI::Error& E) {
  std::ostringstream out, err;
  const int rc = App.exit(E, out, err);
  kvo::cli::PrintPlain(stdout, "%s", out.str().c_str());
  kvo::cli::PrintPlain(stderr, "%s", err.str().c_str());
  return rc;
}

int Run(int argc, char** argv) {
  CLI::App app{
      "kvo - manage the Startup, \"Wait to shut down\" and \"Turn off\" logos of "
      "Windows 95 and 98, and the store of logo pictures",
      "kvo"};
  app.set_version_flag("--version", std::string("kvo (KvoPanoramics) ") + KVO_VERSION);
  app.footer(
      "The logos are written into the managed Windows drive: the disk image chosen with\n"
      "\"kvo drive set\", else the folder named by SystemRoot in\n"
      "$XDG_CONFIG_HOME/KvoPanoramics/registry.ini (a mounted Windows 98 drive works).");
  static std::string drive;
  app.add_option("--drive", drive,
                 "manage this folder or disk image (PATH[:PARTITION]) for this run only")
      ->each([](const std::string& Choice) { kvo::SetDriveOverride(Choice); });
  app.require_subcommand(0, 1);
  int status = kvo::cli::EXIT_OK;
  kvo::cli::AddInfoVerb(app, status);
  kvo::cli::AddConvertVerb(app, status);
  kvo::cli::AddStoreVerbs(app, status);
  kvo::cli::AddLogoVerbs(app, status);
  kvo::cli::AddGalleryVerbs(app, status);
  kvo::cli::AddDriveVerbs(app, status);
  kvo::cli::AddPreviewVerb(app, status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return ExitWith(app, e);
  } catch (const CLI::CallForAllHelp& e) {
    return ExitWith(app, e);
  } catch (const CLI::CallForVersion& e) {
    return ExitWith(app, e);
  } catch (const CLI::ParseError& e) {
    ExitWith(app, e);
    return kvo::cli::EXIT_USAGE;
  }
  if (app.get_subcommands().empty()) kvo::cli::PrintPlain(stdout, "%s", app.help().c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  kvo::InstallSilentDialogs();
  int rc = 0;
  {
    // The whole command is one operation on the drive.
    kvo::TDriveOperation operation;
    rc = Run(argc, argv);
  }
  kvo::ConDone();
  kvo::BasicFinalize();
  kvo::ErrorsFinalize();
  return rc;
}
