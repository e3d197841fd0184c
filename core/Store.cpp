// SPDX-License-Identifier: GPL-3.0-or-later
// The storage folder's names, its list and the stored picture files.
#include "core/Store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "core/Locations.h"
#include "core/Settings.h"
#include "formats/ByteCursor.h"
#include "formats/FF_PNG.h"
#include "platform/FaultInject.h"
#include "platform/Folders.h"
#include "platform/TextUtil.h"

namespace kvo {
namespace {

// The 8 bytes that end every PNG stream: the empty IEND chunk and its CRC.
constexpr uint8_t PNG_END[8] = {'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};

bool EndsWithExt(const std::string& Name, std::string_view Ext) {
  return Name.size() > Ext.size() && SameText(std::string_view(Name).substr(Name.size() - Ext.size()), Ext);
}

// Reads the 20 bytes at the end of a stored picture: the PNG's closing
// chunk and the trailer. Without a trailer the last 8 bytes are the PNG's.
struct TTail {
  int64_t FileSize = 0;
  uint8_t Bytes[20] = {};
  int32_t Got = 0;  // how many of the 20 bytes the file has
};

bool ReadTailFd(int Fd, const struct stat& St, TTail& Tail) {
  Tail.FileSize = St.st_size;
  Tail.Got = static_cast<int32_t>(std::min<int64_t>(20, St.st_size));
  int64_t from = St.st_size - Tail.Got;
  return ::pread(Fd, Tail.Bytes + (20 - Tail.Got), static_cast<size_t>(Tail.Got), from) == Tail.Got;
}

bool ReadTail(const std::string& Path, TTail& Tail) {
  int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadTailFd(fd, st, Tail);
  ::close(fd);
  return ok;
}

// A trailer is believed only when it says 12 and sits right after the PNG
// stream's end: a lying or missing trailer must never make us overwrite
// picture data.
bool TailHasTrailer(const TTail& T) {
  return T.Got == 20 && static_cast<int32_t>(GetU32LE(T.Bytes + 16)) == MARKS_SIZE &&
         std::memcmp(T.Bytes, PNG_END, 8) == 0;
}

bool TailEndsPng(const TTail& T) {
  return T.Got >= 8 && std::memcmp(T.Bytes + 12, PNG_END, 8) == 0;
}

// Writes the first Keep bytes of the stored picture and then a fresh
// trailer into a new file that takes its place, so a failure leaves the
// picture as it was.
bool RewriteWithTrailer(const std::string& Path, int64_t Keep, const uint8_t* Trailer) {
  constexpr int64_t block = 65536;
  MonitoredKeep("Store.RewriteWithTrailer", [&] {
    int32_t in = INVALID_ID, out = INVALID_ID;
    FOpen(in, Path, FM_READ);
    FOpen(out, Path, FM_CREATE);
    uint8_t* buf = nullptr;
    _memalloc_(buf, block, __LINE__, "Store.RewriteWithTrailer.buf");
    for (int64_t done = 0; done < Keep; done += block) {
      const int64_t n = std::min(block, Keep - done);
      FRead(in, buf, n);
      FWrite(out, buf, n);
    }
    FWrite(out, Trailer, MARKS_SIZE);
    MemFree(buf);
    FClose(in);
    FClose(out);
  });
  bool ok = NoError();
  ClearError();
  return ok;
}

// Quicksort by file name in natural order ("wall2" before "wall10", letter
// case aside), middle element as pivot.
void SortEntries(std::vector<TLogoEntry>& E, int32_t Lo, int32_t Hi) {
  auto less = [](const std::string& A, const std::string& B) { return CompareNatural(A, B) < 0; };
  while (Lo < Hi) {
    int32_t i = Lo, j = Hi;
    std::string pivot = E[static_cast<size_t>((Lo + Hi) / 2)].FileName;
    while (i <= j) {
      while (less(E[static_cast<size_t>(i)].FileName, pivot)) ++i;
      while (less(pivot, E[static_cast<size_t>(j)].FileName)) --j;
      if (i <= j) std::swap(E[static_cast<size_t>(i++)], E[static_cast<size_t>(j--)]);
    }
    // Recurse into the smaller half so the depth stays logarithmic.
    if (j - Lo < Hi - i) {
      SortEntries(E, Lo, j);
      Lo = i;
    } else {
      SortEntries(E, i, Hi);
      Hi = j;
    }
  }
}

}  // namespace

TLogoList& LogoList() {
  static TLogoList list;
  return list;
}

int32_t& BatchAnswer() {
  static int32_t answer = BA_NONE;
  return answer;
}

bool& StoreBusy() {
  static bool busy = false;
  return busy;
}

// ---- names ---------------------------------------------------------------------

std::string PrefixOf(const std::string& FileName) {
  size_t p = FileName.find("--");
  if (p == std::string::npos || p == 0 || p + 1 >= FileName.size()) return {};
  return FileName.substr(0, p);
}

std::string NameAfterPrefix(const std::string& FileName) {
  size_t p = FileName.find("--");
  if (p == std::string::npos || p + 2 >= FileName.size()) return FileName;
  return FileName.substr(p + 2);
}

std::string SanitizeName(const std::string& Text) {
  std::string s(TrimBlanks(Text));
  // "/" too: here it is the path separator, and a name must never leave
  // the storage folder.
  for (char& c : s)
    if (c == '\\' || c == ':' || c == '>' || c == '<' || c == '/') c = '_';
  return s;
}

std::string MakePrefix(const std::string& Text, bool WithSeparator) {
  std::string s(TrimBlanks(Text));
  for (size_t p; (p = s.find("--")) != std::string::npos;) s.erase(p, 2);
  s = SanitizeName(s);
  if (WithSeparator) s += "--";
  return s;
}

// ---- the list ------------------------------------------------------------------

// One listed file: its size and the marks of its trailer (OnDisk false
// when it has no valid one). Opened through the folder's descriptor, so a
// listing of thousands costs an open, a stat, one read and a close each.
// Only regular files (or links to them) are opened: the directory entry's
// type says so without a stat on the file systems that give it.
bool ListedFile(int Dir, const dirent& E, int64_t& Size, TLogoMarks& Marks, bool& Valid) {
  struct stat st {};
  if (E.d_type != DT_REG && (::fstatat(Dir, E.d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)))
    return false;
  int fd = ::openat(Dir, E.d_name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  TTail tail;
  Valid = ok && ReadTailFd(fd, st, tail) && TailHasTrailer(tail);
  ::close(fd);
  if (!ok) return false;
  Size = st.st_size;
  if (Valid) {
    Marks.Positions = GetU32LE(tail.Bytes + 8);
    Marks.Used = GetU32LE(tail.Bytes + 12);
  }
  return true;
}

void LoadLogoList() {
  TLogoList& list = LogoList();
  list = TLogoList{};
  std::string dir = GetStorageDir();
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
  if (!d) return;
  while (dirent* e = ::readdir(d.get())) {
    if (list.Count >= LOGO_LIST_MAX) break;
    std::string name = e->d_name;
    if (!EndsWithExt(name, STORED_EXT)) continue;
    int64_t size = 0;
    bool valid = false;
    TLogoMarks marks{0, 0, MARKS_SIZE};  // a file without a valid trailer lists with none
    if (!ListedFile(::dirfd(d.get()), *e, size, marks, valid)) continue;
    TLogoEntry entry;
    entry.FileName = name.substr(0, LOGO_NAME_MAX);
    entry.Prefix = PrefixOf(entry.FileName).substr(0, LOGO_PREFIX_MAX);
    entry.Positions = entry.DiskPositions = marks.Positions;
    entry.Used = entry.DiskUsed = marks.Used;
    // A name cut to fit is not the file's: its marks cannot be compared.
    entry.OnDisk = valid && entry.FileName == name;
    list.Entries.push_back(std::move(entry));
    list.TotalSize += size;
    ++list.Count;
  }
  if (list.Count > 1) SortEntries(list.Entries, 0, list.Count - 1);
}

// Files whose trailer already holds the entry's marks are left alone: a
// shuffle changes the marks of three pictures, not of the whole store.
void SaveLogoMarks() {
  TChangeLock changing;
  if (!changing.Held()) return;
  std::string dir = GetStorageDir();
  for (TLogoEntry& e : LogoList().Entries) {
    if (e.OnDisk && e.Positions == e.DiskPositions && e.Used == e.DiskUsed) continue;
    std::string path = dir + e.FileName;
    if (!FileExists(path) || !WriteMarks(path, TLogoMarks{e.Positions, e.Used, MARKS_SIZE}))
      continue;
    e.OnDisk = true;
    e.DiskPositions = e.Positions;
    e.DiskUsed = e.Used;
  }
}

int32_t FindByFileName(const std::string& FileName) {
  // The storage folder tells names apart by letter case: the name as it is
  // wins, and one that differs only in case stands for a picture only when
  // no other picture matches it too.
  const auto& entries = LogoList().Entries;
  int32_t found = INVALID_ID;
  int matches = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].FileName == FileName) return static_cast<int32_t>(i);
    if (SameText(entries[i].FileName, FileName) && ++matches == 1) found = static_cast<int32_t>(i);
  }
  return matches == 1 ? found : INVALID_ID;
}

std::vector<std::string> FileNamesLike(const std::string& FileName) {
  std::vector<std::string> names;
  for (const TLogoEntry& e : LogoList().Entries)
    if (SameText(e.FileName, FileName)) names.push_back(e.FileName);
  return names;
}

int32_t FindByPrefix(const std::string& Prefix) {
  const auto& entries = LogoList().Entries;
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string& n = entries[i].FileName;
    if (n.size() >= Prefix.size() && SameText(std::string_view(n).substr(0, Prefix.size()), Prefix))
      return static_cast<int32_t>(i);
  }
  return INVALID_ID;
}

std::string StatusSummary() {
  const TLogoList& list = LogoList();
  double mb = static_cast<double>(list.TotalSize / 1024) / 1024.0;
  return std::to_string(list.Count) + (list.Count == 1 ? " image" : " images") +
         " (total size: " + RealToStr(mb, 0, 1) + " MB)";
}

// ---- stored picture files --------------------------------------------------------

bool LoadStoredPicture(const std::string& Path, TImg& Img) {
  MonitoredKeep("Store.LoadStoredPicture", [&] { PNGLoad(Path, Img); });
  bool ok = NoError();
  if (!ok) {
    // The failing reader's frame released what it allocated.
    if (!ImgIsValid(Img)) Img = TImg{};
    ClearError();
  }
  return ok;
}

bool SaveStoredPicture(const std::string& Path, TImg& Img, const TLogoMarks& Marks) {
  uint8_t trailer[MARKS_SIZE];
  PutMarks(trailer, Marks);
  int32_t level = PNGSetCompression(INVALID_ID);
  MonitoredKeep("Store.SaveStoredPicture", [&] {
    PNGSetCompression(7);
    PNGSaveTail(Path, Img, std::string_view(reinterpret_cast<const char*>(trailer), MARKS_SIZE));
  });
  PNGSetCompression(level);
  bool ok = NoError();
  ClearError();
  return ok;
}

void PutMarks(uint8_t* Out, const TLogoMarks& Marks) {
  PutU32LE(Out, Marks.Positions);
  PutU32LE(Out + 4, Marks.Used);
  PutU32LE(Out + 8, static_cast<uint32_t>(MARKS_SIZE));
}

bool ReadMarks(const std::string& Path, TLogoMarks& Marks) {
  TTail tail;
  if (!ReadTail(Path, tail) || !TailHasTrailer(tail)) return false;
  Marks.Positions = GetU32LE(tail.Bytes + 8);
  Marks.Used = GetU32LE(tail.Bytes + 12);
  Marks.TrailerSize = MARKS_SIZE;
  return true;
}

bool WriteMarks(const std::string& Path, const TLogoMarks& Marks) {
  TTail tail;
  if (!ReadTail(Path, tail)) return false;
  uint8_t trailer[MARKS_SIZE];
  PutMarks(trailer, Marks);
  // Over a valid trailer; after a bare PNG stream a fresh one is appended.
  // Anything else is left untouched, so picture data is never overwritten.
  if (TailHasTrailer(tail)) return RewriteWithTrailer(Path, tail.FileSize - MARKS_SIZE, trailer);
  if (TailEndsPng(tail)) return RewriteWithTrailer(Path, tail.FileSize, trailer);
  return false;
}

bool RenameStored(const std::string& OldFileName, const std::string& NewFileName) {
  std::string dir = GetStorageDir();
  std::string from = dir + OldFileName, to = dir + NewFileName;
  // A rename never replaces another picture: the file system is asked not
  // to, and where it cannot promise that, an existing target is refused.
  int rc = FaultInjected(TFaultOp::Rename)
               ? -1
               : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
    struct stat st {};
    rc = (::lstat(to.c_str(), &st) == 0) ? -1 : ::rename(from.c_str(), to.c_str());
  }
  if (rc != 0) return false;
  // Found by its exact name: the list's order does not tell apart names
  // that differ only in letter case.
  for (TLogoEntry& e : LogoList().Entries) {
    if (e.FileName != OldFileName) continue;
    e.FileName = NewFileName.substr(0, LOGO_NAME_MAX);
    e.OnDisk = e.OnDisk && e.FileName == NewFileName;
    e.Prefix = PrefixOf(e.FileName).substr(0, LOGO_PREFIX_MAX);
    break;
  }
  return true;
}

}  // namespace kvo
