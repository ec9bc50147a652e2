#include "port_rule.h"

#include <cstdint>

#include "platform/random.h"
#include "transport/port_choice.h"

namespace qz::bench {
namespace {

constexpr int64_t kFirstPort = 9000;
constexpr int64_t kHighestPort = 65535;

}  // namespace

double PortRuleCeiling(int32_t base) {
  const int64_t ports = kHighestPort - (kFirstPort + base) + 1;
  if (ports <= 0) return 0;
  const double span = std::chrono::duration<double>(transport::PortMemory::kTimeWait).count();
  return static_cast<double>(ports) / span;
}

PortRuleMemory::PortRuleMemory(int64_t time_wait_ns)
    : memory_([this] { return now_; }, std::chrono::nanoseconds(time_wait_ns)) {}

int32_t PortRuleMemory::Pick(int32_t base, int64_t now_ns, uint64_t seed) {
  At(now_ns);
  ++picks_;
  platform::Reseed(seed);
  const transport::PortMemory::View view = memory_.Look();
  const int32_t port = transport::PickFreePort(
      base,
      [&](int64_t candidate) {
        const bool busy = view.Busy(candidate);
        if (busy) ++steps_;
        return busy;
      },
      platform::NextRandom);
  if (port == 0) ++escapes_;
  return port;
}

void PortRuleMemory::Hold(uint16_t port) {
  held_.set(port);
  memory_.Hold(port);
}

void PortRuleMemory::Release(uint16_t port, int64_t now_ns) {
  At(now_ns);
  // A port found taken, or picked by the shadow walk, was never held: it enters TIME_WAIT all
  // the same.
  if (!held_.test(port)) memory_.Hold(port);
  held_.reset(port);
  memory_.Release(port, /*closed_first=*/true);
}

bool PortRuleMemory::InUse(int64_t port, int64_t now_ns) {
  At(now_ns);
  return memory_.Busy(port);
}

}  // namespace qz::bench
