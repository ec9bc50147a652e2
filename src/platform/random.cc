#include "platform/random.h"

#include <time.h>

#include <cstdint>
#include <random>

namespace qz::platform {
namespace {

std::mt19937_64& Generator() {
  thread_local std::mt19937_64 generator(0x5eed);
  return generator;
}

}  // namespace

void ReseedFromTimeOfDay() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const uint64_t seconds_since_midnight = static_cast<uint64_t>(local.tm_hour) * 3600 +
                                          static_cast<uint64_t>(local.tm_min) * 60 +
                                          static_cast<uint64_t>(local.tm_sec);
  Generator().seed(seconds_since_midnight * 1000000000ull + static_cast<uint64_t>(now.tv_nsec));
}

double NextRandom() {
  // 53 random bits make every double of [0, 1) on the grid 2^-53 equally likely.
  return static_cast<double>(Generator()() >> 11) * 0x1.0p-53;
}

}  // namespace qz::platform
