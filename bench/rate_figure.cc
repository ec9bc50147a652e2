// Sustained rate: one sender to one receiver for a while, through the component, raw and rawbind
// (raw binding the port rule's ports, answered from memory), each in a worker with a network
// namespace of its own, beside the port rule's theoretical ceiling.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "exchange_worker.h"
#include "figures.h"
#include "port_rule.h"
#include "util.h"

namespace qz::bench {
namespace {

constexpr int kWindow = 16;       // messages in flight at most
constexpr int32_t kPeerBase = 1;  // the receiver is at 127.0.0.1

struct RateReplies {
  std::string raw, rawbind, comp;  // "ok sent=... received=..." each
  std::string before, after;       // the component's probe around its run
};

double Rate(const std::string& reply) { return Field(reply, "received") / Field(reply, "seconds"); }

std::string Limit(const RateReplies& r) {
  const double comp_rate = Rate(r.comp);
  const double bind_rate = Rate(r.rawbind);
  const double per_message_us = 1e6 / comp_rate;
  const double pick_after = Field(r.after, "pick_us");
  const double db = Field(r.after, "db_us");
  if (bind_rate < 0.9 * Rate(r.raw) && comp_rate >= 0.8 * bind_rate) {
    return "the port rule itself: raw sockets binding the same ports from memory reach " +
           Fixed(bind_rate, 0) + " msg/s (ceiling " + Fixed(PortRuleCeiling(kPeerBase), 0) +
           "), the walk leaving 65535 " + Fixed(Field(r.rawbind, "escapes"), 0) + " times";
  }
  if (Field(r.after, "port") == 0) {
    return "TIME_WAIT on bound local ports: the walk from 9001 upwards found no free port below "
           "65536, so the system chose";
  }
  if (pick_after >= db && pick_after > 0.3 * per_message_us) {
    return "port choice: PickFreePort takes " + Fixed(pick_after, 0) + " us of " +
           Fixed(per_message_us, 0) + " us per message (table at " +
           Fixed(Field(r.after, "rows"), 0) + " rows, " + Fixed(Field(r.comp, "time_wait"), 0) +
           " of the run's ports in TIME_WAIT); the walk from 9000 upwards past the ports that "
           "earlier messages left in TIME_WAIT; the database " +
           Fixed(db, 0) + " us";
  }
  if (db > pick_after && db > 0.3 * per_message_us) {
    return "the database: the recipient scan of each SendMessage (" + Fixed(db, 0) + " us of " +
           Fixed(per_message_us, 0) + " us per message)";
  }
  return "the exchange itself (connect, accept, close per message) and the component's "
         "per-connection work; port choice " +
         Fixed(pick_after, 0) + " us, database " + Fixed(db, 0) + " us";
}

Row RateRow(const std::string& name, const std::string& what, double value, double base) {
  Row row;
  row.name = name;
  row.what = what;
  row.unit = "msg/s";
  row.decimals = 0;
  row.value = value;
  row.raw = base;
  row.ratio = value / base;
  return row;
}

// Walks that left 65535 (the system then chooses the port), from one side's reply.
Row EscapeRow(const std::string& side, const std::string& reply) {
  const bool counted = reply.find(" counted ") != std::string::npos;
  Row row;
  row.name = "walk_left_range_" + side;
  row.what = "  walks past 65535, " + side;
  row.unit = "walks";
  row.decimals = 0;
  row.value = Field(reply, "escapes");
  row.note = Fixed(row.value, 0) + " of " + Fixed(Field(reply, "picks"), 0) + " walks, " +
             (counted ? "counted where it binds"
                      : "estimated: the same sequence and memory "
                        "model beside each of its messages") +
             "; " + Fixed(Field(reply, "walk_steps"), 0) + " candidates past the first in all";
  if (Field(reply, "no_system_port") > 0) {
    row.note += "; for " + Fixed(Field(reply, "no_system_port"), 0) +
                " of them the system had no port either (connect: " +
                std::strerror(static_cast<int>(Field(reply, "no_port_errno"))) +
                "), so those messages were not sent";
  }
  if (Field(reply, "undelivered") > 0) {
    row.note += "; " + Fixed(Field(reply, "undelivered"), 0) +
                " messages were started and then reported undelivered (deliveryEnded; the last "
                "with " +
                Fixed(Field(reply, "last_failure"), 0) + ")";
  }
  return row;
}

void AddRows(Report& report, const RateReplies& r, double seconds) {
  const double comp = Rate(r.comp), raw = Rate(r.raw), bind = Rate(r.rawbind);
  Row vs_raw = RateRow("sustained_rate", "sustained rate, 1 to 1", comp, raw);
  vs_raw.note = Fixed(seconds, 0) + " s each, " + std::to_string(kWindow) +
                " messages in flight at most; component " + r.comp.substr(3) + "; raw " +
                r.raw.substr(3);
  report.Add(vs_raw);
  Row vs_bind = RateRow("sustained_rate_vs_rawbind", "  the same vs rawbind", comp, bind);
  vs_bind.versus = "rawbind";
  vs_bind.target = "ratio >= 0.90";
  vs_bind.met = *vs_bind.ratio >= 0.9;
  vs_bind.note = "rawbind " + r.rawbind.substr(3);
  report.Add(vs_bind);
  Row bind_row = RateRow("rawbind_rate", "  rawbind (port rule from memory)", bind, raw);
  bind_row.note = "raw sockets binding the port rule's ports; ratio vs raw";
  report.Add(bind_row);
  Row ceiling;
  ceiling.name = "port_rule_ceiling";
  ceiling.what = "  port rule ceiling, base 1";
  ceiling.unit = "msg/s";
  ceiling.decimals = 0;
  ceiling.value = PortRuleCeiling(kPeerBase);
  // Messages that went out on a port the rule chose, not one the system chose after a walk
  // left the range: what the ceiling bounds.
  // A refused bind walks again for the same message.
  auto on_rule_ports = [](const std::string& reply) {
    const double refused = std::max(0.0, Field(reply, "refused"));
    return (Field(reply, "picks") - Field(reply, "escapes") - refused) / Field(reply, "seconds");
  };
  ceiling.note =
      "the ports from 9001 to 65535, each once per 60 s of TIME_WAIT (theoretical); "
      "on ports the rule chose: rawbind " +
      Fixed(on_rule_ports(r.rawbind), 0) + " msg/s, component " + Fixed(on_rule_ports(r.comp), 0) +
      " msg/s (estimated)" +
      (seconds < 60 ? "; under 60 s a run can spend the whole range once and pass it" : "");
  report.Add(ceiling);
  report.Add(EscapeRow("rawbind", r.rawbind));
  report.Add(EscapeRow("component", r.comp));
  Row pick;
  pick.name = "pickfreeport_during_rate";
  pick.what = "  PickFreePort during the run";
  pick.unit = "us";
  pick.value = Field(r.comp, "pick_max_us");
  pick.target = "<= 20 us";
  pick.met = pick.value <= 20;
  pick.note =
      "the slowest of 8 samples (each the median of 15 calls) taken in the sending process "
      "during the run, whose port memory holds the ports its deliveries left in "
      "TIME_WAIT: " +
      Fixed(Field(r.comp, "pick_max_time_wait"), 0) + " in TIME_WAIT at that sample, " +
      Fixed(Field(r.comp, "pick_max_probes"), 0) +
      " candidates asked of the system in its 15 calls (us: " + TextField(r.comp, "pick_max_each") +
      "); " + Fixed(Field(r.before, "pick_us"), 1) + " us before the run";
  report.Add(pick);
}

void Skip(Report& report, const std::string& why) {
  Row row;
  row.name = "sustained_rate";
  row.what = "sustained rate, 1 to 1";
  row.skipped = true;
  row.note = why;
  report.Add(row);
}

}  // namespace

void RunRateFigure(Context& ctx, Report& report) {
  const double seconds = ctx.rate_seconds > 0 ? ctx.rate_seconds : ctx.quick ? 5 : 60;
  std::printf("sustained rate, one sender to one receiver, %.0f s per side\n", seconds);
  std::fflush(stdout);
  Result<Pair> pair = StartPair(ctx, 1, 0);
  std::unique_ptr<Worker> bind =
      StartExchangeWorker(ctx, ExchangeKind::kRawBind, 1, 0, /*share_with=*/nullptr);
  Status ready = pair.ok() ? MakeReady(bind.get()) : pair.status();
  if (!ready.ok()) return Skip(report, "failed: " + ready.message());
  const std::string arg = "rate " + Fixed(seconds, 1) + " " + std::to_string(kWindow);
  RateReplies r;
  r.before = pair->component->Call("probe").value_or("");
  r.raw = pair->raw->Call(arg).value_or("error worker died");
  r.rawbind = bind->Call(arg).value_or("error worker died");
  r.comp = pair->component->Call(arg).value_or("error worker died");
  r.after = pair->component->Call("probe").value_or("");
  for (const std::string* reply : {&r.raw, &r.rawbind, &r.comp}) {
    if (reply->rfind("ok", 0) != 0) {
      return Skip(report,
                  "failed: component: " + r.comp + "; raw: " + r.raw + "; rawbind: " + r.rawbind);
    }
  }
  AddRows(report, r, seconds);
  const double per_message_us = 1e6 / Rate(r.comp);
  report.Note("sustained_rate: component " + Fixed(per_message_us, 1) + " us per message (raw " +
              Fixed(1e6 / Rate(r.raw), 1) + ", rawbind " + Fixed(1e6 / Rate(r.rawbind), 1) +
              "); PickFreePort " + Fixed(Field(r.before, "pick_us"), 1) + " us before the run, " +
              Fixed(Field(r.after, "pick_us"), 1) + " us after (table " +
              Fixed(Field(r.after, "rows"), 0) + " rows); recipient scan " +
              Fixed(Field(r.after, "db_us"), 1) + " us");
  report.Note("sustained_rate limited by: " + Limit(r));
}

}  // namespace qz::bench
