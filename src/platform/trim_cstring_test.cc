#include "platform/trim_cstring.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

using namespace std::string_literals;

TEST(TrimCStringTest, CutsAtFirstNulAndRemovesTrailingSpacesOnly) {
  EXPECT_EQ(TrimCString("abc"), "abc");
  EXPECT_EQ(TrimCString("  ab c   "), "  ab c");
  EXPECT_EQ(TrimCString("a b \0x"s), "a b");
  EXPECT_EQ(TrimCString("\0abc"s), "");
  EXPECT_EQ(TrimCString("abc\t"), "abc\t");
  EXPECT_EQ(TrimCString("abc \t "), "abc \t");
  EXPECT_EQ(TrimCString(""), "");
  EXPECT_EQ(TrimCString("     "), "");
  EXPECT_EQ(TrimCString("x\0  \0y"s), "x");
}

TEST(TrimCStringTest, NulFarBeyondSixteenBitPositions) {
  const std::string text = std::string(40000, 'a') + "  "s + '\0' + "tail";
  EXPECT_EQ(TrimCString(text), std::string(40000, 'a'));
}

}  // namespace
}  // namespace qz
