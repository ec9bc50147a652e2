// The local time of day, as the random generator's seed needs it.
#ifndef QZ_PLATFORM_CLOCK_H_
#define QZ_PLATFORM_CLOCK_H_

#include <cstdint>

namespace qz::platform {

// Nanoseconds since the last local midnight, as finely as the system's clock tells.
uint64_t NanosecondsSinceLocalMidnight();

}  // namespace qz::platform

#endif  // QZ_PLATFORM_CLOCK_H_
