// Windows backend of Poller: the thread's own message queue.
//
// Each thread's loop owns a message-only window. Sockets report to it through WSAAsyncSelect and
// wake-ups are messages posted to it, so a host that pumps its messages as usual
// (GetMessage/DispatchMessage) drives the component exactly as a hidden control's window would:
// the window procedure collects the readiness and calls the ready hook, and the core runs a pass.
// Poll is the classic DoEvents: it dispatches, for every window of the thread, the messages that
// were queued when it began, recognised by a marker message posted at entry; those of the loop's
// own window it handles itself, without the hook, and returns what they collected.
//
// Winsock messages are edge-like (one per re-enabling call); the backend turns them into the
// one-shot, level-triggered readiness of poller.h: a message only means "look at this socket",
// the answer comes from a zero-time select(), and every Add/Modify that finds the socket ready
// already posts a look of its own.
// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/event_loop.h"
#include "platform/poller.h"

namespace qz::platform {
namespace {

constexpr UINT kSocketMessage = WM_APP + 0x51;  // wParam: socket (from WSAAsyncSelect)
constexpr UINT kLookMessage = WM_APP + 0x52;    // wParam: socket (our own, at arming)
constexpr UINT kWakeMessage = WM_APP + 0x53;    // a wake-up
constexpr UINT kMarkMessage = WM_APP + 0x54;    // lParam: sequence number of the Poll
constexpr UINT kReadyMessage = WM_APP + 0x55;   // collected events wait beyond one TakeReady
constexpr wchar_t kClassName[] = L"QzEventLoopWindow";
constexpr long kAllSocketEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

// What select() says of s now: readable, writable; an error counts as both, and as kIoError.
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
  if (FD_ISSET(s, &ex)) ready |= kIoReadable | kIoWritable | kIoError;
  return ready;
}

// The one place where the backend's errors become a Status; Winsock's numbers are the sockets'.
Status WinStatus(const char* what, int32_t code, DWORD native) {
  return Status::Error(code, std::string(what) + " (Windows error " + std::to_string(native) + ")");
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

class MessagePoller final : public Poller {
 public:
  MessagePoller(HWND hwnd, std::function<void()> ready_hook)
      : hwnd_(hwnd), ready_hook_(std::move(ready_hook)) {
    ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~MessagePoller() override {
    ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    ::DestroyWindow(hwnd_);
  }

  Status Add(int fd, uint32_t events, uint64_t token) override {
    const SOCKET s = static_cast<SOCKET>(fd);
    if (::WSAAsyncSelect(s, hwnd_, kSocketMessage, kAllSocketEvents) != 0) {
      const int e = ::WSAGetLastError();
      return WinStatus("cannot watch the socket", e != 0 ? e : WSAEINVAL, e);
    }
    sockets_[s] = Watched{token, events, true};
    LookIfReady(s, events);
    return Status::OK();
  }

  Status Modify(int fd, uint32_t events, uint64_t token) override {
    const SOCKET s = static_cast<SOCKET>(fd);
    auto it = sockets_.find(s);
    if (it == sockets_.end()) {
      return WinStatus("cannot re-arm a socket not watched", WSAENOTSOCK, WSAENOTSOCK);
    }
    Drop(s);
    it->second = Watched{token, events, true};
    LookIfReady(s, events);
    return Status::OK();
  }

  void Delete(int fd) override {
    const SOCKET s = static_cast<SOCKET>(fd);
    ::WSAAsyncSelect(s, hwnd_, 0, 0);
    // Messages still queued for the socket find no entry and are dropped.
    sockets_.erase(s);
    Drop(s);
  }

  int Poll(int timeout_ms, PolledEvent* out, int capacity) override {
    if (timeout_ms != 0 && pending_.empty() && !wake_) {
      // Until the queue holds something, however long it has been there.
      ::MsgWaitForMultipleObjectsEx(0, nullptr,
                                    timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms),
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    Pump();
    return TakeReady(out, capacity);
  }

  int TakeReady(PolledEvent* out, int capacity) override {
    int n = 0;
    while (n < capacity && !pending_.empty()) {
      out[n++] = pending_.front().event;
      pending_.pop_front();
    }
    // The rest must not wait for a Poll that a host pumping its own messages never makes.
    if (!pending_.empty() && !ready_posted_) {
      ready_posted_ = ::PostMessageW(hwnd_, kReadyMessage, 0, 0) != 0;
    }
    return n;
  }

  // A wake-up keeps one wake message queued until ClearWake; one left over after that is
  // ignored when it comes.
  void Wake() override {
    wake_ = true;
    PostWake();
  }
  void ClearWake() override { wake_ = false; }

  int Fd() const override { return -1; }

  // A message of the window that someone else dispatched: the host's own loop, or a nested one
  // of another window's handler.
  LRESULT FromWindow(UINT msg, WPARAM wp, LPARAM lp) {
    if (!IsOwn(msg)) return ::DefWindowProcW(hwnd_, msg, wp, lp);
    if (Take(msg, wp, lp)) ready_hook_();
    return 0;
  }

 private:
  struct Watched {
    uint64_t token;
    uint32_t events;
    bool armed;
  };
  struct Collected {
    SOCKET socket;
    PolledEvent event;
  };

  static bool IsOwn(UINT msg) { return msg >= kSocketMessage && msg <= kReadyMessage; }

  // Handles one of the window's messages; true when it collected readiness or a wake-up.
  bool Take(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
      case kSocketMessage:
      case kLookMessage:
        return Look(static_cast<SOCKET>(wp));
      case kWakeMessage:
        wake_posted_ = false;
        if (!wake_) return false;
        PostWake();  // still pending: a host pump must find it again after this pass
        return true;
      case kReadyMessage:
        ready_posted_ = false;
        return !pending_.empty();
      case kMarkMessage:
        if (static_cast<int32_t>(static_cast<uint32_t>(lp) - mark_seen_) > 0) {
          mark_seen_ = static_cast<uint32_t>(lp);
        }
        return false;
      default:
        return false;
    }
  }

  // One pass over the thread's messages, up to the marker posted here. A nested Poll posts a
  // later marker and so also takes the outer marker; the outer Poll then ends at once.
  void Pump() {
    const uint32_t mark = ++poll_seq_;
    if (!::PostMessageW(hwnd_, kMarkMessage, 0, static_cast<LPARAM>(mark))) return;
    MSG m;
    while (static_cast<int32_t>(mark_seen_ - mark) < 0 &&
           ::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message == WM_QUIT) {
        // Belongs to the host's own loop: put it back and stop here.
        ::PostQuitMessage(static_cast<int>(m.wParam));
        break;
      }
      if (m.hwnd == hwnd_ && IsOwn(m.message)) {
        (void)Take(m.message, m.wParam, m.lParam);
        continue;
      }
      ::TranslateMessage(&m);
      ::DispatchMessageW(&m);
    }
  }

  bool Look(SOCKET s) {
    auto it = sockets_.find(s);
    if (it == sockets_.end() || !it->second.armed) return false;
    const uint32_t ready = ReadinessNow(s, it->second.events);
    if (ready == kIoNone) return false;
    // A persistent watch stays armed; its next message comes when the consuming call (accept)
    // re-enables the event.
    if ((it->second.events & kIoPersistent) == 0) it->second.armed = false;
    pending_.push_back(Collected{s, PolledEvent{it->second.token, ready}});
    return true;
  }

  void LookIfReady(SOCKET s, uint32_t events) {
    if (ReadinessNow(s, events) != kIoNone) {
      ::PostMessageW(hwnd_, kLookMessage, static_cast<WPARAM>(s), 0);
    }
  }

  // Forgets what was collected for s and not returned yet.
  void Drop(SOCKET s) {
    for (auto it = pending_.begin(); it != pending_.end();) {
      it = it->socket == s ? pending_.erase(it) : it + 1;
    }
  }

  void PostWake() {
    if (wake_posted_.exchange(true)) return;
    // A full queue: the next Wake tries again.
    if (!::PostMessageW(hwnd_, kWakeMessage, 0, 0)) wake_posted_ = false;
  }

  HWND hwnd_;
  std::function<void()> ready_hook_;
  std::unordered_map<SOCKET, Watched> sockets_;
  std::deque<Collected> pending_;
  std::atomic<bool> wake_{false};
  std::atomic<bool> wake_posted_{false};
  bool ready_posted_ = false;
  uint32_t poll_seq_ = 0;
  uint32_t mark_seen_ = 0;
};

LRESULT CALLBACK LoopWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* poller = reinterpret_cast<MessagePoller*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (poller == nullptr) return ::DefWindowProcW(hwnd, msg, wp, lp);
  return poller->FromWindow(msg, wp, lp);
}

}  // namespace

Result<std::unique_ptr<Poller>> Poller::Create(std::function<void()> ready_hook) {
  // Message-only: a hidden top-level window needs a desktop, which a headless session lacks.
  HWND hwnd = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                OwnModule(), nullptr);
  if (hwnd == nullptr) {
    return WinStatus("cannot create the event loop's window", errc::kWsaNoBufferSpace,
                     ::GetLastError());
  }
  return std::unique_ptr<Poller>(std::make_unique<MessagePoller>(hwnd, std::move(ready_hook)));
}

}  // namespace qz::platform
