#include "platform/host_name.h"

#include <optional>

#include "platform/socket_api.h"

namespace qz::platform {

bool CouldBeHostName(std::string_view s) {
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);
  if (s.empty() || s.size() > 253) return false;
  size_t label = 0;
  bool label_has_letter = false;
  for (char c : s) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      label_has_letter = false;
      continue;
    }
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
    if (!letter && !(c >= '0' && c <= '9')) return false;
    label_has_letter = label_has_letter || letter;
    if (++label > 63) return false;
  }
  return label_has_letter;
}

// Text that cannot be a host name never goes to the resolver: a presence row may hold anything,
// and a look-up of such text could leave the machine or block the thread for nothing.
Result<uint32_t> ResolveRemoteHost(const std::string& host) {
  if (host.empty()) return Status::Error(errc::kWsaHostNotFound, "no remote host given");
  if (std::optional<uint32_t> numeric = sockets::ParseNumericIpv4(host)) return *numeric;
  if (!CouldBeHostName(host)) {
    return Status::Error(errc::kWsaHostNotFound, "not an address or host name: " + host);
  }
  Result<uint32_t> found = sockets::ResolveIpv4(host);
  if (!found.ok()) {
    return Status::Error(errc::kWsaHostNotFound,
                         "host not found: " + host + " (" + found.status().message() + ")");
  }
  return found;
}

}  // namespace qz::platform
