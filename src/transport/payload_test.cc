#include "transport/payload.h"

#include <gtest/gtest.h>

namespace qz::transport {
namespace {

using namespace std::string_literals;

TEST(PayloadTest, MessagePayloadIsExactlyTheThirteenBytesOfTheExample) {
  const std::string payload = BuildMessagePayload("hi", "u1", "S", "M", 7);
  const std::string expected = "\x59\x48\x68\x69\x0F\x75\x31\x0F\x53\x0F\x4D\x0F\x37"s;
  EXPECT_EQ(payload, expected);
  EXPECT_EQ(EncodeForWire(payload, *platform::CodePage::Named("GBK")), expected);
}

TEST(PayloadTest, FieldsAreWrittenAsTheyAre) {
  EXPECT_EQ(BuildMessagePayload("", "", "", "", 0),
            "YH\x0F\x0F\x0F\x0F"
            "0");
  EXPECT_EQ(BuildMessagePayload(" a ", "u", "s", "m", -5), "YH a \x0Fu\x0Fs\x0Fm\x0F-5");
  EXPECT_EQ(BuildMessagePayload("x", "u", "s", "m", INT32_MIN),
            "YHx\x0Fu\x0Fs\x0Fm\x0F-2147483648");
}

TEST(PayloadTest, KindIsComparedExactly) {
  EXPECT_EQ(ReadPayload("YHabc").kind, PayloadKind::kMessage);
  EXPECT_EQ(ReadPayload("YHabc").body, "abc");
  EXPECT_EQ(ReadPayload("INwho").kind, PayloadKind::kLogin);
  EXPECT_EQ(ReadPayload("INwho").body, "who");
  EXPECT_EQ(ReadPayload("OT").kind, PayloadKind::kLogout);
  EXPECT_EQ(ReadPayload("OT").body, "");
  for (const char* other : {"yhabc", "Yhabc", "yHabc", "XXabc", "Y", "", "in", "ot"}) {
    EXPECT_EQ(ReadPayload(other).kind, PayloadKind::kOther) << other;
  }
}

MessageFields Split(std::string_view body) { return SplitMessageBody(body); }

TEST(PayloadTest, BodySplitsIntoAtLeastFourFields) {
  MessageFields f = Split(
      "hi\x0Fu1\x0FS\x0FM\x0F"
      "7");
  EXPECT_EQ(f.msg, "hi");
  EXPECT_EQ(f.UserName, "u1");
  EXPECT_EQ(f.SysName, "S");
  EXPECT_EQ(f.MdlName, "M");

  f = Split(
      "a\x0F\x0F"
      "c");
  EXPECT_EQ(f.msg, "a");
  EXPECT_EQ(f.UserName, "");
  EXPECT_EQ(f.SysName, "c");
  EXPECT_EQ(f.MdlName, "");

  f = Split("whole text");
  EXPECT_EQ(f.msg, "whole text");
  EXPECT_EQ(f.UserName + f.SysName + f.MdlName, "");

  f = Split("");
  EXPECT_EQ(f.msg + f.UserName + f.SysName + f.MdlName, "");

  f = Split(
      "1\x0F"
      "2\x0F"
      "3\x0F"
      "4\x0F"
      "5\x0F"
      "6");
  EXPECT_EQ(f.MdlName, "4");
}

TEST(PayloadTest, SeparatorInsideTheTextShiftsTheSenderFields) {
  const std::string payload = BuildMessagePayload(
      "a\x0F"
      "b",
      "u", "s", "m", 1);
  const MessageFields f = Split(ReadPayload(payload).body);
  EXPECT_EQ(f.msg, "a");
  EXPECT_EQ(f.UserName, "b");
  EXPECT_EQ(f.SysName, "u");
  EXPECT_EQ(f.MdlName, "s");
}

TEST(PayloadTest, DoubleByteTextCrossesTheWireIntact) {
  const platform::CodePage gbk = *platform::CodePage::Named("GBK");
  const std::string zhong = "\xE4\xB8\xAD";
  const std::string payload = BuildMessagePayload(zhong, zhong, "S", "M", 3);
  const std::string wire = EncodeForWire(payload, gbk);
  EXPECT_EQ(wire,
            "YH\xD6\xD0\x0F\xD6\xD0\x0FS\x0FM\x0F"
            "3");
  const MessageFields f = Split(ReadPayload(DecodeFromWire(wire, gbk)).body);
  EXPECT_EQ(f.msg, zhong);
  EXPECT_EQ(f.UserName, zhong);
}

}  // namespace
}  // namespace qz::transport
