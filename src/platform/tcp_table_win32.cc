// The TCP table on Windows: GetTcpTable and GetTcp6Table from IP Helper, whole tables, each
// called again with the size it asks for while the table grows between the calls.
// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
// clang-format on

#include <vector>

#include "platform/tcp_table.h"

namespace qz::platform {
namespace {

// Calls get(buffer, &size) until the buffer is large enough. Returns the Win32 result.
template <typename Get>
DWORD ReadWhole(std::vector<unsigned char>& buffer, Get get) {
  ULONG size = static_cast<ULONG>(buffer.size());
  DWORD rc = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < 8 && rc == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    buffer.resize(size > 0 ? size : 1);
    size = static_cast<ULONG>(buffer.size());
    rc = get(buffer.data(), &size);
    if (rc == ERROR_INSUFFICIENT_BUFFER) size += 64 * sizeof(MIB_TCPROW);  // room to grow
  }
  return rc;
}

uint16_t PortOf(DWORD network_order) { return ntohs(static_cast<u_short>(network_order & 0xffff)); }

}  // namespace

Result<std::vector<uint16_t>> ReadTcpLocalPorts() {
  std::vector<uint16_t> ports;
  std::vector<unsigned char> buffer(sizeof(MIB_TCPTABLE) + 64 * sizeof(MIB_TCPROW));
  DWORD rc = ReadWhole(buffer, [](unsigned char* data, ULONG* size) {
    return ::GetTcpTable(reinterpret_cast<MIB_TCPTABLE*>(data), size, FALSE);
  });
  if (rc != NO_ERROR && rc != ERROR_NO_DATA) {
    return Status::Error(errc::kOutOfMemory, "cannot read the TCP table: GetTcpTable failed with " +
                                                 std::to_string(rc));
  }
  if (rc == NO_ERROR) {
    const auto* table = reinterpret_cast<const MIB_TCPTABLE*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i)
      ports.push_back(PortOf(table->table[i].dwLocalPort));
  }
  // IPv6 endpoints hold ports too; a system without IPv6 has no such table, which is no failure.
  std::vector<unsigned char> buffer6(sizeof(MIB_TCP6TABLE) + 16 * sizeof(MIB_TCP6ROW));
  rc = ReadWhole(buffer6, [](unsigned char* data, ULONG* size) {
    return ::GetTcp6Table(reinterpret_cast<MIB_TCP6TABLE*>(data), size, FALSE);
  });
  if (rc == NO_ERROR) {
    const auto* table = reinterpret_cast<const MIB_TCP6TABLE*>(buffer6.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i)
      ports.push_back(PortOf(table->table[i].dwLocalPort));
  }
  return ports;
}

}  // namespace qz::platform
