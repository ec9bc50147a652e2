#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/descriptors.h"

namespace qz::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr Clock::duration kReadAgainAfter = std::chrono::seconds(1);

std::atomic<size_t> g_limit{SIZE_MAX};
// When g_limit was read, in Clock ticks; 0: never, or refresh asked for.
std::atomic<Clock::rep> g_read_at{0};

size_t ReadLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  return static_cast<size_t>(limit.rlim_cur);
}

}  // namespace

size_t OpenDescriptorLimit() {
  // The clock is read without a system call (vDSO); the limit only once a second.
  const Clock::rep now = Clock::now().time_since_epoch().count();
  const Clock::rep read_at = g_read_at.load(std::memory_order_acquire);
  if (read_at != 0 && now - read_at < kReadAgainAfter.count()) {
    return g_limit.load(std::memory_order_relaxed);
  }
  const size_t limit = ReadLimit();
  g_limit.store(limit, std::memory_order_relaxed);
  g_read_at.store(now == 0 ? 1 : now, std::memory_order_release);
  return limit;
}

void RefreshOpenDescriptorLimit() { g_read_at.store(0, std::memory_order_release); }

}  // namespace qz::platform
