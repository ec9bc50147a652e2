#include "platform/tcp_table_proc_posix.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace qz::platform {
namespace {

constexpr char kHeader[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";

TEST(ProcTcpTableTest, ParsesPortStateAndInodeOfEachRow) {
  const std::string text =
      std::string(kHeader) +
      "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 "
      "4242 1 0000000000000000 100 0 0 10 0\n"
      "   1: 0100007F:D431 0100007F:1F90 06 00000000:00000000 03:00000F9E 00000000     0        0 "
      "0 3 0000000000000000\n"
      "   2: 00000000000000000000000001000000:FFFF 00000000000000000000000000000000:0000 01 "
      "00000000:00000000 00:00000000 00000000  1000        0 99 1 0000000000000000";  // no '\n'
  std::vector<ProcTcpRow> rows;
  ParseProcTcpTable(text, rows);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].local_port, 8080);
  EXPECT_EQ(rows[0].state, TCP_LISTEN);
  EXPECT_EQ(rows[0].inode, 4242u);
  EXPECT_EQ(rows[1].local_port, 0xD431);
  EXPECT_EQ(rows[1].state, TCP_TIME_WAIT);
  EXPECT_EQ(rows[1].inode, 0u);
  EXPECT_EQ(rows[2].local_port, 65535);  // an IPv6 row
  EXPECT_EQ(rows[2].state, TCP_ESTABLISHED);
  EXPECT_EQ(rows[2].inode, 99u);
}

TEST(ProcTcpTableTest, LeavesOutTheHeaderAndLinesThatDoNotParse) {
  std::vector<ProcTcpRow> rows;
  ParseProcTcpTable("   0: 0100007F:1F90 00000000:0000 0A 0 0 0 0 0 7", rows);  // header only
  ParseProcTcpTable("", rows);
  EXPECT_TRUE(rows.empty());
  const std::string text = std::string(kHeader) +
                           "\n"
                           "   0: 0100007F 00000000:0000 0A\n"        // no port
                           "   1: 0100007F:1F9 00000000:0000 0A\n"    // a short port
                           "   2: 0100007F:1F9G 00000000:0000 0A\n"   // not hex
                           "   3: 0100007F:1F90 00000000:0000\n"      // no state
                           "   4: 0100007F:1F90 00000000:0000 0A\n";  // the rest may be cut
  ParseProcTcpTable(text, rows);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].local_port, 8080);
  EXPECT_EQ(rows[0].inode, 0u);
}

// What a host reads to find its own listener: the row with its port, listening, with the inode
// of its descriptor.
TEST(ProcTcpTableTest, ListsAListenerOfThisProcessWithItsInode) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(::listen(fd, 4), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);

  Result<std::vector<ProcTcpRow>> rows = ReadProcTcpTable();
  ::close(fd);
  ASSERT_TRUE(rows.ok()) << rows.status().ToString();
  const auto ours = std::find_if(rows->begin(), rows->end(), [&](const ProcTcpRow& row) {
    return row.inode == static_cast<uint64_t>(st.st_ino);
  });
  ASSERT_NE(ours, rows->end());
  EXPECT_EQ(ours->local_port, ntohs(addr.sin_port));
  EXPECT_EQ(ours->state, TCP_LISTEN);
}

}  // namespace
}  // namespace qz::platform
