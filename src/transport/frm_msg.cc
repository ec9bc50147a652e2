#include "transport/frm_msg.h"

#include <algorithm>

#include "transport/list_order.h"
#include "transport/module_state.h"

namespace qz::transport {

std::shared_ptr<frmMsg> frmMsg::Create() { return std::shared_ptr<frmMsg>(new frmMsg()); }

void frmMsg::RaiseLogin(std::string& text) {
  if (std::shared_ptr<frmMsgEvents> sink = sink_) sink->userLogin(text);
}

void frmMsg::RaiseLogout(std::string& text) {
  if (std::shared_ptr<frmMsgEvents> sink = sink_) sink->userLogout(text);
}

void frmMsg::RaiseMessage(std::string& text) {
  if (std::shared_ptr<frmMsgEvents> sink = sink_) sink->acceptMessage(text);
}

void frmMsg::Receive(PayloadKind kind, std::string& body) {
  switch (kind) {
    case PayloadKind::kLogout:
      RaiseLogout(body);
      break;
    case PayloadKind::kLogin:
      RaiseLogin(body);
      break;
    case PayloadKind::kMessage:
      RaiseMessage(body);
      break;
    case PayloadKind::kOther:
      break;
  }
}

void frmMsg::OnLoad() {
  const std::shared_ptr<frmMsg> self = std::static_pointer_cast<frmMsg>(shared_from_this());
  Module1().gMsgForm = self;
  Module1().loaded_listeners.push_back(self);
}

void frmMsg::OnUnload() {
  listener_.Close();
  Module1().gMsgForm.reset();
  std::vector<std::shared_ptr<HiddenForm>>& loaded = Module1().loaded_listeners;
  loaded.erase(
      std::remove_if(loaded.begin(), loaded.end(),
                     [this](const std::shared_ptr<HiddenForm>& f) { return f.get() == this; }),
      loaded.end());
}

void frmMsg::OnConnectionRequest(int32_t requestID) {
  // A request that is not taken over is closed by the control when this returns.
  (void)AcceptConnection(requestID, std::static_pointer_cast<frmMsg>(shared_from_this()));
}

}  // namespace qz::transport
