// SPDX-License-Identifier: GPL-3.0-or-later
// kvo drive [--json]: the managed Windows drive, a folder or a disk image;
// kvo drive set PATH[:PARTITION]: choose it and remember the choice;
// kvo drive logos on|off: switch the Startup logo in its MSDOS.SYS.
#include <cstdio>

#include "base/VCLUtils.h"
#include "cli/Verbs.h"
#include "core/Locations.h"
#include "core/LogoCheck.h"
#include "core/Settings.h"

namespace kvo::cli {
namespace {

std::string Megabytes(uint64_t Bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(Bytes) / (1024.0 * 1024.0));
  return buf;
}

std::vector<TLogoFileState> LogoStates(TDrive& Drive) {
  std::vector<TLogoFileState> states;
  for (uint32_t p : POSITIONS) states.push_back(CheckLogoFile(Drive, p));
  return states;
}

const char* ShowingJson(TLogoShowing S) {
  switch (S) {
    case TLogoShowing::All: return "\"all\"";
    case TLogoShowing::NoStartup: return "\"not startup\"";
    case TLogoShowing::None: return "\"none\"";
    case TLogoShowing::NotKnown: break;
  }
  return "\"not known\"";
}

const char* FormJson(TMsdosForm F) {
  switch (F) {
    case TMsdosForm::Missing: return "\"missing\"";
    case TMsdosForm::Text: return "\"text\"";
    case TMsdosForm::NotText: return "\"not text\"";
    case TMsdosForm::Unreadable: break;
  }
  return "\"unreadable\"";
}

// The MSDOS.SYS fields: its form, the two switches as Windows takes them
// (null when not known) and the sentence for the user.
void PrintSettingJson(TDrive& Drive, const TLogoSetting& S) {
  const bool known = S.Msdos.Form == TMsdosForm::Text;
  std::printf(" \"msdosSys\": %s, \"msdosSysForm\": %s, \"logo\": %s, \"bootGUI\": %s,\n"
              " \"logosShown\": %s, \"logoSetting\": %s,\n",
              JsonText(GuestPath(Drive, S.Path)).c_str(), FormJson(S.Msdos.Form),
              known ? std::to_string(S.Msdos.Logo).c_str() : "null",
              known ? std::to_string(S.Msdos.BootGui).c_str() : "null", ShowingJson(S.Showing),
              JsonText(S.Text).c_str());
}

std::string JsonList(const std::vector<std::string>& Items) {
  std::string list = "[";
  for (size_t i = 0; i < Items.size(); ++i) list += (i ? ", " : "") + JsonText(Items[i]);
  return list + "]";
}

std::string VolumeJson(const TVolumeInfo& V) {
  return "{\"partition\": " + std::to_string(V.Number) + ", \"offset\": " + std::to_string(V.Offset) +
         ", \"size\": " + std::to_string(V.Size) + ", \"type\": " + std::to_string(V.Type) +
         ", \"fileSystem\": " + JsonText(V.FileSystem) + ", \"label\": " + JsonText(V.Label) + "}";
}

void PrintJson(TDrive& Drive, const TDriveInfo& I) {
  std::printf("{\"kind\": %s, \"path\": %s, \"format\": %s, \"partition\": %d, \"fileSystem\": %s,\n",
              JsonText(I.Kind).c_str(), JsonText(I.Path).c_str(), JsonText(I.Layout.Format).c_str(),
              I.Partition, JsonText(I.FileSystem).c_str());
  // The files the image is made of besides itself, as checked.
  std::printf(" \"backingChain\": %s, \"backingFormats\": %s, \"files\": %s, \"chain\": %s,\n",
              JsonList(I.Layout.BackingChain).c_str(), JsonList(I.Layout.BackingFormats).c_str(),
              JsonList(I.Layout.Files).c_str(), JsonText(I.Layout.ChainText).c_str());
  std::printf(" \"windowsFolder\": %s, \"windowsFolderFound\": %s, \"error\": %s,\n \"partitions\": [",
              JsonText(GuestPath(Drive, I.WinFolder)).c_str(), I.WinFolderFound ? "true" : "false",
              JsonText(I.Error).c_str());
  for (size_t i = 0; i < I.Layout.Volumes.size(); ++i)
    std::printf("%s%s", i ? ", " : "", VolumeJson(I.Layout.Volumes[i]).c_str());
  std::printf("],\n");
  if (I.Error.empty()) PrintSettingJson(Drive, ReadLogoSetting(Drive));
  std::printf(" \"logos\": [");
  if (I.Error.empty()) {
    std::vector<TLogoFileState> logos = LogoStates(Drive);
    for (size_t i = 0; i < logos.size(); ++i)
      std::printf("%s{\"position\": %s, \"path\": %s, \"present\": %s, \"showable\": %s, \"status\": %s}",
                  i ? ", " : "", JsonText(PositionCaption(logos[i].Position)).c_str(),
                  JsonText(GuestPath(Drive, logos[i].Path)).c_str(), logos[i].Present ? "true" : "false",
                  logos[i].Showable ? "true" : "false", JsonText(logos[i].Text).c_str());
  }
  std::printf("]}\n");
}

void PrintText(TDrive& Drive, const TDriveInfo& I) {
  PrintPlain(stdout, "Drive: %s %s\n", I.Kind.c_str(), I.Path.c_str());
  if (!I.Layout.Format.empty()) {
    PrintPlain(stdout, "Format: %s\n", FormatText(I.Layout).c_str());
    for (const TVolumeInfo& v : I.Layout.Volumes)
      PrintPlain(stdout, "%s partition %d: %s, %s at offset %llu%s%s\n",
                 v.Number == I.Partition ? "*" : " ", v.Number,
                 v.FileSystem.empty() ? "not FAT" : v.FileSystem.c_str(), Megabytes(v.Size).c_str(),
                 static_cast<unsigned long long>(v.Offset), v.Label.empty() ? "" : ", label ",
                 v.Label.c_str());
  }
  if (!I.Error.empty()) {
    PrintPlain(stdout, "Not usable: %s\n", I.Error.c_str());
    return;
  }
  PrintPlain(stdout, "Windows folder: %s%s\n", GuestPath(Drive, I.WinFolder).c_str(),
             I.WinFolderFound ? "" : " (missing)");
  PrintPlain(stdout, "%s\n", ReadLogoSetting(Drive).Text.c_str());
  for (const TLogoFileState& l : LogoStates(Drive))
    PrintPlain(stdout, "%s logo: %s, %s\n", PositionCaption(l.Position).c_str(),
               GuestPath(Drive, l.Path).c_str(), l.Text.c_str());
}

int DescribeVerb(bool Json) {
  TDrive& drive = ManagedDrive();
  TDriveInfo info = drive.Describe();
  if (Json)
    PrintJson(drive, info);
  else
    PrintText(drive, info);
  return info.Error.empty() ? EXIT_OK : EXIT_FAIL;
}

int SetDriveVerb(const std::string& Choice) {
  TChangeLock changing;
  if (!changing.Held()) return EXIT_FAIL;
  // The pictures stay the user's, as when the window changes the drive,
  // unless the new drive brings a store of its own; the choice is saved as
  // the window saves it.
  ReadSettings(false);
  const std::string store = GetStorageDir();
  std::string error;
  if (!RememberDrive(Choice, error)) {
    ReportError("drive set", error);
    return EXIT_FAIL;
  }
  SetDriveOverride(std::string());
  DriveChanged();
  SaveSettings(false);
  if (GetStorageDir() != store) PrintPlain(stdout, "Now using the pictures stored in %s\n", GetStorageDir().c_str());
  return DescribeVerb(false);
}

int LogosVerb(const std::string& Switch) {
  TChangeLock changing;
  if (!changing.Held()) return EXIT_FAIL;
  std::string error;
  if (!SwitchStartupLogo(Switch == "on", error)) {
    ReportError("drive logos", error);
    return EXIT_FAIL;
  }
  PrintPlain(stdout, "%s\n", ReadLogoSetting(ManagedDrive()).Text.c_str());
  return EXIT_OK;
}

}  // namespace

void AddDriveVerbs(CLI::App& App, int& Status) {
  auto* drive = App.add_subcommand("drive", "describe the managed Windows drive (a folder or a disk image)");
  static bool json = false;
  drive->add_flag("--json", json, "fields for scripts");
  drive->require_subcommand(0, 1);
  auto* set = drive->add_subcommand("set", "choose the managed Windows drive and remember it");
  static std::string choice;
  set->add_option("PATH", choice,
                  "a folder (the drive's root or its Windows folder) or a disk image, with :N for "
                  "partition N")
      ->required();
  set->callback([&Status] { Status = GuardVerb("drive set", [] { return SetDriveVerb(choice); }); });
  auto* logos = drive->add_subcommand(
      "logos", "show (on) or leave out (off) the Startup logo: Logo= in MSDOS.SYS of the drive");
  static std::string logoSwitch;
  logos->add_option("SWITCH", logoSwitch, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
  logos->callback([&Status] { Status = GuardVerb("drive logos", [] { return LogosVerb(logoSwitch); }); });
  drive->callback([&Status, drive] {
    if (drive->get_subcommands().empty()) Status = GuardVerb("drive", [] { return DescribeVerb(json); });
  });
}

}  // namespace kvo::cli
