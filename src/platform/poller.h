// Poller: the OS readiness backend under EventLoop. The loop core sees only this contract, so a
// port replaces poller_epoll.cc and nothing else of the loop.
//
// Contract:
// - Add and Modify arm a descriptor for one report: once Poll has returned an event for it, it
//   stays silent until the next Modify (one-shot), also while the descriptor stays ready.
//   Readiness is level-triggered: an armed descriptor that is ready is reported, however long ago
//   it became ready.
// - Error and hang-up conditions are reported as kIoReadable | kIoWritable.
// - Wake() makes the next Poll return at once, and Fd() readable, until ClearWake().
// - Not thread-safe, except Wake(), which may be called from any thread.
#ifndef QZ_PLATFORM_POLLER_H_
#define QZ_PLATFORM_POLLER_H_

#include <cstdint>
#include <memory>

namespace qz::platform {

struct PolledEvent {
  uint64_t token;   // as given to Add/Modify
  uint32_t events;  // IoEvents
};

class Poller {
 public:
  // Null on failure (errno set).
  static std::unique_ptr<Poller> Create();

  virtual ~Poller() = default;

  // Each returns false on failure (errno set).
  virtual bool Add(int fd, uint32_t events, uint64_t token) = 0;
  virtual bool Modify(int fd, uint32_t events, uint64_t token) = 0;
  virtual void Delete(int fd) = 0;

  // Waits up to timeout_ms (-1: no limit, 0: not at all) and stores at most capacity events in
  // out. Returns how many; 0 on timeout, interruption or a wake-up alone.
  virtual int Poll(int timeout_ms, PolledEvent* out, int capacity) = 0;

  virtual void Wake() = 0;
  virtual void ClearWake() = 0;

  // Readable while an armed descriptor is ready or a wake-up is pending.
  virtual int Fd() const = 0;
};

}  // namespace qz::platform

#endif  // QZ_PLATFORM_POLLER_H_
