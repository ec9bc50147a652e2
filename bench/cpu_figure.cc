// CPU time per delivered message at each end, component beside raw: fresh processes of this
// executable (--profile-run) deliver messages one at a time, the sides alternating round by round.
// One at a time, every message costs the same at both: a wake-up per message, no burst that
// serves several, no TIME_WAIT pile-up from an earlier run in the same namespace.
#include <cstdio>
#include <string>
#include <vector>

#include "exchange_worker.h"
#include "figures.h"
#include "util.h"

namespace qz::bench {
namespace {

struct Runs {
  std::vector<double> sender_us, receiver_us;
};

// scan_uri: the database a component run read, whose scan a missed goal times.
Row CpuRow(bool sender, const Runs& comp, const Runs& raw, int messages,
           const std::string& scan_uri) {
  const std::string side = sender ? "sender" : "receiver";
  const auto& c = sender ? comp.sender_us : comp.receiver_us;
  const auto& r = sender ? raw.sender_us : raw.receiver_us;
  Row row;
  row.name = "cpu_per_message_" + side;
  row.what = "CPU per message, " + side;
  row.unit = "us";
  row.decimals = 1;
  row.value = Median(c);
  row.raw = Median(r);
  row.ratio = *row.raw / row.value;
  row.target = "<= 1.3 x raw";
  row.met = row.value <= 1.3 * *row.raw;
  row.note = std::string(sender ? "the sending thread's CPU time (user and system)"
                                : "the rest of the process (the receiving thread)") +
             " per message, " + std::to_string(messages) +
             " messages one at a time in a fresh process, the median of " +
             std::to_string(c.size()) + " alternating rounds (component " + SlashList(c) +
             ", raw " + SlashList(r) + ")";
  if (sender && !*row.met) {
    const double scan_us = TimeRecipientScan(scan_uri, 200);
    row.note += "; held back by the table read each SendMessage makes, " + Fixed(scan_us, 1) +
                " us of it even with warm caches (a read of the WAL index header that finds "
                "the rows unchanged, or a read transaction that reads them, and their "
                "conversion), and by the port rule's bind; --profile counts the system calls";
  }
  return row;
}

}  // namespace

void RunCpuFigure(Context& ctx, Report& report) {
  // One round's figure varies by a quarter on a shared machine; the median of 9 rounds varies
  // far less than that of 5.
  const int rounds = ctx.quick ? 2 : 9;
  const int messages = ctx.quick ? 2000 : 10000;
  std::printf("CPU per message, %d rounds of %d messages per side\n", rounds, messages);
  std::fflush(stdout);
  Runs comp, raw;
  std::string last_uri;
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < 2; ++i) {
      const bool component = (round + i) % 2 == 0;
      const std::string uri = component ? ctx.NewSqliteUri() : "-";
      Result<std::string> out = RunAndCapture(
          ctx.self_path,
          {"--profile-run", component ? "component" : "raw", std::to_string(messages), uri});
      const double sender = out.ok() ? Field(*out, "cpu_sender_us") : -1;
      const double receiver = out.ok() ? Field(*out, "cpu_receiver_us") : -1;
      if (sender <= 0 || receiver <= 0) {
        Row row;
        row.name = "cpu_per_message_sender";
        row.what = "CPU per message, sender";
        row.skipped = true;
        row.note = "failed: " + (out.ok() ? *out : out.status().message());
        report.Add(row);
        return;
      }
      Runs& into = component ? comp : raw;
      into.sender_us.push_back(sender);
      into.receiver_us.push_back(receiver);
      if (component) last_uri = uri;
    }
  }
  // The last component run left its rows behind: the same table its sender read.
  report.Add(CpuRow(true, comp, raw, messages, last_uri));
  report.Add(CpuRow(false, comp, raw, messages, last_uri));
}

}  // namespace qz::bench
