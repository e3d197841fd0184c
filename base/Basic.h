// SPDX-License-Identifier: GPL-3.0-or-later
// Tracked memory blocks and files.
//
// Every heap block of the program's own code and every file it reads or
// writes is recorded here, so a failing monitored procedure (Errors.h) can
// release exactly what it acquired, and so the end of the run can name any
// block or file that was left behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvo {

// "No such record / handle / format / entry" wherever a number is expected.
inline constexpr int32_t INVALID_ID = -1357902468;  // 0xAF100D7C

// Block kinds.
inline constexpr int MK_MEM = 0;  // general block, contents kept on resize
inline constexpr int MK_STR = 1;  // string buffer, contents not kept on resize
inline constexpr int MK_NEW = 2;  // general block, always a new record

inline constexpr int MEM_TABLE_SIZE = 10240;
inline constexpr int FILE_TABLE_SIZE = 64;
inline constexpr size_t FILE_NAME_MAX = 255;

// File open modes (bits).
inline constexpr int FM_READ = 1;
inline constexpr int FM_WRITE = 2;
// Creates a new file for reading and writing. It is written beside the file
// of its name and takes that file's place when FClose / TXTClose closes it
// after every write went through; a failed write or close, or a failing
// frame that closes it through FCloseFrom, removes it and leaves the old
// file as it was.
inline constexpr int FM_CREATE = 4;
inline constexpr int FM_APPEND = 8;

// ---- memory ------------------------------------------------------------------

// Allocates (or resizes, when Value is a block tracked for the very variable
// at VarAddr) a block of Size bytes padded by 5 % and to a multiple of 4.
// VarAddr is the address of the caller's pointer variable, which identifies
// the holder; Value is its value, replaced by the block's address. Returns 0
// or an EG_MEM code (also recorded through SetError).
int MemAllocRaw(void*& Value, const void* VarAddr, int64_t Size, int Line, std::string_view Name,
                int Kind);

template <class T>
int _memalloc_(T*& P, int64_t Size, int Line, std::string_view Name, int Kind = MK_MEM) {
  void* v = const_cast<void*>(static_cast<const void*>(P));
  int r = MemAllocRaw(v, &P, Size, Line, Name, Kind);
  P = static_cast<T*>(v);
  return r;
}

template <class T>
int MemAlloc(T*& P, int64_t Size) {
  return _memalloc_(P, Size, 0, {}, MK_MEM);
}

// Releases the tracked block whose address P holds; untracked values are
// left alone (no error, P keeps its value).
void MemFreeRaw(void*& P);
template <class T>
void MemFree(T*& P) {
  void* v = const_cast<void*>(static_cast<const void*>(P));
  MemFreeRaw(v);
  P = static_cast<T*>(v);
}

// Exchanges the blocks of two records found by the values of A and B.
void MemXchgRaw(const void* A, const void* B);
template <class T>
void MemXchg(T* A, T* B) {
  MemXchgRaw(A, B);
}

bool MemValid(const void* P);
int MemCount();
int MemHighWater();
void MemFreeFrom(int N);

// Read access to the table, for reports and tests.
struct TMemRecord {
  void* Ptr = nullptr;
  const void* VarAddr = nullptr;
  int32_t Size = 0;
  std::string Desc;
};
const TMemRecord* MemRecord(int Index);  // nullptr when out of range
int MemFind(const void* P);              // table index or INVALID_ID

// Padded size rule: Round(Size * 1.05) to even, then up to a multiple of 4.
int64_t MemPaddedSize(int64_t Size);

// ---- files -------------------------------------------------------------------

int FOpen(int32_t& Handle, std::string_view Name, int Mode);
int FRead(int32_t Handle, void* Buffer, int64_t Count);
int FReadPart(int32_t Handle, void* Buffer, int64_t Count, int64_t& Got);
int FWrite(int32_t Handle, const void* Buffer, int64_t Count);
int FSeek(int32_t Handle, int64_t Position);
int64_t FSize(int32_t Handle);
int64_t FPos(int32_t Handle);
// EG_FILE 4 when a created file could not take the place of the old one.
void FClose(int32_t Handle);
int FCount();
// Closes the files from table index N on; created files are given up.
void FCloseFrom(int N);
int FDelete(std::string_view Name);

int TXTOpen(int32_t& Handle, std::string_view Name, int Mode);
int TXTWrite(int32_t Handle, std::string_view Line);
// Reads one line of a text file opened for reading (CR LF, LF or CR end a
// line). False at the end of the file or for an unknown handle.
bool TXTReadLine(int32_t Handle, std::string& Line);
void TXTClose(int32_t Handle);

// The name most recently passed to FOpen, TXTOpen or FDelete.
const std::string& LastFileName();
void SetLastFileName(std::string_view Name);

struct TFileRecord {
  int32_t Id = 0;
  bool IsText = false;
  std::string Name;
};
const TFileRecord* FileRecord(int Index);  // nullptr when out of range
int32_t FLastHandle();                     // the last handle number given out

// Releases and closes everything still recorded and returns the leftover
// report (empty when nothing was left); the report also goes to the trace.
std::string BasicFinalize();

// ---- utilities --------------------------------------------------------------

std::string NumToStr(uint32_t Value, int Code);
// Value with its digits grouped by threes: 1572864 as "1,572,864".
std::string GroupedDigits(uint64_t Value);
std::string RealToStr(double Value, int Width, int Decimals);
int32_t PCharToInt(const char* Text);
int32_t Limit(int32_t Value, int32_t Low, int32_t High);
double LimitReal(double Value, double Low, double High);
void MemFill(void* Dest, int64_t Count, uint8_t Value);
void MemMove(const void* Source, void* Dest, int64_t Count);
void MemSwap(void* A, void* B, int64_t Count);
int MemComp(const void* A, const void* B, int64_t Count);
int64_t MemSearch(const void* Pattern, const void* Buffer, int64_t PatternLength,
                  int64_t BufferLength, int64_t Stride);

constexpr uint16_t SwapWord(uint16_t V) { return static_cast<uint16_t>((V >> 8) | (V << 8)); }
inline void SwapWordInPlace(uint16_t& V) { V = SwapWord(V); }
constexpr uint32_t SwapLong(uint32_t V) {
  return (V >> 24) | ((V >> 8) & 0xFF00u) | ((V << 8) & 0xFF0000u) | (V << 24);
}
inline void SwapLongInPlace(uint32_t& V) { V = SwapLong(V); }

// Round to nearest, halves to even, as the whole system rounds.
int64_t RoundHalfEven(double Value);

}  // namespace kvo
