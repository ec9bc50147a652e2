// The socket operations that differ on POSIX, and the one table that turns errno into Winsock
// numbers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/socket_api.h"
#include "platform/socket_api_os.h"
#include "qz/status.h"

namespace qz::platform::sockets {
namespace {

struct WsaError {
  int32_t number;
  const char* text;
};

struct ErrnoMapping {
  int err;
  WsaError wsa;
};

constexpr ErrnoMapping kErrnoToWsa[] = {
    {EINTR, {kWsaInterrupted, "interrupted function call"}},
    {EBADF, {10009, "file handle is not valid"}},
    {EACCES, {10013, "permission denied"}},
    {EPERM, {10013, "permission denied"}},
    {EFAULT, {10014, "bad address"}},
    {EINVAL, {errc::kWsaInvalidArgument, "invalid argument"}},
    {EMFILE, {errc::kWsaTooManySockets, "too many open sockets"}},
    {ENFILE, {errc::kWsaTooManySockets, "too many open sockets"}},
    {EWOULDBLOCK, {errc::kWsaWouldBlock, "operation would block"}},
    {EINPROGRESS, {10036, "operation now in progress"}},
    {EALREADY, {10037, "operation already in progress"}},
    {ENOTSOCK, {10038, "socket operation on something that is not a socket"}},
    {EPROTONOSUPPORT, {10043, "protocol not supported"}},
    {EOPNOTSUPP, {10045, "operation not supported"}},
    {EAFNOSUPPORT, {10047, "address family not supported"}},
    {EADDRINUSE, {errc::kWsaAddressInUse, "address in use"}},
    {EADDRNOTAVAIL, {errc::kWsaAddressNotAvailable, "address not available"}},
    {ENETDOWN, {kWsaNetworkDown, "network is down"}},
    {ENETUNREACH, {errc::kWsaNetworkUnreachable, "network is unreachable"}},
    {ENETRESET, {10052, "network dropped connection on reset"}},
    {ECONNABORTED, {errc::kWsaConnectionAborted, "connection aborted"}},
    {ECONNRESET, {errc::kWsaConnectionReset, "connection reset by peer"}},
    {EPIPE, {errc::kWsaConnectionReset, "connection reset by peer"}},
    {ENOBUFS, {errc::kWsaNoBufferSpace, "no buffer space available"}},
    {ENOMEM, {errc::kWsaNoBufferSpace, "no buffer space available"}},
    {EISCONN, {10056, "socket is already connected"}},
    {ENOTCONN, {errc::kWsaNotConnected, "socket is not connected"}},
    {ETIMEDOUT, {errc::kWsaTimedOut, "connection timed out"}},
    {ECONNREFUSED, {errc::kWsaConnectionRefused, "connection refused"}},
    {EHOSTDOWN, {kWsaHostDown, "host is down"}},
    {EHOSTUNREACH, {errc::kWsaHostUnreachable, "no route to host"}},
};

// errno to Winsock numbers: the one place where OS errors become the control's numbers.
WsaError WsaFromErrno(int e) {
  for (const ErrnoMapping& m : kErrnoToWsa) {
    if (m.err == e) return m.wsa;
  }
  return {errc::kWsaInvalidArgument, "socket operation failed"};
}

// Plain thread-locals: controls may close during thread exit.
thread_local int t_spare_fd = -1;

}  // namespace

namespace os {

// "address in use (Address already in use)": the number's meaning and the OS's words for it.
Status ErrorStatus(int e) {
  const WsaError wsa = WsaFromErrno(e);
  return Status::Error(wsa.number, std::string(wsa.text) + " (" + std::strerror(e) + ")");
}

Result<SocketHandle> Accept(SocketHandle listener, sockaddr* peer, AddressLength* length) {
  const int s = ::accept4(listener, peer, length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (s < 0) return LastError();
  return s;
}

}  // namespace os

Result<SocketHandle> OpenTcpSocket() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return os::LastError();
  return s;
}

void CloseSocket(SocketHandle s) { ::close(s); }

namespace {

// Whether new IPv6 sockets carry IPv4 too, asked of the first one (the system's default,
// net.ipv6.bindv6only, holds for the process): later sockets then need no call to say so.
bool DualStackByDefault(int s) {
  static const bool dual = [s] {
    int v6only = 1;
    socklen_t len = sizeof v6only;
    return ::getsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &len) == 0 && v6only == 0;
  }();
  return dual;
}

std::atomic<int> g_connect_wait_ms{static_cast<int>(kConnectWaitLimit.count())};

bool MakeDualStack(int s) {
  if (DualStackByDefault(s)) return true;
  const int off = 0;
  return ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0;
}

}  // namespace

Result<ConnectingSocket> OpenConnectingSocket() {
  // Once the system has said it has no IPv6, it is not asked again.
  static std::atomic<bool> no_ipv6{false};
  if (!no_ipv6.load(std::memory_order_relaxed)) {
    const int s = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s >= 0 && MakeDualStack(s)) return ConnectingSocket{s, Family::kDualStack};
    if (s >= 0) {
      ::close(s);
    } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      return os::LastError();
    }
    no_ipv6.store(true, std::memory_order_relaxed);
  }
  Result<SocketHandle> v4 = OpenTcpSocket();
  if (!v4.ok()) return v4.status();
  return ConnectingSocket{*v4, Family::kIpv4};
}

void SetConnectWaitLimit(std::chrono::milliseconds limit) {
  g_connect_wait_ms.store(static_cast<int>(limit.count()), std::memory_order_relaxed);
}

void LimitConnectWait(SocketHandle s) {
  const unsigned int ms =
      static_cast<unsigned int>(g_connect_wait_ms.load(std::memory_order_relaxed));
  ::setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &ms, sizeof ms);
}

Status BindUnusedPort(SocketHandle s, uint16_t port, Family family) {
  return BindPort(s, port, family);
}

void AllowClosingPortReuse(SocketHandle s) {
  // Linux still refuses a second listener on the port, which is the Winsock behaviour (10048)
  // the component needs.
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

int BytesAvailable(SocketHandle s) {
  int n = 0;
  if (::ioctl(s, FIONREAD, &n) != 0) return 0;
  return n;
}

// The interface from /proc/net/route, its address from getifaddrs.
std::optional<uint32_t> DefaultRouteAddress() {
  FILE* f = std::fopen("/proc/net/route", "re");
  if (f == nullptr) return std::nullopt;
  char line[512];
  std::string iface;
  if (std::fgets(line, sizeof line, f) != nullptr) {  // header
    while (std::fgets(line, sizeof line, f) != nullptr) {
      char name[64];
      unsigned long dest = 1, flags = 0;
      if (std::sscanf(line, "%63s %lx %*x %lx", name, &dest, &flags) == 3 && dest == 0 &&
          (flags & 1 /* RTF_UP */) != 0) {
        iface = name;
        break;
      }
    }
  }
  std::fclose(f);
  if (iface.empty()) return std::nullopt;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::optional<uint32_t> found;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET && iface == i->ifa_name) {
      found = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
      break;
    }
  }
  ::freeifaddrs(list);
  return found;
}

std::vector<uint32_t> UpInterfaceAddresses() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  std::vector<uint32_t> found;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_UP)) {
      found.push_back(ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr));
    }
  }
  ::freeifaddrs(list);
  return found;
}

void ReserveSpareDescriptor() {
  if (t_spare_fd < 0) t_spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool HoldsSpareDescriptor() { return t_spare_fd >= 0; }

bool ReleaseSpareDescriptor() {
  if (t_spare_fd < 0) return false;
  ::close(t_spare_fd);
  t_spare_fd = -1;
  return true;
}

}  // namespace qz::platform::sockets
