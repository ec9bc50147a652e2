// What the listeners of a thread do when the process runs out of descriptors.
//
// When accept fails for want of descriptors, the request stays queued and the listener stays
// readable: a loop that goes back to it spins, and the queue (well-behaved peers too) never
// moves. So the thread keeps one descriptor in reserve while it has a listener. The spare is
// released to take the oldest request and close it at once, so the queue drains and the peer
// learns at once that its message was not taken. With no spare left, the listener stops watching
// until a control of the thread frees a descriptor. Everything here is per thread.
#ifndef QZ_PLATFORM_LISTENER_RESERVE_H_
#define QZ_PLATFORM_LISTENER_RESERVE_H_

#include <memory>

#include "platform/socket_api.h"
#include "qz/status.h"

namespace qz::platform {

// A listener that stopped watching for want of a descriptor.
class StarvedListener {
 public:
  virtual ~StarvedListener() = default;
  // A control of the thread freed a descriptor: try again from the next pass.
  virtual void DescriptorFreed() = 0;
};

// A listener of the thread starts or stops; the spare is kept while there is one.
void ListenerStarted();
void ListenerStopped();

// After accepting from listener failed with `shortage` (out of descriptors): takes the oldest
// request with the spare and closes it. OK when one was dropped; else what stands in the way:
// the failure of the accept made here, or `shortage` when no spare was left.
Status DropOldestRequest(sockets::SocketHandle listener, Status shortage);

// Calls listener->DescriptorFreed() once a control of the thread frees a descriptor.
void AwaitFreedDescriptor(std::weak_ptr<StarvedListener> listener);
// A control of the thread closed its socket. The descriptor goes to a waiting listener's request
// rather than to a new spare; the spare is taken back once that listener's queue is empty.
void WakeStarvedListeners();

}  // namespace qz::platform

#endif  // QZ_PLATFORM_LISTENER_RESERVE_H_
