#include "platform/event_loop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "qz/status.h"

namespace qz::platform {
namespace {

using std::chrono::milliseconds;

// A pipe whose read end is watched; readable once Fill() wrote a byte.
class Pipe {
 public:
  Pipe() { EXPECT_EQ(::pipe(fds_), 0); }
  ~Pipe() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int read_fd() const { return fds_[0]; }
  void Fill() { ASSERT_EQ(::write(fds_[1], "x", 1), 1); }

 private:
  int fds_[2] = {-1, -1};
};

class Handler : public IoHandler {
 public:
  void OnIoReady(uint32_t events) override {
    ++calls;
    last = events;
    if (on_ready) on_ready();
  }
  int calls = 0;
  uint32_t last = 0;
  std::function<void()> on_ready;
};

// Watches fd for reading, failing the test when the loop cannot.
WatchId MustWatch(EventLoop& loop, int fd, IoHandler* handler) {
  Result<WatchId> id = loop.Watch(fd, kIoReadable, handler);
  EXPECT_TRUE(id.ok()) << id.status().ToString();
  return id.ok() ? *id : 0;
}

// Two pipes, each watched by a handler of its own, unwatched when the test ends.
class TwoWatchesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ia = MustWatch(loop, pa.read_fd(), &a);
    ib = MustWatch(loop, pb.read_fd(), &b);
  }
  void TearDown() override {
    loop.Unwatch(ia);
    loop.Unwatch(ib);
  }
  // Makes both readable and runs one pass.
  void FillBothAndPass() {
    pa.Fill();
    pb.Fill();
    DoEvents();
  }

  EventLoop& loop = EventLoop::Current();
  Pipe pa, pb;
  Handler a, b;
  WatchId ia = 0, ib = 0;
};

TEST(EventLoopTest, PostedTasksRunInOrderAtTheNextPass) {
  EventLoop& loop = EventLoop::Current();
  std::vector<int> order;
  loop.Post([&] {
    order.push_back(1);
    loop.Post([&] { order.push_back(3); });  // posted during a pass: the next pass
  });
  loop.Post([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());
  DoEvents();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  DoEvents();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(EventLoopTest, NestedPassRunsOnlyTasksTheOuterPassHasNotRun) {
  EventLoop& loop = EventLoop::Current();
  std::vector<int> order;
  loop.Post([&] {
    order.push_back(1);
    loop.Post([&] { order.push_back(3); });
    DoEvents();  // runs 2 and 3, queued before this nested call
  });
  loop.Post([&] { order.push_back(2); });
  DoEvents();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  DoEvents();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(EventLoopTest, ReadinessIsReportedOnceUntilModifyRearms) {
  EventLoop& loop = EventLoop::Current();
  Pipe p;
  Handler h;
  WatchId id = MustWatch(loop, p.read_fd(), &h);
  ASSERT_NE(id, 0u);
  p.Fill();
  DoEvents();
  EXPECT_EQ(h.calls, 1);
  EXPECT_EQ(h.last, kIoReadable);
  DoEvents();  // still readable, not re-armed
  EXPECT_EQ(h.calls, 1);
  ASSERT_TRUE(loop.Modify(id, kIoReadable).ok());
  EXPECT_EQ(h.calls, 1);  // never from inside Modify
  DoEvents();
  EXPECT_EQ(h.calls, 2);
  loop.Unwatch(id);
  EXPECT_FALSE(loop.Modify(id, kIoReadable).ok());
}

TEST(EventLoopTest, PersistentWatchIsReportedWhileReadyUntilModify) {
  EventLoop& loop = EventLoop::Current();
  Pipe p;
  Handler h;
  Result<WatchId> id = loop.Watch(p.read_fd(), kIoReadable | kIoPersistent, &h);
  ASSERT_TRUE(id.ok()) << id.status().ToString();
  DoEvents();
  EXPECT_EQ(h.calls, 0);
  p.Fill();
  DoEvents();
  DoEvents();
  EXPECT_EQ(h.calls, 2);  // no re-arm between
  EXPECT_EQ(h.last, kIoReadable);
  // Back to one report per arming; and nothing watched reports nothing, persistent or not.
  ASSERT_TRUE(loop.Modify(*id, kIoReadable).ok());
  DoEvents();
  DoEvents();
  EXPECT_EQ(h.calls, 3);
  ASSERT_TRUE(loop.Modify(*id, kIoNone | kIoPersistent).ok());
  DoEvents();
  EXPECT_EQ(h.calls, 3);
  // Drained, it falls silent without any call of the loop.
  ASSERT_TRUE(loop.Modify(*id, kIoReadable | kIoPersistent).ok());
  char c;
  ASSERT_EQ(::read(p.read_fd(), &c, 1), 1);
  DoEvents();
  EXPECT_EQ(h.calls, 3);
  loop.Unwatch(*id);
}

TEST_F(TwoWatchesTest, NestedPassNeverDeliversAnEventTwice) {
  a.on_ready = [&] { DoEvents(); };
  b.on_ready = [&] { DoEvents(); };
  FillBothAndPass();
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(b.calls, 1);
}

TEST_F(TwoWatchesTest, EventCollectedBeforeARearmIsNotDeliveredAgain) {
  // Whichever of a and b comes first: when a runs before b, it re-arms b and lets a nested pass
  // deliver it; the outer pass must then drop the event it collected for b earlier.
  a.on_ready = [&] {
    if (b.calls == 0) {
      ASSERT_TRUE(loop.Modify(ib, kIoReadable).ok());
      DoEvents();
    }
  };
  FillBothAndPass();
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(b.calls, 1);
}

TEST_F(TwoWatchesTest, WatchRemovedEarlierInThePassGetsNothing) {
  // Each removes the other and itself; only the first one dispatched may run.
  a.on_ready = [&] {
    loop.Unwatch(ib);
    loop.Unwatch(ia);
  };
  b.on_ready = [&] {
    loop.Unwatch(ia);
    loop.Unwatch(ib);
  };
  FillBothAndPass();
  EXPECT_EQ(a.calls + b.calls, 1);
  // Both are gone for good.
  EXPECT_FALSE(loop.Modify(ia, kIoReadable).ok());
  EXPECT_FALSE(loop.Modify(ib, kIoReadable).ok());
  DoEvents();
  EXPECT_EQ(a.calls + b.calls, 1);
}

// Unwatches and deletes itself inside its own handler.
class SelfDeleting : public IoHandler {
 public:
  explicit SelfDeleting(bool* gone) : gone_(gone) {}
  void OnIoReady(uint32_t) override {
    EventLoop::Current().Unwatch(id);
    *gone_ = true;
    delete this;
  }
  WatchId id = 0;

 private:
  bool* gone_;
};

TEST(EventLoopTest, HandlerMayDestroyItselfAndANewWatchMayReuseTheDescriptor) {
  EventLoop& loop = EventLoop::Current();
  Pipe p;
  bool gone = false;
  auto* h = new SelfDeleting(&gone);
  h->id = MustWatch(loop, p.read_fd(), h);
  ASSERT_NE(h->id, 0u);
  const WatchId first = h->id;
  p.Fill();
  DoEvents();
  EXPECT_TRUE(gone);
  Handler again;
  WatchId id2 = MustWatch(loop, p.read_fd(), &again);
  ASSERT_NE(id2, 0u);
  EXPECT_NE(id2, first);
  DoEvents();
  EXPECT_EQ(again.calls, 1);
  loop.Unwatch(id2);
}

TEST(EventLoopTest, FailedWatchSaysWhyAndLeavesTheLoopUsable) {
  EventLoop& loop = EventLoop::Current();
  Handler h;
  Result<WatchId> none = loop.Watch(-1, kIoReadable, &h);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.status().code(), errc::kWsaInvalidArgument);
  EXPECT_FALSE(none.status().message().empty());

  // epoll refuses regular files: the OS's reason reaches the caller with the failing call.
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  Result<WatchId> refused = loop.Watch(::fileno(file), kIoReadable, &h);
  std::fclose(file);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.status().code(), errc::kWsaInvalidArgument);
  EXPECT_NE(refused.status().message().find("cannot watch"), std::string::npos)
      << refused.status().message();

  // A descriptor watched twice: the second fails, the first keeps reporting.
  Pipe p;
  WatchId id = MustWatch(loop, p.read_fd(), &h);
  Handler other;
  EXPECT_FALSE(loop.Watch(p.read_fd(), kIoReadable, &other).ok());
  p.Fill();
  DoEvents();
  EXPECT_EQ(h.calls, 1);
  EXPECT_EQ(other.calls, 0);
  loop.Unwatch(id);
  Status gone = loop.Modify(id, kIoReadable);
  EXPECT_FALSE(gone.ok());
  EXPECT_FALSE(gone.message().empty());
}

TEST(EventLoopTest, PollFdIsReadableExactlyWhileThereIsWork) {
  EventLoop& loop = EventLoop::Current();
  DoEvents();
  auto readable = [&] {
    pollfd pfd{loop.PollFd(), POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN) != 0;
  };
  EXPECT_FALSE(readable());
  loop.Post([] {});
  EXPECT_TRUE(readable());
  DoEvents();
  EXPECT_FALSE(readable());

  Pipe p;
  Handler h;
  WatchId id = MustWatch(loop, p.read_fd(), &h);
  EXPECT_FALSE(readable());
  p.Fill();
  EXPECT_TRUE(readable());
  DoEvents();
  EXPECT_EQ(h.calls, 1);
  EXPECT_FALSE(readable());  // reported, not re-armed
  loop.Unwatch(id);
}

TEST(EventLoopTest, RunUntilWaitsForWorkAndGivesUpAtTheTimeout) {
  EventLoop& loop = EventLoop::Current();
  Pipe p;
  Handler h;
  WatchId id = MustWatch(loop, p.read_fd(), &h);
  EXPECT_FALSE(loop.RunUntil([&] { return h.calls > 0; }, milliseconds(20)));
  loop.Post([&] { p.Fill(); });
  EXPECT_TRUE(loop.RunUntil([&] { return h.calls > 0; }, milliseconds(5000)));
  EXPECT_EQ(h.calls, 1);
  loop.Unwatch(id);
}

TEST(EventLoopTest, StopEndsTheInnermostRun) {
  EventLoop& loop = EventLoop::Current();
  std::vector<int> order;
  loop.Post([&] {
    loop.Post([&] {
      order.push_back(2);
      loop.Stop();  // ends the nested Run only
    });
    loop.Run();
    order.push_back(3);
    loop.Post([&] { loop.Stop(); });
  });
  order.push_back(1);
  loop.Run();
  order.push_back(4);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(EventLoopTest, RunForReturnsAfterItsDuration) {
  EventLoop& loop = EventLoop::Current();
  int ran = 0;
  loop.Post([&] { ++ran; });
  auto start = std::chrono::steady_clock::now();
  loop.RunFor(milliseconds(30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(30));
  EXPECT_EQ(ran, 1);
}

TEST(EventLoopTest, EachThreadHasItsOwnLoop) {
  EventLoop* mine = &EventLoop::Current();
  EventLoop* other = nullptr;
  std::thread t([&] { other = &EventLoop::Current(); });
  t.join();
  EXPECT_NE(other, nullptr);
  EXPECT_NE(other, mine);
  EXPECT_EQ(&EventLoop::Current(), mine);
}

}  // namespace
}  // namespace qz::platform
