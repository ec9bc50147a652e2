#include "port_rule.h"

#include <gtest/gtest.h>

#include <set>

namespace qz::bench {
namespace {

constexpr int64_t kSecond = 1'000'000'000;

TEST(PortRuleMemoryTest, FirstCandidateLiesAboveNineThousandPlusBase) {
  for (int32_t base : {1, 5000}) {
    PortRuleMemory rule;
    std::set<int32_t> seen;
    for (uint64_t seed = 0; seed < 2000; ++seed) seen.insert(rule.Pick(base, 0, seed));
    EXPECT_EQ(*seen.begin(), 9000 + base) << base;
    EXPECT_EQ(*seen.rbegin(), 9199 + base) << base;
    EXPECT_EQ(rule.escapes(), 0);
    EXPECT_EQ(rule.steps(), 0);  // nothing held: every walk stops at its first candidate
  }
}

TEST(PortRuleMemoryTest, WalkSkipsHeldAndTimeWaitPortsWithStepsOfBaseToBasePlus199) {
  PortRuleMemory rule;
  for (int port = 9001; port <= 9400; ++port) {
    if (port % 2 == 0) {
      rule.Hold(static_cast<uint16_t>(port));
    } else {
      rule.Release(static_cast<uint16_t>(port), 0);
    }
  }
  for (uint64_t seed = 0; seed < 500; ++seed) {
    const int32_t port = rule.Pick(1, kSecond, seed);
    EXPECT_GT(port, 9400);
    // The last step starts at most at 9400 and adds at most 1 + 199.
    EXPECT_LE(port, 9600);
  }
  EXPECT_GE(rule.steps(), 500);  // every first candidate was taken
}

TEST(PortRuleMemoryTest, TimeWaitEndsAfterItsSpanButHeldPortsStay) {
  PortRuleMemory rule(60 * kSecond);
  rule.Release(9100, 0);
  rule.Hold(9101);
  EXPECT_TRUE(rule.InUse(9100, 60 * kSecond - 1));
  EXPECT_FALSE(rule.InUse(9100, 60 * kSecond));
  EXPECT_TRUE(rule.InUse(9101, 3600 * kSecond));
  // Held, then closed: in TIME_WAIT from the close.
  rule.Release(9101, 3600 * kSecond);
  EXPECT_TRUE(rule.InUse(9101, 3659 * kSecond));
  EXPECT_FALSE(rule.InUse(9101, 3660 * kSecond));
}

TEST(PortRuleMemoryTest, ALaterReleaseOfTheSamePortKeepsItUntilItsOwnEnd) {
  PortRuleMemory rule(60 * kSecond);
  rule.Release(9100, 0);
  rule.Release(9100, 30 * kSecond);
  EXPECT_TRUE(rule.InUse(9100, 60 * kSecond));
  EXPECT_FALSE(rule.InUse(9100, 90 * kSecond));
}

TEST(PortRuleMemoryTest, WalkPast65535LetsTheSystemChooseAndIsCounted) {
  PortRuleMemory rule;
  for (int port = 9001; port <= 65535; ++port) rule.Release(static_cast<uint16_t>(port), 0);
  EXPECT_EQ(rule.Pick(1, kSecond, 7), 0);
  EXPECT_EQ(rule.Pick(1, kSecond, 8), 0);
  EXPECT_EQ(rule.escapes(), 2);
  EXPECT_EQ(rule.picks(), 2);
  // Once their TIME_WAIT has passed the ports are found again.
  EXPECT_NE(rule.Pick(1, 61 * kSecond, 9), 0);
  EXPECT_EQ(rule.escapes(), 2);
}

TEST(PortRuleMemoryTest, FillingTheRangeAtTheCeilingEndsInEscapes) {
  // Picks far faster than ports come free. A walk steps over free ports, so walks leave the range
  // before it is full; but not while fewer ports are taken than a walk needs steps to pass
  // 65535 from 9200 (282), and at the latest once all 56,535 are taken.
  PortRuleMemory rule;
  int64_t first_escape = -1;
  for (int64_t i = 0; i < 60000 && first_escape < 0; ++i) {
    const int32_t port = rule.Pick(1, kSecond, static_cast<uint64_t>(i) * 7919);
    if (port == 0) {
      first_escape = i;
    } else {
      rule.Release(static_cast<uint16_t>(port), kSecond);
    }
  }
  EXPECT_GE(first_escape, 282);
  EXPECT_LE(first_escape, 65535 - 9001 + 1);
}

TEST(PortRuleCeilingTest, PortsFromNineThousandPlusBaseOverSixtySeconds) {
  EXPECT_DOUBLE_EQ(PortRuleCeiling(1), (65535.0 - 9001 + 1) / 60);
  EXPECT_NEAR(PortRuleCeiling(1), 942, 1);
  EXPECT_DOUBLE_EQ(PortRuleCeiling(5000), (65535.0 - 14000 + 1) / 60);
  EXPECT_EQ(PortRuleCeiling(60000), 0);
}

}  // namespace
}  // namespace qz::bench
