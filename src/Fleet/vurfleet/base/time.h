// Times as the scanner states them: the machine's local wall clock, with no
// zone. They are stored and compared as such, never converted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vurfleet {

// Seconds since 1970-01-01 00:00:00 of a wall clock, whatever its zone.
using Time = std::int64_t;

// The wall-clock time of a civil date and time. No range check.
Time MakeTime(int year, int month, int day, int hour, int minute, int second);

// A stamp as the scanner prints it after "# Started" and "# Complete":
// "Tue, 08 Dec 2026 04:03:56 -0700". The weekday must be the date's; the
// four digits after the sign are text the scanner prints unchanged and say
// nothing of the zone, so they are checked for form only. Years 1000-9999.
std::optional<Time> ParseStamp(std::string_view text);

// A command-line time: "YYYY-MM-DD" (its midnight) or "YYYY-MM-DD HH:MM:SS".
std::optional<Time> ParseTimeArgument(std::string_view text);

// "YYYY-MM-DD HH:MM:SS".
std::string FormatTime(Time time);

// The scanner's form, "Tue, 08 Dec 2026 04:03:56 -0700", as ParseStamp reads it.
std::string FormatStamp(Time time);

// This machine's wall clock now, as the scanner would print it here.
Time LocalNow();

}  // namespace vurfleet
