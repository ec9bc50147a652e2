// frmMsg: the hidden listener form. Its control `Listener` accepts every connection request on
// a new inbound connection object, and the inbound side hands each delivered payload back to
// the form that Module1().gMsgForm refers to, which raises one of its three events.
//
// Lifetime: created by StartListener and held by the public class's m_frmMsg; from its load until
// its unload also by the thread's list of loaded listener forms (module_state.h), so that a form
// its object replaced keeps listening. LogOut closes Listener and unloads the form.
// Threads: the loading thread only. Events are raised synchronously, on that thread, from
// inside the loop's event dispatch.
#ifndef QZ_TRANSPORT_FRM_MSG_H_
#define QZ_TRANSPORT_FRM_MSG_H_

#include <memory>
#include <string>

#include "platform/socket_control.h"
#include "transport/hidden_form.h"
#include "transport/payload.h"

namespace qz::transport {

// The form's events, in their declared order. The text stays as it is until the handler returns.
class frmMsgEvents {
 public:
  virtual ~frmMsgEvents() = default;
  virtual void userLogin(const std::string& msg) = 0;
  virtual void userLogout(const std::string& msg) = 0;
  virtual void acceptMessage(const std::string& msg) = 0;
};

class frmMsg final : public HiddenForm, public PayloadReceiver {
 public:
  static std::shared_ptr<frmMsg> Create();

  // The one subscriber of the events, shared with whoever subscribed; nullptr ends the
  // subscription. Ending it inside one of the subscriber's own handlers is safe: the raising
  // operation keeps the subscriber alive until its handler returns.
  void Subscribe(std::shared_ptr<frmMsgEvents> sink) { sink_ = std::move(sink); }

  bool HasSubscriber() const { return sink_ != nullptr; }

  platform::SocketControl& Listener() { return listener_; }

  // Raise userLogin, userLogout, acceptMessage with text; the subscriber's handler has run to
  // completion (and may have re-entered the loop) when these return.
  void RaiseLogin(std::string& text);
  void RaiseLogout(std::string& text);
  void RaiseMessage(std::string& text);

  // "OT" raises userLogout, "IN" userLogin, "YH" acceptMessage; anything else nothing.
  void Receive(PayloadKind kind, std::string& body) override;

 protected:
  platform::SocketControl* Control() override { return &listener_; }
  // gMsgForm := this form; enters the thread's list of loaded listener forms.
  void OnLoad() override;
  // Closes Listener, empties gMsgForm, whichever form it refers to, and leaves the list.
  void OnUnload() override;
  void OnConnectionRequest(int32_t requestID) override;

 private:
  frmMsg() = default;

  platform::SocketControl listener_;
  std::shared_ptr<frmMsgEvents> sink_;
};

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_FRM_MSG_H_
