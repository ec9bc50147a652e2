#include "transport/frm_order.h"

#include "platform/code_page.h"
#include "transport/delivery_queue.h"
#include "transport/payload.h"
#include "transport/port_memory.h"

namespace qz::transport {

std::shared_ptr<frmOrder> frmOrder::Create(DeliveryEnded on_end) {
  auto order = std::make_shared<frmOrder>(Made{}, std::move(on_end));
  // The delivery sets the wait limits where it finds itself waiting: after its first pass
  // (ConnectFrom), or when the system does not take the payload at once.
  order->Use().DeferWaitLimits(true);
  return order;
}

void frmOrder::OnConnect() {
  // A UTF-8 code page sends the text as it is, without a copy per delivery.
  const platform::CodePage& cp = platform::CodePage::System();
  const Status sent =
      cp.is_utf8() ? Use().SendData(Use().Tag()) : Use().SendData(EncodeForWire(Use().Tag(), cp));
  if (!sent.ok()) {
    Fail(sent);
    return;
  }
  // The kernel took it all at once, as it does for any payload its buffer holds: the send has
  // completed, and closing now lets the peer's one read find the data and the close together.
  if (Use().BytesUnsent() == 0 && Use().State() == platform::SocketState::kConnected) {
    OnSendComplete();
  } else {
    Use().LimitWaits();
  }
}

void frmOrder::HoldLocalPort() {
  if (held_port_ != 0) return;  // a reconnect binds the same port
  held_port_ = Use().LocalPort();
  PortMemory::Process().Hold(held_port_);
}

void frmOrder::GiveUp(Status failure) { failure_ = std::move(failure); }

void frmOrder::OnUnload() {
  ConnectionForm::OnUnload();
  PortMemory::Process().Release(held_port_, sent_and_closed_);
  held_port_ = 0;
  DeliverySlotFreed();
  if (!on_end_) return;
  const DeliveryEnded told = std::move(on_end_);  // once, even if the handler unloads again
  on_end_ = nullptr;
  const Status outcome =
      sent_and_closed_ ? Status::OK()
      : !failure_.ok() ? failure_
                       : Status::Error(errc::kDeliveryCancelled,
                                       "the delivery was ended by LogOut before it completed");
  try {
    told(outcome);
  } catch (...) {
    // Whatever the host's handler throws ends the report, not the removal under way.
  }
}

void frmOrder::OnSendComplete() {
  sent_and_closed_ = true;  // End closes first: the port goes into TIME_WAIT here
  End();
}

void frmOrder::OnError(int32_t number, const std::string& description, bool& /*cancelDisplay*/) {
  Fail(Status::Error(number, description));
}

void frmOrder::Fail(Status failure) {
  Use().Close();
  if (!m_Retried) {
    m_Retried = true;
    // Same remote address, remote port and local port.
    Status again = Use().Connect();
    if (again.ok()) {
      Use().LimitWaits();
      return;
    }
    failure = std::move(again);
  }
  GiveUp(std::move(failure));
  End();
}

}  // namespace qz::transport
