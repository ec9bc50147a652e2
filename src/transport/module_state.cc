#include "transport/module_state.h"

#include "platform/event_loop.h"

namespace qz::transport {
namespace {

struct ThreadState {
  // Created after the thread's loop, so destroyed before it: the forms still held here
  // unregister their controls from the loop at thread exit.
  ThreadState() { platform::EventLoop::Current(); }
  Module1State state;
};

}  // namespace

Module1State& Module1() {
  thread_local ThreadState thread_state;
  return thread_state.state;
}

}  // namespace qz::transport
