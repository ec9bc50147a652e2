#include "platform/dates.h"

#include <gtest/gtest.h>

namespace qz::platform {
namespace {

std::string DayBefore(std::string_view text) {
  std::optional<DateTime> t = ParseDateTime(text);
  return t ? FormatDateTime(MinusOneDay(*t)) : "invalid";
}

TEST(DatesTest, OneDayBeforeAcrossMonthsYearsAndLeapDays) {
  EXPECT_EQ(DayBefore("2024-03-01 00:00:05"), "2024-02-29 00:00:05");
  EXPECT_EQ(DayBefore("2023-03-01 00:00:05"), "2023-02-28 00:00:05");
  EXPECT_EQ(DayBefore("2000-03-01 12:00:00"), "2000-02-29 12:00:00");
  EXPECT_EQ(DayBefore("1900-03-01 12:00:00"), "1900-02-28 12:00:00");
  EXPECT_EQ(DayBefore("2024-01-01 23:59:59"), "2023-12-31 23:59:59");
  EXPECT_EQ(DayBefore("2024-05-01 08:30:00"), "2024-04-30 08:30:00");
  EXPECT_EQ(DayBefore("2024-07-16 13:04:09"), "2024-07-15 13:04:09");
}

TEST(DatesTest, ADateAloneIsMidnight) {
  EXPECT_EQ(DayBefore("2024-03-01"), "2024-02-29 00:00:00");
  EXPECT_EQ(DayBefore("  2024-03-01  "), "2024-02-29 00:00:00");
}

TEST(DatesTest, RejectsWhatIsNotADateAndTime) {
  for (const char* text :
       {"", "   ", "yesterday", "2024-02-30 00:00:00", "2023-02-29", "2024-13-01 00:00:00",
        "2024-00-10", "2024-01-01 24:00:00", "2024-01-01 10:60:00", "2024-1-1",
        "2024-01-01T10:00:00", "2024-01-01 10:00", "2024-01-01 10:00:00.123"}) {
    EXPECT_FALSE(ParseDateTime(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace qz::platform
