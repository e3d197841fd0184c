// SPDX-License-Identifier: GPL-3.0-or-later
// A bounded cursor over untrusted bytes, and checked size arithmetic.
//
// Every reader of foreign files takes its header fields, chunks, lines and
// packets through a TByteCursor. A read that needs more bytes than remain
// reports the error the cursor was made with (the format's "cannot read" or
// "header invalid") through SetError, so a short file becomes one clear
// error at the place it is noticed. Inside a monitored procedure SetError
// raises and the read never returns; outside one the cursor is left
// exhausted and the read yields zeros, so nothing past the end is touched
// either way.
//
// Every read takes the caller's source line (for the trace) by default.
//
// A part of the data whose length a header gives (a FLIC chunk, a GIF
// sub-block, a PCX line) is decoded from its own sub-cursor (CurTake), so a
// lying length can never let it read its neighbour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/Errors.h"

namespace kvo {

struct TByteCursor {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t pos = 0;
  int32_t errGroup = EG_FILE;  // what a short read reports
  int32_t errCode = 3;         // "Cannot read from file."
};

inline TByteCursor CurMake(const uint8_t* Data, size_t Size, int32_t ErrGroup = EG_FILE,
                           int32_t ErrCode = 3) {
  TByteCursor c;
  c.data = Data;
  c.size = Data ? Size : 0;
  c.errGroup = ErrGroup;
  c.errCode = ErrCode;
  return c;
}

inline size_t CurLeft(const TByteCursor& C) { return C.pos < C.size ? C.size - C.pos : 0; }
inline bool CurHas(const TByteCursor& C, uint64_t N) { return N <= CurLeft(C); }
inline bool CurAtEnd(const TByteCursor& C) { return CurLeft(C) == 0; }

// Reports the cursor's error and leaves it exhausted. Returns false so a
// caller outside any monitored procedure can stop.
inline bool CurFail(TByteCursor& C, int Line = __builtin_LINE()) {
  C.pos = C.size;
  SetError(C.errGroup, C.errCode, Line);
  return false;
}

// True when N more bytes are there; otherwise the cursor's error.
inline bool CurNeed(TByteCursor& C, uint64_t N, int Line = __builtin_LINE()) {
  return CurHas(C, N) || CurFail(C, Line);
}

inline uint8_t CurU8(TByteCursor& C, int Line = __builtin_LINE()) {
  if (!CurNeed(C, 1, Line)) return 0;
  return C.data[C.pos++];
}

inline uint16_t CurU16LE(TByteCursor& C, int Line = __builtin_LINE()) {
  if (!CurNeed(C, 2, Line)) return 0;
  const uint8_t* p = C.data + C.pos;
  C.pos += 2;
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t CurU32LE(TByteCursor& C, int Line = __builtin_LINE()) {
  if (!CurNeed(C, 4, Line)) return 0;
  const uint8_t* p = C.data + C.pos;
  C.pos += 4;
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint16_t CurU16BE(TByteCursor& C, int Line = __builtin_LINE()) {
  if (!CurNeed(C, 2, Line)) return 0;
  const uint8_t* p = C.data + C.pos;
  C.pos += 2;
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t CurU32BE(TByteCursor& C, int Line = __builtin_LINE()) {
  if (!CurNeed(C, 4, Line)) return 0;
  const uint8_t* p = C.data + C.pos;
  C.pos += 4;
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline int32_t CurI32LE(TByteCursor& C, int Line = __builtin_LINE()) {
  return static_cast<int32_t>(CurU32LE(C, Line));
}

inline void CurSkip(TByteCursor& C, uint64_t N, int Line = __builtin_LINE()) {
  if (CurNeed(C, N, Line)) C.pos += static_cast<size_t>(N);
}

// The next N bytes (advancing past them), or nullptr after the error.
inline const uint8_t* CurBytes(TByteCursor& C, uint64_t N, int Line = __builtin_LINE()) {
  if (!CurNeed(C, N, Line)) return nullptr;
  const uint8_t* p = C.data + C.pos;
  C.pos += static_cast<size_t>(N);
  return p;
}

inline void CurCopy(TByteCursor& C, void* Dest, uint64_t N, int Line = __builtin_LINE()) {
  if (const uint8_t* p = CurBytes(C, N, Line); p && N) std::memcpy(Dest, p, static_cast<size_t>(N));
}

// A cursor over the next N bytes, with the same error; the parent moves
// past them. When fewer remain: the error, and an empty sub-cursor.
inline TByteCursor CurTake(TByteCursor& C, uint64_t N, int Line = __builtin_LINE()) {
  const uint8_t* p = CurBytes(C, N, Line);
  return CurMake(p, p ? static_cast<size_t>(N) : 0, C.errGroup, C.errCode);
}

// ---- checked size arithmetic ---------------------------------------------------
// Sizes taken from files are combined only through these, in 64 bits, so an
// overflow is a refused file and never a small allocation.

[[nodiscard]] inline bool CheckedMul(int64_t A, int64_t B, int64_t& Result) {
  return !__builtin_mul_overflow(A, B, &Result);
}

[[nodiscard]] inline bool CheckedAdd(int64_t A, int64_t B, int64_t& Result) {
  return !__builtin_add_overflow(A, B, &Result);
}

// A × B × C, false on overflow or when any factor is negative.
[[nodiscard]] inline bool CheckedMul3(int64_t A, int64_t B, int64_t C, int64_t& Result) {
  int64_t ab = 0;
  if (A < 0 || B < 0 || C < 0) return false;
  return CheckedMul(A, B, ab) && CheckedMul(ab, C, Result);
}

// ---- writing little- and big-endian fields -------------------------------------------

inline void PutU16LE(uint8_t* P, uint32_t V) {
  P[0] = static_cast<uint8_t>(V);
  P[1] = static_cast<uint8_t>(V >> 8);
}

inline void PutU32LE(uint8_t* P, uint32_t V) {
  PutU16LE(P, V & 0xFFFFu);
  PutU16LE(P + 2, V >> 16);
}

// A little-endian field of a buffer whose length the caller has checked.
inline uint32_t GetU32LE(const uint8_t* P) {
  return P[0] | (P[1] << 8) | (P[2] << 16) | (static_cast<uint32_t>(P[3]) << 24);
}

// SGI and Sun raster files keep their fields big-endian.
inline void PutU16BE(uint8_t* P, uint32_t V) {
  P[0] = static_cast<uint8_t>(V >> 8);
  P[1] = static_cast<uint8_t>(V);
}

inline void PutU32BE(uint8_t* P, uint32_t V) {
  PutU16BE(P, V >> 16);
  PutU16BE(P + 2, V & 0xFFFFu);
}

}  // namespace kvo
