// How qzmsg writes what it reports: readable text, or one JSON object per line.
//
// The lines are built in UTF-8. JSON lines are written as they are; text lines pass through
// ForTerminal (controls escaped, converted to the terminal's codeset) on their way out.
#ifndef QZMSG_OUTPUT_H_
#define QZMSG_OUTPUT_H_

#include <string>
#include <string_view>
#include <vector>

#include "endpoint_probe.h"
#include "presence_rows.h"
#include "qz/net_message.h"

namespace qzmsg {

// A received message. Text: "[user@sys/mod] msg"; JSON: {"event":"message",...}.
std::string MessageLine(bool json, const std::string& msg, const std::string& user,
                        const std::string& sys, const std::string& mod);

// The login that a command holds. JSON: {"event":"ready","ip":...,"port":...,"key":...}.
std::string ReadyLine(bool json, const PresenceRow& row);

// How one delivery of `send` ended. JSON: {"event":"delivery","user":...,"sys":...,"mod":...,
// "ip":...,"port":...,"sent":true|false,"code":N,"error":"..."}; text: "USER@SYS/MOD at IP:PORT: "
// and the failure (text output shows failures only).
std::string DeliveryLine(bool json, const qz::DeliveryOutcome& outcome);

// The presence rows. Text: a table with a header, its columns aligned by display width; JSON:
// one object per row, {"event":"row","key":...}. With probes (one per row, from who --check),
// a column CHECK ("live", "stale: refused", ...), in JSON "stale":BOOL and "probe":"NAME".
std::vector<std::string> WhoLines(bool json, const std::vector<PresenceRow>& rows,
                                  const std::vector<ProbeResult>& probes = {});
// A stale row that prune deletes (pruned) or keeps. Text: "pruning|keeping USER@SYS/MOD at
// IP:PORT (key K): PROBE"; JSON: {"event":"prune"|"keep", the row's fields, "probe":"NAME"}.
std::string PruneLine(bool json, const PresenceRow& row, ProbeResult probe, bool pruned);
// The rows as one JSON object, {"event":"who","users":[...]}, for chat's /who.
std::string WhoEventLine(const std::vector<PresenceRow>& rows);

// A login that came or went. Text: "Full Name (user) joined (sys/mod at ip)";
// JSON: {"event":"join"|"leave", and the row's fields}.
std::string PresenceLine(bool json, bool joined, const PresenceRow& row);

// The local time of day, "HH:MM:SS".
std::string TimeStamp();

// Writes line and a newline to stdout and flushes at once, so that a reader of a pipe sees
// every line as it happens. Returns false when stdout cannot be written.
bool WriteLine(std::string_view line);
// WriteLine of a line built by the functions above: as it is for JSON, else ForTerminal(line).
bool WriteOutput(bool json, std::string_view line);

// Writes "qzmsg: " and message (through ForTerminal) as one line to stderr.
void ReportError(std::string_view message);

}  // namespace qzmsg

#endif  // QZMSG_OUTPUT_H_
