// SocketControl: non-blocking IPv4 TCP, readiness from the thread's EventLoop. The state machine
// is the same on every OS; the OS calls are those of socket_api.h.
#include "platform/socket_control.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/event_loop.h"
#include "platform/socket_api.h"

namespace qz::platform {
namespace {

using sockets::ConnectProgress;
using sockets::Ipv4Endpoint;
using sockets::kNoSocket;
using sockets::SocketError;
using sockets::SocketHandle;

std::string Describe(const SocketError& e, std::string_view what) {
  std::string s(what);
  s += ": ";
  s += sockets::DescribeSocketError(e);
  return s;
}

Status ErrorStatus(const SocketError& e, std::string_view what) {
  return Status::Error(e.number, Describe(e, what));
}

Status BadState(std::string_view member, SocketState state) {
  return Status::Error(errc::kSckBadState, std::string(member) +
                                               ": wrong connection state for this call (state " +
                                               std::to_string(static_cast<int>(state)) + ")");
}

// Connect errors that are the outcome of the attempt (an Error event), as opposed to errors of
// the call itself (a failed Status).
bool IsConnectOutcome(const SocketError& e) {
  switch (e.number) {
    case errc::kWsaConnectionRefused:
    case errc::kWsaNetworkUnreachable:
    case errc::kWsaHostUnreachable:
    case errc::kWsaTimedOut:
    case errc::kWsaConnectionReset:
    case sockets::kWsaHostDown:
    case sockets::kWsaNetworkDown:
      return true;
    default:
      return false;
  }
}

std::string DottedV4(uint32_t a) {
  return std::to_string(a >> 24) + '.' + std::to_string((a >> 16) & 0xFF) + '.' +
         std::to_string((a >> 8) & 0xFF) + '.' + std::to_string(a & 0xFF);
}

bool IsLoopback(uint32_t a) { return (a >> 24) == 127; }

// The first non-loopback IPv4 address of the host name. Loopback results are skipped: many
// distributions map the host name to 127.0.1.1, which no peer can reach.
std::string HostNameAddress() {
  for (uint32_t a : sockets::HostNameAddresses()) {
    if (!IsLoopback(a)) return DottedV4(a);
  }
  return {};
}

std::string LookUpLocalIP() {
  std::string ip = HostNameAddress();
  if (ip.empty()) {
    if (std::optional<uint32_t> route = sockets::DefaultRouteAddress()) ip = DottedV4(*route);
  }
  if (ip.empty()) ip = "127.0.0.1";
  return ip;
}

std::mutex g_override_mutex;
std::string g_override;  // guarded by g_override_mutex

int32_t RequestId(SocketHandle s) { return static_cast<int32_t>(s); }

// Connections accepted from a listener whose ConnectionRequest event is running on this thread,
// by request id (the descriptor). Accept takes one out; the listener closes what is left.
thread_local std::vector<SocketHandle> t_pending_requests;

SocketHandle TakePendingRequest(int32_t id) {
  auto it = std::find_if(t_pending_requests.begin(), t_pending_requests.end(),
                         [id](SocketHandle s) { return RequestId(s) == id; });
  if (it == t_pending_requests.end()) return kNoSocket;
  const SocketHandle s = *it;
  t_pending_requests.erase(it);
  return s;
}

// One descriptor in reserve per thread while it has a listener. When accept fails for want of
// descriptors, the request stays queued and the listener stays readable: a loop that goes back
// to it spins, and the queue (well-behaved peers too) never moves. The spare is released to take
// the oldest request and close it at once, so the queue drains and the peer learns at once that
// its message was not taken. Plain thread-locals: controls may close during thread exit.
thread_local int t_listeners = 0;

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
    SocketHandle s = sockets::OpenTcpSocket();
    if (s == kNoSocket) return ErrorStatus(sockets::LastSocketError(), "Listen: socket");
    // A port held only by closing connections may be reused, one with a listener not (10048).
    sockets::AllowClosingPortReuse(s);
    if (!sockets::BindPort(s, static_cast<uint16_t>(local_port)) || !sockets::ListenOn(s)) {
      const SocketError err = sockets::LastSocketError();
      return CloseFailed(s, err, "Listen on port " + std::to_string(local_port));
    }
    local_port = sockets::BoundPort(s);
    Status started = Start(s, SocketState::kListening, kIoReadable, "Listen");
    if (started.ok()) {
      ++t_listeners;
      sockets::ReserveSpareDescriptor();
    }
    return started;
  }

  Status Accept(int32_t request_id) {
    if (state_ != SocketState::kClosed) return BadState("Accept", state_);
    const SocketHandle s = TakePendingRequest(request_id);
    if (s == kNoSocket) {
      return Status::Error(errc::kSckInvalidArgument,
                           "Accept: no pending connection request " + std::to_string(request_id));
    }
    sockets::SetNoDelay(s);
    local_port = sockets::BoundPort(s);
    if (std::optional<Ipv4Endpoint> peer = sockets::PeerOf(s)) {
      remote_host = DottedV4(peer->address);
      remote_port = peer->port;
    }
    return Start(s, SocketState::kConnected, kIoReadable, "Accept");
  }

  Status Connect() {
    if (state_ != SocketState::kClosed) return BadState("Connect", state_);
    if (remote_port <= 0 || remote_port > 65535) {
      return Status::Error(errc::kWsaAddressNotAvailable,
                           "Connect: remote port " + std::to_string(remote_port) + " is not valid");
    }
    Ipv4Endpoint to;
    to.port = static_cast<uint16_t>(remote_port);
    state_ = SocketState::kResolvingHost;
    Status resolved = Resolve(&to.address);
    state_ = SocketState::kClosed;
    if (!resolved.ok()) return resolved;

    SocketHandle s = sockets::OpenTcpSocket();
    if (s == kNoSocket) return ErrorStatus(sockets::LastSocketError(), "Connect: socket");
    sockets::SetNoDelay(s);
    // No port sharing here, as on Winsock: a local port that is in use fails at once (10048).
    if (local_port != 0 && !sockets::BindPort(s, static_cast<uint16_t>(local_port))) {
      const SocketError err = sockets::LastSocketError();
      return CloseFailed(s, err, "Connect from local port " + std::to_string(local_port));
    }
    SocketError outcome;
    if (!sockets::StartConnect(s, to)) {
      const SocketError err = sockets::LastSocketError();
      if (!IsConnectOutcome(err)) {
        return CloseFailed(s, err, "Connect to " + remote_host + ":" + std::to_string(remote_port));
      }
      outcome = err;
    }
    int32_t bound = sockets::BoundPort(s);
    if (bound > 0) local_port = bound;
    if (outcome.number != 0) {
      sockets::CloseSocket(s);
      ++generation_;
      state_ = SocketState::kError;
      PostError(outcome, "Connect to " + remote_host + ":" + std::to_string(remote_port));
      return Status::OK();
    }
    // Even a connection that completed at once is reported by the writable event of a later
    // pass, never from here.
    return Start(s, SocketState::kConnecting, kIoWritable, "Connect");
  }

  Status SendData(std::string_view bytes) {
    if (state_ != SocketState::kConnected && state_ != SocketState::kPeerClosing) {
      return BadState("SendData", state_);
    }
    const bool idle = Unsent() == 0;
    out_.append(bytes);
    if (!idle) return Status::OK();  // the writable event carries on
    SocketError err = Flush();
    if (err.number != 0) {
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
    if (socket_ == kNoSocket ||
        (state_ != SocketState::kConnected && state_ != SocketState::kPeerClosing)) {
      return BadState("GetData", state_);
    }
    size_t want = static_cast<size_t>(sockets::BytesAvailable(socket_));
    if (max_len > 0) want = std::min(want, static_cast<size_t>(max_len));
    out.resize(want);
    size_t got = 0;
    SocketError err;
    while (got < want) {
      std::ptrdiff_t r = sockets::ReceiveSome(socket_, out.data() + got, want - got);
      if (r > 0) {
        got += static_cast<size_t>(r);
        continue;
      }
      if (r == 0) break;
      const SocketError e = sockets::LastSocketError();
      if (e.number == errc::kWsaWouldBlock) break;
      if (e.number != sockets::kWsaInterrupted) {
        err = e;
        break;
      }
    }
    out.resize(got);
    data_reported_ = false;
    if (err.number != 0) {
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
          SocketError err = Flush();
          if (err.number != 0) {
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
  // Takes s into the given state and watches it.
  Status Start(SocketHandle s, SocketState state, uint32_t events, std::string_view what) {
    Result<WatchId> id = loop_.Watch(sockets::WatchFd(s), events, this);
    if (!id.ok()) {
      sockets::CloseSocket(s);
      return Status::Error(id.status().code(), std::string(what) + ": " + id.status().message());
    }
    ++generation_;
    socket_ = s;
    watch_ = *id;
    state_ = state;
    return Status::OK();
  }

  Status CloseFailed(SocketHandle s, const SocketError& err, std::string_view what) {
    sockets::CloseSocket(s);
    return ErrorStatus(err, what);
  }

  Status Resolve(uint32_t* addr) {
    if (remote_host.empty()) {
      return Status::Error(errc::kWsaHostNotFound, "Connect: no remote host given");
    }
    std::optional<uint32_t> found = sockets::ParseNumericIpv4(remote_host);
    if (!found && !CouldBeHostName(remote_host)) {
      return Status::Error(errc::kWsaHostNotFound,
                           "Connect: not an address or host name: " + remote_host);
    }
    std::string why;
    if (!found) found = sockets::ResolveIpv4(remote_host, &why);
    if (!found) {
      return Status::Error(errc::kWsaHostNotFound,
                           "Connect: host not found: " + remote_host + " (" + why + ")");
    }
    *addr = *found;
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
    if (watch_ != 0) (void)loop_.Modify(watch_, Wanted());
  }

  size_t Unsent() const { return out_.size() - out_sent_; }

  // Writes what the socket takes now. Returns no error, or the one that ended the connection.
  SocketError Flush() {
    while (Unsent() != 0) {
      std::ptrdiff_t w = sockets::SendSome(socket_, out_.data() + out_sent_, Unsent());
      if (w >= 0) {
        out_sent_ += static_cast<size_t>(w);
        continue;
      }
      const SocketError e = sockets::LastSocketError();
      if (e.number == errc::kWsaWouldBlock) break;  // the writable event follows
      if (e.number != sockets::kWsaInterrupted) return e;
    }
    if (Unsent() == 0) {
      out_.clear();
      out_sent_ = 0;
    } else if (out_sent_ > (1u << 20) && out_sent_ > out_.size() / 2) {
      out_.erase(0, out_sent_);
      out_sent_ = 0;
    }
    return {};
  }

  void AcceptPending() {
    const uint64_t gen = generation_;
    // Bounded so that one busy listener cannot hold the pass; the rest come in the next one.
    for (int i = 0; i < 64; ++i) {
      // On Windows the accepted socket inherits the listener's events, which the loop drops
      // until Accept watches it.
      const SocketHandle s = sockets::AcceptOne(socket_);
      if (s == kNoSocket) {
        SocketError err = sockets::LastSocketError();
        if (err.number == sockets::kWsaInterrupted || err.number == errc::kWsaConnectionAborted ||
            err.number == errc::kWsaConnectionReset) {
          continue;
        }
        if (err.number == errc::kWsaTooManySockets && DropOldestRequest(err)) continue;
        // The queue is empty (a spare lost to a shortage is taken back now), or descriptors are
        // short with no spare and the listener waits for one to be freed.
        if (err.number == errc::kWsaWouldBlock) sockets::ReserveSpareDescriptor();
        return;
      }
      const int32_t id = RequestId(s);
      t_pending_requests.push_back(s);
      Raise([id](SocketEvents& e) { e.OnConnectionRequest(id); });
      if (TakePendingRequest(id) != kNoSocket) sockets::CloseSocket(s);  // nobody accepted it
      if (gen != generation_) return;  // closed inside the handler
    }
  }

  // Out of descriptors: takes the oldest request with the spare descriptor and closes it. Without
  // a spare the listener stops watching until a control of this thread frees a descriptor;
  // false then. err is the failure of the accept, updated by the one made here.
  bool DropOldestRequest(SocketError& err) {
    if (sockets::ReleaseSpareDescriptor()) {
      const SocketHandle s = sockets::AcceptOne(socket_);
      if (s == kNoSocket) err = sockets::LastSocketError();
      if (s != kNoSocket) sockets::CloseSocket(s);
      sockets::ReserveSpareDescriptor();
      if (s != kNoSocket) return true;
    }
    if (err.number == errc::kWsaTooManySockets) {
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
    SocketError err;
    switch (sockets::CheckConnect(socket_, &err)) {
      case ConnectProgress::kInProgress:
        return;  // re-armed by the caller
      case ConnectProgress::kFailed:
        Fail(err, "Connect to " + remote_host + ":" + std::to_string(remote_port), /*now=*/true);
        return;
      case ConnectProgress::kConnected:
        break;
    }
    state_ = SocketState::kConnected;
    int32_t bound = sockets::BoundPort(socket_);
    if (bound > 0) local_port = bound;
    Raise([](SocketEvents& s) { s.OnConnect(); });
  }

  void Readable() {
    // Wanted() already keeps readable unarmed in these cases; an event collected before the
    // change may still come.
    if (data_reported_ || state_ != SocketState::kConnected) return;
    int n = sockets::BytesAvailable(socket_);
    if (n == 0) {
      char c;
      std::ptrdiff_t r = sockets::ReceiveSome(socket_, &c, 1, /*peek=*/true);
      if (r == 0) {
        state_ = SocketState::kPeerClosing;
        Raise([](SocketEvents& s) { s.OnClose(); });
        return;
      }
      if (r < 0) {
        const SocketError err = sockets::LastSocketError();
        if (err.number != errc::kWsaWouldBlock && err.number != sockets::kWsaInterrupted) {
          Fail(err, "receiving", /*now=*/true);
        }
        return;
      }
      n = sockets::BytesAvailable(socket_);
      if (n == 0) n = 1;
    }
    data_reported_ = true;
    Raise([n](SocketEvents& s) { s.OnDataArrival(n); });
  }

  // Ends the connection with an error: state kError until Close, an Error event raised now
  // (inside this control's own dispatch) or from the next pass.
  void Fail(const SocketError& err, const std::string& what, bool now) {
    Reset(SocketState::kError);
    if (now) {
      const std::string text = Describe(err, what);
      Raise([&](SocketEvents& s) {
        bool cancel = false;
        s.OnError(err.number, text, cancel);
      });
    } else {
      PostError(err, what);
    }
  }

  void PostError(const SocketError& err, const std::string& what) {
    Post([number = err.number, text = Describe(err, what)](Impl& c) {
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
    const bool freed = socket_ != kNoSocket;
    if (freed && state_ == SocketState::kListening && --t_listeners == 0) {
      sockets::ReleaseSpareDescriptor();
    }
    if (freed) sockets::CloseSocket(socket_);
    socket_ = kNoSocket;
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
  SocketHandle socket_ = kNoSocket;
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
