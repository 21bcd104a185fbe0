#include "base/time.h"

#include <cstdio>
#include <ctime>

namespace vurfleet {
namespace {

constexpr std::int64_t kDay = 86400;

// Days from 1970-01-01 to a civil date of the proleptic Gregorian calendar
// (H. Hinnant's days_from_civil).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Reads exactly `count` decimal digits at `pos`.
bool Digits(std::string_view text, std::size_t pos, std::size_t count, int* value) {
  if (pos + count > text.size()) return false;
  int v = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

bool ValidDateTime(int year, int month, int day, int hour, int minute, int second) {
  return year >= 1000 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month) && hour <= 23 && minute <= 59 && second <= 59;
}

constexpr const char* kWeekdays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

Time MakeTime(int year, int month, int day, int hour, int minute, int second) {
  return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * kDay +
         hour * 3600 + minute * 60 + second;
}

std::optional<Time> ParseStamp(std::string_view text) {
  // "Tue, 08 Dec 2026 04:03:56 -0700": 31 characters, every one in place.
  if (text.size() != 31 || text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text[25] != ' ' ||
      (text[26] != '-' && text[26] != '+')) {
    return std::nullopt;
  }
  int day, year, hour, minute, second, zone;
  if (!Digits(text, 5, 2, &day) || !Digits(text, 12, 4, &year) || !Digits(text, 17, 2, &hour) ||
      !Digits(text, 20, 2, &minute) || !Digits(text, 23, 2, &second) ||
      !Digits(text, 27, 4, &zone)) {
    return std::nullopt;
  }
  int month = 0;
  for (int i = 0; i < 12; ++i) {
    if (text.substr(8, 3) == kMonths[i]) month = i + 1;
  }
  if (month == 0 || !ValidDateTime(year, month, day, hour, minute, second)) return std::nullopt;
  const std::int64_t days = DaysFromCivil(year, static_cast<unsigned>(month),
                                          static_cast<unsigned>(day));
  // 1970-01-01 was a Thursday.
  const std::int64_t weekday = ((days % 7) + 7) % 7;
  if (text.substr(0, 3) != kWeekdays[weekday]) return std::nullopt;
  return days * kDay + hour * 3600 + minute * 60 + second;
}

std::optional<Time> ParseTimeArgument(std::string_view text) {
  if (text.size() != 10 && text.size() != 19) return std::nullopt;
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!Digits(text, 0, 4, &year) || text[4] != '-' || !Digits(text, 5, 2, &month) ||
      text[7] != '-' || !Digits(text, 8, 2, &day)) {
    return std::nullopt;
  }
  if (text.size() == 19 &&
      (text[10] != ' ' || !Digits(text, 11, 2, &hour) || text[13] != ':' ||
       !Digits(text, 14, 2, &minute) || text[16] != ':' || !Digits(text, 17, 2, &second))) {
    return std::nullopt;
  }
  if (!ValidDateTime(year, month, day, hour, minute, second)) return std::nullopt;
  return MakeTime(year, month, day, hour, minute, second);
}

std::string FormatTime(Time time) {
  std::int64_t days = time / kDay;
  std::int64_t rest = time % kDay;
  if (rest < 0) {
    rest += kDay;
    --days;
  }
  int year, month, day;
  CivilFromDays(days, &year, &month, &day);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                static_cast<int>(rest % 60));
  return text;
}

std::string FormatStamp(Time time) {
  std::int64_t days = time / kDay;
  std::int64_t rest = time % kDay;
  if (rest < 0) {
    rest += kDay;
    --days;
  }
  int year, month, day;
  CivilFromDays(days, &year, &month, &day);
  char text[48];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d -0700",
                kWeekdays[((days % 7) + 7) % 7], day, kMonths[month - 1], year,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                static_cast<int>(rest % 60));
  return text;
}

Time LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return static_cast<Time>(now);
  return MakeTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
}

}  // namespace vurfleet
