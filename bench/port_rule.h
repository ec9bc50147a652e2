// The port rule's candidate sequence with "in use" answered from memory instead of the kernel:
// what the raw baseline `rawbind` binds, and the model that estimates, for the component, how
// often the walk leaves the port range.
//
// Sequence for a peer's base b: first (b + 9000) + floor(r * 200), then, while the candidate is
// in use, candidate + b + floor(r * 200), r uniform in [0, 1) and drawn anew at every step. A walk
// that passes 65535 ends there: the system chooses the port (Pick returns 0).
//
// In use: ports bound now (Hold) and ports closed within the TIME_WAIT span (Release), since
// the side that binds them also closes first. Not thread-safe.
#ifndef QZ_BENCH_PORT_RULE_H_
#define QZ_BENCH_PORT_RULE_H_

#include <array>
#include <bitset>
#include <cstdint>
#include <deque>
#include <utility>

namespace qz::bench {

// Linux keeps a connection that closed first in TIME_WAIT this long, in every namespace.
constexpr int64_t kTimeWaitNs = 60'000'000'000;

// Messages per second the port rule can carry to one base: every port from 9000 + base to 65535
// once per TIME_WAIT span.
double PortRuleCeiling(int32_t base);

class PortRuleMemory {
 public:
  explicit PortRuleMemory(int64_t time_wait_ns = kTimeWaitNs) : time_wait_ns_(time_wait_ns) {}

  // The next port for base at time now_ns, or 0 when the walk left the range. Re-seeds its
  // generator from seed, as the component re-seeds per call.
  int32_t Pick(int32_t base, int64_t now_ns, uint64_t seed);
  // port is bound now (a port the system chose counts too).
  void Hold(uint16_t port);
  // port was closed by this side at now_ns: in TIME_WAIT until now_ns + the span.
  void Release(uint16_t port, int64_t now_ns);
  bool InUse(int64_t port, int64_t now_ns);

  int64_t picks() const { return picks_; }
  int64_t escapes() const { return escapes_; }  // walks that left 65535
  int64_t steps() const { return steps_; }      // candidates past the first, over all walks

 private:
  void Expire(int64_t now_ns);

  int64_t time_wait_ns_;
  std::bitset<65536> used_;
  std::deque<std::pair<int64_t, uint16_t>> time_wait_;  // (end, port), oldest first
  std::array<int64_t, 65536> held_until_{};             // a port released twice ends late
  uint64_t state_ = 0;
  int64_t picks_ = 0;
  int64_t escapes_ = 0;
  int64_t steps_ = 0;
};

}  // namespace qz::bench

#endif  // QZ_BENCH_PORT_RULE_H_
