#include "endpoint_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <utility>

namespace qzmsg {
namespace {

using Clock = std::chrono::steady_clock;

// Far more than a LAN's logins; a table with more is probed as slots free.
constexpr size_t kMostInFlight = 256;

// Below the descriptor limit, leaving room for the database connection and the standard streams.
size_t InFlightLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return kMostInFlight;
  }
  const rlim_t spare = limit.rlim_cur > 32 ? limit.rlim_cur - 32 : 1;
  return std::min<size_t>(kMostInFlight, spare);
}

ProbeResult FromError(int error) {
  switch (error) {
    case 0:
      return ProbeResult::kLive;
    case ECONNREFUSED:
      return ProbeResult::kRefused;
    case ETIMEDOUT:
      return ProbeResult::kNoAnswer;
    default:
      return ProbeResult::kUnreachable;
  }
}

std::optional<sockaddr_in> SocketAddress(const Endpoint& endpoint) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (endpoint.port <= 0 || endpoint.port > 65535 ||
      inet_pton(AF_INET, endpoint.ip.c_str(), &address.sin_addr) != 1) {
    return std::nullopt;
  }
  address.sin_port = htons(static_cast<uint16_t>(endpoint.port));
  return address;
}

// Starts a non-blocking connect. The result when it is known at once; else nullopt, and *fd is
// the socket whose connect is under way.
std::optional<ProbeResult> StartConnect(const Endpoint& endpoint, int* fd) {
  const std::optional<sockaddr_in> address = SocketAddress(endpoint);
  if (!address) return ProbeResult::kUnreachable;
  *fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (*fd < 0) return ProbeResult::kNotProbed;
  const int connected = connect(*fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
  if (connected != 0 && errno == EINPROGRESS) return std::nullopt;
  const int error = connected == 0 ? 0 : errno;
  close(*fd);
  return FromError(error);
}

// The connects under way: each socket and the endpoint it probes.
struct InFlight {
  std::vector<pollfd> fds;
  std::vector<size_t> which;

  void Add(int fd, size_t index) {
    fds.push_back(pollfd{fd, POLLOUT, 0});
    which.push_back(index);
  }
  // Records and closes the connects that have ended.
  void Collect(std::vector<ProbeResult>& results) {
    for (size_t k = fds.size(); k-- > 0;) {
      if (fds[k].revents == 0) continue;
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(fds[k].fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
      results[which[k]] = FromError(error);
      Drop(k);
    }
  }
  void Drop(size_t k) {
    close(fds[k].fd);
    fds[k] = fds.back();
    fds.pop_back();
    which[k] = which.back();
    which.pop_back();
  }
};

// The first index of each distinct endpoint.
std::vector<size_t> Distinct(const std::vector<Endpoint>& endpoints, std::vector<size_t>* first) {
  std::map<std::pair<std::string, int32_t>, size_t> seen;
  std::vector<size_t> distinct;
  for (size_t i = 0; i < endpoints.size(); ++i) {
    const auto [it, added] = seen.emplace(std::pair{endpoints[i].ip, endpoints[i].port}, i);
    first->push_back(it->second);
    if (added) distinct.push_back(i);
  }
  return distinct;
}

}  // namespace

std::vector<ProbeResult> ProbeEndpoints(const std::vector<Endpoint>& endpoints,
                                        std::chrono::milliseconds budget) {
  const Clock::time_point deadline = Clock::now() + budget;
  std::vector<ProbeResult> results(endpoints.size(), ProbeResult::kNotProbed);
  std::vector<size_t> first;
  const std::vector<size_t> distinct = Distinct(endpoints, &first);
  const size_t limit = InFlightLimit();
  InFlight in_flight;
  size_t next = 0;
  for (;;) {
    for (; next < distinct.size() && in_flight.fds.size() < limit; ++next) {
      int fd = -1;
      if (std::optional<ProbeResult> known = StartConnect(endpoints[distinct[next]], &fd)) {
        results[distinct[next]] = *known;
      } else {
        in_flight.Add(fd, distinct[next]);
      }
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (in_flight.fds.empty() || left.count() <= 0) break;
    if (poll(in_flight.fds.data(), in_flight.fds.size(), static_cast<int>(left.count())) < 0 &&
        errno != EINTR) {
      break;
    }
    in_flight.Collect(results);
  }
  for (size_t index : in_flight.which) results[index] = ProbeResult::kNoAnswer;
  while (!in_flight.fds.empty()) in_flight.Drop(0);
  for (size_t i = 0; i < endpoints.size(); ++i) results[i] = results[first[i]];
  return results;
}

std::vector<ProbeResult> ProbeRows(const std::vector<PresenceRow>& rows,
                                   std::chrono::milliseconds budget) {
  std::vector<Endpoint> endpoints;
  endpoints.reserve(rows.size());
  for (const PresenceRow& row : rows) endpoints.push_back(Endpoint{row.ip, row.port()});
  return ProbeEndpoints(endpoints, budget);
}

bool IsStale(ProbeResult result) {
  return result == ProbeResult::kRefused || result == ProbeResult::kNoAnswer ||
         result == ProbeResult::kUnreachable;
}

const char* ProbeName(ProbeResult result) {
  switch (result) {
    case ProbeResult::kLive:
      return "live";
    case ProbeResult::kRefused:
      return "refused";
    case ProbeResult::kNoAnswer:
      return "no answer";
    case ProbeResult::kUnreachable:
      return "unreachable";
    case ProbeResult::kNotProbed:
      break;
  }
  return "not probed";
}

}  // namespace qzmsg
