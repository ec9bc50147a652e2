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
  // PostgreSQL: the URI as given, for libpq.
  std::string location;
};

// "sqlite:PATH", "sqlite:///ABSOLUTE", "postgresql://..." or "postgres://..." (scheme in any
// letter case), or a bare path for SQLite. Any other "scheme://" is refused.
Result<Target> ParseUri(std::string_view uri);

}  // namespace qzpub

#endif  // QZPUB_SRC_URI_H_
