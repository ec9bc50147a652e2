// SocketControl: non-blocking IPv4 TCP, readiness from the thread's EventLoop. The state machine
// is the same on every OS; the OS calls are those of socket_api.h. This file opens, closes and
// listens; socket_control_io.cc carries on from the socket's readiness.
#include "platform/socket_control.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/connection_requests.h"
#include "platform/host_name.h"
#include "platform/local_ip.h"
#include "platform/socket_control_impl.h"

namespace qz::platform {
namespace {

using sockets::kNoSocket;
using sockets::SocketHandle;

// Connect errors that are the outcome of the attempt (an Error event), as opposed to errors of
// the call itself (a failed Status).
bool IsConnectOutcome(const Status& failure) {
  switch (failure.code()) {
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

Status CheckedPort(std::string_view property, int32_t port) {
  if (port >= 0 && port <= 65535) return Status::OK();
  return Status::Error(errc::kInvalidProperty, std::string(property) + ": " + std::to_string(port) +
                                                   " is not a port (0 to 65535)");
}

}  // namespace

Status SocketControl::Impl::BadState(std::string_view member, SocketState state) {
  return Status::Error(errc::kSckBadState, std::string(member) +
                                               ": wrong connection state for this call (state " +
                                               std::to_string(static_cast<int>(state)) + ")");
}

std::string SocketControl::Impl::Describe(const Status& failure, std::string_view what) {
  std::string s(what);
  s += ": ";
  s += failure.message();
  return s;
}

Status SocketControl::Impl::Within(std::string_view what, const Status& failure) {
  return Status::Error(failure.code(), Describe(failure, what));
}

Status SocketControl::Impl::CloseFailed(SocketHandle s, std::string_view what,
                                        const Status& failure) {
  sockets::CloseSocket(s);
  return Within(what, failure);
}

Status SocketControl::Impl::Listen() {
  if (state_ != SocketState::kClosed) return BadState("Listen", state_);
  Result<SocketHandle> opened = sockets::OpenTcpSocket();
  if (!opened.ok()) return Within("Listen: socket", opened.status());
  const SocketHandle s = *opened;
  // A port held only by closing connections may be reused, one with a listener not (10048).
  sockets::AllowClosingPortReuse(s);
  Status bound = sockets::BindPort(s, static_cast<uint16_t>(local_port));
  if (bound.ok()) bound = sockets::ListenOn(s);
  if (!bound.ok()) return CloseFailed(s, "Listen on port " + std::to_string(local_port), bound);
  if (local_port == 0) local_port = sockets::BoundPort(s);  // else the port asked for is bound
  listening_port_ = static_cast<uint16_t>(local_port);
  // Each report is consumed by one accept: persistent, so no re-arm per request.
  Status started = Start(s, SocketState::kListening, kIoReadable | kIoPersistent, "Listen");
  if (started.ok()) ListenerStarted();
  return started;
}

Status SocketControl::Impl::Accept(int32_t request_id) {
  if (state_ != SocketState::kClosed) return BadState("Accept", state_);
  const PendingRequest request = TakePendingRequest(request_id);
  if (request.socket == kNoSocket) {
    return Status::Error(errc::kSckInvalidArgument,
                         "Accept: no pending connection request " + std::to_string(request_id));
  }
  // Both ends as accept told them.
  local_port = request.local_port;
  remote_host = DottedV4(request.peer.address);
  remote_port = request.peer.port;
  return Start(request.socket, SocketState::kConnected, kIoReadable, "Accept");
}

Status SocketControl::Impl::Connect(const LocalPortWalk* walk) {
  if (state_ != SocketState::kClosed) return BadState("Connect", state_);
  if (remote_port <= 0 || remote_port > 65535) {
    return Status::Error(errc::kWsaAddressNotAvailable,
                         "Connect: remote port " + std::to_string(remote_port) + " is not valid");
  }
  state_ = SocketState::kResolvingHost;
  Result<uint32_t> address = ResolveRemoteHost(remote_host);
  state_ = SocketState::kClosed;
  if (!address.ok()) return Within("Connect", address.status());

  Result<sockets::ConnectingSocket> opened = sockets::OpenConnectingSocket();
  if (!opened.ok()) return Within("Connect: socket", opened.status());
  const SocketHandle s = opened->socket;
  const sockets::Family family = opened->family;
  waits_limited_ = !defer_wait_limits;
  if (waits_limited_) sockets::LimitConnectWait(s);
  if (Status bound = BindLocal(s, family, walk); !bound.ok()) return bound;
  // Named only when it failed: a sender connects once per message.
  const auto target = [this] {
    return "Connect to " + remote_host + ":" + std::to_string(remote_port);
  };
  Status outcome = sockets::StartConnect(s, {*address, static_cast<uint16_t>(remote_port)}, family);
  if (!outcome.ok() && !IsConnectOutcome(outcome)) return CloseFailed(s, target(), outcome);
  // Only a port the system chose must be asked for.
  if (local_port == 0) {
    int32_t bound = sockets::BoundPort(s);
    if (bound > 0) local_port = bound;
  }
  if (!outcome.ok()) {
    sockets::CloseSocket(s);
    ++generation_;
    state_ = SocketState::kError;
    PostError(outcome, target());
    return Status::OK();
  }
  // Even a connection that completed at once is reported by the writable event of a later pass,
  // never from here.
  return Start(s, SocketState::kConnecting, kIoWritable, "Connect");
}

void SocketControl::Impl::LimitWaits() {
  if (socket_ == sockets::kNoSocket || waits_limited_) return;
  sockets::LimitConnectWait(socket_);
  waits_limited_ = true;
}

Status SocketControl::Impl::BindLocal(SocketHandle s, sockets::Family family,
                                      const LocalPortWalk* walk) {
  if (walk != nullptr) {
    // The walk's candidates are answered by binding this very socket: a failed bind leaves it
    // unbound for the next one, and the port found is held from that moment.
    struct Attempt {
      SocketHandle s;
      sockets::Family family;
      int32_t bound;
    } attempt{s, family, 0};
    // One pointer captured: the std::function holds it without an allocation.
    const int32_t chosen = (*walk)([a = &attempt](int32_t port) {
      if (a->bound != 0 || port <= 0 || port > 65535) return false;
      Status tried = sockets::BindUnusedPort(a->s, static_cast<uint16_t>(port), a->family);
      if (tried.ok()) a->bound = port;
      return tried.IsAddressInUse();
    });
    const int32_t bound = attempt.bound;
    if (Status checked = CheckedPort("LocalPort", chosen); !checked.ok()) {
      return CloseFailed(s, "Connect", checked);
    }
    local_port = chosen;
    if (chosen == bound) return Status::OK();  // also 0: the system chooses at connect
  }
  // No port sharing here, as on Winsock: a local port that is in use fails at once (10048).
  if (local_port == 0) return Status::OK();
  Status bound = sockets::BindPort(s, static_cast<uint16_t>(local_port), family);
  if (bound.ok()) return Status::OK();
  return CloseFailed(s, "Connect from local port " + std::to_string(local_port), bound);
}

Status SocketControl::Impl::Start(SocketHandle s, SocketState state, uint32_t events,
                                  std::string_view what) {
  Result<WatchId> id = loop_.Watch(sockets::WatchFd(s), events, this);
  if (!id.ok()) return CloseFailed(s, what, id.status());
  ++generation_;
  socket_ = s;
  watch_ = *id;
  armed_ = true;
  armed_events_ = events;
  state_ = state;
  return Status::OK();
}

void SocketControl::Impl::Reset(SocketState state) {
  if (watch_ != 0) loop_.UnwatchClosing(watch_);  // closed just below
  watch_ = 0;
  const bool freed = socket_ != kNoSocket;
  if (freed && state_ == SocketState::kListening) ListenerStopped();
  if (freed) sockets::CloseSocket(socket_);
  socket_ = kNoSocket;
  out_.Clear();
  in_.clear();
  peer_closed_ = false;
  read_failure_ = Status::OK();
  in_data_event_ = false;
  deliver_posted_ = false;
  data_reported_ = false;
  complete_due_ = false;
  loop_.Cancel(complete_posted_);
  complete_posted_ = 0;
  armed_ = false;
  starved_ = false;
  ++generation_;
  state_ = state;
  if (freed) WakeStarvedListeners();
}

void SocketControl::Impl::AcceptPending() {
  const uint64_t gen = generation_;
  const bool starved = AcceptRequests(socket_, listening_port_, [this, gen](int32_t id) {
    Raise([id](SocketEvents& e) { e.OnConnectionRequest(id); });
    return gen == generation_;  // else closed inside the handler
  });
  if (starved) {
    starved_ = true;
    AwaitFreedDescriptor(weak_from_this());
  }
}

void SocketControl::Impl::DescriptorFreed() {
  if (!starved_) return;
  starved_ = false;
  Rearm();
}

SocketControl::SocketControl() : impl_(std::make_shared<Impl>()) {}

SocketControl::~SocketControl() { impl_->Close(); }

void SocketControl::SetEvents(std::weak_ptr<SocketEvents> sink) { impl_->sink = std::move(sink); }

int32_t SocketControl::LocalPort() const { return impl_->local_port; }

Status SocketControl::SetLocalPort(int32_t port) {
  Status checked = CheckedPort("LocalPort", port);
  if (checked.ok()) impl_->local_port = port;
  return checked;
}

std::string SocketControl::LocalIP() const { return MachineLocalIP(); }

const std::string& SocketControl::RemoteHost() const { return impl_->remote_host; }
void SocketControl::SetRemoteHost(std::string host) { impl_->remote_host = std::move(host); }
int32_t SocketControl::RemotePort() const { return impl_->remote_port; }

Status SocketControl::SetRemotePort(int32_t port) {
  Status checked = CheckedPort("RemotePort", port);
  if (checked.ok()) impl_->remote_port = port;
  return checked;
}

SocketState SocketControl::State() const { return impl_->state(); }
const std::string& SocketControl::Tag() const { return impl_->tag; }
void SocketControl::SetTag(std::string tag) { impl_->tag = std::move(tag); }

Status SocketControl::Listen() { return impl_->Listen(); }
Status SocketControl::Accept(int32_t requestID) { return impl_->Accept(requestID); }
Status SocketControl::Connect() { return impl_->Connect(nullptr); }

size_t SocketControl::BytesUnsent() const { return impl_->BytesUnsent(); }

Status SocketControl::ConnectFromFreePort(const LocalPortWalk& walk) {
  return impl_->Connect(&walk);
}
void SocketControl::DeferWaitLimits(bool defer) { impl_->defer_wait_limits = defer; }
void SocketControl::LimitWaits() { impl_->LimitWaits(); }
Status SocketControl::SendData(std::string_view bytes) { return impl_->SendData(bytes); }
Status SocketControl::GetData(std::string& out, int32_t maxLen) {
  return impl_->GetData(out, maxLen);
}
void SocketControl::Close() { impl_->Close(); }

}  // namespace qz::platform
