#include "transport/registry.h"

#include <algorithm>

#include "platform/event_loop.h"
#include "platform/random.h"
#include "transport/module_state.h"

namespace qz::transport {
namespace {

size_t AlphabetIndex(double r) {
  const double scaled = std::clamp(r, 0.0, 1.0) * static_cast<double>(kKeyAlphabet.size());
  return std::min(static_cast<size_t>(scaled), kKeyAlphabet.size() - 1);
}

}  // namespace

std::string NewConnectionKey() {
  platform::ReseedFromTimeOfDay();
  return NewConnectionKey(platform::NextRandom);
}

std::string NewConnectionKey(const std::function<double()>& next_random) {
  const ConnectionRegistry* registry = Module1().gConnections.get();
  for (;;) {
    std::string key;
    key.reserve(kKeyLength);
    for (size_t i = 0; i < kKeyLength; ++i) key += kKeyAlphabet[AlphabetIndex(next_random())];
    if (registry == nullptr || registry->Find(key) == nullptr) return key;
  }
}

Status RegisterConnection(const std::shared_ptr<HiddenForm>& object) {
  std::unique_ptr<ConnectionRegistry>& registry = Module1().gConnections;
  if (!registry) registry = std::make_unique<ConnectionRegistry>();
  object->SetTag(NewConnectionKey());
  return registry->Add(object->Tag(), object);
}

void RemoveConnection(const std::string& key) {
  ConnectionRegistry* registry = Module1().gConnections.get();
  if (registry == nullptr) return;
  std::shared_ptr<HiddenForm> object = registry->Remove(key);
  if (object) object->Unload();
}

void CloseAllConnections() {
  if (!Module1().gConnections) return;
  for (;;) {
    if (!Module1().gConnections || Module1().gConnections->Count() == 0) break;
    platform::DoEvents();
    // Re-read: a handler may have removed entries, or even drained and released the registry.
    const ConnectionRegistry* registry = Module1().gConnections.get();
    if (registry == nullptr || registry->Count() == 0) break;
    // The oldest entry's own key, which equals its object's Tag; going by the key keeps the
    // drain finite even for an object whose Tag was changed after it was registered.
    const std::string key = registry->First().key;
    RemoveConnection(key);
  }
  Module1().gConnections.reset();
}

size_t ConnectionCount() {
  const std::unique_ptr<ConnectionRegistry>& registry = Module1().gConnections;
  return registry ? registry->Count() : 0;
}

}  // namespace qz::transport
