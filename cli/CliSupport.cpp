// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers the verbs share.
#include <cstdio>

#include "base/Errors.h"
#include "cli/Verbs.h"
#include "formats/FFBasic.h"

namespace kvo::cli {

void ReportError(const std::string& Subject, const std::string& Text) {
  std::fprintf(stderr, "kvo: %s: %s\n", Subject.c_str(), Text.c_str());
}

bool DescribeFile(const std::string& FileName, TUniInfo& Info, std::string& Error) {
  const bool ok = UniInfo(FileName, Info, false);
  if (ok && (Info.VideoValid || Info.AudioValid)) return true;
  // Nothing recognised the file: the reason is what the extension's own
  // reader says about it.
  const int32_t id = FFGetFormatId(FileName, FF_TABLE_READ);
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
