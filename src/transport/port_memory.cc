#include "transport/port_memory.h"

#include <utility>

namespace qz::transport {
namespace {

constexpr int64_t kPorts = 65536;

}  // namespace

PortMemory& PortMemory::Process() {
  // Never destroyed: deliveries may still end while static objects are torn down.
  static PortMemory* const memory = new PortMemory();
  return *memory;
}

PortMemory::PortMemory(std::function<Clock::time_point()> now, Clock::duration time_wait)
    : now_(std::move(now)), time_wait_(time_wait) {}

PortMemory::Clock::rep* PortMemory::Find(int64_t port) const {
  if (port <= 0 || port >= kPorts || !ports_) return nullptr;
  return &ports_[static_cast<size_t>(port)];
}

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

bool PortMemory::View::Busy(int64_t port) const {
  const Clock::rep* state = memory_.Find(port);
  return state != nullptr && *state != kFree && now_.time_since_epoch().count() < *state;
}

}  // namespace qz::transport
