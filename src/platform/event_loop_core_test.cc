// The loop core over a scripted backend: the parts of the Poller contract that epoll never
// exercises (the ready hook of a host that pumps its own messages) and backend failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/event_loop.h"
#include "platform/poller.h"
#include "qz/status.h"

namespace qz::platform {
namespace {

// What the backend holds, shared by the test and the scripted poller.
struct Backend {
  std::function<void()> ready_hook;
  std::map<int, uint64_t> tokens;    // fd -> token of its watch
  std::vector<PolledEvent> pending;  // collected, not returned yet
  int polls = 0;
  int takes = 0;
  int wakes = 0;
  bool woken = false;
  int poll_fd = -1;  // -1: the thread's message queue is the source, as on Windows
  Status add_result;
  Status modify_result;

  // The backend saw fd ready (Windows: its window procedure collected it).
  void Collect(int fd, uint32_t events) { pending.push_back({tokens.at(fd), events}); }
  void DropToken(uint64_t token) {
    std::erase_if(pending, [&](const PolledEvent& e) { return e.token == token; });
  }
};

class ScriptedPoller final : public Poller {
 public:
  explicit ScriptedPoller(Backend* b) : b_(b) {}
  Status Add(int fd, uint32_t, uint64_t token) override {
    if (b_->add_result.ok()) b_->tokens[fd] = token;
    return b_->add_result;
  }
  Status Modify(int fd, uint32_t, uint64_t token) override {
    if (!b_->modify_result.ok()) return b_->modify_result;
    b_->DropToken(b_->tokens.at(fd));
    b_->tokens[fd] = token;
    return Status::OK();
  }
  void Delete(int fd) override {
    b_->DropToken(b_->tokens.at(fd));
    b_->tokens.erase(fd);
  }
  int Poll(int, PolledEvent* out, int capacity) override {
    ++b_->polls;
    return Hand(out, capacity);
  }
  int TakeReady(PolledEvent* out, int capacity) override {
    ++b_->takes;
    return Hand(out, capacity);
  }
  void Wake() override {
    ++b_->wakes;
    b_->woken = true;
  }
  void ClearWake() override { b_->woken = false; }
  int Fd() const override { return b_->poll_fd; }

 private:
  int Hand(PolledEvent* out, int capacity) {
    int n = 0;
    for (; n < capacity && n < static_cast<int>(b_->pending.size()); ++n) out[n] = b_->pending[n];
    b_->pending.erase(b_->pending.begin(), b_->pending.begin() + n);
    return n;
  }
  Backend* b_;
};

std::unique_ptr<EventLoop> LoopOver(Backend* b) {
  return NewEventLoop([b](std::function<void()> hook) -> Result<std::unique_ptr<Poller>> {
    b->ready_hook = std::move(hook);
    return std::unique_ptr<Poller>(std::make_unique<ScriptedPoller>(b));
  });
}

class Handler : public IoHandler {
 public:
  void OnIoReady(uint32_t) override {
    ++calls;
    if (on_ready) on_ready();
  }
  int calls = 0;
  std::function<void()> on_ready;
};

TEST(EventLoopCoreTest, ReadyHookRunsAPassThatNeitherWaitsNorPumps) {
  Backend b;
  auto loop = LoopOver(&b);
  Handler h;
  ASSERT_TRUE(loop->Watch(5, kIoReadable, &h).ok());
  int ran = 0;
  loop->Post([&] { ++ran; });
  EXPECT_TRUE(b.woken);
  b.Collect(5, kIoReadable);
  b.ready_hook();  // the host dispatched the backend's message
  EXPECT_EQ(h.calls, 1);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(b.polls, 0);
  EXPECT_EQ(b.takes, 1);
  EXPECT_FALSE(b.woken);  // nothing left to do
}

TEST(EventLoopCoreTest, TasksPostedInAHookPassKeepTheWakeUpForTheNextOne) {
  Backend b;
  auto loop = LoopOver(&b);
  std::vector<int> order;
  loop->Post([&] {
    order.push_back(1);
    loop->Post([&] { order.push_back(2); });
  });
  b.ready_hook();
  EXPECT_EQ(order, (std::vector<int>{1}));
  EXPECT_TRUE(b.woken);  // a host that only pumps must come back for task 2
  b.ready_hook();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_FALSE(b.woken);
}

// With a descriptor that a host polls, the wake-up is made only when control goes back to the
// host with tasks queued; inside a run the next pass takes them without it.
TEST(EventLoopCoreTest, APolledBackendIsWokenOnlyWhenTheHostGetsControlBack) {
  Backend b;
  b.poll_fd = 7;
  auto loop = LoopOver(&b);
  std::vector<int> order;
  loop->Post([&] {
    order.push_back(1);
    loop->Post([&] { order.push_back(2); });  // inside the run: no wake-up
    EXPECT_EQ(b.wakes, 1);
  });
  EXPECT_EQ(b.wakes, 1);  // posted by the host
  EXPECT_TRUE(loop->RunUntil([&] { return order.size() == 2; }, std::chrono::milliseconds(1000)));
  EXPECT_EQ(b.wakes, 1);
  EXPECT_FALSE(b.woken);

  // A task that a handler posts during a host's DoEvents() waits for the next pass: the pass
  // wakes the host before it returns. So does a run that ends with a task left.
  Handler h;
  ASSERT_TRUE(loop->Watch(5, kIoReadable, &h).ok());
  const std::function<void()> in_pass[] = {[&] { loop->DoEvents(); }, [&] { loop->Run(); }};
  for (int i = 0; i < 2; ++i) {
    h.on_ready = [&, i] {
      if (i == 1) loop->Stop();
      loop->Post([&, i] { order.push_back(3 + i); });
    };
    b.Collect(5, kIoReadable);
    in_pass[i]();
    EXPECT_EQ(b.wakes, 2 + i);
    EXPECT_TRUE(b.woken);  // the task waits for the host
    loop->DoEvents();
    EXPECT_EQ(order.back(), 3 + i);
    EXPECT_FALSE(b.woken);
  }
}

// A task withdrawn in the pass that posted it leaves the host nothing to be woken for; the
// others keep their order, and withdrawing one that ran, or twice, changes nothing.
TEST(EventLoopCoreTest, AWithdrawnTaskNeitherRunsNorWakesTheHost) {
  Backend b;
  b.poll_fd = 7;
  auto loop = LoopOver(&b);
  std::vector<int> order;
  TaskId moot = 0;
  Handler h;
  ASSERT_TRUE(loop->Watch(5, kIoReadable, &h).ok());
  h.on_ready = [&] {
    moot = loop->Post([&] { order.push_back(99); });
    loop->Cancel(moot);
  };
  b.Collect(5, kIoReadable);
  loop->DoEvents();
  EXPECT_NE(moot, 0u);
  EXPECT_EQ(b.wakes, 0);
  EXPECT_FALSE(b.woken);

  const TaskId first = loop->Post([&] { order.push_back(1); });
  const TaskId second = loop->Post([&] { order.push_back(2); });
  loop->Post([&] { order.push_back(3); });
  loop->Cancel(second);
  loop->Cancel(second);
  loop->Cancel(moot);
  loop->DoEvents();
  EXPECT_EQ(order, (std::vector<int>{1, 3}));
  loop->Cancel(first);
  loop->DoEvents();
  EXPECT_EQ(order, (std::vector<int>{1, 3}));
  EXPECT_FALSE(b.woken);
}

TEST(EventLoopCoreTest, ThePeerCloseHintComesOnlyWithReadable) {
  Backend b;
  auto loop = LoopOver(&b);
  uint32_t got_r = 0, got_w = 0;
  struct Recorder : IoHandler {
    uint32_t* got;
    explicit Recorder(uint32_t* g) : got(g) {}
    void OnIoReady(uint32_t events) override { *got = events; }
  } r(&got_r), w(&got_w);
  ASSERT_TRUE(loop->Watch(5, kIoReadable, &r).ok());
  ASSERT_TRUE(loop->Watch(6, kIoWritable, &w).ok());
  const uint32_t hang_up = kIoReadable | kIoWritable | kIoPeerClosed;
  b.Collect(5, hang_up);
  b.Collect(6, hang_up);
  loop->DoEvents();
  EXPECT_EQ(got_r, kIoReadable | kIoPeerClosed);
  EXPECT_EQ(got_w, static_cast<uint32_t>(kIoWritable));
}

TEST(EventLoopCoreTest, HookInsideAHandlerIsANestedPassAndStaleEventsAreDropped) {
  // A pass polls both a and b. a's handler re-arms b and the host pumps: the nested pass
  // delivers b's fresh event; the outer pass must drop the one it collected before the re-arm.
  Backend b;
  auto loop = LoopOver(&b);
  Handler ha, hb;
  Result<WatchId> ia = loop->Watch(5, kIoReadable, &ha);
  Result<WatchId> ib = loop->Watch(6, kIoReadable, &hb);
  ASSERT_TRUE(ia.ok() && ib.ok());
  ha.on_ready = [&] {
    ASSERT_TRUE(loop->Modify(*ib, kIoReadable).ok());
    b.Collect(6, kIoReadable);
    b.ready_hook();
    EXPECT_EQ(hb.calls, 1);
  };
  b.Collect(5, kIoReadable);
  b.Collect(6, kIoReadable);
  loop->DoEvents();
  EXPECT_EQ(ha.calls, 1);
  EXPECT_EQ(hb.calls, 1);
  EXPECT_EQ(b.polls, 1);
  EXPECT_EQ(b.takes, 1);
}

TEST(EventLoopCoreTest, BackendFailuresComeBackFromTheFailingCall) {
  Backend b;
  auto loop = LoopOver(&b);
  Handler h;
  b.add_result = Status::Error(errc::kWsaNoBufferSpace, "cannot watch the socket (full)");
  Result<WatchId> refused = loop->Watch(5, kIoReadable, &h);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.status().code(), errc::kWsaNoBufferSpace);
  EXPECT_EQ(refused.status().message(), "cannot watch the socket (full)");

  b.add_result = Status::OK();
  Result<WatchId> id = loop->Watch(5, kIoReadable, &h);
  ASSERT_TRUE(id.ok());
  b.modify_result = Status::Error(errc::kWsaInvalidArgument, "cannot re-arm (bad)");
  Status rearm = loop->Modify(*id, kIoReadable);
  EXPECT_EQ(rearm.code(), errc::kWsaInvalidArgument);
  EXPECT_EQ(rearm.message(), "cannot re-arm (bad)");
}

TEST(EventLoopCoreTest, ALoopWithoutBackendRunsTasksAndMakesOneAtTheNextWatch) {
  // Descriptors exhausted when the thread's loop was made: tasks still run, and a Watch once
  // the backend can be made succeeds; until then it fails with the backend's reason.
  Backend b;
  int attempts = 0;
  auto loop = NewEventLoop([&](std::function<void()> hook) -> Result<std::unique_ptr<Poller>> {
    if (++attempts <= 2) return Status::Error(errc::kWsaTooManySockets, "no descriptors");
    b.ready_hook = std::move(hook);
    return std::unique_ptr<Poller>(std::make_unique<ScriptedPoller>(&b));
  });
  int ran = 0;
  loop->Post([&] { ++ran; });
  loop->DoEvents();
  EXPECT_EQ(ran, 1);
  Handler h;
  Result<WatchId> failed = loop->Watch(5, kIoReadable, &h);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.status().code(), errc::kWsaTooManySockets);
  ASSERT_TRUE(loop->Watch(5, kIoReadable, &h).ok());
  b.Collect(5, kIoReadable);
  loop->DoEvents();
  EXPECT_EQ(h.calls, 1);
  EXPECT_EQ(attempts, 3);
}

}  // namespace
}  // namespace qz::platform
