#include "transport/list_order.h"

#include <algorithm>

#include "platform/descriptors.h"
#include "transport/connection_registry.h"
#include "transport/frm_msg.h"
#include "transport/module_state.h"

namespace qz::transport {
namespace {

// The key of the held connection to end first: a finished one, else the oldest.
std::string NextToDrop(const ConnectionRegistry& registry) {
  const std::string* oldest = nullptr;
  for (const ConnectionRegistry::Entry& entry : registry.Entries()) {
    if (!entry.object->Inbound()) continue;
    if (static_cast<const ListOrder&>(*entry.object).Finished()) return entry.key;
    if (oldest == nullptr) oldest = &entry.key;
  }
  return oldest == nullptr ? std::string() : *oldest;
}

// Ends held connections, finished ones first, until one more may be held.
void MakeRoomForOneMore() {
  const size_t limit = ListOrder::HeldLimit();
  while (ListOrder::HeldCount() >= limit) {
    // By key, not by Tag: every pass removes one held entry, so the loop ends.
    RemoveConnection(NextToDrop(*Module1().gConnections));
  }
}

// Ends the oldest connections that hold bytes until the thread's total fits kMaxHeldBytes.
void MakeRoomForBytes() {
  while (ListOrder::HeldBytes() > ListOrder::kMaxHeldBytes) {
    const std::string* oldest = nullptr;
    for (const ConnectionRegistry::Entry& entry : Module1().gConnections->Entries()) {
      if (entry.object->Inbound() &&
          static_cast<const ListOrder&>(*entry.object).BytesReceived() > 0) {
        oldest = &entry.key;
        break;
      }
    }
    if (oldest == nullptr) return;
    RemoveConnection(std::string(*oldest));  // a copy: removal frees the entry
  }
}

}  // namespace

Status AcceptConnection(int32_t requestID, std::weak_ptr<frmMsg> listener_form) {
  MakeRoomForOneMore();
  std::shared_ptr<ListOrder> connection = ListOrder::Create(std::move(listener_form));
  connection->Load();
  RegisterConnection(connection);
  return connection->Use().Accept(requestID);
}

size_t ListOrder::HeldLimit() {
  const size_t by_descriptors = std::max<size_t>(4, platform::OpenDescriptorLimit() / 4);
  return std::min(kMaxHeldConnections, by_descriptors);
}

size_t ListOrder::HeldBytes() { return Module1().held_inbound_bytes; }

size_t ListOrder::HeldCount() {
  const ConnectionRegistry* registry = Module1().gConnections.get();
  return registry == nullptr ? 0 : registry->InboundCount();
}

std::shared_ptr<ListOrder> ListOrder::Create(std::weak_ptr<frmMsg> listener_form) {
  return std::make_shared<ListOrder>(Made{}, std::move(listener_form));
}

bool ListOrder::Finished() const { return Use().State() == platform::SocketState::kClosed; }

void ListOrder::ReleaseReceived() {
  Module1().held_inbound_bytes -= received_.size();
  std::string().swap(received_);
}

std::shared_ptr<PayloadReceiver> ListOrder::Recipient() const {
  std::shared_ptr<frmMsg> own = listener_form_.lock();
  if (own && own->IsLoaded() && own->HasSubscriber()) return own;
  return Module1().gMsgForm;
}

ListOrder::CollectResult ListOrder::Collect(int32_t max_len) {
  std::string chunk;
  if (!Use().GetData(chunk, max_len).ok()) return CollectResult::kReadFailed;
  if (received_.size() + chunk.size() > kMaxPayloadBytes) return CollectResult::kTooLarge;
  Module1().held_inbound_bytes += chunk.size();
  if (received_.empty()) {
    received_.swap(chunk);  // the usual case, a payload in one read: no copy
  } else {
    received_ += chunk;
  }
  return CollectResult::kOk;
}

void ListOrder::OnDataArrival(int32_t bytesTotal) {
  if (Collect(bytesTotal) != CollectResult::kOk) {
    End();
    return;
  }
  MakeRoomForBytes();  // may end this connection too, when it is the oldest
}

void ListOrder::OnClose() {
  // Bytes that came together with the close; a control with nothing left may refuse the read.
  if (Collect(0) == CollectResult::kTooLarge) {
    End();
    return;
  }
  Use().Close();
  // Held for the call: the raised event may unload the listener form and empty gMsgForm.
  const std::shared_ptr<PayloadReceiver> to = Recipient();
  if (!to) {
    // Left to the drain at logout, as a delivery that came while no listener form was loaded.
    ReleaseReceived();
    return;
  }
  Dispatch(*to);
  End();
}

void ListOrder::OnError(int32_t /*number*/, const std::string& /*description*/,
                        bool& /*cancelDisplay*/) {
  End();
}

void ListOrder::OnUnload() {
  ReleaseReceived();
  ConnectionForm::OnUnload();
}

void ListOrder::Dispatch(PayloadReceiver& to) {
  std::string body = DecodeFromWire(received_);
  ReleaseReceived();
  const PayloadKind kind = ReadPayload(body).kind;
  if (kind == PayloadKind::kOther) return;
  body.erase(0, 2);  // the kind; in place
  try {
    to.Receive(kind, body);
  } catch (...) {
    // Whatever the host's handler throws ends the delivery, not the loop.
  }
}

}  // namespace qz::transport
