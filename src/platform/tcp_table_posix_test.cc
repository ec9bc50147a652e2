// Both ways of reading the table must see the same endpoints, IPv6 ones included, so that the
// fallback is known to work on machines where it is the only way.
#include "platform/tcp_table_posix.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace qz::platform::tcp_table_internal {
namespace {

// A listening socket on loopback of one family, port chosen by the kernel.
class LoopbackListener {
 public:
  explicit LoopbackListener(int family) {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET6) {
      auto* sa = reinterpret_cast<sockaddr_in6*>(&ss);
      sa->sin6_family = AF_INET6;
      sa->sin6_addr = in6addr_loopback;
      len = sizeof *sa;
    } else {
      auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
      sa->sin_family = AF_INET;
      sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *sa;
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  }
  ~LoopbackListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

bool Lists(const std::vector<uint16_t>& ports, uint16_t port) {
  return std::find(ports.begin(), ports.end(), port) != ports.end();
}

TEST(TcpTablePosixTest, SockDiagAndProcBothListIPv4AndIPv6Endpoints) {
  LoopbackListener v4(AF_INET);
  ASSERT_TRUE(v4.ok());
  LoopbackListener v6(AF_INET6);  // absent where IPv6 is disabled

  Result<std::vector<uint16_t>> proc = ReadViaProc();
  ASSERT_TRUE(proc.ok()) << proc.status().ToString();
  EXPECT_TRUE(Lists(*proc, v4.port()));
  if (v6.ok()) {
    EXPECT_TRUE(Lists(*proc, v6.port()));
  }

  Result<std::vector<uint16_t>> diag = ReadViaSockDiag();
  if (!diag.ok()) GTEST_SKIP() << "no sock_diag here: " << diag.status().ToString();
  EXPECT_TRUE(Lists(*diag, v4.port()));
  if (v6.ok()) {
    EXPECT_TRUE(Lists(*diag, v6.port()));
  }
}

}  // namespace
}  // namespace qz::platform::tcp_table_internal
