#include "process_sockets.h"

#include <netinet/tcp.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/tcp_table_proc_posix.h"

namespace qzmsg {

std::set<uint64_t> OpenSocketInodes() {
  std::set<uint64_t> inodes;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code link_error;
    const std::string target = std::filesystem::read_symlink(entry.path(), link_error).string();
    constexpr std::string_view kPrefix = "socket:[";
    if (link_error || target.rfind(kPrefix, 0) != 0) continue;
    inodes.insert(std::stoull(target.substr(kPrefix.size())));
  }
  return inodes;
}

std::set<int32_t> ListeningPorts() {
  const std::set<uint64_t> inodes = OpenSocketInodes();
  std::set<int32_t> ports;
  const qz::Result<std::vector<qz::platform::ProcTcpRow>> rows = qz::platform::ReadProcTcpTable();
  if (!rows.ok()) return ports;
  for (const qz::platform::ProcTcpRow& row : *rows) {
    if (row.state == TCP_LISTEN && inodes.count(row.inode) != 0) ports.insert(row.local_port);
  }
  return ports;
}

}  // namespace qzmsg
