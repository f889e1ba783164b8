// Wall time of a time zone, as terminal clocks keep it: local date and time to the second, with
// no zone or daylight-saving information. The zones are the system's zone database's (IANA names).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace date {
class time_zone;
}

namespace vanto::site {

struct WallTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  bool operator==(const WallTime&) const = default;
};

// Seconds of wall time since 1970-01-01 00:00:00 (differences are what count), and back.
std::int64_t WallSeconds(const WallTime& time);
WallTime WallFromSeconds(std::int64_t seconds);
// A real date of the proleptic Gregorian calendar with hour 0..23, minute and second 0..59.
bool IsValidWallTime(const WallTime& time);
// "YYYY-MM-DD HH:MM:SS" (fields out of range are shown as they are).
std::string WallText(const WallTime& time);

class TimeZone {
 public:
  // nullopt when the system's zone database has no zone of that name.
  static std::optional<TimeZone> Find(const std::string& name);
  // The host's own zone (the system's setting); UTC when it cannot be told.
  static TimeZone Host();

  const std::string& name() const { return name_; }
  WallTime WallAt(std::chrono::system_clock::time_point when) const;

 private:
  TimeZone(const date::time_zone* zone, std::string name) : zone_(zone), name_(std::move(name)) {}
  const date::time_zone* zone_;  // nullptr: UTC
  std::string name_;
};

}  // namespace vanto::site
