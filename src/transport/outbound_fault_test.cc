// Outbound delivery to recipients that misbehave: one that refuses, one that accepts and never
// reads, one whose listen queue is full. Each delivery proceeds on its own: the others still
// arrive while the stuck ones are stuck.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/socket_api.h"
#include "platform/testing/process_testing.h"
#include "transport/delivery_queue.h"
#include "transport/frm_order.h"
#include "transport/loopback_testing.h"
#include "transport/outbound.h"
#include "transport/payload.h"

namespace qz::transport {
namespace {

using std::chrono::milliseconds;
using testing::kLoopback;
using testing::RawPeer;
using testing::RegisteredCount;
using testing::WaitFor;

// Accepts connections and never reads from them.
class DeafPeer : public platform::SocketEvents {
 public:
  static std::shared_ptr<DeafPeer> Listen() {
    auto peer = std::make_shared<DeafPeer>();
    peer->listener.SetEvents(peer);
    EXPECT_TRUE(peer->listener.Listen().ok());
    return peer;
  }
  void OnConnectionRequest(int32_t requestID) override {
    auto c = std::make_unique<platform::SocketControl>();
    if (c->Accept(requestID).ok()) accepted.push_back(std::move(c));
  }
  int32_t port() const { return listener.LocalPort(); }
  platform::SocketControl listener;
  std::vector<std::unique_ptr<platform::SocketControl>> accepted;
};

int32_t ClosedPort() {
  auto gone = RawPeer::Listen();
  const int32_t port = gone->port();
  gone->listener.Close();
  return port;
}

class OutboundFaultTest : public testing::TransportTest {
 protected:
  void TearDown() override {
    for (int fd : raw_) platform::testing::RawClose(fd);
    TransportTest::TearDown();
  }
  // A listener that never accepts, its queue already full: connecting to it hangs. Its port, or
  // 0 when it could not be made.
  uint16_t FullListener() {
    uint16_t port = 0;
    const int listener = platform::testing::RawListen(0, &port);
    if (listener < 0) return 0;
    raw_.push_back(listener);
    for (int i = 0; i < 3; ++i) raw_.push_back(platform::testing::RawConnectNonBlocking(port));
    return port;
  }
  std::vector<int> raw_;
};

TEST_F(OutboundFaultTest, StuckRecipientsDoNotHoldUpTheOthers) {
  const uint16_t full_port = FullListener();
  ASSERT_NE(full_port, 0);

  auto deaf = DeafPeer::Listen();
  auto good = RawPeer::Listen();
  const std::string small = BuildMessagePayload("hello", "u1", "S", "M", 7);
  // More than the kernel buffers of both ends hold, so that the send never completes.
  const std::string huge = BuildMessagePayload(std::string(32 << 20, 'z'), "u1", "S", "M", 7);

  std::map<std::string, std::vector<Status>> ends;  // each delivery's outcomes, by recipient
  const auto told = [&ends](std::string name) {
    return [&ends, name](const Status& s) { ends[name].push_back(s); };
  };
  SendToPeer(kLoopback, ClosedPort(), small, {}, told("closed"));
  SendToPeer(kLoopback, deaf->port(), huge, {}, told("deaf"));
  SendToPeer(kLoopback, full_port, small, {}, told("full"));
  SendToPeer(kLoopback, good->port(), small, {}, told("good"));

  ASSERT_TRUE(WaitFor([&] { return good->connections.size() == 1 && good->AllClosed(); },
                      milliseconds(2000)))
      << "the well-behaved recipient waited for the stuck ones";
  EXPECT_EQ(good->connections[0]->bytes, EncodeForWire(small));
  ASSERT_TRUE(WaitFor([&] { return RegisteredCount() == 2; }))
      << "the refused delivery ended after its reconnect";
  EXPECT_EQ(deaf->accepted.size(), 1u);
  for (const auto& entry : Module1().gConnections->Entries()) {
    const auto order = std::static_pointer_cast<frmOrder>(entry.object);
    EXPECT_TRUE(order->Use().State() == platform::SocketState::kConnected ||
                order->Use().State() == platform::SocketState::kConnecting)
        << "still under way: " << static_cast<int>(order->Use().State());
  }

  // A later message to the good recipient is not queued behind them either.
  SendToPeer(kLoopback, good->port(), small);
  EXPECT_TRUE(WaitFor([&] { return good->connections.size() == 2 && good->AllClosed(); },
                      milliseconds(2000)));

  // Each delivery told its end once: sent, refused after the reconnect, and the two stuck ones
  // ended by the drain at logout.
  CloseAllConnections();
  ASSERT_EQ(ends.size(), 4u);
  for (const auto& [name, outcomes] : ends) ASSERT_EQ(outcomes.size(), 1u) << name;
  EXPECT_TRUE(ends["good"][0].ok());
  EXPECT_EQ(ends["closed"][0].code(), errc::kWsaConnectionRefused) << ends["closed"][0].ToString();
  EXPECT_EQ(ends["deaf"][0].code(), errc::kDeliveryCancelled);
  EXPECT_EQ(ends["full"][0].code(), errc::kDeliveryCancelled);
}

// Recipients that never answer cannot take every descriptor: deliveries beyond the limit wait
// in order and start as earlier ones end, and each still reports its end.
TEST_F(OutboundFaultTest, DeliveriesBeyondTheLimitWaitForASlotInsteadOfFailing) {
  platform::testing::ScopedDescriptorLimit descriptors(128);
  ASSERT_TRUE(descriptors.ok());
  platform::sockets::SetConnectWaitLimit(milliseconds(300));
  const size_t limit = DeliveryLimit();
  ASSERT_EQ(limit, 64u);
  const uint16_t full_port = FullListener();
  ASSERT_NE(full_port, 0);

  auto good = RawPeer::Listen();
  const std::string small = BuildMessagePayload("behind the ghosts", "u1", "S", "M", 7);
  std::vector<Status> ghost_ends, good_ends;
  size_t peak = 0;
  const size_t ghosts = limit + 8, live = 10;
  for (size_t i = 0; i < ghosts; ++i) {
    SendToPeer(kLoopback, full_port, small, {}, [&](const Status& s) { ghost_ends.push_back(s); });
    peak = std::max(peak, DeliveriesInFlight());
  }
  for (size_t i = 0; i < live; ++i) {
    SendToPeer(kLoopback, good->port(), small, {},
               [&](const Status& s) { good_ends.push_back(s); });
  }
  EXPECT_EQ(QueuedDeliveries(), ghosts + live - limit);
  ASSERT_TRUE(WaitFor(
      [&] {
        peak = std::max(peak, DeliveriesInFlight());
        return good_ends.size() == live && ghost_ends.size() == ghosts &&
               good->connections.size() == live && good->AllClosed();
      },
      milliseconds(15000)))
      << "the live recipients never got their turn";
  platform::sockets::SetConnectWaitLimit(platform::sockets::kConnectWaitLimit);
  EXPECT_LE(peak, limit);
  EXPECT_EQ(good->connections.size(), live);
  for (const Status& s : good_ends) EXPECT_TRUE(s.ok()) << s.ToString();
  ASSERT_EQ(ghost_ends.size(), ghosts);
  for (const Status& s : ghost_ends) EXPECT_EQ(s.code(), errc::kWsaTimedOut) << s.ToString();
}

// The drain at logout ends waiting deliveries unstarted, each reported as cancelled.
TEST_F(OutboundFaultTest, TheDrainCancelsWaitingDeliveries) {
  platform::testing::ScopedDescriptorLimit descriptors(64);
  ASSERT_TRUE(descriptors.ok());
  const uint16_t full_port = FullListener();
  ASSERT_NE(full_port, 0);
  std::vector<Status> ends;
  const size_t asked = DeliveryLimit() + 3;
  for (size_t i = 0; i < asked; ++i) {
    SendToPeer(kLoopback, full_port, "YHx", {}, [&](const Status& s) { ends.push_back(s); });
  }
  EXPECT_EQ(QueuedDeliveries(), 3u);
  CloseAllConnections();
  EXPECT_EQ(QueuedDeliveries(), 0u);
  ASSERT_EQ(ends.size(), asked);
  for (const Status& s : ends) EXPECT_EQ(s.code(), errc::kDeliveryCancelled);
  platform::EventLoop::Current().RunFor(milliseconds(50));  // nothing starts after the drain
  EXPECT_EQ(DeliveriesInFlight(), 0u);
}

TEST_F(OutboundFaultTest, AStartThatFailsAtOnceTellsWhy) {
  std::vector<Status> ends;
  SendToPeer(kLoopback, 0, "YHx", {}, [&](const Status& s) { ends.push_back(s); });
  SendToPeer("no host here!", 14000, "YHx", {}, [&](const Status& s) { ends.push_back(s); });
  ASSERT_EQ(ends.size(), 2u) << "both ended before SendToPeer returned";
  EXPECT_EQ(ends[0].code(), errc::kWsaAddressNotAvailable);
  EXPECT_EQ(ends[1].code(), errc::kWsaHostNotFound);
}

}  // namespace
}  // namespace qz::transport
