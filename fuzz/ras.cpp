// Sun raster reader under the fuzzer: see LibFormatFuzz.h for what is
// checked (8 or 24 bits, since 32-bit files load as 24).
#include <cstdio>

#include "formats/FF_RAS.h"
#include "fuzz/LibFormatFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  // A new file each run: truncating one makes the file system flush it on
  // close, which slows the fuzzer thirtyfold.
  std::remove(kvo::fuzz::InputPath(".ras").c_str());
  return kvo::fuzz::CheckLibFormat(Data, Size, ".ras", kvo::RASLoad, kvo::RASInfo);
}
