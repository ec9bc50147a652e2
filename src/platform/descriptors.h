// How many descriptors the process may hold, for code that must leave room for others.
#ifndef QZ_PLATFORM_DESCRIPTORS_H_
#define QZ_PLATFORM_DESCRIPTORS_H_

#include <cstddef>

namespace qz::platform {

// The most descriptors (sockets included) this process may have open at once, as the system
// enforces it; SIZE_MAX when there is no limit or it cannot be read. Any thread. Asked for on
// every accepted connection, so the value is read from the system at most once a second; a
// change made by another process shows within that second.
size_t OpenDescriptorLimit();
// Makes the next OpenDescriptorLimit() read the system's value: for code that just changed it.
void RefreshOpenDescriptorLimit();

}  // namespace qz::platform

#endif  // QZ_PLATFORM_DESCRIPTORS_H_
