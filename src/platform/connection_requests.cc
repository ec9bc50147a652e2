#include "platform/connection_requests.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/listener_reserve.h"

namespace qz::platform {
namespace {

using sockets::kNoSocket;
using sockets::SocketHandle;

int32_t RequestId(SocketHandle s) { return static_cast<int32_t>(s); }

// By request id (the descriptor).
thread_local std::vector<PendingRequest> t_pending_requests;

// A failed accept that leaves the queue as it was, worth another try at once.
bool IsTransient(const Status& failure) {
  return sockets::IsInterrupted(failure) || failure.code() == errc::kWsaConnectionAborted ||
         failure.code() == errc::kWsaConnectionReset;
}

}  // namespace

bool AcceptRequests(SocketHandle listener, uint16_t local_port,
                    const std::function<bool(int32_t id)>& offer) {
  for (int i = 0; i < 64; ++i) {
    // On Windows the accepted socket inherits the listener's events, which the loop drops until
    // Accept watches it.
    Result<sockets::AcceptedSocket> accepted = sockets::AcceptOne(listener);
    if (!accepted.ok()) {
      Status failure = accepted.status();
      if (IsTransient(failure)) continue;
      if (failure.IsTooManySockets()) {
        failure = DropOldestRequest(listener, std::move(failure));
        if (failure.ok()) continue;
        if (failure.IsTooManySockets()) return true;
      }
      // The queue is empty: a spare lost to a shortage is taken back now.
      if (failure.IsWouldBlock()) sockets::ReserveSpareDescriptor();
      return false;
    }
    const SocketHandle s = accepted->socket;
    const int32_t id = RequestId(s);
    t_pending_requests.push_back(PendingRequest{s, accepted->peer, local_port});
    const bool listening = offer(id);
    if (TakePendingRequest(id).socket != kNoSocket) sockets::CloseSocket(s);  // nobody accepted it
    if (!listening) return false;
    // One per readiness report while the spare is held: the watch is level-triggered, so queued
    // requests are reported again, and the accept that would only find the queue empty is
    // spared. A listener that lost its spare goes on to the empty queue, where it takes it back.
    if (sockets::HoldsSpareDescriptor()) return false;
  }
  return false;
}

PendingRequest TakePendingRequest(int32_t id) {
  auto it = std::find_if(t_pending_requests.begin(), t_pending_requests.end(),
                         [id](const PendingRequest& r) { return RequestId(r.socket) == id; });
  if (it == t_pending_requests.end()) return PendingRequest{};
  const PendingRequest request = *it;
  t_pending_requests.erase(it);
  return request;
}

}  // namespace qz::platform
