#include "host/store/civil_time.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace vanto::store {
namespace {

// Proleptic Gregorian calendar date of a day count relative to 1970-01-01.
void CivilFromDays(std::int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yoe + era * 400 + (*m <= 2 ? 1 : 0));
}

constexpr std::int64_t kDaysFrom1970To18991230 = -25569;

}  // namespace

CivilTime CivilFromDate(DATE date) {
  if (!std::isfinite(date)) date = 0;
  // The whole part counts days; the fraction, whatever its sign, is the time of day.
  double whole = std::trunc(date);
  std::int64_t seconds = std::llround(std::fabs(date - whole) * 86400.0);
  std::int64_t day = static_cast<std::int64_t>(whole);
  if (seconds >= 86400) {
    seconds -= 86400;
    ++day;
  }
  CivilTime t;
  CivilFromDays(day + kDaysFrom1970To18991230, &t.year, &t.month, &t.day);
  t.hour = static_cast<int>(seconds / 3600);
  t.minute = static_cast<int>(seconds / 60 % 60);
  t.second = static_cast<int>(seconds % 60);
  return t;
}

std::string MinuteText(const CivilTime& t) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
  return text;
}

std::string SecondText(const CivilTime& t) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

std::string UtcNowText() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

}  // namespace vanto::store
