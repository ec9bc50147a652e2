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

}  // namespace
}  // namespace qz::platform
