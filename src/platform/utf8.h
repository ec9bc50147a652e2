// UTF-8 sequence boundaries and well-formedness, for cutting, skipping and sanitising text
// without splitting a character. Portable: both code page backends use them.
#ifndef QZ_PLATFORM_UTF8_H_
#define QZ_PLATFORM_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
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

// The length of the well-formed UTF-8 sequence at the start of s (shortest form, no surrogate,
// at most U+10FFFF), or 0 when there is none.
inline size_t WellFormedUtf8Length(std::string_view s) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto cont = [&](size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return i < s.size() && b(i) >= lo && b(i) <= hi;
  };
  const unsigned char c = b(0);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    const bool second = c == 0xE0 ? cont(1, 0xA0) : c == 0xED ? cont(1, 0x80, 0x9F) : cont(1);
    return second && cont(2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    const bool second = c == 0xF0 ? cont(1, 0x90) : c == 0xF4 ? cont(1, 0x80, 0x8F) : cont(1);
    return second && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

// Bytes read as UTF-8: each byte that does not belong to a well-formed sequence becomes U+FFFD,
// as in the other code pages, so that text from the wire or a field is always valid UTF-8. The
// same on every platform, whatever the OS converter would make of such bytes.
inline std::string WellFormedUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t kept = 0;  // bytes before kept are in out; well-formed runs are copied whole
  size_t i = 0;
  while (i < bytes.size()) {
    // ASCII, the usual text, eight bytes at a time.
    uint64_t word;
    if (bytes.size() - i >= sizeof word) {
      std::memcpy(&word, bytes.data() + i, sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += sizeof word;
        continue;
      }
    }
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const size_t n = WellFormedUtf8Length(bytes.substr(i));
    if (n != 0) {
      i += n;
      continue;
    }
    out.append(bytes.substr(kept, i - kept));
    out += "\xEF\xBF\xBD";
    kept = ++i;
  }
  out.append(bytes.substr(kept));
  return out;
}

}  // namespace qz::platform

#endif  // QZ_PLATFORM_UTF8_H_
