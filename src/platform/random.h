// The component's one pseudo-random generator, per thread, uniform over [0, 1).
#ifndef QZ_PLATFORM_RANDOM_H_
#define QZ_PLATFORM_RANDOM_H_

#include <cstdint>

namespace qz::platform {

// splitmix64: seeding is one store, so re-seeding on every port choice costs nothing, and its
// finaliser spreads seeds that differ by a few nanoseconds over the whole range from the first
// draw on.
class Random {
 public:
  void Seed(uint64_t seed) { state_ = seed; }
  // In [0, 1): 53 random bits make every double on the grid 2^-53 equally likely.
  double Next() { return static_cast<double>(NextBits() >> 11) * 0x1.0p-53; }
  // Uniform over [0, n), n < 2^11, from one draw: the integer part of n times the 53 bits that
  // Next() scales, without going through a double.
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(((NextBits() >> 11) * n) >> 53); }

 private:
  uint64_t NextBits() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  uint64_t state_ = 0x5eed;
};

// The calling thread's generator: a loop that draws many numbers takes it once.
Random& ThreadRandom();
// Re-seeds the calling thread's generator from the time of day, with its fraction.
void ReseedFromTimeOfDay();
// Re-seeds it from seed, for a sequence that can be repeated.
void Reseed(uint64_t seed);
// The next number of the calling thread's generator, in [0, 1).
double NextRandom();

}  // namespace qz::platform

#endif  // QZ_PLATFORM_RANDOM_H_
