// StartListener: creates and loads the listener form and makes its Listener listen on a free
// port, with two retries on other ports.
#ifndef QZ_TRANSPORT_LISTENER_H_
#define QZ_TRANSPORT_LISTENER_H_

#include <functional>
#include <memory>

#include "platform/socket_control.h"
#include "qz/status.h"
#include "transport/frm_msg.h"
#include "transport/port_choice.h"

namespace qz::transport {

// What StartListener asks of its surroundings. The defaults are the real ones; tests choose
// ports and make Listen fail through them.
struct ListenerOptions {
  // Chooses each port from its base; PickFreePort when empty.
  PortPicker pick_port;
  // Runs in front of each Listen; a failure it returns counts as the failure of that Listen,
  // which then is not made.
  std::function<Status(platform::SocketControl& listener)> before_listen;
};

// Creates a new frmMsg, hands it to `store` (which keeps it and subscribes to it) before it is
// loaded, loads it (it becomes Module1().gMsgForm) and listens on a port chosen from 5000, then
// processes the thread's pending events once. When a step fails, it tries again on the same
// form with a port chosen from port + 5000, port being the last one tried, and once more the
// same way; the third failure is discarded. Always returns; afterwards Listener().LocalPort()
// holds the port listened on, or the last one tried. Events, including whole inbound
// deliveries, may be dispatched before it returns. Call on the thread that owns the form.
void StartListener(const std::function<void(std::shared_ptr<frmMsg>)>& store,
                   const ListenerOptions& options = {});

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_LISTENER_H_
