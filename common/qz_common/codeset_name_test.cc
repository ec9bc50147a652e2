#include "qz_common/codeset_name.h"

#include <gtest/gtest.h>

namespace qz_common {
namespace {

TEST(CodesetNameTest, SpellingsOfOneCodesetCompareEqual) {
  EXPECT_EQ(NormalizedCodesetName("ISO-8859-1"), "ISO88591");
  EXPECT_EQ(NormalizedCodesetName("iso8859_1"), "ISO88591");
  EXPECT_EQ(NormalizedCodesetName("ISO 8859.1"), "ISO88591");
  EXPECT_EQ(NormalizedCodesetName("ANSI_X3.4-1968"), "ANSIX341968");
  // Only ASCII letters change; other bytes are kept as they are.
  EXPECT_EQ(NormalizedCodesetName("cp\xE9"), "CP\xE9");
  EXPECT_EQ(NormalizedCodesetName(""), "");
}

TEST(CodesetNameTest, Utf8AndPlainAsciiCountAsUtf8) {
  for (const char* name :
       {"UTF-8", "utf8", "Utf_8", "ANSI_X3.4-1968", "ansi_x3.4-1968", "ASCII", "US-ASCII", "646"}) {
    EXPECT_TRUE(IsUtf8CodesetName(name)) << name;
  }
  for (const char* name : {"GBK", "CP936", "UTF-16", "UTF-8x", "ISO-8859-1", "", "UTF"}) {
    EXPECT_FALSE(IsUtf8CodesetName(name)) << name;
  }
}

}  // namespace
}  // namespace qz_common
