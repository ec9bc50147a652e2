// The component side of the exchange: every party a QZCLS_NetMessage with a row of its own.
#include <pthread.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "exchange.h"
#include "qz/message_loop.h"
#include "qz/net_message.h"
#include "qzpub.h"
#include "util.h"

namespace qz::bench {
namespace {

constexpr const char* kSystem = "bench";
constexpr const char* kReceiverModule = "rx";
constexpr const char* kSenderModule = "tx";

class CountingSink final : public QZCLS_NetMessageEvents {
 public:
  CountingSink(Arrivals* arrivals, int index) : arrivals_(arrivals), index_(index) {}
  void acceptMessage(const std::string& msg, const std::string&, const std::string&,
                     const std::string&) override {
    if (msg == BenchMessageText()) arrivals_->Record(index_);
  }

 private:
  Arrivals* arrivals_;
  int index_;
};

// Counts the sender's deliveries that ended undelivered.
class FailureSink final : public QZCLS_NetMessageEvents {
 public:
  FailureSink(int64_t* count, int32_t* last) : count_(count), last_(last) {}
  void deliveryEnded(const DeliveryOutcome& outcome) override {
    if (outcome.sent()) return;
    ++*count_;
    *last_ = outcome.status.code();
  }

 private:
  int64_t* count_;
  int32_t* last_;
};

Result<int32_t> Connect(const std::string& uri) {
  int32_t h = qzpub_Connect(uri.c_str());
  if (h <= 0) {
    return Status::Error(errc::kFileNotFound, "qzpub_Connect(" + uri + "): " + qzpub_LastError());
  }
  return h;
}

// One receiver's thread: its own connection, object and row; then its loop, for good.
void ReceiverThread(std::string uri, int index, Arrivals* arrivals, std::promise<Status> ready) {
  pthread_setname_np(pthread_self(), "comp-rx");  // for profilers: perf --sort comm
  Result<int32_t> h = Connect(uri);
  if (!h.ok()) {
    ready.set_value(h.status());
    return;
  }
  QZCLS_NetMessage net;
  CountingSink sink(arrivals, index);
  if (Result<uint32_t> cookie = net.Advise(&sink); !cookie.ok()) {
    ready.set_value(cookie.status());
    return;
  }
  ready.set_value(net.Init(*h, "rx" + std::to_string(index), kSystem, kReceiverModule));
  // With no time limit, as a host's message loop waits (and raw's epoll_wait): a limit costs a
  // timer at every wait.
  for (;;) loop::Run();
}

class ComponentExchange final : public Exchange {
 public:
  explicit ComponentExchange(std::string uri) : uri_(std::move(uri)) {}

  Status Start(int receivers) override {
    SetLocalIPOverride("127.0.0.1");
    arrivals_ = std::make_unique<Arrivals>(receivers);
    for (int i = 0; i < receivers; ++i) {
      std::promise<Status> ready;
      std::future<Status> started = ready.get_future();
      std::thread(ReceiverThread, uri_, i, arrivals_.get(), std::move(ready)).detach();
      if (Status s = started.get(); !s.ok()) return s;
    }
    Result<int32_t> h = Connect(uri_);
    if (!h.ok()) return h.status();
    if (Status s = sender_.Init(*h, "tx", kSystem, kSenderModule); !s.ok()) return s;
    // The host's wait watches the loop's descriptor and the arrivals' wake-up in one epoll set
    // made once, as raw's does: a poll() per wait would add work raw does not have.
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) return Errno("component: epoll_create1");
    const auto watch = [this](int fd, uint64_t token) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = token;
      return epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0;
    };
    if (!watch(loop::PollFd(), kLoopToken) || !watch(arrivals_->wake_fd(), kWakeToken)) {
      return Errno("component: epoll_ctl");
    }
    return Status::OK();
  }

  ~ComponentExchange() override {
    if (epoll_ >= 0) close(epoll_);
  }

  Status Broadcast() override {
    return sender_.SendMessage(BenchMessageText(), "", kSystem, kReceiverModule);
  }

  void CountUndelivered() override {
    if (failures_) return;
    failures_ = std::make_unique<FailureSink>(&undelivered_, &last_failure_);
    (void)sender_.Advise(failures_.get());
  }

  void Pump(int timeout_ms) override {
    epoll_event ready[2];
    const int n = epoll_wait(epoll_, ready, 2, timeout_ms);
    bool loop_ready = false;
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.u64 == kWakeToken) arrivals_->DrainWake();
      if (ready[i].data.u64 == kLoopToken) loop_ready = true;
    }
    if (loop_ready) loop::DoEvents();
  }

 private:
  static constexpr uint64_t kLoopToken = 1;
  static constexpr uint64_t kWakeToken = 2;

  std::string uri_;
  int epoll_ = -1;
  std::unique_ptr<FailureSink> failures_;  // outlives sender_, which may still report to it
  QZCLS_NetMessage sender_;
};

}  // namespace

const std::string& BenchMessageText() {
  static const std::string text =
      "Stock count for warehouse 3 closes at 17:00; please post receipts.";
  return text;
}

std::unique_ptr<Exchange> MakeComponentExchange(std::string db_uri) {
  return std::make_unique<ComponentExchange>(std::move(db_uri));
}

}  // namespace qz::bench
