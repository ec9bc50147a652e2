// SocketControl once it has a socket: the readiness the loop reports, the byte stream, and how
// events are raised: from the control's own dispatch, or posted to a later pass.
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/socket_control_impl.h"

namespace qz::platform {

using sockets::ConnectProgress;
using sockets::IsInterrupted;
using sockets::kNoSocket;

Status SocketControl::Impl::SendData(std::string_view bytes) {
  if (state_ != SocketState::kConnected && state_ != SocketState::kPeerClosing) {
    return BadState("SendData", state_);
  }
  const bool idle = out_.Unsent() == 0;
  out_.Append(bytes);
  if (!idle) return Status::OK();  // the writable event carries on
  Status sent = out_.WriteTo(socket_);
  if (!sent.ok()) {
    Fail(sent, "SendData", /*now=*/false);
  } else if (out_.Unsent() == 0) {
    PostSendComplete();
  } else {
    Rearm();
  }
  return Status::OK();
}

Status SocketControl::Impl::GetData(std::string& out, int32_t max_len) {
  out.clear();
  if (socket_ == kNoSocket ||
      (state_ != SocketState::kConnected && state_ != SocketState::kPeerClosing)) {
    return BadState("GetData", state_);
  }
  size_t want = static_cast<size_t>(sockets::BytesAvailable(socket_));
  if (max_len > 0) want = std::min(want, static_cast<size_t>(max_len));
  Status received = ReceiveUpTo(socket_, want, out);
  data_reported_ = false;
  if (!received.ok()) {
    Fail(received, "GetData", /*now=*/false);
  } else {
    Rearm();
  }
  return Status::OK();
}

void SocketControl::Impl::OnIoReady(uint32_t events) {
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
      if ((events & kIoWritable) != 0 && out_.Unsent() != 0) {
        Status sent = out_.WriteTo(socket_);
        if (!sent.ok()) {
          Fail(sent, "sending", /*now=*/true);
          return;
        }
        if (out_.Unsent() == 0) Raise([](SocketEvents& s) { s.OnSendComplete(); });
        if (gen != generation_) return;
      }
      if ((events & kIoReadable) != 0) Readable();
      break;
    default:
      break;
  }
  if (gen == generation_) Rearm();
}

void SocketControl::Impl::FinishConnect() {
  Result<ConnectProgress> progress = sockets::CheckConnect(socket_);
  if (!progress.ok()) {
    Fail(progress.status(), "Connect to " + remote_host + ":" + std::to_string(remote_port),
         /*now=*/true);
    return;
  }
  if (*progress == ConnectProgress::kInProgress) return;  // re-armed by the caller
  state_ = SocketState::kConnected;
  int32_t bound = sockets::BoundPort(socket_);
  if (bound > 0) local_port = bound;
  Raise([](SocketEvents& s) { s.OnConnect(); });
}

void SocketControl::Impl::Readable() {
  // Wanted() already keeps readable unarmed in these cases; an event collected before the change
  // may still come.
  if (data_reported_ || state_ != SocketState::kConnected) return;
  int n = sockets::BytesAvailable(socket_);
  if (n == 0) {
    char c;
    Result<size_t> peeked = sockets::ReceiveSome(socket_, &c, 1, /*peek=*/true);
    if (!peeked.ok()) {
      const Status& failure = peeked.status();
      if (!failure.IsWouldBlock() && !IsInterrupted(failure)) {
        Fail(failure, "receiving", /*now=*/true);
      }
      return;
    }
    if (*peeked == 0) {
      state_ = SocketState::kPeerClosing;
      Raise([](SocketEvents& s) { s.OnClose(); });
      return;
    }
    n = sockets::BytesAvailable(socket_);
    if (n == 0) n = 1;
  }
  data_reported_ = true;
  Raise([n](SocketEvents& s) { s.OnDataArrival(n); });
}

// Data already reported waits for GetData; after the peer's close nothing more is read.
uint32_t SocketControl::Impl::Wanted() const {
  switch (state_) {
    case SocketState::kListening:
      return starved_ ? kIoNone : kIoReadable;
    case SocketState::kConnecting:
      return kIoWritable;
    case SocketState::kConnected:
    case SocketState::kPeerClosing: {
      uint32_t e = kIoNone;
      if (!data_reported_ && state_ == SocketState::kConnected) e |= kIoReadable;
      if (out_.Unsent() != 0) e |= kIoWritable;
      return e;
    }
    default:
      return kIoNone;
  }
}

void SocketControl::Impl::Rearm() {
  if (watch_ != 0) (void)loop_.Modify(watch_, Wanted());
}

void SocketControl::Impl::Fail(const Status& failure, const std::string& what, bool now) {
  Reset(SocketState::kError);
  if (!now) {
    PostError(failure, what);
    return;
  }
  const std::string text = Describe(failure, what);
  Raise([&](SocketEvents& s) {
    bool cancel = false;
    s.OnError(failure.code(), text, cancel);
  });
}

void SocketControl::Impl::PostError(const Status& failure, const std::string& what) {
  Post([number = failure.code(), text = Describe(failure, what)](Impl& c) {
    c.Raise([&](SocketEvents& s) {
      bool cancel = false;
      s.OnError(number, text, cancel);
    });
  });
}

// Everything was written at once; the event still comes from a later pass. One event covers
// every SendData of the pass, and none comes while later data still waits for the socket.
void SocketControl::Impl::PostSendComplete() {
  if (complete_posted_) return;
  complete_posted_ = true;
  Post([](Impl& c) {
    c.complete_posted_ = false;
    if (c.out_.Unsent() == 0) c.Raise([](SocketEvents& s) { s.OnSendComplete(); });
  });
}

void SocketControl::Impl::Post(std::function<void(Impl&)> step) {
  loop_.Post([weak = weak_from_this(), gen = generation_, step = std::move(step)] {
    std::shared_ptr<Impl> self = weak.lock();
    if (self && self->generation_ == gen) step(*self);
  });
}

}  // namespace qz::platform
