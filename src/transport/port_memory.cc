#include "transport/port_memory.h"

#include <utility>

namespace qz::transport {
PortMemory& PortMemory::Process() {
  // Never destroyed: deliveries may still end while static objects are torn down.
  static PortMemory* const memory = new PortMemory();
  return *memory;
}

PortMemory::PortMemory(std::function<Clock::time_point()> now, Clock::duration time_wait)
    : now_(std::move(now)), time_wait_(time_wait) {}

void PortMemory::Hold(int32_t port) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!ports_ && port > 0 && port < kPorts) {
    ports_.reset(static_cast<Clock::rep*>(std::calloc(kPorts, sizeof(Clock::rep))));
  }
  if (Clock::rep* state = Find(port)) *state = kHeld;
}

void PortMemory::Release(int32_t port, bool closed_first) {
  std::lock_guard<std::mutex> lock(mu_);
  Clock::rep* state = Find(port);
  if (state == nullptr || *state != kHeld) return;
  *state = closed_first ? (now_() + time_wait_).time_since_epoch().count() : kFree;
}

}  // namespace qz::transport
