// PNM reader under the fuzzer: see LibFormatFuzz.h for what is checked.
#include <cstdio>

#include "formats/FF_PNM.h"
#include "fuzz/LibFormatFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  // A new file each run: truncating one makes the file system flush it on
  // close, which slows the fuzzer thirtyfold.
  std::remove(kvo::fuzz::InputPath(".pnm").c_str());
  return kvo::fuzz::CheckLibFormat(Data, Size, ".pnm", kvo::PNMLoad, kvo::PNMInfo);
}
