// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/WinUtils.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/MiscProcs.h"
#include "base/RegWrap.h"
#include "base/VCLUtils.h"
#include "platform/CommandLine.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/SystemInfo.h"

namespace kvo {
namespace {

// Buffer sizes of the program-starting calls, terminating zero included.
constexpr size_t NOWAIT_BUFFER = 80;
constexpr size_t DOWAIT_BUFFER = 512;
constexpr size_t WINDIR_BUFFER = 1024;

// Copies Source into a zero-terminated buffer of Size characters, cutting
// it to Size - 1 characters: a long value is shortened, never written past
// the buffer.
void CopyCut(char* Dest, size_t Size, std::string_view Source) {
  size_t n = std::min(Source.size(), Size - 1);
  std::memcpy(Dest, Source.data(), n);
  Dest[n] = '\0';
}

std::string VersionName(int32_t PlatformId, uint32_t Major, uint32_t Minor) {
  switch (PlatformId) {
    case VER_PLATFORM_WIN32S: return "Win32s";
    case VER_PLATFORM_WIN32_WINDOWS: return Minor != 0 ? "Win98" : "Win95";
    case VER_PLATFORM_WIN32_NT: return Major > 4 ? "Win2000" : "WinNT";
    default: return "Unknown system";
  }
}

}  // namespace

std::string FormatWinVersion(int32_t PlatformId, uint32_t Major, uint32_t Minor,
                             uint32_t Build) {
  return VersionName(PlatformId, Major, Minor) + " " + std::to_string(Major) + "." +
         std::to_string(Minor) + " build " + std::to_string(Build & 0xFFFFu);
}

std::string GetWinVersionStr() {
  TProcScope trace("WinUtils.GetWinVersionStr");
  TKernelVersion v = ParseKernelRelease(KernelRelease()).value_or(TKernelVersion{});
  return FormatWinVersion(VER_PLATFORM_HOST, v.Major, v.Minor, v.Patch);
}

std::string GetWinFolder() {
  TProcScope trace("WinUtils.GetWinFolder");
  char* dir = nullptr;
  std::string result;
  try {
    if (_memalloc_(dir, WINDIR_BUFFER, __LINE__, "WinUtils.GetWinFolder.dir", MK_STR) == 0) {
      CopyCut(dir, WINDIR_BUFFER,
              _GetRegistryFolder(HKEY_LOCAL_MACHINE, "\\Software\\Microsoft\\Windows\\CurrentVersion",
                                 "SystemRoot"));
      result = AddBS(dir);
    }
  } catch (...) {
    // Callers take an empty folder as "unknown"; nothing is reported.
    result.clear();
  }
  MemFree(dir);
  return result;
}

std::string TraceFileName() {
  std::string windows = GetWinFolder();
  if (windows.empty()) return {};
  windows.pop_back();  // the trailing "/"
  size_t slash = windows.rfind('/');
  if (slash == std::string::npos) return {};
  return windows.substr(0, slash + 1) + "trace.txt";
}

uint64_t GetWinPhysicalMemory() {
  TProcScope trace("WinUtils.GetWinPhysicalMemory");
  auto m = QueryMemoryStatus();
  return m ? m->TotalPhys : 0;
}

uint64_t GetWinFreeMemory() {
  TProcScope trace("WinUtils.GetWinFreeMemory");
  auto m = QueryMemoryStatus();
  return m ? m->AvailPhys : 0;
}

bool GetDriveFreeSpace(const std::string& Folder, uint64_t& Total, uint64_t& Free) {
  TProcScope trace("WinUtils.GetDriveFreeSpace");
  auto d = QueryDiskSpace(Folder);
  Total = d ? d->Total : 0;
  Free = d ? d->Avail : 0;
  return d.has_value();
}

uintptr_t GetWindowHandle() { return 0; }

void DvlShowError(const std::string& Text) {
  if (Dialogs().FatalError)
    Dialogs().FatalError(Text);
  else
    std::fprintf(stderr, "Error: %s\n", Text.c_str());
}

bool _ExecNoWait(std::string_view Program, std::string_view Params, std::string_view Folder) {
  TProcScope trace("WinUtils._ExecNoWait");
  std::array<char, NOWAIT_BUFFER> program{}, params{}, folder{};
  CopyCut(program.data(), program.size(), Program);
  CopyCut(params.data(), params.size(), Params);
  CopyCut(folder.data(), folder.size(), Folder);
  if (program[0] == '\0') return false;
  std::vector<std::string> argv;
  if (!FindExecutable(program.data(), folder.data()).empty()) {
    argv.push_back(program.data());
    for (std::string& a : SplitArguments(params.data())) argv.push_back(std::move(a));
  } else {
    // Documents and addresses go to the desktop's opener, which picks the
    // program the user chose for them; parameters belong to programs only.
    argv = {"xdg-open", program.data()};
  }
  return StartDetached(argv, folder.data());
}

bool _ExecDoWait(std::string_view Program, std::string_view Params, std::string_view Folder) {
  TProcScope trace("WinUtils._ExecDoWait");
  char* buffer = nullptr;
  char* dir = nullptr;
  if (_memalloc_(buffer, DOWAIT_BUFFER, __LINE__, "WinUtils._ExecDoWait.buffer", MK_STR) != 0)
    return false;
  if (_memalloc_(dir, DOWAIT_BUFFER, __LINE__, "WinUtils._ExecDoWait.dir", MK_STR) != 0) {
    MemFree(buffer);
    return false;
  }
  std::string line(Program);
  if (!Params.empty()) line += " " + std::string(Params);
  CopyCut(buffer, DOWAIT_BUFFER, line);
  CopyCut(dir, DOWAIT_BUFFER, Folder);
  // No shell: the command line is split by the rules Windows programs use
  // (SplitCommandLine), so quoting works the same for every caller.
  std::vector<std::string> argv = SplitCommandLine(buffer);
  std::string folder(dir);
  MemFree(buffer);
  MemFree(dir);
  return SpawnAndWait(argv, folder);
}

bool ExecuteProgram(std::string_view Program, std::string_view Params, std::string_view Folder,
                    bool Wait) {
  TProcScope trace("WinUtils.ExecuteProgram");
  return Wait ? _ExecDoWait(Program, Params, Folder) : _ExecNoWait(Program, Params, Folder);
}

}  // namespace kvo
