#include "transport/frm_order.h"

#include "transport/payload.h"
#include "transport/port_memory.h"

namespace qz::transport {

std::shared_ptr<frmOrder> frmOrder::Create() { return std::shared_ptr<frmOrder>(new frmOrder()); }

void frmOrder::OnConnect() {
  if (!Use().SendData(EncodeForWire(Use().Tag())).ok()) Fail();
}

void frmOrder::HoldLocalPort() {
  if (held_port_ != 0) return;  // a reconnect binds the same port
  held_port_ = Use().LocalPort();
  PortMemory::Process().Hold(held_port_);
}

void frmOrder::OnUnload() {
  ConnectionForm::OnUnload();
  PortMemory::Process().Release(held_port_, sent_and_closed_);
  held_port_ = 0;
}

void frmOrder::OnSendComplete() {
  sent_and_closed_ = true;  // End closes first: the port goes into TIME_WAIT here
  End();
}

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
