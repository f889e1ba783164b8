#include "host/db/civil_time.h"

#include "host/calendar.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace vanto::store {
namespace {

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
  const calendar::CivilDate civil = calendar::CivilFromDays(day + kDaysFrom1970To18991230);
  t.year = civil.year, t.month = civil.month, t.day = civil.day;
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

std::string UtcNowText() { return UtcText(static_cast<std::int64_t>(std::time(nullptr))); }

std::string UtcText(std::int64_t unix_seconds) {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

}  // namespace vanto::store
