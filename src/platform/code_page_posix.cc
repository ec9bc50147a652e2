#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>

#include "platform/code_page.h"

namespace qz::platform {
namespace {

// Length of the UTF-8 sequence that starts with lead byte c (1 for a stray byte).
size_t Utf8SequenceLength(unsigned char c) {
  if (c >= 0xF0 && c <= 0xF4) return 4;
  if (c >= 0xE0) return c <= 0xEF ? 3 : 1;
  if (c >= 0xC2) return 2;
  return 1;
}

// The longest prefix of s that does not end inside a UTF-8 sequence and has at most max bytes.
size_t Utf8BoundaryAtOrBelow(std::string_view s, size_t max) {
  if (s.size() <= max) return s.size();
  size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

bool IsUtf8Name(std::string_view name) {
  std::string lower;
  for (char c : name) {
    if (c != '-' && c != '_') lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  return lower == "utf8" || lower == "ansix3.41968" || lower == "ascii" || lower == "usascii" ||
         lower == "646";
}

// One iconv descriptor per direction and code page, per thread (iconv_t is not thread-safe).
iconv_t Descriptor(const std::string& to, const std::string& from) {
  thread_local std::unordered_map<std::string, iconv_t> cache;
  const std::string key = to + '\n' + from;
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.emplace(key, iconv_open(to.c_str(), from.c_str())).first;
  iconv(it->second, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
  return it->second;
}

// Converts input with cd. An input sequence that cannot be converted is replaced by
// `replacement` and skipped: `skip(rest)` says how many input bytes it covers.
template <typename Skip>
std::string Convert(iconv_t cd, std::string_view input, std::string_view replacement, Skip skip) {
  std::string out;
  out.reserve(input.size() * 2 + 8);
  char buffer[512];
  char* in = const_cast<char*>(input.data());
  size_t in_left = input.size();
  while (in_left > 0) {
    char* dst = buffer;
    size_t dst_left = sizeof buffer;
    const size_t rc = iconv(cd, &in, &in_left, &dst, &dst_left);
    out.append(buffer, static_cast<size_t>(dst - buffer));
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (a truncated sequence at the end): replace and go on.
    const size_t n = std::min(in_left, std::max<size_t>(1, skip(std::string_view(in, in_left))));
    out += replacement;
    in += n;
    in_left -= n;
  }
  char* dst = buffer;
  size_t dst_left = sizeof buffer;
  iconv(cd, nullptr, nullptr, &dst, &dst_left);  // flush a shift state
  out.append(buffer, static_cast<size_t>(dst - buffer));
  return out;
}

std::string LocaleCodeset() {
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return "UTF-8";  // an unknown locale: as C
  std::string codeset = nl_langinfo_l(CODESET, loc);
  freelocale(loc);
  return codeset;
}

}  // namespace

const CodePage& CodePage::System() {
  static const CodePage system = [] {
    Result<CodePage> named = Named(LocaleCodeset());
    return named.ok() ? *named : CodePage("UTF-8", true);
  }();
  return system;
}

Result<CodePage> CodePage::Named(std::string_view name) {
  if (IsUtf8Name(name)) return CodePage("UTF-8", true);
  const std::string n(name);
  iconv_t probe = iconv_open(n.c_str(), "UTF-8");
  if (probe == reinterpret_cast<iconv_t>(-1)) {
    return Status::Error(errc::kInvalidArgument, "unknown code page " + n);
  }
  iconv_close(probe);
  return CodePage(n, false);
}

std::string CodePage::FromUtf8(std::string_view utf8) const {
  if (utf8_) return std::string(utf8);
  return Convert(Descriptor(name_, "UTF-8"), utf8, "?", [](std::string_view rest) {
    return Utf8SequenceLength(static_cast<unsigned char>(rest[0]));
  });
}

std::string CodePage::ToUtf8(std::string_view bytes) const {
  if (utf8_) return std::string(bytes);
  return Convert(Descriptor("UTF-8", name_), bytes, "\xEF\xBF\xBD",
                 [](std::string_view) { return size_t{1}; });
}

std::string CodePage::FromUtf8Fitted(std::string_view utf8, size_t max_bytes) const {
  if (utf8_) return std::string(utf8.substr(0, Utf8BoundaryAtOrBelow(utf8, max_bytes)));
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
