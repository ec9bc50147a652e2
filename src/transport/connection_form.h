// ConnectionForm: a hidden form that hosts the socket control `Use` of one TCP connection, an
// accepted ListOrder or an outbound frmOrder.
//
// Who owns a connection, and where it ends:
// - From its registration (RegisterConnection, connection_registry.h) until it ends, the thread's
//   registry Module1().gConnections holds the one lasting reference. Creators register the
//   object before its socket is used and drop their own reference once the socket operation is
//   started; nothing else keeps one (the held-connection bound of ListOrder is a view over the
//   registry, not a collection of its own).
// - During each socket event the control holds its sink, the form, for the duration of the event
//   (platform/socket_control.h). That is the one keep-alive: a handler may end its own object
//   and go on using its members until it returns.
// - A connection ends in one way only: RemoveConnection(key), which takes the entry out first and
//   then unloads the object. Unloading runs the unload handler below, closes Use and disconnects
//   it from the handlers, so that no later event reaches the object; the last reference goes
//   with the caller's.
// - At logout CloseAllConnections drains the registry the same way, oldest first.
//
// Threads: the registering thread only.
#ifndef QZ_TRANSPORT_CONNECTION_FORM_H_
#define QZ_TRANSPORT_CONNECTION_FORM_H_

#include "platform/socket_control.h"
#include "transport/hidden_form.h"

namespace qz::transport {

class ConnectionForm : public HiddenForm {
 public:
  platform::SocketControl& Use() { return use_; }
  const platform::SocketControl& Use() const { return use_; }

  // An accepted connection (a ListOrder), as opposed to an outbound delivery.
  virtual bool Inbound() const { return false; }

 protected:
  ConnectionForm() = default;

  platform::SocketControl* Control() override { return &use_; }
  // The unload handler of both kinds: closes Use unless it is already closed.
  void OnUnload() override;
  // Ends this connection: RemoveConnection with the object's own Tag.
  void End();

 private:
  platform::SocketControl use_;
};

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_CONNECTION_FORM_H_
