// Each socket call returns its own failure, in the control's numbers, whatever runs after it.
#include "platform/socket_api.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <string>

namespace qz::platform::sockets {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// Owns a socket of the API.
struct Socket {
  Socket() {
    Result<SocketHandle> opened = OpenTcpSocket();
    EXPECT_TRUE(opened.ok()) << opened.status().ToString();
    if (opened.ok()) s = *opened;
  }
  ~Socket() {
    if (s != kNoSocket) CloseSocket(s);
  }
  SocketHandle s = kNoSocket;
};

TEST(SocketApiTest, AFailureStaysWithItsCallWhenOtherCallsFollow) {
  Socket listener;
  ASSERT_TRUE(BindPort(listener.s, 0).ok());
  ASSERT_TRUE(ListenOn(listener.s).ok());
  const int32_t port = BoundPort(listener.s);
  ASSERT_GT(port, 0);

  Socket second;
  Status taken = BindPort(second.s, static_cast<uint16_t>(port));
  Result<SocketHandle> none = AcceptOne(listener.s);  // a later call that fails differently
  char c;
  Result<size_t> nothing = ReceiveSome(second.s, &c, 1);
  EXPECT_TRUE(taken.IsAddressInUse()) << taken.ToString();
  EXPECT_NE(taken.message().find("address in use"), std::string::npos) << taken.message();
  EXPECT_TRUE(none.status().IsWouldBlock()) << none.status().ToString();
  EXPECT_EQ(nothing.status().code(), errc::kWsaNotConnected) << nothing.status().ToString();
}

TEST(SocketApiTest, ARefusedConnectionIsTheOutcomeOfCheckConnect) {
  int32_t port;
  {
    Socket gone;
    ASSERT_TRUE(BindPort(gone.s, 0).ok());
    ASSERT_TRUE(ListenOn(gone.s).ok());
    port = BoundPort(gone.s);
  }
  Socket client;
  Status started = StartConnect(client.s, {kLoopback, static_cast<uint16_t>(port)});
  if (!started.ok()) {  // refused before the call returned: also the outcome, told at once
    EXPECT_EQ(started.code(), errc::kWsaConnectionRefused) << started.ToString();
    return;
  }
  pollfd pfd{client.s, POLLOUT, 0};
  ASSERT_EQ(::poll(&pfd, 1, 5000), 1);
  Result<ConnectProgress> progress = CheckConnect(client.s);
  EXPECT_EQ(progress.status().code(), errc::kWsaConnectionRefused) << progress.status().ToString();
}

TEST(SocketApiTest, SendAndReceiveCountBytesAndTellAnEmptyQueueFromAClose) {
  Socket listener;
  ASSERT_TRUE(BindPort(listener.s, 0).ok());
  ASSERT_TRUE(ListenOn(listener.s).ok());
  Socket client;
  ASSERT_TRUE(
      StartConnect(client.s, {kLoopback, static_cast<uint16_t>(BoundPort(listener.s))}).ok());
  pollfd pfd{listener.s, POLLIN, 0};
  ASSERT_EQ(::poll(&pfd, 1, 5000), 1);
  Result<SocketHandle> server = AcceptOne(listener.s);
  ASSERT_TRUE(server.ok()) << server.status().ToString();

  char buf[8];
  EXPECT_TRUE(ReceiveSome(*server, buf, sizeof buf).status().IsWouldBlock());
  Result<size_t> sent = SendSome(client.s, "abc", 3);
  ASSERT_TRUE(sent.ok()) << sent.status().ToString();
  EXPECT_EQ(*sent, 3u);
  pfd = {*server, POLLIN, 0};
  ASSERT_EQ(::poll(&pfd, 1, 5000), 1);
  Result<size_t> peeked = ReceiveSome(*server, buf, sizeof buf, /*peek=*/true);
  ASSERT_TRUE(peeked.ok());
  EXPECT_EQ(*peeked, 3u);
  Result<size_t> read = ReceiveSome(*server, buf, sizeof buf);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(std::string(buf, *read), "abc");

  CloseSocket(client.s);
  client.s = kNoSocket;
  ASSERT_EQ(::poll(&pfd, 1, 5000), 1);
  Result<size_t> closed = ReceiveSome(*server, buf, sizeof buf);
  ASSERT_TRUE(closed.ok()) << closed.status().ToString();
  EXPECT_EQ(*closed, 0u);
  CloseSocket(*server);
}

}  // namespace
}  // namespace qz::platform::sockets
