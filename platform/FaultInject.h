// SPDX-License-Identifier: GPL-3.0-or-later
// A test switch that makes one file operation of the program's own fail, as
// a full disk or a failing drive would, so the tests can show that no
// failure at any step costs the user a file.
//
// Every place that creates, writes, flushes, closes, renames or deletes a
// file (or makes a folder), and every mtools run that changes a disk image
// (mcopy as a write, mren, mdel, mmd), asks FaultInjected first; while the
// switch is off that is one test of a plain flag. While it is on, the
// operations are counted, and the FailAt-th one reports true: the caller
// then fails as the system call would, with errno set to the chosen error.
#pragma once

#include <cstdint>

namespace kvo {

enum class TFaultOp { Open, Write, Flush, Close, Rename, Delete, MakeFolder };

// Counts from here on and fails operation number FailAt (1 for the first;
// 0 or less fails none, which counts an operation's steps) with Errno.
void FaultInjectStart(int64_t FailAt, int Errno);
// Switches counting off; the number of operations seen since the start.
int64_t FaultInjectStop();
// What the failed operation was, for the tests' messages ("" when none
// failed).
const char* FaultInjectedWhat();

namespace fault_detail {
extern bool Active;
bool Hit(TFaultOp Op);
}  // namespace fault_detail

// True when this operation is the one to fail; errno is then set.
inline bool FaultInjected(TFaultOp Op) { return fault_detail::Active && fault_detail::Hit(Op); }

}  // namespace kvo
