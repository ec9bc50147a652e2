// The loop core, the same on every OS. It makes no OS call: readiness, waiting and wake-ups are
// the Poller's (poller.h), so a port writes a poller and reuses all of this.
#include "platform/event_loop.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/poller.h"
#include "qz/status.h"

namespace qz::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxEventsPerPass = 256;

// Milliseconds left until deadline, rounded up so that a wait never ends just short of it and
// turns into a spin.
int MillisUntil(Clock::time_point deadline) {
  auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

class EventLoopImpl final : public EventLoop {
 public:
  explicit EventLoopImpl(PollerFactory make) : make_poller_(std::move(make)) { (void)MakePoller(); }

  bool HasWatches() const { return watches_.size() > dead_.size(); }

  void DoEvents() override { Pass(0, Source::kPoll); }

  void Run() override {
    RunScope scope(this);
    while (!scope.stopped()) Pass(-1, Source::kPoll);
  }

  void Stop() override {
    if (!runs_.empty()) runs_.back() = true;
  }

  void RunFor(std::chrono::milliseconds duration) override {
    RunScope scope(this);
    const auto deadline = Clock::now() + duration;
    do {
      Pass(MillisUntil(deadline), Source::kPoll);
    } while (!scope.stopped() && Clock::now() < deadline);
  }

  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) override {
    RunScope scope(this);
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
      if (scope.stopped() || Clock::now() >= deadline) return false;
      Pass(MillisUntil(deadline), Source::kPoll);
    }
    return true;
  }

  TaskId Post(std::function<void()> task) override {
    const TaskId id = next_task_seq_++;
    tasks_.push_back(Task{id, std::move(task)});
    // Inside a pass or a run the loop itself comes back for the task (a pass with tasks queued
    // does not wait); the OS wake-up is for a host that polls PollFd() or pumps messages.
    if (eager_wake_ || (depth_ == 0 && runs_.empty())) WakeForHost();
    return id;
  }

  void Cancel(TaskId id) override {
    if (id == 0 || tasks_.empty()) return;
    // Queued in order of id; a moot task is usually the newest.
    if (tasks_.back().seq == id) {
      tasks_.pop_back();
      return;
    }
    auto it = std::lower_bound(tasks_.begin(), tasks_.end(), id,
                               [](const Task& t, TaskId v) { return t.seq < v; });
    if (it != tasks_.end() && it->seq == id) tasks_.erase(it);
    // A wake already given for it stays: the host's next pass finds nothing and clears it.
  }

  Result<WatchId> Watch(int fd, uint32_t events, IoHandler* handler) override {
    if (handler == nullptr || fd < 0) {
      return Status::Error(errc::kWsaInvalidArgument, "cannot watch: no socket or no handler");
    }
    if (!poller_) {
      Status made = MakePoller();
      if (!made.ok()) return made;
    }
    WatchId id = next_watch_id_++;
    Status added = poller_->Add(fd, events, id);
    if (!added.ok()) return added;
    watches_.emplace(id, Entry{fd, events, 0, handler, false});
    return id;
  }

  Status Modify(WatchId id, uint32_t events) override {
    auto it = watches_.find(id);
    if (it == watches_.end() || it->second.dead) {
      return Status::Error(errc::kWsaInvalidArgument, "cannot re-arm: the watch was removed");
    }
    Entry& e = it->second;
    Status rearmed = poller_->Modify(e.fd, events, id);
    if (!rearmed.ok()) return rearmed;
    e.events = events;
    // An event of this watch that an enclosing pass has collected but not yet dispatched is now
    // stale; the re-armed watch reports afresh if it is still ready.
    ++e.arm_seq;
    return Status::OK();
  }

  void Unwatch(WatchId id) override { Forget(id, /*closing=*/false); }
  void UnwatchClosing(WatchId id) override { Forget(id, /*closing=*/true); }

  int PollFd() const override { return poller_ ? poller_->Fd() : -1; }

 private:
  void Forget(WatchId id, bool closing) {
    auto it = watches_.find(id);
    if (it == watches_.end() || it->second.dead) return;
    if (closing) {
      poller_->DeleteClosing(it->second.fd);
    } else {
      poller_->Delete(it->second.fd);
    }
    if (depth_ == 0) {
      watches_.erase(it);
    } else {
      // A pass may still hold a collected event for it: keep the entry, marked, until the
      // outermost pass ends.
      it->second.dead = true;
      it->second.handler = nullptr;
      dead_.push_back(id);
    }
  }

  // Makes PollFd() readable (posts the message on Windows) while tasks wait.
  void WakeForHost() {
    if (wake_pending_ || !poller_ || tasks_.empty()) return;
    poller_->Wake();
    wake_pending_ = true;
  }

  struct Entry {
    int fd;
    uint32_t events;
    uint64_t arm_seq;
    IoHandler* handler;
    bool dead;
  };
  struct Task {
    uint64_t seq;
    std::function<void()> fn;
  };
  // Where a pass takes its events from: Poll (may wait, and on Windows pumps the thread's
  // messages), or only what the backend collected already (the ready hook's passes).
  enum class Source { kPoll, kCollected };
  struct Due {
    WatchId id;
    uint64_t arm_seq;
    uint32_t events;
  };

  // Registers one Run/RunFor/RunUntil so that Stop() ends the innermost one.
  class RunScope {
   public:
    explicit RunScope(EventLoopImpl* loop) : loop_(loop) { loop_->runs_.push_back(false); }
    ~RunScope() {
      loop_->runs_.pop_back();
      if (loop_->depth_ == 0 && loop_->runs_.empty()) loop_->WakeForHost();  // back to the host
    }
    bool stopped() const { return loop_->runs_.back(); }

   private:
    EventLoopImpl* loop_;
  };

  Status MakePoller() {
    Result<std::unique_ptr<Poller>> made = make_poller_([this] { Pass(0, Source::kCollected); });
    if (!made.ok()) return made.status();
    poller_ = std::move(made).value();
    eager_wake_ = poller_->Fd() < 0;
    if (eager_wake_ || (depth_ == 0 && runs_.empty())) WakeForHost();  // posted with no backend
    return Status::OK();
  }

  void Pass(int timeout_ms, Source source) {
    const uint64_t task_limit = next_task_seq_;
    if (!tasks_.empty()) timeout_ms = 0;
    ++depth_;
    if (scratch_.size() < depth_) scratch_.emplace_back();
    std::vector<Due>& due = scratch_[depth_ - 1];
    due.clear();
    Collect(timeout_ms, source, due);

    for (const Due& d : due) {
      auto it = watches_.find(d.id);
      if (it == watches_.end()) continue;
      Entry& e = it->second;  // stays valid: entries are erased only after the outermost pass
      if (e.dead || e.arm_seq != d.arm_seq) continue;
      uint32_t ready = d.events & e.events;
      if (ready == kIoNone) continue;
      if ((ready & kIoReadable) != 0) ready |= d.events & kIoPeerClosed;
      ready |= d.events & kIoError;
      e.handler->OnIoReady(ready);
    }

    while (!tasks_.empty() && tasks_.front().seq < task_limit) {
      std::function<void()> fn = std::move(tasks_.front().fn);
      tasks_.pop_front();
      fn();
    }

    --depth_;
    if (depth_ == 0) {
      for (WatchId id : dead_) watches_.erase(id);
      dead_.clear();
      if (runs_.empty()) WakeForHost();  // DoEvents() returns to the host with tasks left
    }
    if (tasks_.empty() && wake_pending_) {
      poller_->ClearWake();
      wake_pending_ = false;
    }
  }

  void Collect(int timeout_ms, Source source, std::vector<Due>& due) {
    if (!poller_) {
      // No OS poller could be made (descriptors exhausted): only tasks can run; a timed wait
      // still must not spin.
      if (timeout_ms != 0 && tasks_.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms < 0 ? 10 : timeout_ms));
      }
      return;
    }
    PolledEvent polled[kMaxEventsPerPass];
    int n = source == Source::kPoll ? poller_->Poll(timeout_ms, polled, kMaxEventsPerPass)
                                    : poller_->TakeReady(polled, kMaxEventsPerPass);
    for (int i = 0; i < n; ++i) {
      auto it = watches_.find(polled[i].token);
      if (it == watches_.end() || it->second.dead) continue;
      due.push_back(Due{polled[i].token, it->second.arm_seq, polled[i].events});
    }
  }

  PollerFactory make_poller_;
  std::unique_ptr<Poller> poller_;
  std::unordered_map<WatchId, Entry> watches_;
  std::vector<WatchId> dead_;
  std::deque<Task> tasks_;
  // One collection buffer per nesting depth; a deque so that growing it for a nested pass does
  // not move the buffer an enclosing pass is iterating.
  std::deque<std::vector<Due>> scratch_;
  std::vector<bool> runs_;  // stop flags of the active runs, innermost last
  TaskId next_task_seq_ = 1;
  WatchId next_watch_id_ = 1;
  size_t depth_ = 0;
  bool wake_pending_ = false;
  // Where Fd() is -1 the thread's message queue is the source: a modal loop inside a handler
  // must see posted tasks too, so every Post wakes.
  bool eager_wake_ = false;
};

// Owns the thread's loop. A loop that still has watches when the thread ends is left allocated:
// the objects that own those watches (thread-local state destroyed later) unwatch into it.
struct LoopHolder {
  EventLoopImpl* loop = nullptr;
  ~LoopHolder() {
    if (loop != nullptr && !loop->HasWatches()) {
      delete loop;
      loop = nullptr;
    }
  }
};

thread_local LoopHolder t_loop;

}  // namespace

EventLoop& EventLoop::Current() {
  if (t_loop.loop == nullptr) t_loop.loop = new EventLoopImpl(&Poller::Create);
  return *t_loop.loop;
}

std::unique_ptr<EventLoop> NewEventLoop(PollerFactory make) {
  return std::make_unique<EventLoopImpl>(std::move(make));
}

void DoEvents() { EventLoop::Current().DoEvents(); }

}  // namespace qz::platform
