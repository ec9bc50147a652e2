#include "platform/listener_reserve.h"

#include <utility>
#include <vector>

namespace qz::platform {
namespace {

// Plain thread-locals: controls may close during thread exit. The list is a raw pointer, so that
// nothing is destroyed under a control that closes then.
thread_local int t_listeners = 0;
thread_local std::vector<std::weak_ptr<StarvedListener>>* t_starved = nullptr;

}  // namespace

void ListenerStarted() {
  ++t_listeners;
  sockets::ReserveSpareDescriptor();
}

void ListenerStopped() {
  if (--t_listeners == 0) sockets::ReleaseSpareDescriptor();
}

Status DropOldestRequest(sockets::SocketHandle listener, Status shortage) {
  if (!sockets::ReleaseSpareDescriptor()) return shortage;
  Result<sockets::AcceptedSocket> oldest = sockets::AcceptOne(listener);
  if (oldest.ok()) sockets::CloseSocket(oldest->socket);
  sockets::ReserveSpareDescriptor();
  return oldest.status();
}

void AwaitFreedDescriptor(std::weak_ptr<StarvedListener> listener) {
  if (t_starved == nullptr) t_starved = new std::vector<std::weak_ptr<StarvedListener>>();
  t_starved->push_back(std::move(listener));
}

void WakeStarvedListeners() {
  if (t_starved == nullptr) return;
  std::unique_ptr<std::vector<std::weak_ptr<StarvedListener>>> starved(t_starved);
  t_starved = nullptr;
  for (const std::weak_ptr<StarvedListener>& weak : *starved) {
    if (std::shared_ptr<StarvedListener> listener = weak.lock()) listener->DescriptorFreed();
  }
}

}  // namespace qz::platform
