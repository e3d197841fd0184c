// SPDX-License-Identifier: GPL-3.0-or-later
// Adding pictures to the store: identify any supported file, fit it to the
// logo canvas, reduce it to the logo palette and store it.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "core/Store.h"
#include "formats/ConForm.h"
#include "formats/FFLib.h"
#include "image/PalBest.h"
#include "image/PalOpt.h"
#include "platform/Folders.h"

namespace kvo {
namespace {

// Num / Den rounded to the nearest integer, an exact half to the even one.
int64_t RoundDiv(int64_t Num, int64_t Den) {
  int64_t q = Num / Den, r = Num % Den;
  if (2 * r > Den || (2 * r == Den && (q & 1))) ++q;
  return q;
}

// Proportion check r < 1.2 (six wide for five high), exactly.
bool NarrowerThanCanvas(int64_t W, int64_t H) { return 5 * W < 6 * H; }

// The frame a picture of W x H is fitted through: cut to the canvas's
// proportion (crop), the picture itself (stretch), or widened with black
// to that proportion (border). Divisions by 2 truncate toward zero.
TImgFeedShape FitShape(int64_t W, int64_t H, int32_t ResizeMode) {
  TImgFeedShape s;
  int64_t fw = W, fh = H, x = 0, y = 0;
  if (ResizeMode == RESIZE_CROP) {
    if (NarrowerThanCanvas(W, H)) {
      fh = RoundDiv(W * 5, 6);
      y = -((H - fh) / 2);
    } else {
      fw = RoundDiv(H * 6, 5);
      x = -((W - fw) / 2);
    }
  } else if (ResizeMode != RESIZE_STRETCH) {
    if (NarrowerThanCanvas(W, H)) {
      fw = RoundDiv(H * 6, 5);
      x = (fw - W) / 2;
    } else {
      fh = RoundDiv(W * 5, 6);
      y = (fh - H) / 2;
    }
  }
  // Only a widened frame can outgrow the picture, by a fifth: a frame
  // beyond 32 bits is a picture too large, as its copy used to be.
  if (fw > INT32_MAX || fh > INT32_MAX) SetError(EG_MEM, 5, __LINE__);
  s.Width = static_cast<int32_t>(W);
  s.Height = static_cast<int32_t>(H);
  s.FrameWidth = static_cast<int32_t>(fw);
  s.FrameHeight = static_cast<int32_t>(fh);
  s.X = static_cast<int32_t>(x);
  s.Y = static_cast<int32_t>(y);
  s.NewWidth = LOGO_WIDTH;
  s.NewHeight = LOGO_HEIGHT;
  return s;
}

// The frame of FitShape for a picture stored turned or mirrored: fitted as
// it is seen, in the stored picture's own directions, so that ImgOrient of
// the canvas gives the upright logo. Where a direction is reversed, what
// was cut or added at one edge is cut or added at the other.
TImgFeedShape OrientedFitShape(int64_t W, int64_t H, int32_t ResizeMode, int32_t Orientation) {
  const bool transposes = OrientationTransposes(Orientation);
  TImgFeedShape s = transposes ? FitShape(H, W, ResizeMode) : FitShape(W, H, ResizeMode);
  if (transposes) {
    std::swap(s.Width, s.Height);
    std::swap(s.FrameWidth, s.FrameHeight);
    std::swap(s.X, s.Y);
    std::swap(s.NewWidth, s.NewHeight);
  }
  // The stored picture's x runs against the seen picture in 2, 3, 7 and 8,
  // its y in 3, 4, 6 and 7.
  if (Orientation == 2 || Orientation == 3 || Orientation == 7 || Orientation == 8)
    s.X = s.FrameWidth - s.Width - s.X;
  if (Orientation == 3 || Orientation == 4 || Orientation == 6 || Orientation == 7)
    s.Y = s.FrameHeight - s.Height - s.Y;
  return s;
}

// Loads the first picture of an identified file, upright.
void LoadFirstPicture(const TUniInfo& Info, TImg& Img) {
  TUniFile uni;
  UniOpen(uni, Info);
  UniImgLoad(uni, Img, 1, 0);
  UniClose(uni);
  ImgOrient(Img, Info.Orientation);
}

// The file being added, for the progress of its import.
struct TAddState {
  std::string Name;
  int32_t File = 0, Files = 0;
};

TAddState& AddState() {
  static TAddState state;
  return state;
}

// Progress of one import read row by row: from half a second on, the
// status bar (and the command line's progress line) show the share of rows
// read, and ESC stops the reading between rows.
class TFeedProgress {
 public:
  void Attach(TImgFeed& F) {
    F.Stop = &stopped_;
    F.Progress = [this](const TImgFeed& Feed) { Tick(Feed); };
  }
  bool Stopped() const { return stopped_; }
  ~TFeedProgress() {
    if (shown_ && ImportProgress()) Report(-1);
  }

 private:
  using TClock = std::chrono::steady_clock;

  void Tick(const TImgFeed& F) noexcept {
    using std::chrono::milliseconds;
    const TClock::time_point now = TClock::now();
    if (now - start_ < milliseconds(500) || now - last_ < milliseconds(100)) return;
    last_ = now;
    const int32_t percent = static_cast<int32_t>(int64_t{F.Rows} * 100 / F.Shape.Height);
    try {
      const TAddState& a = AddState();
      char status[1024];
      if (a.Files > 0)
        std::snprintf(status, sizeof status,
                      "Adding image \"%s\" (file %d of %d), %d %%, press ESC to abort...",
                      a.Name.c_str(), a.File, a.Files, percent);
      else
        std::snprintf(status, sizeof status, "Adding image \"%s\", %d %%, press ESC to abort...",
                      a.Name.c_str(), percent);
      ShowStatus(status, true);
      ProcessPending();
      if (ImportProgress()) Report(percent);
      shown_ = true;
      if (BatchAnswer() == BA_ABORT) stopped_ = true;
    } catch (...) {
      // Progress that cannot be shown never stops the import.
    }
  }

  void Report(int32_t Percent) {
    const TAddState& a = AddState();
    ImportProgress()(a.Name, a.File, a.Files, Percent);
  }

  TClock::time_point start_ = TClock::now(), last_ = start_;
  bool stopped_ = false;
  bool shown_ = false;
};

// Files whose reader hands its rows on are decoded row by row straight
// into the fitting, so a picture of any size is never held whole: only the
// canvas, a few rows and the decoder's own state are. A picture already of
// the canvas's size is not fitted at all and keeps its depth, so it takes
// the ordinary way.
bool LoadFitted(const TUniInfo& Info, TImg& Img, int32_t ResizeMode, bool& Stopped) {
  const TFormatProcs* procs = FFProcs(Info.FormatId);
  const bool byRows = Info.Kind == UNI_STILL && procs && procs->Feed;
  if (!byRows || (Info.Width == LOGO_WIDTH && Info.Height == LOGO_HEIGHT)) return false;
  TImgLoadGuard guard(Img);  // a failed decode leaves no stale block in Img
  TImgFeed feed;
  TFeedProgress progress;
  TImgFeedStarter start = [&](TImgFeed& F, const TImg& Shape) {
    TImgFeedShape shape = OrientedFitShape(Shape.Width, Shape.Height, ResizeMode, Info.Orientation);
    shape.BitsPerPixel = Shape.BitsPerPixel;
    ImgFeedStart(F, Img, shape, &Shape.Palette);
    progress.Attach(F);
  };
  procs->Feed(Info.FileName, feed, start);
  Stopped = progress.Stopped();
  if (!Stopped) ImgOrient(Img, Info.Orientation);
  return true;
}

// Where a picture from Source is stored: "Custom--NAME.kvo" in Folder. A
// name longer than the list keeps (LOGO_NAME_MAX) could never be set,
// renamed or deleted again, so it is shortened (never inside a UTF-8
// character) and numbered when a shortened name is taken already.
std::string StoredDestination(const std::string& Folder, const std::string& Source) {
  const std::string whole = CUSTOM_PREFIX + std::string("--") + ForceFileExt(ExtractFileName(Source), STORED_EXT);
  if (whole.size() <= LOGO_NAME_MAX) return Folder + whole;
  const std::string stem = whole.substr(0, whole.size() - std::string(STORED_EXT).size());
  for (int n = 1;; ++n) {
    const std::string mark = n == 1 ? std::string() : "~" + std::to_string(n);
    size_t keep = LOGO_NAME_MAX - std::string(STORED_EXT).size() - mark.size();
    while (keep > 0 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
    const std::string name = stem.substr(0, keep) + mark + STORED_EXT;
    if (!FileExists(Folder + name)) return Folder + name;
  }
}

}  // namespace

void FitToCanvas(TImg& Img, int32_t ResizeMode) {
  Monitored("Store.FitToCanvas", [&] {
    if (Img.Width == LOGO_WIDTH && Img.Height == LOGO_HEIGHT) return;
    if (Img.Width <= 0 || Img.Height <= 0) SetError(EG_IMG, 4, __LINE__);
    // Straight from the picture through the frame into the canvas: neither
    // a cropped copy nor a bordered one is ever made.
    TImg canvas;
    ImgFeedPicture(Img, canvas, FitShape(Img.Width, Img.Height, ResizeMode));
    ImgXchg(Img, canvas);
    ImgFree(canvas);
  });
}

void ReduceToLogoPalette(TImg& Img) { ReduceToLogoPalette(Img, EffectivePalette(Settings())); }

void ReduceToLogoPalette(TImg& Img, int32_t Palette) {
  Monitored("Store.ReduceToLogoPalette", [&] {
    TImg temp;
    if (Palette == PALETTE_BEST) {
      PalReduceBest(Img, temp, LOGO_COLORS);
    } else {
      _imgalloc_(temp, Img.Width, Img.Height, 8, __LINE__, "Store.ReduceToLogoPalette.temp");
      PalInit();
      PalClearVars();
      PalCountColors(Img);
      PalReduce(LOGO_COLORS);
      PalRemap(Img, temp, 1);
      PalDone();
    }
    ImgXchg(Img, temp);
    ImgFree(temp);
    // Shift to the logo layout: 0 black, the picture at 1 .. 235, and the
    // animation's entries 236 .. 255 cleared.
    for (int i = LOGO_COLORS; i >= 1; --i) MemMove(Img.Palette[i - 1], Img.Palette[i], 3);
    MemFill(Img.Palette[0], 3, 0);
    MemFill(Img.Palette[LOGO_COLORS + 1], 3 * (255 - LOGO_COLORS), 0);
    int64_t pixels = static_cast<int64_t>(Img.Width) * Img.Height;
    for (int64_t i = 0; i < pixels; ++i) Img.Data[i] = static_cast<uint8_t>(Img.Data[i] + 1);
  });
}

std::string ConfirmDestination(std::string Dest) {
  for (;;) {
    if (!FileExists(Dest) || BatchAnswer() == BA_OVERWRITE_ALL) return Dest;
    if (BatchAnswer() == BA_SKIP_ALL || BatchAnswer() == BA_ABORT) return {};
    BatchAnswer() = ExecOverwriteDialog(
        "Image Already Exists", "Image \"" + ExtractFileName(Dest) + "\" already exists " +
                                    "in the destination folder. What to do with it?");
    switch (BatchAnswer()) {
      case BA_OVERWRITE:
      case BA_OVERWRITE_ALL: return Dest;
      case BA_RENAME: {
        size_t slash = Dest.rfind('/') + 1;
        size_t dot = Dest.rfind('.');
        if (dot == std::string::npos || dot < slash) dot = Dest.size();
        std::string name = Dest.substr(slash, dot - slash);
        if (!ExecRenameDialog("Rename", "Enter new name", name)) continue;
        if (name.empty()) return {};
        // The typed name stays inside the destination folder.
        Dest = Dest.substr(0, slash) + SanitizeName(name) + Dest.substr(dot);
        continue;
      }
      case BA_SKIP:
      case BA_SKIP_ALL:
      case BA_ABORT: return {};
      default: continue;
    }
  }
}

TImportProgress& ImportProgress() {
  static TImportProgress hook;
  return hook;
}

bool ImportPicture(const std::string& Source, std::string& Dest) {
  // A name that leads to no file is not a format question: say so.
  struct stat st {};
  if (::stat(Source.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
    ShowError(Source + ": " + ErrorText(EG_FILE, 9));
    return false;
  }
  TUniInfo info;
  bool known = UniInfo(Source, info, false);
  ClearError();
  if (known && info.VideoValid && !info.VideoLoadable && UniRefusal(info) == 12) {
    ShowError(ExtractFileName(Source) + ": " + ErrorText(EG_IMG, 12));
    return false;
  }
  if (!known || !info.VideoValid || !info.VideoLoadable) {
    ShowError("Format not supported (\"" + ExtractFileName(Source) + "\")");
    return false;
  }
  Dest = ConfirmDestination(Dest);
  if (Dest.empty() || BatchAnswer() == BA_ABORT) return false;
  TImg picture;
  bool stopped = false;  // ESC while the rows were read: nothing is stored
  MonitoredKeep("Store.ImportPicture", [&] {
    if (!LoadFitted(info, picture, Settings().ResizeMode, stopped)) {
      LoadFirstPicture(info, picture);
      FitToCanvas(picture, Settings().ResizeMode);
    }
    if (stopped) {
      ImgFree(picture);
      MonExit();
    }
    size_t slash = Dest.rfind('/');
    if (slash != std::string::npos) MakeLongDir(Dest.substr(0, slash + 1));
    ReduceToLogoPalette(picture);
    if (!SaveStoredPicture(Dest, picture, TLogoMarks{POS_ALL, 0, MARKS_SIZE}))
      SetError(EG_IMG, 11, __LINE__);
    ImgFree(picture);
  });
  if (NoError()) return !stopped;
  // The failing frame released the picture's blocks; the quantiser's state
  // went with them.
  std::string message = LastErrorText();
  ClearError();
  PalDone();
  ShowError(message);
  return false;
}

bool ImportableFile(const std::string& Path) {
  struct stat st {};
  if (::stat(Path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return true;
  ShowError("Not a regular file: " + Path + ".");
  return false;
}

int32_t AddPictureFiles(const std::vector<std::string>& Candidates) {
  std::vector<std::string> Files;
  for (const std::string& path : Candidates)
    if (ImportableFile(path)) Files.push_back(path);
  if (Files.empty()) return 0;
  TChangeLock changing;
  if (!changing.Held()) return -1;
  BatchAnswer() = BA_NONE;
  StoreBusy() = true;
  std::string last;
  int n = static_cast<int>(Files.size());
  for (int i = 0; i < n; ++i) {
    const std::string& source = Files[static_cast<size_t>(i)];
    std::string dest = StoredDestination(GetStorageDir(), source);
    char status[1024];
    std::snprintf(status, sizeof status,
                  "Adding image \"%s\" (file %d of %d), press ESC to abort...",
                  ExtractFileName(source).c_str(), i + 1, n);
    AddState() = TAddState{ExtractFileName(source), i + 1, n};
    ShowStatus(status, true);
    ProcessPending();
    if (BatchAnswer() == BA_ABORT) break;
    if (ImportPicture(source, dest)) {
      last = dest;
      if (n > 1) PreviewStored(dest);
    }
    if (BatchAnswer() == BA_ABORT) break;
  }
  StoreBusy() = false;
  AddState() = TAddState{};
  LoadLogoList();
  int32_t index = last.empty() ? INVALID_ID : FindByFileName(ExtractFileName(last));
  return index == INVALID_ID ? 0 : index;
}

int32_t AddPictures() {
  if (StoreBusy()) return -1;
  static int32_t filterIndex = 1;
  std::vector<std::string> files;
  std::string filter;
  FFMakeLoadFilter(1, 1, filter);
  if (!MultiFileOpenDlg("Add New Image", Settings().FileOpenDir, filter, filterIndex, files) ||
      files.empty())
    return -1;
  if (!ExecResizeDialog(Settings().ResizeMode)) return -1;
  ShowBusy();
  int32_t select = AddPictureFiles(files);
  ShowReady();
  ShowStatus(StatusSummary(), false);
  return select;
}

}  // namespace kvo
