// SPDX-License-Identifier: GPL-3.0-or-later
// The image store: the storage folder of candidate logo pictures, each one
// already fitted to the logo canvas and reduced to the logo palette, so
// setting a logo never has to convert anything.
//
// A stored picture (".kvo") is a PNG of the canvas followed by a 12-byte
// trailer of marks: the positions it may be shuffled into and the positions
// it has already been used for in the current round.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image/IMGBasic.h"

namespace kvo {

inline constexpr int32_t LOGO_WIDTH = 320;
inline constexpr int32_t LOGO_HEIGHT = 400;
inline constexpr int32_t LOGO_COLORS = 235;     // picture colours, indices 1 .. 235
inline constexpr int32_t LOGO_LIST_MAX = 5000;
inline constexpr size_t LOGO_PREFIX_MAX = 63;
inline constexpr size_t LOGO_NAME_MAX = 127;
inline constexpr int32_t MARKS_SIZE = 12;
inline constexpr const char* STORED_EXT = ".kvo";
inline constexpr const char* CUSTOM_PREFIX = "Custom";

struct TLogoMarks {
  uint32_t Positions = 0;
  uint32_t Used = 0;
  int32_t TrailerSize = MARKS_SIZE;
};

struct TLogoEntry {
  std::string Prefix;    // PrefixOf(FileName), at most 63 characters
  std::string FileName;  // without folder, with extension; at most 127 characters
  uint32_t Positions = 0;
  uint32_t Used = 0;
  // The marks the file's trailer held when it was listed (or last written),
  // so that saving the marks rewrites only the files whose marks changed.
  bool OnDisk = false;
  uint32_t DiskPositions = 0;
  uint32_t DiskUsed = 0;
};

struct TLogoList {
  int32_t Count = 0;
  int64_t TotalSize = 0;  // bytes of the listed files
  std::vector<TLogoEntry> Entries;
};

// Overwrite answers, remembered for one Add, gallery install or creation.
inline constexpr int32_t BA_NONE = 0;
inline constexpr int32_t BA_OVERWRITE = 1;
inline constexpr int32_t BA_SKIP = 2;
inline constexpr int32_t BA_RENAME = 3;
inline constexpr int32_t BA_OVERWRITE_ALL = 4;
inline constexpr int32_t BA_SKIP_ALL = 5;
inline constexpr int32_t BA_ABORT = 6;

// The program's one picture list and its remembered batch answer.
TLogoList& LogoList();
int32_t& BatchAnswer();
// True while a list operation runs (Add, gallery work, shuffle); other list
// commands are ignored meanwhile.
bool& StoreBusy();

// The list's selected entries (in list order) and its focused entry (-1: none).
struct TListSelection {
  std::vector<int32_t> Selected;
  int32_t Current = -1;
};

// ---- names ---------------------------------------------------------------------
std::string PrefixOf(const std::string& FileName);
std::string NameAfterPrefix(const std::string& FileName);
std::string SanitizeName(const std::string& Text);
std::string MakePrefix(const std::string& Text, bool WithSeparator);

// ---- the list ------------------------------------------------------------------
void LoadLogoList();
void SaveLogoMarks();
// The entry named FileName: the exact name, else the one name that differs
// from it only in letter case; INVALID_ID when none or several do.
int32_t FindByFileName(const std::string& FileName);
// The stored names equal to FileName but for letter case.
std::vector<std::string> FileNamesLike(const std::string& FileName);
int32_t FindByPrefix(const std::string& Prefix);
std::string StatusSummary();

// ---- stored picture files --------------------------------------------------------
bool LoadStoredPicture(const std::string& Path, TImg& Img);
bool SaveStoredPicture(const std::string& Path, TImg& Img, const TLogoMarks& Marks);
bool ReadMarks(const std::string& Path, TLogoMarks& Marks);
// The 12 trailer bytes of Marks (TrailerSize always 12).
void PutMarks(uint8_t* Out, const TLogoMarks& Marks);
bool WriteMarks(const std::string& Path, const TLogoMarks& Marks);
bool RenameStored(const std::string& OldFileName, const std::string& NewFileName);

// ---- import ------------------------------------------------------------------------
// Fits a loaded picture to the canvas by the given mode (0 border, 1 crop,
// 2 stretch); the result is 24-bit unless the picture already had the
// canvas size.
void FitToCanvas(TImg& Img, int32_t ResizeMode);
// Reduces a canvas picture to 235 colours with dithering, by the reduction
// Palette names (PALETTE_STANDARD or PALETTE_BEST), and shifts the palette
// to the logo layout (0 black, 1 .. 235 the picture, 236 .. 255 zero).
void ReduceToLogoPalette(TImg& Img, int32_t Palette);
// The same by the reduction the settings choose.
void ReduceToLogoPalette(TImg& Img);
// The destination after the overwrite question: Dest, a renamed path, or
// empty when the file is to be skipped.
std::string ConfirmDestination(std::string Dest);
// Converts one file into a stored picture; Dest may come back renamed, or
// empty when skipped. True when a stored picture was written.
bool ImportPicture(const std::string& Source, std::string& Dest);
// Imports files into the storage folder as prefix "Custom"; returns the
// list index of the last destination (0 when it is not listed, -1 when
// another run kept the store busy).
int32_t AddPictureFiles(const std::vector<std::string>& Files);
// Whether Path may be offered to the import: a regular file, or nothing at
// all (the import names what is missing). A FIFO, socket or device would
// have a reader wait for ever while the change lock is held; it is refused
// at once with "Not a regular file: NAME.".
bool ImportableFile(const std::string& Path);
// Told how far the import of a picture read row by row has come, once it
// has taken half a second: Percent from 0 to 100, and -1 when it ended.
// The status bar shows it in any case ("Adding image ... 37 %, press ESC
// to abort..."); this is for the command line's progress line.
using TImportProgress =
    std::function<void(const std::string& Name, int32_t File, int32_t Files, int32_t Percent)>;
TImportProgress& ImportProgress();

// ---- user commands (the main window's buttons and menu items) -----------------------
// Each returns the list index to select afterwards, or -1 to keep the selection.
int32_t AddPictures();
// Moves the selected pictures to the desktop's Trash (all or none), or with
// Permanently unlinks them, after a question naming each; Where, when
// given, gets the place in the Trash of each one moved.
int32_t DeleteSelected(const TListSelection& Sel, bool Permanently = false,
                       std::vector<std::string>* Where = nullptr);
int32_t RenameSelected(const TListSelection& Sel);
int32_t ChangePrefixSelected(const TListSelection& Sel);
void ChoosePositionsSelected(const TListSelection& Sel);
void TogglePosition(const TListSelection& Sel, uint32_t Position);
// Gives every listed entry the positions set (and a fresh round).
void SetPositions(const std::vector<int32_t>& Entries, uint32_t Positions);

}  // namespace kvo
