// SPDX-License-Identifier: GPL-3.0-or-later
// A long session in one desktop window (offscreen), driven through the
// window's own buttons: the pictures added ten at a time, as a user picks
// them, then shuffles, then logos set from one picture after another, then
// everything deleted. The window must not grow while the store stays the
// same size, and the tracked tables must be back at their start counts.
//
// Usage: kvo_soak_window SHUFFLES SETS FILE...
// Prints one line per step: phase, step, milliseconds, resident KiB,
// tracked memory blocks, open tracked files; then "end" lines: the tables
// with the window still open and after it closed, and the errors shown.
#include <QApplication>
#include <QToolButton>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "formats/ConForm.h"
#include "ui/wMain.h"
#include "bench/whole/Resident.h"

namespace {

constexpr size_t ADD_BATCH = 10;

// Runs one command of the window and prints its line.
template <class F>
void Step(const char* Phase, int N, F Command) {
  const auto t = std::chrono::steady_clock::now();
  Command();
  QApplication::processEvents();
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
  std::printf("%s %d %.2f %ld %d %d\n", Phase, N, ms, ResidentKiB(), kvo::MemCount(),
              kvo::FCount());
}

// The user's answers: the next ten files when asked for pictures, all three
// positions, yes, overwrite all; every box shown is counted.
void InstallAnswers(const std::vector<std::string>& Files, size_t& Next, int& Boxes) {
  kvo::TDialogTable& t = kvo::Dialogs();
  t.MultiFileOpen = [&Files, &Next](const std::string&, std::string&, const std::string&,
                                    int32_t&, std::vector<std::string>& Chosen) {
    Chosen.clear();
    for (; Next < Files.size() && Chosen.size() < ADD_BATCH; ++Next) Chosen.push_back(Files[Next]);
    return !Chosen.empty();
  };
  t.PositionDialog = [](uint32_t& Positions, const std::string&, uint32_t) {
    Positions = kvo::POS_ALL;
    return true;
  };
  t.YesNo = [](const std::string&, bool) { return 'Y'; };
  t.YesNoCancel = [](const std::string&, char) { return 'Y'; };
  t.OverwriteDialog = [](const std::string&, const std::string&) { return int32_t{4}; };
  t.ShowError = [&Boxes](const std::string& Text) {
    ++Boxes;
    std::fprintf(stderr, "error: %s\n", Text.c_str());
  };
  t.ShowWarning = t.ShowError;
  t.ShowInfo = [](const std::string&) {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s SHUFFLES SETS FILE...\n", argv[0]);
    return 2;
  }
  const int shuffles = std::atoi(argv[1]), sets = std::atoi(argv[2]);
  const std::vector<std::string> files(argv + 3, argv + argc);
  if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int boxes = 0;
  {
    QApplication app(argc, argv);
    kvo::InstallSilentDialogs();
    kvo::LoadSettings(true);
    kvo::RemoveLeftovers();
    size_t next = 0;
    InstallAnswers(files, next, boxes);
    const int blocks = kvo::MemCount(), open = kvo::FCount();
    std::printf("start 0 0 %ld %d %d\n", ResidentKiB(), blocks, open);
    {
      kvo::TfrmMain w;
      w.SetSettingsLoaded(true);
      w.show();
      QApplication::processEvents();
      for (int i = 1; next < files.size(); ++i) Step("add", i, [&] { w.btnAdd->click(); });
      for (int i = 1; i <= shuffles; ++i) Step("shuffle", i, [&] { w.btnShuffle->click(); });
      for (int i = 1; i <= sets; ++i)
        Step("set", i, [&] {
          w.SelectIndex((i * 37) % std::max(1, w.lstFiles->count()));
          w.btnSet->click();
        });
      Step("delete", 1, [&] {
        w.lstFiles->selectAll();
        w.btnDelete->click();
      });
      std::printf("end open %d %d %d\n", w.lstFiles->count(), kvo::MemCount() - blocks,
                  kvo::FCount() - open);
      // What the open window holds beyond the start: named, for the reader.
      for (int i = blocks; i < kvo::MemCount(); ++i)
        if (const kvo::TMemRecord* r = kvo::MemRecord(i))
          std::fprintf(stderr, "held while open: %s, %lld bytes\n", r->Desc.c_str(),
                       static_cast<long long>(r->Size));
      w.close();
      w.EndSession();
    }
    QApplication::processEvents();
    std::printf("end closed 0 %d %d\n", kvo::MemCount() - blocks, kvo::FCount() - open);
    kvo::InstallSilentDialogs();
  }
  std::printf("end boxes %d\n", boxes);
  kvo::ConDone();
  kvo::BasicFinalize();
  kvo::ErrorsFinalize();
  return boxes == 0 ? 0 : 1;
}
