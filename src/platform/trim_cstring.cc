#include "platform/trim_cstring.h"

namespace qz {

std::string TrimCString(std::string_view s) {
  const size_t nul = s.find('\0');
  if (nul != std::string_view::npos) s = s.substr(0, nul);
  const size_t last = s.find_last_not_of(' ');
  return std::string(last == std::string_view::npos ? std::string_view() : s.substr(0, last + 1));
}

}  // namespace qz
