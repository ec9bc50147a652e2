#include "platform/random.h"

#include <cstdint>

#include "platform/clock.h"

namespace qz::platform {

Random& ThreadRandom() {
  thread_local Random generator;
  return generator;
}

void ReseedFromTimeOfDay() { Reseed(NanosecondsSinceLocalMidnight()); }

void Reseed(uint64_t seed) { ThreadRandom().Seed(seed); }

double NextRandom() { return ThreadRandom().Next(); }

}  // namespace qz::platform
