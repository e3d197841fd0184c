// SPDX-License-Identifier: GPL-3.0-or-later
// The store, logo and gallery verbs of the kvo command. They run the same
// core operations as the window's commands; the questions those ask are
// answered from the command's options, never by prompting.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/VCLUtils.h"
#include "cli/Verbs.h"
#include "core/Backup.h"
#include "core/Composer.h"
#include "core/Gallery.h"
#include "core/Locations.h"
#include "core/LogoCheck.h"
#include "core/Settings.h"
#include "core/Shuffle.h"
#include "core/Store.h"
#include "platform/Folders.h"
#include "platform/TextUtil.h"
#include "base/MiscProcs.h"

namespace kvo::cli {
namespace {

// What the answers to the core's questions are, and what it reported.
struct TAnswers {
  int32_t Overwrite = BA_SKIP;  // skip unless told otherwise
  std::string RenameTo;         // typed into the rename question
  char YesNo = 'Y';             // the command itself is the confirmation
  char YesNoCancel = 'C';
  int Errors = 0;
};

TAnswers& Answers() {
  static TAnswers a;
  return a;
}

void InstallCommandDialogs() {
  InstallSilentDialogs();
  TDialogTable& t = Dialogs();
  t.ShowError = [](const std::string& s) {
    ++Answers().Errors;
    PrintPlain(stderr, "kvo: %s\n", s.c_str());
  };
  t.ShowWarning = [](const std::string& s) {
    ++Answers().Errors;
    PrintPlain(stderr, "kvo: %s\n", s.c_str());
  };
  t.ShowInfo = [](const std::string& s) { PrintPlain(stdout, "%s\n", s.c_str()); };
  t.YesNo = [](const std::string&, bool) { return Answers().YesNo; };
  t.YesNoCancel = [](const std::string&, char) { return Answers().YesNoCancel; };
  t.OverwriteDialog = [](const std::string&, const std::string& Text) {
    if (Answers().Overwrite == BA_SKIP) PrintPlain(stderr, "kvo: %s Skipped.\n", Text.c_str());
    return Answers().Overwrite;
  };
  t.RenameDialog = [](const std::string&, const std::string&, std::string& Name) {
    if (Answers().RenameTo.empty()) return false;
    Name = Answers().RenameTo;
    Answers().RenameTo.clear();  // one name answers one question
    return true;
  };
}

// Settings and the list, as the window has them at start.
void OpenStore() {
  InstallCommandDialogs();
  ReadSettings(true);
  RemoveLeftovers();
  LoadLogoList();
}

// A verb that writes the store, the logos or restore.bat reads them only
// once no other run is changing them (see TChangeLock), so Changing is
// taken first; false, with the message on standard error, when another run
// kept them busy.
bool OpenStoreToChange(std::optional<TChangeLock>& Changing) {
  InstallCommandDialogs();
  Changing.emplace();
  if (!Changing->Held()) return false;
  OpenStore();
  return true;
}

bool SelectNames(const std::vector<std::string>& Names, TListSelection& Sel) {
  for (const std::string& n : Names) {
    int32_t i = FindStored(n);
    if (i == INVALID_ID) {
      // Several pictures whose names differ only in letter case: which one
      // is meant is for the user to say.
      std::vector<std::string> like = FileNamesLike(n);
      for (const std::string& k : FileNamesLike(n + STORED_EXT)) like.push_back(k);
      std::string names;
      for (const std::string& k : like) names += (names.empty() ? "" : ", ") + k;
      ReportError(n, like.size() > 1 ? "several stored pictures differ from this name only in letter case (" +
                                           names + "); give one of them exactly"
                                     : "no such stored picture in " + GetStorageDir());
      return false;
    }
    Sel.Selected.push_back(i);
  }
  Sel.Current = Sel.Selected.empty() ? -1 : Sel.Selected.front();
  return true;
}

std::string PositionLetters(uint32_t Set) {
  std::string s;
  s += (Set & POS_STARTUP) ? 'S' : '-';
  s += (Set & POS_WAIT) ? 'W' : '-';
  s += (Set & POS_TURNOFF) ? 'T' : '-';
  return s;
}

int ListVerb(bool Json) {
  OpenStore();
  const TLogoList& list = LogoList();
  if (Json) {
    std::printf("{\"storage\": %s, \"count\": %d, \"totalSize\": %lld, \"pictures\": [",
                JsonText(GetStorageDir()).c_str(), list.Count, static_cast<long long>(list.TotalSize));
    for (size_t i = 0; i < list.Entries.size(); ++i) {
      const TLogoEntry& e = list.Entries[i];
      std::printf("%s\n  {\"file\": %s, \"prefix\": %s, \"positions\": %u, \"used\": %u}",
                  i ? "," : "", JsonText(e.FileName).c_str(), JsonText(e.Prefix).c_str(),
                  e.Positions, e.Used);
    }
    std::printf("]}\n");
    return EXIT_OK;
  }
  for (const TLogoEntry& e : list.Entries)
    PrintPlain(stdout, "%s  %s  used %s\n", PositionLetters(e.Positions).c_str(), e.FileName.c_str(),
               PositionLetters(e.Used).c_str());
  PrintPlain(stdout, "%s\n", StatusSummary().c_str());
  return EXIT_OK;
}

int AddVerb(const std::vector<std::string>& Files, const std::string& Mode,
           const std::string& Palette) {
  OpenStore();
  static const std::map<std::string, int32_t> modes = {
      {"border", RESIZE_BORDER}, {"crop", RESIZE_CROP}, {"stretch", RESIZE_STRETCH}};
  Settings().ResizeMode = modes.at(Mode);
  // Without --palette the reduction chosen in Options holds; with it, only
  // for this run (the settings are not saved by kvo add).
  if (!Palette.empty()) Settings().Palette = Palette == "best" ? PALETTE_BEST : PALETTE_STANDARD;
  MakeLongDir(GetStorageDir());
  // A long import shows its progress on one line of a terminal, rewritten
  // in place and erased when the picture is done: the only controls the
  // command sends on purpose, outside the plain text.
  if (::isatty(STDERR_FILENO))
    ImportProgress() = [](const std::string& Name, int32_t File, int32_t Files, int32_t Percent) {
      std::fputs("\r", stderr);
      if (Percent < 0)
        std::fputs("\033[K", stderr);
      else
        PrintPlain(stderr, "Adding \"%s\" (file %d of %d): %d %%", Name.c_str(), File, Files, Percent);
      std::fflush(stderr);
    };
  AddPictureFiles(Files);
  ImportProgress() = nullptr;
  PrintPlain(stdout, "%s\n", StatusSummary().c_str());
  return Answers().Errors ? EXIT_FAIL : EXIT_OK;
}

// Moves the named pictures to the Trash and says where each went, so a
// script (or its user) can bring one back; --permanently unlinks them.
int DeleteVerb(const std::vector<std::string>& Names, bool Permanently) {
  OpenStore();
  TListSelection sel;
  if (!SelectNames(Names, sel)) return EXIT_FAIL;
  std::vector<std::string> names;
  // In the order the core takes them, each once.
  for (int32_t i : sel.Selected) {
    const std::string& n = LogoList().Entries[static_cast<size_t>(i)].FileName;
    if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
  }
  std::vector<std::string> where;
  DeleteSelected(sel, Permanently, &where);
  if (Answers().Errors) return EXIT_FAIL;
  if (Permanently)
    for (const std::string& n : names) PrintPlain(stdout, "%s deleted.\n", n.c_str());
  for (size_t i = 0; i < where.size() && i < names.size(); ++i)
    PrintPlain(stdout, "%s moved to the Trash: %s\n", names[i].c_str(), where[i].c_str());
  return EXIT_OK;
}

int RenameVerb(const std::string& Name, const std::string& NewName) {
  OpenStore();
  TListSelection sel;
  if (!SelectNames({Name}, sel)) return EXIT_FAIL;
  std::string target = NewName;
  if (target.size() > 4 && SameText(std::string_view(target).substr(target.size() - 4), STORED_EXT))
    target.resize(target.size() - 4);
  Answers().RenameTo = target;
  RenameSelected(sel);
  return Answers().Errors ? EXIT_FAIL : EXIT_OK;
}

int PrefixVerb(const std::string& Prefix, const std::vector<std::string>& Names) {
  OpenStore();
  TListSelection sel;
  if (!SelectNames(Names, sel)) return EXIT_FAIL;
  // An empty answer would read as "cancelled"; a lone blank makes the
  // empty prefix the command asked for.
  Answers().RenameTo = Prefix.empty() ? " " : Prefix;
  ChangePrefixSelected(sel);
  return Answers().Errors ? EXIT_FAIL : EXIT_OK;
}

// The logo file of Position as the user knows it: inside a disk image, as
// Windows names it there (C:\WINDOWS\LOGOW.SYS).
std::string ShownLogoFile(uint32_t Position) {
  TDrive& drive = ManagedDrive();
  std::string logo = GetLogoFile(Position);
  return drive.InVolume(logo) ? GuestPath(drive, logo) : logo;
}

uint32_t ChosenPositions(bool S, bool W, bool T) {
  return (S ? POS_STARTUP : 0) | (W ? POS_WAIT : 0) | (T ? POS_TURNOFF : 0);
}

int PositionsVerb(uint32_t Positions, const std::vector<std::string>& Names) {
  std::optional<TChangeLock> changing;
  if (!OpenStoreToChange(changing)) return EXIT_FAIL;
  TListSelection sel;
  if (!SelectNames(Names, sel)) return EXIT_FAIL;
  SetPositions(sel.Selected, Positions);
  SaveLogoMarks();
  return EXIT_OK;
}

int SetVerb(const std::string& Name, uint32_t Positions) {
  TDriveOperation writing(true);
  std::optional<TChangeLock> changing;
  if (!OpenStoreToChange(changing)) return EXIT_FAIL;
  TListSelection sel;
  if (!SelectNames({Name}, sel)) return EXIT_FAIL;
  std::string path = GetStorageDir() + LogoList().Entries[static_cast<size_t>(sel.Current)].FileName;
  TDrive& drive = ManagedDrive();
  TDriveLock lock(drive);
  if (!lock.Held()) {
    ReportError("set", drive.LastError());
    return EXIT_FAIL;
  }
  int failed = 0;
  uint32_t written = 0;
  for (uint32_t p : POSITIONS) {
    if (!(Positions & p)) continue;
    std::string logo = ShownLogoFile(p);
    // Composing is silent by design; say here whether the file came out.
    if (SetLogo(path, p)) {
      written |= p;
      PrintPlain(stdout, "%s: %s\n", PositionCaption(p).c_str(), logo.c_str());
    } else {
      ReportError(PositionCaption(p), "the logo could not be written: " + logo +
                                          (drive.LastError().empty() ? "" : " (" + drive.LastError() + ")"));
      ++failed;
    }
  }
  // Written, but not to be seen: said once, whatever the number of logos.
  const std::string unseen = written ? UnseenLogoWarning(ReadLogoSetting(drive), written) : "";
  if (!unseen.empty()) ReportError("warning", unseen);
  return failed ? EXIT_FAIL : EXIT_OK;
}

// Each logo written is named; a logo no picture may be used for stays as
// it was, and says so; one that could not be written is an error with the
// drive's reason. Success only when every picked logo was written.
int ShuffleVerb() {
  TDriveOperation writing(true);
  std::optional<TChangeLock> changing;
  if (!OpenStoreToChange(changing)) return EXIT_FAIL;
  TShuffleOutcome o;
  if (!ShuffleLogos(&o)) {
    ReportError("shuffle", ManagedDrive().LastError());
    return EXIT_FAIL;
  }
  SaveLogoMarks();
  if (!o.Picked) {
    ReportError("shuffle", SHUFFLE_NOTHING_TEXT);
    return EXIT_FAIL;
  }
  for (uint32_t p : POSITIONS) {
    if (o.Written & p)
      PrintPlain(stdout, "%s: %s\n", PositionCaption(p).c_str(), ShownLogoFile(p).c_str());
    else if (o.NotWritten() & p)
      ReportError(PositionCaption(p), "the logo could not be written: " + ShownLogoFile(p) + " (" +
                                          o.Why[PositionIndex(p)] + ")");
    else
      PrintPlain(stdout, "%s: kept, no stored picture may be used there\n",
                 PositionCaption(p).c_str());
  }
  return o.NotWritten() ? EXIT_FAIL : EXIT_OK;
}

// As the window's Restore: automatic change is turned off first, so the
// next log-in does not replace the restored logos. Success is said only
// when every logo came back; each one that did not is named with its
// reason.
int RestoreVerb() {
  TDriveOperation writing(true);
  std::optional<TChangeLock> changing;
  if (!OpenStoreToChange(changing)) return EXIT_FAIL;
  if (!ManagedDrive().FileExists(RestoreBatFile())) {
    ReportError("restore", "no backup of earlier logos: " + RestoreBatFile());
    return EXIT_FAIL;
  }
  std::vector<std::string> failed;
  if (!UninstallRun(&failed)) {
    ReportError("restore", ManagedDrive().LastError());
    return EXIT_FAIL;
  }
  for (const std::string& f : failed) ReportError("restore", "not restored: " + f);
  if (!failed.empty()) return EXIT_FAIL;
  PrintPlain(stdout, "Previous logos restored.\n");
  return EXIT_OK;
}

int GalleryCreateVerb(const std::string& File, const std::string& Prefix,
                      const std::vector<std::string>& Names) {
  OpenStore();
  TListSelection sel;
  if (!SelectNames(Names, sel)) return EXIT_FAIL;
  std::string prefix = MakePrefix(Prefix, false);
  if (prefix.empty() || prefix.size() >= 64) {
    ReportError("gallery create", "Invalid prefix.");
    return EXIT_USAGE;
  }
  CreateGallery(File, prefix, sel.Selected);
  return Answers().Errors ? EXIT_FAIL : EXIT_OK;
}

int GalleryInstallVerb(const std::string& File, const std::string& Prefix, bool Overwrite) {
  OpenStore();
  Answers().YesNoCancel = Overwrite ? 'Y' : 'C';
  MakeLongDir(GetStorageDir());
  int32_t first = InstallGallery(File, Prefix.empty() ? nullptr : &Prefix);
  if (first < 0 && !Answers().Errors) {
    ReportError("gallery install", "pictures of that prefix are stored already; use --overwrite "
                                   "or --prefix");
    return EXIT_FAIL;
  }
  return Answers().Errors ? EXIT_FAIL : EXIT_OK;
}

void AddPositionFlags(CLI::App* Sub, bool& S, bool& W, bool& T) {
  Sub->add_flag("--startup", S, "the \"Startup\" logo (logo.sys)");
  Sub->add_flag("--wait", W, "the \"Wait to shut down\" logo (logow.sys)");
  Sub->add_flag("--turnoff", T, "the \"Turn off\" logo (logos.sys)");
}

}  // namespace

int32_t FindStored(const std::string& Name) {
  int32_t i = FindByFileName(Name);
  if (i == INVALID_ID) i = FindByFileName(Name + STORED_EXT);
  return i;
}

void AddStoreVerbs(CLI::App& App, int& Status) {
  auto* list = App.add_subcommand("list", "the stored pictures with their positions and used marks");
  static bool json = false;
  list->add_flag("--json", json, "fields for scripts");
  list->callback([&Status] { Status = GuardVerb("list", [] { return ListVerb(json); }); });

  auto* add = App.add_subcommand("add", "import pictures into the store, as Add does");
  static std::vector<std::string> files;
  static std::string mode = "border";
  static bool overwrite = false, skip = false;
  static std::string renameTo;
  static std::string palette;
  add->add_option("FILE", files, "pictures or movies to import")->required();
  add->add_option("--mode", mode, "how a picture is fitted to 320 x 400")
      ->check(CLI::IsMember({"border", "crop", "stretch"}));
  add->add_option("--palette", palette,
                  "how the picture is reduced to 235 colours: standard, or best (libimagequant); "
                  "the default is the one chosen in Options")
      ->check(CLI::IsMember({"standard", "best"}));
  // One answer to the clash question: two that contradict each other are
  // a usage error, never settled by an order of precedence.
  auto* over = add->add_flag("--overwrite", overwrite, "replace stored pictures of the same name");
  auto* keep = add->add_flag("--skip", skip, "keep stored pictures of the same name (the default)");
  auto* renameOpt =
      add->add_option("--rename-to", renameTo, "store a clashing picture under this name instead");
  over->excludes(renameOpt);
  keep->excludes(over)->excludes(renameOpt);
  add->callback([&Status] {
    Answers().Overwrite = overwrite ? BA_OVERWRITE_ALL : !renameTo.empty() ? BA_RENAME : BA_SKIP;
    Answers().RenameTo = renameTo;
    Status = GuardVerb("add", [] { return AddVerb(files, mode, palette); });
  });

  auto* del = App.add_subcommand("delete", "move stored pictures to the Trash");
  static std::vector<std::string> delNames;
  static bool delPermanently = false;
  del->add_option("NAME", delNames, "stored pictures, with or without .kvo")->required();
  del->add_flag("--permanently", delPermanently, "delete them for good instead");
  del->callback([&Status] {
    Status = GuardVerb("delete", [] { return DeleteVerb(delNames, delPermanently); });
  });

  auto* ren = App.add_subcommand("rename", "rename a stored picture");
  static std::string renName, renNew;
  ren->add_option("NAME", renName)->required();
  ren->add_option("NEWNAME", renNew)->required();
  ren->callback([&Status] { Status = GuardVerb("rename", [] { return RenameVerb(renName, renNew); }); });

  auto* pre = App.add_subcommand("prefix", "change the prefix of stored pictures");
  static std::string newPrefix;
  static std::vector<std::string> preNames;
  pre->add_option("NEWPREFIX", newPrefix)->required();
  pre->add_option("NAME", preNames)->required();
  pre->callback([&Status] { Status = GuardVerb("prefix", [] { return PrefixVerb(newPrefix, preNames); }); });
}

void AddLogoVerbs(CLI::App& App, int& Status) {
  auto* pos = App.add_subcommand("positions", "choose the positions stored pictures may be shuffled into");
  static bool ps = false, pw = false, pt = false;
  static std::vector<std::string> posNames;
  AddPositionFlags(pos, ps, pw, pt);
  pos->add_option("NAME", posNames)->required();
  pos->callback([&Status] {
    Status = GuardVerb("positions", [] { return PositionsVerb(ChosenPositions(ps, pw, pt), posNames); });
  });

  auto* set = App.add_subcommand("set", "compose and write logos from a stored picture");
  static bool ss = false, sw = false, st = false;
  static std::string setName;
  set->add_option("NAME", setName)->required();
  AddPositionFlags(set, ss, sw, st);
  set->callback([&Status] {
    uint32_t p = ChosenPositions(ss, sw, st);
    if (p == 0) {
      ReportError("set", "name at least one of --startup, --wait, --turnoff");
      Status = EXIT_USAGE;
      return;
    }
    Status = GuardVerb("set", [p] { return SetVerb(setName, p); });
  });

  App.add_subcommand("shuffle", "set random logos")->callback([&Status] {
    Status = GuardVerb("shuffle", [] { return ShuffleVerb(); });
  });
  App.add_subcommand("restore", "restore the previous logos")->callback([&Status] {
    Status = GuardVerb("restore", [] { return RestoreVerb(); });
  });
}

void AddGalleryVerbs(CLI::App& App, int& Status) {
  auto* gal = App.add_subcommand("gallery", "gallery files (.gal)");
  gal->require_subcommand(1);
  auto* create = gal->add_subcommand("create", "pack stored pictures into a gallery");
  static std::string cFile, cPrefix;
  static std::vector<std::string> cNames;
  create->add_option("FILE", cFile)->required();
  create->add_option("PREFIX", cPrefix)->required();
  create->add_option("NAME", cNames)->required();
  create->callback([&Status] {
    Status = GuardVerb("gallery create", [] { return GalleryCreateVerb(cFile, cPrefix, cNames); });
  });
  auto* install = gal->add_subcommand("install", "unpack a gallery into the store");
  static std::string iFile, iPrefix;
  static bool iOverwrite = false;
  install->add_option("FILE", iFile)->required()->check(CLI::ExistingFile);
  install->add_option("--prefix", iPrefix, "install under this prefix instead of the gallery's");
  install->add_flag("--overwrite", iOverwrite, "replace stored pictures of that prefix");
  install->callback([&Status] {
    Status = GuardVerb("gallery install", [] { return GalleryInstallVerb(iFile, iPrefix, iOverwrite); });
  });
}

}  // namespace kvo::cli
