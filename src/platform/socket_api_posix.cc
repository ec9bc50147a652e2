// The socket operations on POSIX, and the one table that turns errno into Winsock numbers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/socket_api.h"
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

// "address in use (Address already in use)": the number's meaning and the OS's words for it.
Status ErrnoStatus(int e) {
  const WsaError wsa = WsaFromErrno(e);
  return Status::Error(wsa.number, std::string(wsa.text) + " (" + std::strerror(e) + ")");
}

// The failure of the call that just returned; read before anything else can change errno.
Status LastError() { return ErrnoStatus(errno); }

// OK, or the failure of the call whose success is given.
Status Checked(bool succeeded) { return succeeded ? Status::OK() : LastError(); }

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

// Plain thread-locals: controls may close during thread exit.
thread_local int t_spare_fd = -1;

}  // namespace

Result<SocketHandle> OpenTcpSocket() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return LastError();
  return s;
}

void CloseSocket(SocketHandle s) { ::close(s); }

void AllowClosingPortReuse(SocketHandle s) {
  // Linux still refuses a second listener on the port, which is the Winsock behaviour (10048)
  // the component needs.
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

void SetNoDelay(SocketHandle s) {
  int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Status BindPort(SocketHandle s, uint16_t port) {
  const sockaddr_in sa = SockAddr(INADDR_ANY, port);
  return Checked(::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0);
}

Status ListenOn(SocketHandle s) { return Checked(::listen(s, SOMAXCONN) == 0); }

Result<SocketHandle> AcceptOne(SocketHandle listener) {
  const int s = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (s < 0) return LastError();
  return s;
}

Status StartConnect(SocketHandle s, const Ipv4Endpoint& to) {
  const sockaddr_in sa = SockAddr(to.address, to.port);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 &&
      errno != EINPROGRESS) {
    return LastError();
  }
  return Status::OK();
}

Result<ConnectProgress> CheckConnect(SocketHandle s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err == 0) {
    sockaddr_in peer{};
    socklen_t plen = sizeof peer;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &plen) == 0) {
      return ConnectProgress::kConnected;
    }
    if (errno == ENOTCONN) return ConnectProgress::kInProgress;
    err = errno;
  }
  return ErrnoStatus(err);
}

Result<size_t> SendSome(SocketHandle s, const char* data, size_t size) {
  const ssize_t n = ::send(s, data, size, MSG_NOSIGNAL);
  if (n < 0) return LastError();
  return static_cast<size_t>(n);
}

Result<size_t> ReceiveSome(SocketHandle s, char* data, size_t size, bool peek) {
  const ssize_t n = ::recv(s, data, size, peek ? MSG_PEEK : 0);
  if (n < 0) return LastError();
  return static_cast<size_t>(n);
}

int BytesAvailable(SocketHandle s) {
  int n = 0;
  if (::ioctl(s, FIONREAD, &n) != 0) return 0;
  return n;
}

int32_t BoundPort(SocketHandle s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

std::optional<Ipv4Endpoint> PeerOf(SocketHandle s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return std::nullopt;
  return Ipv4Endpoint{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

std::optional<uint32_t> ParseNumericIpv4(const std::string& text) {
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
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0 || list == nullptr) {
    if (list != nullptr) ::freeaddrinfo(list);
    return Status::Error(errc::kWsaHostNotFound, gai_strerror(rc));
  }
  const uint32_t found = FirstIpv4(list);
  ::freeaddrinfo(list);
  return found;
}

std::vector<uint32_t> HostNameAddresses() {
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

void ReserveSpareDescriptor() {
  if (t_spare_fd < 0) t_spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool ReleaseSpareDescriptor() {
  if (t_spare_fd < 0) return false;
  ::close(t_spare_fd);
  t_spare_fd = -1;
  return true;
}

}  // namespace qz::platform::sockets
