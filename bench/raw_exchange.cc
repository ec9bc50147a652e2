// The raw floor: what the same exchange costs with nothing but non-blocking sockets and epoll;
// and `rawbind`, the same with the sender binding each local port by the port rule, answered
// from memory (port_rule.h), so that the rule's own ceiling shows.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <thread>

#include "exchange.h"
#include "port_rule.h"
#include "util.h"

namespace qz::bench {
namespace {

constexpr uint64_t kListenerToken = UINT64_MAX;
constexpr uint64_t kWakeToken = UINT64_MAX - 1;
// The outbound base for a peer at 127.0.0.1: the last number of its address.
constexpr int32_t kPeerBase = 1;
// Binds a port that memory calls free but the kernel refuses at most this often per message.
constexpr int kBindAttempts = 16;

// One receiver: a listener on 127.0.0.1 and an epoll loop that accepts and reads every
// connection to its end, then counts a message.
void ReceiverLoop(int index, int listener, Arrivals* arrivals) {
  pthread_setname_np(pthread_self(), "raw-rx");  // for profilers: perf --sort comm
  int ep = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenerToken;
  epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  epoll_event ready[64];
  char buf[65536];
  for (;;) {
    int n = epoll_wait(ep, ready, 64, -1);
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.u64 == kListenerToken) {
        for (;;) {
          int c = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (c < 0) break;
          epoll_event cev{};
          cev.events = EPOLLIN;
          cev.data.u64 = static_cast<uint64_t>(c);
          epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
        }
        continue;
      }
      const int c = static_cast<int>(ready[i].data.u64);
      for (;;) {
        ssize_t r = read(c, buf, sizeof buf);
        if (r > 0) continue;
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) break;
        close(c);  // end of stream (or a reset): the message is complete
        if (r == 0) arrivals->Record(index);
        break;
      }
    }
  }
}

class RawExchange final : public Exchange {
 public:
  explicit RawExchange(bool port_rule)
      : payload_(RawPayload()), rule_(port_rule ? std::make_unique<PortRuleMemory>() : nullptr) {}

  Status Start(int receivers) override {
    arrivals_ = std::make_unique<Arrivals>(receivers);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) return Errno("raw: epoll");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeToken;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, arrivals_->wake_fd(), &ev);
    for (int i = 0; i < receivers; ++i) {
      int l = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (l < 0) return Errno("raw: socket");
      sockaddr_in sa = Loopback(0);
      if (bind(l, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return Errno("raw: bind");
      if (listen(l, SOMAXCONN) != 0) return Errno("raw: listen");
      socklen_t len = sizeof sa;
      getsockname(l, reinterpret_cast<sockaddr*>(&sa), &len);
      ports_.push_back(ntohs(sa.sin_port));
      if (rule_) rule_->Hold(ports_.back());
      std::thread(ReceiverLoop, i, l, arrivals_.get()).detach();
    }
    return Status::OK();
  }

  Status Broadcast() override {
    for (uint16_t port : ports_) {
      if (Status s = Connect(port); !s.ok()) return s;
    }
    return Status::OK();
  }

  void Pump(int timeout_ms) override {
    epoll_event ready[256];
    int n = epoll_wait(epoll_, ready, 256, timeout_ms);
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.u64 == kWakeToken) {
        arrivals_->DrainWake();
        continue;
      }
      const int fd = static_cast<int>(ready[i].data.u64);
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err == 0) {
        size_t done = 0;
        while (done < payload_.size()) {
          ssize_t w = send(fd, payload_.data() + done, payload_.size() - done, MSG_NOSIGNAL);
          if (w <= 0) break;  // loopback takes a small payload whole; nothing to wait for
          done += static_cast<size_t>(w);
        }
      }
      close(fd);
      if (rule_ && static_cast<size_t>(fd) < local_port_.size() && local_port_[fd] != 0) {
        rule_->Release(local_port_[fd], NowNs());
        local_port_[fd] = 0;
      }
    }
  }

  std::string Counters() const override {
    if (!rule_) return "";
    return "picks=" + std::to_string(rule_->picks()) +
           " escapes=" + std::to_string(rule_->escapes()) +
           " walk_steps=" + std::to_string(rule_->steps()) +
           " refused=" + std::to_string(refused_) +
           " no_system_port=" + std::to_string(no_system_port_) +
           " no_port_errno=" + std::to_string(no_port_errno_);
  }

 private:
  // The bytes the component puts on the wire for the same message: kind, text, then the
  // sender's user, system, module and row key, each after the separator with code 15.
  static std::string RawPayload() {
    const char sep = '\x0F';
    return "YH" + BenchMessageText() + sep + "tx" + sep + "bench" + sep + "tx" + sep + "1";
  }

  // With the port rule: bound to the walk's port, or unbound when the walk left the range. A
  // port the kernel still refuses (a TIME_WAIT that outlived its 60 s in memory) is remembered
  // and the walk runs again on the same socket, which a failed bind leaves unbound.
  Status BindByRule(int fd, uint16_t& local) {
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
      const int64_t now = NowNs();
      const int32_t port = rule_->Pick(kPeerBase, now, static_cast<uint64_t>(now) ^ ++seeds_);
      if (port == 0) return Status::OK();
      sockaddr_in sa = Loopback(static_cast<uint16_t>(port));
      if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        local = static_cast<uint16_t>(port);
        return Status::OK();
      }
      if (errno != EADDRINUSE) return Errno("rawbind: bind");
      ++refused_;
      rule_->Release(static_cast<uint16_t>(port), now);
    }
    return Errno("rawbind: bind");
  }

  // Remembers the local port of fd, the system's choice included, until it is closed.
  void NoteLocalPort(int fd, uint16_t local) {
    if (local == 0) {
      sockaddr_in sa{};
      socklen_t len = sizeof sa;
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
      local = ntohs(sa.sin_port);
    }
    rule_->Hold(local);
    if (local_port_.size() <= static_cast<size_t>(fd)) local_port_.resize(fd + 1024, 0);
    local_port_[fd] = local;
  }

  Status Connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Errno("raw: socket");
    uint16_t local = 0;
    if (rule_) {
      if (Status s = BindByRule(fd, local); !s.ok()) {
        close(fd);
        return s;
      }
    }
    sockaddr_in sa = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
      // Past the range the system had no port to give either.
      if (rule_ && local == 0) {
        ++no_system_port_;
        no_port_errno_ = errno;
      }
      Status s = Errno("raw: connect");
      close(fd);
      return s;
    }
    if (rule_) NoteLocalPort(fd, local);
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLONESHOT;
    ev.data.u64 = static_cast<uint64_t>(fd);
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    return Status::OK();
  }

  std::string payload_;
  std::vector<uint16_t> ports_;
  int epoll_ = -1;
  std::unique_ptr<PortRuleMemory> rule_;  // rawbind only
  std::vector<uint16_t> local_port_;      // by descriptor, rawbind only
  uint64_t seeds_ = 0;
  int64_t refused_ = 0;
  int64_t no_system_port_ = 0;  // walks past the range whose connect then failed
  int no_port_errno_ = 0;       // and the error of the last of them
};

}  // namespace

std::unique_ptr<Exchange> MakeRawExchange() { return std::make_unique<RawExchange>(false); }

std::unique_ptr<Exchange> MakeRawBindExchange() { return std::make_unique<RawExchange>(true); }

}  // namespace qz::bench
