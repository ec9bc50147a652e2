#include "worker.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "util.h"

namespace qz::bench {

Channel::~Channel() { Close(); }

void Channel::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool Channel::WriteLine(std::string_view line) {
  std::string out(line);
  out += '\n';
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = write(fd_, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> Channel::ReadLine() {
  for (;;) {
    size_t nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return line;
    }
    char buf[4096];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;  // also for a closed channel (EBADF)
    buffered_.append(buf, static_cast<size_t>(n));
  }
}

bool EnterOwnNetworkNamespace() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  // A new namespace has only a loopback interface, and it is down.
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  ifreq ifr{};
  std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
  bool up = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  up = up && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  close(s);
  return up;
}

bool EnterNetworkNamespaceOf(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/ns/net";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool entered = setns(fd, CLONE_NEWNET) == 0;
  close(fd);
  return entered;
}

std::unique_ptr<Worker> Worker::Start(const Body& body, const Worker* share_with) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return nullptr;
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return nullptr;
  }
  if (pid == 0) {
    close(fds[0]);
    Channel parent(fds[1]);
    const bool isolated = share_with != nullptr
                              ? share_with->isolated_ && EnterNetworkNamespaceOf(share_with->pid_)
                              : EnterOwnNetworkNamespace();
    // The first line tells the parent where the child runs.
    if (!parent.WriteLine(isolated ? "netns own" : "netns shared")) _exit(1);
    int rc = body(parent);
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(rc);
  }
  close(fds[1]);
  std::unique_ptr<Worker> w(new Worker(pid, fds[0]));
  std::optional<std::string> hello = w->channel_.ReadLine();
  if (!hello) return nullptr;
  w->isolated_ = *hello == "netns own";
  return w;
}

Worker::~Worker() {
  // Ends the body's request loop; a child stuck elsewhere is killed.
  channel_.Close();
  const int64_t deadline = NowNs() + 10'000'000'000;
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno != EINTR)) return;
    if (NowNs() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      return;
    }
    usleep(2000);
  }
}

std::optional<std::string> Worker::Call(std::string_view request) {
  if (!channel_.WriteLine(request)) return std::nullopt;
  return channel_.ReadLine();
}

int ServeLines(Channel& parent, const std::function<std::string(const std::string&)>& handle) {
  while (std::optional<std::string> line = parent.ReadLine()) {
    if (!parent.WriteLine(handle(*line))) break;
  }
  return 0;
}

}  // namespace qz::bench
