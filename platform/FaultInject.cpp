// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/FaultInject.h"

#include <cerrno>

namespace kvo {
namespace {

struct TFaultState {
  int64_t FailAt = 0;
  int64_t Seen = 0;
  int Errno = 0;
  const char* What = "";
};

TFaultState& State() {
  static TFaultState state;
  return state;
}

const char* OpName(TFaultOp Op) {
  switch (Op) {
    case TFaultOp::Open: return "open";
    case TFaultOp::Write: return "write";
    case TFaultOp::Flush: return "flush";
    case TFaultOp::Close: return "close";
    case TFaultOp::Rename: return "rename";
    case TFaultOp::Delete: return "delete";
    case TFaultOp::MakeFolder: return "make folder";
  }
  return "";
}

}  // namespace

namespace fault_detail {

bool Active = false;

bool Hit(TFaultOp Op) {
  TFaultState& s = State();
  if (++s.Seen != s.FailAt) return false;
  s.What = OpName(Op);
  errno = s.Errno;
  return true;
}

}  // namespace fault_detail

void FaultInjectStart(int64_t FailAt, int Errno) {
  State() = TFaultState{FailAt, 0, Errno, ""};
  fault_detail::Active = true;
}

int64_t FaultInjectStop() {
  fault_detail::Active = false;
  return State().Seen;
}

const char* FaultInjectedWhat() { return State().What; }

}  // namespace kvo
