#include "shutdown_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace qzmsg {
namespace {

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_requested = 0;

void OnShutdownSignal(int) {
  const int saved_errno = errno;
  g_requested = 1;
  const char byte = 1;
  // Never drained, so that every later poll() sees the request too; one byte is enough.
  const ssize_t written = write(g_pipe[1], &byte, 1);
  (void)written;
  errno = saved_errno;
}

qz::Status Failure(const char* what) {
  return qz::Status::Error(qz::errc::kInvalidArgument,
                           std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

qz::Result<int> InstallShutdownSignals() {
  if (g_pipe[0] >= 0) return g_pipe[0];
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return Failure("pipe");
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnShutdownSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) {
    return Failure("sigaction");
  }
  // A closed terminal logs out as Ctrl-C does, rather than leaving the row of a client that is
  // gone; unless hang-ups are ignored (nohup), as the user asked.
  struct sigaction hangup;
  if (sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN &&
      sigaction(SIGHUP, &action, nullptr) != 0) {
    return Failure("sigaction");
  }
  signal(SIGPIPE, SIG_IGN);
  return g_pipe[0];
}

bool ShutdownRequested() { return g_requested != 0; }

}  // namespace qzmsg
