// Inbound connections: AcceptConnection takes a connection request of the listener on a new
// ListOrder, and the ListOrder delivers the one payload of that connection to the listener form.
//
// A ListOrder collects everything the peer sends until the peer closes its end, then closes,
// decodes the bytes from the wire's code page and hands the kind and the body (from the third
// character) to the listener form that accepted the connection while that form is loaded and
// has a subscriber (so that each of several objects on one thread hears its own messages), and
// else to Module1().gMsgForm (so that a form its object replaced still delivers to the newer
// one). A kind other than "OT", "IN" and "YH", or a text shorter than two characters, reaches
// nobody. Then the connection ends (RemoveConnection). A failure or an exception that comes back
// from the raised event is discarded; the connection ends regardless.
//
// Ends other than a delivery: a connection reset (Error) ends with nothing raised; one that sends
// more than kMaxPayloadBytes ends the same way; one whose peer closes while neither form is there
// stays registered, its socket closed, until the drain at logout; one whose peer never closes
// stays registered and connected until then, or until it is dropped to make room (below).
//
// Held connections are bounded: anyone who reaches the port could otherwise open connections
// that never end until the process runs out of descriptors and hears nobody. When a request
// comes while the thread's registry holds HeldLimit() ListOrders, one whose socket is already
// closed ends first, else the one held longest without finishing, whatever it sent: a flood that
// sends a byte on each connection must not outrank the sender that just connected. The bytes
// held for unfinished payloads are bounded too (kMaxHeldBytes per thread): past it, the oldest
// unfinished connections end the same way until the total fits.
#ifndef QZ_TRANSPORT_LIST_ORDER_H_
#define QZ_TRANSPORT_LIST_ORDER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "qz/status.h"
#include "transport/connection_form.h"
#include "transport/payload.h"

namespace qz::transport {

class frmMsg;

// Creates and loads a ListOrder, registers it and accepts requestID on its control;
// listener_form is the form whose Listener raised the request. A failed Accept is returned and
// leaves the object registered until the drain.
Status AcceptConnection(int32_t requestID, std::weak_ptr<frmMsg> listener_form = {});

class ListOrder final : public ConnectionForm {
  struct Made {  // only Create makes one: forms live in a shared_ptr
    explicit Made() = default;
  };

 public:
  static constexpr size_t kMaxPayloadBytes = size_t{1} << 20;
  static constexpr size_t kMaxHeldConnections = 256;
  static constexpr size_t kMaxHeldBytes = size_t{64} << 20;
  // The bytes that the calling thread's ListOrders hold for payloads not yet delivered.
  static size_t HeldBytes();
  // The most ListOrders a thread holds at once: kMaxHeldConnections, or a quarter of the
  // process's descriptor limit when that is lower (at least 4), leaving room for the host and
  // for outbound deliveries.
  static size_t HeldLimit();
  // The ListOrders in the calling thread's registry.
  static size_t HeldCount();

  static std::shared_ptr<ListOrder> Create(std::weak_ptr<frmMsg> listener_form = {});
  ListOrder(Made, std::weak_ptr<frmMsg> listener_form) : listener_form_(std::move(listener_form)) {}

  bool Inbound() const override { return true; }
  // The bytes collected so far from the peer.
  size_t BytesReceived() const { return received_.size(); }
  // The peer's end is closed and the socket with it: nothing more to hear, held only until the
  // drain; the first to go when room is needed.
  bool Finished() const;

 protected:
  void OnDataArrival(int32_t bytesTotal) override;
  void OnClose() override;
  void OnError(int32_t number, const std::string& description, bool& cancelDisplay) override;
  void OnUnload() override;

 private:
  // The receiver to deliver to, or nullptr when there is none.
  std::shared_ptr<PayloadReceiver> Recipient() const;

  enum class CollectResult { kOk, kReadFailed, kTooLarge };
  // Appends at most max_len bytes (all there are when 0) that the control holds to received_.
  CollectResult Collect(int32_t max_len);
  void Dispatch(PayloadReceiver& to);
  // Frees what was collected, and its share of the thread's held bytes.
  void ReleaseReceived();

  std::weak_ptr<frmMsg> listener_form_;
  std::string received_;
};

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_LIST_ORDER_H_
