// The two ways the Linux backend reads the TCP table, exposed so that tests can check each.
#ifndef QZ_PLATFORM_TCP_TABLE_POSIX_H_
#define QZ_PLATFORM_TCP_TABLE_POSIX_H_

#include <cstdint>
#include <vector>

#include "qz/status.h"

namespace qz::platform::tcp_table_internal {

// Netlink sock_diag dump of TCP sockets, AF_INET and AF_INET6, every state.
Result<std::vector<uint16_t>> ReadViaSockDiag();
// /proc/net/tcp and, when present, /proc/net/tcp6: the local ports of ReadProcTcpTable.
Result<std::vector<uint16_t>> ReadViaProc();

}  // namespace qz::platform::tcp_table_internal

#endif  // QZ_PLATFORM_TCP_TABLE_POSIX_H_
