// The component's one pseudo-random generator, per thread, uniform over [0, 1).
#ifndef QZ_PLATFORM_RANDOM_H_
#define QZ_PLATFORM_RANDOM_H_

#include <cstdint>

namespace qz::platform {

// Re-seeds the calling thread's generator from the time of day, with its fraction.
void ReseedFromTimeOfDay();
// Re-seeds it from seed, for a sequence that can be repeated.
void Reseed(uint64_t seed);
// The next number of the calling thread's generator, in [0, 1).
double NextRandom();

}  // namespace qz::platform

#endif  // QZ_PLATFORM_RANDOM_H_
