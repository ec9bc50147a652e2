// Local port choice for every socket the transport binds: a pseudo-random port a little above
// 9000 plus the caller's base, walked upwards past the ports that TCP endpoints of the machine
// use as their local port.
//
// First candidate: (base + 9000) + floor(r * 200). While it is listed: candidate := (candidate +
// base) + floor(r * 200), with a new r each time. Base 5000 thus gives 14000..14199 first; the
// last number b of a peer's address gives 9000 + b .. 9199 + b.
//
// Every endpoint counts, every state, IPv4 and IPv6. PickFreePort(base) skips the ports that this
// process's deliveries hold or left in TIME_WAIT (port_memory.h) and asks the system about each
// other candidate rather than reading the whole table, whose cost grows with every connection of
// the machine and was paid once per delivery: a delivery asks by binding its own socket
// (SocketControl::ConnectFromFreePort), a listener with a probe (platform::LocalTcpPortInUse).
// A candidate outside 0..65535 cannot be bound: the walk ends there and the result is 0, which
// lets the system choose a free port at Listen or Connect. Nothing is reserved: a port that is
// returned and not yet bound may be returned again. Runs on the calling thread, processes no
// events.
#ifndef QZ_TRANSPORT_PORT_CHOICE_H_
#define QZ_TRANSPORT_PORT_CHOICE_H_

#include <bitset>
#include <cstdint>
#include <functional>
#include <vector>

namespace qz::transport {

// The set of local ports in use.
class UsedPorts {
 public:
  UsedPorts() = default;
  explicit UsedPorts(const std::vector<uint16_t>& ports);
  // Whole numbers only; false for any number outside 0..65535.
  bool Contains(int64_t port) const;

 private:
  std::bitset<65536> bits_;
};

// Re-seeds the thread's generator once and walks as above, past the ports in use on the
// machine. Never fails; base is not changed.
int32_t PickFreePort(int32_t base);
// The same, the system asked through taken(port) about each candidate that this process does not
// know to be busy.
int32_t PickFreePort(int32_t base, const std::function<bool(int64_t port)>& taken);
// The walk alone, past the ports for which in_use holds, drawing r from next_random (values in
// [0, 1)).
int32_t PickFreePort(int32_t base, const std::function<bool(int64_t port)>& in_use,
                     const std::function<double()>& next_random);
// The walk against a table of used ports.
int32_t PickFreePort(int32_t base, const UsedPorts& used,
                     const std::function<double()>& next_random);

// How a caller chooses a local port from a base. Callers take one so that tests can choose.
using PortPicker = std::function<int32_t(int32_t base)>;
// pick(base), or PickFreePort(base) when pick is empty.
int32_t PickPort(const PortPicker& pick, int32_t base);

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_PORT_CHOICE_H_
