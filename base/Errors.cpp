// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/Errors.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <typeinfo>
#include <vector>

#include "base/Basic.h"
#include "base/WinUtils.h"
#include "platform/SystemInfo.h"

namespace kvo {
namespace {

struct TFrame {
  int MemMark = 0;
  int FileMark = 0;
  bool Raised = false;
  bool Keep = false;
  int32_t FrameGroup = 0;
  int32_t FrameCode = 0;
};

struct TErrorState {
  int32_t Group = 0, Code = 0;
  std::string Text;
  int32_t WGroup = 0, WCode = 0;
  std::string WText;
  bool Lock = false;
  bool MonitoringOff = false;
  bool KeepNext = false;
  int HandlerCount = 0;
  std::vector<TFrame> Frames;
  std::vector<std::string> Names;  // trace name stack
  int64_t RefusedWidth = 0, RefusedHeight = 0;  // named by EG_IMG 12
};

TErrorState& St() {
  static TErrorState state;
  return state;
}

bool HasError(int32_t Group, int32_t Code) { return Group != 0 && Code != 0; }

std::string Plain(int32_t Value) { return NumToStr(static_cast<uint32_t>(Value), 0); }

// One row per code; the last row of each table is its default.
struct TCodeText {
  int32_t Code;
  const char* Text;
};

const char* Lookup(const std::vector<TCodeText>& Table, int32_t Code) {
  for (const auto& row : Table)
    if (row.Code == Code) return row.Text;
  return Table.back().Text;
}

const std::vector<TCodeText>& GenTexts() {
  static const std::vector<TCodeText> t = {
      {1, "Out of range."}, {2, "Not supported."}, {3, "Invalid variable type."},
      {0, "General \"GEN\" error."}};
  return t;
}

const std::vector<TCodeText>& MemTexts() {
  static const std::vector<TCodeText> t = {
      {1, "Memory allocation fault."},     {2, "Memory manager fault."},
      {3, "Memory reallocation fault."},   {4, "Memory could not be deallocated."},
      {5, "Invalid memory request."},      {6, "Fatal memory manager error."},
      {0, "General memory fault."}};
  return t;
}

std::string FileText(int32_t Code) {
  static const std::vector<TCodeText> t = {
      {1, "Cannot open file: "},      {2, "Cannot create file: "},
      {3, "Cannot read from file."},  {4, "Cannot write to file."},
      {5, "Cannot seek in file."},    {6, "Cannot delete file: "},
      {7, "Cannot append to file: "}, {8, "Cannot close file."},
      {9, "File not exist."},         {10, "File name change failed."},
      {11, "Fatal file manager fault."}, {0, "General file handling fault."}};
  std::string s = Lookup(t, Code);
  if (Code == 1 || Code == 2 || Code == 6 || Code == 7) s += LastFileName();
  return s;
}

std::string ImgText(int32_t Code) {
  static const std::vector<TCodeText> t = {
      {1, "Image format not supported."},
      {2, "Invalid image format."},
      {3, "Cannot decompress image data."},
      {4, "Image header invalid."},
      {5, "Cannot compress image data."},
      {6, "Cannot initialize image function."},
      {7, "Cannot initialize image compression data."},
      {8, "Cannot open image file."},
      {9, "Image data corrupted."},
      {10, "Cannot realize palette."},
      {11, "Cannot create image file."},
      {12, "Picture too large "},
      {0, "General image handling fault."}};
  std::string s = Lookup(t, Code);
  if (Code == 12)
    s += "(" + std::to_string(St().RefusedWidth) + " \u00D7 " +
         std::to_string(St().RefusedHeight) + ").";
  return s;
}

const std::vector<TCodeText>& AudioTexts() {
  static const std::vector<TCodeText> t = {
      {1, "Audio conversion error."},        {2, "Audio conversion error (ACM)."},
      {3, "Audio conversion error (WAVE)."}, {4, "Invalid audio format."},
      {0, "General audio handling fault."}};
  return t;
}

const std::vector<TCodeText>& AviTexts() {
  static const std::vector<TCodeText> t = {
      {1, "Cannot read from AVI file."},
      {2, "Cannot write to AVI file."},
      {3, "Cannot read audio data from AVI file."},
      {4, "Cannot write audio data to AVI file."},
      {5, "Cannot open AVI file."},
      {6, "Cannot create AVI file."},
      {7, "Cannot initialize AVI codec."},
      {8, "AVI audio stream not valid (decompressor not found?), ignoring audio"},
      {0, "General AVI handling fault."}};
  return t;
}

const std::vector<TCodeText>& MviTexts() {
  static const std::vector<TCodeText> t = {
      {1, "Invalid movie format."},
      {2, "Cannot write to movie file."},
      {3, "Cannot decompress movie image data."},
      {4, "Cannot compress movie image data."},
      {5, "Movie format not supported."},
      {6, "Cannot open movie file."},
      {7, "End of movie reached."},
      {8, "Cannot create movie file."},
      {0, "General \"MVI\" handling fault."}};
  return t;
}

const std::vector<TCodeText>& WavTexts() {
  static const std::vector<TCodeText> t = {
      {1, "Cannot open WAV file."},     {2, "Cannot create WAV file."},
      {3, "Cannot read from WAV file."}, {4, "Cannot write to WAV file."},
      {5, "Cannot seek in WAV file."},  {0, "general \"WAV\" handling fault."}};
  return t;
}

std::string TableText(int32_t Group, int32_t Code) {
  switch (Group) {
    case EG_GEN: return Lookup(GenTexts(), Code);
    case EG_MEM: return Lookup(MemTexts(), Code);
    case EG_FILE: return FileText(Code);
    case EG_IMG: return ImgText(Code);
    case EG_AUDIO: return Lookup(AudioTexts(), Code);
    case EG_AVI: return Lookup(AviTexts(), Code);
    case EG_AVIFILE: return "AVI subsystem malfunction: " + Plain(Code);
    case EG_VFW: return "Video For Windows malfunction: " + Plain(Code);
    case EG_MVI:
    case EG_MVI2: return Lookup(MviTexts(), Code);
    case EG_WAV: return Lookup(WavTexts(), Code);
    case EG_HAV: return Code == 1 ? "End of HAV movie reached." : "General \"HAV\" handling fault.";
    case EG_UNI: return Code == 1 ? "UNI protocol fault." : "General \"UNI\" handling fault.";
    case EG_FLIC:
      return Code == 1 ? "End of FLIC movie reached." : "General \"FLIC\" handling fault.";
    case EG_ACM: return "Fatal error in Audio Compression Manager: " + Plain(Code);
    case EG_WINMM: return "Fatal error in Win-MM: " + Plain(Code);
    default: return "Undefined error: " + Plain(Group) + ":" + Plain(Code);
  }
}

// ---- trace ---------------------------------------------------------------------

// Appends lines to the trace file; only called while tracing is compiled in.
void TraceWrite(const std::string& Lines) {
  TErrorState& s = St();
  if (s.Lock) return;
  s.Lock = true;
  std::string savedName = LastFileName();
  std::string file = TraceFileName();
  int32_t h = INVALID_ID;
  // The trace file is only ever appended to, never created.
  if (!file.empty() && TXTOpen(h, file, FM_APPEND) == 0) {
    size_t start = 0;
    while (start < Lines.size()) {
      size_t end = Lines.find("\r\n", start);
      if (end == std::string::npos) end = Lines.size();
      TXTWrite(h, std::string_view(Lines).substr(start, end - start));
      start = end + 2;
    }
    TXTClose(h);
  }
  SetLastFileName(savedName);
  s.Lock = false;
}

void TraceRecord(bool Warning, int32_t Group, int32_t Code, int Line) {
  if constexpr (!kTraceEnabled) return;
  TErrorState& s = St();
  std::string text = Warning ? s.WText : s.Text;
  if (!(Group >= EG_TEXT && Group <= EG_EXCEPT)) text = ErrorText(Group, Code);
  // The file and memory routines the trace uses clear the warning state;
  // writing the trace must not lose the warning being recorded.
  int32_t savedWGroup = s.WGroup, savedWCode = s.WCode;
  TraceWrite(TraceErrorLines(Warning, Group, Code, text, TraceNameStack(), Line,
                             TraceMemoryLines()));
  s.WGroup = savedWGroup;
  s.WCode = savedWCode;
}

// Releases what the top frame recorded since it began, with the machinery
// switched off so the release itself cannot raise or record.
void ReleaseFrame(const TFrame& F) {
  TErrorState& s = St();
  bool savedOff = s.MonitoringOff, savedLock = s.Lock;
  s.MonitoringOff = true;
  s.Lock = true;
  try {
    MemFreeFrom(F.MemMark);
    FCloseFrom(F.FileMark);
  } catch (...) {
  }
  s.MonitoringOff = savedOff;
  s.Lock = savedLock;
}

void Record(int32_t Group, int32_t Code, const std::string* Text, int Line) {
  TErrorState& s = St();
  if (s.Lock) return;
  s.Lock = true;
  bool recorded = HasError(Group, Code);
  if (recorded) {
    s.Group = Group;
    s.Code = Code;
    if (Text) s.Text = *Text;
  }
  s.Lock = false;
  if (recorded) {
    TraceRecord(false, Group, Code, Line);
    s.Names.clear();
  }
  if (s.MonitoringOff || s.Frames.empty() || !recorded || s.Frames.back().Raised) return;
  TFrame& top = s.Frames.back();
  top.FrameGroup = Group;
  top.FrameCode = Code;
  ReleaseFrame(top);
  s.Frames.back().Raised = true;
  throw EMon(ErrorText(Group, Code));
}

void RecordWarning(int32_t Group, int32_t Code, const std::string* Text, int Line) {
  TErrorState& s = St();
  if (!HasError(Group, Code)) {
    s.WGroup = s.WCode = 0;
    return;
  }
  s.WGroup = Group;
  s.WCode = Code;
  if (Text) s.WText = *Text;
  TraceRecord(true, Group, Code, Line);
}

void PushFrame(bool Keep) {
  TErrorState& s = St();
  if (s.MonitoringOff) return;
  if (static_cast<int>(s.Frames.size()) >= MON_STACK_SIZE) {
    DvlShowError("Fatal error: internal monitoring overflow.");
    std::_Exit(EXIT_FAILURE);
  }
  if (s.Frames.empty()) s.HandlerCount = 0;
  TFrame f;
  f.MemMark = MemCount();
  f.FileMark = FCount();
  f.Keep = Keep || s.KeepNext;
  s.Frames.push_back(f);
  if (!s.Lock) s.Group = s.Code = 0;
  s.WGroup = s.WCode = 0;
  s.KeepNext = false;
}

}  // namespace

// ---- recording and querying -------------------------------------------------

void SetError(int32_t Group, int32_t Code, int Line) { Record(Group, Code, nullptr, Line); }

void SetErrorText(int32_t Group, std::string_view Text, int Line) {
  std::string t(Text);
  Record(Group, TEXT_CODE, &t, Line);
}

void SetWarning(int32_t Group, int32_t Code, int Line) {
  RecordWarning(Group, Code, nullptr, Line);
}

void SetWarningText(int32_t Group, std::string_view Text, int Line) {
  std::string t(Text);
  RecordWarning(Group, TEXT_CODE, &t, Line);
}

void SetRefusedSize(int64_t Width, int64_t Height) {
  St().RefusedWidth = Width;
  St().RefusedHeight = Height;
}

void ClearError() {
  if (!St().Lock) St().Group = St().Code = 0;
}

int32_t ErrGroup() { return St().Group; }
int32_t ErrCode() { return St().Code; }
bool NoError() { return St().Group == 0 && St().Code == 0; }
int32_t WarnGroup() { return St().WGroup; }
int32_t WarnCode() { return St().WCode; }

std::string ErrorText(int32_t Group, int32_t Code) {
  if (Group == 0 || Code == 0) return "No errors.";
  if (Group >= EG_TEXT && Group <= EG_EXCEPT) return St().Text;
  return TableText(Group, Code);
}

std::string LastErrorText() { return ErrorText(St().Group, St().Code); }

std::string LastWarningText() {
  const TErrorState& s = St();
  if (!HasError(s.WGroup, s.WCode)) return "No errors.";
  if (s.WGroup >= EG_TEXT && s.WGroup <= EG_EXCEPT) return s.WText;
  return TableText(s.WGroup, s.WCode);
}

// ---- monitor frames -------------------------------------------------------

void MonEnter() { PushFrame(false); }

void MonEnterKeep() { PushFrame(true); }

void MonKeepNext() {
  if (!St().MonitoringOff) St().KeepNext = true;
}

int MonDepth() { return static_cast<int>(St().Frames.size()); }

void MonExit() {
  TErrorState& s = St();
  if (!s.MonitoringOff && !s.Frames.empty() && !s.Frames.back().Raised) s.Frames.back().Raised = true;
  throw EMon("");
}

std::string DescribeException(const std::exception_ptr& Error) {
  auto className = [](const std::type_info& t) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(t.name(), nullptr, nullptr, &status), std::free);
    return std::string(status == 0 && name ? name.get() : t.name());
  };
  try {
    std::rethrow_exception(Error);
  } catch (const std::exception& e) {
    return "Exception " + className(typeid(e)) + ": " + e.what();
  } catch (...) {
    const std::type_info* t = abi::__cxa_current_exception_type();
    return "Exception " + (t ? className(*t) : std::string("(unknown)")) + ".";
  }
}

void MonExcept() {
  TErrorState& s = St();
  if (s.MonitoringOff) return;
  ++s.HandlerCount;
  if (s.Frames.empty() || !NoError() || s.Frames.back().Raised) return;
  // Not one of ours: a foreign exception reached a monitored procedure.
  ReleaseFrame(s.Frames.back());
  std::string text = DescribeException(std::current_exception());
  if (text.size() > FOREIGN_TEXT_MAX) text.resize(FOREIGN_TEXT_MAX);
  s.Group = EG_EXCEPT;
  s.Code = TEXT_CODE;
  s.Text = text;
  TFrame& top = s.Frames.back();
  top.FrameGroup = EG_EXCEPT;
  top.FrameCode = TEXT_CODE;
  top.Raised = true;
  TraceRecord(false, EG_EXCEPT, TEXT_CODE, 0);
}

void MonLeave() {
  TErrorState& s = St();
  if (s.MonitoringOff || s.Frames.empty()) return;
  if (s.HandlerCount > 1) {
    // Frames above this one lost their MonLeave: fold them into it.
    int depth = static_cast<int>(s.Frames.size());
    int keepDepth = std::max(1, depth - s.HandlerCount + 1);
    TFrame& heir = s.Frames[static_cast<size_t>(keepDepth - 1)];
    heir.FrameGroup = s.Frames.back().FrameGroup;
    heir.FrameCode = s.Frames.back().FrameCode;
    s.Frames.resize(static_cast<size_t>(keepDepth));
  }
  if (HasError(s.Frames.back().FrameGroup, s.Frames.back().FrameCode)) ReleaseFrame(s.Frames.back());
  TFrame popped = s.Frames.back();
  s.Frames.pop_back();
  s.HandlerCount = 0;
  s.Group = popped.FrameGroup;
  s.Code = popped.FrameCode;
  if (popped.Keep) return;
  bool failed = HasError(popped.FrameGroup, popped.FrameCode);
  if (!s.Frames.empty()) {
    TFrame& below = s.Frames.back();
    below.FrameGroup = popped.FrameGroup;
    below.FrameCode = popped.FrameCode;
    // Only a real error travels down as "raised": a frame left by MonExit
    // must not leave its caller unable to raise its own errors.
    below.Raised = popped.Raised && failed;
  }
  if (failed && popped.Raised) throw EMon(ErrorText(popped.FrameGroup, popped.FrameCode));
}

// ---- trace -------------------------------------------------------------------

void ProcEnter(const char* Name) {
  if constexpr (kTraceEnabled) {
    auto& names = St().Names;
    if (static_cast<int>(names.size()) < TRACE_STACK_SIZE) names.emplace_back(Name);
  } else {
    (void)Name;
  }
}

void ProcLeave() {
  if constexpr (kTraceEnabled) {
    auto& names = St().Names;
    if (!names.empty()) names.pop_back();
  }
}

std::string TraceNameStack() {
  std::string s;
  for (const auto& n : St().Names) {
    if (!s.empty()) s += ':';
    s += n;
  }
  return s;
}

std::string TraceHashLines(std::string_view Text) {
  std::string out;
  size_t start = 0;
  while (start <= Text.size()) {
    size_t end = Text.find("\r\n", start);
    if (end == std::string_view::npos) end = Text.size();
    std::string_view piece = Text.substr(start, end - start);
    if (!(end == Text.size() && piece.empty() && start > 0)) {
      out += '#';
      out += piece;
      out += "\r\n";
    }
    start = end + 2;
  }
  return out;
}

void TraceText(std::string_view Text) {
  if constexpr (kTraceEnabled) TraceWrite(TraceHashLines(Text));
  (void)Text;
}

std::string TraceErrorLines(bool Warning, int32_t Group, int32_t Code, std::string_view Text,
                            std::string_view NameStack, int Line, std::string_view MemoryLines) {
  std::string s(1, Warning ? '?' : '!');
  s += Plain(Group) + ":" + Plain(Code) + ";\"" + std::string(Text) + "\"\r\n";
  s += "@" + std::string(NameStack) + ";" + Plain(Line) + "\r\n";
  s += MemoryLines;
  return s;
}

std::string TraceMemoryLines() {
  auto kb = [](uint64_t Bytes) { return NumToStr(static_cast<uint32_t>(Bytes / 1024), 100); };
  auto pair = [&](uint64_t Total, uint64_t Free) {
    return "#  total: " + kb(Total) + "k, free: " + kb(Free) + "k\r\n";
  };
  TMemoryStatus m = QueryMemoryStatus().value_or(TMemoryStatus{});
  std::string s = "#Physical memory:\r\n" + pair(m.TotalPhys, m.AvailPhys);
  s += "#Swap memory:\r\n" + pair(m.TotalSwap, m.AvailSwap);
  std::string drive = TraceFileName();
  drive = drive.substr(0, drive.rfind('/') + 1);
  TDiskSpace d = QueryDiskSpace(drive).value_or(TDiskSpace{});
  s += "#Drive " + drive + "\r\n" + pair(d.Total, d.Avail);
  return s;
}

std::string ErrorsFinalize() {
  int n = MonDepth();
  if (n == 0) return {};
  std::string report = "Monitoring failure: " + Plain(n) + " hanging processes.";
  TraceText(report);
  return report;
}

}  // namespace kvo
