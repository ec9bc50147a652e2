#include "platform/code_page.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace qz::platform {
namespace {

const char kZhong[] = "\xE4\xB8\xAD";     // U+4E2D in UTF-8
const char kZhongGbk[] = "\xD6\xD0";      // the same in GBK
const char kGrin[] = "\xF0\x9F\x98\x80";  // U+1F600, which GBK lacks

CodePage Gbk() {
  Result<CodePage> cp = CodePage::Named("GBK");
  EXPECT_TRUE(cp.ok()) << cp.status().ToString();
  return *cp;
}

TEST(CodePageTest, AsciiAndUtf8NamesMeanUtf8) {
  for (const char* name : {"UTF-8", "utf8", "ANSI_X3.4-1968", "ASCII"}) {
    Result<CodePage> cp = CodePage::Named(name);
    ASSERT_TRUE(cp.ok()) << name;
    EXPECT_TRUE(cp->is_utf8()) << name;
  }
  EXPECT_FALSE(CodePage::Named("no-such-code-page").ok());
}

TEST(CodePageTest, Utf8PassesThroughAndMalformedBytesBecomeReplacementCharacters) {
  const CodePage cp = *CodePage::Named("UTF-8");
  const std::string text = std::string("a") + kZhong + "\x0F" + kGrin;
  EXPECT_EQ(cp.FromUtf8(text), text);
  EXPECT_EQ(cp.ToUtf8(text), text);
  // A stray continuation byte, a lead byte cut short, an overlong form, a surrogate.
  EXPECT_EQ(cp.ToUtf8("a\x80"
                      "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(cp.ToUtf8("a\xE4\xB8"), "a\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(cp.ToUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(cp.ToUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  // Long ASCII runs around them, at every offset within a word.
  const std::string run = "Stock count for warehouse";
  for (size_t at = 0; at <= run.size(); ++at) {
    const std::string with = run.substr(0, at) + "\x80" + kZhong + run.substr(at) + "\xFF";
    const std::string want =
        run.substr(0, at) + "\xEF\xBF\xBD" + kZhong + run.substr(at) + "\xEF\xBF\xBD";
    EXPECT_EQ(cp.ToUtf8(with), want) << at;
  }
}

TEST(CodePageTest, DoubleByteRoundTrip) {
  const CodePage gbk = Gbk();
  const std::string text = std::string("YH") + kZhong + "\x0F" + "u1";
  const std::string bytes = gbk.FromUtf8(text);
  EXPECT_EQ(bytes, std::string("YH") + kZhongGbk + "\x0F" + "u1");
  EXPECT_EQ(gbk.ToUtf8(bytes), text);
}

TEST(CodePageTest, UnmappableBecomesQuestionMarkAndInvalidBytesReplacementCharacter) {
  const CodePage gbk = Gbk();
  EXPECT_EQ(gbk.FromUtf8(std::string("a") + kGrin + "b"), "a?b");
  EXPECT_EQ(gbk.FromUtf8("a\xFF"
                         "b"),
            "a?b");  // not UTF-8 at all
  EXPECT_EQ(gbk.ToUtf8("a\xFF"
                       "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(gbk.ToUtf8("a\xD6"), "a\xEF\xBF\xBD");  // a lead byte without its trail byte
}

TEST(CodePageTest, FittingNeverCutsACharacter) {
  const CodePage gbk = Gbk();
  const std::string three = std::string(kZhong) + kZhong + kZhong;  // 6 bytes in GBK
  EXPECT_EQ(gbk.FromUtf8Fitted(three, 6).size(), 6u);
  EXPECT_EQ(gbk.FromUtf8Fitted(three, 5), std::string(kZhongGbk) + kZhongGbk);
  EXPECT_EQ(gbk.FromUtf8Fitted("a" + three, 2), "a");

  const CodePage utf8 = *CodePage::Named("UTF-8");
  EXPECT_EQ(utf8.FromUtf8Fitted(three, 8), std::string(kZhong) + kZhong);
  EXPECT_EQ(utf8.FromUtf8Fitted(three, 2), "");
  EXPECT_EQ(utf8.FromUtf8Fitted("abc", 2), "ab");
}

// Run by ctest under chosen locales (see CMakeLists.txt), with the code page it must find.
TEST(SystemCodePageTest, FollowsTheEnvironmentsLocale) {
  const char* expected = std::getenv("QZ_TEST_EXPECT_CODESET");
  if (expected == nullptr) GTEST_SKIP() << "run by ctest with a locale set";
  const CodePage& cp = CodePage::System();
  EXPECT_EQ(cp.name(), expected);
  if (!cp.is_utf8()) {
    EXPECT_EQ(cp.FromUtf8(kZhong), kZhongGbk);
    EXPECT_EQ(cp.ToUtf8(kZhongGbk), kZhong);
  }
}

}  // namespace
}  // namespace qz::platform
