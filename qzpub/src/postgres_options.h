// The keywords and values qzpub hands libpq for a connection: the caller's own, parsed from the
// URI or keyword/value string, then defaults for what the caller left unset. The defaults bound
// every wait on a server that does not answer, so that a host's thread is held a few seconds at
// most: connect_timeout (each connect and reconnect), tcp_user_timeout (data the server does
// not acknowledge), TCP keepalives (an idle connection cut on the way) and statement_timeout
// (a statement the server does not finish), the last through `options`.
#ifndef QZPUB_SRC_POSTGRES_OPTIONS_H_
#define QZPUB_SRC_POSTGRES_OPTIONS_H_

#include <string>
#include <string_view>
#include <vector>

#include "status.h"

namespace qzpub {

// A message of libpq without its trailing newline and blanks; empty for nullptr.
std::string TrimmedLibpqText(const char* text);

struct PostgresOptions {
  std::vector<std::string> keys;
  std::vector<std::string> values;

  // The value of key, or nullptr when it is not set.
  const std::string* Find(std::string_view key) const;
  std::string* Find(std::string_view key);
  // Sets key to value unless the caller set it.
  void Default(std::string_view key, std::string value);
};

// What a connection to conninfo is opened with; client_encoding is the default for
// client_encoding. Fails, in libpq's words, when libpq cannot parse conninfo.
Result<PostgresOptions> PostgresConnectOptions(const std::string& conninfo,
                                               const std::string& client_encoding);

}  // namespace qzpub

#endif  // QZPUB_SRC_POSTGRES_OPTIONS_H_
