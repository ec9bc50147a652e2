#include "transport/port_memory.h"

#include <gtest/gtest.h>

#include <iterator>

#include "transport/loopback_testing.h"
#include "transport/outbound.h"
#include "transport/payload.h"

namespace qz::transport {
namespace {

using Clock = PortMemory::Clock;

class PortMemoryTest : public ::testing::Test {
 protected:
  PortMemory memory_{[this] { return now_; }};
  Clock::time_point now_ = Clock::time_point{} + std::chrono::hours(1);
};

TEST_F(PortMemoryTest, AHeldPortIsBusyUntilItsDeliveryEnds) {
  EXPECT_FALSE(memory_.Busy(9001));
  memory_.Hold(9001);
  EXPECT_TRUE(memory_.Busy(9001));
  EXPECT_FALSE(memory_.Busy(9002));
  memory_.Release(9001, /*closed_first=*/false);
  EXPECT_FALSE(memory_.Busy(9001)) << "a reset leaves nothing to vouch for: the system decides";
  // Nothing to release, and ports the memory cannot hold, change nothing.
  memory_.Release(9001, true);
  EXPECT_FALSE(memory_.Busy(9001));
  memory_.Hold(0);
  memory_.Hold(70000);
  EXPECT_FALSE(memory_.Busy(0));
  EXPECT_FALSE(memory_.Busy(70000));
  EXPECT_FALSE(memory_.Busy(-1));
}

TEST_F(PortMemoryTest, ACleanEndStaysBusyForTimeWaitOnly) {
  memory_.Hold(9033);
  memory_.Release(9033, /*closed_first=*/true);
  EXPECT_TRUE(memory_.Busy(9033));
  now_ += PortMemory::kTimeWait - std::chrono::milliseconds(1);
  EXPECT_TRUE(memory_.Busy(9033));
  now_ += std::chrono::milliseconds(1);
  EXPECT_FALSE(memory_.Busy(9033));

  // Used again and ended by a failure: the earlier TIME_WAIT is not remembered either.
  memory_.Hold(9033);
  memory_.Release(9033, /*closed_first=*/true);
  memory_.Hold(9033);
  memory_.Release(9033, /*closed_first=*/false);
  EXPECT_FALSE(memory_.Busy(9033));
}

// Neighbouring ports share a summary; each must still end at its own time, in any order.
TEST_F(PortMemoryTest, NeighboursEndTheirTimeWaitEachAtItsOwnTime) {
  const int32_t ports[] = {9030, 9001, 9063, 9024, 9064};  // 9064 starts the next block
  for (int32_t port : ports) {
    memory_.Hold(port);
    memory_.Release(port, /*closed_first=*/true);
    now_ += std::chrono::seconds(1);
  }
  memory_.Hold(9002);  // held throughout
  memory_.Hold(9003);
  memory_.Release(9003, /*closed_first=*/false);
  EXPECT_FALSE(memory_.Busy(9003));

  now_ = now_ - std::chrono::seconds(5) + PortMemory::kTimeWait;  // the first one's end
  {
    const PortMemory::View view = memory_.Look();
    EXPECT_FALSE(view.Busy(9030));
    for (size_t i = 1; i < std::size(ports); ++i) EXPECT_TRUE(view.Busy(ports[i])) << ports[i];
    EXPECT_TRUE(view.Busy(9002));
  }
  for (int step = 1; step < 5; ++step) {
    now_ += std::chrono::seconds(1);
    for (size_t i = 0; i < std::size(ports); ++i) {
      EXPECT_EQ(memory_.Busy(ports[i]), static_cast<int>(i) > step) << ports[i] << " at " << step;
    }
  }
  EXPECT_TRUE(memory_.Busy(9002));

  // Freed by the look above, then used and ended again: a fresh TIME_WAIT.
  memory_.Hold(9001);
  memory_.Release(9001, /*closed_first=*/true);
  EXPECT_TRUE(memory_.Busy(9001));
  now_ += PortMemory::kTimeWait;
  EXPECT_FALSE(memory_.Busy(9001));
  EXPECT_TRUE(memory_.Busy(9002));
}

// The system ends a TIME_WAIT a little late: a refusal then keeps an ended port of ours busy a
// moment longer; other programs' ports stay the system's to answer.
TEST_F(PortMemoryTest, APortOfOursTheSystemStillRefusesLingersBriefly) {
  memory_.Hold(9100);
  memory_.Release(9100, /*closed_first=*/true);
  now_ += PortMemory::kTimeWait;
  EXPECT_FALSE(memory_.Busy(9100));
  memory_.Look().Refused(9100);
  memory_.Look().Refused(9101);  // never ours
  EXPECT_TRUE(memory_.Busy(9100));
  EXPECT_FALSE(memory_.Busy(9101));
  now_ += PortMemory::kLinger - std::chrono::milliseconds(1);
  EXPECT_TRUE(memory_.Busy(9100));
  now_ += std::chrono::milliseconds(1);
  EXPECT_FALSE(memory_.Busy(9100)) << "asked again once the moment is over";

  memory_.Hold(9102);
  memory_.Look().Refused(9102);
  memory_.Release(9102, /*closed_first=*/false);
  EXPECT_FALSE(memory_.Busy(9102)) << "held, then forgotten: a refusal while held adds nothing";
}

class DeliveryPortMemoryTest : public testing::TransportTest {};

TEST_F(DeliveryPortMemoryTest, ADeliveredMessageLeavesItsPortBusyAndAFailedOneDoesNot) {
  auto peer = testing::RawPeer::Listen();
  int32_t chosen = 0;
  SendToPeer(testing::kLoopback, peer->port(), BuildMessagePayload("hi", "u", "S", "M", 1),
             [&](int32_t base) { return chosen = PickFreePort(base); });
  ASSERT_NE(chosen, 0);
  ASSERT_TRUE(testing::WaitFor([&] { return testing::RegisteredCount() == 0; }));
  EXPECT_TRUE(PortMemory::Process().Busy(chosen)) << "the sender closed first: TIME_WAIT";

  // A peer that refuses: both attempts fail, and the port goes back to the system's answer.
  int32_t refused_from = 0;
  const int32_t closed_port = peer->port();
  peer->listener.Close();
  SendToPeer(testing::kLoopback, closed_port, "YHx",
             [&](int32_t base) { return refused_from = PickFreePort(base); });
  ASSERT_TRUE(testing::WaitFor([&] { return testing::RegisteredCount() == 0; }));
  ASSERT_NE(refused_from, 0);
  EXPECT_FALSE(PortMemory::Process().Busy(refused_from));
}

}  // namespace
}  // namespace qz::transport
