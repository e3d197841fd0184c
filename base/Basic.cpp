// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/Basic.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "base/Errors.h"
#include "platform/FaultInject.h"
#include "platform/ProfileFile.h"

namespace kvo {
namespace {

// ---- memory table -------------------------------------------------------------

struct TMemTable {
  std::vector<TMemRecord> Records;  // packed in 0 .. MemCount - 1
  int HighWater = 0;
};

TMemTable& Mem() {
  static TMemTable table;
  return table;
}

char KindLetter(int Kind) {
  if (Kind == MK_STR) return 'S';
  if (Kind == MK_NEW) return 'N';
  return 'C';
}

std::string MakeDesc(int Kind, std::string_view Name, int Index, int Line) {
  std::string d(1, KindLetter(Kind));
  d += ':';
  if (Name.empty()) {
    d += "Handle #";
    d += std::to_string(Index);
  } else {
    d += Name;
  }
  d += ':';
  d += NumToStr(static_cast<uint32_t>(Line), 100);
  return d;
}

int FindByVar(const void* Value, const void* VarAddr) {
  auto& recs = Mem().Records;
  for (size_t i = 0; i < recs.size(); ++i)
    if (recs[i].Ptr == Value && recs[i].VarAddr == VarAddr) return static_cast<int>(i);
  return INVALID_ID;
}

// String buffers and general blocks come from different routines, as the
// owner's release has to match the allocation.
void* AllocBlock(int Kind, size_t Size) {
  if (Kind == MK_STR) return new (std::nothrow) char[Size]();
  return std::malloc(Size);
}

void ReleaseBlock(const TMemRecord& Rec) {
  if (!Rec.Desc.empty() && Rec.Desc[0] == 'S')
    delete[] static_cast<char*>(Rec.Ptr);
  else
    std::free(Rec.Ptr);
}

int NewBlock(void*& Value, const void* Var, int64_t Padded, int Line, std::string_view Name,
             int Kind) {
  auto& t = Mem();
  if (static_cast<int>(t.Records.size()) >= MEM_TABLE_SIZE) return 6;
  void* p = AllocBlock(Kind, static_cast<size_t>(Padded));
  if (!p) return 1;
  Value = p;
  int index = static_cast<int>(t.Records.size());
  t.Records.push_back({p, Var, static_cast<int32_t>(Padded), MakeDesc(Kind, Name, index, Line)});
  if (MemCount() > t.HighWater) t.HighWater = MemCount();
  return 0;
}

int ResizeBlock(int Index, void*& Value, const void* Var, int64_t Padded, int Line,
                std::string_view Name, int Kind) {
  TMemRecord& rec = Mem().Records[static_cast<size_t>(Index)];
  void* p;
  if (Kind == MK_STR) {
    p = AllocBlock(Kind, static_cast<size_t>(Padded));
    if (!p) return 3;
    ReleaseBlock(rec);
  } else {
    // A block first made as a string buffer cannot go through realloc.
    if (!rec.Desc.empty() && rec.Desc[0] == 'S') {
      p = std::malloc(static_cast<size_t>(Padded));
      if (!p) return 3;
      std::memcpy(p, rec.Ptr, static_cast<size_t>(std::min<int64_t>(Padded, rec.Size)));
      ReleaseBlock(rec);
    } else {
      p = std::realloc(rec.Ptr, static_cast<size_t>(Padded));
      if (!p) return 3;
    }
  }
  Value = p;
  rec = {p, Var, static_cast<int32_t>(Padded), MakeDesc(Kind, Name, Index, Line)};
  return 0;
}

void RemoveMemRecord(size_t Index) {
  auto& recs = Mem().Records;
  if (Index + 1 != recs.size()) recs[Index] = std::move(recs.back());
  recs.pop_back();
}

// ---- file table -------------------------------------------------------------

struct TFileEntry {
  TFileRecord Rec;
  int Fd = -1;             // binary files
  std::FILE* Text = nullptr;  // text files
  TReplacement Replace;    // a created file: where it is written, what it replaces
  bool Failed = false;     // a write went wrong, so the file must not replace anything
};

struct TFileTable {
  std::vector<TFileEntry> Files;
  int32_t NextId = 1;
  std::string LastName;
};

TFileTable& Files() {
  static TFileTable table;
  return table;
}

TFileEntry* FindFile(int32_t Handle) {
  for (auto& f : Files().Files)
    if (f.Rec.Id == Handle) return &f;
  return nullptr;
}

int FindFileIndex(int32_t Handle) {
  auto& fs = Files().Files;
  for (size_t i = 0; i < fs.size(); ++i)
    if (fs[i].Rec.Id == Handle) return static_cast<int>(i);
  return INVALID_ID;
}

std::string CutName(std::string_view Name) {
  return std::string(Name.substr(0, FILE_NAME_MAX));
}

void AppendFile(int32_t& Handle, std::string_view Name, int Fd, std::FILE* Text,
                TReplacement& Replace) {
  auto& t = Files();
  TFileEntry e;
  e.Rec.Id = t.NextId++;
  e.Rec.IsText = Text != nullptr;
  e.Rec.Name = CutName(Name);
  e.Fd = Fd;
  e.Text = Text;
  e.Replace = std::move(Replace);
  Handle = e.Rec.Id;
  t.Files.push_back(std::move(e));
}

// A created file is written beside the file of its name, which it replaces
// only when it is closed whole (CloseAt): a write that fails halfway, or a
// save that is refused after the open, leaves the old file as it was.
int OpenBinary(const std::string& Path, int Mode, int& Fd, TReplacement& Replace) {
  int access = (Mode & FM_READ) ? O_RDONLY : (Mode & FM_WRITE) ? O_WRONLY : O_RDWR;
  if (Mode & FM_CREATE) {
    if (!ReplaceBegin(Path, Replace)) return 2;
    Fd = Replace.Fd;
    return 0;
  }
  Fd = (access != O_RDONLY && FaultInjected(TFaultOp::Open)) ? -1
                                                              : ::open(Path.c_str(), access | O_CLOEXEC);
  if (Mode & FM_APPEND) {
    if (Fd < 0) return 7;
    if (::lseek(Fd, 0, SEEK_END) < 0) {
      ::close(Fd);
      Fd = -1;
      return 5;
    }
    return 0;
  }
  return Fd < 0 ? 1 : 0;
}

bool IsFolder(const std::string& Path) {
  struct stat st {};
  return ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int OpenText(const std::string& Path, int Mode, std::FILE*& F, TReplacement& Replace) {
  if (Mode & FM_CREATE) {
    if (!ReplaceBegin(Path, Replace)) return 2;
    F = ::fdopen(Replace.Fd, "wb");
    if (!F) ReplaceAbandon(Replace);
    return F ? 0 : 2;
  }
  if (Mode & FM_APPEND) {
    // Appending needs an existing file; "a" alone would create one.
    F = (::access(Path.c_str(), F_OK) == 0 && !IsFolder(Path) && !FaultInjected(TFaultOp::Open))
            ? std::fopen(Path.c_str(), "abe")
            : nullptr;
    return F ? 0 : 7;
  }
  F = IsFolder(Path) ? nullptr : std::fopen(Path.c_str(), "rbe");
  return F ? 0 : 1;
}

bool CloseEntry(TFileEntry& E) {
  if (E.Text) return std::fclose(E.Text) == 0;
  return ::close(E.Fd) == 0;
}

// Closes the file at Index, its record leaving the table first so the table
// stays whole whatever the close meets. A created file replaces the file of
// its name only when Keep is set and every write went through; otherwise it
// is removed and the old file stays. False when such a replacement did not
// happen.
bool CloseAt(int Index, bool Keep) {
  auto& fs = Files().Files;
  TFileEntry e = std::move(fs[static_cast<size_t>(Index)]);
  if (static_cast<size_t>(Index) + 1 != fs.size())
    fs[static_cast<size_t>(Index)] = std::move(fs.back());
  fs.pop_back();
  if (e.Replace.Temp.empty()) {
    if (!CloseEntry(e)) SetWarning(EG_FILE, 8, __LINE__);
    return true;
  }
  Keep = Keep && !e.Failed && !FaultInjected(TFaultOp::Flush) &&
         (!e.Text || std::fflush(e.Text) == 0) && ::fsync(e.Text ? ::fileno(e.Text) : e.Fd) == 0;
  Keep = CloseEntry(e) && !FaultInjected(TFaultOp::Close) && Keep;
  e.Replace.Fd = -1;  // closed with the entry
  if (Keep) return ReplaceCommit(e.Replace);
  ReplaceAbandon(e.Replace);
  return false;
}

}  // namespace

// ---- memory ------------------------------------------------------------------

int64_t RoundHalfEven(double Value) { return static_cast<int64_t>(std::nearbyint(Value)); }

int64_t MemPaddedSize(int64_t Size) {
  // Round(Size * 1.05), halves to even, in exact integer arithmetic:
  // Size * 105 / 100.
  if (Size <= 0) return 0;
  if (Size > std::numeric_limits<int64_t>::max() / 105) return std::numeric_limits<int64_t>::max();
  int64_t num = Size * 105;
  int64_t q = num / 100, r = num % 100;
  if (r > 50 || (r == 50 && (q & 1))) ++q;
  return ((q + 3) / 4) * 4;
}

int MemAllocRaw(void*& Value, const void* VarAddr, int64_t Size, int Line, std::string_view Name,
                int Kind) {
  TProcScope trace("Basic._memalloc_");
  int64_t padded = MemPaddedSize(Size);
  int result;
  // The table records 32-bit sizes; a request beyond that is refused
  // rather than handed a shorter block.
  if (padded <= 0 || padded > std::numeric_limits<int32_t>::max()) {
    result = 5;
  } else {
    int index = FindByVar(Value, VarAddr);
    if (Value == nullptr || index == INVALID_ID || Kind == MK_NEW)
      result = NewBlock(Value, VarAddr, padded, Line, Name, Kind);
    else
      result = ResizeBlock(index, Value, VarAddr, padded, Line, Name, Kind);
  }
  SetError(EG_MEM, result, Line);
  return result;
}

void MemFreeRaw(void*& P) {
  TProcScope trace("Basic.MemFree");
  SetWarning(EG_MEM, 0, __LINE__);
  int index = MemFind(P);
  if (index == INVALID_ID) return;
  auto& recs = Mem().Records;
  ReleaseBlock(recs[static_cast<size_t>(index)]);
  RemoveMemRecord(static_cast<size_t>(index));
  P = nullptr;
}

void MemXchgRaw(const void* A, const void* B) {
  Monitored("Basic.MemXchg", [&] {
    int ia = MemFind(A), ib = MemFind(B);
    if (ia == INVALID_ID || ib == INVALID_ID) SetError(EG_MEM, 2, __LINE__);
    auto& ra = Mem().Records[static_cast<size_t>(ia)];
    auto& rb = Mem().Records[static_cast<size_t>(ib)];
    std::swap(ra.Ptr, rb.Ptr);
    std::swap(ra.Size, rb.Size);
  });
}

int MemFind(const void* P) {
  if (P == nullptr) return INVALID_ID;
  auto& recs = Mem().Records;
  for (size_t i = 0; i < recs.size(); ++i)
    if (recs[i].Ptr == P) return static_cast<int>(i);
  return INVALID_ID;
}

bool MemValid(const void* P) { return MemFind(P) != INVALID_ID; }

int MemCount() { return static_cast<int>(Mem().Records.size()); }

int MemHighWater() { return Mem().HighWater; }

const TMemRecord* MemRecord(int Index) {
  if (Index < 0 || Index >= MemCount()) return nullptr;
  return &Mem().Records[static_cast<size_t>(Index)];
}

void MemFreeFrom(int N) {
  if (N < 0) N = 0;
  for (int i = MemCount() - 1; i >= N; --i) {
    void* p = Mem().Records[static_cast<size_t>(i)].Ptr;
    MemFreeRaw(p);
  }
}

// ---- files -----------------------------------------------------------------

const std::string& LastFileName() { return Files().LastName; }

void SetLastFileName(std::string_view Name) { Files().LastName = std::string(Name); }

int FOpen(int32_t& Handle, std::string_view Name, int Mode) {
  TProcScope trace("Basic.FOpen");
  errno = 0;
  SetLastFileName(Name);
  Handle = INVALID_ID;
  int result;
  if (FCount() >= FILE_TABLE_SIZE) {
    result = 11;
  } else {
    int fd = -1;
    TReplacement replace;
    result = OpenBinary(std::string(Name), Mode, fd, replace);
    if (result == 0) AppendFile(Handle, Name, fd, nullptr, replace);
  }
  SetError(EG_FILE, result, __LINE__);
  return result;
}

int TXTOpen(int32_t& Handle, std::string_view Name, int Mode) {
  TProcScope trace("Basic.TXTOpen");
  SetLastFileName(Name);
  Handle = INVALID_ID;
  int result;
  if (FCount() >= FILE_TABLE_SIZE) {
    result = 11;
  } else {
    std::FILE* f = nullptr;
    TReplacement replace;
    result = OpenText(std::string(Name), Mode, f, replace);
    if (result == 0) AppendFile(Handle, Name, -1, f, replace);
  }
  SetError(EG_FILE, result, __LINE__);
  return result;
}

int FRead(int32_t Handle, void* Buffer, int64_t Count) {
  TProcScope trace("Basic.FRead");
  TFileEntry* f = FindFile(Handle);
  if (!f || Count <= 0 || f->Text) return 0;
  int64_t got = 0;
  auto* out = static_cast<uint8_t*>(Buffer);
  while (got < Count) {
    ssize_t n = ::read(f->Fd, out + got, static_cast<size_t>(Count - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  int result = got < Count ? 3 : 0;
  SetError(EG_FILE, result, __LINE__);
  return result;
}

int FReadPart(int32_t Handle, void* Buffer, int64_t Count, int64_t& Got) {
  TFileEntry* f = FindFile(Handle);
  if (!f || Count <= 0 || f->Text) return 0;
  int64_t got = 0;
  auto* out = static_cast<uint8_t*>(Buffer);
  while (got < Count) {
    ssize_t n = ::read(f->Fd, out + got, static_cast<size_t>(Count - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  Got = got;
  return 0;
}

int FWrite(int32_t Handle, const void* Buffer, int64_t Count) {
  TProcScope trace("Basic.FWrite");
  TFileEntry* f = FindFile(Handle);
  if (!f || Count <= 0 || f->Text) return 0;
  int64_t put = 0;
  auto* in = static_cast<const uint8_t*>(Buffer);
  while (put < Count) {
    ssize_t n = FaultInjected(TFaultOp::Write)
                    ? -1
                    : ::write(f->Fd, in + put, static_cast<size_t>(Count - put));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    put += n;
  }
  int result = put < Count ? 4 : 0;
  if (result != 0) f->Failed = true;
  SetError(EG_FILE, result, __LINE__);
  return result;
}

int FSeek(int32_t Handle, int64_t Position) {
  TProcScope trace("Basic.FSeek");
  TFileEntry* f = FindFile(Handle);
  if (!f || f->Text) return 0;
  int result = (Position < 0 || ::lseek(f->Fd, Position, SEEK_SET) < 0) ? 5 : 0;
  SetError(EG_FILE, result, __LINE__);
  return result;
}

int64_t FSize(int32_t Handle) {
  TFileEntry* f = FindFile(Handle);
  if (!f || f->Text) return INVALID_ID;
  struct stat st {};
  if (::fstat(f->Fd, &st) != 0) return INVALID_ID;
  return st.st_size;
}

int64_t FPos(int32_t Handle) {
  TFileEntry* f = FindFile(Handle);
  if (!f || f->Text) return INVALID_ID;
  off_t p = ::lseek(f->Fd, 0, SEEK_CUR);
  return p < 0 ? INVALID_ID : p;
}

// A created file that cannot take the place of the old one is a write that
// did not happen.
void FClose(int32_t Handle) {
  TProcScope trace("Basic.FClose");
  SetWarning(EG_FILE, 0, __LINE__);
  int index = FindFileIndex(Handle);
  if (index != INVALID_ID && !CloseAt(index, true)) SetError(EG_FILE, 4, __LINE__);
}

void TXTClose(int32_t Handle) {
  TProcScope trace("Basic.TXTClose");
  SetWarning(EG_FILE, 0, __LINE__);
  int index = FindFileIndex(Handle);
  if (index != INVALID_ID && !CloseAt(index, true)) SetError(EG_FILE, 4, __LINE__);
}

int FCount() { return static_cast<int>(Files().Files.size()); }

int32_t FLastHandle() { return Files().NextId - 1; }

const TFileRecord* FileRecord(int Index) {
  if (Index < 0 || Index >= FCount()) return nullptr;
  return &Files().Files[static_cast<size_t>(Index)].Rec;
}

// The files a failing frame leaves open are given up: a created file is
// removed unfinished, and the file it was to replace stays.
void FCloseFrom(int N) {
  if (N < 0) N = 0;
  for (int i = FCount() - 1; i >= N; --i) {
    TProcScope trace(Files().Files[static_cast<size_t>(i)].Rec.IsText ? "Basic.TXTClose"
                                                                       : "Basic.FClose");
    SetWarning(EG_FILE, 0, __LINE__);
    CloseAt(i, false);
  }
}

int FDelete(std::string_view Name) {
  TProcScope trace("Basic.FDelete");
  SetLastFileName(Name);
  std::string path(Name);
  int result = 0;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    // Clear the read-only state first, as deleting a read-only file must work.
    if (!S_ISLNK(st.st_mode)) ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
    if (S_ISDIR(st.st_mode) || FaultInjected(TFaultOp::Delete) || ::unlink(path.c_str()) != 0)
      result = 6;
  }
  SetError(EG_FILE, result, __LINE__);
  return result;
}

int TXTWrite(int32_t Handle, std::string_view Line) {
  TProcScope trace("Basic.TXTWrite");
  TFileEntry* f = FindFile(Handle);
  if (!f || !f->Text) return 0;
  bool ok = !FaultInjected(TFaultOp::Write) &&
            std::fwrite(Line.data(), 1, Line.size(), f->Text) == Line.size() &&
            std::fwrite("\r\n", 1, 2, f->Text) == 2 && !FaultInjected(TFaultOp::Flush) &&
            std::fflush(f->Text) == 0;
  int result = ok ? 0 : 4;
  if (!ok) f->Failed = true;
  SetError(EG_FILE, result, __LINE__);
  return result;
}

bool TXTReadLine(int32_t Handle, std::string& Line) {
  TFileEntry* f = FindFile(Handle);
  Line.clear();
  if (!f || !f->Text) return false;
  int c = std::getc(f->Text);
  if (c == EOF) return false;
  while (c != EOF && c != '\n' && c != '\r') {
    Line += static_cast<char>(c);
    c = std::getc(f->Text);
  }
  if (c == '\r') {
    int next = std::getc(f->Text);
    if (next != '\n' && next != EOF) std::ungetc(next, f->Text);
  }
  return true;
}

// ---- program end ----------------------------------------------------------

std::string BasicFinalize() {
  std::string report;
  if (MemCount() > 0) {
    report += "Max. allocated memory handles: " +
              NumToStr(static_cast<uint32_t>(MemHighWater()), 100) + "\r\n";
    report += "Memory handles not freed:\r\n";
    for (int i = MemCount() - 1; i >= 0; --i) {
      const TMemRecord& r = Mem().Records[static_cast<size_t>(i)];
      report += "  " + r.Desc + ":" + NumToStr(static_cast<uint32_t>(r.Size), 100) + " bytes\r\n";
      void* p = r.Ptr;
      MemFreeRaw(p);
    }
  }
  if (FCount() > 0) {
    report += "Files not closed: " + NumToStr(static_cast<uint32_t>(FCount()), 100) + "\r\n";
    for (int i = FCount() - 1; i >= 0; --i) {
      report += "  " + Files().Files[static_cast<size_t>(i)].Rec.Name + "\r\n";
    }
    FCloseFrom(0);
  }
  if (!report.empty()) TraceText(report);
  for (auto& r : Mem().Records) r.Desc.clear();
  Files().LastName.clear();
  return report;
}

// ---- utilities --------------------------------------------------------------

std::string GroupedDigits(uint64_t Value) {
  std::string digits = std::to_string(Value);
  for (int pos = static_cast<int>(digits.size()) - 3; pos > 0; pos -= 3)
    digits.insert(static_cast<size_t>(pos), 1, ',');
  return digits;
}

std::string NumToStr(uint32_t Value, int Code) {
  std::string digits = std::to_string(Value);
  if (Code >= 200) {
    size_t width = static_cast<size_t>(Code - 200);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return digits;
  }
  size_t width = static_cast<size_t>(Code < 0 ? 0 : Code);
  if (Code >= 100) {
    width = static_cast<size_t>(Code - 100);
    digits = GroupedDigits(Value);
  }
  if (digits.size() < width) digits.insert(0, width - digits.size(), ' ');
  return digits;
}

// Always with a decimal point: the figures mean the same in every locale,
// beside the comma-grouped byte counts of NumToStr.
std::string RealToStr(double Value, int Width, int Decimals) {
  Width = Limit(Width, 0, 255);
  Decimals = Limit(Decimals, 0, 64);
  char buf[512];  // the largest double takes 309 digits before the point
  const auto r = std::to_chars(buf, buf + sizeof buf, Value, std::chars_format::fixed, Decimals);
  std::string digits(buf, r.ec == std::errc() ? r.ptr : buf);
  const size_t width = static_cast<size_t>(Width);
  if (digits.size() < width) digits.insert(0, width - digits.size(), ' ');
  return digits;
}

int32_t PCharToInt(const char* Text) {
  // Meant for digits the caller has checked: each character counts as its
  // code minus 48 and the arithmetic wraps at 32 bits, so other text still
  // gives a number and never a fault.
  uint32_t v = 0;
  if (!Text) return 0;
  for (const char* p = Text; *p; ++p)
    v = v * 10u + static_cast<uint32_t>(static_cast<unsigned char>(*p) - 48);
  return static_cast<int32_t>(v);
}

int32_t Limit(int32_t Value, int32_t Low, int32_t High) {
  if (Value > High) Value = High;
  if (Value < Low) Value = Low;
  return Value;
}

double LimitReal(double Value, double Low, double High) {
  if (Value > High) Value = High;
  if (Value < Low) Value = Low;
  return Value;
}

void MemFill(void* Dest, int64_t Count, uint8_t Value) {
  if (Count > 0) std::memset(Dest, Value, static_cast<size_t>(Count));
}

void MemMove(const void* Source, void* Dest, int64_t Count) {
  if (Count > 0 && Source != Dest) std::memmove(Dest, Source, static_cast<size_t>(Count));
}

void MemSwap(void* A, void* B, int64_t Count) {
  auto* a = static_cast<uint8_t*>(A);
  auto* b = static_cast<uint8_t*>(B);
  for (int64_t i = 0; i < Count; ++i) std::swap(a[i], b[i]);
}

int MemComp(const void* A, const void* B, int64_t Count) {
  if (Count <= 0) return 0;
  int c = std::memcmp(A, B, static_cast<size_t>(Count));
  return c == 0 ? 0 : (c > 0 ? 1 : 2);
}

int64_t MemSearch(const void* Pattern, const void* Buffer, int64_t PatternLength,
                  int64_t BufferLength, int64_t Stride) {
  if (PatternLength <= 0 || BufferLength <= 0 || BufferLength < PatternLength) return 0;
  if (Stride <= 0) Stride = 1;
  auto* buf = static_cast<const uint8_t*>(Buffer);
  int64_t step = 1;
  for (int64_t off = 0; off + PatternLength <= BufferLength; off += Stride, ++step)
    if (std::memcmp(buf + off, Pattern, static_cast<size_t>(PatternLength)) == 0) return step;
  return 0;
}

}  // namespace kvo
