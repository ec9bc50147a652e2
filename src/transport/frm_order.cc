#include "transport/frm_order.h"

#include "transport/payload.h"

namespace qz::transport {

std::shared_ptr<frmOrder> frmOrder::Create() { return std::shared_ptr<frmOrder>(new frmOrder()); }

void frmOrder::OnConnect() {
  if (!Use().SendData(EncodeForWire(Use().Tag())).ok()) Fail();
}

void frmOrder::OnSendComplete() { End(); }

void frmOrder::OnError(int32_t /*number*/, const std::string& /*description*/,
                       bool& /*cancelDisplay*/) {
  Fail();
}

void frmOrder::Fail() {
  Use().Close();
  if (!m_Retried) {
    m_Retried = true;
    // Same remote address, remote port and local port.
    if (Use().Connect().ok()) return;
  }
  End();
}

}  // namespace qz::transport
