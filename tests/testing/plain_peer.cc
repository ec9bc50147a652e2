#include "testing/plain_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace qz_test {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// Binds a new socket to host:port (port 0: any); returns it and its port, or -1.
int BoundSocket(const sockaddr_in& host, int port, int* bound_port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = host;
  address.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *bound_port = ntohs(address.sin_port);
  return fd;
}

bool WaitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, left < 0 ? 0 : static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

}  // namespace

std::unique_ptr<PlainPeer> PlainPeer::Listen() { return Listen("127.0.0.1"); }

std::unique_ptr<PlainPeer> PlainPeer::Listen(const std::string& address) {
  sockaddr_in host = Loopback(0);
  if (inet_pton(AF_INET, address.c_str(), &host.sin_addr) != 1) return nullptr;
  int port = 0;
  const int fd = BoundSocket(host, 0, &port);
  if (fd < 0) return nullptr;
  if (listen(fd, 8) != 0) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<PlainPeer>(new PlainPeer(fd, port));
}

PlainPeer::~PlainPeer() { close(fd_); }

std::optional<std::string> PlainPeer::ReceiveOne(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  if (!WaitReadable(fd_, deadline)) return std::nullopt;
  sockaddr_in peer{};
  socklen_t peer_length = sizeof peer;
  const int connection =
      accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC);
  if (connection < 0) return std::nullopt;
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  peer_address_ = text;
  peer_port_ = ntohs(peer.sin_port);
  std::string received;
  for (;;) {
    if (!WaitReadable(connection, deadline)) {
      close(connection);
      return std::nullopt;
    }
    char buffer[4096];
    const ssize_t n = read(connection, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  close(connection);
  return received;
}

bool DeliverPayload(int port, std::string_view payload) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const sockaddr_in address = Loopback(port);
  bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  while (ok && !payload.empty()) {
    const ssize_t n = send(fd, payload.data(), payload.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) payload.remove_prefix(static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

int UnusedLoopbackPort() {
  int port = 0;
  const int fd = BoundSocket(Loopback(0), 0, &port);
  if (fd < 0) return -1;
  close(fd);
  return port;
}

}  // namespace qz_test
