#include "platform/random.h"

#include <random>

#include "platform/clock.h"

namespace qz::platform {
namespace {

std::mt19937_64& Generator() {
  thread_local std::mt19937_64 generator(0x5eed);
  return generator;
}

}  // namespace

void ReseedFromTimeOfDay() { Generator().seed(NanosecondsSinceLocalMidnight()); }

double NextRandom() {
  // 53 random bits make every double of [0, 1) on the grid 2^-53 equally likely.
  return static_cast<double>(Generator()() >> 11) * 0x1.0p-53;
}

}  // namespace qz::platform
