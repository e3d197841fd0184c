// SPDX-License-Identifier: GPL-3.0-or-later
// kvo info FILE... [--json]: each file as the format layer sees it.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "cli/Verbs.h"
#include "formats/FFBasic.h"

namespace kvo::cli {

namespace {

struct TInfoOptions {
  std::vector<std::string> Files;
  bool Json = false;
};

std::string ShortName(int32_t Id) {
  const TFormatRow* row = FFReadRowById(Id);
  return row ? row->ShortName : std::string("?");
}

std::string YesNo(int32_t Flag) { return Flag ? "yes" : "no"; }

std::string Grouped(int64_t V) {
  return NumToStr(static_cast<uint32_t>(std::max<int64_t>(V, 0)), 100);
}

std::string Fixed(double V, int Decimals) { return RealToStr(V, 0, Decimals); }

std::string SoundLine(const TUniInfo& U) {
  if (!U.AudioValid && U.AudioLength == 0) return "none";
  return Grouped(static_cast<int64_t>(U.SampleRate)) + " Hz, " + Fixed(U.Channels, 0) +
         " channel(s), " + Fixed(U.BitsPerSample, 0) + " bits, " + Grouped(U.AudioLength) +
         " sample frames (" + Fixed(U.AudioDuration, 2) + " s), " + U.AudioCompression +
         "; valid " + YesNo(U.AudioValid) + ", loadable " + YesNo(U.AudioLoadable);
}

void PrintText(const TUniInfo& U) {
  PrintPlain(stdout, "%s\n", U.FileName.c_str());
  PrintPlain(stdout, "  Format:       %s (%s)\n", U.Description.c_str(), ShortName(U.FormatId).c_str());
  PrintPlain(stdout, "  File size:    %s bytes\n", Grouped(U.FileSize).c_str());
  PrintPlain(stdout, "  Picture:      %d x %d x %d bits\n", U.Width, U.Height, U.BitsPerPixel);
  PrintPlain(stdout, "  Frames:       %d\n", U.FrameCount);
  if (U.FramesPerSecond > 0)
    PrintPlain(stdout, "  Frame rate:   %s per second (%s s)\n", Fixed(U.FramesPerSecond, 2).c_str(),
               Fixed(U.VideoDuration, 2).c_str());
  PrintPlain(stdout, "  Compression:  %s\n", U.VideoCompression.c_str());
  PrintPlain(stdout, "  Valid:        %s\n", YesNo(U.VideoValid).c_str());
  PrintPlain(stdout, "  Loadable:     %s\n", YesNo(U.VideoLoadable).c_str());
  PrintPlain(stdout, "  Sound:        %s\n", SoundLine(U).c_str());
}

std::string JsonObject(const TUniInfo& U) {
  auto num = [](double V) { return Fixed(V, V == static_cast<int64_t>(V) ? 0 : 4); };
  auto flag = [](int32_t F) { return std::string(F ? "true" : "false"); };
  std::string s = "{\"file\":" + JsonText(U.FileName);
  s += ",\"format\":" + JsonText(ShortName(U.FormatId));
  s += ",\"formatId\":" + std::to_string(U.FormatId);
  s += ",\"description\":" + JsonText(U.Description);
  s += ",\"fileSize\":" + std::to_string(U.FileSize);
  s += ",\"width\":" + std::to_string(U.Width) + ",\"height\":" + std::to_string(U.Height);
  s += ",\"bitsPerPixel\":" + std::to_string(U.BitsPerPixel);
  s += ",\"bytesPerPixel\":" + std::to_string(U.BytesPerPixel);
  s += ",\"frames\":" + std::to_string(U.FrameCount);
  s += ",\"framesPerSecond\":" + num(U.FramesPerSecond);
  s += ",\"compression\":" + JsonText(U.VideoCompression);
  s += ",\"valid\":" + flag(U.VideoValid) + ",\"loadable\":" + flag(U.VideoLoadable);
  s += ",\"sound\":{\"valid\":" + flag(U.AudioValid) + ",\"loadable\":" + flag(U.AudioLoadable);
  s += ",\"sampleRate\":" + num(U.SampleRate) + ",\"channels\":" + num(U.Channels);
  s += ",\"bitsPerSample\":" + num(U.BitsPerSample);
  s += ",\"length\":" + std::to_string(U.AudioLength);
  s += ",\"duration\":" + num(U.AudioDuration);
  s += ",\"compression\":" + JsonText(U.AudioCompression) + "}}";
  return s;
}

int RunInfo(const TInfoOptions& O) {
  int status = EXIT_OK;
  std::vector<std::string> objects;
  for (const std::string& file : O.Files) {
    TUniInfo u;
    std::string error;
    if (!DescribeFile(file, u, error)) {
      ReportError(file, error);
      if (O.Json)
        objects.push_back("{\"file\":" + JsonText(file) + ",\"error\":" + JsonText(error) + "}");
      status = EXIT_FAIL;
      continue;
    }
    // A file that holds neither a picture nor sound is described, but fails.
    if (!u.VideoValid && !u.AudioValid) status = EXIT_FAIL;
    if (O.Json)
      objects.push_back(JsonObject(u));
    else
      PrintText(u);
  }
  if (O.Json) {
    std::printf("[");
    for (size_t i = 0; i < objects.size(); ++i)
      std::printf("%s\n%s", i ? "," : "", objects[i].c_str());
    std::printf("%s]\n", objects.empty() ? "" : "\n");
  }
  return status;
}

}  // namespace

void AddInfoVerb(CLI::App& App, int& Status) {
  auto options = std::make_shared<TInfoOptions>();
  CLI::App* sub = App.add_subcommand(
      "info",
      "Describe each file as the format layer sees it: format, file size, picture "
      "geometry, frames, frame rate, compression, valid and loadable flags, sound");
  sub->add_option("FILE", options->Files, "Picture, movie or sound files")->required();
  sub->add_flag("--json", options->Json, "Print a JSON array of objects, one per file");
  sub->callback(
      [options, &Status] { Status = GuardVerb("info", [&] { return RunInfo(*options); }); });
}

}  // namespace kvo::cli
