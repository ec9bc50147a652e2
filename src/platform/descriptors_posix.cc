#include <sys/resource.h>

#include <cstdint>

#include "platform/descriptors.h"

namespace qz::platform {

size_t OpenDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  return static_cast<size_t>(limit.rlim_cur);
}

}  // namespace qz::platform
