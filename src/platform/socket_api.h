// The OS operations under SocketControl: non-blocking IPv4 TCP sockets, address resolution and
// the machine's addresses. socket_control.cc holds the control's state machine and calls only
// these; socket_api_posix.cc and socket_api_win32.cc implement them. Internal to src/platform.
//
// Threads: every call may be made from any thread; LastSocketError and the spare descriptor are
// per thread. A failed call leaves its reason for LastSocketError, which must be read before any
// other socket call of the thread (closing included).
#ifndef QZ_PLATFORM_SOCKET_API_H_
#define QZ_PLATFORM_SOCKET_API_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz::platform::sockets {

// A socket: a descriptor on POSIX, a SOCKET on Windows. Either fits the int that
// EventLoop::Watch takes and the int32_t request ids of the control.
#if defined(_WIN32)
using SocketHandle = std::uintptr_t;
#else
using SocketHandle = int;
#endif
inline constexpr SocketHandle kNoSocket = static_cast<SocketHandle>(-1);

inline int WatchFd(SocketHandle s) { return static_cast<int>(s); }

// A failure in Winsock numbering, with the OS's own code for the words.
struct SocketError {
  int32_t number = 0;  // the control's number (10048 address in use, ...)
  int native = 0;      // errno on POSIX; the Winsock number on Windows
};

// Winsock numbers that the state machine tells apart, beyond those in qz::errc.
inline constexpr int32_t kWsaInterrupted = 10004;
inline constexpr int32_t kWsaHostDown = 10064;
inline constexpr int32_t kWsaNetworkDown = 10050;

// The reason of the calling thread's last failed call.
SocketError LastSocketError();
// "address in use (...)": the number's meaning and the OS's words for it.
std::string DescribeSocketError(const SocketError& e);

// A new non-blocking TCP socket, not inherited by child processes; kNoSocket on failure.
SocketHandle OpenTcpSocket();
void CloseSocket(SocketHandle s);

// Lets a listener bind a port held only by closing connections, never one with a listener:
// SO_REUSEADDR on POSIX; nothing on Windows, where that option would share a listener's port.
void AllowClosingPortReuse(SocketHandle s);
void SetNoDelay(SocketHandle s);
// Binds every local address on port (0: one the kernel chooses).
bool BindPort(SocketHandle s, uint16_t port);
bool ListenOn(SocketHandle s);
// The oldest queued connection of a listener, non-blocking; kNoSocket when none or on failure
// (kWsaWouldBlock when the queue is empty).
SocketHandle AcceptOne(SocketHandle listener);

// IPv4 addresses are in host byte order.
struct Ipv4Endpoint {
  uint32_t address = 0;
  uint16_t port = 0;
};

// Starts connecting; true when the connection is established or under way, else false with the
// reason (LastSocketError).
bool StartConnect(SocketHandle s, const Ipv4Endpoint& to);
enum class ConnectProgress { kConnected, kInProgress, kFailed };
// The state of a connection started by StartConnect, once the socket was reported writable.
// kFailed sets *error.
ConnectProgress CheckConnect(SocketHandle s, SocketError* error);

// Bytes written, or -1 (kWsaWouldBlock when the socket takes nothing now). Never raises SIGPIPE.
std::ptrdiff_t SendSome(SocketHandle s, const char* data, size_t size);
// Bytes read (0: the peer closed), or -1. With peek, the bytes stay queued.
std::ptrdiff_t ReceiveSome(SocketHandle s, char* data, size_t size, bool peek = false);
// Bytes readable now without blocking; 0 also on failure.
int BytesAvailable(SocketHandle s);

// The local port bound, or -1.
int32_t BoundPort(SocketHandle s);
std::optional<Ipv4Endpoint> PeerOf(SocketHandle s);

// A numeric IPv4 address in any form the system reads ("127.0.0.1", "127.1"); never a look-up.
std::optional<uint32_t> ParseNumericIpv4(const std::string& text);
// The first IPv4 address of name by the system resolver, which may block; nullopt with the
// resolver's words in *why.
std::optional<uint32_t> ResolveIpv4(const std::string& name, std::string* why);

// The IPv4 addresses of the machine's host name, in the resolver's order; empty if none.
std::vector<uint32_t> HostNameAddresses();
// The IPv4 address of the interface that carries the default route, if any.
std::optional<uint32_t> DefaultRouteAddress();

// One descriptor in reserve per thread, for a listener that runs out of them (see
// socket_control.cc). Reserve is idempotent; Release frees it and says whether there was one.
// Windows keeps none: Release is always false there.
void ReserveSpareDescriptor();
bool ReleaseSpareDescriptor();

}  // namespace qz::platform::sockets

#endif  // QZ_PLATFORM_SOCKET_API_H_
