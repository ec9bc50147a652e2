// frmOrder: the hidden form of one outbound delivery. Its control `Use` connects to the peer,
// sends the payload held in Use's Tag once connected, and the connection ends once the send has
// completed: at once when the kernel took the whole payload in the first write, else at the
// SendComplete event.
//
// A connection that fails after it was started (the Error event) is reconnected once, from the
// same local port, and sends the whole payload again; the second failure ends it. A SendData or
// reconnect that fails at once counts as such a failure, so a dead object never stays
// registered. How it ended goes to the DeliveryEnded given at creation, if any (outbound.h).
//
// Lifetime: connection_form.h. Threads: the loading thread only.
#ifndef QZ_TRANSPORT_FRM_ORDER_H_
#define QZ_TRANSPORT_FRM_ORDER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "qz/status.h"
#include "transport/connection_form.h"
#include "transport/outbound.h"

namespace qz::transport {

class frmOrder final : public ConnectionForm {
  struct Made {  // only Create makes one: forms live in a shared_ptr
    explicit Made() = default;
  };

 public:
  static std::shared_ptr<frmOrder> Create(DeliveryEnded on_end = {});
  frmOrder(Made, DeliveryEnded on_end) : on_end_(std::move(on_end)) {}

  // Whether the one reconnect after a failure has been made.
  bool Retried() const { return m_Retried; }
  // Enters the local port that Connect bound in the process's port memory, until this object
  // is unloaded; a delivery that ended with its own close leaves it there for TIME_WAIT.
  void HoldLocalPort();
  // The delivery is over with failure; the connection ends next (End, or the caller's
  // RemoveConnection).
  void GiveUp(Status failure);

 protected:
  void OnUnload() override;
  void OnConnect() override;
  void OnSendComplete() override;
  void OnError(int32_t number, const std::string& description, bool& cancelDisplay) override;

 private:
  // Reconnects once, else ends the connection with failure.
  void Fail(Status failure);

  bool m_Retried = false;
  int32_t held_port_ = 0;
  bool sent_and_closed_ = false;
  DeliveryEnded on_end_;
  Status failure_;  // set once the delivery has given up
};

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_FRM_ORDER_H_
