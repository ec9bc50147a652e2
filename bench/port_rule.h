// The port rule's candidate sequence with "in use" answered from memory instead of the kernel:
// what the raw baseline `rawbind` binds, and the model that estimates, for the component, how
// often the walk leaves the port range. The walk is the component's own (transport's
// PickFreePort), and so is the memory of held and TIME_WAIT ports (transport's PortMemory); this
// adds the benchmark's clock, its seeds and its counters.
//
// In use: ports bound now (Hold) and ports closed within the TIME_WAIT span (Release), since
// the side that binds them also closes first. A walk that passes 65535 ends there: the system
// chooses the port (Pick returns 0). Not thread-safe.
#ifndef QZ_BENCH_PORT_RULE_H_
#define QZ_BENCH_PORT_RULE_H_

#include <bitset>
#include <cstdint>

#include "transport/port_memory.h"

namespace qz::bench {

// Messages per second the port rule can carry to one base: every port from 9000 + base to 65535
// once per TIME_WAIT span.
double PortRuleCeiling(int32_t base);

class PortRuleMemory {
 public:
  explicit PortRuleMemory(
      int64_t time_wait_ns = std::chrono::nanoseconds(transport::PortMemory::kTimeWait).count());

  // The next port for base at time now_ns, or 0 when the walk left the range. Re-seeds the
  // generator from seed, as the component re-seeds per call.
  int32_t Pick(int32_t base, int64_t now_ns, uint64_t seed);
  // port is bound now (a port the system chose counts too).
  void Hold(uint16_t port);
  // port was closed by this side at now_ns, or found taken: in TIME_WAIT until now_ns + the span.
  void Release(uint16_t port, int64_t now_ns);
  bool InUse(int64_t port, int64_t now_ns);

  int64_t picks() const { return picks_; }
  int64_t escapes() const { return escapes_; }  // walks that left 65535
  int64_t steps() const { return steps_; }      // candidates past the first, over all walks

 private:
  void At(int64_t now_ns) {
    now_ = transport::PortMemory::Clock::time_point(std::chrono::nanoseconds(now_ns));
  }

  transport::PortMemory::Clock::time_point now_{};
  transport::PortMemory memory_;
  std::bitset<65536> held_;  // Hold without a Release yet
  int64_t picks_ = 0;
  int64_t escapes_ = 0;
  int64_t steps_ = 0;
};

}  // namespace qz::bench

#endif  // QZ_BENCH_PORT_RULE_H_
