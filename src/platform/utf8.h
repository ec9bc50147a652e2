// UTF-8 sequence boundaries, for cutting and skipping text without splitting a character.
#ifndef QZ_PLATFORM_UTF8_H_
#define QZ_PLATFORM_UTF8_H_

#include <cstddef>
#include <string_view>

namespace qz::platform {

// Length of the UTF-8 sequence that starts with lead byte c (1 for a stray byte).
inline size_t Utf8SequenceLength(unsigned char c) {
  if (c >= 0xF0 && c <= 0xF4) return 4;
  if (c >= 0xE0) return c <= 0xEF ? 3 : 1;
  if (c >= 0xC2) return 2;
  return 1;
}

// The longest prefix of s that does not end inside a UTF-8 sequence and has at most max bytes.
inline size_t Utf8BoundaryAtOrBelow(std::string_view s, size_t max) {
  if (s.size() <= max) return s.size();
  size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

}  // namespace qz::platform

#endif  // QZ_PLATFORM_UTF8_H_
