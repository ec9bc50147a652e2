// The machine's address as SocketControl::LocalIP reports it.
#ifndef QZ_PLATFORM_LOCAL_IP_H_
#define QZ_PLATFORM_LOCAL_IP_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz::platform {

// "a.b.c.d" for an IPv4 address in host byte order.
std::string DottedV4(uint32_t address);

// The first address that is not loopback, in the order given. Loopback addresses are skipped:
// many distributions map the host name to 127.0.1.1, which no peer can reach.
std::optional<uint32_t> FirstNonLoopback(const std::vector<uint32_t>& addresses);

// The override set by SetLocalIPOverride (socket_control.h) if any; else the first non-loopback
// IPv4 address of the host name; else the address of the interface that carries the default
// route; else 127.0.0.1. The look-up runs once per process; the override is read at each call.
std::string MachineLocalIP();

}  // namespace qz::platform

#endif  // QZ_PLATFORM_LOCAL_IP_H_
