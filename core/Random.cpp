// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Random.h"

#include <chrono>
#include <random>

namespace kvo {
namespace {

std::mt19937_64& Generator() {
  static std::mt19937_64 gen(
      static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  return gen;
}

}  // namespace

int32_t Random(int32_t N) {
  if (N <= 1) return 0;
  std::uniform_int_distribution<int32_t> pick(0, N - 1);
  return pick(Generator());
}

void RandomSeed(uint64_t Seed) { Generator().seed(Seed); }

}  // namespace kvo
