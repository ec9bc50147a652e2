#include "transport/outbound.h"

#include <functional>
#include <limits>
#include <memory>

#include "platform/event_loop.h"
#include "platform/leading_number.h"
#include "transport/connection_registry.h"
#include "transport/delivery_queue.h"
#include "transport/frm_order.h"

namespace qz::transport {
namespace {

// Connects from the port chosen as PickFreePort(base) would, asking the system by binding the
// connection's own socket; or from the port that pick_port chooses.
Status ConnectChosen(platform::SocketControl& use, const PortPicker& pick_port, int32_t base) {
  if (!pick_port) {
    return use.ConnectFromFreePort([base](const std::function<bool(int32_t)>& taken) {
      return PickFreePort(base,
                          [&taken](int64_t port) { return taken(static_cast<int32_t>(port)); });
    });
  }
  if (Status set = use.SetLocalPort(pick_port(base)); !set.ok()) return set;
  return use.Connect();
}

// Starts connecting from the local port chosen from base, then runs one pass if asked to.
Status ConnectFrom(frmOrder& order, const PortPicker& pick_port, int64_t base, bool run_pass,
                   int32_t& local) {
  platform::SocketControl& use = order.Use();
  if (base > std::numeric_limits<int32_t>::max() || base < std::numeric_limits<int32_t>::min()) {
    return Status::Error(errc::kOverflow, "the local port's base does not fit");
  }
  Status connecting = ConnectChosen(use, pick_port, static_cast<int32_t>(base));
  local = use.LocalPort();
  if (!connecting.ok()) return connecting;
  order.HoldLocalPort();  // before the pass, which may already end the delivery
  if (run_pass) platform::DoEvents();
  // Not answered by then (or no pass ran): from here the recipient is waited for.
  if (use.State() == platform::SocketState::kConnecting) use.LimitWaits();
  return Status::OK();
}

}  // namespace

int32_t AddressTail(std::string_view address) {
  const size_t dot = address.rfind('.');
  return LeadingNumber(dot == std::string_view::npos ? address : address.substr(dot + 1));
}

void SendToPeer(const std::string& address, int32_t port, const std::string& payload,
                const PortPicker& pick_port, DeliveryEnded on_end) {
  if (!DeliveryMayStart()) {
    QueueDelivery({address, port, payload, pick_port, std::move(on_end)});
    return;
  }
  StartDelivery(address, port, payload, pick_port, std::move(on_end), /*run_pass=*/true);
}

void StartDelivery(const std::string& address, int32_t port, const std::string& payload,
                   const PortPicker& pick_port, DeliveryEnded on_end, bool run_pass) {
  const int32_t tail = AddressTail(address);
  std::shared_ptr<frmOrder> order = frmOrder::Create(std::move(on_end));
  order->Load();
  RegisterConnection(order);
  platform::SocketControl& use = order->Use();
  use.SetRemoteHost(address);
  Status started = use.SetRemotePort(port);
  use.SetTag(payload);
  int32_t local = 0;
  if (started.ok()) started = ConnectFrom(*order, pick_port, tail, run_pass, local);
  if (started.IsAddressInUse()) {
    // The local port was taken: once more from a port chosen past it.
    use.Close();
    started = ConnectFrom(*order, pick_port, int64_t{tail} + local, run_pass, local);
  }
  // A start that failed ran no pass: the object is still registered under its Tag (removal
  // holds the object, and with it the Tag, until it returns).
  if (!started.ok()) {
    order->GiveUp(started);
    RemoveConnection(order->Tag());
  }
}

}  // namespace qz::transport
