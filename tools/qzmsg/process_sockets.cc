#include "process_sockets.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace qzmsg {
namespace {

constexpr const char kListenState[] = "0A";  // TCP_LISTEN, as /proc/net/tcp writes it

// Adds the listening ports of /proc/net/tcp-style table `path` whose inode is in `inodes`.
void AddListeningPorts(const char* path, const std::set<uint64_t>& inodes,
                       std::set<int32_t>& ports) {
  std::ifstream table(path);
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
    uint64_t inode = 0;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    if (!fields || state != kListenState || inodes.count(inode) == 0) continue;
    const size_t colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    ports.insert(static_cast<int32_t>(std::stoul(local.substr(colon + 1), nullptr, 16)));
  }
}

}  // namespace

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
  AddListeningPorts("/proc/net/tcp", inodes, ports);
  AddListeningPorts("/proc/net/tcp6", inodes, ports);
  return ports;
}

}  // namespace qzmsg
