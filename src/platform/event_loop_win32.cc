// Windows backend of EventLoop: the thread's own message queue.
//
// Each thread's loop owns a message-only window. Sockets report to it through WSAAsyncSelect,
// posted tasks are PostMessage calls to it, so a host that pumps its messages as usual
// (GetMessage/DispatchMessage) drives the component exactly as a hidden control's window would.
// DoEvents() is the classic one: it dispatches, for every window of the thread, the messages
// that were queued when it began, recognised by a marker message posted at entry.
//
// Winsock messages are edge-like (one per re-enabling call); the loop turns them into the
// one-shot, level-triggered readiness of event_loop.h: a message only means "look at this
// socket", the answer comes from a zero-time select(), and every Watch/Modify that finds the
// socket ready already posts a look of its own.
// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/event_loop.h"

namespace qz::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr UINT kSocketMessage = WM_APP + 0x51;  // wParam: socket (from WSAAsyncSelect)
constexpr UINT kLookMessage = WM_APP + 0x52;    // wParam: socket (our own, at arming)
constexpr UINT kTaskMessage = WM_APP + 0x53;    // lParam: sequence number of the task
constexpr UINT kMarkMessage = WM_APP + 0x54;    // lParam: sequence number of the pass
constexpr wchar_t kClassName[] = L"QzEventLoopWindow";
constexpr long kAllSocketEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

DWORD MillisUntil(Clock::time_point deadline) {
  auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
}

// What select() says of s now: readable, writable; an error counts as both.
uint32_t ReadinessNow(SOCKET s, uint32_t events) {
  fd_set rd, wr, ex;
  FD_ZERO(&rd);
  FD_ZERO(&wr);
  FD_ZERO(&ex);
  if (events & kIoReadable) FD_SET(s, &rd);
  if (events & kIoWritable) FD_SET(s, &wr);
  FD_SET(s, &ex);
  timeval zero{0, 0};
  if (::select(0, &rd, &wr, &ex, &zero) <= 0) return kIoNone;
  uint32_t ready = kIoNone;
  if (FD_ISSET(s, &rd)) ready |= kIoReadable;
  if (FD_ISSET(s, &wr)) ready |= kIoWritable;
  if (FD_ISSET(s, &ex)) ready |= kIoReadable | kIoWritable;
  return ready;
}

LRESULT CALLBACK LoopWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// The module that holds this code (the COM DLL, or a program linking the platform layer).
// Pinned: thread-local state of threads that ran a loop outlives any unload of the DLL.
HINSTANCE OwnModule() {
  static HINSTANCE module = [] {
    HMODULE m = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(reinterpret_cast<const void*>(&LoopWindowProc)),
                         &m);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &LoopWindowProc;
    wc.hInstance = m;
    wc.lpszClassName = kClassName;
    ::RegisterClassExW(&wc);
    return m;
  }();
  return module;
}

class EventLoopImpl final : public EventLoop {
 public:
  EventLoopImpl() {
    // Message-only: a hidden top-level window needs a desktop, which a headless session lacks.
    hwnd_ = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, OwnModule(),
                              nullptr);
    if (hwnd_ != nullptr)
      ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~EventLoopImpl() override {
    if (hwnd_ != nullptr) {
      ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
      ::DestroyWindow(hwnd_);
    }
  }

  bool HasWatches() const { return !watches_.empty(); }

  void DoEvents() override { Pass(); }

  void Run() override {
    RunScope scope(this);
    while (!scope.stopped()) {
      Wait(INFINITE);
      Pass();
    }
  }

  void Stop() override {
    if (!runs_.empty()) runs_.back() = true;
  }

  void RunFor(std::chrono::milliseconds duration) override {
    RunScope scope(this);
    const auto deadline = Clock::now() + duration;
    do {
      Wait(MillisUntil(deadline));
      Pass();
    } while (!scope.stopped() && Clock::now() < deadline);
  }

  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) override {
    RunScope scope(this);
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
      if (scope.stopped() || Clock::now() >= deadline) return false;
      Wait(MillisUntil(deadline));
      Pass();
    }
    return true;
  }

  void Post(std::function<void()> task) override {
    const uint32_t seq = next_task_seq_++;
    tasks_.push_back(Task{seq, std::move(task)});
    // A message that cannot be posted (a full queue) is made up for by the next one: each runs
    // every task up to its own.
    ::PostMessageW(hwnd_, kTaskMessage, 0, static_cast<LPARAM>(seq));
  }

  WatchId Watch(int fd, uint32_t events, IoHandler* handler) override {
    if (handler == nullptr || fd < 0 || hwnd_ == nullptr) {
      errno = EINVAL;
      return 0;
    }
    const SOCKET s = static_cast<SOCKET>(fd);
    if (::WSAAsyncSelect(s, hwnd_, kSocketMessage, kAllSocketEvents) != 0) {
      errno = EINVAL;
      return 0;
    }
    const WatchId id = next_watch_id_++;
    watches_[id] = Entry{s, events, handler, true};
    by_socket_[s] = id;
    LookIfReady(s, events);
    return id;
  }

  bool Modify(WatchId id, uint32_t events) override {
    auto it = watches_.find(id);
    if (it == watches_.end()) {
      errno = ENOENT;
      return false;
    }
    it->second.events = events;
    it->second.armed = true;
    LookIfReady(it->second.socket, events);
    return true;
  }

  void Unwatch(WatchId id) override {
    auto it = watches_.find(id);
    if (it == watches_.end()) return;
    ::WSAAsyncSelect(it->second.socket, hwnd_, 0, 0);
    auto s = by_socket_.find(it->second.socket);
    if (s != by_socket_.end() && s->second == id) by_socket_.erase(s);
    // Messages still queued for the socket find no entry and are dropped.
    watches_.erase(it);
  }

  // The thread's message queue is the source; a host with a loop of its own already pumps it.
  int PollFd() const override { return -1; }

  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
      case kSocketMessage:
      case kLookMessage:
        Dispatch(static_cast<SOCKET>(wp));
        return 0;
      case kTaskMessage:
        RunTasksUpTo(static_cast<uint32_t>(lp));
        return 0;
      case kMarkMessage:
        if (static_cast<int32_t>(static_cast<uint32_t>(lp) - mark_seen_) > 0) {
          mark_seen_ = static_cast<uint32_t>(lp);
        }
        return 0;
      default:
        return ::DefWindowProcW(hwnd_, msg, wp, lp);
    }
  }

 private:
  struct Entry {
    SOCKET socket;
    uint32_t events;
    IoHandler* handler;
    bool armed;
  };
  struct Task {
    uint32_t seq;
    std::function<void()> fn;
  };

  class RunScope {
   public:
    explicit RunScope(EventLoopImpl* loop) : loop_(loop) { loop_->runs_.push_back(false); }
    ~RunScope() { loop_->runs_.pop_back(); }
    bool stopped() const { return loop_->runs_.back(); }

   private:
    EventLoopImpl* loop_;
  };

  // Waits until the queue holds something, however long it has been there.
  void Wait(DWORD ms) {
    ::MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }

  // One pass: the messages queued now, up to the marker posted here. A nested pass posts a
  // later marker and so also dispatches the outer marker; the outer pass then ends at once.
  void Pass() {
    if (hwnd_ == nullptr) return;
    const uint32_t mark = ++pass_seq_;
    if (!::PostMessageW(hwnd_, kMarkMessage, 0, static_cast<LPARAM>(mark))) return;
    MSG m;
    while (static_cast<int32_t>(mark_seen_ - mark) < 0 &&
           ::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message == WM_QUIT) {
        // Belongs to the host's own loop: put it back and stop here.
        ::PostQuitMessage(static_cast<int>(m.wParam));
        break;
      }
      ::TranslateMessage(&m);
      ::DispatchMessageW(&m);
    }
  }

  void LookIfReady(SOCKET s, uint32_t events) {
    if (ReadinessNow(s, events) != kIoNone) {
      ::PostMessageW(hwnd_, kLookMessage, static_cast<WPARAM>(s), 0);
    }
  }

  void Dispatch(SOCKET s) {
    auto by = by_socket_.find(s);
    if (by == by_socket_.end()) return;
    auto it = watches_.find(by->second);
    if (it == watches_.end() || !it->second.armed) return;
    const uint32_t ready = ReadinessNow(s, it->second.events) & it->second.events;
    if (ready == kIoNone) return;
    it->second.armed = false;
    IoHandler* handler = it->second.handler;
    handler->OnIoReady(ready);  // may unwatch, re-arm or nest; the entry is not used again
  }

  // Runs the queued tasks up to task seq, in order (sequence numbers compare modulo 2^32).
  void RunTasksUpTo(uint32_t seq) {
    while (!tasks_.empty() && static_cast<int32_t>(tasks_.front().seq - seq) <= 0) {
      std::function<void()> fn = std::move(tasks_.front().fn);
      tasks_.pop_front();
      fn();
    }
  }

  HWND hwnd_ = nullptr;
  std::unordered_map<WatchId, Entry> watches_;
  std::unordered_map<SOCKET, WatchId> by_socket_;
  std::deque<Task> tasks_;
  std::vector<bool> runs_;
  uint32_t next_task_seq_ = 0;
  WatchId next_watch_id_ = 1;
  uint32_t pass_seq_ = 0;
  uint32_t mark_seen_ = 0;
};

LRESULT CALLBACK LoopWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* loop = reinterpret_cast<EventLoopImpl*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (loop == nullptr) return ::DefWindowProcW(hwnd, msg, wp, lp);
  return loop->Handle(msg, wp, lp);
}

// Owns the thread's loop, as on POSIX: a loop that still has watches when the thread ends is
// left allocated for the thread-local owners destroyed later.
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
  if (t_loop.loop == nullptr) t_loop.loop = new EventLoopImpl();
  return *t_loop.loop;
}

void DoEvents() { EventLoop::Current().DoEvents(); }

}  // namespace qz::platform
