// Passwords in database URIs, kept out of what a user sees: qzpub's failure messages and the
// hosts that show a URI (qzmsg).
#ifndef QZ_COMMON_URI_PASSWORD_H_
#define QZ_COMMON_URI_PASSWORD_H_

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qz_common {

namespace uri_password_detail {

inline bool IsKeywordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Whether a keyword string's next "keyword=" starts at or after pos (blanks first).
inline bool KeywordFollows(std::string_view s, size_t pos) {
  while (pos < s.size() && s[pos] == ' ') ++pos;
  const size_t word = pos;
  while (pos < s.size() && IsKeywordChar(s[pos])) ++pos;
  if (pos == word) return false;
  while (pos < s.size() && s[pos] == ' ') ++pos;
  return pos < s.size() && s[pos] == '=';
}

// Where a password value that starts at i ends: a quoted one after its closing quote; in a
// URI at the next '&' or '#'; in a keyword string before the blanks of the next "keyword=",
// so that an unquoted value with a blank in it is hidden whole.
inline size_t ValueEnd(std::string_view s, size_t i, bool uri) {
  if (i < s.size() && s[i] == '\'') {
    size_t end = i + 1;
    for (; end < s.size() && s[end] != '\''; ++end) {
      if (s[end] == '\\') ++end;
    }
    return std::min(end + 1, s.size());
  }
  if (uri) return std::min(s.find_first_of("&#", i), s.size());
  size_t end = i;
  while (end < s.size()) {
    if (s[end] == '\\') {
      end += 2;
      continue;
    }
    if (s[end] == ' ' && KeywordFollows(s, end)) break;
    ++end;
  }
  end = std::min(end, s.size());
  while (end > i && s[end - 1] == ' ') --end;
  return end;
}

// A password value as a parser reads it: without its quotes, backslash escapes and
// percent-encoding undone.
inline std::string Unescaped(std::string_view v) {
  if (v.size() >= 2 && v.front() == '\'' && v.back() == '\'') v = v.substr(1, v.size() - 2);
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '%' && i + 2 < v.size() && hex(v[i + 1]) >= 0 && hex(v[i + 2]) >= 0) {
      out += static_cast<char>(hex(v[i + 1]) * 16 + hex(v[i + 2]));
      i += 2;
    } else if (v[i] == '\\' && i + 1 < v.size()) {
      out += v[++i];
    } else {
      out += v[i];
    }
  }
  return out;
}

}  // namespace uri_password_detail

// The [begin, end) spans of uri that hold a password, in order: a URI's "user:SECRET@", a
// "password=SECRET" parameter of its query, or a libpq keyword string's "password=SECRET"
// (quoted or not, in any letter case).
inline std::vector<std::pair<size_t, size_t>> PasswordSpans(std::string_view uri) {
  namespace d = uri_password_detail;
  std::vector<std::pair<size_t, size_t>> spans;
  const size_t scheme = uri.find("://");
  const bool is_uri = scheme != std::string_view::npos;
  if (is_uri) {
    const size_t start = scheme + 3;
    const size_t end = std::min(uri.find_first_of("/?#", start), uri.size());
    const size_t at = uri.substr(0, end).rfind('@');
    if (at != std::string_view::npos && at >= start) {
      const size_t colon = uri.find(':', start);
      if (colon < at) spans.emplace_back(colon + 1, at);
    }
  }
  std::string lower(uri);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (size_t key = lower.find("password"); key != std::string::npos;
       key = lower.find("password", key + 1)) {
    size_t i = key + 8;
    while (i < uri.size() && uri[i] == ' ') ++i;
    if (i >= uri.size() || uri[i] != '=') continue;
    ++i;
    while (i < uri.size() && uri[i] == ' ') ++i;
    const size_t end = d::ValueEnd(uri, i, is_uri);
    if (end > i) spans.emplace_back(i, end);
    key = std::max(key, end - 1);
  }
  std::sort(spans.begin(), spans.end());
  return spans;
}

// uri with every password shown as "***".
inline std::string WithoutPassword(std::string_view uri) {
  std::string out;
  size_t from = 0;
  for (const auto& [begin, end] : PasswordSpans(uri)) {
    if (begin < from) continue;
    out.append(uri.substr(from, begin - from)).append("***");
    from = end;
  }
  out.append(uri.substr(std::min(from, uri.size())));
  return out;
}

// text, a message about uri, safe to show: uri itself shown WithoutPassword, and every
// password that uri holds replaced by "***" wherever it appears (as written, as a parser reads
// it, and each of its blank-separated words), since a parser's message may quote any part of
// what it was given.
inline std::string RedactPasswords(std::string_view text, std::string_view uri) {
  const auto replace_all = [](std::string& s, std::string_view what, std::string_view with) {
    if (what.empty()) return;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + with.size())) {
      s.replace(at, what.size(), with);
    }
  };
  std::string out(text);
  if (!uri.empty()) replace_all(out, uri, WithoutPassword(uri));
  for (const auto& [begin, end] : PasswordSpans(uri)) {
    const std::string_view written = uri.substr(begin, end - begin);
    const std::string value = uri_password_detail::Unescaped(written);
    replace_all(out, written, "***");
    replace_all(out, value, "***");
    // libpq takes the words after an unquoted blank for keywords, and quotes them back.
    for (size_t word = 0; word < value.size();) {
      const size_t blank = std::min(value.find(' ', word), value.size());
      if (blank < value.size() || word > 0) {
        replace_all(out, std::string_view(value).substr(word, blank - word), "***");
      }
      word = blank + 1;
    }
  }
  return out;
}

}  // namespace qz_common

#endif  // QZ_COMMON_URI_PASSWORD_H_
