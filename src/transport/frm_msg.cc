#include "transport/frm_msg.h"

#include "transport/list_order.h"
#include "transport/module_state.h"

namespace qz::transport {

std::shared_ptr<frmMsg> frmMsg::Create() { return std::shared_ptr<frmMsg>(new frmMsg()); }

void frmMsg::RaiseLogin(std::string& text) {
  if (std::shared_ptr<frmMsgEvents> sink = sink_) sink->userLogin(std::string(text));
}

void frmMsg::RaiseLogout(std::string& text) {
  if (std::shared_ptr<frmMsgEvents> sink = sink_) sink->userLogout(std::string(text));
}

void frmMsg::RaiseMessage(std::string& text) {
  if (std::shared_ptr<frmMsgEvents> sink = sink_) sink->acceptMessage(std::string(text));
}

Status frmMsg::CallByName(std::string_view name, std::string& arg) {
  if (name == "RaiseLogin") {
    RaiseLogin(arg);
  } else if (name == "RaiseLogout") {
    RaiseLogout(arg);
  } else if (name == "RaiseMessage") {
    RaiseMessage(arg);
  } else {
    return HiddenForm::CallByName(name, arg);
  }
  return Status::OK();
}

void frmMsg::OnLoad() { Module1().gMsgForm = shared_from_this(); }

void frmMsg::OnUnload() {
  (void)listener_.Close();
  Module1().gMsgForm.reset();
}

void frmMsg::OnConnectionRequest(int32_t requestID) {
  // A request that is not taken over is closed by the control when this returns.
  (void)AcceptConnection(requestID, std::static_pointer_cast<frmMsg>(shared_from_this()));
}

}  // namespace qz::transport
