// Poller: the OS readiness backend under EventLoop. The loop core (event_loop.cc) sees only this
// contract, so a port writes a poller and nothing else of the loop: poller_epoll.cc on Linux,
// poller_win32.cc on Windows.
//
// Contract:
// - Add and Modify arm a descriptor for one report: once Poll or TakeReady has returned an event
//   for it, it stays silent until the next Modify (one-shot), also while the descriptor stays
//   ready. With kIoPersistent among the events (and something to watch) it stays armed instead:
//   reported again while ready, until the next Modify. Readiness is level-triggered: an armed
//   descriptor that is ready is reported, however long ago it became ready. Modify and Delete drop
//   an event the backend collected for the descriptor but has not returned yet.
// - Error and hang-up conditions are reported as kIoReadable | kIoWritable | kIoError, and
//   kIoError comes with nothing else, so that a connect under way that is reported writable
//   without it has connected. A backend that can tell that the peer's close is queued adds
//   kIoPeerClosed to kIoReadable; one that cannot never sets it.
// - Wake() makes the next Poll return at once, and Fd() readable, until ClearWake(). The core
//   wakes only when a task waits and control is outside its passes and runs, where a host may
//   poll Fd(); where Fd() is -1 (the message queue is the source) it wakes for every task.
// - Poll may run other code of the thread while it waits: on Windows it pumps the thread's
//   messages (every window's, as DoEvents always did there). TakeReady never does.
// - Host pumps (Windows): a host that pumps the thread's messages itself delivers readiness and
//   wake-ups to the backend outside any Poll. The backend then calls the ready hook given to
//   Create, upon which the core runs a pass that neither waits nor pumps: it takes the events
//   with TakeReady. The hook comes only from a message that someone other than Poll dispatched
//   (Poll handles the loop's own messages itself), never from Add, Modify, Delete, TakeReady or
//   Wake; it may come while a pass runs (a handler, or a window that Poll dispatched to, runs a
//   message loop of its own), like a nested DoEvents(). A backend whose events only arrive
//   through Poll (epoll) never calls it.
// - Not thread-safe, except Wake(), which may be called from any thread.
#ifndef QZ_PLATFORM_POLLER_H_
#define QZ_PLATFORM_POLLER_H_

#include <cstdint>
#include <functional>
#include <memory>

#include "qz/status.h"

namespace qz::platform {

class EventLoop;

struct PolledEvent {
  uint64_t token;   // as given to Add/Modify
  uint32_t events;  // IoEvents
};

class Poller {
 public:
  // Failures carry Winsock numbering, as the socket calls do, and the OS's words.
  static Result<std::unique_ptr<Poller>> Create(std::function<void()> ready_hook);

  virtual ~Poller() = default;

  virtual Status Add(int fd, uint32_t events, uint64_t token) = 0;
  virtual Status Modify(int fd, uint32_t events, uint64_t token) = 0;
  virtual void Delete(int fd) = 0;
  // Delete for a descriptor that is closed right after: a backend whose OS set forgets a
  // descriptor when it is closed (epoll) need not call the OS.
  virtual void DeleteClosing(int fd) { Delete(fd); }

  // Waits up to timeout_ms (-1: no limit, 0: not at all) and stores at most capacity events in
  // out. Returns how many; 0 on timeout, interruption or a wake-up alone.
  virtual int Poll(int timeout_ms, PolledEvent* out, int capacity) = 0;
  // The events ready now, without waiting and without running other code of the thread.
  virtual int TakeReady(PolledEvent* out, int capacity) = 0;

  virtual void Wake() = 0;
  virtual void ClearWake() = 0;

  // Readable while an armed descriptor is ready or a wake-up is pending; -1 where the backend
  // has no such descriptor (Windows: the thread's message queue is the source).
  virtual int Fd() const = 0;
};

// Makes a thread's backend; the argument is the ready hook.
using PollerFactory =
    std::function<Result<std::unique_ptr<Poller>>(std::function<void()> ready_hook)>;

// A loop over the backend that make returns, owned by the caller: for tests of the core, which
// give it a scripted backend. EventLoop::Current() makes its loops with Poller::Create.
std::unique_ptr<EventLoop> NewEventLoop(PollerFactory make);

}  // namespace qz::platform

#endif  // QZ_PLATFORM_POLLER_H_
