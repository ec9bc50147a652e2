#include "transport/outbound.h"

#include <gtest/gtest.h>

#include "platform/random.h"
#include "transport/frm_order.h"
#include "transport/loopback_testing.h"
#include "transport/payload.h"

namespace qz::transport {
namespace {

using testing::kLoopback;
using testing::OldestRegistered;
using testing::RawPeer;
using testing::ReadUsedPorts;
using testing::RegisteredCount;
using testing::WaitFor;
using namespace std::string_literals;

const std::string kPayload = BuildMessagePayload("hi", "u1", "S", "M", 7);
const std::string kWireBytes = "\x59\x48\x68\x69\x0F\x75\x31\x0F\x53\x0F\x4D\x0F\x37"s;

TEST(AddressTailTest, TheNumberAfterTheLastDot) {
  EXPECT_EQ(AddressTail("127.0.0.1"), 1);
  EXPECT_EQ(AddressTail("127.0.4.33"), 33);
  EXPECT_EQ(AddressTail("a.b. 7x"), 7);
  EXPECT_EQ(AddressTail("12"), 12);
  EXPECT_EQ(AddressTail("25host"), 25);
  EXPECT_EQ(AddressTail("host"), 0);
  EXPECT_EQ(AddressTail("1.2.3."), 0);
  EXPECT_EQ(AddressTail(""), 0);
}

class OutboundTest : public testing::TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    pick_ = [this](int32_t base) {
      bases_.push_back(base);
      if (on_pick_) on_pick_();
      int32_t port = 0;
      if (ports_.size() < forced_.size()) {
        port = forced_[ports_.size()];
      } else {
        platform::ReseedFromTimeOfDay();
        port = PickFreePort(base, ReadUsedPorts(), platform::NextRandom);
      }
      ports_.push_back(port);
      return port;
    };
  }

  PortPicker pick_;  // the real choice, recorded, or the forced one
  std::vector<int32_t> bases_, ports_;
  std::vector<int32_t> forced_;    // the first choices, in order
  std::function<void()> on_pick_;  // runs inside each choice
};

TEST_F(OutboundTest, AListeningPeerGetsTheExactBytesOnceThenTheObjectEnds) {
  auto peer = RawPeer::Listen();
  SendToPeer(kLoopback, peer->port(), kPayload, pick_);
  EXPECT_EQ(bases_, std::vector<int32_t>{1});
  ASSERT_TRUE(WaitFor([&] {
    return RegisteredCount() == 0 && peer->connections.size() == 1 && peer->AllClosed();
  }));
  EXPECT_EQ(peer->connections[0]->bytes, kWireBytes);
  EXPECT_EQ(peer->connections[0]->control.RemotePort(), ports_[0]) << "sent from the chosen port";
  EXPECT_GE(ports_[0], 9001);
  EXPECT_EQ(LoadedFormCount(), 0u);
}

TEST_F(OutboundTest, APeerThatDoesNotListenGetsOneReconnectFromTheSamePort) {
  int32_t closed_port = 0;
  {
    auto gone = RawPeer::Listen();
    closed_port = gone->port();
    gone->listener.Close();
  }
  SendToPeer(kLoopback, closed_port, kPayload, pick_);
  std::shared_ptr<frmOrder> order = OldestRegistered<frmOrder>();
  ASSERT_NE(order, nullptr) << "the reconnect's outcome comes from a later pass";
  ASSERT_TRUE(WaitFor([&] { return order->Retried(); }));
  EXPECT_EQ(order->Use().LocalPort(), ports_[0]);
  EXPECT_EQ(order->Use().RemotePort(), closed_port);
  ASSERT_TRUE(WaitFor([&] { return RegisteredCount() == 0; }));
  EXPECT_FALSE(order->IsLoaded());
  EXPECT_EQ(ports_.size(), 1u) << "no new local port for the reconnect";
}

TEST_F(OutboundTest, ATakenLocalPortIsRetriedOncePastIt) {
  auto holder = RawPeer::ListenLow();  // holds the first local port
  auto peer = RawPeer::Listen();
  forced_ = {holder->port()};
  std::shared_ptr<frmOrder> order;
  on_pick_ = [&] { order = OldestRegistered<frmOrder>(); };
  SendToPeer(kLoopback, peer->port(), kPayload, pick_);
  ASSERT_EQ(bases_, (std::vector<int32_t>{1, 1 + holder->port()}));
  ASSERT_TRUE(WaitFor([&] {
    return RegisteredCount() == 0 && peer->connections.size() == 1 && peer->AllClosed();
  }));
  EXPECT_EQ(peer->connections[0]->bytes, kWireBytes);
  EXPECT_EQ(peer->connections[0]->control.RemotePort(), ports_[1]);
  ASSERT_NE(order, nullptr);
  EXPECT_FALSE(order->Retried());
  EXPECT_FALSE(order->IsLoaded());
  EXPECT_TRUE(holder->connections.empty());
}

TEST_F(OutboundTest, AStartThatFailsAtOnceIsRemovedBeforeSendToPeerReturns) {
  SendToPeer(kLoopback, 0, kPayload, pick_);
  EXPECT_EQ(RegisteredCount(), 0u);
  SendToPeer("", 14000, kPayload, pick_);
  EXPECT_EQ(RegisteredCount(), 0u);
  EXPECT_EQ(LoadedFormCount(), 0u);
}

// A payload too large for the socket buffers, so that the peer's reset meets it mid-transfer.
std::string LargePayload() { return "YH" + std::string(size_t{16} << 20, 'x'); }

TEST_F(OutboundTest, AFailedTransferReconnectsAndSendsTheWholePayloadAgain) {
  auto peer = RawPeer::Listen();
  peer->resets = 1;
  const std::string payload = LargePayload();
  SendToPeer(kLoopback, peer->port(), payload, pick_);
  std::shared_ptr<frmOrder> order = OldestRegistered<frmOrder>();
  ASSERT_NE(order, nullptr);
  ASSERT_TRUE(WaitFor(
      [&] { return RegisteredCount() == 0 && peer->connections.size() == 2 && peer->AllClosed(); },
      std::chrono::seconds(20)));
  EXPECT_TRUE(order->Retried());
  EXPECT_TRUE(peer->connections[1]->bytes == payload) << "the whole payload, from the start";
  EXPECT_EQ(peer->connections[0]->control.RemotePort(), ports_[0]);
  EXPECT_EQ(peer->connections[1]->control.RemotePort(), ports_[0]) << "from the same local port";
  EXPECT_EQ(ports_.size(), 1u);
}

TEST_F(OutboundTest, ASecondFailedTransferEndsTheDelivery) {
  auto peer = RawPeer::Listen();
  peer->resets = 3;
  SendToPeer(kLoopback, peer->port(), LargePayload(), pick_);
  ASSERT_TRUE(WaitFor([&] { return RegisteredCount() == 0; }, std::chrono::seconds(20)));
  ASSERT_TRUE(WaitFor([&] { return peer->AllClosed(); }));
  EXPECT_EQ(peer->connections.size(), 2u);
  EXPECT_EQ(LoadedFormCount(), 0u);
}

TEST_F(OutboundTest, ASendOrReconnectThatFailsAtOnceCountsAsAnError) {
  // Connect handler on a control that is not connected: SendData fails, so it reconnects.
  auto peer = RawPeer::Listen();
  auto order = frmOrder::Create();
  order->Load();
  RegisterConnection(order);
  order->Use().SetRemoteHost(kLoopback);
  ASSERT_TRUE(order->Use().SetRemotePort(peer->port()).ok());
  order->Use().SetTag(kPayload);
  static_cast<platform::SocketEvents&>(*order).OnConnect();
  EXPECT_TRUE(order->Retried());
  ASSERT_TRUE(WaitFor([&] {
    return RegisteredCount() == 0 && peer->connections.size() == 1 && peer->AllClosed();
  }));
  EXPECT_EQ(peer->connections[0]->bytes, kWireBytes);

  // Error handler whose reconnect fails at once (no remote port): removed at once.
  auto doomed = frmOrder::Create();
  doomed->Load();
  RegisterConnection(doomed);
  doomed->Use().SetRemoteHost(kLoopback);
  testing::RaiseError(*doomed);
  EXPECT_EQ(RegisteredCount(), 0u);
  EXPECT_FALSE(doomed->IsLoaded());
}

TEST_F(OutboundTest, LogoutDrainWhileDeliveriesAreInFlight) {
  testing::RecordingSink sink;
  auto form = StartListening(sink);
  for (int i = 0; i < 3; ++i) {
    SendToPeer(kLoopback, form->Listener().LocalPort(), kPayload, pick_);
  }
  auto peer = RawPeer::Listen();
  // More than the kernel's buffers hold: this one is still sending when the drain comes.
  SendToPeer(kLoopback, peer->port(), "YH" + std::string(64 << 20, 'z'), pick_);
  ASSERT_GT(RegisteredCount(), 0u);
  // Inbound objects accepted during the drain's passes are drained as well.
  CloseAllConnections();
  EXPECT_TRUE(Module1().gConnections == nullptr);
  EXPECT_EQ(LoadedFormCount(), 1u) << "only the listener form";
  // Connections still queued at the listener end by themselves.
  ASSERT_TRUE(WaitFor([&] { return peer->AllClosed() && RegisteredCount() == 0; }));
}

}  // namespace
}  // namespace qz::transport
