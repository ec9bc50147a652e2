#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>

#include "platform/code_page.h"
#include "platform/utf8.h"
#include "qz_common/codeset_name.h"
#include "qz_common/locale_codeset_posix.h"

namespace qz::platform {
namespace {

// One iconv descriptor per direction and code page, per thread (iconv_t is not thread-safe),
// closed when the thread ends.
class DescriptorCache {
 public:
  ~DescriptorCache() {
    for (auto& [key, cd] : cache_) {
      if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
  }
  iconv_t Get(const std::string& to, const std::string& from) {
    const std::string key = to + '\n' + from;
    auto it = cache_.find(key);
    if (it == cache_.end()) it = cache_.emplace(key, iconv_open(to.c_str(), from.c_str())).first;
    iconv(it->second, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
    return it->second;
  }

 private:
  std::unordered_map<std::string, iconv_t> cache_;
};

iconv_t Descriptor(const std::string& to, const std::string& from) {
  thread_local DescriptorCache cache;
  return cache.Get(to, from);
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

}  // namespace

const CodePage& CodePage::System() {
  static const CodePage system = [] {
    Result<CodePage> named = Named(qz_common::LocaleCodeset());
    return named.ok() ? *named : CodePage("UTF-8", true);
  }();
  return system;
}

Result<CodePage> CodePage::Named(std::string_view name) {
  if (qz_common::IsUtf8CodesetName(name)) return CodePage("UTF-8", true);
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
  if (utf8_) return WellFormedUtf8(bytes);
  return Convert(Descriptor("UTF-8", name_), bytes, "\xEF\xBF\xBD",
                 [](std::string_view) { return size_t{1}; });
}

}  // namespace qz::platform
