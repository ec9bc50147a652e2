// Unit tests of qzmsg's text helpers: what a terminal is shown of peers' text, and how wide it is.
#include <gtest/gtest.h>

#include <string>

#include "display_text.h"

namespace qzmsg {
namespace {

TEST(EscapeControls, ShowsEveryControlButTabAndNewline) {
  EXPECT_EQ(EscapeControls("a\x1b[2Jb"), "a\\x1b[2Jb");
  EXPECT_EQ(EscapeControls(std::string("\0\x07\x7f", 3)), "\\x00\\x07\\x7f");
  EXPECT_EQ(EscapeControls("tab\there\nnext"), "tab\there\nnext");
  // C1 controls, among them the one-byte CSI of 8-bit terminals, next to ordinary Latin-1.
  EXPECT_EQ(EscapeControls("\xc2\x9b"
                           "31m\xc2\x85\xc2\xa0\xc3\xbc"),
            "\\u009b31m\\u0085\xc2\xa0\xc3\xbc");
  // A lone carriage return could overwrite the line; one before a newline is a Windows line end.
  EXPECT_EQ(EscapeControls("fake\rreal"), "fake\\x0dreal");
  EXPECT_EQ(EscapeControls("one\r\ntwo\r"), "one\ntwo\\x0d");
}

TEST(EscapeControls, ShowsBytesThatAreNotUtf8AndKeepsTheRest) {
  EXPECT_EQ(EscapeControls("\xe4\xbd\xa0\xe5\xa5\xbd"), "\xe4\xbd\xa0\xe5\xa5\xbd");  // 你好
  EXPECT_EQ(EscapeControls("\xc4\xe3 ok"), "\\xc4\\xe3 ok");  // GBK bytes, unconverted
  EXPECT_EQ(EscapeControls("cut \xe4\xbd"), "cut \\xe4\\xbd");
  EXPECT_EQ(EscapeControls("\xf0\x9f\x98\x80"), "\xf0\x9f\x98\x80");
  // What comes out is left alone the second time: output may pass through twice.
  const std::string once = EscapeControls("\x1b\xc2\x9b\xff\r");
  EXPECT_EQ(EscapeControls(once), once);
}

TEST(DisplayWidth, CountsColumnsNotBytes) {
  EXPECT_EQ(DisplayWidth(""), 0u);
  EXPECT_EQ(DisplayWidth("alice"), 5u);
  EXPECT_EQ(DisplayWidth("gr\xc3\xbc\xc3\x9f"
                         "e"),
            5u);                                            // grüße
  EXPECT_EQ(DisplayWidth("\xe5\xbc\xa0\xe4\xb8\x89"), 4u);  // 张三: two wide characters
  EXPECT_EQ(DisplayWidth("\xef\xbc\xa1"), 2u);              // fullwidth A
  EXPECT_EQ(DisplayWidth("e\xcc\x81"), 1u);                 // e and a combining acute
  EXPECT_EQ(DisplayWidth("\xff"), 1u);                      // a stray byte
}

}  // namespace
}  // namespace qzmsg
