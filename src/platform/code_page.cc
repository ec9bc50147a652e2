#include "platform/code_page.h"

#include <algorithm>

#include "platform/utf8.h"

namespace qz::platform {

std::string CodePage::FromUtf8Fitted(std::string_view utf8, size_t max_bytes) const {
  if (utf8_) return std::string(utf8.substr(0, Utf8BoundaryAtOrBelow(utf8, max_bytes)));
  // Character by character, since a character's width in the code page is known only once
  // converted.
  std::string out;
  size_t pos = 0;
  while (pos < utf8.size()) {
    const size_t n =
        std::min(Utf8SequenceLength(static_cast<unsigned char>(utf8[pos])), utf8.size() - pos);
    const std::string one = FromUtf8(utf8.substr(pos, n));
    if (out.size() + one.size() > max_bytes) break;
    out += one;
    pos += n;
  }
  return out;
}

}  // namespace qz::platform
