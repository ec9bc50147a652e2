// The connection registry gConnections: the keyed, insertion-ordered collection of the thread's
// live connection objects, and its operations: keys, registration, removal, the drain at logout.
// Who owns a connection and where it ends: connection_form.h.
//
// Everything runs on the owning thread. RemoveConnection and CloseAllConnections run unload
// handlers, and the drain runs the loop, so both may re-enter.
#ifndef QZ_TRANSPORT_CONNECTION_REGISTRY_H_
#define QZ_TRANSPORT_CONNECTION_REGISTRY_H_

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "qz/status.h"
#include "transport/connection_form.h"

namespace qz::transport {

// The collection. New entries go to the end, so the first entry is always the oldest still
// present. Look-up, append and removal by key take constant time.
class ConnectionRegistry {
 public:
  struct Entry {
    std::string key;
    std::shared_ptr<ConnectionForm> object;
  };

  size_t Count() const { return entries_.size(); }
  // How many entries are accepted connections (ConnectionForm::Inbound).
  size_t InboundCount() const { return inbound_; }
  // The object stored under key, or nullptr.
  std::shared_ptr<ConnectionForm> Find(std::string_view key) const;
  // Appends an entry. Fails with errc::kDuplicateKey, changing nothing, when key is present.
  Status Add(std::string key, std::shared_ptr<ConnectionForm> object);
  // Removes the entry of key and hands back its object; nullptr, changing nothing, when absent.
  // key may be a view of the object's Tag, not of the entry's own key.
  std::shared_ptr<ConnectionForm> Remove(std::string_view key);
  // The oldest entry. Count() must not be 0.
  const Entry& First() const { return entries_.front(); }
  // Oldest first.
  const std::list<Entry>& Entries() const { return entries_; }

 private:
  std::list<Entry> entries_;
  // Keyed by views of the entries' own keys, which a list node never moves.
  std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
  size_t inbound_ = 0;
};

// The 60 characters a key is drawn from (one of them is a backslash).
inline constexpr std::string_view kKeyAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890<>?/\\][{})(-_+=~!@#$%^&*";
inline constexpr size_t kKeyLength = 20;

// A random 20-character key that the registry does not hold when this returns. Re-seeds the
// thread's generator from the time of day once per call; a key already present is drawn anew
// without re-seeding.
std::string NewConnectionKey();
// The same drawing, with the given generator of [0, 1) and no re-seeding.
std::string NewConnectionKey(const std::function<double()>& next_random);

// Registers a created and loaded connection object, before its socket is touched: creates the
// registry if it is not set, sets the object's Tag to a new key and appends the object under
// the Tag read back. From here on the registry owns the object. Cannot fail: the key is fresh.
void RegisterConnection(const std::shared_ptr<ConnectionForm>& object);

// Removes the entry of key, then unloads its object. A key that is not present, or a registry
// that is not set, changes nothing. Never fails. key may be a view of the object's own Tag (the
// object outlives the call), not of the registry entry's key.
void RemoveConnection(std::string_view key);

// The drain at logout: while the registry has entries, processes the thread's pending events
// once and removes (and unloads) the oldest entry still present; entries added meanwhile are
// drained too. Then releases the registry (not set). Does nothing when the registry is not set.
void CloseAllConnections();

// The number of live connection objects of the calling thread, inbound and outbound.
size_t ConnectionCount();

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_CONNECTION_REGISTRY_H_
