#include "postgres_options.h"

#include <libpq-fe.h>

namespace qzpub {
std::string TrimmedLibpqText(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

const std::string* PostgresOptions::Find(std::string_view key) const {
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return &values[i];
  }
  return nullptr;
}

std::string* PostgresOptions::Find(std::string_view key) {
  return const_cast<std::string*>(static_cast<const PostgresOptions*>(this)->Find(key));
}

void PostgresOptions::Default(std::string_view key, std::string value) {
  if (Find(key) != nullptr) return;
  keys.emplace_back(key);
  values.push_back(std::move(value));
}

Result<PostgresOptions> PostgresConnectOptions(const std::string& conninfo,
                                               const std::string& client_encoding) {
  char* error = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(conninfo.c_str(), &error);
  if (parsed == nullptr) {
    std::string why = error ? TrimmedLibpqText(error) : "out of memory";
    PQfreemem(error);
    return Status::Failure("PostgreSQL: invalid connection string: " + why);
  }
  PostgresOptions o;
  for (const PQconninfoOption* p = parsed; p->keyword != nullptr; ++p) {
    if (p->val != nullptr) {
      o.keys.emplace_back(p->keyword);
      o.values.emplace_back(p->val);
    }
  }
  PQconninfoFree(parsed);

  // connect_timeout (seconds; libpq's own default waits as long as TCP does) and
  // tcp_user_timeout (which bounds a connect too) lie above the 3 s after which a LAN's
  // address resolution gives up on a host whose link is down. Cut off before that, a connect
  // leaves the resolution running, and a reconnect as soon as the host is back joins it and
  // fails with it ("No route to host").
  o.Default("connect_timeout", "4");
  o.Default("keepalives", "1");
  o.Default("keepalives_idle", "5");
  o.Default("keepalives_interval", "2");
  o.Default("keepalives_count", "3");
  o.Default("tcp_user_timeout", "4000");
  o.Default("application_name", "qzpub");
  o.Default("client_encoding", client_encoding);
  o.Default("options", "");
  std::string& server_options = *o.Find("options");
  if (server_options.find("statement_timeout") == std::string::npos) {
    server_options += " -c statement_timeout=5000";
  }
  // Quote doubling is the only escape in a literal; a backslash is an ordinary character.
  server_options += " -c standard_conforming_strings=on";
  return o;
}

}  // namespace qzpub
