#include "transport/list_order.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "transport/loopback_testing.h"
#include "transport/outbound.h"
#include "transport/payload.h"

namespace qz::transport {
namespace {

using testing::OldestRegistered;
using testing::RaisedEvent;
using testing::RawClient;
using testing::RegisteredCount;
using testing::WaitFor;

class InboundTest : public testing::ListeningTest {
 protected:
  // Connects a raw client and waits until its ListOrder is registered.
  std::shared_ptr<RawClient> Connected(std::weak_ptr<ListOrder>* accepted) {
    const size_t before = RegisteredCount();
    auto client = RawClient::Connect(port());
    EXPECT_TRUE(WaitFor([&] { return client->connected && RegisteredCount() == before + 1; }));
    if (RegisteredCount() != 0) {
      *accepted =
          std::dynamic_pointer_cast<ListOrder>(Module1().gConnections->Entries().back().object);
    }
    return client;
  }

  // Sends bytes on a connection of their own, closes it, and waits for the ListOrder to end.
  void Deliver(const std::string& bytes) {
    const size_t forms = LoadedFormCount();
    std::weak_ptr<ListOrder> accepted;
    auto client = Connected(&accepted);
    ASSERT_FALSE(accepted.expired());
    if (!bytes.empty()) client->Send(bytes);
    client->control.Close();
    ASSERT_TRUE(WaitFor([&] { return accepted.expired(); })) << "closed, removed and unloaded";
    EXPECT_EQ(RegisteredCount(), 0u);
    EXPECT_EQ(LoadedFormCount(), forms) << "only the listener forms";
  }
};

TEST_F(InboundTest, DispatchesByTheExactKindWithTheRestOfTheText) {
  const std::string message = BuildMessagePayload("hi", "u1", "S", "M", 7);
  Deliver(message);
  Deliver("INwho");
  Deliver("OT");
  Deliver("YH");
  Deliver("yhxx");
  Deliver("Yh");
  Deliver("Y");
  Deliver("");  // connects and closes without sending
  const std::vector<RaisedEvent> expected = {
      {"acceptMessage", message.substr(2)},
      {"userLogin", "who"},
      {"userLogout", ""},
      {"acceptMessage", ""},
  };
  EXPECT_EQ(sink_.events, expected);
}

TEST_F(InboundTest, TheEventIsRaisedWhileTheObjectIsRegisteredWithItsSocketClosed) {
  bool checked = false;
  sink_.on_event = [&] {
    auto order = OldestRegistered<ListOrder>();
    ASSERT_NE(order, nullptr);
    EXPECT_EQ(order->Use().State(), platform::SocketState::kClosed);
    checked = true;
  };
  Deliver("YHx");
  EXPECT_TRUE(checked);
}

TEST_F(InboundTest, APayloadSentInPiecesArrivesWhole) {
  std::weak_ptr<ListOrder> accepted;
  auto client = Connected(&accepted);
  const std::string message = BuildMessagePayload("hello", "u1", "S", "M", 7);
  const std::vector<std::string> pieces = {message.substr(0, 4), message.substr(4, 6),
                                           message.substr(10)};
  size_t sent = 0;
  for (const std::string& piece : pieces) {
    client->Send(piece);
    sent += piece.size();
    ASSERT_TRUE(WaitFor([&] {
      auto order = accepted.lock();
      return order && order->BytesReceived() == sent;
    }));
    EXPECT_TRUE(sink_.events.empty()) << "nothing is raised before the sender closes";
  }
  client->control.Close();
  ASSERT_TRUE(WaitFor([&] { return accepted.expired(); }));
  ASSERT_EQ(sink_.events.size(), 1u);
  EXPECT_EQ(sink_.events[0], (RaisedEvent{"acceptMessage", message.substr(2)}));
}

TEST_F(InboundTest, OneMebibyteIsDeliveredAndOneByteMoreIsDropped) {
  const std::string limit = "YH" + std::string(ListOrder::kMaxPayloadBytes - 2, 'x');
  Deliver(limit);
  ASSERT_EQ(sink_.events.size(), 1u);
  EXPECT_EQ(sink_.events[0].text.size(), ListOrder::kMaxPayloadBytes - 2);

  std::weak_ptr<ListOrder> accepted;
  auto client = Connected(&accepted);
  ASSERT_TRUE(client->control.SendData(limit + "x").ok());
  ASSERT_TRUE(WaitFor([&] { return accepted.expired(); })) << "dropped before the sender closed";
  EXPECT_EQ(sink_.events.size(), 1u);
  EXPECT_EQ(RegisteredCount(), 0u);
}

TEST_F(InboundTest, AResetConnectionRaisesNothing) {
  std::weak_ptr<ListOrder> accepted;
  auto client = Connected(&accepted);
  client->Send("YHpart");
  ASSERT_TRUE(WaitFor([&] {
    auto order = accepted.lock();
    return order && order->BytesReceived() == 6;
  }));
  testing::RaiseError(*accepted.lock());
  EXPECT_TRUE(accepted.expired());
  EXPECT_EQ(RegisteredCount(), 0u);
  ASSERT_TRUE(WaitFor([&] { return client->peer_closed || client->failed; }));
  EXPECT_TRUE(sink_.events.empty());
}

TEST_F(InboundTest, PeersThatNeverCloseAreHeldUntilTheDrain) {
  std::weak_ptr<ListOrder> silent_order, partial_order;
  auto silent = Connected(&silent_order);
  auto partial = Connected(&partial_order);
  partial->Send("YHnot finished");
  ASSERT_TRUE(WaitFor([&] { return partial_order.lock()->BytesReceived() == 14; }));
  for (int i = 0; i < 3; ++i) platform::DoEvents();
  EXPECT_EQ(RegisteredCount(), 2u);
  CloseAllConnections();
  EXPECT_TRUE(silent_order.expired());
  EXPECT_TRUE(partial_order.expired());
  EXPECT_TRUE(Module1().gConnections == nullptr);
  ASSERT_TRUE(WaitFor([&] { return silent->peer_closed && partial->peer_closed; }));
  EXPECT_TRUE(sink_.events.empty());
}

// A receiver in gMsgForm's place that fails every delivery.
class FailingReceiver final : public PayloadReceiver {
 public:
  void Receive(PayloadKind, std::string&) override { throw std::runtime_error("cannot receive"); }
};

TEST_F(InboundTest, AFailingOrThrowingHandlerStillEndsTheConnection) {
  sink_.on_event = [] { throw std::runtime_error("the host's handler failed"); };
  Deliver("YHfirst");
  sink_.on_event = nullptr;

  // Without a subscriber the delivery goes to gMsgForm, whose receiver fails.
  form_->Subscribe(nullptr);
  Module1().gMsgForm = std::make_shared<FailingReceiver>();
  Deliver("YHlost");
  Module1().gMsgForm = form_;
  form_->Subscribe(testing::Unowned(sink_));

  Deliver("YHsecond");
  ASSERT_EQ(sink_.events.size(), 2u);
  EXPECT_EQ(sink_.events[1].text, "second");
}

TEST_F(InboundTest, EachSubscribedListenerFormHearsItsOwnConnections) {
  testing::RecordingSink other_sink;
  auto other = StartListening(other_sink);
  ASSERT_EQ(Module1().gMsgForm, other);
  Deliver("YHto the first form");
  ASSERT_EQ(sink_.events.size(), 1u);
  EXPECT_EQ(sink_.events[0].text, "to the first form");
  EXPECT_TRUE(other_sink.events.empty());
}

TEST_F(InboundTest, AnEarlierListenerFormKeepsListeningAndDeliversToTheLaterOne) {
  testing::RecordingSink later_sink;
  form_->Subscribe(nullptr);  // as when its object stores a newer form
  auto later = StartListening(later_sink);
  ASSERT_EQ(Module1().gMsgForm, later);
  Deliver("YHto the earlier port");  // form_ still listens, though gMsgForm is the later form
  EXPECT_TRUE(sink_.events.empty());
  ASSERT_EQ(later_sink.events.size(), 1u);
  EXPECT_EQ(later_sink.events[0].text, "to the earlier port");

  // With the later form unloaded no listener form is referenced: the data is read, the socket
  // closed, and the object waits for the drain.
  later->Subscribe(nullptr);
  later->Unload();
  ASSERT_TRUE(Module1().gMsgForm == nullptr);
  std::weak_ptr<ListOrder> accepted;
  auto client = Connected(&accepted);
  client->Send("YHnobody");
  client->control.Close();
  ASSERT_TRUE(WaitFor([&] {
    auto order = accepted.lock();
    return order && order->Use().State() == platform::SocketState::kClosed;
  }));
  for (int i = 0; i < 3; ++i) platform::DoEvents();
  EXPECT_EQ(RegisteredCount(), 1u);
  EXPECT_TRUE(sink_.events.empty());
  EXPECT_EQ(later_sink.events.size(), 1u);
  CloseAllConnections();
  EXPECT_TRUE(accepted.expired());
}

}  // namespace
}  // namespace qz::transport
