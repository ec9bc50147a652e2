#include "platform/tcp_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "platform/event_loop.h"
#include "platform/socket_control.h"

namespace qz::platform {
namespace {

class Sink : public SocketEvents {
 public:
  void OnConnect() override { connected = true; }
  bool connected = false;
};

bool Lists(const std::vector<uint16_t>& ports, int32_t port) {
  return std::find(ports.begin(), ports.end(), static_cast<uint16_t>(port)) != ports.end();
}

TEST(TcpTableTest, ListsAListeningPortAndTheLocalPortOfAConnection) {
  SetLocalIPOverride("127.0.0.1");
  SocketControl listener;
  ASSERT_TRUE(listener.Listen().ok());
  auto sink = std::make_shared<Sink>();
  SocketControl client;
  client.SetEvents(sink);
  client.SetRemoteHost("127.0.0.1");
  ASSERT_TRUE(client.SetRemotePort(listener.LocalPort()).ok());
  ASSERT_TRUE(client.Connect().ok());
  ASSERT_TRUE(EventLoop::Current().RunUntil([&] { return sink->connected; },
                                            std::chrono::milliseconds(5000)));
  ASSERT_GT(client.LocalPort(), 0);

  Result<std::vector<uint16_t>> ports = ReadTcpLocalPorts();
  ASSERT_TRUE(ports.ok()) << ports.status().ToString();
  EXPECT_TRUE(Lists(*ports, listener.LocalPort()));
  EXPECT_TRUE(Lists(*ports, client.LocalPort()));

  // The port-by-port question agrees.
  EXPECT_TRUE(LocalTcpPortInUse(static_cast<uint16_t>(listener.LocalPort())));
  EXPECT_TRUE(LocalTcpPortInUse(static_cast<uint16_t>(client.LocalPort())));
}

// The side that closes first keeps its port (FIN_WAIT, then TIME_WAIT) after the close.
TEST(TcpTableTest, APortStaysInUseWhileItsConnectionCloses) {
  const int lp = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(lp, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(listen(lp, 4), 0);
  ASSERT_EQ(getsockname(lp, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const int c = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const int s = accept(lp, nullptr, nullptr);
  ASSERT_GE(s, 0);
  sockaddr_in local{};
  socklen_t local_len = sizeof local;
  ASSERT_EQ(getsockname(c, reinterpret_cast<sockaddr*>(&local), &local_len), 0);
  close(c);
  close(s);
  close(lp);
  EXPECT_TRUE(LocalTcpPortInUse(ntohs(local.sin_port)));
}

TEST(TcpTableTest, APortNobodyHoldsIsFree) {
  SocketControl probe;
  ASSERT_TRUE(probe.Listen().ok());  // a port the system just found free
  const uint16_t port = static_cast<uint16_t>(probe.LocalPort());
  EXPECT_TRUE(LocalTcpPortInUse(port));
  probe.Close();  // a listener leaves no TIME_WAIT behind
  EXPECT_FALSE(LocalTcpPortInUse(port));
}

}  // namespace
}  // namespace qz::platform
