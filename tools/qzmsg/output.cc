#include "output.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>

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

// Display width of UTF-8 text, one column per character; enough to line up a table.
size_t Columns(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
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

std::vector<std::string> WhoLines(bool json, const std::vector<PresenceRow>& rows) {
  std::vector<std::string> lines;
  if (json) {
    for (const PresenceRow& row : rows) lines.push_back(Dump(RowObject(row)));
    return lines;
  }
  using Cells = std::array<std::string, 7>;
  std::vector<Cells> table = {
      {"USER", "FULL NAME", "SYSTEM", "MODULE", "ADDRESS", "PORT", "LOGIN TIME"}};
  for (const PresenceRow& row : rows) {
    table.push_back(
        {row.user, row.full_name, row.sys, row.mod, row.ip, row.port_text, row.login_time});
  }
  std::array<size_t, 7> widths{};
  for (const Cells& cells : table) {
    for (size_t i = 0; i < cells.size(); ++i) widths[i] = std::max(widths[i], Columns(cells[i]));
  }
  for (const Cells& cells : table) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
      line += cells[i];
      if (i + 1 < cells.size()) line.append(widths[i] - Columns(cells[i]) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string WhoEventLine(const std::vector<PresenceRow>& rows) {
  Json users = Json::array();
  for (const PresenceRow& row : rows) users.push_back(RowObject(row));
  return Dump(Json{{"event", "who"}, {"users", users}});
}

bool WriteLine(std::string_view line) {
  const bool written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size() &&
                       std::fputc('\n', stdout) != EOF;
  return std::fflush(stdout) == 0 && written;
}

void ReportError(std::string_view message) {
  std::string line(message);
  std::replace(line.begin(), line.end(), '\n', ' ');  // one line, whatever a library wrote
  std::fprintf(stderr, "qzmsg: %s\n", line.c_str());
}

}  // namespace qzmsg
