#include "transport/listener.h"

#include "platform/event_loop.h"
#include "transport/port_choice.h"

namespace qz::transport {
namespace {

constexpr int32_t kListenerBase = 5000;

std::function<Status(platform::SocketControl&)>& ListenHook() {
  thread_local std::function<Status(platform::SocketControl&)> hook;
  return hook;
}

Status ListenOn(platform::SocketControl& listener, int32_t port) {
  if (Status set = listener.SetLocalPort(port); !set.ok()) return set;
  if (const auto& hook = ListenHook()) {
    if (Status hooked = hook(listener); !hooked.ok()) return hooked;
  }
  if (Status listening = listener.Listen(); !listening.ok()) return listening;
  platform::DoEvents();
  return Status::OK();
}

}  // namespace

void StartListener(const std::function<void(std::shared_ptr<frmMsg>)>& store) {
  const std::shared_ptr<frmMsg> form = frmMsg::Create();
  store(form);
  form->Load();
  platform::SocketControl& listener = form->Listener();
  int32_t port = PickFreePort(kListenerBase);
  if (ListenOn(listener, port).ok()) return;
  port = PickFreePort(port + kListenerBase);
  if (ListenOn(listener, port).ok()) return;
  port = PickFreePort(port + kListenerBase);
  (void)ListenOn(listener, port);
}

void SetListenHookForTesting(std::function<Status(platform::SocketControl& listener)> hook) {
  ListenHook() = std::move(hook);
}

}  // namespace qz::transport
