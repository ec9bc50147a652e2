#include "platform/leading_number.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

TEST(LeadingNumberTest, ReadsTheNumberAtTheStart) {
  EXPECT_EQ(LeadingNumber("14023"), 14023);
  EXPECT_EQ(LeadingNumber("  33"), 33);
  EXPECT_EQ(LeadingNumber("0014023"), 14023);
  EXPECT_EQ(LeadingNumber("33abc"), 33);
  EXPECT_EQ(LeadingNumber("-5"), -5);
  EXPECT_EQ(LeadingNumber("2147483647"), 2147483647);
  EXPECT_EQ(LeadingNumber("-2147483648"), INT32_MIN);
}

TEST(LeadingNumberTest, NoNumberOrTooLargeGivesZero) {
  EXPECT_EQ(LeadingNumber(""), 0);
  EXPECT_EQ(LeadingNumber("abc"), 0);
  EXPECT_EQ(LeadingNumber("-"), 0);
  EXPECT_EQ(LeadingNumber("2147483648"), 0);
  EXPECT_EQ(LeadingNumber("99999999999999999999999999"), 0);
}

}  // namespace
}  // namespace qz
