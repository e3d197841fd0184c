// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers the verbs share.
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "base/Errors.h"
#include "cli/Verbs.h"
#include "formats/FFBasic.h"

namespace kvo::cli {

void PrintPlain(std::FILE* To, const char* Format, ...) {
  std::va_list args, again;
  va_start(args, Format);
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, Format, args);
  va_end(args);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, Format, again);
  va_end(again);
  std::fputs(PlainText(text).c_str(), To);
}

void ReportError(const std::string& Subject, const std::string& Text) {
  PrintPlain(stderr, "kvo: %s: %s\n", Subject.c_str(), Text.c_str());
}

bool DescribeFile(const std::string& FileName, TUniInfo& Info, std::string& Error) {
  const bool ok = UniInfo(FileName, Info, false);
  if (ok && (Info.VideoValid || Info.AudioValid)) return true;
  // A file that is not there is named as such, whatever its extension.
  struct stat st {};
  if (::stat(FileName.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
    Error = ErrorText(EG_FILE, 9);
    return false;
  }
  // Nothing recognised the file: the reason is what the reader its
  // extension (or else its signature) names says about it.
  const int32_t id = FFReadFormatOf(FileName);
  const TFormatProcs* procs = FFProcs(id);
  if (!procs || !procs->Info) {
    // FFInfo's own error for this case is worded for movie writers; the
    // image group's text says what happened.
    Error = ErrorText(EG_IMG, 2);
    return false;
  }
  TFileInfo fi;
  MonKeepNext();
  FFInfo(FileName, id, fi);
  if (!NoError()) {
    Error = LastErrorText();
    ClearError();
    return false;
  }
  return ok;
}

}  // namespace kvo::cli
