// TrimCString over any text: the part before the first NUL, trailing spaces removed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/trim_cstring.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view s(reinterpret_cast<const char*>(data), size);
  const std::string t = qz::TrimCString(s);
  const std::string_view before_nul = s.substr(0, s.find('\0'));
  FUZZ_CHECK(before_nul.substr(0, t.size()) == t);
  FUZZ_CHECK(before_nul.substr(t.size()).find_first_not_of(' ') == std::string_view::npos);
  FUZZ_CHECK(t.empty() || t.back() != ' ');
  FUZZ_CHECK(qz::TrimCString(t) == t);
  return 0;
}
