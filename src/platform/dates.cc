#include "platform/dates.h"

#include <cstdio>

namespace qz::platform {
namespace {

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Reads exactly `digits` decimal digits at text[pos]; advances pos.
bool ReadNumber(std::string_view text, size_t& pos, size_t digits, int& out) {
  if (pos + digits > text.size()) return false;
  int value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += digits;
  out = value;
  return true;
}

bool Expect(std::string_view text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

std::optional<DateTime> ParseDateTime(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(' ') - first + 1);

  DateTime t;
  size_t pos = 0;
  if (!ReadNumber(text, pos, 4, t.year) || !Expect(text, pos, '-') ||
      !ReadNumber(text, pos, 2, t.month) || !Expect(text, pos, '-') ||
      !ReadNumber(text, pos, 2, t.day)) {
    return std::nullopt;
  }
  if (pos != text.size()) {
    if (!Expect(text, pos, ' ') || !ReadNumber(text, pos, 2, t.hour) || !Expect(text, pos, ':') ||
        !ReadNumber(text, pos, 2, t.minute) || !Expect(text, pos, ':') ||
        !ReadNumber(text, pos, 2, t.second) || pos != text.size()) {
      return std::nullopt;
    }
  }
  if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > DaysInMonth(t.year, t.month) || t.hour > 23 || t.minute > 59 || t.second > 59) {
    return std::nullopt;
  }
  return t;
}

DateTime MinusOneDay(const DateTime& t) {
  DateTime r = t;
  if (--r.day >= 1) return r;
  if (--r.month < 1) {
    r.month = 12;
    --r.year;
  }
  r.day = DaysInMonth(r.year, r.month);
  return r;
}

std::string FormatDateTime(const DateTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

}  // namespace qz::platform
