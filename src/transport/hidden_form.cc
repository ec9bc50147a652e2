#include "transport/hidden_form.h"

#include <unordered_map>

#include "platform/event_loop.h"

namespace qz::transport {
namespace {

struct LoadedForms {
  // The thread's loop is created first so that it outlives the forms at thread exit: their
  // controls still unregister from it when they are destroyed.
  LoadedForms() { platform::EventLoop::Current(); }
  std::unordered_map<const HiddenForm*, std::shared_ptr<HiddenForm>> forms;
};

std::unordered_map<const HiddenForm*, std::shared_ptr<HiddenForm>>& Loaded() {
  thread_local LoadedForms loaded;
  return loaded.forms;
}

}  // namespace

HiddenForm::~HiddenForm() = default;

void HiddenForm::Load() {
  if (loaded_) return;
  std::shared_ptr<HiddenForm> self = shared_from_this();
  loaded_ = true;
  Loaded().emplace(this, self);
  if (platform::SocketControl* control = Control()) control->SetEvents(self);
  OnLoad();
}

void HiddenForm::Unload() {
  if (!loaded_) return;
  loaded_ = false;
  // The collection may hold the last reference; the handler and the clean-up still need this.
  std::shared_ptr<HiddenForm> self = shared_from_this();
  OnUnload();
  if (platform::SocketControl* control = Control()) {
    (void)control->Close();
    control->SetEvents({});
  }
  Loaded().erase(this);
}

Status HiddenForm::CallByName(std::string_view name, std::string& /*arg*/) {
  return Status::Error(errc::kNotSupported,
                       "the form has no operation named '" + std::string(name) + "'");
}

size_t LoadedFormCount() { return Loaded().size(); }

}  // namespace qz::transport
