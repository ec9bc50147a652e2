// The calling thread's message loop, which delivers every socket event of the component.
//
// A host without a loop of its own calls Run, RunFor or RunUntil. A host with its own loop (a
// GUI toolkit, libuv, asio) watches PollFd() for readability and calls DoEvents() when it is
// readable. All functions act on the calling thread's loop, created on first use, and must be
// called on the thread that owns the objects they drive.
#ifndef QZ_MESSAGE_LOOP_H_
#define QZ_MESSAGE_LOOP_H_

#include <chrono>
#include <functional>

#include "qz/export.h"

namespace qz::loop {

// Dispatches the events that are ready now and the tasks posted before the call, then returns.
// May be called from inside an event handler.
QZ_EXPORT void DoEvents();
// Dispatches events until Stop() is called on this thread.
QZ_EXPORT void Run();
QZ_EXPORT void Stop();
// Dispatches events for the given time.
QZ_EXPORT void RunFor(std::chrono::milliseconds duration);
// Dispatches events until done() returns true or the timeout passes; returns done().
QZ_EXPORT bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// Runs task on this thread's loop at its next pass.
QZ_EXPORT void Post(std::function<void()> task);
// A descriptor that is readable while the loop has something to dispatch.
QZ_EXPORT int PollFd();

}  // namespace qz::loop

#endif  // QZ_MESSAGE_LOOP_H_
