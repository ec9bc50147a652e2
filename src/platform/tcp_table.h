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

}  // namespace qz::platform

#endif  // QZ_PLATFORM_TCP_TABLE_H_
