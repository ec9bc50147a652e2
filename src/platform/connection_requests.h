// The connection requests of a listening SocketControl: connections it accepted and offers, by
// request id, to the handlers of its ConnectionRequest event. Per thread.
#ifndef QZ_PLATFORM_CONNECTION_REQUESTS_H_
#define QZ_PLATFORM_CONNECTION_REQUESTS_H_

#include <cstdint>
#include <functional>

#include "platform/socket_api.h"

namespace qz::platform {

// Accepts the connections queued on listener: one while the thread holds its spare descriptor
// (the rest are reported again), else until the queue is empty, at most 64 so that one busy
// listener cannot hold the pass (the rest come in the next one). Each is pending while offer(id)
// runs, which returns whether the listener still listens; a request still pending when offer
// returns is closed. Out of descriptors, requests are dropped with the thread's spare
// (listener_reserve.h). True when no spare was left either: the listener must stop watching until a
// descriptor is freed. local_port is the listener's: every local address is bound, so it is each
// request's too.
[[nodiscard]] bool AcceptRequests(sockets::SocketHandle listener, uint16_t local_port,
                                  const std::function<bool(int32_t id)>& offer);

// An accepted connection with its ends as accept told them, so that Accept asks nothing more.
struct PendingRequest {
  sockets::SocketHandle socket = sockets::kNoSocket;
  sockets::Ipv4Endpoint peer;
  uint16_t local_port = 0;
};

// Takes request id out of the pending requests, for Accept; socket kNoSocket when it is not
// pending.
PendingRequest TakePendingRequest(int32_t id);

}  // namespace qz::platform

#endif  // QZ_PLATFORM_CONNECTION_REQUESTS_H_
