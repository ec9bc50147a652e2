#include "platform/random.h"

#include <gtest/gtest.h>

#include <array>

namespace qz::platform {
namespace {

TEST(RandomTest, UniformOverTheUnitInterval) {
  ReseedFromTimeOfDay();
  std::array<int, 10> buckets{};
  constexpr int kDraws = 100000;
  for (int i = 0; i < kDraws; ++i) {
    const double r = NextRandom();
    ASSERT_GE(r, 0.0);
    ASSERT_LT(r, 1.0);
    ++buckets[static_cast<size_t>(r * 10)];
  }
  // Each bucket expects 10000; 5 standard deviations is about 475.
  for (int count : buckets) EXPECT_NEAR(count, kDraws / 10, 500);
}

TEST(RandomTest, ReseedingChangesTheSequence) {
  ReseedFromTimeOfDay();
  const double a = NextRandom();
  ReseedFromTimeOfDay();
  const double b = NextRandom();
  EXPECT_NE(a, b);  // seeds differ by the nanoseconds elapsed
}

// Port choice re-seeds before every first draw, and back-to-back seeds differ by only a few
// nanoseconds; those first draws must still cover the interval evenly.
TEST(RandomTest, FirstDrawsAfterCloseReseedsAreUniform) {
  std::array<int, 10> buckets{};
  constexpr int kDraws = 20000;
  double last = -1;
  for (int counted = 0; counted < kDraws;) {
    ReseedFromTimeOfDay();
    const double r = NextRandom();
    if (r == last) continue;  // the clock did not tick: the same seed
    last = r;
    ++buckets[static_cast<size_t>(r * 10)];
    ++counted;
  }
  // Each bucket expects 2000; 5 standard deviations is about 212.
  for (int count : buckets) EXPECT_NEAR(count, kDraws / 10, 250);
}

// Below(n) is the integer part of n times Next(), drawn without a double: the same index for
// the same seed, every value of the range reached.
TEST(RandomTest, BelowIsTheIndexThatNextScales) {
  Random as_index, as_double;
  as_index.Seed(20240229);
  as_double.Seed(20240229);
  std::array<int, 60> seen{};
  for (int i = 0; i < 20000; ++i) {
    const uint32_t index = as_index.Below(60);
    ASSERT_EQ(index, static_cast<uint32_t>(as_double.Next() * 60)) << "draw " << i;
    ++seen[index];
  }
  for (int count : seen) EXPECT_GT(count, 0);
}

}  // namespace
}  // namespace qz::platform
