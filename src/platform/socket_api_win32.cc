// The socket operations on Winsock. Winsock's own error numbers are the control's numbers, so
// they pass through unchanged; readiness comes from the thread's EventLoop, whose message-only
// window receives the sockets' WSAAsyncSelect notifications.
// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "platform/socket_api.h"
#include "qz/status.h"

namespace qz::platform::sockets {
namespace {

struct WsaText {
  int32_t number;
  const char* text;
};

constexpr WsaText kWsaTexts[] = {
    {WSAEINTR, "interrupted function call"},
    {WSAEBADF, "file handle is not valid"},
    {WSAEACCES, "permission denied"},
    {WSAEFAULT, "bad address"},
    {WSAEINVAL, "invalid argument"},
    {WSAEMFILE, "too many open sockets"},
    {WSAEWOULDBLOCK, "operation would block"},
    {WSAEINPROGRESS, "operation now in progress"},
    {WSAEALREADY, "operation already in progress"},
    {WSAENOTSOCK, "socket operation on something that is not a socket"},
    {WSAEPROTONOSUPPORT, "protocol not supported"},
    {WSAEOPNOTSUPP, "operation not supported"},
    {WSAEAFNOSUPPORT, "address family not supported"},
    {WSAEADDRINUSE, "address in use"},
    {WSAEADDRNOTAVAIL, "address not available"},
    {WSAENETDOWN, "network is down"},
    {WSAENETUNREACH, "network is unreachable"},
    {WSAENETRESET, "network dropped connection on reset"},
    {WSAECONNABORTED, "connection aborted"},
    {WSAECONNRESET, "connection reset by peer"},
    {WSAENOBUFS, "no buffer space available"},
    {WSAEISCONN, "socket is already connected"},
    {WSAENOTCONN, "socket is not connected"},
    {WSAETIMEDOUT, "connection timed out"},
    {WSAECONNREFUSED, "connection refused"},
    {WSAEHOSTDOWN, "host is down"},
    {WSAEHOSTUNREACH, "no route to host"},
    {WSANOTINITIALISED, "Winsock is not initialised"},
};

static_assert(WSAEINTR == kWsaInterrupted && WSAEHOSTDOWN == kWsaHostDown &&
              WSAENETDOWN == kWsaNetworkDown && WSAEWOULDBLOCK == errc::kWsaWouldBlock &&
              WSAEMFILE == errc::kWsaTooManySockets);

// "address in use (10048)"; a call that failed without saying why counts as an invalid argument.
Status WsaStatus(int e) {
  const int number = e != 0 ? e : WSAEINVAL;
  const char* text = "socket operation failed";
  for (const WsaText& m : kWsaTexts) {
    if (m.number == number) text = m.text;
  }
  return Status::Error(number, std::string(text) + " (" + std::to_string(number) + ")");
}

// The failure of the call that just returned; read before any other Winsock call.
Status LastError() { return WsaStatus(::WSAGetLastError()); }

// OK, or the failure of the call whose success is given.
Status Checked(bool succeeded) { return succeeded ? Status::OK() : LastError(); }

// Once per process; never cleaned up, since sockets may live until the process ends.
void EnsureWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  static_cast<void>(started);
}

sockaddr_in SockAddr(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

uint32_t FirstIpv4(const addrinfo* list) {
  return ntohl(reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr);
}

int ClampedSize(size_t size) { return static_cast<int>(std::min<size_t>(size, 1u << 30)); }

}  // namespace

Result<SocketHandle> OpenTcpSocket() {
  EnsureWinsock();
  SOCKET s =
      ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return LastError();
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
  return s;
}

void CloseSocket(SocketHandle s) { ::closesocket(s); }

// Without SO_REUSEADDR Winsock already binds a port held only by closing connections; with it, a
// second listener could share the port.
void AllowClosingPortReuse(SocketHandle) {}

void SetNoDelay(SocketHandle s) {
  BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

Status BindPort(SocketHandle s, uint16_t port) {
  const sockaddr_in sa = SockAddr(INADDR_ANY, port);
  return Checked(::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0);
}

Status ListenOn(SocketHandle s) { return Checked(::listen(s, SOMAXCONN) == 0); }

// The accepted socket inherits the listener's non-blocking mode.
Result<SocketHandle> AcceptOne(SocketHandle listener) {
  const SOCKET s = ::accept(listener, nullptr, nullptr);
  if (s == INVALID_SOCKET) return LastError();
  return s;
}

Status StartConnect(SocketHandle s, const Ipv4Endpoint& to) {
  const sockaddr_in sa = SockAddr(to.address, to.port);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return Status::OK();
  const int e = ::WSAGetLastError();
  return e == WSAEWOULDBLOCK ? Status::OK() : WsaStatus(e);
}

Result<ConnectProgress> CheckConnect(SocketHandle s) {
  int err = 0;
  int len = sizeof err;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
    err = ::WSAGetLastError();
  }
  if (err == 0) {
    sockaddr_in peer{};
    int plen = sizeof peer;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &plen) == 0) {
      return ConnectProgress::kConnected;
    }
    err = ::WSAGetLastError();
    if (err == WSAENOTCONN) return ConnectProgress::kInProgress;
  }
  return WsaStatus(err);
}

Result<size_t> SendSome(SocketHandle s, const char* data, size_t size) {
  const int n = ::send(s, data, ClampedSize(size), 0);
  if (n == SOCKET_ERROR) return LastError();
  return static_cast<size_t>(n);
}

Result<size_t> ReceiveSome(SocketHandle s, char* data, size_t size, bool peek) {
  const int n = ::recv(s, data, ClampedSize(size), peek ? MSG_PEEK : 0);
  if (n == SOCKET_ERROR) return LastError();
  return static_cast<size_t>(n);
}

int BytesAvailable(SocketHandle s) {
  u_long n = 0;
  if (::ioctlsocket(s, FIONREAD, &n) != 0) return 0;
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

int32_t BoundPort(SocketHandle s) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

std::optional<Ipv4Endpoint> PeerOf(SocketHandle s) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return std::nullopt;
  return Ipv4Endpoint{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

std::optional<uint32_t> ParseNumericIpv4(const std::string& text) {
  EnsureWinsock();
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) == 1) return ntohl(a.s_addr);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;  // the other numeric forms ("127.1"), never a look-up
  addrinfo* list = nullptr;
  if (::getaddrinfo(text.c_str(), nullptr, &hints, &list) != 0) return std::nullopt;
  std::optional<uint32_t> found;
  if (list != nullptr) found = FirstIpv4(list);
  ::freeaddrinfo(list);
  return found;
}

Result<uint32_t> ResolveIpv4(const std::string& name) {
  EnsureWinsock();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0 || list == nullptr) {
    if (list != nullptr) ::freeaddrinfo(list);
    return Status::Error(errc::kWsaHostNotFound, "error " + std::to_string(rc));
  }
  const uint32_t found = FirstIpv4(list);
  ::freeaddrinfo(list);
  return found;
}

std::vector<uint32_t> HostNameAddresses() {
  EnsureWinsock();
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &list) != 0) return {};
  std::vector<uint32_t> found;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) found.push_back(FirstIpv4(ai));
  ::freeaddrinfo(list);
  return found;
}

// The best interface towards 0.0.0.0, its address from the IP address table.
std::optional<uint32_t> DefaultRouteAddress() {
  DWORD index = 0;
  if (::GetBestInterface(0, &index) != NO_ERROR) return std::nullopt;
  ULONG size = 0;
  if (::GetIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size == 0) {
    return std::nullopt;
  }
  std::vector<unsigned char> buffer(size);
  auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data());
  if (::GetIpAddrTable(table, &size, FALSE) != NO_ERROR) return std::nullopt;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    if (table->table[i].dwIndex == index) return ntohl(table->table[i].dwAddr);
  }
  return std::nullopt;
}

// Sockets are not descriptors of a per-process table here; a listener short of them waits for
// a control of the thread to free one.
void ReserveSpareDescriptor() {}
bool ReleaseSpareDescriptor() { return false; }

}  // namespace qz::platform::sockets
