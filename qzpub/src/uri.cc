#include "uri.h"

#include <cctype>

#include "qz_common/uri_password.h"

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

// Whether s reads as libpq's keyword/value form: blanks, a keyword, blanks, "=". No file
// name a host would choose looks like that; one that does is named with "sqlite:".
bool IsKeywordValueString(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  const size_t word = i;
  while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_')) ++i;
  if (i == word) return false;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  return i < s.size() && s[i] == '=';
}

}  // namespace

Result<Target> ParseUri(std::string_view uri) {
  if (uri.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    return Status::Failure("empty connection URI");
  }
  for (std::string_view scheme : {"postgresql://", "postgres://"}) {
    if (StartsWithNoCase(uri, scheme)) {
      return Target{Target::Kind::kPostgres,
                    std::string(scheme) + std::string(uri.substr(scheme.size()))};
    }
  }
  if (StartsWithNoCase(uri, "sqlite:")) {
    std::string_view path = uri.substr(7);
    if (path.substr(0, 2) == "//") path.remove_prefix(2);
    if (path.empty()) return Status::Failure("no file path in URI " + std::string(uri));
    return Target{Target::Kind::kSqlite, std::string(path)};
  }
  if (size_t n = SchemeLength(uri); n > 0) {
    return Status::Failure("unknown database scheme \"" + std::string(uri.substr(0, n)) +
                           "\" in URI " + qz_common::WithoutPassword(uri) +
                           " (use sqlite:PATH or postgresql://...)");
  }
  if (IsKeywordValueString(uri)) return Target{Target::Kind::kPostgres, std::string(uri)};
  return Target{Target::Kind::kSqlite, std::string(uri)};
}

}  // namespace qzpub
