// Whether the listener behind each presence row still answers: a TCP connect that is closed at
// once, without a byte sent. Many endpoints are probed in parallel within one short budget.
#ifndef QZMSG_ENDPOINT_PROBE_H_
#define QZMSG_ENDPOINT_PROBE_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "presence_rows.h"

namespace qzmsg {

enum class ProbeResult {
  kLive,         // the connect succeeded
  kRefused,      // the host answered that nothing listens there: the row is surely stale
  kNoAnswer,     // no answer within the budget: a host that is down, or a firewall
  kUnreachable,  // no route, an address that cannot be probed, or another socket error
  kNotProbed,    // no socket could be had for it within the budget
};

struct Endpoint {
  std::string ip;  // dotted IPv4
  int32_t port = 0;
};

inline constexpr std::chrono::milliseconds kProbeBudget{2000};

// One result per endpoint, in their order, within about budget in all. Endpoints listed twice
// are probed once.
std::vector<ProbeResult> ProbeEndpoints(const std::vector<Endpoint>& endpoints,
                                        std::chrono::milliseconds budget = kProbeBudget);
// The endpoints of rows, as a delivery would reach them.
std::vector<ProbeResult> ProbeRows(const std::vector<PresenceRow>& rows,
                                   std::chrono::milliseconds budget = kProbeBudget);

// Whether nobody could take a delivery there now: refused, no answer, unreachable.
bool IsStale(ProbeResult result);
// "live", "refused", "no answer", "unreachable", "not probed".
const char* ProbeName(ProbeResult result);

}  // namespace qzmsg

#endif  // QZMSG_ENDPOINT_PROBE_H_
