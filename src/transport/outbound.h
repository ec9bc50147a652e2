// SendToPeer: starts the delivery of one payload to one peer on a connection of its own.
#ifndef QZ_TRANSPORT_OUTBOUND_H_
#define QZ_TRANSPORT_OUTBOUND_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "qz/status.h"
#include "transport/port_choice.h"

namespace qz::transport {

// How one delivery ended, told once when its object is unloaded: OK when the payload was handed
// over and the connection closed cleanly; else the failure that ended it, with the control's
// number and words (a start that failed at once, or the second failed attempt), or
// errc::kDeliveryCancelled when the object went first (the drain at logout).
using DeliveryEnded = std::function<void(const Status& outcome)>;

// Creates, loads and registers a frmOrder (see frm_order.h) whose control connects to
// address:port from the local port pick_port(AddressTail(address)) (PickFreePort when empty) and
// holds payload (UTF-8; it travels in the system code page). Processes the thread's pending
// events once, so the delivery may even be over when this returns; afterwards the object is not
// touched again. A local port in use at Connect gets one immediate retry from
// pick_port(tail + first local port); any other failure at start ends the connection before
// this returns. Nothing that happens to the delivery is reported: a message that cannot be
// delivered is lost, unless on_end is given. Call on the thread whose loop runs. While the
// thread has DeliveryLimit() deliveries in flight, the delivery waits, in order, and starts
// (without a pass of its own) once one of them ends (delivery_queue.h).
void SendToPeer(const std::string& address, int32_t port, const std::string& payload,
                const PortPicker& pick_port = {}, DeliveryEnded on_end = {});

// SendToPeer's start without its wait for a slot: with run_pass, the pass over pending events
// follows the start; without, the caller is inside a pass already.
void StartDelivery(const std::string& address, int32_t port, const std::string& payload,
                   const PortPicker& pick_port, DeliveryEnded on_end, bool run_pass);

// The decimal number at the start of what follows the last '.' of address (of the whole
// address when it has none), leading white space skipped; 0 when there is none.
int32_t AddressTail(std::string_view address);

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_OUTBOUND_H_
