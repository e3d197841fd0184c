// SPDX-License-Identifier: GPL-3.0-or-later
// PNM reader under the fuzzer: see LibFormatFuzz.h for what is checked.
#include <cstdio>

#include "formats/FF_PNM.h"
#include "fuzz/LibFormatFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  return kvo::fuzz::CheckLibFormat(Data, Size, ".pnm", kvo::PNMLoad, kvo::PNMInfo);
}
