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
using sockets::kNoSocket;

namespace {

// What one readable event reads at most; the rest waits in the kernel for the next DataArrival.
constexpr size_t kReadLimit = 256 * 1024;

}  // namespace

Status SocketControl::Impl::SendData(std::string_view bytes) {
  if (state_ != SocketState::kConnected && state_ != SocketState::kPeerClosing) {
    return BadState("SendData", state_);
  }
  if (out_.Unsent() != 0) {
    out_.Append(bytes);
    return Status::OK();  // the writable event carries on
  }
  Status sent = out_.WriteFirst(socket_, bytes);
  if (!sent.ok()) {
    Fail(sent, "SendData", /*now=*/false);
  } else if (out_.Unsent() == 0) {
    // All taken at once: SendComplete comes from a later pass all the same, posted, so the watch
    // need not change for it (a caller that closes on seeing BytesUnsent() == 0 makes no call).
    complete_posted_ = Post([](Impl& c) {
      c.complete_posted_ = 0;
      c.Raise([](SocketEvents& e) { e.OnSendComplete(); });
      c.Rearm();
    });
  } else {
    // The writable event carries on, and raises SendComplete once nothing is left.
    complete_due_ = true;
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
  Status received = TakeReceived(out, max_len);
  data_reported_ = false;
  if (!received.ok()) {
    Fail(received, "GetData", /*now=*/false);
  } else if (state_ != SocketState::kConnected) {
    // After the peer's close nothing more is read.
  } else if (in_data_event_) {
    // Deliver, still on the stack, goes on with the close; the rest is for a later pass.
    if (!in_.empty()) DeliverLater();
  } else if (!in_.empty() || peer_closed_ || !read_failure_.ok()) {
    DeliverLater();
  } else {
    Rearm();
  }
  return Status::OK();
}

Status SocketControl::Impl::TakeReceived(std::string& out, int32_t max_len) {
  if (in_.empty() && !peer_closed_ && read_failure_.ok() && state_ == SocketState::kConnected) {
    // Called with nothing reported: what is readable now, as before.
    Status read = ReceiveUpTo(socket_, kReadLimit, in_, &peer_closed_);
    if (!read.ok() && in_.empty()) return read;
    read_failure_ = read;
  }
  const size_t n = max_len > 0 ? std::min(in_.size(), static_cast<size_t>(max_len)) : in_.size();
  if (n == in_.size()) {
    out.swap(in_);
    in_.clear();
  } else {
    out.assign(in_, 0, n);
    in_.erase(0, n);
  }
  return Status::OK();
}

void SocketControl::Impl::OnIoReady(uint32_t events) {
  auto self = shared_from_this();  // the owner may destroy the control inside a handler
  const uint64_t gen = generation_;
  armed_ = (armed_events_ & kIoPersistent) != 0;  // else the report disarmed the watch
  switch (state_) {
    case SocketState::kListening:
      AcceptPending();
      break;
    case SocketState::kConnecting:
      FinishConnect(events);
      break;
    case SocketState::kConnected:
    case SocketState::kPeerClosing:
      if ((events & kIoWritable) != 0 && complete_due_) {
        Status sent = out_.WriteTo(socket_);
        if (!sent.ok()) {
          Fail(sent, "sending", /*now=*/true);
          return;
        }
        if (out_.Unsent() == 0) {
          complete_due_ = false;
          Raise([](SocketEvents& s) { s.OnSendComplete(); });
        }
        if (gen != generation_) return;
      }
      if ((events & kIoReadable) != 0) Readable(events);
      break;
    default:
      break;
  }
  if (gen == generation_) Rearm();
}

void SocketControl::Impl::FinishConnect(uint32_t events) {
  // Writable without an error condition is connected; only a failure needs the system's words.
  Result<ConnectProgress> progress = ConnectProgress::kConnected;
  if ((events & kIoError) != 0) progress = sockets::CheckConnect(socket_);
  if (!progress.ok()) {
    Fail(progress.status(), "Connect to " + remote_host + ":" + std::to_string(remote_port),
         /*now=*/true);
    return;
  }
  if (*progress == ConnectProgress::kInProgress) return;  // re-armed by the caller
  state_ = SocketState::kConnected;
  if (local_port == 0) {  // not yet known from Connect
    int32_t bound = sockets::BoundPort(socket_);
    if (bound > 0) local_port = bound;
  }
  Raise([](SocketEvents& s) { s.OnConnect(); });
}

void SocketControl::Impl::Readable(uint32_t events) {
  // Wanted() already keeps readable unarmed in these cases; an event collected before the change
  // may still come.
  if (data_reported_ || state_ != SocketState::kConnected) return;
  if (in_.empty() && !peer_closed_ && read_failure_.ok()) {
    // When the backend says the peer's close is queued too, a short read also reached it, and
    // the delivery ends in this dispatch without the call that would return it. Without the
    // hint one more call follows a short read: a peer that closes right after its data (every
    // sender does) has closed by then, as a rule, and the delivery ends here too, instead of
    // re-arming and waking this thread again for the close.
    const bool close_queued = (events & kIoPeerClosed) != 0;
    read_failure_ = ReceiveUpTo(socket_, kReadLimit, in_, &peer_closed_,
                                close_queued ? ShortRead::kAtClose : ShortRead::kReadOn);
  }
  Deliver();
}

void SocketControl::Impl::Deliver() {
  if (data_reported_ || state_ != SocketState::kConnected) return;
  if (!in_.empty()) {
    const uint64_t gen = generation_;
    const auto n = static_cast<int32_t>(std::min<size_t>(in_.size(), INT32_MAX));
    data_reported_ = true;
    in_data_event_ = true;
    Raise([n](SocketEvents& s) { s.OnDataArrival(n); });
    if (gen != generation_) return;
    in_data_event_ = false;
    if (data_reported_ || !in_.empty()) return;  // not taken yet, or the rest comes later
  }
  if (!read_failure_.ok()) {
    const Status failure = read_failure_;  // Fail clears it
    Fail(failure, "receiving", /*now=*/true);
  } else if (peer_closed_) {
    state_ = SocketState::kPeerClosing;
    Raise([](SocketEvents& s) { s.OnClose(); });
  }
}

void SocketControl::Impl::DeliverLater() {
  if (deliver_posted_) return;
  deliver_posted_ = true;
  Post([](Impl& c) {
    c.deliver_posted_ = false;
    const uint64_t gen = c.generation_;
    c.Deliver();
    if (gen == c.generation_) c.Rearm();
  });
}

// Data already reported waits for GetData; after the peer's close nothing more is read.
uint32_t SocketControl::Impl::Wanted() const {
  switch (state_) {
    case SocketState::kListening:
      return starved_ ? kIoNone : kIoReadable | kIoPersistent;
    case SocketState::kConnecting:
      return kIoWritable;
    case SocketState::kConnected:
    case SocketState::kPeerClosing: {
      uint32_t e = kIoNone;
      // Bytes read and not yet reported, or a close already read, are delivered by a posted
      // step, not by the socket.
      if (!data_reported_ && state_ == SocketState::kConnected && in_.empty() && !peer_closed_ &&
          read_failure_.ok()) {
        e |= kIoReadable;
      }
      if (complete_due_) e |= kIoWritable;
      return e;
    }
    default:
      return kIoNone;
  }
}

// A watch still armed for the same events is left alone: a handler that re-armed inside its own
// dispatch (SendData in OnConnect) spares the dispatch's own re-arm.
void SocketControl::Impl::Rearm() {
  if (watch_ == 0) return;
  const uint32_t wanted = Wanted();
  if (armed_ && wanted == armed_events_) return;
  armed_ = loop_.Modify(watch_, wanted).ok();
  armed_events_ = wanted;
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

TaskId SocketControl::Impl::Post(std::function<void(Impl&)> step) {
  return loop_.Post([weak = weak_from_this(), gen = generation_, step = std::move(step)] {
    std::shared_ptr<Impl> self = weak.lock();
    if (self && self->generation_ == gen) step(*self);
  });
}

}  // namespace qz::platform
