// SPDX-License-Identifier: GPL-3.0-or-later
// Sun raster reader under the fuzzer: see LibFormatFuzz.h for what is
// checked (8 or 24 bits, since 32-bit files load as 24).
#include <cstdio>

#include "formats/FF_RAS.h"
#include "fuzz/LibFormatFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  return kvo::fuzz::CheckLibFormat(Data, Size, ".ras", kvo::RASLoad, kvo::RASInfo);
}
