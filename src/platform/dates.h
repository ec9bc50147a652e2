// Dates as the presence table writes them: "yyyy-mm-dd hh:mm:ss".
#ifndef QZ_PLATFORM_DATES_H_
#define QZ_PLATFORM_DATES_H_

#include <optional>
#include <string>
#include <string_view>

namespace qz::platform {

struct DateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Reads "yyyy-mm-dd hh:mm:ss" or "yyyy-mm-dd" (at midnight); nothing when the text is not a
// valid date and time of one of those forms (surrounding spaces allowed).
std::optional<DateTime> ParseDateTime(std::string_view text);
// The same time one calendar day earlier.
DateTime MinusOneDay(const DateTime& t);
// "yyyy-mm-dd hh:mm:ss", hours 00 to 23.
std::string FormatDateTime(const DateTime& t);

}  // namespace qz::platform

#endif  // QZ_PLATFORM_DATES_H_
