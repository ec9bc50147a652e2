#include "platform/random.h"

#include <cstdint>

#include "platform/clock.h"

namespace qz::platform {
namespace {

// splitmix64: seeding is one store, so re-seeding on every port choice costs nothing, and its
// finaliser spreads seeds that differ by a few nanoseconds over the whole range from the first
// draw on.
struct SplitMix64 {
  uint64_t state = 0x5eed;

  uint64_t Next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
};

SplitMix64& Generator() {
  thread_local SplitMix64 generator;
  return generator;
}

}  // namespace

void ReseedFromTimeOfDay() { Reseed(NanosecondsSinceLocalMidnight()); }

void Reseed(uint64_t seed) { Generator().state = seed; }

double NextRandom() {
  // 53 random bits make every double of [0, 1) on the grid 2^-53 equally likely.
  return static_cast<double>(Generator().Next() >> 11) * 0x1.0p-53;
}

}  // namespace qz::platform
