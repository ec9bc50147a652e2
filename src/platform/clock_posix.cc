#include <time.h>

#include "platform/clock.h"

namespace qz::platform {

uint64_t NanosecondsSinceLocalMidnight() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // Every connection re-seeds from this; the local time of day changes once a second.
  thread_local time_t last_second = -1;
  thread_local uint64_t last_seconds_since_midnight = 0;
  if (now.tv_sec != last_second) {
    tm local{};
    localtime_r(&now.tv_sec, &local);
    last_seconds_since_midnight = static_cast<uint64_t>(local.tm_hour) * 3600 +
                                  static_cast<uint64_t>(local.tm_min) * 60 +
                                  static_cast<uint64_t>(local.tm_sec);
    last_second = now.tv_sec;
  }
  return last_seconds_since_midnight * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace qz::platform
