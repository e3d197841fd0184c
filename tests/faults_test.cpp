// SPDX-License-Identifier: GPL-3.0-or-later
// Injected I/O faults: every operation that writes runs once to count its
// file operations, then again from the same starting files with each one
// of them failing in turn, as a full disk or a failing drive would make it
// fail. After every failure the tracked tables are as they were, each file
// is either its old or its new self, nothing the operation keeps (a stored
// picture, a logo, its backup) is lost under any name, restore.bat names
// copies of the true originals, and no temporary file is left behind. The
// logo operations run on a disk-image drive too, where every mtools run
// that changes the volume fails in turn as well.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/VCLUtils.h"
#include "core/Backup.h"
#include "core/Composer.h"
#include "core/Gallery.h"
#include "core/Locations.h"
#include "core/Random.h"
#include "core/Settings.h"
#include "core/Shuffle.h"
#include "core/Store.h"
#include "formats/ConForm.h"
#include "formats/FFBasic.h"
#include "drive/Drive.h"
#include "platform/FaultInject.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

namespace fs = std::filesystem;

// A folder tree: path below the root → bytes; folders end in "/" and hold
// nothing.
using TTree = std::map<std::string, std::string>;

TTree ReadTree(const std::string& Root) {
  TTree tree;
  for (const auto& e : fs::recursive_directory_iterator(Root)) {
    std::string rel = e.path().string().substr(Root.size());
    if (e.is_directory())
      tree[rel + "/"];
    else
      tree[rel] = test::ReadWhole(e.path().string());
  }
  return tree;
}

void WriteTree(const std::string& Root, const TTree& Tree) {
  for (const auto& e : fs::directory_iterator(Root)) test::RemoveTree(e.path().string());
  for (const auto& [rel, bytes] : Tree) {
    if (rel.back() == '/')
      fs::create_directories(Root + rel);
    else
      test::WriteWhole(Root + rel, bytes);
  }
}

bool IsTemporary(const std::string& Path) {
  for (const char* mark : {".kvo-tmp-", ".kvo-new", "kvo-drive-", "kvo-local-", "KVONEW.TMP"})
    if (Path.find(mark) != std::string::npos) return true;
  return false;
}

std::set<std::string> Contents(const TTree& Tree) {
  std::set<std::string> c;
  for (const auto& [rel, bytes] : Tree)
    if (rel.back() != '/') c.insert(bytes);
  return c;
}

// What is wrong with Now, the files after a failed run, given the files
// Before it and After a run that succeeded; empty when nothing is.
std::string Damage(const TTree& Before, const TTree& After, const TTree& Now) {
  std::set<std::string> paths;
  for (const TTree* t : {&Before, &After, &Now})
    for (const auto& [rel, bytes] : *t) paths.insert(rel);
  for (const std::string& p : paths) {
    if (IsTemporary(p)) return "a temporary file is left: " + p;
    auto b = Before.find(p), a = After.find(p), n = Now.find(p);
    if (n == Now.end()) {
      if (b != Before.end() && a != After.end()) return p + " is missing";
    } else if (!(b != Before.end() && b->second == n->second) &&
               !(a != After.end() && a->second == n->second)) {
      return p + " is neither its old nor its new self";
    }
  }
  // Content that was there before and is kept by the operation (under its
  // own name or another: a renamed picture, a logo moved to the backup)
  // must still be somewhere.
  std::set<std::string> now = Contents(Now), after = Contents(After);
  for (const auto& [rel, bytes] : Before)
    if (rel.back() != '/' && after.count(bytes) && !now.count(bytes))
      return "the content of " + rel + " is lost";
  return {};
}

// What is wrong with the restore.bat of Now: every copy it names must be
// there and hold what the logo held Before (or what the copy already held
// then, when it was taken by an earlier change). Key maps a drive path to
// its name in the trees.
std::string BatchDamage(const TTree& Before, const TTree& Now,
                        const std::function<std::string(const std::string&)>& Key) {
  auto bat = Now.find(Key(RestoreBatFile()));
  if (bat == Now.end()) return {};
  const std::string& text = bat->second;
  for (size_t at = 0, eol; at < text.size(); at = eol + 2) {
    eol = text.find("\r\n", at);
    if (eol == std::string::npos) return "restore.bat ends in a cut line";
    const std::string line = text.substr(at, eol - at);
    if (!line.starts_with("copy")) continue;
    const std::string copy = Key(PathFromGuest(ManagedDrive(), QuotedField(line, 1)));
    const std::string logo = Key(PathFromGuest(ManagedDrive(), QuotedField(line, 2)));
    auto c = Now.find(copy), was = Before.find(logo), had = Before.find(copy);
    if (c == Now.end()) return "restore.bat names a missing copy: " + line;
    if (!(was != Before.end() && was->second == c->second) &&
        !(had != Before.end() && had->second == c->second))
      return "restore.bat names a copy that is not the original: " + line;
  }
  return {};
}

class Faults : public testing::Test {
 protected:
  void SetUp() override {
    root_ = xdg_.Root();
    Reset();
    ASSERT_TRUE(fs::create_directories(root_ + "store"));
    ASSERT_TRUE(fs::create_directories(root_ + "src"));
    ASSERT_TRUE(ManagedDrive().FolderExists(ManagedDrive().WinFolder()));
  }

  // The settings and lists every run starts from.
  void Reset() {
    Settings() = TSettings{};
    for (bool& on : Settings().MsgEnabled) on = false;
    SetStorageDir(root_ + "store");
    for (uint32_t p : POSITIONS) SetLogoFile(p, DefaultLogoFile(p));
    LogoList() = TLogoList{};
    LoadLogoList();
    BatchAnswer() = BA_NONE;
    StoreBusy() = false;
    RandomSeed(5);
    dialogs_.Errors.clear();
    dialogs_.Warnings.clear();
    dialogs_.Infos.clear();
  }

  // A stored picture: the canvas in one shade.
  void Stored(const std::string& Name, uint8_t Shade, uint32_t Positions = POS_ALL) {
    TImg img;
    _imgalloc_(img, 320, 400, 8, __LINE__, "Test.Faults.img");
    img.Palette[1][0] = img.Palette[1][1] = img.Palette[1][2] = Shade;
    MemFill(img.Data, 320 * 400, 1);
    ASSERT_TRUE(SaveStoredPicture(GetStorageDir() + Name, img, {Positions, 0, 12}));
    ImgFree(img);
  }

  // A small picture to add, a gradient saved as Format.
  std::string Source(const std::string& Name, uint8_t Tint, int32_t Format = FF_BMP) {
    TImg img;
    _imgalloc_(img, 48, 40, 24, __LINE__, "Test.Faults.src");
    for (int32_t i = 0; i < 48 * 40; ++i) {
      img.Data[3 * i] = static_cast<uint8_t>(i % 48 * 5);
      img.Data[3 * i + 1] = Tint;
      img.Data[3 * i + 2] = static_cast<uint8_t>(i / 48 * 6);
    }
    std::string path = root_ + "src/" + Name;
    MonitoredKeep("Test.Faults.Source", [&] { ImgSave(path, img, Format); });
    EXPECT_TRUE(NoError()) << LastErrorText();
    ClearError();
    ImgFree(img);
    return path;
  }

  void Logos() {
    TDriveLock lock(ManagedDrive());
    ASSERT_TRUE(ManagedDrive().ReplaceFile(DefaultLogoFile(POS_STARTUP), "BM old startup logo"));
    ASSERT_TRUE(ManagedDrive().ReplaceFile(DefaultLogoFile(POS_WAIT), "BM old wait logo"));
  }

  // The files an operation is judged by, and putting them back.
  virtual TTree Files() { return ReadTree(root_); }
  virtual void SaveFiles() { saved_ = ReadTree(root_); }
  virtual void LoadFiles() { WriteTree(root_, saved_); }
  // A drive path as the trees name it.
  std::string Key(const std::string& Path) const {
    return Path.starts_with(root_) ? Path.substr(root_.size()) : Path;
  }

  // Runs Op from the files as they are now: once with every file operation
  // going through, counting them, then once per operation with that one
  // failing. Prepare gives each run its answers and settings after Reset.
  // Returns the number of fault points survived.
  int64_t Survive(const std::string& Name, const std::function<void()>& Prepare,
                  const std::function<void()>& Op) {
    const TTree before = Files();
    SaveFiles();
    const int mem = MemCount(), files = FCount();
    auto run = [&](int64_t FailAt) {
      LoadFiles();
      Reset();
      Prepare();
      FaultInjectStart(FailAt, FailAt % 2 ? ENOSPC : EIO);
      Op();
      return FaultInjectStop();
    };
    const int64_t count = run(0);
    const TTree after = Files();
    EXPECT_TRUE(after != before) << Name << " changed nothing";
    EXPECT_TRUE(dialogs_.Errors.empty()) << Name << ": " << dialogs_.Errors.front();
    EXPECT_EQ(Damage(before, after, after), "") << Name;
    EXPECT_GT(count, 0) << Name;
    int64_t survived = 0;
    for (int64_t i = 1; i <= count; ++i) {
      run(i);
      const TTree now = Files();
      std::string damage = Damage(before, after, now);
      if (damage.empty())
        damage = BatchDamage(before, now, [&](const std::string& P) { return Key(P); });
      const bool tables = MemCount() == mem && FCount() == files && MonDepth() == 0;
      if (damage.empty() && tables && NoError()) {
        ++survived;
        continue;
      }
      ADD_FAILURE() << Name << ", " << FaultInjectedWhat() << " failing at step " << i << " of "
                    << count << ": " << (damage.empty() ? "tables or error state" : damage)
                    << " (blocks " << MemCount() - mem << ", files " << FCount() - files
                    << ", frames " << MonDepth() << ", error " << ErrGroup() << "/" << ErrCode()
                    << ")";
      ClearError();
      MemFreeFrom(mem);
      FCloseFrom(files);
    }
    LoadFiles();
    Reset();
    std::printf("[ faults   ] %s: %lld of %lld fault points survived\n", Name.c_str(),
                static_cast<long long>(survived), static_cast<long long>(count));
    std::string key = "faults_survived_" + Name;
    for (char& ch : key)
      if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    RecordProperty(key, static_cast<int>(survived));
    return survived;
  }

  static TListSelection Sel(std::vector<int32_t> Selected) {
    TListSelection s;
    s.Current = Selected.front();
    s.Selected = std::move(Selected);
    return s;
  }

  // The logo operations, on whichever drive the fixture manages; On names
  // the drive in the counts printed.
  void SetEachPosition(const std::string& On) {
    Stored("Custom--a.kvo", 10);
    Stored("Custom--b.kvo", 20);
    Logos();
    // Each position alone: a position that fails must not shift the backup
    // names of the ones after it.
    for (uint32_t p : POSITIONS)
      Survive(
          On + "Set " + PositionCaption(p), [&] { dialogs_.PositionAnswers = {{true, p}}; },
          [] { SetSelectedAsLogo(Sel({1})); });
  }
  void ShuffleBothWays(const std::string& On) {
    Stored("Custom--a.kvo", 10);
    Stored("Custom--b.kvo", 20, POS_STARTUP | POS_WAIT);
    Logos();
    // The logos were set before, so their backups are taken.
    for (uint32_t p : POSITIONS) ASSERT_TRUE(BackupLogo(GetLogoFile(p)));
    Survive(On + "Shuffle", Nothing, [] { ShuffleCommand(); });
    Survive(On + "/shuffle", Nothing, [] { ShuffleCommandRun(); });
  }
  void RestoreBothWays(const std::string& On) {
    Stored("Custom--a.kvo", 10);
    Logos();
    SetAutoRun(true);
    for (uint32_t p : POSITIONS) ASSERT_TRUE(SetLogo(GetStorageDir() + "Custom--a.kvo", p));
    Survive(On + "Restore", Nothing, [] { RestoreLogos(); });
    Survive(On + "/uninst", Nothing, [] { UninstallRun(); });
  }

  static constexpr auto Nothing = [] {};

  test::ScopedXdg xdg_;
  test::ScriptedDialogs dialogs_;
  std::string root_;
  TTree saved_;
};

TEST_F(Faults, AddOneAndSeveralPictures) {
  const std::string a = Source("a.bmp", 40), b = Source("b.png", 90, FF_PNG);
  const std::string c = Source("c.bmp", 200);
  Stored("Custom--b.kvo", 30);
  Survive("Add one", Nothing, [&] { AddPictureFiles({a}); });
  Survive(
      "Add several", [&] { dialogs_.OverwriteAnswers = {BA_OVERWRITE_ALL}; },
      [&] { AddPictureFiles({a, b, c}); });
}

TEST_F(Faults, DeleteRenameAndChangePrefix) {
  Stored("Custom--a.kvo", 10);
  Stored("Custom--b.kvo", 20);
  Stored("Custom--c.kvo", 30);
  Survive(
      "Delete", [&] { dialogs_.YesNoAnswers = {'Y'}; }, [] { DeleteSelected(Sel({0, 2})); });
  Survive(
      "Rename", [&] { dialogs_.RenameAnswers = {{true, "renamed"}}; },
      [] { RenameSelected(Sel({1})); });
  Survive(
      "Change Prefix", [&] { dialogs_.RenameAnswers = {{true, "Cars"}}; },
      [] { ChangePrefixSelected(Sel({0, 1, 2})); });
}

TEST_F(Faults, ChoosePositionsAndSetLogos) {
  SetEachPosition("");
  Survive(
      "Choose Position", [&] { dialogs_.PositionAnswers = {{true, POS_WAIT}}; },
      [] {
        ChoosePositionsSelected(Sel({0, 1}));
        SaveLogoMarks();
      });
}

TEST_F(Faults, ShuffleInTheWindowAndAtSessionStart) { ShuffleBothWays(""); }

TEST_F(Faults, RestoreAndUninstall) { RestoreBothWays(""); }

TEST_F(Faults, GalleryCreateAndInstall) {
  Stored("Custom--a.kvo", 10, POS_STARTUP);
  Stored("Custom--b.kvo", 20);
  Stored("Cars--a.kvo", 99);
  LoadLogoList();
  const std::string gallery = root_ + "Cars.gal";
  Survive("Gallery create", Nothing, [&] { CreateGallery(gallery, "Cars", {1, 2}); });
  CreateGallery(gallery, "Cars", {1, 2});
  Survive(
      "Gallery install",
      [] { Dialogs().YesNoCancel = [](const std::string&, char) { return 'Y'; }; },
      [&] { InstallGallery(gallery); });
}

TEST_F(Faults, SettingsSave) {
  SaveSettings(true);
  Survive(
      "Settings save",
      [] {
        Settings().FontSize = 14;
        Settings().ResizeMode = RESIZE_CROP;
        Settings().Messages[0] = "Starting";
        Settings().Messages[2] = "Bye";
        SetStorageDir(GetStorageDir() + "sub");
      },
      [] { SaveSettings(true); });
}

// kvo convert's save, in every format it writes.
TEST_F(Faults, ConvertSavesInEveryFormat) {
  const std::string source = Source("in.bmp", 120);
  for (int i = 0; const TFormatRow* row = FFWriteRow(i); ++i) {
    const TFormatProcs* procs = FFProcs(row->Id);
    if (!procs || !procs->Save) continue;  // a movie format: convert refuses it
    const std::string out = root_ + "out" + row->Exts.substr(0, row->Exts.find('.', 1));
    Survive("convert to " + row->ShortName, Nothing, [&] {
      TImg img;
      MonitoredKeep("Test.Faults.Convert", [&] {
        ImgLoad(source, img, FF_BMP);
        ImgSave(out, img, row->Id);
        ImgFree(img);
      });
      ClearError();
    });
  }
}

// The logos in a floppy image (a bare FAT12 volume) with a Windows folder.
// The files inside the image are copied out by mtools for every check;
// the program's temporary files go to a temporary folder among the checked
// files, so a scratch copy left behind is seen as well.
class ImageFaults : public Faults {
 protected:
  void SetUp() override {
    vm_ = test::MakeTempFolder("kvo-faults-vm-");
    image_ = vm_ + "w98.ima";
    const char* tmp = std::getenv("TMPDIR");
    if (tmp) oldTmp_ = tmp;
    fs::create_directories(xdg_.Root() + "tmp");
    ::setenv("TMPDIR", (xdg_.Root() + "tmp").c_str(), 1);
    const std::string img = test::ShellQuoted(image_);
    ASSERT_EQ(Tool("mkfs.fat -F 12 -C " + img + " 2880 >/dev/null && mmd -i " + img + " ::WINDOWS")
                  .Status,
              0);
    Contain();
    SetDriveOverride(image_);
    Faults::SetUp();
  }
  // Puts the raw floppy into another kind of image; none here.
  virtual void Contain() {}
  void TearDown() override {
    SetDriveOverride("");
    if (oldTmp_)
      ::setenv("TMPDIR", oldTmp_->c_str(), 1);
    else
      ::unsetenv("TMPDIR");
    test::RemoveTree(vm_);
  }
  static test::TPipeRun Tool(const std::string& Command) {
    return test::RunShell("MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 " + Command + " 2>&1 </dev/null");
  }

  TTree Files() override {
    TTree tree = Faults::Files();
    const std::string out = vm_ + "out/";
    test::RemoveTree(out);
    fs::create_directories(out);
    EXPECT_EQ(Tool("mcopy -s -i " + test::ShellQuoted(RawView()) + " ::/ " + test::ShellQuoted(out))
                  .Status,
              0);
    for (const auto& [rel, bytes] : ReadTree(out)) tree[IMAGE_ROOT + rel] = bytes;
    return tree;
  }
  // The disk as a raw file mtools can read.
  virtual std::string RawView() { return image_; }
  void SaveFiles() override {
    Faults::SaveFiles();
    imageBytes_ = test::ReadWhole(image_);
  }
  void LoadFiles() override {
    Faults::LoadFiles();
    test::WriteWhole(image_, imageBytes_);
  }

  std::string vm_, image_, imageBytes_;
  std::optional<std::string> oldTmp_;
};

TEST_F(ImageFaults, SetLogos) {
  ASSERT_TRUE(ManagedDrive().InVolume(DefaultLogoFile(POS_WAIT)));
  SetEachPosition("image: ");
}

TEST_F(ImageFaults, ShuffleInTheWindowAndAtSessionStart) { ShuffleBothWays("image: "); }

TEST_F(ImageFaults, RestoreAndUninstall) { RestoreBothWays("image: "); }

// The same floppy in a QCOW2 image: the daemon's start, its export and
// the flush as it quits are steps that may fail too, and QEMU's check
// finds the image sound after every one of them.
class QcowFaults : public ImageFaults {
 protected:
  void Contain() override {
    const std::string raw = image_;
    image_ = vm_ + "w98.qcow2";
    ASSERT_EQ(Tool("qemu-img convert -f raw -O qcow2 " + test::ShellQuoted(raw) + " " +
                   test::ShellQuoted(image_)).Status, 0);
  }
  std::string RawView() override {
    const std::string view = vm_ + "view.raw";
    EXPECT_EQ(Tool("qemu-img check -q " + test::ShellQuoted(image_) + " && qemu-img convert -O raw " +
                   test::ShellQuoted(image_) + " " + test::ShellQuoted(view)).Status, 0);
    return view;
  }
};

TEST_F(QcowFaults, SetLogos) { SetEachPosition("qcow2: "); }

}  // namespace
}  // namespace kvo
