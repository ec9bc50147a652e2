// ConnectionRegistry: the keyed, insertion-ordered collection behind gConnections.
//
// Each entry is a key and the one lasting reference to a live connection object. New entries go
// to the end, so the first entry is always the oldest still present. Look-up, append and removal
// by key take constant time. Not thread-safe: it belongs to its thread's module state.
#ifndef QZ_TRANSPORT_CONNECTION_REGISTRY_H_
#define QZ_TRANSPORT_CONNECTION_REGISTRY_H_

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "qz/status.h"
#include "transport/hidden_form.h"

namespace qz::transport {

class ConnectionRegistry {
 public:
  struct Entry {
    std::string key;
    std::shared_ptr<HiddenForm> object;
  };

  size_t Count() const { return entries_.size(); }
  // The object stored under key, or nullptr.
  std::shared_ptr<HiddenForm> Find(const std::string& key) const;
  // Appends an entry. Fails with errc::kDuplicateKey, changing nothing, when key is present.
  Status Add(const std::string& key, std::shared_ptr<HiddenForm> object);
  // Removes the entry of key and hands back its object; nullptr, changing nothing, when absent.
  std::shared_ptr<HiddenForm> Remove(const std::string& key);
  // The oldest entry. Count() must not be 0.
  const Entry& First() const { return entries_.front(); }
  // Oldest first.
  const std::list<Entry>& Entries() const { return entries_; }

 private:
  std::list<Entry> entries_;
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_CONNECTION_REGISTRY_H_
