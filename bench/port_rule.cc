#include "port_rule.h"

#include <cstdint>

namespace qz::bench {
namespace {

constexpr int64_t kFirstOffset = 9000;
constexpr int64_t kSpread = 200;
constexpr int64_t kHighestPort = 65535;

// splitmix64: cheap to seed, so re-seeding per walk costs nothing worth measuring.
uint64_t NextBits(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

int64_t RandomPart(uint64_t& state) {
  const double r = static_cast<double>(NextBits(state) >> 11) * 0x1.0p-53;
  const auto part = static_cast<int64_t>(r * static_cast<double>(kSpread));
  return part < kSpread ? part : kSpread - 1;
}

}  // namespace

double PortRuleCeiling(int32_t base) {
  const int64_t ports = kHighestPort - (kFirstOffset + base) + 1;
  if (ports <= 0) return 0;
  return static_cast<double>(ports) / (static_cast<double>(kTimeWaitNs) / 1e9);
}

int32_t PortRuleMemory::Pick(int32_t base, int64_t now_ns, uint64_t seed) {
  Expire(now_ns);
  state_ = seed;
  ++picks_;
  int64_t candidate = int64_t{base} + kFirstOffset + RandomPart(state_);
  // A base of 0 or less could walk for ever; no walk needs more steps than there are ports.
  for (int64_t step = 0; candidate <= kHighestPort && candidate >= 0 && used_.test(candidate);
       ++step) {
    if (step > kHighestPort) break;
    ++steps_;
    candidate += base + RandomPart(state_);
  }
  if (candidate < 0 || candidate > kHighestPort || used_.test(candidate)) {
    ++escapes_;
    return 0;
  }
  return static_cast<int32_t>(candidate);
}

void PortRuleMemory::Hold(uint16_t port) {
  used_.set(port);
  held_until_[port] = INT64_MAX;
}

void PortRuleMemory::Release(uint16_t port, int64_t now_ns) {
  used_.set(port);
  held_until_[port] = now_ns + time_wait_ns_;
  time_wait_.emplace_back(now_ns + time_wait_ns_, port);
}

bool PortRuleMemory::InUse(int64_t port, int64_t now_ns) {
  Expire(now_ns);
  return port >= 0 && port <= kHighestPort && used_.test(static_cast<size_t>(port));
}

void PortRuleMemory::Expire(int64_t now_ns) {
  while (!time_wait_.empty() && time_wait_.front().first <= now_ns) {
    const uint16_t port = time_wait_.front().second;
    if (held_until_[port] <= now_ns) used_.reset(port);
    time_wait_.pop_front();
  }
}

}  // namespace qz::bench
