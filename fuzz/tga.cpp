// SPDX-License-Identifier: GPL-3.0-or-later
// Truevision TGA: any bytes load or fail cleanly, and nothing is left behind.
#include "fuzz/FormatFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  return kvo::fuzz::RunReader(Data, Size, ".tga", kvo::FF_TGA);
}
