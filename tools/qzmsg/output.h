// How qzmsg writes what it reports: readable text, or one JSON object per line.
#ifndef QZMSG_OUTPUT_H_
#define QZMSG_OUTPUT_H_

#include <string>
#include <string_view>
#include <vector>

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

// The presence rows. Text: a table with a header; JSON: one object per row.
std::vector<std::string> WhoLines(bool json, const std::vector<PresenceRow>& rows);
// The rows as one JSON object, {"event":"who","users":[...]}, for chat's /who.
std::string WhoEventLine(const std::vector<PresenceRow>& rows);

// Writes line and a newline to stdout and flushes at once, so that a reader of a pipe sees
// every line as it happens. Returns false when stdout cannot be written.
bool WriteLine(std::string_view line);

// Writes "qzmsg: " and message as one line to stderr.
void ReportError(std::string_view message);

}  // namespace qzmsg

#endif  // QZMSG_OUTPUT_H_
