#include "transport/connection_form.h"

#include "transport/connection_registry.h"

namespace qz::transport {

void ConnectionForm::OnUnload() {
  if (use_.State() != platform::SocketState::kClosed) use_.Close();
}

void ConnectionForm::End() {
  // No copy of the Tag: removal holds the object, and with it the Tag, until it returns.
  RemoveConnection(Tag());
}

}  // namespace qz::transport
