// The machine's TCP table, as far as port choice needs it.
#ifndef QZ_PLATFORM_TCP_TABLE_H_
#define QZ_PLATFORM_TCP_TABLE_H_

#include <cstdint>
#include <vector>

#include "qz/status.h"

namespace qz::platform {

// The local port of every TCP endpoint of the machine (this network namespace): IPv4 and IPv6,
// every state, the whole table with no row limit. Duplicates may occur; the order is unspecified.
Result<std::vector<uint16_t>> ReadTcpLocalPorts();

// Whether some TCP endpoint of the machine (IPv4 or IPv6, any state: listening, connected,
// closing, TIME_WAIT) has `port` as its local port, asked of the system for this one port, so
// that the cost does not grow with the table: binding the wildcard address of each family
// without address reuse fails for exactly such ports. False when the system cannot tell (no
// descriptor left, say); a later bind then reports the conflict itself.
bool LocalTcpPortInUse(uint16_t port);

}  // namespace qz::platform

#endif  // QZ_PLATFORM_TCP_TABLE_H_
