// The transport's module-level state, once per thread, shared by every component object that
// the thread creates.
#ifndef QZ_TRANSPORT_MODULE_STATE_H_
#define QZ_TRANSPORT_MODULE_STATE_H_

#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include "transport/connection_registry.h"
#include "transport/delivery_queue.h"
#include "transport/hidden_form.h"
#include "transport/payload.h"

namespace qz::transport {

struct Module1State {
  // The loaded listener form, held as what receives payloads, or empty. Only the listener
  // form's load and unload handlers change it; the inbound side reaches the listener form
  // through it alone.
  std::shared_ptr<PayloadReceiver> gMsgForm;
  // The connection registry, or not set: created by the first registration, released at the
  // end of CloseAllConnections. The only lasting owner of every connection object.
  std::unique_ptr<ConnectionRegistry> gConnections;
  // Every listener form from its load until its unload, whichever object started it.
  std::vector<std::shared_ptr<HiddenForm>> loaded_listeners;
  // The bytes that inbound connections have collected and not yet delivered or dropped.
  size_t held_inbound_bytes = 0;
  // Deliveries waiting for a slot (delivery_queue.h), oldest first, and whether a pass is due
  // to start them.
  std::deque<QueuedDelivery> queued_deliveries;
  bool queued_start_posted = false;
};

// The calling thread's state.
Module1State& Module1();

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_MODULE_STATE_H_
