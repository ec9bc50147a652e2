// Fan-out and latency: the same exchange timed through the component and raw, each in a worker
// with a network namespace of its own, rounds alternating between the two.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "exchange_worker.h"
#include "figures.h"
#include "util.h"

namespace qz::bench {
namespace {

struct Plan {
  int receivers;
  int pairs;   // at most this many worker pairs, each fresh
  int rounds;  // timed rounds per pair
};

// No more rounds are started once the component's rounds of one case have taken this long: a
// slow component must not make the run take hours. At least one round is always timed.
constexpr double kCaseBudgetUs = 25e6;

void FanoutCase(Context& ctx, Report& report, const Plan& plan, int64_t endpoints) {
  const std::string label = endpoints > 0 ? "10k" : "idle";
  std::vector<double> comp, raw, comp_rows, raw_rows;
  std::string failure;
  bool isolated = true;
  double spent_us = 0;
  bool cut = false;
  for (int p = 0; p < plan.pairs && failure.empty() && !cut; ++p) {
    Result<Pair> pair = StartPair(ctx, plan.receivers, endpoints);
    if (!pair.ok()) {
      failure = pair.status().message();
      break;
    }
    isolated = isolated && pair->isolated;
    for (int r = 0; r < plan.rounds; ++r) {
      if (spent_us > kCaseBudgetUs) {
        cut = true;
        break;
      }
      // Alternating which goes first spreads any drift of the machine's load over both.
      Worker* order[2] = {pair->component.get(), pair->raw.get()};
      if ((p + r) % 2 == 1) std::swap(order[0], order[1]);
      for (Worker* w : order) {
        std::optional<std::string> reply = w->Call("round");
        std::vector<double> v = Numbers(reply);
        if (v.size() != 2) {
          failure = reply.value_or("worker died");
          break;
        }
        if (w == pair->component.get()) spent_us += v[0];
        (w == pair->component.get() ? comp : raw).push_back(v[0] / 1e3);
        (w == pair->component.get() ? comp_rows : raw_rows).push_back(v[1]);
      }
      if (!failure.empty()) break;
    }
  }
  Row row;
  row.name = "fanout_" + label + "_n" + std::to_string(plan.receivers);
  row.what = "fan-out N=" + std::to_string(plan.receivers) +
             (endpoints > 0 ? ", 10,000 endpoints" : ", idle");
  row.unit = "ms";
  row.decimals = 2;
  if (!failure.empty() || comp.empty()) {
    row.skipped = true;
    row.note = "failed: " + failure;
  } else {
    row.value = Median(comp);
    row.raw = Median(raw);
    row.ratio = *row.raw / row.value;
    row.note = "median of " + std::to_string(comp.size()) + " rounds (raw " +
               std::to_string(raw.size()) + ")" + (cut ? ", cut short by the time budget" : "") +
               "; component " + Fixed(plan.receivers / row.value * 1e3, 0) + " msg/s, raw " +
               Fixed(plan.receivers / *row.raw * 1e3, 0) + " msg/s; TCP table at round start " +
               Fixed(Median(comp_rows), 0) + " rows (raw " + Fixed(Median(raw_rows), 0) + ")" +
               (isolated ? "" : "; in the machine's own network namespace");
  }
  if (plan.receivers == 128 || plan.receivers == 512) {
    row.target = "ratio >= 0.90";
    if (row.ratio) row.met = *row.ratio >= 0.9;
    if (row.met && !*row.met) {
      report.Note(row.name +
                  " held back by: the component's own work per recipient beside raw's connect, "
                  "write and close, on the two cores that the sender and every receiver share: "
                  "CPU per message at each end (cpu_per_message_*, from the sustained run) and "
                  "its system calls and user instructions (--profile) say how much");
    }
  }
  std::printf("  %s: component %s ms, raw %s ms\n", row.name.c_str(), Fixed(row.value, 2).c_str(),
              row.raw ? Fixed(*row.raw, 2).c_str() : "-");
  std::fflush(stdout);
  report.Add(row);
}

}  // namespace

void RunFanoutFigures(Context& ctx, Report& report) {
  // Workers (pairs) times rounds per pair; fewer where a round is long.
  const std::vector<Plan> idle =
      ctx.quick ? std::vector<Plan>{{1, 1, 5}, {16, 1, 3}, {128, 1, 2}, {512, 1, 1}}
                : std::vector<Plan>{{1, 3, 10}, {16, 3, 5}, {128, 3, 5}, {512, 3, 5}};
  const std::vector<Plan> loaded =
      ctx.quick ? std::vector<Plan>{{1, 1, 3}, {16, 1, 2}, {128, 1, 1}, {512, 1, 1}}
                : std::vector<Plan>{{1, 2, 5}, {16, 2, 3}, {128, 3, 5}, {512, 3, 5}};
  auto wanted = [&](const Plan& plan) {
    for (int n : ctx.fanout_sizes) {
      if (n == plan.receivers) return true;
    }
    return false;
  };
  std::printf("fan-out, idle machine\n");
  for (const Plan& plan : idle) {
    if (wanted(plan)) FanoutCase(ctx, report, plan, 0);
  }
  std::printf("fan-out, 10,000 other endpoints\n");
  for (const Plan& plan : loaded) {
    if (wanted(plan)) FanoutCase(ctx, report, plan, 10000);
  }
}

void RunLatencyFigure(Context& ctx, Report& report) {
  std::printf("latency, one receiver\n");
  const int batches = ctx.quick ? 2 : 10;
  const int per_batch = 100;
  std::vector<double> comp, raw;
  std::string failure;
  for (int b = 0; b < batches && failure.empty(); ++b) {
    // A fresh pair per batch: the TCP table holds at most one batch's TIME_WAIT rows.
    Result<Pair> pair = StartPair(ctx, 1, 0);
    if (!pair.ok()) {
      failure = pair.status().message();
      break;
    }
    Worker* order[2] = {pair->component.get(), pair->raw.get()};
    if (b % 2 == 1) std::swap(order[0], order[1]);
    for (Worker* w : order) {
      std::optional<std::string> reply = w->Call("latency " + std::to_string(per_batch));
      std::vector<double> v = Numbers(reply);
      if (v.size() != per_batch) {
        failure = reply.value_or("worker died");
        break;
      }
      std::vector<double>& into = w == pair->component.get() ? comp : raw;
      into.insert(into.end(), v.begin(), v.end());
    }
  }
  for (double p : {50.0, 99.0}) {
    Row row;
    row.name = p == 50 ? "latency_p50" : "latency_p99";
    row.what = p == 50 ? "latency p50, idle" : "latency p99, idle";
    row.unit = "us";
    if (!failure.empty() || comp.empty()) {
      row.skipped = true;
      row.note = "failed: " + failure;
    } else {
      row.value = Percentile(comp, p);
      row.raw = Percentile(raw, p);
      row.ratio = *row.raw / row.value;
      row.note = std::to_string(comp.size()) + " samples each, in batches of " +
                 std::to_string(per_batch) + " from fresh namespaces";
    }
    if (p == 99) {
      row.target = "< 1000 us";
      if (!row.skipped) row.met = row.value < 1000;
    } else {
      row.target = "ratio >= 0.60";
      if (row.ratio) row.met = *row.ratio >= 0.6;
    }
    report.Add(row);
  }
}

}  // namespace qz::bench
