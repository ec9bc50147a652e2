// What the BSD socket calls of socket_api_bsd.cc take from each OS: the few names and types in
// which POSIX and Winsock differ, and ErrorStatus, which socket_api_posix.cc and
// socket_api_win32.cc define over their own error tables. Internal to socket_api_*.cc.
#ifndef QZ_PLATFORM_SOCKET_API_OS_H_
#define QZ_PLATFORM_SOCKET_API_OS_H_

#if defined(_WIN32)
#include <winsock2.h>  // before ws2tcpip.h and windows.h
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>  // gethostname

#include <cerrno>
#endif

#include <algorithm>
#include <cstddef>
#include <string>

#include "platform/socket_api.h"
#include "qz/status.h"

namespace qz::platform::sockets::os {

#if defined(_WIN32)

using AddressLength = int;
inline constexpr int kSendFlags = 0;
// What a non-blocking connect says while the connection is under way.
inline constexpr int kConnectPending = WSAEWOULDBLOCK;
inline constexpr int kNotConnected = WSAENOTCONN;

inline int LastErrorNumber() { return ::WSAGetLastError(); }
// Winsock counts a send or receive in an int.
inline int IoLength(size_t size) { return static_cast<int>(std::min<size_t>(size, 1u << 30)); }
inline std::string ResolverWords(int rc) { return "error " + std::to_string(rc); }
// Starts Winsock once per process, before the first call that needs it.
void StartSockets();

#else

using AddressLength = socklen_t;
// A peer that closed must not raise SIGPIPE.
inline constexpr int kSendFlags = MSG_NOSIGNAL;
inline constexpr int kConnectPending = EINPROGRESS;
inline constexpr int kNotConnected = ENOTCONN;

inline int LastErrorNumber() { return errno; }
inline size_t IoLength(size_t size) { return size; }
inline std::string ResolverWords(int rc) { return gai_strerror(rc); }
inline void StartSockets() {}

#endif

// An OS error number as the control's Status: "address in use (...)" with the OS's own words.
Status ErrorStatus(int os_error);

// The failure of the call that just returned; read before any other socket call.
inline Status LastError() { return ErrorStatus(LastErrorNumber()); }

// accept, or accept4 where the accepted socket must be made non-blocking and not inherited; the
// peer's address in *peer.
Result<SocketHandle> Accept(SocketHandle listener, sockaddr* peer, AddressLength* length);

// OK, or the failure of the call whose success is given.
inline Status Checked(bool succeeded) { return succeeded ? Status::OK() : LastError(); }

}  // namespace qz::platform::sockets::os

#endif  // QZ_PLATFORM_SOCKET_API_OS_H_
