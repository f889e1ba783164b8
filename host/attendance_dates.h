// Dates as the attendance operations take them ("YYYY-MM-DD"), as day numbers since 1970-01-01:
// one reading for every operation of the host library's attendance.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vanto::host {

// The day number of a date "YYYY-MM-DD" that exists; nothing for any other text.
std::optional<std::int64_t> DayNumber(const std::string& text);
// The date "YYYY-MM-DD" of a day number.
std::string DateOfDay(std::int64_t days);
// DayNumber, or InputError naming `what` and the text.
std::int64_t CheckedDate(const std::string& text, const char* what);

}  // namespace vanto::host
