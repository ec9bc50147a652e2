#include "platform/local_ip.h"

#include <mutex>
#include <utility>

#include "platform/socket_api.h"
#include "platform/socket_control.h"

namespace qz::platform {
namespace {

std::mutex g_override_mutex;
std::string g_override;  // guarded by g_override_mutex

std::string LookUpLocalIP() {
  if (std::optional<uint32_t> a = FirstNonLoopback(sockets::HostNameAddresses())) {
    return DottedV4(*a);
  }
  if (std::optional<uint32_t> route = sockets::DefaultRouteAddress()) return DottedV4(*route);
  return "127.0.0.1";
}

}  // namespace

std::string DottedV4(uint32_t a) {
  return std::to_string(a >> 24) + '.' + std::to_string((a >> 16) & 0xFF) + '.' +
         std::to_string((a >> 8) & 0xFF) + '.' + std::to_string(a & 0xFF);
}

std::optional<uint32_t> FirstNonLoopback(const std::vector<uint32_t>& addresses) {
  for (uint32_t a : addresses) {
    if ((a >> 24) != 127) return a;
  }
  return std::nullopt;
}

std::string MachineLocalIP() {
  {
    std::lock_guard<std::mutex> lock(g_override_mutex);
    if (!g_override.empty()) return g_override;
  }
  static const std::string looked_up = LookUpLocalIP();
  return looked_up;
}

void SetLocalIPOverride(std::string address) {
  std::lock_guard<std::mutex> lock(g_override_mutex);
  g_override = std::move(address);
}

}  // namespace qz::platform
