// SPDX-License-Identifier: GPL-3.0-or-later
// The program's one random source: a uniform generator seeded once from
// the clock. The shuffle's picks and the message choice both draw from it.
#pragma once

#include <cstdint>

namespace kvo {

// An integer in 0 .. N - 1, each with equal probability; 0 when N <= 1.
int32_t Random(int32_t N);
// Restarts the generator from a fixed seed (tests).
void RandomSeed(uint64_t Seed);

}  // namespace kvo
