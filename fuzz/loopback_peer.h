// Raw loopback sockets for the fuzz targets that go through real sockets, made so that a run of
// thousands of connections a second leaves as little TIME_WAIT behind on the machine as it can
// (those hold ports that other programs on it may need): the receiver ends each connection with
// a reset once the sender is done. Every socket here is on 127.0.0.1.
#ifndef QZ_FUZZ_LOOPBACK_PEER_H_
#define QZ_FUZZ_LOOPBACK_PEER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "platform/event_loop.h"

namespace qz::fuzz {

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

// Closes without the closing handshake: no TIME_WAIT on this side, and a reset to the other,
// which ends its side's wait too.
inline void ResetClose(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

// A client that connects to 127.0.0.1:port (the kernel completes it: no loop needed), sends
// what it is given and half-closes. The side that closes first keeps a TIME_WAIT, and a peer
// that delivers on the close needs this one to close first: its address is made reusable, so
// that these at least never stand in the way of a listener binding the port.
class RawSender {
 public:
  explicit RawSender(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    FUZZ_CHECK(fd_ >= 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sa = Loopback(port);
    FUZZ_CHECK(::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0);
  }
  ~RawSender() { ResetClose(fd_); }
  RawSender(const RawSender&) = delete;
  RawSender& operator=(const RawSender&) = delete;
  // Small amounts only: the socket's buffer takes them at once.
  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t w = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      FUZZ_CHECK(w > 0 || errno == EINTR);
      if (w > 0) bytes.remove_prefix(static_cast<size_t>(w));
    }
  }
  void ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

 private:
  int fd_;
};

// A listener on 127.0.0.1 driven by the thread's loop: accepts everything, reads each
// connection to its end, keeps what it sent, and resets it.
class RawReceiver final : public platform::IoHandler {
 public:
  RawReceiver() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(listen_fd_ >= 0);
    sockaddr_in sa = Loopback(0);
    socklen_t len = sizeof sa;
    FUZZ_CHECK(::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0);
    FUZZ_CHECK(::listen(listen_fd_, 128) == 0);
    FUZZ_CHECK(::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len) == 0);
    port_ = ntohs(sa.sin_port);
    listen_watch_ = WatchReadable(listen_fd_);
  }
  uint16_t port() const { return port_; }
  // What each connection sent, in the order they ended.
  std::vector<std::string> finished;
  bool AllFinished() const { return open_.empty(); }

  void OnIoReady(uint32_t) override {
    // One handler for all: look at every descriptor without blocking.
    for (;;) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) break;
      Open& o = open_[fd];
      o.watch = WatchReadable(fd);
    }
    (void)Loop().Modify(listen_watch_, platform::kIoReadable);
    char buf[65536];
    for (auto it = open_.begin(); it != open_.end();) {
      bool ended = false;
      for (;;) {
        const ssize_t r = ::recv(it->first, buf, sizeof buf, 0);
        if (r > 0) {
          it->second.bytes.append(buf, static_cast<size_t>(r));
          continue;
        }
        ended = r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        break;
      }
      if (!ended) {
        (void)Loop().Modify(it->second.watch, platform::kIoReadable);
        ++it;
        continue;
      }
      Loop().Unwatch(it->second.watch);
      ResetClose(it->first);
      finished.push_back(std::move(it->second.bytes));
      it = open_.erase(it);
    }
  }

 private:
  struct Open {
    platform::WatchId watch = 0;
    std::string bytes;
  };
  static platform::EventLoop& Loop() { return platform::EventLoop::Current(); }
  platform::WatchId WatchReadable(int fd) {
    Result<platform::WatchId> id = Loop().Watch(fd, platform::kIoReadable, this);
    FUZZ_CHECK(id.ok());
    return *id;
  }

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  platform::WatchId listen_watch_ = 0;
  std::map<int, Open> open_;
};

}  // namespace qz::fuzz

#endif  // QZ_FUZZ_LOOPBACK_PEER_H_
