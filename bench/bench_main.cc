// qz_bench: how fast a message reaches everyone, measured side by side with raw sockets.
//
//   qz_bench [--quick] [--only=port,login,memory,latency,fanout,rate,cpu,profile]
//            [--fanout=1,16,128,512] [--rate-seconds=S] [--profile]
//
// --profile runs the profile figure alone (system calls and instructions per message); the
// other figures run unless --only names some.
//
// Every figure runs in child processes with network namespaces of their own where the system
// permits (root), loopback only. Prints progress, then the table, then one line per figure.
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "figures.h"
#include "report.h"
#include "util.h"

namespace qz::bench {

std::string Context::NewSqliteUri() {
  return "sqlite:" + temp_dir + "/presence" + std::to_string(next_db_++) + ".db";
}

namespace {

std::string SelfPath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

std::string FirstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

void RunPortChoice(Context& ctx, Report& report) {
  std::printf("PickFreePort (Google Benchmark table on standard error)\n");
  std::fflush(stdout);
  Result<std::string> out = RunAndCapture(ctx.port_bench_path, {});
  std::map<std::string, std::pair<double, double>> results;
  if (out.ok()) {
    std::istringstream in(*out);
    std::string tag, name;
    double us, rows;
    while (in >> tag >> name >> us >> rows) {
      if (tag == "RESULT") results[name] = {us, rows};
    }
  }
  for (int count : {100, 1000, 10000}) {
    const std::string n = std::to_string(count);
    const auto full = results.find("PickFreePort_" + n);
    const auto read = results.find("ReadTable_" + n);
    const auto proc = results.find("ReadTableProc_" + n);
    const auto walk = results.find("WalkSameTable_" + n);
    const auto dense = results.find("WalkDenseTable_" + n);
    Row row;
    row.name = "pickfreeport_" + n;
    row.what = "PickFreePort, " + n + " endpoints";
    row.unit = "us";
    row.decimals = 2;
    if (full == results.end() || full->second.first < 0) {
      row.skipped = true;
      row.note = out.ok() ? "failed" : "failed: " + out.status().message();
    } else {
      row.value = full->second.first;
      auto us = [&](auto it) {
        return it == results.end() || it->second.first < 0 ? std::string("-")
                                                           : Fixed(it->second.first, 2) + " us";
      };
      row.note = "table " + Fixed(full->second.second, 0) + " rows; reading it " + us(read) +
                 " (via /proc " + us(proc) + "); the walk alone over the same ports " + us(walk) +
                 ", over " + n + " ports filled from 9000 " + us(dense);
    }
    if (count == 10000) {
      row.target = "< 100 us";
      if (!row.skipped) row.met = row.value < 100;
    }
    report.Add(row);
    if (read != results.end() && read->second.first >= 0) {
      Row r;
      r.name = "tcp_table_read_" + n;
      r.what = "  reading the table alone";
      r.unit = "us";
      r.decimals = 2;
      r.value = read->second.first;
      report.Add(r);
    }
    if (walk != results.end() && walk->second.first >= 0) {
      Row r;
      r.name = "port_walk_fake_" + n;
      r.what = "  the choice alone, fake table";
      r.unit = "us";
      r.decimals = 3;
      r.value = walk->second.first;
      report.Add(r);
    }
  }
}

}  // namespace
}  // namespace qz::bench

int main(int argc, char** argv) {
  using namespace qz::bench;
  if (argc == 3 && std::strcmp(argv[1], "--probe-rss") == 0) return ProbeResidentSize(argv[2]);
  // KIND MESSAGES DB [RECEIVERS]: by hand, a broadcast to many under a profiler of one's choice.
  if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "--profile-run") == 0) {
    return ProfileRun(argv[2], std::atoi(argv[3]), argv[4], argc == 6 ? std::atoi(argv[5]) : 1);
  }

  Context ctx;
  std::set<std::string> only;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--quick") {
      ctx.quick = true;
    } else if (a == "--profile") {
      only.insert("profile");
    } else if (a.rfind("--rate-seconds=", 0) == 0) {
      ctx.rate_seconds = std::atof(a.c_str() + 15);
    } else if (a.rfind("--fanout=", 0) == 0) {
      ctx.fanout_sizes.clear();
      std::stringstream list(a.substr(9));
      std::string item;
      while (std::getline(list, item, ',')) ctx.fanout_sizes.push_back(std::atoi(item.c_str()));
    } else if (a.rfind("--only=", 0) == 0) {
      std::stringstream list(a.substr(7));
      std::string item;
      while (std::getline(list, item, ',')) only.insert(item);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick] [--only=port,login,memory,latency,fanout,rate,cpu,profile] "
                   "[--fanout=1,16,128,512] [--rate-seconds=S] [--profile]\n",
                   argv[0]);
      return 2;
    }
  }
  // The profile is slow (strace, callgrind) and runs only when asked for.
  auto wanted = [&](const char* figure) {
    return only.empty() ? std::strcmp(figure, "profile") != 0 : only.count(figure) > 0;
  };

  const uint64_t fds = RaiseDescriptorLimit();
  ctx.self_path = SelfPath();
  ctx.port_bench_path =
      std::filesystem::path(ctx.self_path).parent_path().append("qz_port_bench").string();
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qz_bench.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  ctx.temp_dir = pattern;

  std::printf("qz_bench: %ld cores, load average %s, descriptor limit %llu%s\n",
              sysconf(_SC_NPROCESSORS_ONLN), FirstLine("/proc/loadavg").c_str(),
              static_cast<unsigned long long>(fds), ctx.quick ? ", quick run" : "");
  std::fflush(stdout);
  const int64_t start = NowNs();
  Report report;
  if (wanted("port")) RunPortChoice(ctx, report);
  if (wanted("login")) RunLoginFigure(ctx, report);
  if (wanted("memory")) RunMemoryFigure(ctx, report);
  if (wanted("latency")) RunLatencyFigure(ctx, report);
  if (wanted("fanout")) RunFanoutFigures(ctx, report);
  if (wanted("rate")) RunRateFigure(ctx, report);
  if (wanted("cpu")) RunCpuFigure(ctx, report);
  if (wanted("profile")) RunProfileFigure(ctx, report);
  report.Note(
      "every figure measured in child processes, each in a network namespace of its own "
      "where permitted, loopback 127.0.0.1 only; ratios read higher-is-better, 1.00 = as "
      "fast as raw");
  report.Note("run took " + Fixed(static_cast<double>(NowNs() - start) / 1e9, 0) +
              " s; load average at the end " + FirstLine("/proc/loadavg"));
  report.Print();

  std::error_code ec;
  std::filesystem::remove_all(ctx.temp_dir, ec);
  return 0;
}
