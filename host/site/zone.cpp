#include "host/site/zone.h"

#include <cstdio>
#include <exception>

#include <date/tz.h>

#include "host/calendar.h"

namespace vanto::site {

std::int64_t WallSeconds(const WallTime& t) {
  return calendar::DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

WallTime WallFromSeconds(std::int64_t seconds) {
  std::int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) rest += 86400, --days;
  const calendar::CivilDate d = calendar::CivilFromDays(days);
  return {d.year, d.month, d.day, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
          static_cast<int>(rest % 60)};
}

bool IsValidWallTime(const WallTime& t) {
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= calendar::DaysInMonth(t.year, t.month) &&
         t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59;
}

std::string WallText(const WallTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return text;
}

std::optional<TimeZone> TimeZone::Find(const std::string& name) {
  if (name == "UTC") return TimeZone(nullptr, name);
  try {
    return TimeZone(date::locate_zone(name), name);
  } catch (const std::exception&) {  // no such zone, or no zone database at all
    return std::nullopt;
  }
}

TimeZone TimeZone::Host() {
  try {
    const date::time_zone* zone = date::current_zone();
    return TimeZone(zone, std::string(zone->name()));
  } catch (const std::exception&) {
    return TimeZone(nullptr, "UTC");
  }
}

WallTime TimeZone::WallAt(std::chrono::system_clock::time_point when) const {
  using namespace std::chrono;
  const auto second = floor<seconds>(when);
  const std::int64_t utc = second.time_since_epoch().count();
  if (!zone_) return WallFromSeconds(utc);
  const auto info = zone_->get_info(date::sys_seconds(seconds(utc)));
  return WallFromSeconds(utc + info.offset.count());
}

}  // namespace vanto::site
