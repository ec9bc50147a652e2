#include "platform/socket_stream.h"

namespace qz::platform {

void SendQueue::Clear() {
  bytes_.clear();
  sent_ = 0;
}

Status SendQueue::WriteTo(sockets::SocketHandle s) {
  while (Unsent() != 0) {
    Result<size_t> written = sockets::SendSome(s, bytes_.data() + sent_, Unsent());
    if (written.ok()) {
      sent_ += *written;
      continue;
    }
    if (written.status().IsWouldBlock()) break;  // the writable event follows
    if (!sockets::IsInterrupted(written.status())) return written.status();
  }
  if (Unsent() == 0) {
    Clear();
  } else if (sent_ > (1u << 20) && sent_ > bytes_.size() / 2) {
    // Large written prefixes go, so that a long transfer does not hold all it ever queued.
    bytes_.erase(0, sent_);
    sent_ = 0;
  }
  return Status::OK();
}

Status ReceiveUpTo(sockets::SocketHandle s, size_t want, std::string& out) {
  out.resize(want);
  size_t got = 0;
  Status failure;
  while (got < want) {
    Result<size_t> read = sockets::ReceiveSome(s, out.data() + got, want - got);
    if (read.ok()) {
      if (*read == 0) break;  // the peer closed
      got += *read;
      continue;
    }
    if (read.status().IsWouldBlock()) break;
    if (!sockets::IsInterrupted(read.status())) {
      failure = read.status();
      break;
    }
  }
  out.resize(got);
  return failure;
}

}  // namespace qz::platform
