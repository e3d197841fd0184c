// SPDX-License-Identifier: GPL-3.0-or-later
// What decides whether Windows shows a logo, read from foreign bytes: any
// bytes as MSDOS.SYS parse, and switching Logo= changes that setting alone
// (BootGUI stays, a second switch changes nothing, the line count grows by
// at most the two lines of a new key and section); any bytes as a logo
// file's header get a verdict, and only the one form Windows shows passes.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/LogoCheck.h"
#include "fuzz/FuzzSupport.h"
#include "drive/MsdosSys.h"

using namespace kvo;

namespace {

using fuzz::Check;

size_t LineEnds(std::string_view S) {
  size_t n = 0;
  for (size_t i = 0; i < S.size(); ++i)
    if (S[i] == '\n' || (S[i] == '\r' && (i + 1 == S.size() || S[i + 1] != '\n'))) ++n;
  return n;
}

void CheckSwitch(std::string_view Bytes, const TMsdosSys& Before, bool On) {
  const std::string after = MsdosWithLogo(Bytes, On);
  const TMsdosSys s = ParseMsdosSys(after);
  Check(s.Form == TMsdosForm::Text, "a switched file is still text");
  Check(s.Logo == (On ? 1 : 0), "the switch reads back");
  Check(s.BootGui == Before.BootGui, "BootGUI is left as it was");
  Check(MsdosWithLogo(after, On) == after, "switching twice changes nothing more");
  const size_t added = LineEnds(after) - LineEnds(Bytes);
  Check(LineEnds(after) >= LineEnds(Bytes) && added <= 3, "at most a key and a section are added");
  if (Before.Logo == (On ? 1 : 0)) Check(after == Bytes, "a file that already says so stays");
  if (Before.LogoKey) Check(added == 0, "an existing key changes in its line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view bytes(reinterpret_cast<const char*>(Data), Size);
  const TMsdosSys m = ParseMsdosSys(bytes);
  Check((m.Form == TMsdosForm::Text) == IsMsdosText(bytes), "text is told apart from a program");
  Check((m.Logo == 0 || m.Logo == 1) && (m.BootGui == 0 || m.BootGui == 1), "switches are 0 or 1");
  if (m.Form == TMsdosForm::Text) {
    CheckSwitch(bytes, m, false);
    CheckSwitch(bytes, m, true);
  } else {
    Check(MsdosWithLogo(bytes, false) == bytes, "a program is never changed");
  }

  const std::string problem = LogoFileProblem(bytes, Size);
  if (problem.empty()) {
    Check(Size == LOGO_FILE_BYTES, "a logo Windows shows has the one size");
    Check(bytes.substr(0, 2) == "BM", "a logo Windows shows is a bitmap");
  }
  if (LogoFileAnimated(bytes)) Check(Size >= 54, "the important-colours field lies in the header");
  return 0;
}
