#include "transport/connection_registry.h"

#include <algorithm>

#include "platform/event_loop.h"
#include "platform/random.h"
#include "transport/delivery_queue.h"
#include "transport/module_state.h"

namespace qz::transport {
namespace {

size_t AlphabetIndex(double r) {
  const double scaled = std::clamp(r, 0.0, 1.0) * static_cast<double>(kKeyAlphabet.size());
  return std::min(static_cast<size_t>(scaled), kKeyAlphabet.size() - 1);
}

// next_index: the alphabet index of the next character.
template <typename NextIndex>
std::string MakeKey(const NextIndex& next_index) {
  const ConnectionRegistry* registry = Module1().gConnections.get();
  for (;;) {
    std::string key(kKeyLength, ' ');
    for (char& c : key) c = kKeyAlphabet[next_index()];
    if (registry == nullptr || registry->Find(key) == nullptr) return key;
  }
}

}  // namespace

std::shared_ptr<ConnectionForm> ConnectionRegistry::Find(std::string_view key) const {
  const auto it = index_.find(key);
  return it == index_.end() ? nullptr : it->second->object;
}

Status ConnectionRegistry::Add(std::string key, std::shared_ptr<ConnectionForm> object) {
  if (index_.count(key) != 0) {
    return Status::Error(errc::kDuplicateKey, "a connection is already registered under this key");
  }
  if (object->Inbound()) ++inbound_;
  entries_.push_back(Entry{std::move(key), std::move(object)});
  index_.emplace(entries_.back().key, std::prev(entries_.end()));
  return Status::OK();
}

std::shared_ptr<ConnectionForm> ConnectionRegistry::Remove(std::string_view key) {
  const auto it = index_.find(key);
  if (it == index_.end()) return nullptr;
  std::shared_ptr<ConnectionForm> object = std::move(it->second->object);
  if (object->Inbound()) --inbound_;
  entries_.erase(it->second);
  index_.erase(it);
  return object;
}

std::string NewConnectionKey() {
  platform::ReseedFromTimeOfDay();
  platform::Random& random = platform::ThreadRandom();
  return MakeKey([&random] { return random.Below(static_cast<uint32_t>(kKeyAlphabet.size())); });
}

std::string NewConnectionKey(const std::function<double()>& next_random) {
  return MakeKey([&next_random] { return AlphabetIndex(next_random()); });
}

void RegisterConnection(const std::shared_ptr<ConnectionForm>& object) {
  std::unique_ptr<ConnectionRegistry>& registry = Module1().gConnections;
  if (!registry) registry = std::make_unique<ConnectionRegistry>();
  object->SetTag(NewConnectionKey());
  (void)registry->Add(object->Tag(), object);  // the key is not present: NewConnectionKey
}

void RemoveConnection(std::string_view key) {
  ConnectionRegistry* registry = Module1().gConnections.get();
  if (registry == nullptr) return;
  // Held until the unload handler has run; the caller's event may hold it longer.
  std::shared_ptr<ConnectionForm> object = registry->Remove(key);
  if (object) object->Unload();
}

void CloseAllConnections() {
  // Those not started yet go first: else each connection that ends would start one of them.
  CancelQueuedDeliveries();
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
