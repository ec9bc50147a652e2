#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "exchange.h"
#include "util.h"

namespace qz::bench {

Arrivals::Arrivals(int receivers)
    : latest_(static_cast<size_t>(receivers)), wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Arrivals::~Arrivals() {
  if (wake_fd_ >= 0) close(wake_fd_);
}

void Arrivals::Record(int receiver) {
  latest_[static_cast<size_t>(receiver)].store(NowNs());
  // Sequentially consistent with WakeAt: either this sees the new target, or WakeAt sees this
  // count.
  const int64_t now = count_.fetch_add(1) + 1;
  if (now >= wake_at_.load()) {
    uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
  }
}

int64_t Arrivals::LatestNs() const {
  int64_t latest = 0;
  for (const auto& t : latest_) latest = std::max(latest, t.load());
  return latest;
}

void Arrivals::WakeAt(int64_t target) {
  wake_at_.store(target);
  if (count_.load() >= target) {
    uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
  }
}

void Arrivals::DrainWake() {
  uint64_t value;
  while (read(wake_fd_, &value, sizeof value) > 0) {
  }
}

}  // namespace qz::bench
