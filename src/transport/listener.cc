#include "transport/listener.h"

#include "platform/event_loop.h"

namespace qz::transport {
namespace {

constexpr int32_t kListenerBase = 5000;

Status ListenOn(platform::SocketControl& listener, int32_t port, const ListenerOptions& options) {
  if (Status set = listener.SetLocalPort(port); !set.ok()) return set;
  if (options.before_listen) {
    if (Status gate = options.before_listen(listener); !gate.ok()) return gate;
  }
  if (Status listening = listener.Listen(); !listening.ok()) return listening;
  platform::DoEvents();
  return Status::OK();
}

}  // namespace

void StartListener(const std::function<void(std::shared_ptr<frmMsg>)>& store,
                   const ListenerOptions& options) {
  const auto pick = [&options](int32_t base) { return PickPort(options.pick_port, base); };
  const std::shared_ptr<frmMsg> form = frmMsg::Create();
  store(form);
  form->Load();
  platform::SocketControl& listener = form->Listener();
  int32_t port = pick(kListenerBase);
  if (ListenOn(listener, port, options).ok()) return;
  port = pick(port + kListenerBase);
  if (ListenOn(listener, port, options).ok()) return;
  port = pick(port + kListenerBase);
  (void)ListenOn(listener, port, options);
}

}  // namespace qz::transport
