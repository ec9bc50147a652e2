// Each socket call returns its own failure, in the control's numbers, whatever runs after it.
#include "platform/socket_api.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <optional>
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
  explicit Socket(SocketHandle adopted) : s(adopted) {}
  ~Socket() {
    if (s != kNoSocket) CloseSocket(s);
  }
  SocketHandle s = kNoSocket;
};

bool WaitFor(SocketHandle s, short events) {
  pollfd pfd{s, events, 0};
  return ::poll(&pfd, 1, 5000) == 1;
}

// Connects client to a new loopback listener; *server is the accepted end, the caller's to close.
void ConnectOverLoopback(Socket& listener, Socket& client, SocketHandle* server,
                         Ipv4Endpoint* accepted_peer = nullptr) {
  ASSERT_TRUE(BindPort(listener.s, 0).ok());
  ASSERT_TRUE(ListenOn(listener.s).ok());
  ASSERT_TRUE(
      StartConnect(client.s, {kLoopback, static_cast<uint16_t>(BoundPort(listener.s))}).ok());
  ASSERT_TRUE(WaitFor(listener.s, POLLIN));
  Result<AcceptedSocket> accepted = AcceptOne(listener.s);
  ASSERT_TRUE(accepted.ok()) << accepted.status().ToString();
  *server = accepted->socket;
  if (accepted_peer != nullptr) *accepted_peer = accepted->peer;
}

TEST(SocketApiTest, AFailureStaysWithItsCallWhenOtherCallsFollow) {
  Socket listener;
  ASSERT_TRUE(BindPort(listener.s, 0).ok());
  ASSERT_TRUE(ListenOn(listener.s).ok());
  const int32_t port = BoundPort(listener.s);
  ASSERT_GT(port, 0);

  Socket second;
  Status taken = BindPort(second.s, static_cast<uint16_t>(port));
  Result<AcceptedSocket> none = AcceptOne(listener.s);  // a later call that fails differently
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
  Socket client;
  Socket server(kNoSocket);
  ASSERT_NO_FATAL_FAILURE(ConnectOverLoopback(listener, client, &server.s));

  char buf[8];
  EXPECT_TRUE(ReceiveSome(server.s, buf, sizeof buf).status().IsWouldBlock());
  Result<size_t> sent = SendSome(client.s, "abc", 3);
  ASSERT_TRUE(sent.ok()) << sent.status().ToString();
  EXPECT_EQ(*sent, 3u);
  ASSERT_TRUE(WaitFor(server.s, POLLIN));
  Result<size_t> peeked = ReceiveSome(server.s, buf, sizeof buf, /*peek=*/true);
  ASSERT_TRUE(peeked.ok());
  EXPECT_EQ(*peeked, 3u);
  Result<size_t> read = ReceiveSome(server.s, buf, sizeof buf);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(std::string(buf, *read), "abc");

  CloseSocket(client.s);
  client.s = kNoSocket;
  ASSERT_TRUE(WaitFor(server.s, POLLIN));
  Result<size_t> closed = ReceiveSome(server.s, buf, sizeof buf);
  ASSERT_TRUE(closed.ok()) << closed.status().ToString();
  EXPECT_EQ(*closed, 0u);
}

TEST(SocketApiTest, AConnectionKnowsBothEndsAndWhatIsQueued) {
  Socket listener;
  Socket client;
  Socket server(kNoSocket);
  Ipv4Endpoint accepted_peer;
  ASSERT_NO_FATAL_FAILURE(ConnectOverLoopback(listener, client, &server.s, &accepted_peer));
  ASSERT_TRUE(WaitFor(client.s, POLLOUT));
  Result<ConnectProgress> progress = CheckConnect(client.s);
  ASSERT_TRUE(progress.ok()) << progress.status().ToString();
  EXPECT_EQ(*progress, ConnectProgress::kConnected);

  const std::optional<Ipv4Endpoint> server_end = PeerOf(client.s);
  const std::optional<Ipv4Endpoint> client_end = PeerOf(server.s);
  ASSERT_TRUE(server_end.has_value() && client_end.has_value());
  EXPECT_EQ(server_end->address, kLoopback);
  EXPECT_EQ(server_end->port, BoundPort(listener.s));
  EXPECT_EQ(client_end->address, kLoopback);
  EXPECT_EQ(client_end->port, BoundPort(client.s));
  EXPECT_EQ(accepted_peer.address, client_end->address);  // accept told it already
  EXPECT_EQ(accepted_peer.port, client_end->port);
  EXPECT_FALSE(PeerOf(listener.s).has_value());

  EXPECT_EQ(BytesAvailable(server.s), 0);
  ASSERT_TRUE(SendSome(client.s, "hello", 5).ok());
  ASSERT_TRUE(WaitFor(server.s, POLLIN));
  EXPECT_EQ(BytesAvailable(server.s), 5);
}

TEST(SocketApiTest, NumericAddressesParseInEveryFormAndNamesAreNotLookedUp) {
  EXPECT_EQ(ParseNumericIpv4("127.0.0.1"), kLoopback);
  EXPECT_EQ(ParseNumericIpv4("127.1"), kLoopback);
  EXPECT_EQ(ParseNumericIpv4("10.1.2"), 0x0A010002u);
  EXPECT_EQ(ParseNumericIpv4("192.168.0.255"), 0xC0A800FFu);
  EXPECT_FALSE(ParseNumericIpv4("localhost").has_value());
  EXPECT_FALSE(ParseNumericIpv4("256.0.0.1").has_value());
  EXPECT_FALSE(ParseNumericIpv4("").has_value());
}

}  // namespace
}  // namespace qz::platform::sockets
