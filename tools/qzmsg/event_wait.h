// Waiting on the message loop together with the host's own descriptors.
#ifndef QZMSG_EVENT_WAIT_H_
#define QZMSG_EVENT_WAIT_H_

#include <vector>

namespace qzmsg {

// Waits until the calling thread's message loop or one of fds is readable, or timeout_ms has
// passed (-1: no limit), and lets the loop dispatch what it has. Returns, for each of fds,
// whether it is readable.
std::vector<bool> WaitAndDispatch(const std::vector<int>& fds, int timeout_ms);

}  // namespace qzmsg

#endif  // QZMSG_EVENT_WAIT_H_
