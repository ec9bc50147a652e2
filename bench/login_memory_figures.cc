// Init + LogOut on each database, and what an idle client and an in-flight delivery cost in
// memory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "exchange.h"
#include "figures.h"
#include "pg_server.h"
#include "qz/message_loop.h"
#include "qz/net_message.h"
#include "qzpub.h"
#include "util.h"
#include "worker.h"

namespace qz::bench {
namespace {

constexpr const char* kPostgresBin = "/usr/lib/postgresql/15/bin";

Result<int32_t> Connect(const std::string& uri) {
  int32_t h = qzpub_Connect(uri.c_str());
  if (h <= 0) {
    return Status::Error(errc::kFileNotFound, "qzpub_Connect: " + std::string(qzpub_LastError()));
  }
  return h;
}

// "ok MEDIAN_INIT_LOGOUT MEDIAN_INIT MEDIAN_LOGOUT" in milliseconds, over `iterations` pairs.
std::string TimeInitLogOut(const std::string& uri, int iterations) {
  SetLocalIPOverride("127.0.0.1");
  Result<int32_t> h = Connect(uri);
  if (!h.ok()) return "error " + h.status().ToString();
  QZCLS_NetMessage net;
  std::vector<double> both, init, logout;
  for (int i = -3; i < iterations; ++i) {  // three to warm up
    const int64_t t0 = NowNs();
    if (Status s = net.Init(*h, "login", "bench", "lg"); !s.ok()) return "error " + s.ToString();
    const int64_t t1 = NowNs();
    if (Status s = net.LogOut(); !s.ok()) return "error " + s.ToString();
    const int64_t t2 = NowNs();
    if (i < 0) continue;
    both.push_back(static_cast<double>(t2 - t0) / 1e6);
    init.push_back(static_cast<double>(t1 - t0) / 1e6);
    logout.push_back(static_cast<double>(t2 - t1) / 1e6);
  }
  qzpub_Disconnect(*h);
  return "ok " + Fixed(Median(both), 3) + " " + Fixed(Median(init), 3) + " " +
         Fixed(Median(logout), 3);
}

void LoginCase(Context& ctx, Report& report, const std::string& name, const std::string& what,
               const std::string& uri, int iterations, const std::string& where) {
  std::unique_ptr<Worker> w = Worker::Start([&](Channel& parent) {
    return ServeLines(parent, [&](const std::string&) { return TimeInitLogOut(uri, iterations); });
  });
  std::optional<std::string> reply = w ? w->Call("run") : std::nullopt;
  Row row;
  row.name = name;
  row.what = what;
  row.unit = "ms";
  row.decimals = 2;
  std::vector<double> v;
  if (reply && reply->rfind("ok", 0) == 0) {
    std::istringstream in(reply->substr(2));
    double d;
    while (in >> d) v.push_back(d);
  }
  if (v.size() != 3) {
    row.skipped = true;
    row.note = "failed: " + reply.value_or("worker died");
  } else {
    row.value = v[0];
    row.note = "median of " + std::to_string(iterations) + "; Init " + Fixed(v[1], 2) +
               " ms, LogOut " + Fixed(v[2], 2) + " ms; " + where;
  }
  if (name == "init_logout_sqlite") {
    row.target = "< 5 ms";
    if (!row.skipped) row.met = row.value < 5;
  }
  (void)ctx;
  report.Add(row);
}

// A listener on 127.0.0.1 whose accept queue is full: later connections stay in SYN-SENT.
struct BlockedListener {
  int listener = -1;
  int filler = -1;
  uint16_t port = 0;
};

Result<BlockedListener> OpenBlockedListener() {
  BlockedListener b;
  b.listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (b.listener < 0 || bind(b.listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(b.listener, 0) != 0 ||
      getsockname(b.listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return Status::Error(errc::kWsaInvalidArgument,
                         std::string("listener: ") + std::strerror(errno));
  }
  b.port = ntohs(sa.sin_port);
  // A backlog of 0 holds one connection; this one fills it.
  b.filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (b.filler < 0 || connect(b.filler, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    return Status::Error(errc::kWsaInvalidArgument, std::string("filler: ") + std::strerror(errno));
  }
  return b;
}

size_t HeapInUse() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// Starts `k` deliveries that cannot complete (peers that never accept) and measures the heap
// they hold. "ok BYTES_PER_CONNECTION IN_FLIGHT".
std::string HeapPerInflight(const std::string& uri, int k) {
  SetLocalIPOverride("127.0.0.1");
  std::vector<BlockedListener> peers;
  for (int i = 0; i < k; ++i) {
    Result<BlockedListener> b = OpenBlockedListener();
    if (!b.ok()) return "error " + b.status().ToString();
    peers.push_back(*b);
  }
  Result<int32_t> h = Connect(uri);
  if (!h.ok()) return "error " + h.status().ToString();
  // One presence row per blocked peer, as a logged-in client there would publish it; the login
  // time keeps it from the purge of stale rows.
  char now[QZPUB_DATE_BUFFER_SIZE] = {};
  odbc_GetSysDateStr(*h, now);
  for (int i = 0; i < k; ++i) {
    YHDLRecord r{};
    std::snprintf(r.YH01, sizeof r.YH01, "sink%d", i);
    std::snprintf(r.YH02, sizeof r.YH02, "127.0.0.1");
    std::snprintf(r.YH03, sizeof r.YH03, "%u", peers[static_cast<size_t>(i)].port);
    std::snprintf(r.YH05, sizeof r.YH05, "bench");
    std::snprintf(r.YH06, sizeof r.YH06, "sink");
    std::snprintf(r.YH08, sizeof r.YH08, "%.19s", now);
    if (userYHDL_Insert(*h, &r) != 1) return std::string("error insert: ") + qzpub_LastError();
  }
  QZCLS_NetMessage sender;
  if (Status s = sender.Init(*h, "tx", "bench", "tx"); !s.ok()) return "error " + s.ToString();
  // Warm: one broadcast to nobody, so that lazily made state is not counted.
  if (Status s = sender.SendMessage(BenchMessageText(), "", "bench", "none"); !s.ok()) {
    return "error " + s.ToString();
  }
  for (int i = 0; i < 5; ++i) loop::DoEvents();
  malloc_trim(0);
  const size_t before = HeapInUse();
  if (Status s = sender.SendMessage(BenchMessageText(), "", "bench", "sink"); !s.ok()) {
    return "error " + s.ToString();
  }
  for (int i = 0; i < 5; ++i) loop::DoEvents();
  const size_t after = HeapInUse();
  const int64_t in_flight = ReadTcpTableSummary().syn_sent;
  if (in_flight <= 0) {
    const TcpTableSummary t = ReadTcpTableSummary();
    return "error no delivery stayed in flight (table " + std::to_string(t.rows) + " rows, " +
           std::to_string(t.time_wait) + " in TIME_WAIT)";
  }
  const double per = static_cast<double>(after - before) / static_cast<double>(in_flight);
  (void)sender.LogOut();
  return "ok " + Fixed(per, 0) + " " + std::to_string(in_flight);
}

}  // namespace

int ProbeResidentSize(const std::string& db_uri) {
  const int64_t before = ResidentKib();
  SetLocalIPOverride("127.0.0.1");
  Result<int32_t> h = Connect(db_uri);
  if (!h.ok()) {
    std::printf("error %s\n", h.status().ToString().c_str());
    return 1;
  }
  QZCLS_NetMessage net;
  if (Status s = net.Init(*h, "idle", "bench", "idle"); !s.ok()) {
    std::printf("error %s\n", s.ToString().c_str());
    return 1;
  }
  loop::RunFor(std::chrono::milliseconds(300));
  std::printf("%lld %lld\n", static_cast<long long>(before), static_cast<long long>(ResidentKib()));
  (void)net.LogOut();
  return 0;
}

void RunLoginFigure(Context& ctx, Report& report) {
  std::printf("Init + LogOut\n");
  const int iterations = ctx.quick ? 20 : 200;
  LoginCase(ctx, report, "init_logout_sqlite", "Init + LogOut, SQLite", ctx.NewSqliteUri(),
            iterations, "database file in " + ctx.temp_dir);

  std::unique_ptr<PostgresServer> server;
  std::string uri;
  std::string where;
  if (const char* env = std::getenv("QZ_BENCH_PG_URI"); env != nullptr && *env != '\0') {
    uri = env;
    where = "server from QZ_BENCH_PG_URI";
  } else {
    Result<std::unique_ptr<PostgresServer>> s = PostgresServer::Start(kPostgresBin, ctx.temp_dir);
    if (s.ok()) {
      server = std::move(s).value();
      uri = server->uri();
      where = "throwaway local server over a Unix socket";
    } else {
      Row row;
      row.name = "init_logout_postgresql";
      row.what = "Init + LogOut, PostgreSQL";
      row.unit = "ms";
      row.skipped = true;
      row.note =
          "skipped: no QZ_BENCH_PG_URI and no throwaway server (" + s.status().message() + ")";
      report.Add(row);
      return;
    }
  }
  LoginCase(ctx, report, "init_logout_postgresql", "Init + LogOut, PostgreSQL", uri,
            ctx.quick ? 10 : 100, where);
}

void RunMemoryFigure(Context& ctx, Report& report) {
  std::printf("memory\n");
  {
    const std::string uri = ctx.NewSqliteUri();
    std::unique_ptr<Worker> w = Worker::Start([&](Channel& parent) {
      return ServeLines(parent, [&](const std::string&) -> std::string {
        Result<std::string> out = RunAndCapture(ctx.self_path, {"--probe-rss", uri});
        if (!out.ok()) return "error " + out.status().ToString();
        std::string line = *out;
        while (!line.empty() && line.back() == '\n') line.pop_back();
        return "ok " + line;
      });
    });
    std::optional<std::string> reply = w ? w->Call("run") : std::nullopt;
    Row row;
    row.name = "rss_idle_client";
    row.what = "VmRSS, idle logged-in client";
    row.unit = "KiB";
    row.decimals = 0;
    long long before = 0, after = 0;
    if (reply && std::sscanf(reply->c_str(), "ok %lld %lld", &before, &after) == 2) {
      row.value = static_cast<double>(after);
      row.note = "a fresh process: " + std::to_string(before) + " KiB at start, " +
                 std::to_string(after) + " KiB logged in and idle (+" +
                 std::to_string(after - before) + " KiB), SQLite presence";
    } else {
      row.skipped = true;
      row.note = "failed: " + reply.value_or("worker died");
    }
    report.Add(row);
  }
  {
    const std::string uri = ctx.NewSqliteUri();
    const int k = 256;
    std::unique_ptr<Worker> w = Worker::Start([&](Channel& parent) {
      return ServeLines(parent, [&](const std::string&) { return HeapPerInflight(uri, k); });
    });
    std::optional<std::string> reply = w ? w->Call("run") : std::nullopt;
    Row row;
    row.name = "heap_per_inflight_connection";
    row.what = "heap per in-flight connection";
    row.unit = "bytes";
    row.decimals = 0;
    row.target = "< 65536 bytes";
    double per = 0;
    long long in_flight = 0;
    if (reply && std::sscanf(reply->c_str(), "ok %lf %lld", &per, &in_flight) == 2) {
      row.value = per;
      row.met = per < 65536;
      row.note = "mallinfo2 before and after one SendMessage to " + std::to_string(k) +
                 " peers whose accept queue is full; " + std::to_string(in_flight) +
                 " connections in SYN-SENT";
    } else {
      row.skipped = true;
      row.note = "failed: " + reply.value_or("worker died");
    }
    report.Add(row);
  }
}

}  // namespace qz::bench
