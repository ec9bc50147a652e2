#include <time.h>

#include "platform/clock.h"

namespace qz::platform {

uint64_t NanosecondsSinceLocalMidnight() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const uint64_t seconds = static_cast<uint64_t>(local.tm_hour) * 3600 +
                           static_cast<uint64_t>(local.tm_min) * 60 +
                           static_cast<uint64_t>(local.tm_sec);
  return seconds * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace qz::platform
