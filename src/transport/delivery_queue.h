// Deliveries beyond what a thread may have in flight wait here, in the order they were asked
// for, and start as earlier ones end: connections to recipients that never answer would
// otherwise hold every descriptor, and later deliveries to live recipients could not even get a
// socket. Only when a connection starts changes; the payload, the port rule and the outcome
// report do not.
#ifndef QZ_TRANSPORT_DELIVERY_QUEUE_H_
#define QZ_TRANSPORT_DELIVERY_QUEUE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/outbound.h"

namespace qz::transport {

struct QueuedDelivery {
  std::string address;
  int32_t port = 0;
  std::string payload;
  PortPicker pick_port;
  DeliveryEnded on_end;
};

// The most deliveries a thread has in flight: half the process's descriptor limit (at least 4),
// leaving the rest to the host and to inbound connections (ListOrder::HeldLimit).
size_t DeliveryLimit();
// Deliveries of the calling thread that are registered (started, not yet ended).
size_t DeliveriesInFlight();
// Whether a delivery asked for now may start at once: below the limit, and none waiting.
bool DeliveryMayStart();
void QueueDelivery(QueuedDelivery delivery);
size_t QueuedDeliveries();
// A delivery ended: the queued ones start from a later pass, as many as the limit allows.
void DeliverySlotFreed();
// The drain at logout: every queued delivery ends unstarted, reported as cancelled.
void CancelQueuedDeliveries();

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_DELIVERY_QUEUE_H_
