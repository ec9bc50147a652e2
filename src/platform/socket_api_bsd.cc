// The socket operations that POSIX and Winsock spell alike; what differs comes from
// socket_api_os.h and the per-OS files.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket_api.h"
#include "platform/socket_api_os.h"
#include "qz/status.h"

namespace qz::platform::sockets {
namespace {

sockaddr_in SockAddr(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

// An IPv4 address in the family's form: as is, or IPv4-mapped (::ffff:a.b.c.d); the wildcard
// stays the wildcard (::), which a dual-stack socket shares with IPv4's.
struct FamilyAddress {
  sockaddr_storage storage{};
  os::AddressLength length = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

FamilyAddress SockAddr(uint32_t address, uint16_t port, Family family) {
  FamilyAddress out;
  if (family == Family::kIpv4) {
    const sockaddr_in v4 = SockAddr(address, port);
    std::memcpy(&out.storage, &v4, sizeof v4);
    out.length = sizeof v4;
    return out;
  }
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(port);
  if (address != INADDR_ANY) {
    v6.sin6_addr.s6_addr[10] = 0xff;
    v6.sin6_addr.s6_addr[11] = 0xff;
    const uint32_t be = htonl(address);
    std::memcpy(&v6.sin6_addr.s6_addr[12], &be, sizeof be);
  }
  std::memcpy(&out.storage, &v6, sizeof v6);
  out.length = sizeof v6;
  return out;
}

uint32_t FirstIpv4(const addrinfo* list) {
  return ntohl(reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr);
}

addrinfo TcpHints(int flags) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  return hints;
}

}  // namespace

Status BindPort(SocketHandle s, uint16_t port, Family family) {
  const FamilyAddress sa = SockAddr(INADDR_ANY, port, family);
  return os::Checked(::bind(s, sa.get(), sa.length) == 0);
}

Status ListenOn(SocketHandle s) { return os::Checked(::listen(s, SOMAXCONN) == 0); }

Status StartConnect(SocketHandle s, const Ipv4Endpoint& to, Family family) {
  const FamilyAddress sa = SockAddr(to.address, to.port, family);
  if (::connect(s, sa.get(), sa.length) == 0) return Status::OK();
  const int e = os::LastErrorNumber();
  return e == os::kConnectPending ? Status::OK() : os::ErrorStatus(e);
}

Result<ConnectProgress> CheckConnect(SocketHandle s) {
  sockaddr_storage peer{};
  os::AddressLength plen = sizeof peer;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &plen) == 0) {
    return ConnectProgress::kConnected;
  }
  int err = os::LastErrorNumber();
  if (err != os::kNotConnected) return os::ErrorStatus(err);
  // Not connected: the attempt failed (its error is pending) or is still under way.
  os::AddressLength len = sizeof err;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
    err = os::LastErrorNumber();
  }
  if (err == 0) return ConnectProgress::kInProgress;
  return os::ErrorStatus(err);
}

Result<size_t> SendSome(SocketHandle s, const char* data, size_t size) {
  const auto n = ::send(s, data, os::IoLength(size), os::kSendFlags);
  if (n < 0) return os::LastError();
  return static_cast<size_t>(n);
}

Result<size_t> ReceiveSome(SocketHandle s, char* data, size_t size, bool peek) {
  const auto n = ::recv(s, data, os::IoLength(size), peek ? MSG_PEEK : 0);
  if (n < 0) return os::LastError();
  return static_cast<size_t>(n);
}

int32_t BoundPort(SocketHandle s) {
  sockaddr_storage sa{};
  os::AddressLength len = sizeof sa;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  if (sa.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&sa)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&sa)->sin_port);
}

Result<AcceptedSocket> AcceptOne(SocketHandle listener) {
  sockaddr_in sa{};
  os::AddressLength len = sizeof sa;
  Result<SocketHandle> s = os::Accept(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  if (!s.ok()) return s.status();
  return AcceptedSocket{*s, {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)}};
}

std::optional<Ipv4Endpoint> PeerOf(SocketHandle s) {
  sockaddr_in sa{};
  os::AddressLength len = sizeof sa;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return std::nullopt;
  return Ipv4Endpoint{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

std::optional<uint32_t> ParseNumericIpv4(const std::string& text) {
  os::StartSockets();
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) == 1) return ntohl(a.s_addr);
  // The other numeric forms ("127.1"), never a look-up.
  const addrinfo hints = TcpHints(AI_NUMERICHOST);
  addrinfo* list = nullptr;
  if (::getaddrinfo(text.c_str(), nullptr, &hints, &list) != 0) return std::nullopt;
  std::optional<uint32_t> found;
  if (list != nullptr) found = FirstIpv4(list);
  ::freeaddrinfo(list);
  return found;
}

Result<uint32_t> ResolveIpv4(const std::string& name) {
  os::StartSockets();
  const addrinfo hints = TcpHints(0);
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0 || list == nullptr) {
    if (list != nullptr) ::freeaddrinfo(list);
    return Status::Error(errc::kWsaHostNotFound, os::ResolverWords(rc));
  }
  const uint32_t found = FirstIpv4(list);
  ::freeaddrinfo(list);
  return found;
}

std::vector<uint32_t> HostNameAddresses() {
  os::StartSockets();
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return {};
  const addrinfo hints = TcpHints(0);
  addrinfo* list = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &list) != 0) return {};
  std::vector<uint32_t> found;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) found.push_back(FirstIpv4(ai));
  ::freeaddrinfo(list);
  return found;
}

}  // namespace qz::platform::sockets
