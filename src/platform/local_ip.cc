#include "platform/local_ip.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/socket_api.h"
#include "platform/socket_control.h"

namespace qz::platform {
namespace {

std::mutex g_mutex;
std::string g_override;   // guarded by g_mutex
std::string g_looked_up;  // guarded by g_mutex; empty until an address is found

bool IsLoopback(uint32_t a) { return (a >> 24) == 127; }

bool Contains(const std::vector<uint32_t>& list, uint32_t a) {
  return std::find(list.begin(), list.end(), a) != list.end();
}

std::string LookUpLocalIP() {
  const std::optional<uint32_t> chosen =
      ChooseLocalIP(sockets::DefaultRouteAddress(), sockets::HostNameAddresses(),
                    sockets::UpInterfaceAddresses());
  return chosen ? DottedV4(*chosen) : std::string();
}

}  // namespace

std::string DottedV4(uint32_t a) {
  // Written into one buffer: every accepted connection names its peer this way.
  char text[16];
  char* end = text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned byte = (a >> shift) & 0xFF;
    if (byte >= 100) *end++ = static_cast<char>('0' + byte / 100);
    if (byte >= 10) *end++ = static_cast<char>('0' + byte / 10 % 10);
    *end++ = static_cast<char>('0' + byte % 10);
    if (shift != 0) *end++ = '.';
  }
  return std::string(text, end);
}

std::optional<uint32_t> FirstNonLoopback(const std::vector<uint32_t>& addresses) {
  for (uint32_t a : addresses) {
    if (!IsLoopback(a)) return a;
  }
  return std::nullopt;
}

std::optional<uint32_t> ChooseLocalIP(std::optional<uint32_t> default_route,
                                      const std::vector<uint32_t>& host_name,
                                      const std::vector<uint32_t>& up) {
  if (default_route && !IsLoopback(*default_route) && Contains(up, *default_route)) {
    return default_route;
  }
  for (uint32_t a : host_name) {
    if (!IsLoopback(a) && Contains(up, a)) return a;
  }
  return FirstNonLoopback(up);
}

std::string MachineLocalIP() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_override.empty()) return g_override;
  if (g_looked_up.empty()) g_looked_up = LookUpLocalIP();
  return g_looked_up;
}

void SetLocalIPOverride(std::string address) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_override = std::move(address);
}

bool IsUpInterfaceAddress(uint32_t address, const std::vector<uint32_t>& up) {
  if (!IsLoopback(address)) return Contains(up, address);
  return std::any_of(up.begin(), up.end(), IsLoopback);
}

bool IsUpInterfaceAddress(const std::string& address) {
  const std::optional<uint32_t> a = sockets::ParseNumericIpv4(address);
  return a && IsUpInterfaceAddress(*a, sockets::UpInterfaceAddresses());
}

}  // namespace qz::platform
