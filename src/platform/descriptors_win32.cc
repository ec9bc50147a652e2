// Windows sets no per-process limit on sockets that a program could read; memory and the
// system's port range are what run out, and Winsock reports those per call (10055, 10024).
#include <cstdint>

#include "platform/descriptors.h"

namespace qz::platform {

size_t OpenDescriptorLimit() { return SIZE_MAX; }
void RefreshOpenDescriptorLimit() {}

}  // namespace qz::platform
