#include "platform/socket_control.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"

namespace qz::platform {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kWait(5000);

// A sink that owns its control and records every event. By default it reads everything that
// arrives and accepts nothing.
class Peer : public SocketEvents {
 public:
  static std::shared_ptr<Peer> Make() {
    auto p = std::make_shared<Peer>();
    p->ctl.SetEvents(p);
    return p;
  }

  void OnConnectionRequest(int32_t id) override {
    log.push_back("request");
    if (on_request) on_request(id);
  }
  void OnConnect() override {
    log.push_back("connect");
    if (on_connect) on_connect();
  }
  void OnDataArrival(int32_t n) override {
    log.push_back("data");
    reported.push_back(n);
    if (on_data) {
      on_data(n);
      return;
    }
    std::string s;
    EXPECT_TRUE(ctl.GetData(s).ok());
    received += s;
  }
  void OnSendComplete() override {
    log.push_back("sent");
    if (on_sent) on_sent();
  }
  void OnError(int32_t number, const std::string& description, bool& cancel) override {
    log.push_back("error " + std::to_string(number));
    error_text = description;
    EXPECT_FALSE(cancel);
  }
  void OnClose() override {
    log.push_back("close");
    if (on_close) on_close();
  }

  int Count(const std::string& event) const {
    return static_cast<int>(std::count(log.begin(), log.end(), event));
  }

  SocketControl ctl;
  std::vector<std::string> log;
  std::vector<int32_t> reported;
  std::string received;
  std::string error_text;
  std::function<void(int32_t)> on_request;
  std::function<void()> on_connect;
  std::function<void(int32_t)> on_data;
  std::function<void()> on_sent;
  std::function<void()> on_close;
};

class SocketControlTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLocalIPOverride("127.0.0.1"); }
  void TearDown() override {
    // Let closes and resets settle so that no event of this test reaches the next.
    EventLoop::Current().DoEvents();
  }

  static bool RunUntil(const std::function<bool()>& done) {
    return EventLoop::Current().RunUntil(done, kWait);
  }

  // A listener on a port of the kernel's choice that accepts every request on a new Peer.
  std::shared_ptr<Peer> StartListener() {
    auto l = Peer::Make();
    EXPECT_TRUE(l->ctl.Listen().ok());
    EXPECT_EQ(l->ctl.State(), SocketState::kListening);
    EXPECT_GT(l->ctl.LocalPort(), 0);
    l->on_request = [this](int32_t id) {
      auto s = Peer::Make();
      if (prepare_accepted) prepare_accepted(*s);
      Status st = s->ctl.Accept(id);
      EXPECT_TRUE(st.ok()) << st.ToString();
      accepted.push_back(s);
    };
    return l;
  }

  static std::shared_ptr<Peer> StartClient(int32_t port) {
    auto c = Peer::Make();
    c->ctl.SetRemoteHost("127.0.0.1");
    EXPECT_TRUE(c->ctl.SetRemotePort(port).ok());
    Status st = c->ctl.Connect();
    EXPECT_TRUE(st.ok()) << st.ToString();
    return c;
  }

  // A connected client and its accepted server side.
  void ConnectPair(std::shared_ptr<Peer>* client, std::shared_ptr<Peer>* server) {
    size_t before = accepted.size();
    *client = StartClient(listener->ctl.LocalPort());
    ASSERT_TRUE(
        RunUntil([&] { return (*client)->Count("connect") == 1 && accepted.size() > before; }));
    *server = accepted.back();
  }

  std::shared_ptr<Peer> listener;
  std::vector<std::shared_ptr<Peer>> accepted;
  std::function<void(Peer&)> prepare_accepted;  // runs before Accept
};

// A plain blocking socket connected to port on loopback, for peers that the control cannot play.
void RawConnect(int32_t port, int* fd) {
  *fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(*fd, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(::connect(*fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
}

// Waits as a host with its own loop does: poll(2) on PollFd(), then one DoEvents() pass.
bool HostLoopUntil(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pollfd pfd{EventLoop::Current().PollFd(), POLLIN, 0};
    ::poll(&pfd, 1, 100);
    DoEvents();
  }
  return true;
}

TEST_F(SocketControlTest, ExchangeDrivenByAHostLoopOfPollAndDoEvents) {
  listener = StartListener();
  auto client = StartClient(listener->ctl.LocalPort());
  // Never synchronous, even on loopback.
  EXPECT_TRUE(client->log.empty());
  EXPECT_EQ(client->ctl.State(), SocketState::kConnecting);
  client->on_connect = [&] { EXPECT_TRUE(client->ctl.SendData("hello").ok()); };

  ASSERT_TRUE(HostLoopUntil([&] { return !accepted.empty() && accepted[0]->received == "hello"; }));
  auto server = accepted[0];
  EXPECT_EQ(listener->log, (std::vector<std::string>{"request"}));
  EXPECT_EQ(server->ctl.State(), SocketState::kConnected);
  EXPECT_EQ(server->ctl.RemoteHost(), "127.0.0.1");
  EXPECT_EQ(server->ctl.RemotePort(), client->ctl.LocalPort());
  EXPECT_EQ(server->ctl.LocalPort(), listener->ctl.LocalPort());
  EXPECT_EQ(server->reported, (std::vector<int32_t>{5}));

  EXPECT_TRUE(server->ctl.SendData("bye").ok());
  ASSERT_TRUE(HostLoopUntil([&] { return client->received == "bye"; }));
  EXPECT_EQ(client->log, (std::vector<std::string>{"connect", "sent", "data"}));
  EXPECT_EQ(server->log, (std::vector<std::string>{"data", "sent"}));

  client->ctl.Close();
  EXPECT_EQ(client->ctl.State(), SocketState::kClosed);
  client->ctl.Close();  // silent when already closed
  ASSERT_TRUE(HostLoopUntil([&] { return server->Count("close") == 1; }));
  EXPECT_EQ(server->ctl.State(), SocketState::kPeerClosing);
}

TEST_F(SocketControlTest, NestedDoEventsInsideHandlersDeliversNoEventTwice) {
  listener = StartListener();
  auto accept = listener->on_request;
  listener->on_request = [&](int32_t id) {
    DoEvents();
    DoEvents();
    accept(id);
  };
  auto client = StartClient(listener->ctl.LocalPort());
  client->on_connect = [&] {
    DoEvents();
    EXPECT_TRUE(client->ctl.SendData("ping").ok());
    DoEvents();
  };
  std::string got;
  prepare_accepted = [&](Peer& server) {
    server.on_data = [&got, s = &server](int32_t) {
      // Unread data is not reported again, however many passes run.
      DoEvents();
      DoEvents();
      EXPECT_EQ(s->Count("data"), 1);
      EXPECT_TRUE(s->ctl.GetData(got).ok());
      DoEvents();
    };
  };
  ASSERT_TRUE(RunUntil([&] { return got == "ping" && client->Count("sent") == 1; }));
  DoEvents();
  EXPECT_EQ(listener->Count("request"), 1);
  EXPECT_EQ(client->log, (std::vector<std::string>{"connect", "sent"}));
  EXPECT_EQ(accepted.at(0)->Count("data"), 1);
}

TEST_F(SocketControlTest, ControlClosedByAnotherHandlerInTheSamePassGetsNothing) {
  listener = StartListener();
  std::shared_ptr<Peer> c1, c2, s1, s2;
  ConnectPair(&c1, &s1);
  ConnectPair(&c2, &s2);

  // Posted events: both sends complete at once, so both SendComplete events are due in the next
  // pass; the first handler closes the other control.
  c1->on_sent = [&] { c2->ctl.Close(); };
  EXPECT_TRUE(c1->ctl.SendData("one").ok());
  EXPECT_TRUE(c2->ctl.SendData("two").ok());
  DoEvents();
  EXPECT_EQ(c1->Count("sent"), 1);
  EXPECT_EQ(c2->Count("sent"), 0);

  // Readiness events: data for two server sides, sent before any pass; whichever is
  // dispatched first closes the other.
  std::shared_ptr<Peer> c3, c4, s3, s4;
  ConnectPair(&c3, &s3);
  ConnectPair(&c4, &s4);
  s3->on_data = [&](int32_t) { s4->ctl.Close(); };
  s4->on_data = [&](int32_t) { s3->ctl.Close(); };
  EXPECT_TRUE(c3->ctl.SendData("three").ok());
  EXPECT_TRUE(c4->ctl.SendData("four").ok());
  ASSERT_TRUE(RunUntil([&] { return s3->Count("data") + s4->Count("data") > 0; }));
  DoEvents();
  DoEvents();
  EXPECT_EQ(s3->log.size() + s4->log.size(), 1u);
}

TEST_F(SocketControlTest, CloseCancelsAnEventAlreadyDue) {
  listener = StartListener();
  std::shared_ptr<Peer> client, server;
  ConnectPair(&client, &server);
  EXPECT_TRUE(client->ctl.SendData("x").ok());
  client->ctl.Close();
  DoEvents();
  DoEvents();
  EXPECT_EQ(client->Count("sent"), 0);
}

TEST_F(SocketControlTest, HandlerMayDestroyItsOwnOwner) {
  listener = StartListener();
  auto client = StartClient(listener->ctl.LocalPort());
  // The listener's owner goes away inside its own ConnectionRequest, after accepting.
  auto accept = listener->on_request;
  listener->on_request = [&](int32_t id) {
    accept(id);
    listener.reset();
  };
  client->on_connect = [&] { EXPECT_TRUE(client->ctl.SendData("data").ok()); };
  ASSERT_TRUE(RunUntil([&] { return listener == nullptr && !accepted.empty(); }));

  // The accepted side's owner goes away inside its own DataArrival.
  auto server = accepted[0];
  accepted.clear();
  std::weak_ptr<Peer> watch = server;
  bool read = false;
  server->on_data = [&](int32_t) {
    std::string s;
    EXPECT_TRUE(server->ctl.GetData(s).ok());
    read = !s.empty();
    // The last owner: the control is destroyed inside its own event, and the sink is kept
    // alive until the handler returns.
    server.reset();
    EXPECT_FALSE(watch.expired());
  };
  ASSERT_TRUE(RunUntil([&] { return read; }));
  EXPECT_TRUE(watch.expired());
  // Destruction closed the socket.
  ASSERT_TRUE(RunUntil([&] { return client->Count("close") == 1; }));
}

TEST_F(SocketControlTest, OneMebibyteArrivesWholeOverSeveralDataArrivals) {
  listener = StartListener();
  std::shared_ptr<Peer> client, server;
  ConnectPair(&client, &server);
  std::string payload(1 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  }
  server->on_data = [&](int32_t n) {
    std::string chunk;
    EXPECT_TRUE(server->ctl.GetData(chunk, 65536).ok());
    EXPECT_EQ(chunk.size(), static_cast<size_t>(std::min(n, 65536)));
    server->received += chunk;
  };
  EXPECT_TRUE(client->ctl.SendData(payload).ok());
  ASSERT_TRUE(RunUntil(
      [&] { return server->received.size() >= payload.size() && client->Count("sent") == 1; }));
  EXPECT_TRUE(server->received == payload);
  EXPECT_GE(server->Count("data"), 16);
  EXPECT_EQ(client->Count("sent"), 1);
}

TEST_F(SocketControlTest, PartialGetDataReportsTheRestAgain) {
  listener = StartListener();
  std::shared_ptr<Peer> client, server;
  ConnectPair(&client, &server);
  std::vector<std::string> parts;
  server->on_data = [&](int32_t) {
    std::string s;
    EXPECT_TRUE(server->ctl.GetData(s, 5).ok());
    parts.push_back(s);
  };
  EXPECT_TRUE(client->ctl.SendData("hello world").ok());
  ASSERT_TRUE(RunUntil([&] { return parts.size() == 3; }));
  EXPECT_EQ(parts, (std::vector<std::string>{"hello", " worl", "d"}));
  EXPECT_EQ(server->reported, (std::vector<int32_t>{11, 6, 1}));
}

TEST_F(SocketControlTest, PeerCloseComesAfterTheDataWasRead) {
  listener = StartListener();
  std::shared_ptr<Peer> client, server;
  ConnectPair(&client, &server);
  client->on_data = [](int32_t) {};  // leaves the data unread for now
  EXPECT_TRUE(server->ctl.SendData("bye").ok());
  server->on_sent = [&] { server->ctl.Close(); };
  ASSERT_TRUE(RunUntil([&] { return client->Count("data") == 1 && server->Count("sent") == 1; }));
  DoEvents();
  DoEvents();
  EXPECT_EQ(client->log, (std::vector<std::string>{"connect", "data"}));
  std::string s;
  EXPECT_TRUE(client->ctl.GetData(s).ok());
  EXPECT_EQ(s, "bye");
  ASSERT_TRUE(RunUntil([&] { return client->Count("close") == 1; }));
  EXPECT_EQ(client->ctl.State(), SocketState::kPeerClosing);
  EXPECT_EQ(client->log, (std::vector<std::string>{"connect", "data", "close"}));
}

// Data and the peer's close that are both queued when the socket is read: the data, then the
// close, both from the same pass.
TEST_F(SocketControlTest, ACloseThatCameWithTheDataEndsTheSamePass) {
  listener = StartListener();
  int peer = -1;
  ASSERT_NO_FATAL_FAILURE(RawConnect(listener->ctl.LocalPort(), &peer));
  ASSERT_EQ(::write(peer, "last words", 10), 10);
  ::close(peer);
  ASSERT_TRUE(RunUntil([&] { return !accepted.empty(); }));
  auto server = accepted[0];
  ASSERT_TRUE(server->log.empty());  // watched from the pass that accepted it
  ASSERT_TRUE(HostLoopUntil([&] { return !server->log.empty(); }));
  EXPECT_EQ(server->log, (std::vector<std::string>{"data", "close"}));
  EXPECT_EQ(server->received, "last words");
  EXPECT_EQ(server->reported, (std::vector<int32_t>{10}));
  EXPECT_EQ(server->ctl.State(), SocketState::kPeerClosing);
}

TEST_F(SocketControlTest, ResetByThePeerRaisesError10054) {
  listener = StartListener();
  // A plain socket as the peer, so that it can close with a reset (linger 0).
  int peer = -1;
  ASSERT_NO_FATAL_FAILURE(RawConnect(listener->ctl.LocalPort(), &peer));
  ASSERT_TRUE(RunUntil([&] { return !accepted.empty(); }));
  auto server = accepted[0];
  linger lg{1, 0};
  ASSERT_EQ(::setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  ::close(peer);
  ASSERT_TRUE(RunUntil([&] { return !server->log.empty(); }));
  EXPECT_EQ(server->log, (std::vector<std::string>{"error 10054"}));
  EXPECT_EQ(server->ctl.State(), SocketState::kError);
  EXPECT_EQ(server->ctl.SendData("late").code(), errc::kSckBadState);
  server->ctl.Close();
  EXPECT_EQ(server->ctl.State(), SocketState::kClosed);
}

TEST_F(SocketControlTest, RequestThatNobodyAcceptsIsClosed) {
  auto l = Peer::Make();
  ASSERT_TRUE(l->ctl.Listen().ok());
  int32_t request = -1;
  l->on_request = [&](int32_t id) { request = id; };
  auto client = StartClient(l->ctl.LocalPort());
  ASSERT_TRUE(RunUntil([&] { return client->Count("close") + client->Count("error 10054") == 1; }));
  EXPECT_EQ(l->Count("request"), 1);
  // Too late: the request is gone once its event has returned.
  auto late = Peer::Make();
  Status st = late->ctl.Accept(request);
  EXPECT_EQ(st.code(), errc::kSckInvalidArgument);
  EXPECT_EQ(late->ctl.State(), SocketState::kClosed);
}

TEST_F(SocketControlTest, RefusedConnectionRaisesError10061) {
  // A port that was just free: listen on one, then close it.
  int32_t port;
  {
    auto l = Peer::Make();
    ASSERT_TRUE(l->ctl.Listen().ok());
    port = l->ctl.LocalPort();
  }
  auto client = StartClient(port);
  EXPECT_TRUE(client->log.empty());
  ASSERT_TRUE(RunUntil([&] { return !client->log.empty(); }));
  EXPECT_EQ(client->log, (std::vector<std::string>{"error 10061"}));
  EXPECT_FALSE(client->error_text.empty());
  EXPECT_EQ(client->ctl.State(), SocketState::kError);
  // Close, then a new attempt from the same control is allowed. LocalPort now holds the port
  // the kernel chose, which another connection may share; as with Winsock, 0 lets it choose again.
  client->ctl.Close();
  EXPECT_EQ(client->ctl.State(), SocketState::kClosed);
  EXPECT_GT(client->ctl.LocalPort(), 0);
  ASSERT_TRUE(client->ctl.SetLocalPort(0).ok());
  EXPECT_TRUE(client->ctl.Connect().ok());
  ASSERT_TRUE(RunUntil([&] { return client->log.size() == 2; }));
  EXPECT_EQ(client->log[1], "error 10061");
}

TEST_F(SocketControlTest, TakenPortsFailAtOnceWith10048) {
  listener = StartListener();
  const int32_t port = listener->ctl.LocalPort();

  auto second = Peer::Make();
  ASSERT_TRUE(second->ctl.SetLocalPort(port).ok());
  Status st = second->ctl.Listen();
  EXPECT_EQ(st.code(), errc::kWsaAddressInUse) << st.ToString();
  EXPECT_EQ(second->ctl.State(), SocketState::kClosed);

  auto client = Peer::Make();
  client->ctl.SetRemoteHost("127.0.0.1");
  ASSERT_TRUE(client->ctl.SetRemotePort(port).ok());
  ASSERT_TRUE(client->ctl.SetLocalPort(port).ok());
  st = client->ctl.Connect();
  EXPECT_EQ(st.code(), errc::kWsaAddressInUse) << st.ToString();
  EXPECT_NE(st.message().find(std::to_string(port)), std::string::npos) << st.message();
  EXPECT_EQ(client->ctl.State(), SocketState::kClosed);

  // A free local port works on the same control.
  ASSERT_TRUE(client->ctl.SetLocalPort(0).ok());
  ASSERT_TRUE(client->ctl.Connect().ok());
  ASSERT_TRUE(RunUntil([&] { return client->Count("connect") == 1; }));
  EXPECT_TRUE(second->log.empty());
}

TEST_F(SocketControlTest, MembersRejectBadArgumentsAndStates) {
  auto c = Peer::Make();
  EXPECT_EQ(c->ctl.SetLocalPort(-1).code(), errc::kInvalidProperty);
  EXPECT_EQ(c->ctl.SetLocalPort(65536).code(), errc::kInvalidProperty);
  EXPECT_EQ(c->ctl.SetRemotePort(70000).code(), errc::kInvalidProperty);
  EXPECT_EQ(c->ctl.LocalPort(), 0);

  ASSERT_TRUE(c->ctl.SetRemotePort(1).ok());
  Status st = c->ctl.Connect();  // no host
  EXPECT_EQ(st.code(), errc::kWsaHostNotFound);
  c->ctl.SetRemoteHost("127.0.0.1");
  ASSERT_TRUE(c->ctl.SetRemotePort(0).ok());
  EXPECT_EQ(c->ctl.Connect().code(), errc::kWsaAddressNotAvailable);
  EXPECT_EQ(c->ctl.State(), SocketState::kClosed);

  std::string out = "stale";
  EXPECT_EQ(c->ctl.GetData(out).code(), errc::kSckBadState);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(c->ctl.SendData("x").code(), errc::kSckBadState);
  EXPECT_EQ(c->ctl.Accept(12345).code(), errc::kSckInvalidArgument);

  ASSERT_TRUE(c->ctl.Listen().ok());
  EXPECT_EQ(c->ctl.Listen().code(), errc::kSckBadState);
  EXPECT_EQ(c->ctl.Connect().code(), errc::kSckBadState);
  DoEvents();
  EXPECT_TRUE(c->log.empty());

  c->ctl.SetTag("payload");
  EXPECT_EQ(c->ctl.Tag(), "payload");
}

}  // namespace
}  // namespace qz::platform
