#include "transport/connection_registry.h"

namespace qz::transport {

std::shared_ptr<HiddenForm> ConnectionRegistry::Find(const std::string& key) const {
  const auto it = index_.find(key);
  return it == index_.end() ? nullptr : it->second->object;
}

Status ConnectionRegistry::Add(const std::string& key, std::shared_ptr<HiddenForm> object) {
  if (index_.count(key) != 0) {
    return Status::Error(errc::kDuplicateKey, "a connection is already registered under this key");
  }
  entries_.push_back(Entry{key, std::move(object)});
  index_.emplace(key, std::prev(entries_.end()));
  return Status::OK();
}

std::shared_ptr<HiddenForm> ConnectionRegistry::Remove(const std::string& key) {
  const auto it = index_.find(key);
  if (it == index_.end()) return nullptr;
  std::shared_ptr<HiddenForm> object = std::move(it->second->object);
  entries_.erase(it->second);
  index_.erase(it);
  return object;
}

}  // namespace qz::transport
