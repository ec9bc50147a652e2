// Codeset names, as locales and hosts spell them ("UTF-8", "utf8", "GBK", "CP936",
// "ANSI_X3.4-1968"), and which of them count as UTF-8.
#ifndef QZ_COMMON_CODESET_NAME_H_
#define QZ_COMMON_CODESET_NAME_H_

#include <string>
#include <string_view>

namespace qz_common {

// name in upper case (ASCII letters only) without '-', '_', '.' and ' ', so that spellings of
// one codeset compare equal: "ISO-8859-1", "iso8859_1" and "ISO 8859.1" all give "ISO88591".
inline std::string NormalizedCodesetName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    if (c == '-' || c == '_' || c == '.' || c == ' ') continue;
    out += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return out;
}

// Whether text in the named codeset is handled as UTF-8: UTF-8 itself, and plain ASCII (the C
// locale's "ANSI_X3.4-1968", "ASCII", "US-ASCII", "646"), which UTF-8 contains.
inline bool IsUtf8CodesetName(std::string_view name) {
  const std::string n = NormalizedCodesetName(name);
  return n == "UTF8" || n == "ANSIX341968" || n == "ASCII" || n == "USASCII" || n == "646";
}

}  // namespace qz_common

#endif  // QZ_COMMON_CODESET_NAME_H_
