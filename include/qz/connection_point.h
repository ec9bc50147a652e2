// ConnectionPoint<Sink>: the event source side of an object, in the style of COM connection
// points. Any number of sinks may be advised; each gets a cookie that unadvises it.
#ifndef QZ_CONNECTION_POINT_H_
#define QZ_CONNECTION_POINT_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "qz/status.h"

namespace qz {

template <typename Sink>
class ConnectionPoint {
  struct Entry;
  struct State;

 public:
  ConnectionPoint() = default;
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  // Subscribes sink to the events; returns its cookie (never 0). The sink is not owned: the
  // caller keeps it alive until it has unadvised it or the source is destroyed. The same sink
  // may be advised more than once and then receives each event once per cookie.
  Result<uint32_t> Advise(Sink* sink) {
    if (Status own = OnOwnThread("Advise"); !own.ok()) return own;
    if (sink == nullptr) return Status::Error(errc::kInvalidArgument, "Advise: no sink given");
    const uint32_t cookie = ++state_->last_cookie;
    state_->sinks.push_back({cookie, sink});
    return cookie;
  }

  // Ends the subscription of cookie. Safe inside an event handler, also for the sink being
  // called: a sink unadvised during an event receives nothing more from that event on.
  Status Unadvise(uint32_t cookie) {
    if (Status own = OnOwnThread("Unadvise"); !own.ok()) return own;
    auto& sinks = state_->sinks;
    for (auto it = sinks.begin(); it != sinks.end(); ++it) {
      if (it->cookie == cookie) {
        sinks.erase(it);
        return Status::OK();
      }
    }
    return Status::Error(errc::kNoConnection, "Unadvise: no connection with this cookie");
  }

  size_t SinkCount() const { return state_->sinks.size(); }

 protected:
  ~ConnectionPoint() { state_->alive = false; }

  // The thread that created the object, the only one that may call it: its members and its
  // events run on that thread's loop, whose tables a call from elsewhere would corrupt.
  bool OwnThread() const { return std::this_thread::get_id() == owner_; }
  Status OnOwnThread(std::string_view member) const {
    if (OwnThread()) return Status::OK();
    return Status::Error(errc::kWrongThread,
                         std::string(member) +
                             ": called from a thread other than the one that created the object; "
                             "call it from that thread (its message loop)");
  }

  // Calls fn(sink) for every sink advised when the event begins and still advised when its
  // turn comes, in the order of advising, synchronously. Stops when the source is destroyed
  // by a handler.
  template <typename Fn>
  void Raise(Fn&& fn) const {
    std::shared_ptr<State> state = state_;  // outlives a source destroyed by a handler
    std::vector<Entry> snapshot = state->sinks;
    for (const Entry& entry : snapshot) {
      if (!state->alive) return;
      if (!state->IsAdvised(entry.cookie)) continue;
      fn(*entry.sink);
    }
  }

  // Tells a method that ran the message loop whether a handler destroyed the object meanwhile.
  class LifetimeGuard {
   public:
    bool destroyed() const { return !state_->alive; }

   private:
    friend class ConnectionPoint;
    explicit LifetimeGuard(std::shared_ptr<const State> state) : state_(std::move(state)) {}
    std::shared_ptr<const State> state_;
  };
  LifetimeGuard GuardLifetime() const { return LifetimeGuard(state_); }

 private:
  struct Entry {
    uint32_t cookie;
    Sink* sink;
  };
  struct State {
    // Atomic: an object destroyed on a thread other than its own (a host mistake) must still
    // be seen as gone by its own thread, which may hold events for it.
    std::atomic<bool> alive{true};
    uint32_t last_cookie = 0;
    std::vector<Entry> sinks;
    bool IsAdvised(uint32_t cookie) const {
      for (const Entry& e : sinks) {
        if (e.cookie == cookie) return true;
      }
      return false;
    }
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::thread::id owner_ = std::this_thread::get_id();
};

}  // namespace qz

#endif  // QZ_CONNECTION_POINT_H_
