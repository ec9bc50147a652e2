// Conversion between UTF-8 and the code pages at the component's 8-bit boundaries, both ways,
// and the fitting of text into fixed-width fields: never wider than asked, never a character
// cut in two, never shorter than needed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"

namespace qz::fuzz {
namespace {

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

void CheckUtf8(const std::string& s, size_t width) {
  const platform::CodePage& cp = Utf8();
  FUZZ_CHECK(cp.FromUtf8(s) == s);
  // Read bytes are always text: well-formed input unchanged, anything else replaced.
  const std::string read = cp.ToUtf8(s);
  FUZZ_CHECK(IsValidUtf8(read));
  FUZZ_CHECK(IsValidUtf8(s) ? read == s : read != s);
  const std::string fitted = cp.FromUtf8Fitted(s, width);
  FUZZ_CHECK(fitted.size() <= width);
  FUZZ_CHECK(StartsWith(s, fitted));
  if (!IsValidUtf8(s)) return;
  FUZZ_CHECK(IsValidUtf8(fitted));  // no character cut
  if (fitted.size() < s.size()) {
    // The next character did not fit.
    const auto lead = static_cast<unsigned char>(s[fitted.size()]);
    const size_t next = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    FUZZ_CHECK(fitted.size() + next > width);
  }
}

void CheckGbk(const std::string& s, size_t width) {
  const platform::CodePage& cp = Gbk();
  // Any bytes read from the wire or a field become valid UTF-8.
  FUZZ_CHECK(IsValidUtf8(cp.ToUtf8(s)));
  const std::string full = cp.FromUtf8(s);
  FUZZ_CHECK(IsValidUtf8(cp.ToUtf8(full)));
  const std::string fitted = cp.FromUtf8Fitted(s, width);
  FUZZ_CHECK(fitted.size() <= width);
  if (!IsValidUtf8(s)) return;
  FUZZ_CHECK(StartsWith(full, fitted));
  // No double-byte character cut: the fitted bytes decode as the start of the whole.
  FUZZ_CHECK(StartsWith(cp.ToUtf8(full), cp.ToUtf8(fitted)));
  // A GBK character takes at most two bytes: with two left, the next one would have fitted.
  if (fitted.size() < full.size()) FUZZ_CHECK(fitted.size() + 2 > width);
}

}  // namespace
}  // namespace qz::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const auto width = in.ConsumeIntegralInRange<size_t>(0, 80);
  const std::string s = in.ConsumeRemainingBytesAsString();
  qz::fuzz::CheckUtf8(s, width);
  qz::fuzz::CheckGbk(s, width);
  return 0;
}
