// The TCP table on Linux: a sock_diag dump over netlink, or /proc/net/tcp{,6} where netlink is
// not available (some sandboxes forbid it).
#include "platform/tcp_table_posix.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/tcp_table.h"
#include "platform/tcp_table_proc_posix.h"

namespace qz::platform {
namespace tcp_table_internal {
namespace {

constexpr size_t kReserve = 1024;
constexpr size_t kNetlinkBuffer = 64 * 1024;  // the kernel fills at most 32 KiB per message

constexpr size_t Align4(size_t n) { return (n + 3) & ~size_t{3}; }
constexpr size_t kHeaderLen = Align4(sizeof(nlmsghdr));
constexpr size_t kSportOffset =
    offsetof(inet_diag_msg, id) + offsetof(inet_diag_sockid, idiag_sport);

Status Failure(const std::string& what, int err) {
  return Status::Error(errc::kFileNotFound, what + ": " + std::strerror(err));
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Appends the local port of every TCP socket of one family. Returns 0 or an errno.
int DumpFamily(int sock, uint8_t family, char* buf, std::vector<uint16_t>& ports) {
  struct {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
  } msg{};
  msg.nlh.nlmsg_len = sizeof msg;
  msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  msg.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  msg.nlh.nlmsg_seq = family;
  msg.req.sdiag_family = family;
  msg.req.sdiag_protocol = IPPROTO_TCP;
  msg.req.idiag_states = ~0u;  // every state, TIME_WAIT and request sockets included
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(sock, &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) <
      0) {
    return errno;
  }
  for (;;) {
    ssize_t n = ::recv(sock, buf, kNetlinkBuffer, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EPROTO;
    // Walked by hand: the NLMSG_* macros do not compile cleanly with our warnings.
    const size_t len = static_cast<size_t>(n);
    size_t off = 0;
    while (off + kHeaderLen <= len) {
      nlmsghdr h;
      std::memcpy(&h, buf + off, sizeof h);
      if (h.nlmsg_len < kHeaderLen || h.nlmsg_len > len - off) return EPROTO;
      if (h.nlmsg_type == NLMSG_DONE) return 0;
      if (h.nlmsg_type == NLMSG_ERROR) {
        nlmsgerr e{};
        if (h.nlmsg_len >= kHeaderLen + sizeof e) std::memcpy(&e, buf + off + kHeaderLen, sizeof e);
        return e.error != 0 ? -e.error : EPROTO;
      }
      if (h.nlmsg_type == SOCK_DIAG_BY_FAMILY &&
          h.nlmsg_len >= kHeaderLen + sizeof(inet_diag_msg)) {
        uint16_t port_be;
        std::memcpy(&port_be, buf + off + kHeaderLen + kSportOffset, sizeof port_be);
        ports.push_back(ntohs(port_be));
      }
      off += Align4(h.nlmsg_len);
    }
  }
}

}  // namespace

Result<std::vector<uint16_t>> ReadViaSockDiag() {
  int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return Failure("sock_diag socket", errno);
  Fd guard(fd);
  std::unique_ptr<char[]> buf(new char[kNetlinkBuffer]);
  std::vector<uint16_t> ports;
  ports.reserve(kReserve);
  if (int err = DumpFamily(fd, AF_INET, buf.get(), ports); err != 0) {
    return Failure("sock_diag dump of IPv4 TCP", err);
  }
  if (int err = DumpFamily(fd, AF_INET6, buf.get(), ports); err != 0) {
    return Failure("sock_diag dump of IPv6 TCP", err);
  }
  return ports;
}

Result<std::vector<uint16_t>> ReadViaProc() {
  Result<std::vector<ProcTcpRow>> rows = ReadProcTcpTable();
  if (!rows.ok()) return rows.status();
  std::vector<uint16_t> ports;
  ports.reserve(rows->size());
  for (const ProcTcpRow& row : *rows) ports.push_back(row.local_port);
  return ports;
}

}  // namespace tcp_table_internal

Result<std::vector<uint16_t>> ReadTcpLocalPorts() {
  Result<std::vector<uint16_t>> ports = tcp_table_internal::ReadViaSockDiag();
  if (ports.ok()) return ports;
  Result<std::vector<uint16_t>> fallback = tcp_table_internal::ReadViaProc();
  if (fallback.ok()) return fallback;
  return Status::Error(fallback.status().code(),
                       "cannot read the TCP table: " + ports.status().message() + "; " +
                           fallback.status().message());
}

}  // namespace qz::platform
