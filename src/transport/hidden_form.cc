#include "transport/hidden_form.h"

namespace qz::transport {
namespace {

thread_local size_t t_loaded_forms = 0;

}  // namespace

HiddenForm::~HiddenForm() {
  if (loaded_) --t_loaded_forms;  // a form still loaded when its thread's state goes
}

void HiddenForm::Load() {
  if (loaded_) return;
  loaded_ = true;
  ++t_loaded_forms;
  if (platform::SocketControl* control = Control()) control->SetEvents(weak_from_this());
  OnLoad();
}

void HiddenForm::Unload() {
  if (!loaded_) return;
  loaded_ = false;
  --t_loaded_forms;
  // The unload handler may release the last owner: a listener form leaves the thread's list.
  const std::shared_ptr<HiddenForm> self = weak_from_this().lock();
  OnUnload();
  if (platform::SocketControl* control = Control()) {
    (void)control->Close();
    control->SetEvents({});
  }
}

size_t LoadedFormCount() { return t_loaded_forms; }

}  // namespace qz::transport
