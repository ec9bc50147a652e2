#include "output.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <vector>

#include "display_text.h"
#include "terminal_text.h"

namespace qzmsg {
namespace {

using Json = nlohmann::ordered_json;

// Texts are passed on as they came; bytes that are not UTF-8 become U+FFFD in JSON only.
std::string Dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json RowObject(const PresenceRow& row) {
  return Json{{"key", row.key},
              {"user", row.user},
              {"full_name", row.full_name},
              {"sys", row.sys},
              {"mod", row.mod},
              {"ip", row.ip},
              {"port", row.port()},
              {"login_time", row.login_time}};
}

Json EventObject(const char* event, const PresenceRow& row) {
  Json object{{"event", event}};
  object.update(RowObject(row));
  return object;
}

// "Full Name (user)" or "user", for announcements.
std::string Person(const PresenceRow& row) {
  return row.full_name.empty() || row.full_name == row.user ? row.user
                                                            : row.full_name + " (" + row.user + ")";
}

}  // namespace

std::string MessageLine(bool json, const std::string& msg, const std::string& user,
                        const std::string& sys, const std::string& mod) {
  if (json) {
    return Dump(
        Json{{"event", "message"}, {"msg", msg}, {"user", user}, {"sys", sys}, {"mod", mod}});
  }
  return "[" + user + "@" + sys + "/" + mod + "] " + msg;
}

std::string ReadyLine(bool json, const PresenceRow& row) {
  if (json) {
    return Dump(Json{{"event", "ready"}, {"ip", row.ip}, {"port", row.port()}, {"key", row.key}});
  }
  return "logged in as " + row.user + "@" + row.sys + "/" + row.mod + " at " + row.ip + ":" +
         row.port_text + " (key " + std::to_string(row.key) + ")";
}

std::string DeliveryLine(bool json, const qz::DeliveryOutcome& o) {
  if (json) {
    Json line{{"event", "delivery"}, {"user", o.UserName}, {"sys", o.SysName}, {"mod", o.MdlName},
              {"ip", o.address},     {"port", o.port},     {"sent", o.sent()}};
    if (!o.sent()) {
      line["code"] = o.status.code();
      line["error"] = o.status.message();
    }
    return Dump(line);
  }
  return o.UserName + "@" + o.SysName + "/" + o.MdlName + " at " + o.address + ":" +
         std::to_string(o.port) + ": " +
         (o.sent() ? "sent" : "not delivered: " + o.status.ToString());
}

std::vector<std::string> WhoLines(bool json, const std::vector<PresenceRow>& rows,
                                  const std::vector<ProbeResult>& probes) {
  const bool checked = probes.size() == rows.size() && !rows.empty();
  std::vector<std::string> lines;
  if (json) {
    for (size_t i = 0; i < rows.size(); ++i) {
      Json object = EventObject("row", rows[i]);
      if (checked) {
        object["stale"] = IsStale(probes[i]);
        object["probe"] = ProbeName(probes[i]);
      }
      lines.push_back(Dump(object));
    }
    return lines;
  }
  using Cells = std::vector<std::string>;
  std::vector<Cells> table = {
      {"USER", "FULL NAME", "SYSTEM", "MODULE", "ADDRESS", "PORT", "LOGIN TIME"}};
  if (checked) table[0].push_back("CHECK");
  for (size_t i = 0; i < rows.size(); ++i) {
    const PresenceRow& row = rows[i];
    Cells cells{row.user, row.full_name, row.sys, row.mod, row.ip, row.port_text, row.login_time};
    // Measured as shown: an escaped control takes the columns of its escape.
    for (std::string& cell : cells) cell = EscapeControls(cell);
    if (checked) {
      cells.push_back(IsStale(probes[i]) ? std::string("stale: ") + ProbeName(probes[i])
                                         : ProbeName(probes[i]));
    }
    table.push_back(std::move(cells));
  }
  std::vector<size_t> widths(table[0].size());
  for (const Cells& cells : table) {
    for (size_t i = 0; i < cells.size(); ++i) {
      widths[i] = std::max(widths[i], DisplayWidth(cells[i]));
    }
  }
  for (const Cells& cells : table) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
      line += cells[i];
      if (i + 1 < cells.size()) line.append(widths[i] - DisplayWidth(cells[i]) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string PruneLine(bool json, const PresenceRow& row, ProbeResult probe, bool pruned) {
  if (json) {
    Json object = EventObject(pruned ? "prune" : "keep", row);
    object["probe"] = ProbeName(probe);
    return Dump(object);
  }
  return std::string(pruned ? "pruning " : "keeping ") + row.user + "@" + row.sys + "/" + row.mod +
         " at " + row.ip + ":" + row.port_text + " (key " + std::to_string(row.key) +
         "): " + ProbeName(probe);
}

std::string WhoEventLine(const std::vector<PresenceRow>& rows) {
  Json users = Json::array();
  for (const PresenceRow& row : rows) users.push_back(RowObject(row));
  return Dump(Json{{"event", "who"}, {"users", users}});
}

std::string PresenceLine(bool json, bool joined, const PresenceRow& row) {
  if (json) return Dump(EventObject(joined ? "join" : "leave", row));
  return Person(row) + (joined ? " joined" : " left") + " (" + row.sys + "/" + row.mod + " at " +
         row.ip + ")";
}

std::string TimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[16] = "";
  if (localtime_r(&now, &local) != nullptr) std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

bool WriteOutput(bool json, std::string_view line) {
  return WriteLine(json ? std::string(line) : ForTerminal(line));
}

bool WriteLine(std::string_view line) {
  const bool written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size() &&
                       std::fputc('\n', stdout) != EOF;
  return std::fflush(stdout) == 0 && written;
}

void ReportError(std::string_view message) {
  std::string line(message);
  std::replace(line.begin(), line.end(), '\n', ' ');  // one line, whatever a library wrote
  std::fprintf(stderr, "qzmsg: %s\n", ForTerminal(line).c_str());
}

}  // namespace qzmsg
