// Linux backend of Poller: epoll with EPOLLONESHOT (but for persistent watches), and an eventfd
// for wake-ups.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/poller.h"

namespace qz::platform {
namespace {

// Token of the wake-up eventfd; the loop never hands out this token.
constexpr uint64_t kWakeToken = UINT64_MAX;
constexpr int kBatch = 256;

// The one place where the backend's errno becomes a Status, in the sockets' Winsock numbering.
Status ErrnoStatus(const char* what, int err) {
  int32_t code = errc::kWsaInvalidArgument;
  if (err == EMFILE || err == ENFILE) code = errc::kWsaTooManySockets;
  if (err == ENOMEM || err == ENOSPC || err == ENOBUFS) code = errc::kWsaNoBufferSpace;
  return Status::Error(code, std::string(what) + " (" + std::strerror(err) + ")");
}

uint32_t ToEpoll(uint32_t events) {
  const bool watched = (events & (kIoReadable | kIoWritable)) != 0;
  // Nothing watched stays one-shot: epoll reports errors and hang-ups to every watch.
  uint32_t e = watched && (events & kIoPersistent) != 0 ? 0u : uint32_t{EPOLLONESHOT};
  if (events & kIoReadable) e |= EPOLLIN | EPOLLRDHUP;
  if (events & kIoWritable) e |= EPOLLOUT;
  return e;
}

uint32_t FromEpoll(uint32_t e) {
  uint32_t events = kIoNone;
  if (e & (EPOLLIN | EPOLLPRI | EPOLLRDHUP)) events |= kIoReadable;
  if (e & EPOLLOUT) events |= kIoWritable;
  if (e & (EPOLLERR | EPOLLHUP)) events |= kIoReadable | kIoWritable | kIoError;
  if (e & (EPOLLRDHUP | EPOLLHUP)) events |= kIoPeerClosed;
  return events;
}

class EpollPoller final : public Poller {
 public:
  EpollPoller(int epfd, int wakefd) : epfd_(epfd), wakefd_(wakefd) {}
  ~EpollPoller() override {
    ::close(wakefd_);
    ::close(epfd_);
  }

  Status Add(int fd, uint32_t events, uint64_t token) override {
    return Control(EPOLL_CTL_ADD, fd, events, token, "cannot watch the socket");
  }

  Status Modify(int fd, uint32_t events, uint64_t token) override {
    return Control(EPOLL_CTL_MOD, fd, events, token, "cannot re-arm the socket's watch");
  }

  void Delete(int fd) override {
    epoll_event ev{};  // a non-null pointer for kernels before 2.6.9
    ::epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, &ev);
  }

  // Closing the descriptor removes it from the epoll set: the sockets are never duplicated, so
  // the close is the last reference. (A forked child's copy keeps it registered until it closes
  // too; its one-shot event then names a watch id the core no longer has, and is dropped.)
  void DeleteClosing(int /*fd*/) override {}

  int Poll(int timeout_ms, PolledEvent* out, int capacity) override {
    if (capacity > kBatch) capacity = kBatch;
    int n = ::epoll_wait(epfd_, buf_, capacity, timeout_ms);
    if (n < 0) return 0;  // EINTR: the caller recomputes its deadline
    int count = 0;
    for (int i = 0; i < n; ++i) {
      if (buf_[i].data.u64 == kWakeToken) continue;
      out[count++] = PolledEvent{buf_[i].data.u64, FromEpoll(buf_[i].events)};
    }
    return count;
  }

  int TakeReady(PolledEvent* out, int capacity) override { return Poll(0, out, capacity); }

  void Wake() override {
    uint64_t one = 1;
    // EAGAIN means the counter is already non-zero: the wake-up is pending anyway.
    [[maybe_unused]] ssize_t r = ::write(wakefd_, &one, sizeof one);
  }

  void ClearWake() override {
    uint64_t value;
    [[maybe_unused]] ssize_t r = ::read(wakefd_, &value, sizeof value);
  }

  int Fd() const override { return epfd_; }

 private:
  Status Control(int op, int fd, uint32_t events, uint64_t token, const char* what) {
    epoll_event ev{};
    ev.events = ToEpoll(events);
    ev.data.u64 = token;
    if (::epoll_ctl(epfd_, op, fd, &ev) == 0) return Status::OK();
    return ErrnoStatus(what, errno);
  }

  int epfd_;
  int wakefd_;
  epoll_event buf_[kBatch];
};

}  // namespace

// The hook is never called: every event of epoll comes through Poll.
Result<std::unique_ptr<Poller>> Poller::Create(std::function<void()> /*ready_hook*/) {
  int epfd = ::epoll_create1(EPOLL_CLOEXEC);
  if (epfd < 0) return ErrnoStatus("cannot create the event loop's epoll", errno);
  int wakefd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakefd < 0) {
    Status failed = ErrnoStatus("cannot create the event loop's eventfd", errno);
    ::close(epfd);
    return failed;
  }
  // Level-triggered and persistent, unlike the watches: it stays readable while work is queued.
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeToken;
  if (::epoll_ctl(epfd, EPOLL_CTL_ADD, wakefd, &ev) != 0) {
    Status failed = ErrnoStatus("cannot watch the event loop's eventfd", errno);
    ::close(wakefd);
    ::close(epfd);
    return failed;
  }
  return std::unique_ptr<Poller>(std::make_unique<EpollPoller>(epfd, wakefd));
}

}  // namespace qz::platform
