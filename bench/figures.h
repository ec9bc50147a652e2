// The figures of the benchmark run, each measured in workers of its own (worker.h) and added to
// the report.
#ifndef QZ_BENCH_FIGURES_H_
#define QZ_BENCH_FIGURES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "qz/status.h"
#include "report.h"

namespace qz::bench {

struct Context {
  std::string temp_dir;         // removed at the end of the run
  std::string port_bench_path;  // the qz_port_bench executable
  std::string self_path;        // this executable, for probes that need a fresh process
  bool quick = false;           // fewer rounds, for trying the harness out
  std::vector<int> fanout_sizes = {1, 16, 128, 512};  // receivers per fan-out case
  double rate_seconds = 0;  // per side of the sustained rate; 0: 60, or 5 when quick
  // A fresh SQLite presence database for one worker.
  std::string NewSqliteUri();

 private:
  int64_t next_db_ = 0;
};

// One SendMessage to N receivers, idle and with 10,000 other endpoints, beside raw.
void RunFanoutFigures(Context& ctx, Report& report);
// SendMessage to acceptMessage at one receiver, p50 and p99, beside raw.
void RunLatencyFigure(Context& ctx, Report& report);
// Messages per second from one sender to one receiver, beside raw and rawbind, the port rule's
// ceiling and how often its walk left the range; what limits it.
void RunRateFigure(Context& ctx, Report& report);
// CPU time per delivered message at the sender and at the receiver, beside raw.
void RunCpuFigure(Context& ctx, Report& report);
// PickFreePort alone with 100, 1,000 and 10,000 endpoints (qz_port_bench).
void RunPortChoiceFigure(Context& ctx, Report& report);
// Init + LogOut on SQLite and PostgreSQL.
void RunLoginFigure(Context& ctx, Report& report);
// Resident size of an idle logged-in client, heap per in-flight connection.
void RunMemoryFigure(Context& ctx, Report& report);

// System calls and user instructions per delivered message, sender and receiver apart, for the
// component and raw (strace and callgrind on fresh processes of this executable).
void RunProfileFigure(Context& ctx, Report& report);

// Modes of this executable that run in a fresh process of their own; each prints one line.
int ProbeResidentSize(const std::string& db_uri);
// Delivers `messages` messages one at a time through the exchange `kind` ("component", "raw"),
// each a broadcast to `receivers`, after one warm-up message; for RunProfileFigure's tools and
// RunCpuFigure, which reads the CPU per message it prints.
int ProfileRun(const std::string& kind, int messages, const std::string& db_uri, int receivers);

}  // namespace qz::bench

#endif  // QZ_BENCH_FIGURES_H_
