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

PortMemory::PortMemory(std::function<Clock::time_point()> now) : now_(std::move(now)) {}

PortMemory::Entry* PortMemory::Find(int64_t port) {
  if (port <= 0 || port >= kPorts || ports_.empty()) return nullptr;
  return &ports_[static_cast<size_t>(port)];
}

void PortMemory::Hold(int32_t port) {
  std::lock_guard<std::mutex> lock(mu_);
  if (ports_.empty() && port > 0 && port < kPorts) ports_.resize(kPorts);
  if (Entry* e = Find(port)) ++e->holds;
}

void PortMemory::Release(int32_t port, bool closed_first) {
  std::lock_guard<std::mutex> lock(mu_);
  Entry* e = Find(port);
  if (e == nullptr || e->holds == 0) return;
  --e->holds;
  e->time_wait_until = closed_first ? now_() + kTimeWait : Clock::time_point{};
}

bool PortMemory::View::Busy(int64_t port) const {
  const std::vector<Entry>& ports = memory_.ports_;
  if (port <= 0 || port >= kPorts || ports.empty()) return false;
  const Entry& e = ports[static_cast<size_t>(port)];
  return e.holds != 0 || (e.time_wait_until != Clock::time_point{} && now_ < e.time_wait_until);
}

}  // namespace qz::transport
