#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/descriptors.h"
#include "platform/event_loop.h"
#include "platform/testing/process_testing.h"

namespace qz::platform::testing {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

int MillisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

size_t OpenDescriptorCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  size_t n = 0;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(dir);
  return n > 0 ? n - 1 : 0;  // the directory's own descriptor
}

bool SetDescriptorLimit(size_t soft) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_max != RLIM_INFINITY && soft > limit.rlim_max) return false;
  limit.rlim_cur = soft;
  const bool set = ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
  RefreshOpenDescriptorLimit();
  return set;
}

ScopedDescriptorLimit::ScopedDescriptorLimit(size_t soft) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  saved_soft_ = limit.rlim_cur;
  ok_ = SetDescriptorLimit(soft);
}

ScopedDescriptorLimit::~ScopedDescriptorLimit() {
  if (ok_) SetDescriptorLimit(static_cast<size_t>(saved_soft_));
}

size_t DescriptorFiller::Fill(size_t leave) {
  for (;;) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    fds_.push_back(fd);
  }
  Release(leave);
  return fds_.size();
}

void DescriptorFiller::Release(size_t n) {
  while (n-- > 0 && !fds_.empty()) {
    ::close(fds_.back());
    fds_.pop_back();
  }
}

Pipe::Pipe() {
  if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
}

Pipe::~Pipe() {
  CloseRead();
  CloseWrite();
}

void Pipe::Write(char c) const {
  if (fds_[1] >= 0) [[maybe_unused]]
    ssize_t r = ::write(fds_[1], &c, 1);
}

char Pipe::TryRead() const { return Read(std::chrono::milliseconds(0)); }

char Pipe::Read(std::chrono::milliseconds timeout) const {
  if (fds_[0] < 0) return '\0';
  pollfd p{fds_[0], POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return '\0';
  char c = '\0';
  return ::read(fds_[0], &c, 1) == 1 ? c : '\0';
}

bool RunLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (EventLoop::Current().RunUntil(done, std::chrono::milliseconds(10))) return true;
  }
  return done();
}

void Pipe::CloseWrite() {
  if (fds_[1] >= 0) ::close(fds_[1]);
  fds_[1] = -1;
}

void Pipe::CloseRead() {
  if (fds_[0] >= 0) ::close(fds_[0]);
  fds_[0] = -1;
}

ChildProcess::ChildProcess(const std::function<int()>& body, const std::vector<int>& keep) {
  pid_ = ::fork();
  if (pid_ != 0) return;
  // The child: nothing of the parent's sockets, loop or listeners stays open here.
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const int top = limit.rlim_cur == RLIM_INFINITY ? 65536 : static_cast<int>(limit.rlim_cur);
  for (int fd = 3; fd < top; ++fd) {
    if (std::find(keep.begin(), keep.end(), fd) == keep.end()) ::close(fd);
  }
  ::alarm(60);  // never outlive a parent that forgot it
  ::_exit(body());
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

int RawConnect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in sa = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

int RawConnectNonBlocking(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in sa = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 &&
      errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool RawAwaitConnected(const std::vector<int>& fds, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<pollfd> waiting;
  for (int fd : fds) waiting.push_back({fd, POLLOUT, 0});
  while (!waiting.empty()) {
    const int n = ::poll(waiting.data(), waiting.size(), MillisLeft(deadline));
    if (n <= 0) return false;
    std::vector<pollfd> still;
    for (const pollfd& p : waiting) {
      if (p.revents == 0) {
        still.push_back({p.fd, POLLOUT, 0});
        continue;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return false;
    }
    waiting.swap(still);
  }
  return true;
}

bool RawSendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t w = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(w));
  }
  return true;
}

void RawResetClose(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

bool RawAwaitPeerClose(int fd, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, MillisLeft(deadline)) <= 0) return false;
    const ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (r == 0) return true;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return true;
  }
}

int RawListen(int backlog, uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa = Loopback(0);
  socklen_t len = sizeof sa;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

std::string RawReadToEnd(int fd, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string out;
  char buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, MillisLeft(deadline)) <= 0) return out;
    const ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (r > 0) {
      out.append(buf, static_cast<size_t>(r));
    } else if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return out;
    }
  }
}

void RawClose(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace qz::platform::testing
