// What a RemoteHost text may name, and the address it names.
#ifndef QZ_PLATFORM_HOST_NAME_H_
#define QZ_PLATFORM_HOST_NAME_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "qz/status.h"

namespace qz::platform {

// Whether text could be a host name: letters, digits, '-' and '_' in dot-separated labels of 1
// to 63, at most 253 in all (a final dot aside), and a last label that is not all digits.
bool CouldBeHostName(std::string_view text);

// The IPv4 address (host byte order) that host names: a numeric form is parsed, never looked up;
// a text that could be a host name goes to the system resolver, which may block. Fails with 11001
// when host is empty, cannot be a host name, or is not found.
Result<uint32_t> ResolveRemoteHost(const std::string& host);

}  // namespace qz::platform

#endif  // QZ_PLATFORM_HOST_NAME_H_
