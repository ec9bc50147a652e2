#include "transport/outbound.h"

#include <limits>
#include <memory>

#include "platform/event_loop.h"
#include "platform/leading_number.h"
#include "transport/frm_order.h"
#include "transport/port_choice.h"
#include "transport/registry.h"

namespace qz::transport {
namespace {

// Registers the object and starts connecting. local receives the first local port chosen.
Status Start(const std::shared_ptr<frmOrder>& order, const std::string& address, int32_t port,
             const std::string& payload, int32_t tail, int32_t& local) {
  if (Status registered = RegisterConnection(order); !registered.ok()) return registered;
  platform::SocketControl& use = order->Use();
  use.SetRemoteHost(address);
  if (Status set = use.SetRemotePort(port); !set.ok()) return set;
  use.SetTag(payload);
  local = PickFreePort(tail);
  if (Status set = use.SetLocalPort(local); !set.ok()) return set;
  if (Status connecting = use.Connect(); !connecting.ok()) return connecting;
  platform::DoEvents();
  return Status::OK();
}

// The local port was taken: once more from a port chosen past it.
Status RetryFromAnotherPort(frmOrder& order, int32_t tail, int32_t local) {
  platform::SocketControl& use = order.Use();
  (void)use.Close();
  const int64_t base = int64_t{tail} + local;
  if (base > std::numeric_limits<int32_t>::max() || base < std::numeric_limits<int32_t>::min()) {
    return Status::Error(errc::kOverflow, "the next local port's base does not fit");
  }
  if (Status set = use.SetLocalPort(PickFreePort(static_cast<int32_t>(base))); !set.ok()) {
    return set;
  }
  if (Status connecting = use.Connect(); !connecting.ok()) return connecting;
  platform::DoEvents();
  return Status::OK();
}

}  // namespace

int32_t AddressTail(std::string_view address) {
  const size_t dot = address.rfind('.');
  return LeadingNumber(dot == std::string_view::npos ? address : address.substr(dot + 1));
}

Status SendToPeer(const std::string& address, int32_t port, const std::string& payload) {
  const int32_t tail = AddressTail(address);
  const std::shared_ptr<frmOrder> order = frmOrder::Create();
  order->Load();
  int32_t local = 0;
  Status started = Start(order, address, port, payload, tail, local);
  if (started.code() == errc::kWsaAddressInUse) started = RetryFromAnotherPort(*order, tail, local);
  if (started.ok()) return Status::OK();
  (void)order->Use().Close();
  const std::string key = order->Tag();
  RemoveConnection(key);
  order->Unload();  // does nothing once removed; an object never registered is unloaded here
  return Status::OK();
}

}  // namespace qz::transport
