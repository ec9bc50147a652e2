// ConnectFromFreePort: the connection's own socket answers the walk, for every TCP endpoint of
// the machine on a candidate port, and the port it settles on is the one the peer sees.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "platform/event_loop.h"
#include "platform/socket_control.h"

namespace qz::platform {
namespace {

using Walk = SocketControl::LocalPortWalk;

class Sink : public SocketEvents {
 public:
  void OnConnect() override { connected = true; }
  bool connected = false;
};

// A raw socket, closed with the test.
struct Fd {
  explicit Fd(int descriptor) : fd(descriptor) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int fd;
};

uint16_t PortOf(int fd) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  return sa.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port)
                                  : ntohs(reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
}

// A loopback IPv4 listener on a port of the kernel's choice.
std::unique_ptr<Fd> Ipv4Listener() {
  auto l = std::make_unique<Fd>(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(l->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  EXPECT_EQ(::listen(l->fd, 8), 0);
  return l;
}

// An IPv6-only socket bound to [::1]: an IPv4 socket could bind its port, the walk must not.
std::unique_ptr<Fd> Ipv6OnlyBound() {
  auto s = std::make_unique<Fd>(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_addr = in6addr_loopback;
  if (s->fd < 0 || ::setsockopt(s->fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0 ||
      ::bind(s->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    return nullptr;
  }
  return s;
}

// The local port of a connection that this side closed first: it stays in TIME_WAIT.
uint16_t PortInTimeWait(int listener) {
  sockaddr_in to{};
  socklen_t len = sizeof to;
  EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&to), &len), 0);
  Fd c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(::connect(c.fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  Fd s(::accept(listener, nullptr, nullptr));
  const uint16_t port = PortOf(c.fd);
  ::close(c.fd);
  c.fd = -1;
  return port;
}

// A port that was free a moment ago.
uint16_t FreePort() { return PortOf(Ipv4Listener()->fd); }

struct Client {
  explicit Client(uint16_t to) {
    ctl.SetEvents(sink);
    ctl.SetRemoteHost("127.0.0.1");
    EXPECT_TRUE(ctl.SetRemotePort(to).ok());
  }
  std::shared_ptr<Sink> sink = std::make_shared<Sink>();
  SocketControl ctl;
};

Walk Offering(const std::vector<uint16_t>& candidates, std::vector<bool>* answers) {
  return [candidates, answers](const std::function<bool(int32_t)>& taken) -> int32_t {
    for (uint16_t port : candidates) {
      const bool in_use = taken(port);
      answers->push_back(in_use);
      if (!in_use) return port;
    }
    return 0;
  };
}

TEST(SocketControlWalkTest, SkipsEveryEndpointOfEitherFamilyAndConnectsFromTheFirstFreePort) {
  SetLocalIPOverride("127.0.0.1");
  const std::unique_ptr<Fd> target = Ipv4Listener();
  const std::unique_ptr<Fd> v4 = Ipv4Listener();
  std::vector<uint16_t> candidates = {PortOf(v4->fd), PortInTimeWait(target->fd)};
  const std::unique_ptr<Fd> v6 = Ipv6OnlyBound();
  if (v6 != nullptr) candidates.push_back(PortOf(v6->fd));
  const uint16_t free_port = FreePort();
  candidates.push_back(free_port);

  Client client(PortOf(target->fd));
  std::vector<bool> answers;
  const Status st = client.ctl.ConnectFromFreePort(Offering(candidates, &answers));
  ASSERT_TRUE(st.ok()) << st.ToString();
  std::vector<bool> expected(candidates.size() - 1, true);
  expected.push_back(false);
  EXPECT_EQ(answers, expected);
  EXPECT_EQ(client.ctl.LocalPort(), free_port);
  ASSERT_TRUE(EventLoop::Current().RunUntil([&] { return client.sink->connected; },
                                            std::chrono::milliseconds(5000)));
  // The peer sees the connection come from that port, over IPv4.
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  Fd accepted(::accept(target->fd, reinterpret_cast<sockaddr*>(&peer), &len));
  ASSERT_GE(accepted.fd, 0);
  EXPECT_EQ(peer.sin_family, AF_INET);
  EXPECT_EQ(ntohs(peer.sin_port), free_port);
  EXPECT_EQ(ntohl(peer.sin_addr.s_addr), INADDR_LOOPBACK);
}

TEST(SocketControlWalkTest, APortTheWalkDidNotBindIsBoundAsByConnectAndZeroLetsTheSystemChoose) {
  SetLocalIPOverride("127.0.0.1");
  const std::unique_ptr<Fd> target = Ipv4Listener();
  const uint16_t held = PortOf(target->fd);

  Client stubborn(held);
  Status st = stubborn.ctl.ConnectFromFreePort(
      [held](const std::function<bool(int32_t)>&) { return static_cast<int32_t>(held); });
  EXPECT_EQ(st.code(), errc::kWsaAddressInUse) << st.ToString();
  EXPECT_EQ(stubborn.ctl.State(), SocketState::kClosed);

  Client any(held);
  st = any.ctl.ConnectFromFreePort([](const std::function<bool(int32_t)>&) { return 0; });
  ASSERT_TRUE(st.ok()) << st.ToString();
  ASSERT_TRUE(EventLoop::Current().RunUntil([&] { return any.sink->connected; },
                                            std::chrono::milliseconds(5000)));
  EXPECT_GT(any.ctl.LocalPort(), 0);
  EXPECT_NE(any.ctl.LocalPort(), held);
}

}  // namespace
}  // namespace qz::platform
