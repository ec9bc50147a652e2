// A peer made of plain sockets, standing in for a client of another implementation: on loopback,
// or on an address of a test LAN when made inside that host's network namespace.
#ifndef QZ_TESTS_TESTING_PLAIN_PEER_H_
#define QZ_TESTS_TESTING_PLAIN_PEER_H_

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qz_test {

class PlainPeer {
 public:
  // Listens on 127.0.0.1 at a port the kernel picks; nullptr on failure.
  static std::unique_ptr<PlainPeer> Listen();
  // The same on the IPv4 address given, which the calling thread's network namespace must have.
  static std::unique_ptr<PlainPeer> Listen(const std::string& address);
  ~PlainPeer();
  PlainPeer(const PlainPeer&) = delete;
  PlainPeer& operator=(const PlainPeer&) = delete;

  int port() const { return port_; }
  // Accepts one connection and reads it until the other side closes. nullopt when no
  // connection came, or it did not end, within timeout.
  std::optional<std::string> ReceiveOne(std::chrono::milliseconds timeout);
  // The far end of the connection ReceiveOne last accepted: its address and port.
  const std::string& last_peer_address() const { return peer_address_; }
  int last_peer_port() const { return peer_port_; }

 private:
  PlainPeer(int fd, int port) : fd_(fd), port_(port) {}
  int fd_;
  int port_;
  std::string peer_address_;
  int peer_port_ = 0;
};

// Connects to 127.0.0.1:port, writes payload whole and closes. False on any failure.
bool DeliverPayload(int port, std::string_view payload);

// A port on 127.0.0.1 on which nothing listens (bound, then released).
int UnusedLoopbackPort();

}  // namespace qz_test

#endif  // QZ_TESTS_TESTING_PLAIN_PEER_H_
