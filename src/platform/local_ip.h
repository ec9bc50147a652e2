// The machine's address as SocketControl::LocalIP reports it: the one address of this machine
// that a login publishes for peers to deliver to.
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

// The address to publish, from what the machine reports, never a loopback one: the address of
// the interface with the default route, when that interface is up; else the first address of
// the host name that an interface which is up has; else the first address of an interface
// which is up; else none.
std::optional<uint32_t> ChooseLocalIP(std::optional<uint32_t> default_route,
                                      const std::vector<uint32_t>& host_name,
                                      const std::vector<uint32_t>& up);

// The override set by SetLocalIPOverride (socket_control.h) if any; else ChooseLocalIP over the
// machine's interfaces; else empty. Empty means that no other machine can reach this one: a
// loopback address would make every peer deliver to itself, so none is chosen unless the host
// sets it (127.0.0.1 for clients that all run on this machine). A found address is kept for
// the process; while none is found, each call looks again. The override is read at each call.
std::string MachineLocalIP();

// Whether address (dotted) is held by an interface of this machine that is up. Any address of
// the loopback network counts while a loopback interface is up, since all of it is local.
bool IsUpInterfaceAddress(const std::string& address);
// The same against a list of the up interfaces' addresses.
bool IsUpInterfaceAddress(uint32_t address, const std::vector<uint32_t>& up);

}  // namespace qz::platform

#endif  // QZ_PLATFORM_LOCAL_IP_H_
