#include "platform/host_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qz::platform {
namespace {

TEST(CouldBeHostNameTest, AcceptsNamesUpToTheirLimits) {
  for (const std::string name :
       {"peer", "PC-07", "host_1.lan", "a.b-c.d_e", "7th.floor", "x", "0a", "host.lan."}) {
    EXPECT_TRUE(CouldBeHostName(name)) << name;
  }
  const std::string label63(63, 'a');
  EXPECT_TRUE(CouldBeHostName(label63));
  // 253 in all, a final dot aside: 63 * 4 + 3 dots = 255, cut to 253.
  std::string longest = label63 + '.' + label63 + '.' + label63 + '.' + std::string(61, 'b');
  ASSERT_EQ(longest.size(), 253u);
  EXPECT_TRUE(CouldBeHostName(longest));
  EXPECT_TRUE(CouldBeHostName(longest + '.'));
}

TEST(CouldBeHostNameTest, RejectsWhatNoResolverShouldSee) {
  for (const std::string& text : std::vector<std::string>{
           "", ".", "..", "a..b", ".a", "a..", "a b", "a/b", "a:80", "user@host", "h\xC3\xA9te",
           std::string("a\0b", 3), "123", "host.123", "10.0.0.300", "1.2.3.4.5"}) {
    EXPECT_FALSE(CouldBeHostName(text)) << text;
  }
  EXPECT_FALSE(CouldBeHostName(std::string(64, 'a')));
  const std::string label63(63, 'a');
  EXPECT_FALSE(
      CouldBeHostName(label63 + '.' + label63 + '.' + label63 + '.' + std::string(62, 'b')));
}

TEST(ResolveRemoteHostTest, NumericFormsAreParsedAndOtherTextFailsWith11001) {
  Result<uint32_t> dotted = ResolveRemoteHost("127.0.0.9");
  ASSERT_TRUE(dotted.ok()) << dotted.status().ToString();
  EXPECT_EQ(*dotted, 0x7F000009u);
  Result<uint32_t> short_form = ResolveRemoteHost("127.1");
  ASSERT_TRUE(short_form.ok()) << short_form.status().ToString();
  EXPECT_EQ(*short_form, 0x7F000001u);

  for (const std::string text : {"", "not a host", "10.0.0.300", "peer;rm"}) {
    Result<uint32_t> r = ResolveRemoteHost(text);
    EXPECT_EQ(r.status().code(), errc::kWsaHostNotFound) << text;
    EXPECT_FALSE(r.status().message().empty());
  }
}

}  // namespace
}  // namespace qz::platform
