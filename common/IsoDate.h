#pragma once

// Points in time and their one text form, "YYYY-MM-DDTHH:MM:SSZ".

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane {

using Date = std::chrono::system_clock::time_point;

// "2025-03-04T05:06:07Z": UTC, whole seconds (fractions are dropped, rounding
// towards the past).
[[nodiscard]] std::string formatIsoDate(Date date);

// Reads "YYYY-MM-DDTHH:MM:SSZ" or the same with a "+hh:mm" / "-hh:mm" offset
// instead of "Z". Anything else (fractions, missing zone, out-of-range fields,
// lower-case letters, surrounding blanks) answers nullopt.
[[nodiscard]] std::optional<Date> parseIsoDate(std::string_view text);

// A date at whole seconds, for building values in code and tests.
[[nodiscard]] Date makeDate(int year, unsigned month, unsigned day, int hour, int minute, int second);

} // namespace quorvane
