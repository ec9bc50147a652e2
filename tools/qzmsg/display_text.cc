#include "display_text.h"

#include <locale.h>

#include <cstdio>
#include <cwchar>

#include "platform/utf8.h"

namespace qzmsg {
namespace {

// The code point of the well-formed sequence of n bytes at the start of s.
char32_t CodePoint(std::string_view s, size_t n) {
  const auto b = [&](size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(s[i])); };
  if (n == 1) return b(0);
  char32_t c = b(0) & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
  for (size_t i = 1; i < n; ++i) c = (c << 6) | (b(i) & 0x3F);
  return c;
}

std::string Hex(const char* format, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// wcwidth answers for the calling thread's locale, which may be C or a non-Unicode one; the
// widths of Unicode characters are asked of C.UTF-8 while it is installed.
class UnicodeWidths {
 public:
  UnicodeWidths() {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    if (utf8 != locale_t{}) previous_ = uselocale(utf8);
  }
  ~UnicodeWidths() {
    if (previous_ != locale_t{}) uselocale(previous_);
  }
  UnicodeWidths(const UnicodeWidths&) = delete;
  UnicodeWidths& operator=(const UnicodeWidths&) = delete;

  static size_t Of(char32_t c) {
    if (c < 0x80) return 1;
    const int width = wcwidth(static_cast<wchar_t>(c));
    return width < 0 ? 1 : static_cast<size_t>(width);  // unknown to the table: one column
  }

 private:
  locale_t previous_{};
};

}  // namespace

std::string EscapeControls(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const std::string_view rest = utf8.substr(i);
    const unsigned char c = static_cast<unsigned char>(rest[0]);
    const size_t n = qz::platform::WellFormedUtf8Length(rest);
    if (n == 0) {
      out += Hex("\\x%02x", c);
      i += 1;
    } else if (n == 1 && c < 0x20 && c != '\t' && c != '\n') {
      if (c != '\r' || rest.size() < 2 || rest[1] != '\n') out += Hex("\\x%02x", c);
      i += 1;
    } else if (n == 1 && c == 0x7F) {
      out += "\\x7f";
      i += 1;
    } else if (n == 2 && CodePoint(rest, n) < 0xA0) {
      out += Hex("\\u%04x", static_cast<unsigned>(CodePoint(rest, n)));
      i += 2;
    } else {
      out.append(rest.substr(0, n));
      i += n;
    }
  }
  return out;
}

size_t DisplayWidth(std::string_view utf8) {
  const UnicodeWidths widths;
  size_t columns = 0;
  size_t i = 0;
  while (i < utf8.size()) {
    const size_t n = qz::platform::WellFormedUtf8Length(utf8.substr(i));
    if (n == 0) {
      columns += 1;
      i += 1;
      continue;
    }
    columns += UnicodeWidths::Of(CodePoint(utf8.substr(i), n));
    i += n;
  }
  return columns;
}

}  // namespace qzmsg
