// Inbound connections: AcceptConnection takes a connection request of the listener on a new
// ListOrder, and the ListOrder delivers the one payload of that connection to the listener form.
//
// A ListOrder collects everything the peer sends until the peer closes its end, then closes,
// decodes the bytes from the wire's code page and hands the body (from the third character), by
// name, to the listener form that accepted the connection while that form is loaded and has a
// subscriber (so that each of several objects on one thread hears its own messages), and else to
// Module1().gMsgForm (so that a form its object replaced still delivers to the newer one): "OT" to
// RaiseLogout, "IN" to RaiseLogin, "YH" to RaiseMessage; any other kind, or a text shorter than two
// characters, reaches nobody. Then it removes its registry entry and unloads. A failure or an
// exception that comes back from the raised event is discarded; the clean-up runs regardless.
//
// Ends other than a delivery: a connection reset (Error) is closed, removed and unloaded with
// nothing raised; one that sends more than kMaxPayloadBytes is dropped the same way; one whose
// peer closes while neither form is there stays registered, its socket closed, until the
// drain at logout; one whose peer never closes stays registered and connected until then, or
// until it is dropped to make room (below).
//
// Held connections are bounded: anyone who reaches the port could otherwise open connections
// that never end until the process runs out of descriptors and hears nobody. When a request
// comes while the thread holds HeldLimit() ListOrders, the one held longest that has received no
// byte yet (or whose socket is already closed) is dropped as after a reset; when every one has
// received something, the oldest is.
#ifndef QZ_TRANSPORT_LIST_ORDER_H_
#define QZ_TRANSPORT_LIST_ORDER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/socket_control.h"
#include "qz/status.h"
#include "transport/hidden_form.h"

namespace qz::transport {

class frmMsg;

// Creates and loads a ListOrder, registers it and accepts requestID on its control;
// listener_form is the form whose Listener raised the request. A failure ends it: an object
// registered before the failure stays registered until the drain.
Status AcceptConnection(int32_t requestID, std::weak_ptr<frmMsg> listener_form = {});

class ListOrder final : public HiddenForm {
 public:
  static constexpr size_t kMaxPayloadBytes = size_t{1} << 20;
  static constexpr size_t kMaxHeldConnections = 256;
  // The most ListOrders a thread holds at once: kMaxHeldConnections, or a quarter of the
  // process's descriptor limit when that is lower (at least 4), leaving room for the host and
  // for outbound deliveries.
  static size_t HeldLimit();
  // The ListOrders the calling thread holds: loaded and not yet unloaded.
  static size_t HeldCount();

  static std::shared_ptr<ListOrder> Create(std::weak_ptr<frmMsg> listener_form = {});
  ~ListOrder() override;

  platform::SocketControl& Use() { return use_; }
  // The bytes collected so far from the peer.
  size_t BytesReceived() const { return received_.size(); }

 protected:
  platform::SocketControl* Control() override { return &use_; }
  void OnUnload() override;
  void OnDataArrival(int32_t bytesTotal) override;
  void OnClose() override;
  void OnError(int32_t number, const std::string& description, bool& cancelDisplay) override;

 private:
  friend Status AcceptConnection(int32_t, std::weak_ptr<frmMsg>);
  explicit ListOrder(std::weak_ptr<frmMsg> listener_form)
      : listener_form_(std::move(listener_form)) {}
  // Drops held connections, idle ones first, until one more may be held.
  static void MakeRoomForOneMore();
  // Enters this object in the thread's list of held connections, newest last, or takes it out.
  void Hold();
  void Unhold();

  // The form to deliver to, or nullptr when there is none.
  std::shared_ptr<HiddenForm> Recipient() const;

  enum class CollectResult { kOk, kReadFailed, kTooLarge };
  // Appends at most max_len bytes (all there are when 0) that the control holds to received_.
  CollectResult Collect(int32_t max_len);
  void Dispatch(const std::shared_ptr<HiddenForm>& form);
  // Close, remove the entry of key, unload.
  void Finish(const std::string& key);

  std::weak_ptr<frmMsg> listener_form_;
  platform::SocketControl use_;
  std::string received_;
  bool heard_ = false;  // a byte has arrived
  // Links of the thread's list of held connections, oldest first.
  bool held_ = false;
  ListOrder* older_ = nullptr;
  ListOrder* newer_ = nullptr;
};

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_LIST_ORDER_H_
