// SPDX-License-Identifier: GPL-3.0-or-later
// kvo convert [--frame N] IN OUT: picture N of any readable file, saved in
// the format OUT's extension names.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>

#include "base/Errors.h"
#include "cli/Verbs.h"
#include "formats/FFBasic.h"

namespace kvo::cli {

namespace {

struct TConvertOptions {
  std::string In;
  std::string Out;
  int32_t Frame = 1;
};

std::string WriteName(int32_t Id) {
  for (int i = 0; const TFormatRow* row = FFWriteRow(i); ++i)
    if (row->Id == Id) return row->ShortName;
  return "?";
}

// The extension of Name (from its last dot, in the last part of the
// path); empty when it has none.
std::string ExtensionOf(const std::string& Name) {
  const size_t slash = Name.rfind('/'), dot = Name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return Name.substr(dot);
}

// Why OUT cannot be written: the type its extension names is not one this
// program writes, and the types it does.
std::string UnwritableText(const std::string& Out) {
  std::string types;
  for (int i = 0; const TFormatRow* row = FFWriteRow(i); ++i) {
    const TFormatProcs* procs = FFProcs(row->Id);
    if (!procs || !procs->Save) continue;  // a movie or sound type
    const std::string& e = row->Exts;
    const size_t next = e.find('.', 1);
    types += (types.empty() ? "" : " ") + e.substr(0, next);
  }
  const std::string ext = ExtensionOf(Out);
  return (ext.empty() ? std::string("the name has no extension to tell the type to write")
                      : "\"" + ext + "\" is not a type kvo can write") +
         "; the output name must end in one of: " + types;
}

int RunConvert(const TConvertOptions& O) {
  TUniInfo info;
  std::string error;
  if (!DescribeFile(O.In, info, error)) {
    ReportError(O.In, error);
    return EXIT_FAIL;
  }
  if (!info.VideoValid) {  // sound only, or nothing understood
    ReportError(O.In, ErrorText(EG_IMG, 2));
    return EXIT_FAIL;
  }
  if (!info.VideoLoadable) {  // understood, but in a form or a size no reader here decodes
    ReportError(O.In, ErrorText(EG_IMG, UniRefusal(info)));
    return EXIT_FAIL;
  }
  if (O.Frame > std::max(info.FrameCount, 1)) {
    ReportError(O.In, ErrorText(EG_MVI, 7));
    return EXIT_FAIL;
  }
  const int32_t outId = FFGetFormatId(O.Out, FF_TABLE_WRITE);
  const TFormatProcs* procs = FFProcs(outId);
  if (!procs || !procs->Save) {  // found out before anything is loaded
    ReportError(O.Out, UnwritableText(O.Out));
    return EXIT_FAIL;
  }
  TImg img;
  TUniFile uni;
  const std::string* subject = &O.In;
  // One keeping frame: a failure anywhere releases what the steps acquired.
  MonitoredKeep("kvo.convert", [&] {
    UniOpen(uni, info);
    UniImgLoad(uni, img, O.Frame, 0);
    UniClose(uni);
    subject = &O.Out;
    ImgSave(O.Out, img, outId);
    PrintPlain(stdout, "%s -> %s (%d x %d x %d bits, %s)\n", O.In.c_str(), O.Out.c_str(), img.Width,
               img.Height, img.BitsPerPixel, WriteName(outId).c_str());
    ImgFree(img);
  });
  if (!NoError()) {
    ReportError(*subject, LastErrorText());
    return EXIT_FAIL;
  }
  return EXIT_OK;
}

}  // namespace

void AddConvertVerb(CLI::App& App, int& Status) {
  auto options = std::make_shared<TConvertOptions>();
  CLI::App* sub = App.add_subcommand(
      "convert",
      "Load picture N (default 1) of any readable file and save it in the format "
      "the output file's extension names");
  sub->add_option("--frame", options->Frame, "Picture (frame) number, from 1")
      ->check(CLI::Range(1, INT32_MAX));
  sub->add_option("IN", options->In, "File to read")->required();
  sub->add_option("OUT", options->Out, "File to write (.bmp, .png, .tga, .pcx, .tif, .jpg, ...)")
      ->required();
  sub->callback(
      [options, &Status] { Status = GuardVerb("convert", [&] { return RunConvert(*options); }); });
}

}  // namespace kvo::cli
