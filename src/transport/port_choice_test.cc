#include "transport/port_choice.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <vector>

#include "platform/random.h"
#include "transport/loopback_testing.h"

namespace qz::transport {
namespace {

// Yields values in order, then the last one again.
std::function<double()> Sequence(std::vector<double> values) {
  auto next = std::make_shared<size_t>(0);
  return [values = std::move(values), next] {
    const double r = values[std::min(*next, values.size() - 1)];
    ++*next;
    return r;
  };
}

constexpr double kAlmostOne = 0.99999999;

UsedPorts Listing(std::initializer_list<uint16_t> ports) { return UsedPorts(ports); }

TEST(PickFreePortTest, FirstCandidateLiesInItsBand) {
  const UsedPorts none;
  platform::ReseedFromTimeOfDay();
  for (int i = 0; i < 500; ++i) {
    const int32_t port = PickFreePort(5000, none, platform::NextRandom);
    ASSERT_GE(port, 14000);
    ASSERT_LE(port, 14199);
  }
  for (int32_t tail : {0, 1, 33, 255}) {
    for (int i = 0; i < 100; ++i) {
      const int32_t port = PickFreePort(tail, none, platform::NextRandom);
      ASSERT_GE(port, 9000 + tail);
      ASSERT_LE(port, 9199 + tail);
    }
    EXPECT_EQ(PickFreePort(tail, none, Sequence({0.0})), 9000 + tail);
    EXPECT_EQ(PickFreePort(tail, none, Sequence({kAlmostOne})), 9199 + tail);
  }
}

TEST(PickFreePortTest, WalksPastListedPortsByBasePlusTheRandomPart) {
  // 14100 listed, then +5000+0, then +5000+199, then +5000+50, which is free.
  EXPECT_EQ(
      PickFreePort(5000, Listing({14100, 19100, 24299}), Sequence({0.5, 0.0, kAlmostOne, 0.25})),
      29349);
  // A whole band listed: the next candidate lies 5000 to 5199 above the first.
  std::vector<uint16_t> band_ports;
  for (uint16_t p = 14000; p <= 14199; ++p) band_ports.push_back(p);
  const UsedPorts band(band_ports);
  platform::ReseedFromTimeOfDay();
  for (int i = 0; i < 200; ++i) {
    const int32_t port = PickFreePort(5000, band, platform::NextRandom);
    ASSERT_GE(port, 19000);
    ASSERT_LE(port, 19398);
  }
  // The same walk for an outbound tail.
  EXPECT_EQ(PickFreePort(33, Listing({9033}), Sequence({0.0, kAlmostOne})), 9033 + 33 + 199);
}

TEST(PickFreePortTest, OnlyWholeNumbersMatch) {
  EXPECT_EQ(PickFreePort(5000, Listing({140, 1400, 4000, 1}), Sequence({0.0})), 14000);
  EXPECT_EQ(PickFreePort(140 - 9000, Listing({14000, 1400, 40}), Sequence({0.0})), 140);
  EXPECT_EQ(PickFreePort(5000, Listing({14000}), Sequence({0.0})), 19000);
}

TEST(PickFreePortTest, ACandidateBeyondThePortRangeLeavesTheChoiceToTheSystem) {
  EXPECT_EQ(PickFreePort(60000, UsedPorts(), Sequence({0.0})), 0);
  EXPECT_EQ(PickFreePort(30000, Listing({39000}), Sequence({0.0})), 0);  // walks to 69000
  EXPECT_EQ(PickFreePort(-10000, UsedPorts(), Sequence({0.0})), 0);
  EXPECT_EQ(PickFreePort(INT32_MAX, UsedPorts(), Sequence({kAlmostOne})), 0);
  EXPECT_EQ(PickFreePort(INT32_MIN, UsedPorts(), Sequence({0.0})), 0);
  // While the walk stays in range it is kept, up to the highest port.
  EXPECT_EQ(PickFreePort(20000, Listing({29000}), Sequence({0.0})), 49000);
  EXPECT_EQ(PickFreePort(65535 - 9199, UsedPorts(), Sequence({kAlmostOne})), 65535);
}

class MachineTableTest : public testing::TransportTest {};

TEST_F(MachineTableTest, APortListeningHereIsListedAsUsed) {
  auto peer = testing::RawPeer::Listen();
  ASSERT_GT(peer->port(), 0);
  EXPECT_TRUE(testing::ReadUsedPorts().Contains(peer->port()));
  // With only that port's band listed, the choice walks past it.
  const int32_t port =
      PickFreePort(peer->port() - 9000, testing::ReadUsedPorts(), Sequence({0.0, 0.0}));
  EXPECT_NE(port, peer->port());
}

}  // namespace
}  // namespace qz::transport
