// An unanswered connect ends with the control's time-out (10060), after the limit rather than
// the system's two minutes. Needs root for a network namespace of the test thread's own, where
// a neighbour in 198.18.0.0/24 takes the SYNs and never answers; the namespace goes with the
// thread.
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/event_loop.h"
#include "platform/socket_api.h"
#include "platform/socket_control.h"

namespace qz::platform {
namespace {

using std::chrono::milliseconds;

class Sink : public SocketEvents {
 public:
  void OnConnect() override { connected = true; }
  void OnError(int32_t number, const std::string&, bool&) override { error = number; }
  bool connected = false;
  int32_t error = 0;
};

TEST(ConnectWaitTest, AnUnansweredConnectFailsWith10060AfterTheLimit) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  std::string skip;
  int32_t error = -1;
  bool connected = false;
  milliseconds waited{0};
  std::thread in_namespace([&] {
    if (::unshare(CLONE_NEWNET) != 0) {
      skip = "cannot make a network namespace";
      return;
    }
    const char* lan =
        "ip link set lo up && ip link add qzv0 type veth peer name qzv1 && "
        "ip addr add 198.18.0.1/24 dev qzv0 && ip link set qzv0 up && ip link set qzv1 up && "
        "ip neigh add 198.18.0.2 lladdr 02:00:00:00:00:02 dev qzv0 nud permanent";
    if (std::system(lan) != 0) {
      skip = "ip could not set up the namespace";
      return;
    }
    sockets::SetConnectWaitLimit(milliseconds(1500));
    auto sink = std::make_shared<Sink>();
    {
      SocketControl control;
      control.SetEvents(sink);
      control.SetRemoteHost("198.18.0.2");
      EXPECT_TRUE(control.SetRemotePort(9).ok());
      const auto start = std::chrono::steady_clock::now();
      EXPECT_TRUE(control.Connect().ok());
      EventLoop::Current().RunUntil([&] { return sink->error != 0 || sink->connected; },
                                    milliseconds(20000));
      waited = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    }
    sockets::SetConnectWaitLimit(sockets::kConnectWaitLimit);
    error = sink->error;
    connected = sink->connected;
  });
  in_namespace.join();
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_FALSE(connected);
  EXPECT_EQ(error, errc::kWsaTimedOut);
  EXPECT_GE(waited, milliseconds(1400));
  EXPECT_LT(waited, milliseconds(10000));  // the system's own wait would be minutes
}

}  // namespace
}  // namespace qz::platform
