#include "statement.h"

#include <cctype>

namespace qzpub {
namespace {

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$';
}

// Whether s holds the keyword word (lower case) at pos, as a whole word.
bool KeywordAt(std::string_view s, size_t pos, std::string_view word) {
  if (s.size() - pos < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[pos + i])) != word[i]) return false;
  }
  return pos + word.size() == s.size() || !IsWordChar(s[pos + word.size()]);
}

size_t SkipBlanks(std::string_view s, size_t pos) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  return pos;
}

}  // namespace

std::string TranslateStatement(std::string_view sql) {
  const size_t verb = SkipBlanks(sql, 0);
  if (!KeywordAt(sql, verb, "delete")) return std::string(sql);
  const size_t after_verb = verb + 6;
  const size_t next = SkipBlanks(sql, after_verb);
  if (next == after_verb || next == sql.size() || KeywordAt(sql, next, "from")) {
    return std::string(sql);
  }
  std::string out(sql.substr(0, next));
  out += "FROM ";
  out += sql.substr(next);
  return out;
}

bool IsDeleteStatement(std::string_view sql) {
  return KeywordAt(sql, SkipBlanks(sql, 0), "delete");
}

std::string SelectStatement(std::string_view condition) {
  std::string sql = "SELECT YH00, YH01, YH02, YH03, YH04, YH05, YH06, YH07, YH08 FROM YHDL";
  if (SkipBlanks(condition, 0) < condition.size()) {
    sql += " WHERE (\n";
    sql += condition;
    sql += "\n)";
  }
  sql += " ORDER BY YH00";
  return sql;
}

}  // namespace qzpub
