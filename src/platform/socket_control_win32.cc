// SocketControl on Winsock: non-blocking IPv4 TCP, readiness from the thread's EventLoop, whose
// message-only window receives the sockets' WSAAsyncSelect notifications. The members and their
// state handling are those of the POSIX backend; only the OS calls differ. Winsock's own error
// numbers are the control's numbers, so they pass through unchanged.
// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/event_loop.h"
#include "platform/socket_control.h"

namespace qz::platform {
namespace {

struct WsaError {
  int32_t number;
  const char* text;
};

constexpr WsaError kWsaTexts[] = {
    {WSAEINTR, "interrupted function call"},
    {WSAEBADF, "file handle is not valid"},
    {WSAEACCES, "permission denied"},
    {WSAEFAULT, "bad address"},
    {WSAEINVAL, "invalid argument"},
    {WSAEMFILE, "too many open sockets"},
    {WSAEWOULDBLOCK, "operation would block"},
    {WSAEINPROGRESS, "operation now in progress"},
    {WSAEALREADY, "operation already in progress"},
    {WSAENOTSOCK, "socket operation on something that is not a socket"},
    {WSAEPROTONOSUPPORT, "protocol not supported"},
    {WSAEOPNOTSUPP, "operation not supported"},
    {WSAEAFNOSUPPORT, "address family not supported"},
    {WSAEADDRINUSE, "address in use"},
    {WSAEADDRNOTAVAIL, "address not available"},
    {WSAENETDOWN, "network is down"},
    {WSAENETUNREACH, "network is unreachable"},
    {WSAENETRESET, "network dropped connection on reset"},
    {WSAECONNABORTED, "connection aborted"},
    {WSAECONNRESET, "connection reset by peer"},
    {WSAENOBUFS, "no buffer space available"},
    {WSAEISCONN, "socket is already connected"},
    {WSAENOTCONN, "socket is not connected"},
    {WSAETIMEDOUT, "connection timed out"},
    {WSAECONNREFUSED, "connection refused"},
    {WSAEHOSTDOWN, "host is down"},
    {WSAEHOSTUNREACH, "no route to host"},
    {WSANOTINITIALISED, "Winsock is not initialised"},
};

// Winsock numbers are the control's numbers; this only adds the words.
WsaError WsaFromErrno(int e) {
  for (const WsaError& m : kWsaTexts) {
    if (m.number == e) return m;
  }
  return {e != 0 ? e : errc::kWsaInvalidArgument, "socket operation failed"};
}

std::string Describe(int e, std::string_view what) {
  std::string s(what);
  s += ": ";
  s += WsaFromErrno(e).text;
  s += " (";
  s += std::to_string(e);
  s += ")";
  return s;
}

Status ErrnoStatus(int e, std::string_view what) {
  return Status::Error(WsaFromErrno(e).number, Describe(e, what));
}

Status BadState(std::string_view member, SocketState state) {
  return Status::Error(errc::kSckBadState, std::string(member) +
                                               ": wrong connection state for this call (state " +
                                               std::to_string(static_cast<int>(state)) + ")");
}

// Connect errors that are the outcome of the attempt (an Error event), as opposed to errors of
// the call itself (a failed Status).
bool IsConnectOutcome(int e) {
  switch (e) {
    case WSAECONNREFUSED:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAETIMEDOUT:
    case WSAECONNRESET:
    case WSAEHOSTDOWN:
    case WSAENETDOWN:
      return true;
    default:
      return false;
  }
}

// Once per process; never cleaned up, since sockets may live until the process ends.
void EnsureWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  static_cast<void>(started);
}

// A non-blocking TCP socket as an int (-1 on failure), not inherited by child processes.
int NewSocket() {
  SOCKET s =
      ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
  return static_cast<int>(s);
}

std::string DottedV4(in_addr a) {
  char buf[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

int32_t BoundPort(int fd) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (::getsockname(static_cast<SOCKET>(fd), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return -1;
  }
  return ntohs(sa.sin_port);
}

bool IsLoopback(in_addr a) { return (ntohl(a.s_addr) >> 24) == 127; }

// The first non-loopback IPv4 address of the host name.
std::string HostNameAddress() {
  EnsureWinsock();
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &list) != 0) return {};
  std::string found;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    in_addr a = reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr;
    if (!IsLoopback(a)) {
      found = DottedV4(a);
      break;
    }
  }
  ::freeaddrinfo(list);
  return found;
}

// The IPv4 address of the interface that carries the default route.
std::string DefaultRouteAddress() {
  DWORD index = 0;
  if (::GetBestInterface(0, &index) != NO_ERROR) return {};
  ULONG size = 0;
  if (::GetIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
  std::vector<unsigned char> buffer(size);
  auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data());
  if (::GetIpAddrTable(table, &size, FALSE) != NO_ERROR) return {};
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    if (table->table[i].dwIndex == index) {
      in_addr a{};
      a.s_addr = table->table[i].dwAddr;
      return DottedV4(a);
    }
  }
  return {};
}

std::string LookUpLocalIP() {
  std::string ip = HostNameAddress();
  if (ip.empty()) ip = DefaultRouteAddress();
  if (ip.empty()) ip = "127.0.0.1";
  return ip;
}

std::mutex g_override_mutex;
std::string g_override;  // guarded by g_override_mutex

// Connections accepted from a listener whose ConnectionRequest event is running on this thread,
// by request id (the socket). Accept takes one out; the listener closes what is left.
thread_local std::vector<int> t_pending_requests;

bool TakePendingRequest(int id) {
  auto it = std::find(t_pending_requests.begin(), t_pending_requests.end(), id);
  if (it == t_pending_requests.end()) return false;
  t_pending_requests.erase(it);
  return true;
}

int Available(int fd) {
  u_long n = 0;
  if (::ioctlsocket(static_cast<SOCKET>(fd), FIONREAD, &n) != 0) return 0;
  return n > 0x7fffffff ? 0x7fffffff : static_cast<int>(n);
}

}  // namespace

class SocketControl::Impl final : public IoHandler, public std::enable_shared_from_this<Impl> {
 public:
  Impl() : loop_(EventLoop::Current()) {}
  ~Impl() override { Reset(SocketState::kClosed); }

  std::weak_ptr<SocketEvents> sink;
  int32_t local_port = 0;
  std::string remote_host;
  int32_t remote_port = 0;
  std::string tag;

  SocketState state() const { return state_; }

  Status Listen() {
    if (state_ != SocketState::kClosed) return BadState("Listen", state_);
    EnsureWinsock();
    int fd = NewSocket();
    if (fd < 0) {
      int err = ::WSAGetLastError();
      return ErrnoStatus(err, "Listen: socket");
    }
    // No SO_REUSEADDR: on Winsock it would let a second listener take the port; without it a
    // port held only by closing connections is still fine, a listener's is refused (10048).
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(static_cast<uint16_t>(local_port));
    if (::bind(static_cast<SOCKET>(fd), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(static_cast<SOCKET>(fd), SOMAXCONN) != 0) {
      int err = ::WSAGetLastError();
      return CloseFailed(fd, err, "Listen on port " + std::to_string(local_port));
    }
    local_port = BoundPort(fd);
    return Start(fd, SocketState::kListening, kIoReadable, "Listen");
  }

  Status Accept(int32_t request_id) {
    if (state_ != SocketState::kClosed) return BadState("Accept", state_);
    if (!TakePendingRequest(request_id)) {
      return Status::Error(errc::kSckInvalidArgument,
                           "Accept: no pending connection request " + std::to_string(request_id));
    }
    int fd = request_id;
    BOOL one = TRUE;
    ::setsockopt(static_cast<SOCKET>(fd), IPPROTO_TCP, TCP_NODELAY,
                 reinterpret_cast<const char*>(&one), sizeof one);
    local_port = BoundPort(fd);
    sockaddr_in peer{};
    int len = sizeof peer;
    if (::getpeername(static_cast<SOCKET>(fd), reinterpret_cast<sockaddr*>(&peer), &len) == 0) {
      remote_host = DottedV4(peer.sin_addr);
      remote_port = ntohs(peer.sin_port);
    }
    return Start(fd, SocketState::kConnected, kIoReadable, "Accept");
  }

  Status Connect() {
    if (state_ != SocketState::kClosed) return BadState("Connect", state_);
    if (remote_port <= 0 || remote_port > 65535) {
      return Status::Error(errc::kWsaAddressNotAvailable,
                           "Connect: remote port " + std::to_string(remote_port) + " is not valid");
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(remote_port));
    state_ = SocketState::kResolvingHost;
    Status resolved = Resolve(&sa.sin_addr);
    state_ = SocketState::kClosed;
    if (!resolved.ok()) return resolved;

    EnsureWinsock();
    int fd = NewSocket();
    if (fd < 0) {
      int err = ::WSAGetLastError();
      return ErrnoStatus(err, "Connect: socket");
    }
    BOOL one = TRUE;
    ::setsockopt(static_cast<SOCKET>(fd), IPPROTO_TCP, TCP_NODELAY,
                 reinterpret_cast<const char*>(&one), sizeof one);
    // No SO_REUSEADDR here, as on Winsock: a local port that is in use fails at once (10048).
    if (local_port != 0) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr.s_addr = htonl(INADDR_ANY);
      local.sin_port = htons(static_cast<uint16_t>(local_port));
      if (::bind(static_cast<SOCKET>(fd), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        int err = ::WSAGetLastError();
        return CloseFailed(fd, err, "Connect from local port " + std::to_string(local_port));
      }
    }
    int outcome = 0;
    if (::connect(static_cast<SOCKET>(fd), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
      int err = ::WSAGetLastError();
      if (!IsConnectOutcome(err)) {
        return CloseFailed(fd, err,
                           "Connect to " + remote_host + ":" + std::to_string(remote_port));
      }
      outcome = err;
    }
    int32_t bound = BoundPort(fd);
    if (bound > 0) local_port = bound;
    if (outcome != 0) {
      ::closesocket(static_cast<SOCKET>(fd));
      ++generation_;
      state_ = SocketState::kError;
      PostError(outcome, "Connect to " + remote_host + ":" + std::to_string(remote_port));
      return Status::OK();
    }
    // Even a connection that completed at once is reported by the writable event of a later
    // pass, never from here.
    return Start(fd, SocketState::kConnecting, kIoWritable, "Connect");
  }

  Status SendData(std::string_view bytes) {
    if (state_ != SocketState::kConnected && state_ != SocketState::kPeerClosing) {
      return BadState("SendData", state_);
    }
    const bool idle = Unsent() == 0;
    out_.append(bytes);
    if (!idle) return Status::OK();  // the writable event carries on
    int err = Flush();
    if (err != 0) {
      Fail(err, "SendData", /*now=*/false);
    } else if (Unsent() == 0) {
      PostSendComplete();
    } else {
      Rearm();
    }
    return Status::OK();
  }

  Status GetData(std::string& out, int32_t max_len) {
    out.clear();
    if (fd_ < 0 || (state_ != SocketState::kConnected && state_ != SocketState::kPeerClosing)) {
      return BadState("GetData", state_);
    }
    size_t want = static_cast<size_t>(Available(fd_));
    if (max_len > 0) want = std::min(want, static_cast<size_t>(max_len));
    out.resize(want);
    size_t got = 0;
    int err = 0;
    while (got < want) {
      int r = ::recv(Socket(), out.data() + got, static_cast<int>(want - got), 0);
      if (r > 0) {
        got += static_cast<size_t>(r);
      } else if (r == 0 || ::WSAGetLastError() == WSAEWOULDBLOCK) {
        break;
      } else if (::WSAGetLastError() != WSAEINTR) {
        err = ::WSAGetLastError();
        break;
      }
    }
    out.resize(got);
    data_reported_ = false;
    if (err != 0) {
      Fail(err, "GetData", /*now=*/false);
    } else {
      Rearm();
    }
    return Status::OK();
  }

  Status Close() {
    Reset(SocketState::kClosed);
    return Status::OK();
  }

  void OnIoReady(uint32_t events) override {
    auto self = shared_from_this();  // the owner may destroy the control inside a handler
    const uint64_t gen = generation_;
    switch (state_) {
      case SocketState::kListening:
        AcceptPending();
        break;
      case SocketState::kConnecting:
        FinishConnect();
        break;
      case SocketState::kConnected:
      case SocketState::kPeerClosing:
        if ((events & kIoWritable) != 0 && Unsent() != 0) {
          int err = Flush();
          if (err != 0) {
            Fail(err, "sending", /*now=*/true);
            return;
          }
          if (Unsent() == 0) Raise([](SocketEvents& s) { s.OnSendComplete(); });
          if (gen != generation_) return;
        }
        if ((events & kIoReadable) != 0) Readable();
        break;
      default:
        break;
    }
    if (gen == generation_) Rearm();
  }

 private:
  // Takes fd into the given state and watches it.
  Status Start(int fd, SocketState state, uint32_t events, std::string_view what) {
    WatchId id = loop_.Watch(fd, events, this);
    if (id == 0) return CloseFailed(fd, WSAEINVAL, what);
    ++generation_;
    fd_ = fd;
    watch_ = id;
    state_ = state;
    return Status::OK();
  }

  Status CloseFailed(int fd, int err, std::string_view what) {
    ::closesocket(static_cast<SOCKET>(fd));
    return ErrnoStatus(err, what);
  }

  Status Resolve(in_addr* addr) {
    if (remote_host.empty()) {
      return Status::Error(errc::kWsaHostNotFound, "Connect: no remote host given");
    }
    if (::inet_pton(AF_INET, remote_host.c_str(), addr) == 1) return Status::OK();
    EnsureWinsock();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(remote_host.c_str(), nullptr, &hints, &list);
    if (rc != 0 || list == nullptr) {
      return Status::Error(errc::kWsaHostNotFound, "Connect: host not found: " + remote_host +
                                                       " (error " + std::to_string(rc) + ")");
    }
    *addr = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
    ::freeaddrinfo(list);
    return Status::OK();
  }

  // What the watch must report in the current state. Data already reported waits for GetData;
  // after the peer's close nothing more is read.
  uint32_t Wanted() const {
    switch (state_) {
      case SocketState::kListening:
        return kIoReadable;
      case SocketState::kConnecting:
        return kIoWritable;
      case SocketState::kConnected:
      case SocketState::kPeerClosing: {
        uint32_t e = kIoNone;
        if (!data_reported_ && state_ == SocketState::kConnected) e |= kIoReadable;
        if (Unsent() != 0) e |= kIoWritable;
        return e;
      }
      default:
        return kIoNone;
    }
  }

  void Rearm() {
    if (watch_ != 0) loop_.Modify(watch_, Wanted());
  }

  size_t Unsent() const { return out_.size() - out_sent_; }

  // Writes what the socket takes now. Returns 0, or the Winsock number that ended the connection.
  int Flush() {
    while (Unsent() != 0) {
      const size_t chunk = std::min<size_t>(Unsent(), 1u << 30);
      int w = ::send(Socket(), out_.data() + out_sent_, static_cast<int>(chunk), 0);
      if (w >= 0) {
        out_sent_ += static_cast<size_t>(w);
      } else if (::WSAGetLastError() == WSAEWOULDBLOCK) {
        break;  // FD_WRITE follows once there is room
      } else if (::WSAGetLastError() != WSAEINTR) {
        return ::WSAGetLastError();
      }
    }
    if (Unsent() == 0) {
      out_.clear();
      out_sent_ = 0;
    } else if (out_sent_ > (1u << 20) && out_sent_ > out_.size() / 2) {
      out_.erase(0, out_sent_);
      out_sent_ = 0;
    }
    return 0;
  }

  void AcceptPending() {
    const uint64_t gen = generation_;
    // Bounded so that one busy listener cannot hold the pass; the rest come in the next one.
    for (int i = 0; i < 64; ++i) {
      // The accepted socket inherits the listener's non-blocking mode and its WSAAsyncSelect
      // events, which the loop drops until Accept watches it.
      SOCKET accepted = ::accept(Socket(), nullptr, nullptr);
      if (accepted == INVALID_SOCKET) {
        const int e = ::WSAGetLastError();
        if (e == WSAEINTR || e == WSAECONNRESET || e == WSAECONNABORTED) continue;
        return;  // WSAEWOULDBLOCK, or a shortage that the next pass meets again
      }
      const int fd = static_cast<int>(accepted);
      t_pending_requests.push_back(fd);
      Raise([fd](SocketEvents& s) { s.OnConnectionRequest(fd); });
      if (TakePendingRequest(fd)) ::closesocket(accepted);  // nobody accepted it
      if (gen != generation_) return;                       // closed inside the handler
    }
  }

  void FinishConnect() {
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(Socket(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
      err = ::WSAGetLastError();
    }
    if (err == 0) {
      sockaddr_in peer{};
      int plen = sizeof peer;
      if (::getpeername(Socket(), reinterpret_cast<sockaddr*>(&peer), &plen) != 0) {
        if (::WSAGetLastError() == WSAENOTCONN) return;  // still in progress: re-armed
        err = ::WSAGetLastError();
      }
    }
    if (err != 0) {
      Fail(err, "Connect to " + remote_host + ":" + std::to_string(remote_port), /*now=*/true);
      return;
    }
    state_ = SocketState::kConnected;
    int32_t bound = BoundPort(fd_);
    if (bound > 0) local_port = bound;
    Raise([](SocketEvents& s) { s.OnConnect(); });
  }

  void Readable() {
    // Wanted() already keeps readable unarmed in these cases; an event collected before the
    // change may still come.
    if (data_reported_ || state_ != SocketState::kConnected) return;
    int n = Available(fd_);
    if (n == 0) {
      char c;
      int r = ::recv(Socket(), &c, 1, MSG_PEEK);
      if (r == 0) {
        state_ = SocketState::kPeerClosing;
        Raise([](SocketEvents& s) { s.OnClose(); });
        return;
      }
      if (r < 0) {
        int err = ::WSAGetLastError();
        if (err != WSAEWOULDBLOCK && err != WSAEINTR) {
          Fail(err, "receiving", /*now=*/true);
        }
        return;
      }
      n = Available(fd_);
      if (n == 0) n = 1;
    }
    data_reported_ = true;
    Raise([n](SocketEvents& s) { s.OnDataArrival(n); });
  }

  // Ends the connection with an error: state kError until Close, an Error event raised now
  // (inside this control's own dispatch) or from the next pass.
  void Fail(int err, const std::string& what, bool now) {
    Reset(SocketState::kError);
    WsaError wsa = WsaFromErrno(err);
    std::string text = Describe(err, what);
    if (now) {
      Raise([&](SocketEvents& s) {
        bool cancel = false;
        s.OnError(wsa.number, text, cancel);
      });
    } else {
      PostError(err, what);
    }
  }

  void PostError(int err, const std::string& what) {
    Post([number = WsaFromErrno(err).number, text = Describe(err, what)](Impl& c) {
      c.Raise([&](SocketEvents& s) {
        bool cancel = false;
        s.OnError(number, text, cancel);
      });
    });
  }

  // Everything was written at once; the event still comes from a later pass. One event covers
  // every SendData of the pass, and none comes while later data still waits for the socket.
  void PostSendComplete() {
    if (complete_posted_) return;
    complete_posted_ = true;
    Post([](Impl& c) {
      c.complete_posted_ = false;
      if (c.Unsent() == 0) c.Raise([](SocketEvents& s) { s.OnSendComplete(); });
    });
  }

  // Runs step from a later pass, unless the control is closed, fails or reconnects first.
  void Post(std::function<void(Impl&)> step) {
    loop_.Post([weak = weak_from_this(), gen = generation_, step = std::move(step)] {
      std::shared_ptr<Impl> self = weak.lock();
      if (self && self->generation_ == gen) step(*self);
    });
  }

  template <typename F>
  void Raise(F&& event) {
    std::shared_ptr<SocketEvents> s = sink.lock();  // held for the whole event
    if (s) event(*s);
  }

  // Closes the socket, drops queued data and cancels every event still due; state becomes
  // `state`.
  void Reset(SocketState state) {
    if (watch_ != 0) loop_.Unwatch(watch_);
    watch_ = 0;
    if (fd_ >= 0) ::closesocket(Socket());
    fd_ = -1;
    out_.clear();
    out_sent_ = 0;
    data_reported_ = false;
    complete_posted_ = false;
    ++generation_;
    state_ = state;
  }

  SOCKET Socket() const { return static_cast<SOCKET>(fd_); }

  EventLoop& loop_;
  int fd_ = -1;  // a SOCKET; handles fit in an int on Windows
  WatchId watch_ = 0;
  SocketState state_ = SocketState::kClosed;
  uint64_t generation_ = 0;
  std::string out_;
  size_t out_sent_ = 0;
  bool data_reported_ = false;
  bool complete_posted_ = false;
};

SocketControl::SocketControl() : impl_(std::make_shared<Impl>()) {}

SocketControl::~SocketControl() { static_cast<void>(impl_->Close()); }

void SocketControl::SetEvents(std::weak_ptr<SocketEvents> sink) { impl_->sink = std::move(sink); }

int32_t SocketControl::LocalPort() const { return impl_->local_port; }

Status SocketControl::SetLocalPort(int32_t port) {
  if (port < 0 || port > 65535) {
    return Status::Error(errc::kInvalidProperty,
                         "LocalPort: " + std::to_string(port) + " is not a port (0 to 65535)");
  }
  impl_->local_port = port;
  return Status::OK();
}

std::string SocketControl::LocalIP() const {
  {
    std::lock_guard<std::mutex> lock(g_override_mutex);
    if (!g_override.empty()) return g_override;
  }
  static const std::string looked_up = LookUpLocalIP();
  return looked_up;
}

const std::string& SocketControl::RemoteHost() const { return impl_->remote_host; }
void SocketControl::SetRemoteHost(std::string host) { impl_->remote_host = std::move(host); }
int32_t SocketControl::RemotePort() const { return impl_->remote_port; }

Status SocketControl::SetRemotePort(int32_t port) {
  if (port < 0 || port > 65535) {
    return Status::Error(errc::kInvalidProperty,
                         "RemotePort: " + std::to_string(port) + " is not a port (0 to 65535)");
  }
  impl_->remote_port = port;
  return Status::OK();
}

SocketState SocketControl::State() const { return impl_->state(); }
const std::string& SocketControl::Tag() const { return impl_->tag; }
void SocketControl::SetTag(std::string tag) { impl_->tag = std::move(tag); }

Status SocketControl::Listen() { return impl_->Listen(); }
Status SocketControl::Accept(int32_t requestID) { return impl_->Accept(requestID); }
Status SocketControl::Connect() { return impl_->Connect(); }
Status SocketControl::SendData(std::string_view bytes) { return impl_->SendData(bytes); }
Status SocketControl::GetData(std::string& out, int32_t maxLen) {
  return impl_->GetData(out, maxLen);
}
Status SocketControl::Close() { return impl_->Close(); }

void SetLocalIPOverride(std::string address) {
  std::lock_guard<std::mutex> lock(g_override_mutex);
  g_override = std::move(address);
}

}  // namespace qz::platform
