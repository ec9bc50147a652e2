#include "platform/tcp_table.h"

#include <gtest/gtest.h>

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
}

}  // namespace
}  // namespace qz::platform
