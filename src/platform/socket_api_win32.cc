// The socket operations that differ on Winsock. Winsock's own error numbers are the control's
// numbers, so they pass through unchanged; readiness comes from the thread's EventLoop, whose
// message-only window receives the sockets' WSAAsyncSelect notifications.
// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
// clang-format on

#include <climits>
#include <string>
#include <vector>

#include "platform/socket_api.h"
#include "platform/socket_api_os.h"
#include "platform/tcp_table.h"
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

}  // namespace

namespace os {

// "address in use (10048)"; a call that failed without saying why counts as an invalid argument.
Status ErrorStatus(int e) {
  const int number = e != 0 ? e : WSAEINVAL;
  const char* text = "socket operation failed";
  for (const WsaText& m : kWsaTexts) {
    if (m.number == number) text = m.text;
  }
  return Status::Error(number, std::string(text) + " (" + std::to_string(number) + ")");
}

// Once per process; never cleaned up, since sockets may live until the process ends.
void StartSockets() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  static_cast<void>(started);
}

// The accepted socket inherits the listener's non-blocking mode.
Result<SocketHandle> Accept(SocketHandle listener, sockaddr* peer, AddressLength* length) {
  const SOCKET s = ::accept(listener, peer, length);
  if (s == INVALID_SOCKET) return LastError();
  return s;
}

}  // namespace os

Result<SocketHandle> OpenTcpSocket() {
  os::StartSockets();
  SOCKET s =
      ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return os::LastError();
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
  return s;
}

void CloseSocket(SocketHandle s) { ::closesocket(s); }

// Winsock gives up after about 21 s of its own.
void SetConnectWaitLimit(std::chrono::milliseconds) {}
void LimitConnectWait(SocketHandle) {}

// The TCP table answers for both families, so an IPv4 socket will do.
Result<ConnectingSocket> OpenConnectingSocket() {
  Result<SocketHandle> s = OpenTcpSocket();
  if (!s.ok()) return s.status();
  return ConnectingSocket{*s, Family::kIpv4};
}

Status BindUnusedPort(SocketHandle s, uint16_t port, Family family) {
  if (LocalTcpPortInUse(port)) return os::ErrorStatus(WSAEADDRINUSE);
  return BindPort(s, port, family);
}

// Without SO_REUSEADDR Winsock already binds a port held only by closing connections; with it, a
// second listener could share the port.
void AllowClosingPortReuse(SocketHandle) {}

int BytesAvailable(SocketHandle s) {
  u_long n = 0;
  if (::ioctlsocket(s, FIONREAD, &n) != 0) return 0;
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

namespace {

// The IPv4 address table, in the system's order; empty on failure.
std::vector<MIB_IPADDRROW> IpAddressRows() {
  ULONG size = 0;
  if (::GetIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size == 0) {
    return {};
  }
  std::vector<unsigned char> buffer(size);
  auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data());
  if (::GetIpAddrTable(table, &size, FALSE) != NO_ERROR) return {};
  return std::vector<MIB_IPADDRROW>(table->table, table->table + table->dwNumEntries);
}

}  // namespace

// The best interface towards 0.0.0.0, its address from the IP address table.
std::optional<uint32_t> DefaultRouteAddress() {
  DWORD index = 0;
  if (::GetBestInterface(0, &index) != NO_ERROR) return std::nullopt;
  for (const MIB_IPADDRROW& row : IpAddressRows()) {
    if (row.dwIndex == index) return ntohl(row.dwAddr);
  }
  return std::nullopt;
}

std::vector<uint32_t> UpInterfaceAddresses() {
  std::vector<uint32_t> found;
  for (const MIB_IPADDRROW& row : IpAddressRows()) {
    MIB_IFROW link{};
    link.dwIndex = row.dwIndex;
    if (row.dwAddr != 0 && ::GetIfEntry(&link) == NO_ERROR &&
        link.dwAdminStatus == MIB_IF_ADMIN_STATUS_UP) {
      found.push_back(ntohl(row.dwAddr));
    }
  }
  return found;
}

// Sockets are not descriptors of a per-process table here; a listener short of them waits for
// a control of the thread to free one.
void ReserveSpareDescriptor() {}
bool ReleaseSpareDescriptor() { return false; }
bool HoldsSpareDescriptor() { return false; }

}  // namespace qz::platform::sockets
