// qz_port_bench: PickFreePort alone, with 100, 1,000 and 10,000 real endpoints in the TCP table
// (opened on loopback in a network namespace of its own), split into reading the table and the
// walk over it (the pure choice, over a fake table).
//
// Google Benchmark's own table goes to standard error; standard output carries one
// "RESULT name microseconds rows" line per case, for qz_bench.
//
// PickFreePort itself asks the system about each candidate; reading the table is measured to
// show what that saves on a busy machine.
//
// `qz_port_bench --probe` instead measures, once, in the caller's namespace and table as they
// are: "rows=R read_us=T pick_us=T port=P".
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "endpoints.h"
#include "platform/random.h"
#include "platform/tcp_table.h"
#include "platform/tcp_table_posix.h"
#include "transport/port_choice.h"
#include "transport/port_memory.h"
#include "util.h"
#include "worker.h"

namespace qz::bench {
namespace {

// The outbound base of a peer at 127.0.0.1: the last number of its address.
constexpr int32_t kPeerBase = 1;

LoopbackEndpoints& Endpoints() {
  static LoopbackEndpoints endpoints;
  return endpoints;
}

bool Load(benchmark::State& state, int64_t count) {
  if (Status s = Endpoints().GrowTo(count); !s.ok()) {
    state.SkipWithError(s.ToString().c_str());
    return false;
  }
  return true;
}

std::vector<uint16_t> TablePorts() {
  Result<std::vector<uint16_t>> ports = platform::ReadTcpLocalPorts();
  return ports.ok() ? *ports : std::vector<uint16_t>();
}

void SetRows(benchmark::State& state) {
  state.counters["rows"] = static_cast<double>(TablePorts().size());
}

// The whole call as the transport makes it: re-seed, read the table, walk.
void PickFreePortReal(benchmark::State& state, int64_t count) {
  if (!Load(state, count)) return;
  for (auto _ : state) benchmark::DoNotOptimize(transport::PickFreePort(kPeerBase));
  SetRows(state);
}

// Reading the whole table alone (sock_diag, /proc as fallback), the cost a choice that read it
// once per call would pay.
void ReadTable(benchmark::State& state, int64_t count) {
  if (!Load(state, count)) return;
  for (auto _ : state) benchmark::DoNotOptimize(platform::ReadTcpLocalPorts());
  SetRows(state);
}

// The /proc reader alone, for comparison with the netlink one.
void ReadTableProc(benchmark::State& state, int64_t count) {
  if (!Load(state, count)) return;
  for (auto _ : state) benchmark::DoNotOptimize(platform::tcp_table_internal::ReadViaProc());
  SetRows(state);
}

// The choice alone, over a fake table holding the same ports as the real one.
void WalkSameTable(benchmark::State& state, int64_t count) {
  if (!Load(state, count)) return;
  const transport::UsedPorts used(TablePorts());
  platform::ReseedFromTimeOfDay();
  for (auto _ : state) {
    benchmark::DoNotOptimize(transport::PickFreePort(kPeerBase, used, platform::NextRandom));
  }
  SetRows(state);
}

// The choice alone over a fake table whose `count` ports fill 9000 upwards, where every
// outbound walk starts: its longest walks.
void WalkDenseTable(benchmark::State& state, int64_t count) {
  std::vector<uint16_t> ports;
  for (int64_t p = 9000; p < 9000 + count && p <= 65535; ++p)
    ports.push_back(static_cast<uint16_t>(p));
  const transport::UsedPorts used(ports);
  platform::ReseedFromTimeOfDay();
  for (auto _ : state) {
    benchmark::DoNotOptimize(transport::PickFreePort(kPeerBase, used, platform::NextRandom));
  }
  state.counters["rows"] = static_cast<double>(ports.size());
}

// The whole call when this process's deliveries left every port of the walk's range in
// TIME_WAIT, as in a sustained run past the port rule's ceiling: the walk steps through about
// 560 remembered candidates to 65535 without asking the system. Fills the process's memory, so
// it runs last.
void PickFreePortFullMemory(benchmark::State& state, int64_t) {
  transport::PortMemory& memory = transport::PortMemory::Process();
  for (int32_t port = 9000; port <= 65535; ++port) {
    memory.Hold(port);
    memory.Release(port, /*closed_first=*/true);
  }
  for (auto _ : state) benchmark::DoNotOptimize(transport::PickFreePort(kPeerBase));
  state.counters["rows"] = 65535 - 9000 + 1;
}

// Keeps the median of each case's repetitions, and prints the console table as usual.
class CollectingReporter final : public benchmark::ConsoleReporter {
 public:
  CollectingReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred) {
        results_[r.run_name.function_name] = {-1, 0};
      } else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        double rows = r.counters.count("rows") ? static_cast<double>(r.counters.at("rows")) : 0;
        // The unit of every case is microseconds.
        results_[r.run_name.function_name] = {r.GetAdjustedRealTime(), rows};
      }
    }
  }
  void PrintResults() const {
    for (const std::string& name : order_) {
      auto it = results_.find(name);
      if (it == results_.end()) continue;
      std::printf("RESULT %s %.3f %.0f\n", name.c_str(), it->second.first, it->second.second);
    }
  }
  std::vector<std::string> order_;

 private:
  std::map<std::string, std::pair<double, double>> results_;
};

int Probe() {
  std::vector<double> read, pick;
  size_t rows = 0;
  int32_t port = 0;
  for (int i = 0; i < 21; ++i) {
    int64_t t0 = NowNs();
    rows = TablePorts().size();
    int64_t t1 = NowNs();
    port = transport::PickFreePort(kPeerBase);
    int64_t t2 = NowNs();
    read.push_back(static_cast<double>(t1 - t0) / 1e3);
    pick.push_back(static_cast<double>(t2 - t1) / 1e3);
  }
  std::printf("rows=%zu read_us=%.1f pick_us=%.1f port=%d\n", rows, Median(read), Median(pick),
              port);
  return 0;
}

}  // namespace
}  // namespace qz::bench

int main(int argc, char** argv) {
  using namespace qz::bench;
  RaiseDescriptorLimit();
  if (argc > 1 && std::strcmp(argv[1], "--probe") == 0) return Probe();
  const bool isolated = EnterOwnNetworkNamespace();
  std::fprintf(stderr, "qz_port_bench: %s network namespace\n", isolated ? "own" : "shared");

  CollectingReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  using Case = void (*)(benchmark::State&, int64_t);
  const std::pair<const char*, Case> cases[] = {
      {"PickFreePort", PickFreePortReal}, {"ReadTable", ReadTable},
      {"ReadTableProc", ReadTableProc},   {"WalkSameTable", WalkSameTable},
      {"WalkDenseTable", WalkDenseTable},
  };
  // Size first: the endpoints only ever grow, so every case of one size runs before the next.
  for (int64_t count : {100, 1000, 10000}) {
    for (const auto& [family, fn] : cases) {
      const std::string name = std::string(family) + "_" + std::to_string(count);
      benchmark::RegisterBenchmark(name.c_str(), fn, count)
          ->Unit(benchmark::kMicrosecond)
          ->MinTime(0.1)
          ->Repetitions(3)
          ->ReportAggregatesOnly(true);
      reporter.order_.push_back(name);
    }
  }
  benchmark::RegisterBenchmark("PickFreePortFullMemory", PickFreePortFullMemory, 0)
      ->Unit(benchmark::kMicrosecond)
      ->MinTime(0.1)
      ->Repetitions(3)
      ->ReportAggregatesOnly(true);
  reporter.order_.push_back("PickFreePortFullMemory");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.PrintResults();
  return 0;
}
