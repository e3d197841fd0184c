// SPDX-License-Identifier: GPL-3.0-or-later
// kvo preview: a logo as Windows shows it, written as an animated GIF that
// can be looked at (or shared) without starting the virtual machine.
#include <algorithm>
#include <cstdio>

#include "base/Basic.h"
#include "base/Errors.h"
#include "cli/Verbs.h"
#include "core/Locations.h"
#include "core/LogoCheck.h"
#include "core/LogoPreview.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "platform/TextUtil.h"

namespace kvo::cli {
namespace {

struct TPreviewArgs {
  std::string Name;  // the stored picture, or with --current the GIF file
  std::string Out;
  bool Current = false;
  bool Startup = false, Wait = false, TurnOff = false;
  int Scale = 1;
};

// The logo to export: the stored picture composed for Position, or the
// logo file now in place there. False with the reason on standard error.
bool LogoToExport(const TPreviewArgs& A, uint32_t Position, TImg& Img, int32_t& Important) {
  if (A.Current) {
    MonitoredKeep("kvo.preview.LoadCurrentLogo",
                  [&] { LoadCurrentLogo(Position, Img, Important); });
    if (NoError()) return true;
    ReportError(PositionCaption(Position), LastErrorText());
    ClearError();
    return false;
  }
  const int32_t i = FindStored(A.Name);
  if (i == INVALID_ID) {
    ReportError(A.Name, "no such stored picture in " + GetStorageDir());
    return false;
  }
  const std::string path = GetStorageDir() + LogoList().Entries[static_cast<size_t>(i)].FileName;
  if (ComposeStoredLogo(path, Position, Img, Important)) return true;
  ReportError(path, "the stored picture cannot be read");
  return false;
}

// Whether Name ends in ".gif" in any letter case: the one type the
// preview writes, so the file is what its name says.
bool GifName(const std::string& Name) {
  const size_t slash = Name.rfind('/');
  const std::string base = slash == std::string::npos ? Name : Name.substr(slash + 1);
  return base.size() > 4 && SameText(std::string_view(base).substr(base.size() - 4), ".gif");
}

int PreviewVerb(const TPreviewArgs& A) {
  if (!GifName(A.Out)) {
    ReportError(A.Out, "the preview is an animated GIF and is written only to a name ending in "
                       ".gif; use kvo convert for other types");
    return EXIT_FAIL;
  }
  ReadSettings(true);
  LoadLogoList();
  const uint32_t position = A.Wait ? POS_WAIT : A.TurnOff ? POS_TURNOFF : POS_STARTUP;
  // Without a file of its own, Windows shows the logo it was built with:
  // that is the answer, not a failure.
  if (A.Current) {
    const std::string note = BuiltInLogoNote(position);
    if (!note.empty()) {
      PrintPlain(stdout, "%s\n", note.c_str());
      return EXIT_OK;
    }
  }
  TImg img;
  int32_t important = ANIM_NONE;
  if (!LogoToExport(A, position, img, important)) {
    ImgFree(img);
    return EXIT_FAIL;
  }
  MonitoredKeep("kvo.preview.SaveAnimGif",
                [&] { SaveAnimGif(A.Out, img, important, AnimStepsPerSecond(), A.Scale); });
  const int32_t frames = std::max(1, AnimCycleLength(img, important));
  ImgFree(img);
  if (!NoError()) {
    ReportError(A.Out, LastErrorText());
    ClearError();
    return EXIT_FAIL;
  }
  PrintPlain(stdout, "%s: %d frame%s\n", A.Out.c_str(), frames, frames == 1 ? "" : "s");
  return EXIT_OK;
}

}  // namespace

void AddPreviewVerb(CLI::App& App, int& Status) {
  auto* sub = App.add_subcommand("preview",
                                 "write a logo as Windows shows it, moving, as an animated GIF");
  sub->footer(
      "kvo preview NAME OUT.gif [--startup|--wait|--turnoff] [--scale 1|2]\n"
      "  the stored picture NAME composed as \"kvo set\" would write it there\n"
      "kvo preview --current OUT.gif [--startup|--wait|--turnoff]\n"
      "  the logo file now in place\n"
      "One cycle of the palette animation, one frame a step, looping for ever.");
  static TPreviewArgs a;
  sub->add_option("NAME", a.Name, "stored picture, with or without .kvo (not with --current)");
  sub->add_option("OUT", a.Out, "the GIF file to write");
  sub->add_flag("--current", a.Current, "the logo file now in place instead of a stored picture");
  auto* s = sub->add_flag("--startup", a.Startup, "the \"Startup\" logo (the default)");
  auto* w = sub->add_flag("--wait", a.Wait, "the \"Wait to shut down\" logo");
  auto* t = sub->add_flag("--turnoff", a.TurnOff, "the \"Turn off\" logo");
  s->excludes(w)->excludes(t);
  w->excludes(t);
  sub->add_option("--scale", a.Scale, "1: 320 x 400 (the default), 2: 640 x 800")
      ->check(CLI::IsMember({1, 2}));
  sub->callback([&Status] {
    // With --current the one file named is the GIF.
    if (a.Current && a.Out.empty()) std::swap(a.Name, a.Out);
    if (a.Out.empty() || (a.Current && !a.Name.empty())) {
      ReportError("preview", a.Current ? "give the GIF file alone with --current"
                                       : "give a stored picture and the GIF file");
      Status = EXIT_USAGE;
      return;
    }
    Status = GuardVerb("preview", [] { return PreviewVerb(a); });
  });
}

}  // namespace kvo::cli
