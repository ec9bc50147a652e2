// The connection registry's operations: keys, registration, removal and the drain at logout.
//
// Every live connection object (an inbound ListOrder or an outbound frmOrder) is held by its
// entry in the calling thread's Module1().gConnections, from its registration until its
// exchange ends; that entry is its only lasting owner. Everything runs on the owning thread;
// RemoveConnection and CloseAllConnections run unload handlers and may therefore re-enter.
#ifndef QZ_TRANSPORT_REGISTRY_H_
#define QZ_TRANSPORT_REGISTRY_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "qz/status.h"
#include "transport/hidden_form.h"

namespace qz::transport {

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
// the Tag read back. The registry then shares ownership of the object.
Status RegisterConnection(const std::shared_ptr<HiddenForm>& object);

// Removes the entry of key, then unloads its object. A key that is not present, or a registry
// that is not set, changes nothing. Never fails.
void RemoveConnection(const std::string& key);

// The drain at logout: while the registry has entries, processes the thread's pending events
// once and removes (and unloads) the oldest entry still present; entries added meanwhile are
// drained too. Then releases the registry (not set). Does nothing when the registry is not set.
// Handlers run inside it, on this thread.
void CloseAllConnections();

// The number of live connection objects of the calling thread, inbound and outbound.
size_t ConnectionCount();

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_REGISTRY_H_
