// SPDX-License-Identifier: GPL-3.0-or-later
// Creating and installing gallery files.
//
// A gallery comes from anywhere, so everything in it is foreign: sizes are
// checked before use, and the prefix and names it carries are sanitised so
// no file it names can land outside the storage folder.
#include "core/Gallery.h"

#include <cmath>
#include <cstring>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "base/VCLUtils.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "formats/ByteCursor.h"
#include "platform/Folders.h"

namespace kvo {
namespace {

constexpr size_t MAGIC_FIELD = 32, PREFIX_FIELD = 64, NAME_FIELD = 128;
constexpr int64_t COUNT_OFFSET = 104;

void PutLE32(std::string& Out, size_t At, int32_t V) {
  PutU32LE(reinterpret_cast<uint8_t*>(Out.data() + At), static_cast<uint32_t>(V));
}

int32_t GetLE32(const uint8_t* P) { return static_cast<int32_t>(GetU32LE(P)); }

// A short text: a length byte, the characters, zeros to the field's end.
void PutShortText(std::string& Out, size_t At, size_t Field, const std::string& Text) {
  size_t n = std::min(Text.size(), Field - 1);
  Out[At] = static_cast<char>(n);
  std::memcpy(Out.data() + At + 1, Text.data(), n);
}

std::string GetShortText(const uint8_t* P, size_t Field) {
  size_t n = std::min<size_t>(P[0], Field - 1);  // a lying length stays in its field
  return std::string(reinterpret_cast<const char*>(P + 1), n);
}

// The whole file, through the tracked files (a failure raises).
std::string FileToBytes(const std::string& Path) {
  int32_t h;
  FOpen(h, Path, FM_READ);
  int64_t size = FSize(h);
  if (size < 0 || size > INT32_MAX) SetError(EG_FILE, 3, __LINE__);
  std::string data(static_cast<size_t>(size), '\0');
  FRead(h, data.data(), size);
  FClose(h);
  return data;
}

// Reads a stored picture whole, with its Used marks cleared.
std::string ReadForGallery(const std::string& Path) {
  std::string data = FileToBytes(Path);
  TLogoMarks marks;
  if (ReadMarks(Path, marks) && data.size() >= static_cast<size_t>(MARKS_SIZE)) {
    marks.Used = 0;
    PutMarks(reinterpret_cast<uint8_t*>(data.data() + data.size() - MARKS_SIZE), marks);
  }
  return data;
}

std::string GalleryReport(const std::string& Path, const std::string& Prefix, int32_t Written) {
  int64_t size = GetFileSize(Path);
  double bytes = size < 0 ? 0 : static_cast<double>(size);
  std::string r = "Gallery \"" + Path + "\" successfuly created.\r\n\r\n";
  r += "Prefix: \"" + Prefix + "\"\r\n\r\n";
  r += "Number of pictures: " + std::to_string(Written) + "\r\n\r\n";
  r += "File size: " + GetFileSizeStr(bytes) + "\r\n\r\n";
  r += "Download times (ideal case):\r\n";
  const struct { double Rate; const char* Text; } rates[] = {
      {14400, "14.4 kbps"}, {28800, "28.8 kbps"}, {33600, "33.6 kbps"},
      {56000, "56 kbps"},   {128000, "128 kbps"}, {2048576, "2 Mbps"}};
  for (const auto& rate : rates)
    r += "  " + DownloadTime(bytes, rate.Rate) + "  at  " + rate.Text + "\r\n";
  return r + "\r\n";
}

void WriteGalleryEntries(int32_t H, const std::vector<int32_t>& Entries, int32_t& Written) {
  const auto& list = LogoList().Entries;
  int32_t n = static_cast<int32_t>(Entries.size());
  for (int32_t index : Entries) {
    if (index < 0 || index >= static_cast<int32_t>(list.size())) continue;
    ShowStatus("Creating gallery, adding image " + std::to_string(Written + 1) + " of " +
                   std::to_string(n), true);
    ProcessPending();
    const TLogoEntry& e = list[static_cast<size_t>(index)];
    std::string data = ReadForGallery(GetStorageDir() + e.FileName);
    TGalleryEntry entry;
    entry.Name = NameAfterPrefix(e.FileName).substr(0, NAME_FIELD - 1);
    entry.DataSize = static_cast<int32_t>(data.size());
    std::string head = GalleryEntryBytes(entry);
    FWrite(H, head.data(), static_cast<int64_t>(head.size()));
    FWrite(H, data.data(), static_cast<int64_t>(data.size()));
    ++Written;
    if (BatchAnswer() == BA_ABORT) break;
  }
}

// The prefix to install under: asks while stored pictures already carry it.
// False when the user ends the command.
bool ConfirmGalleryPrefix(std::string& Prefix) {
  while (FindByPrefix(Prefix) != INVALID_ID) {
    char a = YesNoCancel(
        "The gallery already exists, do you want to overwrite it (click \"Yes\" to overwrite, "
        "\"No\" to rename, \"Cancel\" to abort)?", 'C');
    if (a == 'Y') return true;
    if (a == 'C') return false;
    if (a == 'N') {
      std::string input = Prefix;
      if (!ExecRenameDialog("Open Gallery", "Enter new image prefix", input)) return false;
      Prefix = input;
    }
  }
  return true;
}

bool CheckGalleryHeader(const TGalleryHeader& H) {
  if (H.Magic != GAL_MAGIC) {
    ShowError("This is not a valid Kvo Panoramics gallery.");
    return false;
  }
  if (H.Version != GAL_VERSION) {
    ShowError("Invalid gallery version.");
    return false;
  }
  if (H.ImageCount <= 0) {
    ShowError("This gallery contains no images.");
    return false;
  }
  return true;
}

// Unpacks the entries; returns the first file name written.
std::string ExtractEntries(int32_t H, const TGalleryHeader& Header, const std::string& Prefix) {
  std::string first;
  // Only the file's own name part of the prefix and of each entry name is
  // used, so nothing is written outside the storage folder.
  std::string safePrefix = SanitizeName(Prefix);
  int64_t pos = Header.HeaderSize, size = FSize(H);
  for (int32_t i = 1; i <= Header.ImageCount; ++i) {
    ShowStatus("Extracting image " + std::to_string(i) + " of " + std::to_string(Header.ImageCount), true);
    ProcessPending();
    uint8_t head[GAL_ENTRY_SIZE];
    if (pos < 0 || pos > size - GAL_ENTRY_SIZE) SetError(EG_FILE, 3, __LINE__);
    FSeek(H, pos);
    FRead(H, head, GAL_ENTRY_SIZE);
    TGalleryEntry e = ParseGalleryEntry(head);
    if (e.DataSize > GAL_DATA_MAX) break;
    if (e.EntrySize < GAL_ENTRY_SIZE || e.DataSize < 0) SetError(EG_IMG, 9, __LINE__);
    pos += e.EntrySize;
    if (pos > size - e.DataSize) SetError(EG_FILE, 3, __LINE__);
    std::string data(static_cast<size_t>(e.DataSize), '\0');
    FSeek(H, pos);
    FRead(H, data.data(), e.DataSize);
    pos += e.DataSize;
    std::string name = safePrefix + "--" + SanitizeName(e.Name);
    int32_t out;
    FOpen(out, GetStorageDir() + name, FM_CREATE);
    FWrite(out, data.data(), e.DataSize);
    FClose(out);
    if (first.empty()) first = name;
  }
  return first;
}

}  // namespace

std::string GalleryHeaderBytes(const TGalleryHeader& H) {
  std::string out(GAL_HEADER_SIZE, '\0');
  PutLE32(out, 0, H.HeaderSize);
  PutShortText(out, 4, MAGIC_FIELD, H.Magic);
  PutLE32(out, 36, H.Version);
  PutShortText(out, 40, PREFIX_FIELD, H.Prefix);
  PutLE32(out, 104, H.ImageCount);
  return out;
}

TGalleryHeader ParseGalleryHeader(const uint8_t* B) {
  TGalleryHeader h;
  h.HeaderSize = GetLE32(B);
  h.Magic = GetShortText(B + 4, MAGIC_FIELD);
  h.Version = GetLE32(B + 36);
  h.Prefix = GetShortText(B + 40, PREFIX_FIELD);
  h.ImageCount = GetLE32(B + 104);
  return h;
}

std::string GalleryEntryBytes(const TGalleryEntry& E) {
  std::string out(GAL_ENTRY_SIZE, '\0');
  PutLE32(out, 0, E.EntrySize);
  PutShortText(out, 4, NAME_FIELD, E.Name);
  PutLE32(out, 132, E.DataSize);
  return out;
}

TGalleryEntry ParseGalleryEntry(const uint8_t* B) {
  TGalleryEntry e;
  e.EntrySize = GetLE32(B);
  e.Name = GetShortText(B + 4, NAME_FIELD);
  e.DataSize = GetLE32(B + 132);
  return e;
}

std::string DownloadTime(double Bytes, double BitsPerSecond) {
  int64_t t = RoundHalfEven(Bytes / (BitsPerSecond * 0.125));
  if (t > 20) t = 5 * ((t + 5) / 5);
  return SecToStr(static_cast<double>(t), STS_HOURS | STS_MINUTES | STS_SECONDS | STS_NO_MSEC);
}

void CreateGallery(const std::string& GalleryPath, const std::string& Prefix,
                   const std::vector<int32_t>& Entries) {
  int32_t written = 0;
  std::string prefix = Prefix.substr(0, PREFIX_FIELD - 1);
  TChangeLock changing;
  if (!changing.Held()) return;
  MonitoredKeep("Gallery.CreateGallery", [&] {
    BatchAnswer() = BA_NONE;
    int32_t h;
    FOpen(h, GalleryPath, FM_CREATE);
    TGalleryHeader header;
    header.Magic = GAL_MAGIC;
    header.Version = GAL_VERSION;
    header.Prefix = prefix;
    header.ImageCount = static_cast<int32_t>(Entries.size());
    std::string head = GalleryHeaderBytes(header);
    FWrite(h, head.data(), GAL_HEADER_SIZE);
    WriteGalleryEntries(h, Entries, written);
    // Stopped early (ESC): the header announces only what follows, so the
    // file still installs whole.
    if (written != header.ImageCount) {
      std::string count(4, '\0');
      PutLE32(count, 0, written);
      FSeek(h, COUNT_OFFSET);
      FWrite(h, count.data(), 4);
    }
    FClose(h);
  });
  if (NoError())
    ShowInfo(GalleryReport(GalleryPath, prefix, written));
  else
    ShowLastError();
  ClearError();
}

int32_t InstallGallery(const std::string& GalleryPath, const std::string* PrefixOverride) {
  std::string first;
  std::string prefix;
  bool checked = false;
  TChangeLock changing;
  if (!changing.Held()) return -1;
  MonitoredKeep("Gallery.InstallGallery", [&] {
    BatchAnswer() = BA_NONE;
    int32_t h;
    FOpen(h, GalleryPath, FM_READ);
    uint8_t head[GAL_HEADER_SIZE];
    FRead(h, head, GAL_HEADER_SIZE);
    TGalleryHeader header = ParseGalleryHeader(head);
    prefix = PrefixOverride ? *PrefixOverride : header.Prefix;
    if (CheckGalleryHeader(header) && ConfirmGalleryPrefix(prefix)) {
      checked = true;
      MakeLongDir(GetStorageDir());
      first = ExtractEntries(h, header, prefix);
    }
    FClose(h);
  });
  bool failed = !NoError();
  if (checked || failed) LoadLogoList();
  if (checked && !failed) ShowInfo("Gallery installed (prefix \"" + prefix + "\").");
  ShowLastError();
  ClearError();
  int32_t index = first.empty() ? INVALID_ID : FindByFileName(first);
  return index == INVALID_ID ? -1 : index;
}

void CreateGalleryCommand(const TListSelection& Sel) {
  if (Sel.Selected.size() < 2) {
    ShowWarning(
        "To create a gallery you must highlight two or more images in the list below. These "
        "images will be added to the gallery.");
    return;
  }
  static int32_t filterIndex = 1;
  std::string file = "CustomGallery";
  if (!FileSaveDlg("Create New Gallery", Settings().GalDir, GAL_FILTER, filterIndex, file)) return;
  if (FileExists(file) && YesNo("Gallery already exists, do you want to overwrite it?", false) != 'Y')
    return;
  std::string input = ForceFileExt(ExtractFileName(file), "");
  if (!ExecRenameDialog("Create Gallery", "Enter gallery image prefix", input)) return;
  std::string prefix = MakePrefix(input, false);
  if (prefix.empty() || prefix.size() >= PREFIX_FIELD) {
    ShowWarning("Invalid prefix.");
    return;
  }
  ShowBusy();
  CreateGallery(file, prefix, Sel.Selected);
  ShowReady();
}

int32_t OpenGalleryCommand() {
  static int32_t filterIndex = 1;
  std::string file;
  if (!FileOpenDlg("Open a Gallery", Settings().GalDir, GAL_FILTER, filterIndex, file)) return -1;
  ShowBusy();
  int32_t select = InstallGallery(file);
  ShowReady();
  return select;
}

}  // namespace kvo
