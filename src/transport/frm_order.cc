#include "transport/frm_order.h"

#include "transport/payload.h"
#include "transport/registry.h"

namespace qz::transport {

std::shared_ptr<frmOrder> frmOrder::Create() { return std::shared_ptr<frmOrder>(new frmOrder()); }

void frmOrder::OnUnload() {
  if (use_.State() != platform::SocketState::kClosed) (void)use_.Close();
}

void frmOrder::OnConnect() {
  const std::shared_ptr<HiddenForm> self = shared_from_this();
  if (!use_.SendData(EncodeForWire(use_.Tag())).ok()) Fail();
}

void frmOrder::OnSendComplete() {
  const std::shared_ptr<HiddenForm> self = shared_from_this();
  const std::string key = Tag();
  (void)use_.Close();
  RemoveConnection(key);
  Unload();
}

void frmOrder::OnError(int32_t /*number*/, const std::string& /*description*/,
                       bool& /*cancelDisplay*/) {
  const std::shared_ptr<HiddenForm> self = shared_from_this();
  Fail();
}

void frmOrder::Fail() {
  (void)use_.Close();
  if (!m_Retried) {
    m_Retried = true;
    // Same remote address, remote port and local port.
    if (use_.Connect().ok()) return;
    (void)use_.Close();
  }
  const std::string key = Tag();
  RemoveConnection(key);
  Unload();
}

}  // namespace qz::transport
