// NetMessagePeer: the component's own access to a QZCLS_NetMessage from inside the library: the
// class's handlers of its listener form's events. Not part of the public API (the class
// befriends it); tests reach the handlers through it.
#ifndef QZ_COMPONENT_NET_MESSAGE_PEER_H_
#define QZ_COMPONENT_NET_MESSAGE_PEER_H_

#include <string>

#include "qz/net_message.h"

namespace qz::component {

class NetMessagePeer {
 public:
  // Tells whether an object is gone, for what may outlive it.
  using Guard = QZCLS_NetMessage::LifetimeGuard;
  // The handlers of the listener form's events. acceptMessage receives the body of a message
  // payload (the payload without its kind) and raises the public acceptMessage with its first
  // four fields; the login and logout notices are accepted and raise nothing.
  static void m_frmMsg_userLogin(QZCLS_NetMessage& net, const std::string& msg);
  static void m_frmMsg_userLogout(QZCLS_NetMessage& net, const std::string& msg);
  static void m_frmMsg_acceptMessage(QZCLS_NetMessage& net, const std::string& msg);
};

}  // namespace qz::component

#endif  // QZ_COMPONENT_NET_MESSAGE_PEER_H_
