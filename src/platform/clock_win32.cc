#include <windows.h>

#include "platform/clock.h"

namespace qz::platform {

uint64_t NanosecondsSinceLocalMidnight() {
  FILETIME utc{}, local{};
  ::GetSystemTimePreciseAsFileTime(&utc);
  ::FileTimeToLocalFileTime(&utc, &local);
  const uint64_t ticks = (static_cast<uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
  constexpr uint64_t kTicksPerDay = 864000000000ull;  // 100 ns ticks
  return (ticks % kTicksPerDay) * 100;
}

}  // namespace qz::platform
