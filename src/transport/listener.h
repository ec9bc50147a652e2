// StartListener: creates and loads the listener form and makes its Listener listen on a free
// port, with two retries on other ports.
#ifndef QZ_TRANSPORT_LISTENER_H_
#define QZ_TRANSPORT_LISTENER_H_

#include <functional>
#include <memory>

#include "platform/socket_control.h"
#include "qz/status.h"
#include "transport/frm_msg.h"

namespace qz::transport {

// Creates a new frmMsg, hands it to `store` (which keeps it and subscribes to it) before it is
// loaded, loads it (it becomes Module1().gMsgForm) and listens on PickFreePort(5000), then
// processes the thread's pending events once. When a step fails, it tries again on the same
// form with PickFreePort(port + 5000), port being the last one tried, and once more the same
// way; the third failure is discarded. Always returns; afterwards Listener().LocalPort() holds
// the port listened on, or the last one tried. Events, including whole inbound deliveries, may
// be dispatched before it returns. Call on the thread that owns the form.
void StartListener(const std::function<void(std::shared_ptr<frmMsg>)>& store);

// For tests: called on this thread in front of each Listen; a failure it returns counts as the
// failure of that Listen, which then is not made. Empty restores.
void SetListenHookForTesting(std::function<Status(platform::SocketControl& listener)> hook);

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_LISTENER_H_
