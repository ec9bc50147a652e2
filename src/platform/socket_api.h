// The OS operations under SocketControl: non-blocking IPv4 TCP sockets, address resolution and
// the machine's addresses. The control's state machine is portable and calls only these;
// socket_api_bsd.cc implements those that POSIX and Winsock spell alike, socket_api_posix.cc and
// socket_api_win32.cc the rest. Internal to src/platform.
//
// A call that can fail returns its failure with its result: a Status whose code is the control's
// number (Winsock numbering: 10048 address in use, ...) and whose message gives that number's
// meaning and the OS's own words ("address in use (Address already in use)").
//
// Threads: every call may be made from any thread; the spare descriptor is per thread.
#ifndef QZ_PLATFORM_SOCKET_API_H_
#define QZ_PLATFORM_SOCKET_API_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qz/status.h"

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

// Winsock numbers that the state machine tells apart, beyond those in qz::errc.
inline constexpr int32_t kWsaInterrupted = 10004;
inline constexpr int32_t kWsaHostDown = 10064;
inline constexpr int32_t kWsaNetworkDown = 10050;

inline bool IsInterrupted(const Status& s) { return s.code() == kWsaInterrupted; }

// A new non-blocking IPv4 TCP socket, not inherited by child processes.
Result<SocketHandle> OpenTcpSocket();
void CloseSocket(SocketHandle s);

// The family of a socket to connect from. kDualStack: IPv6 that carries IPv4 too, so that binding
// its wildcard address meets every TCP endpoint of either family on the port.
enum class Family { kIpv4, kDualStack };
struct ConnectingSocket {
  SocketHandle socket = kNoSocket;
  Family family = Family::kIpv4;
};
// A new socket like OpenTcpSocket's, to connect to IPv4 peers from: dual-stack on POSIX where the
// system has IPv6; IPv4 elsewhere (Windows asks the TCP table instead, see BindUnusedPort).
Result<ConnectingSocket> OpenConnectingSocket();

// Lets a listener bind a port held only by closing connections, never one with a listener:
// SO_REUSEADDR on POSIX; nothing on Windows, where that option would share a listener's port.
void AllowClosingPortReuse(SocketHandle s);
// An unanswered connect fails with 10060 after about 21 s, as on Winsock (three SYNs), rather
// than Linux's two minutes, so that a dead recipient ends its delivery (and its one reconnect)
// in a time a user waits. Windows keeps its own; POSIX bounds the wait with TCP_USER_TIMEOUT,
// which also ends a connection whose data stays unacknowledged that long (a dead peer). Tests
// shorten the limit, process-wide.
inline constexpr std::chrono::milliseconds kConnectWaitLimit{21000};
void SetConnectWaitLimit(std::chrono::milliseconds limit);
void LimitConnectWait(SocketHandle s);
// Binds every local address of the family on port (0: one the kernel chooses).
Status BindPort(SocketHandle s, uint16_t port, Family family = Family::kIpv4);
// Binds port for a connection unless a TCP endpoint of the machine, of either family and in any
// state (TIME_WAIT too), has it as its local port: 10048 then, and the socket stays unbound, so
// it can try the next port. POSIX: the bind answers (no address reuse; a dual-stack socket meets
// both families). Windows, whose bind shares a port held only by closing connections, first
// asks the TCP table.
Status BindUnusedPort(SocketHandle s, uint16_t port, Family family);
Status ListenOn(SocketHandle s);
// IPv4 addresses are in host byte order.
struct Ipv4Endpoint {
  uint32_t address = 0;
  uint16_t port = 0;
};

struct AcceptedSocket {
  SocketHandle socket = kNoSocket;
  Ipv4Endpoint peer;  // as the accept call returned it: no further call asks for it
};

// The oldest queued connection of a listener, non-blocking; IsWouldBlock() when none is queued.
Result<AcceptedSocket> AcceptOne(SocketHandle listener);

// Starts connecting; OK when the connection is established or under way.
Status StartConnect(SocketHandle s, const Ipv4Endpoint& to, Family family = Family::kIpv4);
enum class ConnectProgress { kConnected, kInProgress };
// The state of a connection started by StartConnect, once the socket was reported writable;
// the attempt's failure when it failed. One call when connected (getpeername); the error is
// asked for only when that call says the socket is not connected.
Result<ConnectProgress> CheckConnect(SocketHandle s);

// Bytes written; IsWouldBlock() when the socket takes nothing now. Never raises SIGPIPE.
Result<size_t> SendSome(SocketHandle s, const char* data, size_t size);
// Bytes read (0: the peer closed); IsWouldBlock() when none are queued. With peek, the bytes
// stay queued.
Result<size_t> ReceiveSome(SocketHandle s, char* data, size_t size, bool peek = false);
// Bytes readable now without blocking; 0 also on failure.
int BytesAvailable(SocketHandle s);

// The local port bound, either family, or -1. A socket bound to a known non-zero port does not
// need it.
int32_t BoundPort(SocketHandle s);
std::optional<Ipv4Endpoint> PeerOf(SocketHandle s);

// A numeric IPv4 address in any form the system reads ("127.0.0.1", "127.1"); never a look-up.
std::optional<uint32_t> ParseNumericIpv4(const std::string& text);
// The first IPv4 address of name by the system resolver, which may block; else 11001 with the
// resolver's words.
Result<uint32_t> ResolveIpv4(const std::string& name);

// The IPv4 addresses of the machine's host name, in the resolver's order; empty if none.
std::vector<uint32_t> HostNameAddresses();
// The IPv4 address of the interface that carries the default route, if any.
std::optional<uint32_t> DefaultRouteAddress();
// The IPv4 addresses of the interfaces that are up (administratively), in the system's order.
std::vector<uint32_t> UpInterfaceAddresses();

// One descriptor in reserve per thread, for a listener that runs out of them (see
// listener_reserve.h). Reserve is idempotent; Release frees it and says whether there was one.
// Windows keeps none: Release is always false there.
void ReserveSpareDescriptor();
bool ReleaseSpareDescriptor();
bool HoldsSpareDescriptor();

}  // namespace qz::platform::sockets

#endif  // QZ_PLATFORM_SOCKET_API_H_
