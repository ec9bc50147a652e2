#include "endpoints.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "util.h"

namespace qz::bench {

LoopbackEndpoints::~LoopbackEndpoints() {
  for (int fd : fds_) close(fd);
  if (listener_ >= 0) close(listener_);
}

Status LoopbackEndpoints::GrowTo(int64_t count) {
  if (listener_ < 0) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return Errno("endpoints: socket");
    sockaddr_in sa = Loopback(0);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      return Errno("endpoints: bind");
    }
    if (listen(listener_, 1024) != 0) return Errno("endpoints: listen");
  }
  sockaddr_in at{};
  socklen_t len = sizeof at;
  if (getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &len) != 0) {
    return Errno("endpoints: getsockname");
  }
  // One pair at a time: a blocking connect on loopback completes at once, and the accept
  // queue never overflows.
  while (count > static_cast<int64_t>(fds_.size())) {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c < 0) return Errno("endpoints: socket");
    if (connect(c, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
      close(c);
      return Errno("endpoints: connect");
    }
    int a = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (a < 0) {
      close(c);
      return Errno("endpoints: accept");
    }
    fds_.push_back(c);
    fds_.push_back(a);
  }
  return Status::OK();
}

Result<std::unique_ptr<EndpointHolder>> EndpointHolder::Fork() {
  int command[2];
  int reply[2];
  if (pipe2(command, O_CLOEXEC) != 0) return Errno("holder: pipe");
  if (pipe2(reply, O_CLOEXEC) != 0) return Errno("holder: pipe");
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) return Errno("holder: fork");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(command[1]);
    close(reply[0]);
    LoopbackEndpoints endpoints;
    int64_t count;
    // Each request grows the endpoints; end of stream ends the child.
    while (read(command[0], &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
      Status s = endpoints.GrowTo(count);
      if (!s.ok()) std::fprintf(stderr, "endpoint holder: %s\n", s.ToString().c_str());
      char ok = s.ok() ? '1' : '0';
      (void)!write(reply[1], &ok, 1);
    }
    _exit(0);
  }
  close(command[0]);
  close(reply[1]);
  return std::unique_ptr<EndpointHolder>(new EndpointHolder(pid, command[1], reply[0]));
}

Status EndpointHolder::Open(int64_t count) {
  if (write(command_, &count, sizeof count) != static_cast<ssize_t>(sizeof count)) {
    return Errno("holder: write");
  }
  char ok = '0';
  ssize_t n;
  while ((n = read(reply_, &ok, 1)) < 0 && errno == EINTR) {
  }
  if (n != 1 || ok != '1') {
    return Status::Error(errc::kWsaTooManySockets,
                         "the endpoint holder could not open its endpoints");
  }
  return Status::OK();
}

EndpointHolder::~EndpointHolder() {
  close(command_);
  close(reply_);
  int status;
  waitpid(pid_, &status, 0);
}

}  // namespace qz::bench
