// SPDX-License-Identifier: GPL-3.0-or-later
// The one error state, the monitor frames and the diagnostic trace.
//
// A failure is a pair (group, code). Inside a monitored procedure recording
// one raises EMon; the failing frame releases the blocks and files it
// recorded in Basic.h and the error unwinds, frame by frame, to the nearest
// keeping frame. No result checks are needed in between.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kvo {

// Error groups.
inline constexpr int32_t EG_TEXT = 1;
inline constexpr int32_t EG_TEXT2 = 2;
inline constexpr int32_t EG_EXCEPT = 3;
inline constexpr int32_t EG_GEN = 4;
inline constexpr int32_t EG_MEM = 5;
inline constexpr int32_t EG_FILE = 6;
inline constexpr int32_t EG_IMG = 7;
inline constexpr int32_t EG_AUDIO = 8;
inline constexpr int32_t EG_AVI = 9;
inline constexpr int32_t EG_AVIFILE = 10;
inline constexpr int32_t EG_VFW = 11;
inline constexpr int32_t EG_MVI = 12;
inline constexpr int32_t EG_WAV = 13;
inline constexpr int32_t EG_MVI2 = 14;
inline constexpr int32_t EG_HAV = 15;
inline constexpr int32_t EG_UNI = 16;
inline constexpr int32_t EG_FLIC = 17;
inline constexpr int32_t EG_ACM = 19;
inline constexpr int32_t EG_WINMM = 20;

// The code that goes with a free error or warning text.
inline constexpr int32_t TEXT_CODE = 2147483647;

inline constexpr int MON_STACK_SIZE = 256;
inline constexpr int TRACE_STACK_SIZE = 256;
inline constexpr size_t FOREIGN_TEXT_MAX = 1025;

class EMon : public std::runtime_error {
 public:
  explicit EMon(const std::string& Message) : std::runtime_error(Message) {}
};

// ---- recording and querying ------------------------------------------------

void SetError(int32_t Group, int32_t Code, int Line);
void SetErrorText(int32_t Group, std::string_view Text, int Line);
void SetWarning(int32_t Group, int32_t Code, int Line);
void SetWarningText(int32_t Group, std::string_view Text, int Line);
// The size of a picture refused as too large, which the text of EG_IMG 12
// names ("Picture too large (W × H)."); set just before raising it.
void SetRefusedSize(int64_t Width, int64_t Height);
void ClearError();
int32_t ErrGroup();
int32_t ErrCode();
bool NoError();
std::string ErrorText(int32_t Group, int32_t Code);
std::string LastErrorText();
int32_t WarnGroup();
int32_t WarnCode();
std::string LastWarningText();

// ---- monitor frames -------------------------------------------------------

void MonEnter();
void MonEnterKeep();
void MonKeepNext();
[[noreturn]] void MonExit();
void MonExcept();  // call only inside a catch handler
void MonLeave();
int MonDepth();

// ---- trace -------------------------------------------------------------------

#ifdef TRACE_ENABLED
inline constexpr bool kTraceEnabled = true;
#else
inline constexpr bool kTraceEnabled = false;
#endif

void ProcEnter(const char* Name);
void ProcLeave();

// Puts a routine's name on the trace name stack for its lifetime, for the
// routines that announce themselves without being monitored.
class TProcScope {
 public:
  explicit TProcScope(const char* Name) { ProcEnter(Name); }
  ~TProcScope() { ProcLeave(); }
  TProcScope(const TProcScope&) = delete;
  TProcScope& operator=(const TProcScope&) = delete;
};
// Writes Text as "#" lines (split at line breaks) when tracing is on.
void TraceText(std::string_view Text);
// The lines an error (or, with Warning, a warning) adds to the trace.
std::string TraceErrorLines(bool Warning, int32_t Group, int32_t Code, std::string_view Text,
                            std::string_view NameStack, int Line, std::string_view MemoryLines);
std::string TraceMemoryLines();
// The name stack as the trace shows it: outermost first, joined by ":".
std::string TraceNameStack();

// At program end: the report of frames still pushed (empty when none).
std::string ErrorsFinalize();

// Describes a foreign exception by its class and message.
std::string DescribeException(const std::exception_ptr& Error);

// ---- the monitored shape -----------------------------------------------------

// Runs Body as one monitored procedure: ProcEnter, MonEnter, the body under a
// handler that calls MonExcept, then MonLeave (which may raise EMon to the
// caller) and ProcLeave. A value returned by Body is passed on; when the
// procedure ends early through MonExit it is the value's default.
template <class F>
auto MonitoredFrame(const char* Name, bool Keep, F&& Body) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  ProcEnter(Name);
  if (Keep)
    MonEnterKeep();
  else
    MonEnter();
  if constexpr (std::is_void_v<R>) {
    try {
      Body();
    } catch (...) {
      MonExcept();
    }
    MonLeave();
    ProcLeave();
  } else {
    R result{};
    try {
      result = Body();
    } catch (...) {
      MonExcept();
    }
    MonLeave();
    ProcLeave();
    return result;
  }
}

template <class F>
auto Monitored(const char* Name, F&& Body) {
  return MonitoredFrame(Name, false, std::forward<F>(Body));
}

// A keeping frame: the error stays recorded and nothing is raised.
template <class F>
auto MonitoredKeep(const char* Name, F&& Body) {
  return MonitoredFrame(Name, true, std::forward<F>(Body));
}

}  // namespace kvo
