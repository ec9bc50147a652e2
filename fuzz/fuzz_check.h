// What every fuzz target shares: a check that stops the run with a message, and the two code
// pages the component meets on the wire and in the table.
#ifndef QZ_FUZZ_FUZZ_CHECK_H_
#define QZ_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/code_page.h"

// Aborts with the condition's text, so that libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace qz::fuzz {

inline const platform::CodePage& Utf8() {
  static const platform::CodePage cp = *platform::CodePage::Named("UTF-8");
  return cp;
}

inline const platform::CodePage& Gbk() {
  static const platform::CodePage cp = *platform::CodePage::Named("GBK");
  return cp;
}

// Whether s is well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF).
inline bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    unsigned min = 0;
    unsigned cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1, min = 0x80, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, min = 0x800, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;  // the sequence runs past the end
    for (size_t k = 1; k <= n; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace qz::fuzz

#endif  // QZ_FUZZ_FUZZ_CHECK_H_
