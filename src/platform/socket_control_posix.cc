// SocketControl on POSIX sockets: non-blocking IPv4 TCP, readiness from the thread's EventLoop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

struct ErrnoMapping {
  int err;
  WsaError wsa;
};

constexpr ErrnoMapping kErrnoToWsa[] = {
    {EINTR, {10004, "interrupted function call"}},
    {EBADF, {10009, "file handle is not valid"}},
    {EACCES, {10013, "permission denied"}},
    {EPERM, {10013, "permission denied"}},
    {EFAULT, {10014, "bad address"}},
    {EINVAL, {errc::kWsaInvalidArgument, "invalid argument"}},
    {EMFILE, {errc::kWsaTooManySockets, "too many open sockets"}},
    {ENFILE, {errc::kWsaTooManySockets, "too many open sockets"}},
    {EWOULDBLOCK, {errc::kWsaWouldBlock, "operation would block"}},
    {EINPROGRESS, {10036, "operation now in progress"}},
    {EALREADY, {10037, "operation already in progress"}},
    {ENOTSOCK, {10038, "socket operation on something that is not a socket"}},
    {EPROTONOSUPPORT, {10043, "protocol not supported"}},
    {EOPNOTSUPP, {10045, "operation not supported"}},
    {EAFNOSUPPORT, {10047, "address family not supported"}},
    {EADDRINUSE, {errc::kWsaAddressInUse, "address in use"}},
    {EADDRNOTAVAIL, {errc::kWsaAddressNotAvailable, "address not available"}},
    {ENETDOWN, {10050, "network is down"}},
    {ENETUNREACH, {errc::kWsaNetworkUnreachable, "network is unreachable"}},
    {ENETRESET, {10052, "network dropped connection on reset"}},
    {ECONNABORTED, {errc::kWsaConnectionAborted, "connection aborted"}},
    {ECONNRESET, {errc::kWsaConnectionReset, "connection reset by peer"}},
    {EPIPE, {errc::kWsaConnectionReset, "connection reset by peer"}},
    {ENOBUFS, {errc::kWsaNoBufferSpace, "no buffer space available"}},
    {ENOMEM, {errc::kWsaNoBufferSpace, "no buffer space available"}},
    {EISCONN, {10056, "socket is already connected"}},
    {ENOTCONN, {errc::kWsaNotConnected, "socket is not connected"}},
    {ETIMEDOUT, {errc::kWsaTimedOut, "connection timed out"}},
    {ECONNREFUSED, {errc::kWsaConnectionRefused, "connection refused"}},
    {EHOSTDOWN, {10064, "host is down"}},
    {EHOSTUNREACH, {errc::kWsaHostUnreachable, "no route to host"}},
};

// errno to Winsock numbers: the one place where OS errors become the control's numbers.
WsaError WsaFromErrno(int e) {
  for (const ErrnoMapping& m : kErrnoToWsa) {
    if (m.err == e) return m.wsa;
  }
  return {errc::kWsaInvalidArgument, "socket operation failed"};
}

std::string Describe(int e, std::string_view what) {
  std::string s(what);
  s += ": ";
  s += WsaFromErrno(e).text;
  s += " (";
  s += std::strerror(e);
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
    case ECONNREFUSED:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ETIMEDOUT:
    case ECONNRESET:
    case EHOSTDOWN:
    case ENETDOWN:
      return true;
    default:
      return false;
  }
}

std::string DottedV4(in_addr a) {
  char buf[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

int32_t BoundPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

bool IsLoopback(in_addr a) { return (ntohl(a.s_addr) >> 24) == 127; }

// The first non-loopback IPv4 address of the host name. Loopback results are skipped: many
// distributions map the host name to 127.0.1.1, which no peer can reach.
std::string HostNameAddress() {
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

// The IPv4 address of the interface that carries the default route (/proc/net/route).
std::string DefaultRouteAddress() {
  FILE* f = std::fopen("/proc/net/route", "re");
  if (f == nullptr) return {};
  char line[512];
  std::string iface;
  if (std::fgets(line, sizeof line, f) != nullptr) {  // header
    while (std::fgets(line, sizeof line, f) != nullptr) {
      char name[64];
      unsigned long dest = 1, flags = 0;
      if (std::sscanf(line, "%63s %lx %*x %lx", name, &dest, &flags) == 3 && dest == 0 &&
          (flags & 1 /* RTF_UP */) != 0) {
        iface = name;
        break;
      }
    }
  }
  std::fclose(f);
  if (iface.empty()) return {};
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  std::string found;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET && iface == i->ifa_name) {
      found = DottedV4(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr);
      break;
    }
  }
  ::freeifaddrs(list);
  return found;
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
// by request id (the descriptor). Accept takes one out; the listener closes what is left.
thread_local std::vector<int> t_pending_requests;

bool TakePendingRequest(int id) {
  auto it = std::find(t_pending_requests.begin(), t_pending_requests.end(), id);
  if (it == t_pending_requests.end()) return false;
  t_pending_requests.erase(it);
  return true;
}

// One descriptor in reserve per thread while it has a listener. When accept fails for want of
// descriptors, the request stays queued and the listener stays readable: a loop that goes back
// to it spins, and the queue (well-behaved peers too) never moves. The spare is released to take
// the oldest request and close it at once, so the queue drains and the peer learns at once that
// its message was not taken. Plain thread-locals: controls may close during thread exit.
thread_local int t_spare_fd = -1;
thread_local int t_listeners = 0;

void ReserveSpare() {
  if (t_spare_fd < 0) t_spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool ReleaseSpare() {
  if (t_spare_fd < 0) return false;
  ::close(t_spare_fd);
  t_spare_fd = -1;
  return true;
}

// Text that cannot be a host name never goes to the resolver: a presence row may hold anything,
// and a look-up of such text could leave the machine or block the thread for nothing. Letters,
// digits, '-' and '_' in dot-separated labels of 1 to 63, at most 253 in all, and a last label
// that is not all digits (numeric forms were tried before).
bool CouldBeHostName(std::string_view s) {
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);
  if (s.empty() || s.size() > 253) return false;
  size_t label = 0;
  bool label_has_letter = false;
  for (char c : s) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      label_has_letter = false;
      continue;
    }
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
    if (!letter && !(c >= '0' && c <= '9')) return false;
    label_has_letter = label_has_letter || letter;
    if (++label > 63) return false;
  }
  return label_has_letter;
}

int Available(int fd) {
  int n = 0;
  if (::ioctl(fd, FIONREAD, &n) != 0) return 0;
  return n;
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
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      int err = errno;
      return ErrnoStatus(err, "Listen: socket");
    }
    // Lets a listener reuse a port held only by TIME_WAIT connections; Linux still refuses a
    // second listener on the port, which is the Winsock behaviour (10048) the component needs.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(static_cast<uint16_t>(local_port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
      int err = errno;
      return CloseFailed(fd, err, "Listen on port " + std::to_string(local_port));
    }
    local_port = BoundPort(fd);
    Status started = Start(fd, SocketState::kListening, kIoReadable, "Listen");
    if (started.ok()) {
      ++t_listeners;
      ReserveSpare();
    }
    return started;
  }

  Status Accept(int32_t request_id) {
    if (state_ != SocketState::kClosed) return BadState("Accept", state_);
    if (!TakePendingRequest(request_id)) {
      return Status::Error(errc::kSckInvalidArgument,
                           "Accept: no pending connection request " + std::to_string(request_id));
    }
    int fd = request_id;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    local_port = BoundPort(fd);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0) {
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

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      int err = errno;
      return ErrnoStatus(err, "Connect: socket");
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // No SO_REUSEADDR here, as on Winsock: a local port that is in use fails at once (10048).
    if (local_port != 0) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr.s_addr = htonl(INADDR_ANY);
      local.sin_port = htons(static_cast<uint16_t>(local_port));
      if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        int err = errno;
        return CloseFailed(fd, err, "Connect from local port " + std::to_string(local_port));
      }
    }
    int outcome = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
      int err = errno;
      if (!IsConnectOutcome(err)) {
        return CloseFailed(fd, err,
                           "Connect to " + remote_host + ":" + std::to_string(remote_port));
      }
      outcome = err;
    }
    int32_t bound = BoundPort(fd);
    if (bound > 0) local_port = bound;
    if (outcome != 0) {
      ::close(fd);
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
      ssize_t r = ::recv(fd_, out.data() + got, want - got, 0);
      if (r > 0) {
        got += static_cast<size_t>(r);
      } else if (r == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
        break;
      } else if (errno != EINTR) {
        err = errno;
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
    if (id == 0) {
      int err = errno;
      return CloseFailed(fd, err, what);
    }
    ++generation_;
    fd_ = fd;
    watch_ = id;
    state_ = state;
    return Status::OK();
  }

  Status CloseFailed(int fd, int err, std::string_view what) {
    ::close(fd);
    return ErrnoStatus(err, what);
  }

  Status Resolve(in_addr* addr) {
    if (remote_host.empty()) {
      return Status::Error(errc::kWsaHostNotFound, "Connect: no remote host given");
    }
    if (::inet_pton(AF_INET, remote_host.c_str(), addr) == 1) return Status::OK();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;  // the other numeric forms ("127.1"), never a look-up
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(remote_host.c_str(), nullptr, &hints, &list);
    if (rc != 0 && !CouldBeHostName(remote_host)) {
      return Status::Error(errc::kWsaHostNotFound,
                           "Connect: not an address or host name: " + remote_host);
    }
    if (rc != 0) {
      hints.ai_flags = 0;
      rc = ::getaddrinfo(remote_host.c_str(), nullptr, &hints, &list);
    }
    if (rc != 0 || list == nullptr) {
      return Status::Error(errc::kWsaHostNotFound, "Connect: host not found: " + remote_host +
                                                       " (" + gai_strerror(rc) + ")");
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
        return starved_ ? kIoNone : kIoReadable;
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

  // Writes what the socket takes now. Returns 0, or the errno that ended the connection.
  int Flush() {
    while (Unsent() != 0) {
      ssize_t w = ::send(fd_, out_.data() + out_sent_, Unsent(), MSG_NOSIGNAL);
      if (w >= 0) {
        out_sent_ += static_cast<size_t>(w);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        break;
      } else if (errno != EINTR) {
        return errno;
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
      int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if ((errno == EMFILE || errno == ENFILE) && DropOldestRequest()) continue;
        // The queue is empty (a spare lost to a shortage is taken back now), or descriptors are
        // short with no spare and the listener waits for one to be freed.
        if (errno == EAGAIN || errno == EWOULDBLOCK) ReserveSpare();
        return;
      }
      t_pending_requests.push_back(fd);
      Raise([fd](SocketEvents& s) { s.OnConnectionRequest(fd); });
      if (TakePendingRequest(fd)) ::close(fd);  // nobody accepted it
      if (gen != generation_) return;           // closed inside the handler
    }
  }

  // Out of descriptors: takes the oldest request with the spare descriptor and closes it. Without
  // a spare the listener stops watching until a control of this thread frees a descriptor;
  // false then.
  bool DropOldestRequest() {
    if (ReleaseSpare()) {
      const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      const int err = errno;
      if (fd >= 0) ::close(fd);
      ReserveSpare();
      if (fd >= 0) return true;
      errno = err;
    }
    if (errno == EMFILE || errno == ENFILE) {
      starved_ = true;
      if (t_starved == nullptr) t_starved = new std::vector<std::weak_ptr<Impl>>();
      t_starved->push_back(weak_from_this());
    }
    return false;
  }

  // A descriptor was freed: the thread's starved listeners try again from their next pass. The
  // descriptor goes to a request rather than to a new spare; the spare is taken back once the
  // queue is empty.
  static void WakeStarvedListeners() {
    if (t_starved == nullptr) return;
    std::unique_ptr<std::vector<std::weak_ptr<Impl>>> starved(t_starved);
    t_starved = nullptr;
    for (const std::weak_ptr<Impl>& weak : *starved) {
      std::shared_ptr<Impl> listener = weak.lock();
      if (!listener || !listener->starved_) continue;
      listener->starved_ = false;
      listener->Rearm();
    }
  }

  // Listeners of this thread that ran out of descriptors with no spare left. A raw pointer, so
  // that nothing is destroyed under a control that closes during thread exit.
  static thread_local std::vector<std::weak_ptr<Impl>>* t_starved;

  void FinishConnect() {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == 0) {
      sockaddr_in peer{};
      socklen_t plen = sizeof peer;
      if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &plen) != 0) {
        if (errno == ENOTCONN) return;  // still in progress: re-armed by the caller
        err = errno;
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
      ssize_t r = ::recv(fd_, &c, 1, MSG_PEEK);
      if (r == 0) {
        state_ = SocketState::kPeerClosing;
        Raise([](SocketEvents& s) { s.OnClose(); });
        return;
      }
      if (r < 0) {
        int err = errno;
        if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
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
    const bool freed = fd_ >= 0;
    if (freed && state_ == SocketState::kListening && --t_listeners == 0) ReleaseSpare();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    out_.clear();
    out_sent_ = 0;
    data_reported_ = false;
    complete_posted_ = false;
    starved_ = false;
    ++generation_;
    state_ = state;
    if (freed) WakeStarvedListeners();
  }

  EventLoop& loop_;
  int fd_ = -1;
  WatchId watch_ = 0;
  SocketState state_ = SocketState::kClosed;
  uint64_t generation_ = 0;
  std::string out_;
  size_t out_sent_ = 0;
  bool data_reported_ = false;
  bool complete_posted_ = false;
  bool starved_ = false;  // a listener out of descriptors, waiting for one to be freed
};

thread_local std::vector<std::weak_ptr<SocketControl::Impl>>* SocketControl::Impl::t_starved =
    nullptr;

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
