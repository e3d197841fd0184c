// SPDX-License-Identifier: GPL-3.0-or-later
// Bayer raw reader under the fuzzer: see LibFormatFuzz.h for what is
// checked. Only inputs of exactly the two file sizes get past the size
// check, so the seeds have those sizes and the fuzzer should run with
// -max_len=197632.
#include <cstdio>

#include "formats/FF_BAY.h"
#include "fuzz/LibFormatFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  return kvo::fuzz::CheckLibFormat(Data, Size, ".bay", kvo::BayLoad, kvo::BayInfo);
}
