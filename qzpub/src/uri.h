// Which backend a connection URI names.
#ifndef QZPUB_SRC_URI_H_
#define QZPUB_SRC_URI_H_

#include <string>
#include <string_view>

#include "status.h"

namespace qzpub {

struct Target {
  enum class Kind { kSqlite, kPostgres };
  Kind kind = Kind::kSqlite;
  // SQLite: the file path ("sqlite:" removed; "sqlite:///abs" gives "/abs").
  // PostgreSQL: what libpq is given: a URI with its scheme in lower case (libpq knows no
  // other), or a keyword/value string as it is.
  std::string location;
};

// "sqlite:PATH", "sqlite:///ABSOLUTE", "postgresql://..." or "postgres://..." (scheme in any
// letter case), a libpq keyword/value string ("host=... dbname=...": text that starts with a
// word and "="), or else a bare path for SQLite. Any other "scheme://" is refused; the
// message never shows a password.
Result<Target> ParseUri(std::string_view uri);

}  // namespace qzpub

#endif  // QZPUB_SRC_URI_H_
