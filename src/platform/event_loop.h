// EventLoop: the per-thread message loop that stands in for the thread's window message loop.
//
// One loop per thread, created on first use by Current(). Every socket event of the component
// is delivered from DoEvents() on the owning thread; nothing else calls a handler.
//
// Contract (the component relies on each point):
// - DoEvents() is one pass: it waits zero time, dispatches the readiness events that are ready
//   now and the tasks posted before the call, then returns. It may be called from inside any
//   handler (nested); the nested pass dispatches only what the outer pass has not.
// - A handler is never called for a watch removed earlier in the same pass (Unwatch only marks
//   the entry; it is freed after the outermost pass).
// - Handlers never run synchronously inside Watch/Modify/Post: always from a later pass.
// - Readiness is level-triggered but reported once: a watch's event is not reported again until
//   its owner re-arms it with Modify (the socket control re-arms when the consuming call is
//   made), so a nested DoEvents() never delivers the same event twice. A watch with
//   kIoPersistent is the exception: its handler consumes each report before anything can nest.
#ifndef QZ_PLATFORM_EVENT_LOOP_H_
#define QZ_PLATFORM_EVENT_LOOP_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "qz/status.h"

namespace qz::platform {

// Readiness kinds, combinable.
enum IoEvents : uint32_t {
  kIoNone = 0,
  kIoReadable = 1u << 0,
  kIoWritable = 1u << 1,
  // Only with kIoReadable, never watched for: the peer's close is queued behind any data. A hint
  // that a backend gives where the OS tells it (epoll); without it the peer may have closed too.
  kIoPeerClosed = 1u << 2,
  // Never watched for: an error or hang-up condition, with every kind watched. Without it, a
  // connect under way that is reported writable has connected.
  kIoError = 1u << 3,
  // Watch and Modify only: the watch stays armed after a report and is reported at every pass
  // while ready, until the next Modify. For a listener, whose handler consumes each report (one
  // request accepted): it spares the re-arm per request.
  kIoPersistent = 1u << 4,
};

// Receives the readiness of one descriptor. `events` holds what is ready, only of the kinds
// watched; hang-up and error conditions are reported as every kind watched, with kIoError, so
// that the owner finds them with its next call.
class IoHandler {
 public:
  virtual ~IoHandler() = default;
  virtual void OnIoReady(uint32_t events) = 0;
};

using WatchId = uint64_t;  // 0 is never a valid id
using TaskId = uint64_t;   // 0 is never a valid id

class EventLoop {
 public:
  // The calling thread's loop.
  static EventLoop& Current();

  virtual ~EventLoop() = default;

  virtual void DoEvents() = 0;
  virtual void Run() = 0;  // until Stop()
  // Makes the innermost Run, RunFor or RunUntil return after its current pass (RunUntil then
  // returns false). Does nothing when none is running.
  virtual void Stop() = 0;
  virtual void RunFor(std::chrono::milliseconds duration) = 0;
  // Runs passes, each waiting for work without spinning, until done() holds (true) or the
  // timeout has passed (false). done() is checked before the first pass and after each one.
  virtual bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) = 0;

  // Queues task for a later pass on this loop; tasks run in the order posted. Only from the
  // loop's own thread. The id is never 0.
  virtual TaskId Post(std::function<void()> task) = 0;
  // Withdraws a task that has not run yet, so that it neither runs nor wakes the host; an id
  // that ran, was withdrawn or is 0 changes nothing. For a poster whose task has become moot.
  virtual void Cancel(TaskId id) = 0;

  // Watches fd for `events`, armed. The handler is not owned; it must Unwatch before it dies,
  // and before fd is closed. A failure (Winsock numbering, with the OS's words) leaves nothing
  // watched.
  virtual Result<WatchId> Watch(int fd, uint32_t events, IoHandler* handler) = 0;
  // Changes the events watched, and re-arms an event already reported. An event of this watch
  // that an enclosing pass collected but has not dispatched yet is dropped; if the descriptor is
  // still ready, a later pass reports it afresh. Fails for a removed watch.
  virtual Status Modify(WatchId id, uint32_t events) = 0;
  // Stops watching; safe inside a handler, also the handler of this watch. Does not close fd.
  virtual void Unwatch(WatchId id) = 0;
  // Unwatch for an owner that closes fd right after (and before any other call of the loop);
  // saves the backend's call where closing ends the OS's watch anyway.
  virtual void UnwatchClosing(WatchId id) = 0;

  // Readable while the loop has something to dispatch once control is back with the host; for
  // hosts with a loop of their own, which poll it and then call DoEvents(). A task posted while
  // a pass or a run is under way makes it readable only when that returns with the task still
  // queued (inside a run, the next pass takes it without being woken). Owned by the loop. -1 on
  // Windows, where the thread's message queue is the source: a host that pumps it drives the
  // loop.
  virtual int PollFd() const = 0;
};

// Shorthand for EventLoop::Current().DoEvents(): "process the pending window messages once".
void DoEvents();

}  // namespace qz::platform

#endif  // QZ_PLATFORM_EVENT_LOOP_H_
