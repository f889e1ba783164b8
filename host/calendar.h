// The host's one calendar: day counts of the proleptic Gregorian calendar relative to
// 1970-01-01, and the days of a month. The store's time texts and the reports' dates both count
// days with it. (The component runtime below the host has its own conversions, as it must: the
// host does not reach into the runtime's internals, nor the runtime up into the host.)
#pragma once

#include <cstdint>

namespace vanto::calendar {

struct CivilDate {
  int year = 1970, month = 1, day = 1;
};

constexpr bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// 0 for a month outside 1..12.
constexpr int DaysInMonth(int year, int month) {
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

constexpr std::int64_t DaysFromCivil(int year, int month, int day) {
  const std::int64_t y = year - (month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t mp = (month + 9) % 12;
  const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

constexpr CivilDate CivilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  CivilDate d;
  d.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  d.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  d.year = static_cast<int>(yoe + era * 400 + (d.month <= 2 ? 1 : 0));
  return d;
}

static_assert(DaysFromCivil(1970, 1, 1) == 0 && DaysFromCivil(1899, 12, 30) == -25569);
static_assert(CivilFromDays(DaysFromCivil(2000, 2, 29)).day == 29 && DaysInMonth(1900, 2) == 28);

}  // namespace vanto::calendar
