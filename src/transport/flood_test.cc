// The inbound side under abuse: floods of connections that never send, payloads over the cap,
// peers that reset halfway or trickle byte by byte. Whatever they do, a well-behaved peer's
// message still arrives and the process keeps its descriptors.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "platform/testing/process_testing.h"
#include "transport/list_order.h"
#include "transport/loopback_testing.h"
#include "transport/payload.h"

namespace qz::transport {
namespace {

using platform::testing::ChildProcess;
using platform::testing::OpenDescriptorCount;
using platform::testing::Pipe;
using platform::testing::RunLoopUntil;
using std::chrono::milliseconds;
using testing::RaisedEvent;
using testing::RawClient;
using testing::RegisteredCount;
using testing::WaitFor;

class InboundFaultTest : public testing::ListeningTest {
 protected:
  // A whole message from a peer that behaves: connect, send, close.
  void SendWellBehaved(const std::string& bytes) {
    auto client = RawClient::Connect(port());
    ASSERT_TRUE(WaitFor([&] { return client->connected; }));
    client->Send(bytes);
    client->control.Close();
  }

  bool Received(const std::string& body) {
    return std::count(sink_.events.begin(), sink_.events.end(),
                      RaisedEvent{"acceptMessage", body}) == 1;
  }
};

TEST_F(InboundFaultTest, ASilentFloodNeitherExhaustsDescriptorsNorSilencesTheListener) {
  constexpr int kFlood = 2000;
  // The soft limit most systems start processes with; without a bound on what is held, the
  // flood exhausts it.
  platform::testing::ScopedDescriptorLimit limit(1024);
  ASSERT_TRUE(limit.ok());
  ASSERT_EQ(ListOrder::HeldLimit(), ListOrder::kMaxHeldConnections);
  const size_t descriptors_before = OpenDescriptorCount();

  // The flood comes from another process, so that its own sockets count against its limit.
  Pipe ready, release;
  const auto target = static_cast<uint16_t>(port());
  ChildProcess flood(
      [&] {
        if (!platform::testing::SetDescriptorLimit(kFlood + 64)) return 2;
        std::vector<int> fds;
        for (int i = 0; i < kFlood; ++i) {
          const int fd = platform::testing::RawConnectNonBlocking(target);
          if (fd < 0) return 3;
          fds.push_back(fd);
        }
        if (!platform::testing::RawAwaitConnected(fds, milliseconds(20000))) return 4;
        ready.Write('r');
        release.Read(milliseconds(30000));
        return 0;
      },
      {ready.write_fd(), release.read_fd()});
  ASSERT_TRUE(flood.started());

  size_t peak = descriptors_before;
  const auto track = [&] { peak = std::max(peak, OpenDescriptorCount()); };
  ASSERT_TRUE(RunLoopUntil(
      [&] {
        track();
        return ready.TryRead() == 'r';
      },
      milliseconds(20000)))
      << "the flood could not connect";

  const std::string message = BuildMessagePayload("still heard", "u1", "S", "M", 7);
  SendWellBehaved(message);
  EXPECT_TRUE(RunLoopUntil(
      [&] {
        track();
        return Received(message.substr(2));
      },
      milliseconds(10000)))
      << "a well-behaved peer was not heard during the flood";
  EXPECT_LE(ListOrder::HeldCount(), ListOrder::HeldLimit());
  EXPECT_LE(RegisteredCount(), ListOrder::HeldLimit());
  EXPECT_LE(peak, descriptors_before + ListOrder::HeldLimit() + 16)
      << "descriptors grew with the flood";

  release.Write('x');
  EXPECT_EQ(flood.Wait(milliseconds(10000)), 0);
}

TEST_F(InboundFaultTest, WhenAllHeldConnectionsHaveSentTheOldestIsDropped) {
  // Below the limit nothing is dropped; at it, a new request drops the oldest talker.
  std::vector<std::shared_ptr<RawClient>> talkers;
  const size_t limit = ListOrder::HeldLimit();
  for (size_t i = 0; i < limit; ++i) {
    talkers.push_back(RawClient::Connect(port()));
    ASSERT_TRUE(WaitFor([&] { return ListOrder::HeldCount() == i + 1; }));
    talkers.back()->Send("YHpart");
  }
  std::weak_ptr<ListOrder> oldest = testing::OldestRegistered<ListOrder>();
  ASSERT_TRUE(WaitFor([&] {
    for (const auto& entry : Module1().gConnections->Entries()) {
      if (std::static_pointer_cast<ListOrder>(entry.object)->BytesReceived() != 6) return false;
    }
    return true;
  }));
  ASSERT_FALSE(oldest.expired());

  const std::string message = BuildMessagePayload("newcomer", "u1", "S", "M", 7);
  SendWellBehaved(message);
  ASSERT_TRUE(WaitFor([&] { return Received(message.substr(2)); }));
  EXPECT_TRUE(oldest.expired()) << "the oldest connection made room";
  EXPECT_EQ(ListOrder::HeldCount(), limit - 1) << "the newcomer finished; the others are held";
  EXPECT_TRUE(WaitFor([&] { return talkers.front()->peer_closed || talkers.front()->failed; }));
  EXPECT_FALSE(talkers.back()->peer_closed || talkers.back()->failed);
}

// A flood that sends one byte on every connection must not outrank a sender that has just
// connected and not yet sent: room is made by ending the connection held longest.
TEST_F(InboundFaultTest, AFloodOfOneByteTalkersDoesNotPushOutASenderThatJustConnected) {
  std::vector<std::shared_ptr<RawClient>> flood;
  const size_t limit = ListOrder::HeldLimit();
  const auto add_talker = [&] {
    const size_t before = ListOrder::HeldCount();
    flood.push_back(RawClient::Connect(port()));
    ASSERT_TRUE(WaitFor([&] {
      return flood.back()->connected && (ListOrder::HeldCount() > before || before == limit);
    }));
    flood.back()->Send("Y");
  };
  for (size_t i = 0; i + 1 < limit; ++i) add_talker();
  auto sender = RawClient::Connect(port());
  ASSERT_TRUE(WaitFor([&] { return sender->connected && ListOrder::HeldCount() == limit; }));
  for (int i = 0; i < 8; ++i) add_talker();  // the flood goes on before the sender writes

  const std::string message = BuildMessagePayload("heard over the flood", "u1", "S", "M", 7);
  sender->Send(message);
  sender->control.Close();
  EXPECT_TRUE(WaitFor([&] { return Received(message.substr(2)); }))
      << "the sender was dropped to make room for the flood";
  EXPECT_TRUE(WaitFor([&] { return flood.front()->peer_closed || flood.front()->failed; }));
}

TEST_F(InboundFaultTest, BytesHeldForUnfinishedPayloadsStayBounded) {
  // Near-cap payloads that never finish: together more than the bound.
  const std::string part = "YH" + std::string(ListOrder::kMaxPayloadBytes - 16, 'p');
  const size_t talkers = ListOrder::kMaxHeldBytes / part.size() + 8;
  std::vector<std::shared_ptr<RawClient>> senders;
  size_t peak = 0;
  for (size_t i = 0; i < talkers; ++i) {
    senders.push_back(RawClient::Connect(port()));
    ASSERT_TRUE(WaitFor([&] { return senders.back()->connected; }));
    senders.back()->Send(part);
    ASSERT_TRUE(WaitFor([&] {
      peak = std::max(peak, ListOrder::HeldBytes());
      return ListOrder::HeldBytes() >= std::min(i + 1, talkers - 8) * part.size() - part.size();
    }));
  }
  EXPECT_LE(peak, ListOrder::kMaxHeldBytes);
  EXPECT_TRUE(WaitFor([&] { return senders.front()->peer_closed || senders.front()->failed; }))
      << "the oldest unfinished payload made room";
  EXPECT_FALSE(senders.back()->peer_closed || senders.back()->failed);

  // A whole message still arrives, and the drain returns every held byte.
  const std::string message = BuildMessagePayload("small and complete", "u1", "S", "M", 7);
  SendWellBehaved(message);
  EXPECT_TRUE(WaitFor([&] { return Received(message.substr(2)); }));
  CloseAllConnections();
  EXPECT_EQ(ListOrder::HeldBytes(), 0u);
}

TEST_F(InboundFaultTest, APayloadOverTheCapIsDroppedAndTheNextMessageArrives) {
  auto big = RawClient::Connect(port());
  ASSERT_TRUE(WaitFor([&] { return big->connected; }));
  big->Send("YH" + std::string(3 * ListOrder::kMaxPayloadBytes, 'x'));
  ASSERT_TRUE(WaitFor([&] { return RegisteredCount() == 0; })) << "dropped at the cap";
  EXPECT_TRUE(WaitFor([&] { return big->failed || big->peer_closed; }));

  const std::string message = BuildMessagePayload("next", "u1", "S", "M", 7);
  SendWellBehaved(message);
  ASSERT_TRUE(WaitFor([&] { return !sink_.events.empty(); }));
  EXPECT_EQ(sink_.events, (std::vector<RaisedEvent>{{"acceptMessage", message.substr(2)}}));
}

TEST_F(InboundFaultTest, APeerThatResetsHalfwayRaisesNothing) {
  const int fd = platform::testing::RawConnect(static_cast<uint16_t>(port()));
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(platform::testing::RawSendAll(fd, "YHhalf a mess"));
  ASSERT_TRUE(WaitFor([&] {
    auto order = testing::OldestRegistered<ListOrder>();
    return order && order->BytesReceived() == 13;
  }));
  platform::testing::RawResetClose(fd);
  ASSERT_TRUE(WaitFor([&] { return RegisteredCount() == 0; }));
  EXPECT_TRUE(sink_.events.empty());

  const std::string message = BuildMessagePayload("after the reset", "u1", "S", "M", 7);
  SendWellBehaved(message);
  ASSERT_TRUE(WaitFor([&] { return !sink_.events.empty(); }));
  EXPECT_EQ(sink_.events, (std::vector<RaisedEvent>{{"acceptMessage", message.substr(2)}}));
}

TEST_F(InboundFaultTest, APayloadSentByteByByteArrivesWhole) {
  auto client = RawClient::Connect(port());
  ASSERT_TRUE(WaitFor([&] { return client->connected && RegisteredCount() == 1; }));
  std::weak_ptr<ListOrder> order = testing::OldestRegistered<ListOrder>();
  const std::string message = BuildMessagePayload("slowly", "u1", "S", "M", -5);
  for (size_t i = 0; i < message.size(); ++i) {
    client->Send(message.substr(i, 1));
    ASSERT_TRUE(WaitFor([&] {
      auto o = order.lock();
      return o && o->BytesReceived() == i + 1;
    })) << "byte "
        << i;
  }
  EXPECT_TRUE(sink_.events.empty());
  client->control.Close();
  ASSERT_TRUE(WaitFor([&] { return order.expired(); }));
  EXPECT_EQ(sink_.events, (std::vector<RaisedEvent>{{"acceptMessage", message.substr(2)}}));
}

TEST_F(InboundFaultTest, BytesThatAreNotTextInTheCodePageReachTheHostAsReplacements) {
  if (!platform::CodePage::System().is_utf8()) {
    GTEST_SKIP() << "the bytes below are chosen for the UTF-8 code page";
  }
  // A stray continuation byte, an overlong form, a truncated sequence, a byte never valid.
  SendWellBehaved(
      "YH\x80"
      "a\xC0\xAF"
      "b\xE4\xB8"
      "c\xFF");
  ASSERT_TRUE(WaitFor([&] { return !sink_.events.empty(); }));
  const std::string kReplacement = "\xEF\xBF\xBD";
  EXPECT_EQ(sink_.events[0].text, kReplacement + "a" + kReplacement + kReplacement + "b" +
                                      kReplacement + kReplacement + "c" + kReplacement);
}

}  // namespace
}  // namespace qz::transport
