#include "transport/port_memory.h"

#include <algorithm>
#include <bit>
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
  if (!InRange(port)) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (!ports_) {
    ports_.reset(static_cast<Clock::rep*>(std::calloc(kPorts, sizeof(Clock::rep))));
    if (!ports_) return;  // nothing remembered: the system answers for every port
    blocks_ = std::make_unique<Block[]>(kPorts / kBlockPorts);
  }
  ports_[static_cast<size_t>(port)] = kHeld;
  blocks_[static_cast<size_t>(port >> kBlockBits)].marked |= uint64_t{1}
                                                             << (port & (kBlockPorts - 1));
}

void PortMemory::Release(int32_t port, bool closed_first) {
  if (!InRange(port)) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (!ports_ || ports_[static_cast<size_t>(port)] != kHeld) return;
  Clock::rep& state = ports_[static_cast<size_t>(port)];
  Block& block = blocks_[static_cast<size_t>(port >> kBlockBits)];
  if (closed_first) {
    state = (now_() + time_wait_).time_since_epoch().count();
    block.ends = std::min(block.ends, state);
  } else {
    state = kFree;
    block.marked &= ~(uint64_t{1} << (port & (kBlockPorts - 1)));
  }
}

void PortMemory::Refresh(Block& block, int64_t first_port, Clock::rep now) const {
  Clock::rep ends = kHeld;
  for (uint64_t left = block.marked; left != 0; left &= left - 1) {
    const int bit = std::countr_zero(left);
    Clock::rep& state = ports_[static_cast<size_t>(first_port + bit)];
    if (state == kHeld) continue;
    if (state <= now) {
      block.marked &= ~(uint64_t{1} << bit);
    } else {
      ends = std::min(ends, state);
    }
  }
  block.ends = ends;
}

void PortMemory::LingerAt(int64_t port, Clock::rep now) const {
  if (!InRange(port) || !ports_) return;
  Clock::rep& state = ports_[static_cast<size_t>(port)];
  if (state == kFree || state == kHeld || state > now) return;
  state = now + std::chrono::duration_cast<Clock::duration>(kLinger).count();
  Block& block = blocks_[static_cast<size_t>(port >> kBlockBits)];
  block.marked |= uint64_t{1} << (port & (kBlockPorts - 1));
  block.ends = std::min(block.ends, state);
}

}  // namespace qz::transport
