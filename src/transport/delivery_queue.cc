#include "transport/delivery_queue.h"

#include <algorithm>
#include <utility>

#include "platform/descriptors.h"
#include "platform/event_loop.h"
#include "transport/connection_registry.h"
#include "transport/module_state.h"

namespace qz::transport {
namespace {

void StartQueued() {
  Module1State& state = Module1();
  state.queued_start_posted = false;
  while (!state.queued_deliveries.empty() && DeliveriesInFlight() < DeliveryLimit()) {
    QueuedDelivery next = std::move(state.queued_deliveries.front());
    state.queued_deliveries.pop_front();
    // Already inside a pass: no pass of its own.
    StartDelivery(next.address, next.port, next.payload, next.pick_port, std::move(next.on_end),
                  /*run_pass=*/false);
  }
}

}  // namespace

size_t DeliveryLimit() { return std::max<size_t>(4, platform::OpenDescriptorLimit() / 2); }

size_t DeliveriesInFlight() {
  const ConnectionRegistry* registry = Module1().gConnections.get();
  return registry == nullptr ? 0 : registry->Count() - registry->InboundCount();
}

bool DeliveryMayStart() {
  return Module1().queued_deliveries.empty() && DeliveriesInFlight() < DeliveryLimit();
}

void QueueDelivery(QueuedDelivery delivery) {
  Module1().queued_deliveries.push_back(std::move(delivery));
}

size_t QueuedDeliveries() { return Module1().queued_deliveries.size(); }

void DeliverySlotFreed() {
  Module1State& state = Module1();
  if (state.queued_deliveries.empty() || state.queued_start_posted) return;
  state.queued_start_posted = true;
  platform::EventLoop::Current().Post(StartQueued);
}

void CancelQueuedDeliveries() {
  std::deque<QueuedDelivery> cancelled;
  cancelled.swap(Module1().queued_deliveries);
  for (QueuedDelivery& d : cancelled) {
    if (!d.on_end) continue;
    try {
      d.on_end(Status::Error(errc::kDeliveryCancelled,
                             "the delivery was ended by LogOut before it started"));
    } catch (...) {
      // Whatever the host's handler throws ends that report, not the drain.
    }
  }
}

}  // namespace qz::transport
