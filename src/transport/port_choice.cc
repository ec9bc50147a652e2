#include "transport/port_choice.h"

#include <algorithm>

#include "platform/random.h"
#include "platform/tcp_table.h"
#include "transport/port_memory.h"

namespace qz::transport {
namespace {

constexpr int64_t kFirstOffset = 9000;
constexpr int64_t kSpread = 200;
constexpr int64_t kHighestPort = 65535;
constexpr int32_t kSystemChooses = 0;
// A walk with a negative base can wander; no walk needs more steps than there are ports.
constexpr int64_t kMaxSteps = kHighestPort + 1;

int64_t RandomPart(double r) {
  const double scaled = std::clamp(r, 0.0, 1.0) * static_cast<double>(kSpread);
  return std::min(static_cast<int64_t>(scaled), kSpread - 1);
}

bool InPortRange(int64_t candidate) { return candidate >= 0 && candidate <= kHighestPort; }

// The candidate sequence; 64-bit sums, so no base or walk can overflow.
int64_t FirstCandidate(int32_t base, double r) {
  return (int64_t{base} + kFirstOffset) + RandomPart(r);
}
int64_t NextCandidate(int64_t candidate, int32_t base, double r) {
  return (candidate + base) + RandomPart(r);
}

// The walk itself, inlined into each caller: a walk past tens of thousands of remembered ports
// takes hundreds of steps, and calls through std::function on each would be most of its cost.
template <typename InUse, typename NextRandom>
int32_t Walk(int32_t base, const InUse& in_use, const NextRandom& next_random) {
  int64_t candidate = FirstCandidate(base, next_random());
  for (int64_t steps = 0; InPortRange(candidate) && in_use(candidate); ++steps) {
    if (steps == kMaxSteps) return kSystemChooses;
    candidate = NextCandidate(candidate, base, next_random());
  }
  return InPortRange(candidate) ? static_cast<int32_t>(candidate) : kSystemChooses;
}

}  // namespace

UsedPorts::UsedPorts(const std::vector<uint16_t>& ports) {
  for (uint16_t port : ports) bits_.set(port);
}

bool UsedPorts::Contains(int64_t port) const {
  return InPortRange(port) && bits_.test(static_cast<size_t>(port));
}

int32_t PickFreePort(int32_t base) {
  return PickFreePort(
      base, [](int64_t port) { return platform::LocalTcpPortInUse(static_cast<uint16_t>(port)); });
}

int32_t PickFreePort(int32_t base, const std::function<bool(int64_t port)>& taken) {
  platform::ReseedFromTimeOfDay();
  // What this process knows is busy costs nothing to ask; the system answers for the rest.
  const PortMemory::View memory = PortMemory::Process().Look();
  platform::Random& random = platform::ThreadRandom();
  return Walk(
      base,
      [&](int64_t port) {
        if (memory.Busy(port)) return true;
        if (!taken(port)) return false;
        memory.Refused(port);
        return true;
      },
      [&random] { return random.Next(); });
}

int32_t PickFreePort(int32_t base, const UsedPorts& used,
                     const std::function<double()>& next_random) {
  return Walk(
      base, [&used](int64_t port) { return used.Contains(port); }, next_random);
}

int32_t PickFreePort(int32_t base, const std::function<bool(int64_t port)>& in_use,
                     const std::function<double()>& next_random) {
  return Walk(base, in_use, next_random);
}

int32_t PickPort(const PortPicker& pick, int32_t base) {
  return pick ? pick(base) : PickFreePort(base);
}

}  // namespace qz::transport
