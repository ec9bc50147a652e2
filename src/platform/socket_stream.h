// The byte stream of a connected SocketControl: bytes queued until the socket takes them, and
// the bytes readable now.
#ifndef QZ_PLATFORM_SOCKET_STREAM_H_
#define QZ_PLATFORM_SOCKET_STREAM_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/socket_api.h"
#include "qz/status.h"

namespace qz::platform {

// Bytes queued for a socket, written in order as it takes them.
class SendQueue {
 public:
  void Append(std::string_view bytes) { bytes_.append(bytes); }
  size_t Unsent() const { return bytes_.size() - sent_; }
  void Clear();
  // Writes what the socket takes now; what it does not take stays queued for its writable
  // event. A failure is the one that ended the connection.
  Status WriteTo(sockets::SocketHandle s);
  // With nothing queued: writes bytes straight from the caller's buffer and queues only what the
  // socket does not take now, so the usual send copies nothing.
  Status WriteFirst(sockets::SocketHandle s, std::string_view bytes);

 private:
  std::string bytes_;
  size_t sent_ = 0;  // bytes_ before this were written
};

// What a read that returned fewer bytes than it asked for means: the queue was empty then.
enum class ShortRead {
  kReadOn,  // read on, until the call would block or the close is read
  kStop,    // stop there; a close that comes later makes the socket readable again
  // The peer's close is known to be queued behind the data (the poller said so before the
  // read): nothing can follow what was read, so the read ends at the close without the call
  // that would return it.
  kAtClose,
};

// Reads into out, replacing its content, up to want bytes: fewer when the peer closed or no more
// are readable now. A failure is the one that ended the connection; out then holds what was
// read before it. *peer_closed, when given, tells whether the read ended at the peer's close.
Status ReceiveUpTo(sockets::SocketHandle s, size_t want, std::string& out,
                   bool* peer_closed = nullptr, ShortRead short_read = ShortRead::kReadOn);

}  // namespace qz::platform

#endif  // QZ_PLATFORM_SOCKET_STREAM_H_
