#include "event_wait.h"

#include <poll.h>

#include "qz/message_loop.h"

namespace qzmsg {

std::vector<bool> WaitAndDispatch(const std::vector<int>& fds, int timeout_ms) {
  std::vector<pollfd> watched;
  watched.push_back({qz::loop::PollFd(), POLLIN, 0});
  for (int fd : fds) watched.push_back({fd, POLLIN, 0});
  const int ready = poll(watched.data(), watched.size(), timeout_ms);
  std::vector<bool> readable(fds.size(), false);
  if (ready <= 0) return readable;  // timeout, or EINTR: the caller looks at its state again
  if (watched[0].revents != 0) qz::loop::DoEvents();
  for (size_t i = 0; i < fds.size(); ++i) readable[i] = watched[i + 1].revents != 0;
  return readable;
}

}  // namespace qzmsg
