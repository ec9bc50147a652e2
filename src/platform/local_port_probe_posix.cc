#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/tcp_table.h"

namespace qz::platform {
namespace {

// Binds the wildcard address of the socket's family to port; true when that fails because the
// port is taken. The probe never listens, so it leaves nothing behind (no TIME_WAIT).
bool BindFailsInUse(int fd, const sockaddr* addr, socklen_t len) {
  const bool in_use = bind(fd, addr, len) != 0 && errno == EADDRINUSE;
  close(fd);
  return in_use;
}

}  // namespace

bool LocalTcpPortInUse(uint16_t port) {
  // One dual-stack socket meets every endpoint of either family on the port.
  const int fd6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int off = 0;
  if (fd6 >= 0 && setsockopt(fd6, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_any;
    v6.sin6_port = htons(port);
    return BindFailsInUse(fd6, reinterpret_cast<const sockaddr*>(&v6), sizeof v6);
  }
  if (fd6 >= 0) close(fd6);
  // No IPv6 on this machine: IPv4 endpoints are all there are.
  const int fd4 = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd4 < 0) return false;
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(INADDR_ANY);
  v4.sin_port = htons(port);
  return BindFailsInUse(fd4, reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
}

}  // namespace qz::platform
