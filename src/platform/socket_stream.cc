#include "platform/socket_stream.h"

#include <algorithm>

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

Status SendQueue::WriteFirst(sockets::SocketHandle s, std::string_view bytes) {
  while (!bytes.empty()) {
    Result<size_t> written = sockets::SendSome(s, bytes.data(), bytes.size());
    if (written.ok()) {
      bytes.remove_prefix(*written);
      continue;
    }
    if (written.status().IsWouldBlock()) break;  // the writable event follows
    if (!sockets::IsInterrupted(written.status())) return written.status();
  }
  Append(bytes);
  return Status::OK();
}

Status ReceiveUpTo(sockets::SocketHandle s, size_t want, std::string& out, bool* peer_closed,
                   ShortRead short_read) {
  out.clear();
  if (peer_closed != nullptr) *peer_closed = false;
  // Through a chunk on the stack: want may be far above what is queued, and out should not be
  // sized (and zeroed) for it.
  char chunk[16 * 1024];
  while (out.size() < want) {
    const size_t asked = std::min(sizeof chunk, want - out.size());
    Result<size_t> read = sockets::ReceiveSome(s, chunk, asked);
    if (read.ok()) {
      if (*read == 0) {
        if (peer_closed != nullptr) *peer_closed = true;
        break;
      }
      out.append(chunk, *read);
      if (*read == asked || short_read == ShortRead::kReadOn) continue;
      if (short_read == ShortRead::kAtClose && peer_closed != nullptr) *peer_closed = true;
      break;
    }
    if (read.status().IsWouldBlock()) break;
    if (!sockets::IsInterrupted(read.status())) return read.status();
  }
  return Status::OK();
}

}  // namespace qz::platform
