// Exchange workers: a child process (worker.h) that runs one exchange (exchange.h) and answers
// requests about it, so that every figure's sides have network namespaces of their own.
#ifndef QZ_BENCH_EXCHANGE_WORKER_H_
#define QZ_BENCH_EXCHANGE_WORKER_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "figures.h"
#include "qz/status.h"
#include "worker.h"

namespace qz::bench {

enum class ExchangeKind { kComponent, kRaw, kRawBind };

// Requests: "start", "warm", "round", "latency K", "rate SECONDS WINDOW", "probe". Replies start
// with "ok" or "error". The component gets a fresh SQLite database.
std::unique_ptr<Worker> StartExchangeWorker(Context& ctx, ExchangeKind kind, int receivers,
                                            int64_t endpoints, const Worker* share_with);
// "start" then "warm"; the worker's own error otherwise.
Status MakeReady(Worker* worker);

// A component worker and a raw worker for the same shape of exchange.
struct Pair {
  std::unique_ptr<Worker> component;
  std::unique_ptr<Worker> raw;
  bool isolated = false;
};
// With other endpoints, both workers share one network namespace and its one set of endpoints:
// the machine then holds those endpoints once, as the figure says, and both sides meet them.
// The component's worker holds them; the raw worker joins it.
Result<Pair> StartPair(Context& ctx, int receivers, int64_t endpoints);

// The median time in microseconds of the recipient scan each SendMessage makes for the benchmark's
// receivers, times over, on its own connection to the database at uri; -1 when it cannot connect.
double TimeRecipientScan(const std::string& uri, int times);

// Splits "ok a b c" into its numbers; empty when the reply is not "ok".
std::vector<double> Numbers(const std::optional<std::string>& reply);
// The value of key=VALUE in a reply, or -1.
double Field(const std::string& reply, const std::string& key);
// The same field's text, up to the next space; empty when absent.
std::string TextField(const std::string& reply, const std::string& key);

}  // namespace qz::bench

#endif  // QZ_BENCH_EXCHANGE_WORKER_H_
