#include "presence/yhdl_record.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qz::presence {
namespace {

using namespace std::string_literals;

const platform::CodePage kUtf8 = *platform::CodePage::Named("UTF-8");

std::string Bytes(const char* field, size_t width) { return std::string(field, width); }

TEST(YhdlRecordTest, ZeroRecordIsAllZero) {
  const YHDLRecord r = ZeroRecord();
  const auto* bytes = reinterpret_cast<const unsigned char*>(&r);
  for (size_t i = 0; i < sizeof r; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST(YhdlRecordTest, ValueThenNulThenSpacesCutAtTheWidth) {
  YHDLRecord r = ZeroRecord();
  WriteTextField(r.YH03, "5000", kUtf8);
  EXPECT_EQ(Bytes(r.YH03, 12), "5000\0       "s);

  WriteTextField(r.YH01, std::string(41, 'a'), kUtf8);
  EXPECT_EQ(Bytes(r.YH01, 42), std::string(41, 'a') + '\0');
  WriteTextField(r.YH01, std::string(42, 'b'), kUtf8);
  EXPECT_EQ(Bytes(r.YH01, 42), std::string(42, 'b'));
  WriteTextField(r.YH01, std::string(50, 'c'), kUtf8);
  EXPECT_EQ(Bytes(r.YH01, 42), std::string(42, 'c'));
  EXPECT_EQ(r.YH02[0], '\0');  // the neighbour is untouched

  WriteTextField(r.YH04, "", kUtf8);
  EXPECT_EQ(Bytes(r.YH04, 62), '\0' + std::string(61, ' '));
}

TEST(YhdlRecordTest, ReadingBackStopsAtNulOrWidthAndDropsTrailingSpaces) {
  YHDLRecord r = ZeroRecord();
  std::memcpy(r.YH03, "5000        ", 12);
  EXPECT_EQ(ReadTextField(r.YH03, kUtf8), "5000");
  std::memcpy(r.YH03, "5000\0zzzzzzz", 12);
  EXPECT_EQ(ReadTextField(r.YH03, kUtf8), "5000");
  std::memcpy(r.YH02, "127.0.0.1\0\0\0\0\0\0\0\0\0\0\0\0\0", 22);
  EXPECT_EQ(ReadTextField(r.YH02, kUtf8), "127.0.0.1");
  // A field that fills its width is read whole and never past it, into the next field.
  std::memset(r.YH03, '9', 12);
  std::memcpy(r.YH04, "next", 4);
  EXPECT_EQ(ReadTextField(r.YH03, kUtf8), std::string(12, '9'));
}

TEST(YhdlRecordTest, DoubleByteValuesAreCutAtACharacterBoundary) {
  const platform::CodePage gbk = *platform::CodePage::Named("GBK");
  const std::string zhong = "\xE4\xB8\xAD";  // two bytes in GBK
  std::string name;
  for (int i = 0; i < 30; ++i) name += zhong;  // 60 bytes in GBK

  YHDLRecord r = ZeroRecord();
  WriteTextField(r.YH01, "a" + name, gbk);  // 61 bytes: 41 fit, the 21st character would not
  EXPECT_EQ(r.YH01[0], 'a');
  EXPECT_EQ(r.YH01[41], '\0');
  std::string expected = "a";
  for (int i = 0; i < 20; ++i) expected += zhong;
  EXPECT_EQ(ReadTextField(r.YH01, gbk), expected);

  WriteTextField(r.YH05, name, gbk);  // 60 bytes, the NUL and one space follow
  EXPECT_EQ(ReadTextField(r.YH05, gbk), name);
  EXPECT_EQ(r.YH05[60], '\0');
  EXPECT_EQ(r.YH05[61], ' ');
}

}  // namespace
}  // namespace qz::presence
