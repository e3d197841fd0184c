// SPDX-License-Identifier: GPL-3.0-or-later
// Pieces shared by the readers and writers that sit on outside libraries
// (libpng, libtiff, libjpeg) or on a companion routine that must report
// failure by a result code (the JPEG and XPM routines).
//
// The libraries call back into our code (file access, messages) from their
// own C frames. No C++ exception may travel through those frames, so a
// callback never calls a procedure that can raise: it records what went
// wrong, returns a failure code or unwinds with the library's own mechanism,
// and the system's error is raised only once control is back in C++ frames.
#pragma once

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

#include "base/Basic.h"
#include "base/Errors.h"
#include "image/IMGBasic.h"

namespace kvo {

// Library messages are kept in fixed buffers: copying one must not allocate
// (or throw) while the library is on the stack.
inline constexpr size_t FF_LIB_TEXT_MAX = 256;

inline void FFLibCopyText(char (&Dest)[FF_LIB_TEXT_MAX], const char* Src) noexcept {
  if (!Src) Src = "";
  std::strncpy(Dest, Src, FF_LIB_TEXT_MAX - 1);
  Dest[FF_LIB_TEXT_MAX - 1] = '\0';
}

// Runs Body in a keeping frame. An error Body records stays recorded but
// raises nothing past this call, and the frame releases only what Body
// acquired. True when Body recorded no error. A warning recorded before the
// call survives it (a frame's start clears the warning state).
template <class F>
bool FFLibKept(const char* Name, F&& Body) noexcept {
  try {
    int32_t wGroup = WarnGroup(), wCode = WarnCode();
    std::string wText = wGroup != 0 ? LastWarningText() : std::string();
    MonitoredKeep(Name, Body);
    bool ok = NoError();
    if (wGroup != 0 && WarnGroup() == 0) {
      if (wCode == TEXT_CODE)
        SetWarningText(wGroup, wText, __LINE__);
      else
        SetWarning(wGroup, wCode, __LINE__);
    }
    return ok;
  } catch (...) {
    return false;
  }
}

// Records a library warning; safe to call from a library's callback.
inline void FFLibWarning(const char* Text, int Line) noexcept {
  try {
    SetWarningText(EG_TEXT, Text ? Text : "", Line);
  } catch (...) {
    // A warning that cannot be recorded is dropped: it never interrupts.
  }
}

// Opens a tracked file without raising: INVALID_ID when the open failed
// (the reason stays recorded until the caller reports its own error).
inline int32_t FFLibOpen(const std::string& Name, int Mode) {
  int32_t handle = INVALID_ID;
  FFLibKept("FFLib.FFLibOpen", [&] { FOpen(handle, Name, Mode); });
  return handle;
}

// Guards the caller's image during a load. When the load fails, the failing
// frame has already released the pixel block it allocated, so the record is
// cleared rather than left pointing at released memory. A block the record
// held before the load is older than the frame and stays valid.
class TImgLoadGuard {
 public:
  explicit TImgLoadGuard(TImg& Img) : img_(Img), uncaught_(std::uncaught_exceptions()) {}
  ~TImgLoadGuard() {
    if (std::uncaught_exceptions() > uncaught_ && img_.Data && !img_.Borrowed &&
        !MemValid(img_.Data))
      img_ = TImg{};
  }
  TImgLoadGuard(const TImgLoadGuard&) = delete;
  TImgLoadGuard& operator=(const TImgLoadGuard&) = delete;

 private:
  TImg& img_;
  int uncaught_;
};

}  // namespace kvo
