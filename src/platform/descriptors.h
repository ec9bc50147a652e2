// How many descriptors the process may hold, for code that must leave room for others.
#ifndef QZ_PLATFORM_DESCRIPTORS_H_
#define QZ_PLATFORM_DESCRIPTORS_H_

#include <cstddef>

namespace qz::platform {

// The most descriptors (sockets included) this process may have open at once, as the system
// enforces it now; SIZE_MAX when there is no limit or it cannot be read. Any thread.
size_t OpenDescriptorLimit();

}  // namespace qz::platform

#endif  // QZ_PLATFORM_DESCRIPTORS_H_
