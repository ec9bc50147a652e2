#include "transport/list_order.h"

#include "transport/frm_msg.h"
#include "transport/module_state.h"
#include "transport/payload.h"
#include "transport/registry.h"

namespace qz::transport {

Status AcceptConnection(int32_t requestID, std::weak_ptr<frmMsg> listener_form) {
  std::shared_ptr<ListOrder> connection = ListOrder::Create(std::move(listener_form));
  connection->Load();
  if (Status registered = RegisterConnection(connection); !registered.ok()) {
    connection->Unload();  // nobody else could ever unload it
    return registered;
  }
  return connection->Use().Accept(requestID);
}

std::shared_ptr<ListOrder> ListOrder::Create(std::weak_ptr<frmMsg> listener_form) {
  return std::shared_ptr<ListOrder>(new ListOrder(std::move(listener_form)));
}

std::shared_ptr<HiddenForm> ListOrder::Recipient() const {
  std::shared_ptr<frmMsg> own = listener_form_.lock();
  if (own && own->IsLoaded() && own->HasSubscriber()) return own;
  return Module1().gMsgForm;
}

void ListOrder::OnUnload() {
  if (use_.State() != platform::SocketState::kClosed) (void)use_.Close();
}

ListOrder::CollectResult ListOrder::Collect(int32_t max_len) {
  std::string chunk;
  if (!use_.GetData(chunk, max_len).ok()) return CollectResult::kReadFailed;
  if (received_.size() + chunk.size() > kMaxPayloadBytes) return CollectResult::kTooLarge;
  received_ += chunk;
  return CollectResult::kOk;
}

void ListOrder::OnDataArrival(int32_t bytesTotal) {
  const std::shared_ptr<HiddenForm> self = shared_from_this();
  const std::string key = Tag();
  if (Collect(bytesTotal) != CollectResult::kOk) Finish(key);
}

void ListOrder::OnClose() {
  const std::shared_ptr<HiddenForm> self = shared_from_this();
  const std::string key = Tag();
  // Bytes that came together with the close; a control with nothing left may refuse the read.
  if (Collect(0) == CollectResult::kTooLarge) {
    Finish(key);
    return;
  }
  (void)use_.Close();
  // Held for the call: the raised event may unload the listener form and empty gMsgForm.
  const std::shared_ptr<HiddenForm> form = Recipient();
  if (!form) {
    // Left to the drain at logout, as a delivery that came while no listener form was loaded.
    std::string().swap(received_);
    return;
  }
  Dispatch(form);
  RemoveConnection(key);
  Unload();
}

void ListOrder::OnError(int32_t /*number*/, const std::string& /*description*/,
                        bool& /*cancelDisplay*/) {
  const std::shared_ptr<HiddenForm> self = shared_from_this();
  const std::string key = Tag();
  Finish(key);
}

void ListOrder::Dispatch(const std::shared_ptr<HiddenForm>& form) {
  std::string text = DecodeFromWire(received_);
  std::string().swap(received_);
  const PayloadView payload = ReadPayload(text);
  const char* operation = nullptr;
  switch (payload.kind) {
    case PayloadKind::kLogout:
      operation = "RaiseLogout";
      break;
    case PayloadKind::kLogin:
      operation = "RaiseLogin";
      break;
    case PayloadKind::kMessage:
      operation = "RaiseMessage";
      break;
    case PayloadKind::kOther:
      return;
  }
  std::string body(payload.body);
  try {
    (void)form->CallByName(operation, body);
  } catch (...) {
    // Whatever the host's handler throws ends the delivery, not the loop.
  }
}

void ListOrder::Finish(const std::string& key) {
  (void)use_.Close();
  RemoveConnection(key);
  Unload();
}

}  // namespace qz::transport
