#include <algorithm>

#include "platform/tcp_table.h"

namespace qz::platform {

// IP Helper hands the table over cheaply, and a bind probe would miss TIME_WAIT, which Winsock
// lets a new socket bind over: ask the table.
bool LocalTcpPortInUse(uint16_t port) {
  const Result<std::vector<uint16_t>> ports = ReadTcpLocalPorts();
  return ports.ok() && std::find(ports->begin(), ports->end(), port) != ports->end();
}

}  // namespace qz::platform
