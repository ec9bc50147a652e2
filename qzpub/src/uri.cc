#include "uri.h"

#include <cctype>

namespace qzpub {
namespace {

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  }
  return true;
}

// The length of a leading "scheme://", or 0.
size_t SchemeLength(std::string_view s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return 0;
  size_t i = 1;
  while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '+' ||
                          s[i] == '-' || s[i] == '.')) {
    ++i;
  }
  return s.substr(i, 3) == "://" ? i : 0;
}

}  // namespace

Result<Target> ParseUri(std::string_view uri) {
  if (uri.empty()) return Status::Failure("empty connection URI");
  if (StartsWithNoCase(uri, "postgresql://") || StartsWithNoCase(uri, "postgres://")) {
    return Target{Target::Kind::kPostgres, std::string(uri)};
  }
  if (StartsWithNoCase(uri, "sqlite:")) {
    std::string_view path = uri.substr(7);
    if (path.substr(0, 2) == "//") path.remove_prefix(2);
    if (path.empty()) return Status::Failure("no file path in URI " + std::string(uri));
    return Target{Target::Kind::kSqlite, std::string(path)};
  }
  if (size_t n = SchemeLength(uri); n > 0) {
    return Status::Failure("unknown database scheme \"" + std::string(uri.substr(0, n)) +
                           "\" in URI " + std::string(uri) +
                           " (use sqlite:PATH or postgresql://...)");
  }
  return Target{Target::Kind::kSqlite, std::string(uri)};
}

}  // namespace qzpub
