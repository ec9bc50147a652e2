// HiddenForm: a hidden window object that hosts at most one socket control.
//
// Forms are always owned by std::shared_ptr; their controls hold them weakly and take a strong
// reference for the duration of each event. Loading does not keep a form alive: a connection
// form is owned by its registry entry (connection_form.h), a listener form by the thread's list
// of loaded listener forms (frm_msg.h).
//
// Threads: a form belongs to the thread that loaded it; every member is called on that thread.
// Re-entrancy: Unload may be called from inside the form's own socket event handler, and from
// inside its own unload handler (the nested call does nothing).
#ifndef QZ_TRANSPORT_HIDDEN_FORM_H_
#define QZ_TRANSPORT_HIDDEN_FORM_H_

#include <cstddef>
#include <memory>
#include <string>

#include "platform/socket_control.h"

namespace qz::transport {

class HiddenForm : public platform::SocketEvents, public std::enable_shared_from_this<HiddenForm> {
 public:
  HiddenForm(const HiddenForm&) = delete;
  HiddenForm& operator=(const HiddenForm&) = delete;
  ~HiddenForm() override;

  // The window object's general-purpose text property.
  const std::string& Tag() const { return tag_; }
  void SetTag(std::string tag) { tag_ = std::move(tag); }

  // Connects the form's control to its handlers and runs the load handler. Loading a loaded
  // form does nothing.
  void Load();
  // Runs the unload handler, closes the control and disconnects it from the handlers, so that
  // no later event reaches this form. Unloading an unloaded form does nothing.
  void Unload();
  bool IsLoaded() const { return loaded_; }

 protected:
  HiddenForm() = default;

  // The control hosted on the form, or nullptr for a form without one.
  virtual platform::SocketControl* Control() { return nullptr; }
  virtual void OnLoad() {}
  virtual void OnUnload() {}

 private:
  std::string tag_;
  bool loaded_ = false;
};

// The number of forms loaded and not yet unloaded on the calling thread.
size_t LoadedFormCount();

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_HIDDEN_FORM_H_
