// The kernel's TCP table as Linux lists it in /proc/net/tcp and /proc/net/tcp6: the one reader
// of those files, for the table's fallback, for hosts that look for their own listening
// sockets, and for the benchmarks' counts.
#ifndef QZ_PLATFORM_TCP_TABLE_PROC_POSIX_H_
#define QZ_PLATFORM_TCP_TABLE_PROC_POSIX_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "qz/status.h"

namespace qz::platform {

// One socket of the table.
struct ProcTcpRow {
  uint16_t local_port = 0;
  // The kernel's state number, as <netinet/tcp.h> names them (TCP_LISTEN, TCP_TIME_WAIT, ...).
  uint8_t state = 0;
  // The socket's inode, as the links in /proc/PID/fd name it ("socket:[INODE]"); 0 for sockets
  // that no descriptor holds (TIME_WAIT, requests not yet accepted).
  uint64_t inode = 0;
};

// Appends the rows of the text of one such file to rows: a header line, then one socket a line,
// "  12: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000  0 4242 ...".
// A line without local address, remote address and state is left out.
void ParseProcTcpTable(std::string_view text, std::vector<ProcTcpRow>& rows);

// Every row of /proc/net/tcp and, when the machine has IPv6, of /proc/net/tcp6.
Result<std::vector<ProcTcpRow>> ReadProcTcpTable();

}  // namespace qz::platform

#endif  // QZ_PLATFORM_TCP_TABLE_PROC_POSIX_H_
