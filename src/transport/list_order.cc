#include "transport/list_order.h"

#include <algorithm>

#include "platform/descriptors.h"
#include "transport/frm_msg.h"
#include "transport/module_state.h"
#include "transport/payload.h"
#include "transport/registry.h"

namespace qz::transport {
namespace {

// The thread's held connections, oldest first. Plain pointers, trivially destroyed: objects still
// held at thread exit take themselves out while thread-local state is torn down.
struct HeldList {
  ListOrder* oldest = nullptr;
  ListOrder* newest = nullptr;
  size_t count = 0;
};
thread_local HeldList t_held;

}  // namespace

Status AcceptConnection(int32_t requestID, std::weak_ptr<frmMsg> listener_form) {
  ListOrder::MakeRoomForOneMore();
  std::shared_ptr<ListOrder> connection = ListOrder::Create(std::move(listener_form));
  connection->Load();
  if (Status registered = RegisterConnection(connection); !registered.ok()) {
    connection->Unload();  // nobody else could ever unload it
    return registered;
  }
  connection->Hold();
  return connection->Use().Accept(requestID);
}

size_t ListOrder::HeldLimit() {
  const size_t by_descriptors = std::max<size_t>(4, platform::OpenDescriptorLimit() / 4);
  return std::min(kMaxHeldConnections, by_descriptors);
}

size_t ListOrder::HeldCount() { return t_held.count; }

ListOrder::~ListOrder() { Unhold(); }

void ListOrder::Hold() {
  if (held_) return;
  held_ = true;
  older_ = t_held.newest;
  newer_ = nullptr;
  (older_ ? older_->newer_ : t_held.oldest) = this;
  t_held.newest = this;
  ++t_held.count;
}

void ListOrder::Unhold() {
  if (!held_) return;
  held_ = false;
  (older_ ? older_->newer_ : t_held.oldest) = newer_;
  (newer_ ? newer_->older_ : t_held.newest) = older_;
  older_ = newer_ = nullptr;
  --t_held.count;
}

void ListOrder::MakeRoomForOneMore() {
  const size_t limit = HeldLimit();
  while (t_held.count >= limit) {
    ListOrder* victim = t_held.oldest;
    for (ListOrder* o = t_held.oldest; o != nullptr; o = o->newer_) {
      if (!o->heard_ || o->use_.State() == platform::SocketState::kClosed) {
        victim = o;
        break;
      }
    }
    const std::shared_ptr<HiddenForm> keep = victim->shared_from_this();
    victim->Unhold();  // first: the loop must end even if unloading leaves it loaded
    victim->Finish(victim->Tag());
  }
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
  Unhold();
  if (use_.State() != platform::SocketState::kClosed) (void)use_.Close();
}

ListOrder::CollectResult ListOrder::Collect(int32_t max_len) {
  std::string chunk;
  if (!use_.GetData(chunk, max_len).ok()) return CollectResult::kReadFailed;
  if (!chunk.empty()) heard_ = true;
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
