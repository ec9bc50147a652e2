// The transport's module-level state, once per thread, shared by every component object that
// the thread creates.
#ifndef QZ_TRANSPORT_MODULE_STATE_H_
#define QZ_TRANSPORT_MODULE_STATE_H_

#include <memory>

#include "transport/connection_registry.h"
#include "transport/hidden_form.h"

namespace qz::transport {

struct Module1State {
  // The loaded listener form, held as a generic form, or empty. Only the listener form's load
  // and unload handlers change it; the inbound side reaches the listener form through it alone.
  std::shared_ptr<HiddenForm> gMsgForm;
  // The connection registry, or not set: created by the first registration, released at the
  // end of CloseAllConnections.
  std::unique_ptr<ConnectionRegistry> gConnections;
};

// The calling thread's state.
Module1State& Module1();

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_MODULE_STATE_H_
