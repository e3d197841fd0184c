// SPDX-License-Identifier: GPL-3.0-or-later
// TIFF reader under the fuzzer: see LibFormatFuzz.h for what is checked.
#include "formats/FF_TIF.h"
#include "fuzz/LibFormatFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  return kvo::fuzz::CheckLibFormat(Data, Size, ".tif", kvo::TIFLoad, kvo::TIFInfo);
}
