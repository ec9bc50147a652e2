#include "presence/statements.h"

#include <gtest/gtest.h>

namespace qz::presence {
namespace {

TEST(StatementsTest, PurgeAndDeletesAreSpelledExactly) {
  EXPECT_EQ(PurgeStatement("2024-02-29 00:00:05"), "Delete YHDL where YH08<'2024-02-29 00:00:05'");
  EXPECT_EQ(DuplicateDeleteStatement("bob ", "127.0.0.1", "ERP", "Sales"),
            "delete YHDL where YH01='bob ' and YH02='127.0.0.1' and YH05='ERP' and YH06='Sales'");
  EXPECT_EQ(EndpointDeleteStatement("198.18.0.10", "14007"),
            "delete YHDL where YH02='198.18.0.10' and YH03='14007'");
}

TEST(StatementsTest, RecipientConditionForEveryCombinationOfFilters) {
  EXPECT_EQ(RecipientCondition("", "", ""), "");
  EXPECT_EQ(RecipientCondition("u", "", ""), "YH01='u' ");
  EXPECT_EQ(RecipientCondition("", "s", ""), " YH05 = 's' ");
  EXPECT_EQ(RecipientCondition("", "", "m"), " YH06 = 'm' ");
  EXPECT_EQ(RecipientCondition("u", "s", ""), "YH01='u' And  YH05 = 's' ");
  EXPECT_EQ(RecipientCondition("u", "", "m"), "YH01='u' And  YH06 = 'm' ");
  EXPECT_EQ(RecipientCondition("", "s", "m"), " YH05 = 's' And  YH06 = 'm' ");
  EXPECT_EQ(RecipientCondition("u", "s", "m"), "YH01='u' And  YH05 = 's' And  YH06 = 'm' ");
}

// A value can never end its quotes: every quote inside it is doubled, so the text between the
// delimiting quotes reads back as the value.
TEST(StatementsTest, QuotesInsideValuesAreDoubled) {
  EXPECT_EQ(QuoteSqlValue("O'Brien"), "O''Brien");
  EXPECT_EQ(QuoteSqlValue("''"), "''''");
  EXPECT_EQ(RecipientCondition("x' or '1'='1", "", ""), "YH01='x'' or ''1''=''1' ");
  EXPECT_EQ(PurgeStatement("'; drop table YHDL; --"),
            "Delete YHDL where YH08<'''; drop table YHDL; --'");
  EXPECT_EQ(DuplicateDeleteStatement("a'", "b'", "c'", "d'"),
            "delete YHDL where YH01='a''' and YH02='b''' and YH05='c''' and YH06='d'''");
  EXPECT_EQ(EndpointDeleteStatement("x' or '1'='1", "1'"),
            "delete YHDL where YH02='x'' or ''1''=''1' and YH03='1'''");
}

}  // namespace
}  // namespace qz::presence
