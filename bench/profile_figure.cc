// --profile: system calls (strace) and user instructions (callgrind) per delivered message, at
// the sender and at the receiver apart, for the component and raw.
//
// Each count runs this executable afresh (--profile-run) twice, with K1 and K2 messages, and
// takes (count(K2) - count(K1)) / (K2 - K1): start-up and shut-down cancel out. The sender is the
// process's first thread; the receiver side is every other thread. Both sides include the
// harness's own signalling of an arrival (one eventfd write at the receiver, one wait and one
// read at the sender), alike for component and raw.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "exchange.h"
#include "figures.h"
#include "util.h"
#include "worker.h"

namespace qz::bench {
namespace {

constexpr int64_t kMessageTimeoutNs = 60'000'000'000;
// The harness's system calls per message: at the sender a wait that sees the eventfd and two
// reads that drain it (the second finds it empty); at the receiver the eventfd write.
constexpr double kHarnessSenderCalls = 3;
constexpr double kHarnessReceiverCalls = 1;

// What one thread did: system calls by name, or instructions under "Ir".
using Counts = std::map<std::string, double>;
struct Sides {
  Counts sender, receiver;
};

std::string Which(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string full = dir + "/" + name;
    if (access(full.c_str(), X_OK) == 0) return full;
  }
  return {};
}

// Files in dir whose names start with prefix.
std::vector<std::string> FilesStartingWith(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

// One strace -ff file: each line a system call, signals and the exit aside.
Counts SyscallsOf(const std::string& path) {
  Counts counts;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line.rfind("---", 0) == 0 || line.rfind("+++", 0) == 0 ||
        line.rfind("<...", 0) == 0) {
      continue;
    }
    counts[line.substr(0, line.find('('))] += 1;
  }
  return counts;
}

// One callgrind file: its total of executed instructions.
Counts InstructionsOf(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  double summary = 0;
  while (std::getline(in, line)) {
    if (line.rfind("totals:", 0) == 0) return {{"Ir", std::atof(line.c_str() + 7)}};
    if (line.rfind("summary:", 0) == 0) summary = std::atof(line.c_str() + 8);
  }
  return {{"Ir", summary}};
}

void AddInto(Counts& into, const Counts& from) {
  for (const auto& [k, v] : from) into[k] += v;
}

// Runs this executable's --profile-run under a tool, messages deep, and splits its threads.
Result<Sides> Measure(Context& ctx, bool callgrind, const std::string& kind, int messages) {
  const std::string tool = Which(callgrind ? "valgrind" : "strace");
  if (tool.empty())
    return Status::Error(errc::kFileNotFound, callgrind ? "no valgrind" : "no strace");
  const std::string dir = ctx.temp_dir;
  const std::string stem =
      std::string(callgrind ? "cg" : "st") + "_" + kind + "_" + std::to_string(messages);
  std::vector<std::string> args;
  if (callgrind) {
    args = {"-q", "--tool=callgrind", "--separate-threads=yes",
            "--callgrind-out-file=" + dir + "/" + stem + ".%p"};
  } else {
    args = {"-f", "-ff", "-qq", "-o", dir + "/" + stem};
  }
  const std::string uri = kind == "component" ? ctx.NewSqliteUri() : "-";
  for (const std::string& a :
       {ctx.self_path, std::string("--profile-run"), kind, std::to_string(messages), uri}) {
    args.push_back(a);
  }
  Result<std::string> out = RunAndCapture(tool, args);
  if (!out.ok()) return out.status();
  const size_t at = out->find("pid=");
  if (at == std::string::npos) return Status::Error(errc::kInvalidArgument, "no pid: " + *out);
  const std::string pid = std::to_string(std::atoi(out->c_str() + at + 4));
  // strace names each thread's file STEM.TID, the first thread's TID being the pid; callgrind
  // names them STEM.PID-NN, the first thread NN = 01.
  const std::string first = stem + "." + pid + (callgrind ? "-01" : "");
  Sides sides;
  for (const std::string& name : FilesStartingWith(dir, stem + ".")) {
    const Counts c = callgrind ? InstructionsOf(dir + "/" + name) : SyscallsOf(dir + "/" + name);
    AddInto(name == first ? sides.sender : sides.receiver, c);
  }
  if (sides.sender.empty()) return Status::Error(errc::kInvalidArgument, "no trace of " + first);
  return sides;
}

// Per message: the difference between a deep and a shallow run.
Counts PerMessage(const Counts& deep, const Counts& shallow, int messages) {
  Counts per;
  for (const auto& [k, v] : deep) {
    auto it = shallow.find(k);
    per[k] = (v - (it == shallow.end() ? 0 : it->second)) / messages;
  }
  return per;
}

double Total(const Counts& c) {
  double sum = 0;
  for (const auto& [k, v] : c) sum += v;
  return sum;
}

// "epoll_wait 2.0, read 1.0, ..." for counts of at least 0.5 per message, largest first.
std::string Breakdown(const Counts& c) {
  std::multimap<double, std::string, std::greater<>> order;
  for (const auto& [k, v] : c) {
    if (v >= 0.5) order.emplace(v, k);
  }
  std::string text;
  for (const auto& [v, k] : order) text += (text.empty() ? "" : ", ") + k + " " + Fixed(v, 1);
  return text;
}

struct Profile {
  std::map<std::string, Sides> by_kind;  // "component", "raw"
  std::string failure;
};

Profile MeasureAll(Context& ctx, bool callgrind, int shallow, int deep) {
  Profile p;
  for (const std::string kind : {"component", "raw"}) {
    std::printf("  %s, %s, %d and %d messages\n", callgrind ? "callgrind" : "strace", kind.c_str(),
                shallow, deep);
    std::fflush(stdout);
    Result<Sides> a = Measure(ctx, callgrind, kind, shallow);
    Result<Sides> b = a.ok() ? Measure(ctx, callgrind, kind, deep) : a.status();
    if (!b.ok()) {
      p.failure = kind + ": " + b.status().message();
      return p;
    }
    Sides& per = p.by_kind[kind];
    per.sender = PerMessage(b->sender, a->sender, deep - shallow);
    per.receiver = PerMessage(b->receiver, a->receiver, deep - shallow);
  }
  return p;
}

void AddSideRow(Report& report, const Profile& p, bool callgrind, bool sender,
                const std::string& detail) {
  Row row;
  const std::string side = sender ? "sender" : "receiver";
  row.name = std::string(callgrind ? "instructions_" : "syscalls_") + side;
  row.what =
      std::string(callgrind ? "user instructions" : "system calls") + " per message, " + side;
  row.unit = callgrind ? "instr" : "calls";
  row.decimals = callgrind ? 0 : 1;
  if (!p.failure.empty()) {
    row.skipped = true;
    row.note = "failed: " + p.failure;
    report.Add(row);
    return;
  }
  auto pick = [&](const std::string& kind) -> const Counts& {
    const Sides& s = p.by_kind.at(kind);
    return sender ? s.sender : s.receiver;
  };
  row.value = Total(pick("component"));
  row.raw = Total(pick("raw"));
  row.ratio = *row.raw / row.value;
  if (!callgrind) {
    const double harness = sender ? kHarnessSenderCalls : kHarnessReceiverCalls;
    row.target = std::string(sender ? "<= 12" : "<= 10") + " + " + Fixed(harness, 0);
    row.met = row.value - harness <= (sender ? 12 : 10);
    row.note = "component: " + Breakdown(pick("component")) + "; raw: " + Breakdown(pick("raw"));
  }
  row.note += (row.note.empty() ? "" : "; ") + detail;
  report.Add(row);
}

}  // namespace

int ProfileRun(const std::string& kind, int messages, const std::string& db_uri, int receivers) {
  EnterOwnNetworkNamespace();  // still one thread here
  std::unique_ptr<Exchange> x =
      kind == "component" ? MakeComponentExchange(db_uri) : MakeRawExchange();
  if (Status s = x->Start(receivers); !s.ok()) {
    std::fprintf(stderr, "profile run: %s\n", s.ToString().c_str());
    std::fflush(stderr);
    _exit(1);
  }
  // The first message warms up; each message is delivered before the next starts.
  Arrivals& a = x->arrivals();
  int64_t thread0 = 0, process0 = 0, wall0 = 0;
  rusage usage0{};
  for (int i = 0; i <= messages; ++i) {
    if (i == 1) {
      thread0 = CpuNs(CLOCK_THREAD_CPUTIME_ID);
      process0 = CpuNs(CLOCK_PROCESS_CPUTIME_ID);
      wall0 = NowNs();
      getrusage(RUSAGE_THREAD, &usage0);
    }
    const int64_t target = a.count() + receivers;
    a.WakeAt(target);
    Status s = x->Broadcast();
    const int64_t start = NowNs();
    while (s.ok() && a.count() < target && NowNs() - start < kMessageTimeoutNs) x->Pump(100);
    if (!s.ok() || a.count() < target) {
      std::fprintf(stderr, "profile run: message %d lost %s\n", i, s.ToString().c_str());
      std::fflush(stderr);
      _exit(1);
    }
  }
  const double sender_ns = static_cast<double>(CpuNs(CLOCK_THREAD_CPUTIME_ID) - thread0);
  const double process_ns = static_cast<double>(CpuNs(CLOCK_PROCESS_CPUTIME_ID) - process0);
  const double wall_ns = static_cast<double>(NowNs() - wall0);
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  for (int i = 0; i < 3; ++i) x->Pump(10);
  // For runs by hand, per message: the sender's thread and the rest of the process in CPU, the
  // wall time, how often the sender gave way to another thread (waiting, or preempted), and the
  // sender's time in user mode.
  std::printf(
      "pid=%d cpu_sender_us=%.2f cpu_receiver_us=%.2f wall_us=%.2f sender_waits=%.2f "
      "sender_preempted=%.2f sender_user_us=%.2f\n",
      static_cast<int>(getpid()), sender_ns / 1e3 / messages,
      (process_ns - sender_ns) / 1e3 / messages, wall_ns / 1e3 / messages,
      static_cast<double>(usage.ru_nvcsw - usage0.ru_nvcsw) / messages,
      static_cast<double>(usage.ru_nivcsw - usage0.ru_nivcsw) / messages,
      static_cast<double>((usage.ru_utime.tv_sec - usage0.ru_utime.tv_sec) * 1000000 +
                          (usage.ru_utime.tv_usec - usage0.ru_utime.tv_usec)) /
          messages);
  std::fflush(stdout);
  _exit(0);  // receivers run on threads that never end
}

void RunProfileFigure(Context& ctx, Report& report) {
  const int shallow = ctx.quick ? 10 : 20;
  const int deep = ctx.quick ? 60 : 120;
  std::printf("profile: per delivered message, sender and receiver\n");
  const std::string detail = "per message over messages " + std::to_string(shallow + 1) + ".." +
                             std::to_string(deep) + " of a fresh process";
  const Profile calls = MeasureAll(ctx, false, shallow, deep);
  AddSideRow(report, calls, false, true, detail);
  AddSideRow(report, calls, false, false, detail);
  const Profile instr = MeasureAll(ctx, true, shallow, deep);
  AddSideRow(report, instr, true, true, detail + " (callgrind)");
  AddSideRow(report, instr, true, false, detail + " (callgrind)");
  report.Note(
      "profile: the sender is the process's first thread, the receiver every other; both "
      "include the harness's signalling of an arrival, alike for component and raw: at the "
      "sender a wait and two reads of an eventfd, at the receiver one write; the targets add "
      "those");
}

}  // namespace qz::bench
