#include "transport/connection_form.h"

#include <string>

#include "transport/connection_registry.h"

namespace qz::transport {

void ConnectionForm::OnUnload() {
  if (use_.State() != platform::SocketState::kClosed) use_.Close();
}

void ConnectionForm::End() {
  const std::string key = Tag();  // a copy: the object may be freed before removal returns
  RemoveConnection(key);
}

}  // namespace qz::transport
