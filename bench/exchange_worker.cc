#include "exchange_worker.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "endpoints.h"
#include "exchange.h"
#include "platform/tcp_table.h"
#include "port_rule.h"
#include "qzpub.h"
#include "transport/port_choice.h"
#include "util.h"

namespace qz::bench {
namespace {

constexpr int64_t kRoundTimeoutNs = 120'000'000'000;
constexpr int32_t kPeerBase = 1;  // 127.0.0.1

std::string Error(const Status& s) { return "error " + s.ToString(); }

// One broadcast to n receivers; the time from the call until the last receiver has the whole
// message.
Result<double> TimedRound(Exchange& x, int n) {
  Arrivals& a = x.arrivals();
  const int64_t target = a.count() + n;
  a.WakeAt(target);
  const int64_t start = NowNs();
  if (Status s = x.Broadcast(); !s.ok()) return s;
  while (a.count() < target) {
    if (NowNs() - start > kRoundTimeoutNs) {
      return Status::Error(errc::kWsaTimedOut, std::to_string(target - a.count()) + " of " +
                                                   std::to_string(n) + " messages lost");
    }
    x.Pump(100);
  }
  const double us = static_cast<double>(a.LatestNs() - start) / 1e3;
  // What the sender still has queued (its objects' last events) is done before the next round.
  for (int i = 0; i < 3; ++i) x.Pump(0);
  return us;
}

// Takes a port from the shadow as the port rule would at time now, released at once (the sender
// closes first, straight after its write).
void ShadowPick(PortRuleMemory& shadow, int64_t now) {
  const int32_t port = shadow.Pick(kPeerBase, now, static_cast<uint64_t>(now));
  if (port != 0) shadow.Release(static_cast<uint16_t>(port), now);
}

// PickFreePort in this process, which remembers the ports its deliveries left in TIME_WAIT, as
// a delivery's walk does; the system is asked (a bind probe here) only about the other
// candidates, and *probes counts those questions over the n calls. The median of n calls, in
// microseconds, each call's time in *each; *port the last result.
double TimePickFreePort(int n, int32_t* port, int64_t* probes = nullptr,
                        std::vector<double>* each = nullptr) {
  std::vector<double> samples;
  int64_t asked = 0;
  for (int i = 0; i < n; ++i) {
    const int64_t t0 = NowNs();
    *port = transport::PickFreePort(kPeerBase, [&asked](int64_t candidate) {
      ++asked;
      return platform::LocalTcpPortInUse(static_cast<uint16_t>(candidate));
    });
    samples.push_back(static_cast<double>(NowNs() - t0) / 1e3);
  }
  if (probes != nullptr) *probes = asked;
  if (each != nullptr) *each = samples;
  return Median(samples);
}

struct RateResult {
  int64_t sent = 0;
  int64_t failed = 0;        // messages that could not be started
  int64_t received = 0;      // within the measured time
  int64_t undelivered = 0;   // started, then reported undelivered (the component)
  int32_t last_failure = 0;  // the number of the last of those
  int64_t lost = 0;          // never received nor reported undelivered, after a grace period
  double seconds = 0;
  double sender_cpu_us = 0;  // per received message: the sending thread
  double others_cpu_us = 0;  // the rest of the process: the receivers
  // The slowest PickFreePort of samples taken during the run, and the TIME_WAIT count then.
  double pick_max_us = 0;
  int64_t pick_max_time_wait = 0;
  int64_t pick_max_probes = 0;        // the system asked, over that sample's calls
  std::vector<double> pick_max_each;  // that sample's calls
};

// Samples PickFreePort (and the table's TIME_WAIT count) into r, keeping the slowest; returns
// the sending thread's CPU time it took, which is not the exchange's.
int64_t SamplePortChoice(RateResult& r) {
  const int64_t cpu0 = CpuNs(CLOCK_THREAD_CPUTIME_ID);
  int32_t port = 0;
  int64_t probes = 0;
  std::vector<double> each;
  // A call that other work on this processor interrupts (past 60 s the system reaps the run's
  // TIME_WAIT sockets in bursts) takes far longer than the walk: 15 calls, so that the median
  // is the walk's own time, and every call's time goes into the report.
  const double us = TimePickFreePort(15, &port, &probes, &each);
  if (us > r.pick_max_us) {
    r.pick_max_us = us;
    r.pick_max_probes = probes;
    r.pick_max_each = each;
    r.pick_max_time_wait = ReadTcpTableSummary().time_wait;
  }
  return CpuNs(CLOCK_THREAD_CPUTIME_ID) - cpu0;
}

// As many messages as the exchange takes, at most `window` of them in flight at a time. With a
// shadow, the times of the sends are replayed afterwards through it, each taking a port as the
// port rule would, to estimate the walks of an exchange that does not count them; replayed after
// the run so that its work is not the sender's.
RateResult SustainedRate(Exchange& x, double seconds, int window, PortRuleMemory* shadow) {
  Arrivals& a = x.arrivals();
  const int64_t base = a.count();
  std::vector<int64_t> send_times;
  if (shadow != nullptr) send_times.reserve(static_cast<size_t>(seconds * 20'000));
  const int64_t thread0 = CpuNs(CLOCK_THREAD_CPUTIME_ID);
  const int64_t process0 = CpuNs(CLOCK_PROCESS_CPUTIME_ID);
  const int64_t start = NowNs();
  const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
  RateResult r;
  x.CountUndelivered();
  const int64_t undelivered0 = x.undelivered();
  auto settled = [&] { return a.count() - base + x.undelivered() - undelivered0; };
  // Port choice is sampled eight times in the run, the last near its end, when the most ports
  // are in TIME_WAIT.
  const int64_t sample_every = (end - start) / 8;
  int64_t next_sample = start + sample_every;
  int64_t sampling_cpu = 0;
  while (NowNs() < end) {
    if (NowNs() >= next_sample) {
      sampling_cpu += SamplePortChoice(r);
      next_sample += sample_every;
    }
    if (r.sent - settled() < window) {
      if (x.Broadcast().ok()) {
        ++r.sent;
        if (shadow != nullptr) send_times.push_back(NowNs());
      } else {
        ++r.failed;
      }
      continue;
    }
    // The next arrival frees a slot; an undelivered message is reported by the loop, which
    // ends the Pump as well.
    a.WakeAt(a.count() + 1);
    x.Pump(100);
  }
  r.received = a.count() - base;
  r.seconds = static_cast<double>(NowNs() - start) / 1e9;
  const double thread_ns =
      static_cast<double>(CpuNs(CLOCK_THREAD_CPUTIME_ID) - thread0 - sampling_cpu);
  const double process_ns = static_cast<double>(CpuNs(CLOCK_PROCESS_CPUTIME_ID) - process0);
  const double messages = static_cast<double>(std::max<int64_t>(r.received, 1));
  r.sender_cpu_us = thread_ns / messages / 1e3;
  r.others_cpu_us = (process_ns - thread_ns) / messages / 1e3;
  for (int64_t t : send_times) ShadowPick(*shadow, t);
  const int64_t grace = NowNs() + 5'000'000'000;
  while (settled() < r.sent && NowNs() < grace) {
    a.WakeAt(a.count() + r.sent - settled());
    x.Pump(100);
  }
  r.undelivered = x.undelivered() - undelivered0;
  r.last_failure = x.last_failure();
  r.lost = r.sent - settled();
  return r;
}

// Port choice and the recipient scan as they cost now, in this namespace's TCP table: the
// table's size and read time from qz_port_bench, PickFreePort from this process.
std::string ProbeCosts(const Context& ctx, const std::string& uri) {
  std::string out;
  Result<std::string> table = RunAndCapture(ctx.port_bench_path, {"--probe"});
  out += table.ok() ? table->substr(0, table->find(" pick_us=")) : "port_probe=failed";
  int32_t port = 0;
  const double us = TimePickFreePort(21, &port);
  out += " pick_us=" + Fixed(us, 1) + " port=" + std::to_string(port);
  if (uri.empty()) return out;
  return out + " db_us=" + Fixed(TimeRecipientScan(uri, 200), 1);
}

std::unique_ptr<Exchange> MakeExchange(ExchangeKind kind, const std::string& uri) {
  switch (kind) {
    case ExchangeKind::kComponent:
      return MakeComponentExchange(uri);
    case ExchangeKind::kRawBind:
      return MakeRawBindExchange();
    case ExchangeKind::kRaw:
      break;
  }
  return MakeRawExchange();
}

// How often the walk left the range: counted by the exchange itself where it binds by the rule,
// else estimated from the shadow.
std::string WalkCounters(const Exchange& x, const PortRuleMemory* shadow) {
  if (!x.Counters().empty()) return " counted " + x.Counters();
  if (shadow == nullptr) return "";
  return " estimated picks=" + std::to_string(shadow->picks()) +
         " escapes=" + std::to_string(shadow->escapes()) +
         " walk_steps=" + std::to_string(shadow->steps());
}

// The body of an exchange worker; requests as exchange_worker.h says.
Worker::Body ExchangeBody(const Context& ctx, ExchangeKind kind, std::string uri, int receivers,
                          int64_t endpoints) {
  const bool component = kind == ExchangeKind::kComponent;
  return [&ctx, kind, component, uri, receivers, endpoints](Channel& parent) {
    std::unique_ptr<EndpointHolder> holder;
    std::unique_ptr<Exchange> x;
    return ServeLines(parent, [&](const std::string& line) -> std::string {
      std::istringstream in(line);
      std::string op;
      in >> op;
      if (op == "start") {
        if (endpoints > 0) {
          // Forked before any thread starts; it opens the endpoints once the receivers are
          // up, so that their start costs what it costs on an idle machine.
          Result<std::unique_ptr<EndpointHolder>> h = EndpointHolder::Fork();
          if (!h.ok()) return Error(h.status());
          holder = std::move(h).value();
        }
        x = MakeExchange(kind, uri);
        if (Status s = x->Start(receivers); !s.ok()) return Error(s);
        if (holder) {
          if (Status s = holder->Open(endpoints); !s.ok()) return Error(s);
        }
        return "ok " + std::to_string(ReadTcpTableSummary().rows);
      }
      if (!x) return "error not started";
      if (op == "warm") {
        // One untimed broadcast, so that no timed round is any receiver's first: a receiver's
        // first message also pays for its thread's first use of its stack and heap, and the
        // sender's first scan of the rows.
        Result<double> us = TimedRound(*x, receivers);
        return us.ok() ? "ok" : "error warm-up: " + us.status().ToString();
      }
      if (op == "round") {
        const int64_t rows = ReadTcpTableSummary().rows;
        Result<double> us = TimedRound(*x, receivers);
        if (!us.ok()) return Error(us.status());
        return "ok " + Fixed(*us, 1) + " " + std::to_string(rows);
      }
      if (op == "latency") {
        int k = 0;
        in >> k;
        std::string reply = "ok";
        for (int i = 0; i < k; ++i) {
          Result<double> us = TimedRound(*x, receivers);
          if (!us.ok()) return Error(us.status());
          reply.append(" ").append(Fixed(*us, 1));
        }
        return reply;
      }
      if (op == "rate") {
        double seconds = 0;
        int window = 0;
        in >> seconds >> window;
        auto shadow = component ? std::make_unique<PortRuleMemory>() : nullptr;
        RateResult r = SustainedRate(*x, seconds, window, shadow.get());
        TcpTableSummary t = ReadTcpTableSummary();
        std::ostringstream o;
        o << "ok sent=" << r.sent << " failed=" << r.failed << " received=" << r.received
          << " undelivered=" << r.undelivered << " last_failure=" << r.last_failure
          << " lost=" << r.lost << " seconds=" << Fixed(r.seconds, 3) << " rows=" << t.rows
          << " time_wait=" << t.time_wait << " time_wait_9000_32767=" << t.time_wait_in_bound_range
          << " cpu_sender_us=" << Fixed(r.sender_cpu_us, 2)
          << " cpu_receiver_us=" << Fixed(r.others_cpu_us, 2)
          << " pick_max_us=" << Fixed(r.pick_max_us, 1)
          << " pick_max_time_wait=" << r.pick_max_time_wait
          << " pick_max_probes=" << r.pick_max_probes
          << " pick_max_each=" << SlashList(r.pick_max_each);
        o << WalkCounters(*x, shadow.get());
        return o.str();
      }
      if (op == "probe") return "ok " + ProbeCosts(ctx, component ? uri : "");
      return "error unknown request " + op;
    });
  };
}

}  // namespace

std::unique_ptr<Worker> StartExchangeWorker(Context& ctx, ExchangeKind kind, int receivers,
                                            int64_t endpoints, const Worker* share_with) {
  const std::string uri = kind == ExchangeKind::kComponent ? ctx.NewSqliteUri() : "";
  return Worker::Start(ExchangeBody(ctx, kind, uri, receivers, endpoints), share_with);
}

Status MakeReady(Worker* w) {
  if (w == nullptr) return Status::Error(errc::kOutOfMemory, "cannot fork a worker");
  for (const char* step : {"start", "warm"}) {
    std::optional<std::string> r = w->Call(step);
    if (!r || r->rfind("ok", 0) != 0) {
      return Status::Error(errc::kInvalidArgument,
                           std::string("worker ") + step + ": " + r.value_or("worker died"));
    }
  }
  return Status::OK();
}

Result<Pair> StartPair(Context& ctx, int receivers, int64_t endpoints) {
  Pair p;
  p.component = StartExchangeWorker(ctx, ExchangeKind::kComponent, receivers, endpoints, nullptr);
  if (Status s = MakeReady(p.component.get()); !s.ok()) return s;
  p.raw = StartExchangeWorker(ctx, ExchangeKind::kRaw, receivers, 0,
                              endpoints > 0 ? p.component.get() : nullptr);
  if (Status s = MakeReady(p.raw.get()); !s.ok()) return s;
  p.isolated = p.component->isolated() && p.raw->isolated();
  return p;
}

// Splits "ok a b c" into its numbers; empty when the reply is not "ok".
std::vector<double> Numbers(const std::optional<std::string>& reply) {
  std::vector<double> v;
  if (!reply || reply->rfind("ok", 0) != 0) return v;
  std::istringstream in(reply->substr(2));
  double d;
  while (in >> d) v.push_back(d);
  return v;
}

std::string TextField(const std::string& reply, const std::string& key) {
  size_t at = reply.find(" " + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  return reply.substr(at, reply.find(' ', at) - at);
}

double TimeRecipientScan(const std::string& uri, int times) {
  // The scan that each SendMessage makes: the database made current, then every matching row.
  int32_t h = qzpub_Connect(uri.c_str());
  if (h <= 0) return -1;
  std::vector<double> samples;
  for (int i = 0; i < times; ++i) {
    const int64_t t0 = NowNs();
    sysMSSQLUses(h, "qz_sys");
    YHDLRecord record{};
    int32_t cursor = userYHDL_GetFirst(h, &record, " YH05 = 'bench' And  YH06 = 'rx' ");
    if (cursor > 0) {
      while (userYHDL_GetNext(cursor, &record) == 1) {
      }
    }
    samples.push_back(static_cast<double>(NowNs() - t0) / 1e3);
  }
  qzpub_Disconnect(h);
  return Median(samples);
}

// The value of key=VALUE in a reply, or -1.
double Field(const std::string& reply, const std::string& key) {
  const std::string text = TextField(reply, key);
  return text.empty() ? -1 : std::strtod(text.c_str(), nullptr);
}

}  // namespace qz::bench
