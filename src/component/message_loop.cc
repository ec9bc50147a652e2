#include "qz/message_loop.h"

#include "platform/event_loop.h"
#include "platform/socket_control.h"
#include "qz/net_message.h"
#include "transport/connection_registry.h"

namespace qz {
namespace loop {

void DoEvents() { platform::EventLoop::Current().DoEvents(); }
void Run() { platform::EventLoop::Current().Run(); }
void Stop() { platform::EventLoop::Current().Stop(); }
void RunFor(std::chrono::milliseconds duration) { platform::EventLoop::Current().RunFor(duration); }
bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  return platform::EventLoop::Current().RunUntil(done, timeout);
}
void Post(std::function<void()> task) { platform::EventLoop::Current().Post(std::move(task)); }
int PollFd() { return platform::EventLoop::Current().PollFd(); }

}  // namespace loop

void SetLocalIPOverride(std::string_view address) {
  platform::SetLocalIPOverride(std::string(address));
}

size_t PendingConnections() { return transport::ConnectionCount(); }

}  // namespace qz
