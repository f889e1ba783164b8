// Wall times, time zones, the site file's clock settings and the plausible window for record
// times: table-driven, no terminal needed.
#include <gtest/gtest.h>

#include "host/clock.h"
#include "host/site/site.h"
#include "host/site/zone.h"

namespace vanto {
namespace {

using site::WallTime;

TEST(WallTime, SecondsRoundTripAndValidity) {
  const struct {
    WallTime time;
    bool valid;
  } cases[] = {
      {{2026, 12, 8, 13, 45, 7}, true},  {{2024, 2, 29, 23, 59, 59}, true}, {{2000, 1, 1, 0, 0, 0}, true},
      {{2026, 2, 29, 8, 0, 0}, false},   {{2026, 13, 1, 8, 0, 0}, false},   {{2026, 4, 31, 8, 0, 0}, false},
      {{2026, 1, 1, 24, 0, 0}, false},   {{2026, 1, 1, 8, 60, 0}, false},   {{2026, 1, 1, 8, 0, 60}, false},
      {{2026, 0, 1, 8, 0, 0}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(site::IsValidWallTime(c.time), c.valid) << site::WallText(c.time);
    if (c.valid) {
      EXPECT_EQ(site::WallFromSeconds(site::WallSeconds(c.time)), c.time) << site::WallText(c.time);
    }
  }
  // Differences across a month's and a leap day's end count every second.
  EXPECT_EQ(site::WallSeconds({2024, 3, 1, 0, 0, 0}) - site::WallSeconds({2024, 2, 28, 23, 59, 59}), 86401);
  EXPECT_EQ(site::WallFromSeconds(-1), (WallTime{1969, 12, 31, 23, 59, 59}));
}

TEST(TimeZone, WallTimeOfAnInstantFollowsTheZoneAndItsSummerTime) {
  using namespace std::chrono;
  const auto at = [](int y, int m, int d, int h, int mi) {
    return system_clock::time_point(seconds(site::WallSeconds({y, m, d, h, mi, 0})));  // as UTC
  };
  const struct {
    const char* zone;
    system_clock::time_point utc;
    WallTime wall;
  } cases[] = {
      {"UTC", at(2026, 12, 8, 13, 0), {2026, 12, 8, 13, 0, 0}},
      {"Asia/Shanghai", at(2026, 12, 8, 20, 30), {2026, 12, 9, 4, 30, 0}},  // +8, across midnight
      {"Europe/Berlin", at(2026, 1, 15, 12, 0), {2026, 1, 15, 13, 0, 0}},   // winter +1
      {"Europe/Berlin", at(2026, 7, 15, 12, 0), {2026, 7, 15, 14, 0, 0}},   // summer +2
      {"America/New_York", at(2026, 3, 8, 6, 59), {2026, 3, 8, 1, 59, 0}},  // just before the change
      {"America/New_York", at(2026, 3, 8, 7, 0), {2026, 3, 8, 3, 0, 0}},    // 02:00 never shows
  };
  for (const auto& c : cases) {
    const auto zone = site::TimeZone::Find(c.zone);
    ASSERT_TRUE(zone.has_value()) << c.zone << ": is the tzdata package installed?";
    EXPECT_EQ(zone->WallAt(c.utc), c.wall) << c.zone << " gave " << site::WallText(zone->WallAt(c.utc));
  }
  EXPECT_FALSE(site::TimeZone::Find("Mars/Olympus_Mons").has_value());
  EXPECT_FALSE(site::TimeZone::Find("").has_value());
}

TEST(SiteFile, ClockSettingsAndTheirRefusals) {
  const std::string port = "\n[[port]]\nnumber = 1\ndevice = \"d\"\nterminals = [1]\n";
  const site::Site defaults = site::ParseSite(port, "s.toml");
  EXPECT_FALSE(defaults.timezone.has_value());
  EXPECT_FALSE(defaults.clock.set_when_drift_above.has_value());  // off unless asked for
  EXPECT_EQ(defaults.clock.records_ahead, 86400);
  EXPECT_EQ(defaults.clock.records_back, 86400);

  const site::Site set = site::ParseSite(
      "timezone = \"Asia/Shanghai\"\n[clock]\nset_when_drift_above = \"2m\"\nwarn_drift_above = 30\n"
      "records_ahead = \"1h\"\nrecords_back = \"2d\"\n" + port,
      "s.toml");
  EXPECT_EQ(set.timezone, "Asia/Shanghai");
  EXPECT_EQ(set.clock.set_when_drift_above, 120);
  EXPECT_EQ(set.clock.warn_drift_above, 30);
  EXPECT_EQ(set.clock.records_ahead, 3600);
  EXPECT_EQ(set.clock.records_back, 2 * 86400);

  const struct {
    std::string text;
    const char* message;
  } refused[] = {
      {"timezone = \"Mars/Olympus\"\n", "s.toml:1: key 'timezone': 'Mars/Olympus' is no time zone this system knows"},
      {"timezone = 8\n", "s.toml:1: key 'timezone': must be a string"},
      {"[clock]\nset_when_drift_above = \"2 minutes\"\n", "s.toml:2: key 'clock.set_when_drift_above': is not a duration"},
      {"[clock]\nwarn_drift_above = 0\n", "s.toml:2: key 'clock.warn_drift_above': is not a duration"},
      {"[clock]\nrecords_ahead = \"400d\"\n", "s.toml:2: key 'clock.records_ahead': is not a duration"},
      {"[clock]\nrecords_back = true\n", "s.toml:2: key 'clock.records_back': must be a duration"},
      {"[clock]\nset_when_drift = \"2m\"\n", "s.toml:2: key 'clock.set_when_drift': unknown key"},
      {"clock = 5\n", "s.toml:1: key 'clock': must be a table [clock]"},
  };
  for (const auto& c : refused) {
    try {
      site::ParseSite(c.text + port, "s.toml");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const site::SiteError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << "got: " << e.what() << "\nwanted: " << c.message;
    }
  }
}

TEST(Durations, Parse) {
  const struct {
    const char* text;
    std::optional<long long> seconds;
  } cases[] = {{"90s", 90}, {"2m", 120}, {"1h", 3600}, {"1d", 86400}, {"45", 45}, {"", std::nullopt},
               {"m", std::nullopt}, {"2 m", std::nullopt}, {"-5s", std::nullopt}, {"1w", std::nullopt}, {"1.5h", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(site::ParseDuration(c.text), c.seconds) << c.text;
}

TEST(Plausibility, FlagsTimesAheadOfTheHostAndBackwardJumps) {
  site::ClockRules rules;  // a day either way
  const WallTime now{2026, 12, 8, 12, 0, 0};
  const struct {
    const char* name;
    std::vector<WallTime> records;
    std::size_t implausible;
  } cases[] = {
      {"in order", {{2026, 12, 7, 8, 0, 0}, {2026, 12, 8, 9, 0, 0}, {2026, 12, 9, 11, 59, 0}}, 0},
      {"a day and a minute ahead", {{2026, 12, 8, 8, 0, 0}, {2026, 12, 9, 12, 1, 0}}, 1},
      // A clock that restarted in 2000: the jump back is flagged, the records after it follow it.
      {"lost power", {{2026, 12, 8, 8, 0, 0}, {2000, 1, 1, 0, 5, 0}, {2000, 1, 1, 0, 6, 0}}, 1},
      // A record from the future does not become the yardstick of the ones after it.
      {"one from the future", {{2026, 12, 8, 8, 0, 0}, {2099, 1, 1, 0, 0, 0}, {2026, 12, 8, 9, 0, 0}}, 1},
      {"back by less than a day", {{2026, 12, 8, 8, 0, 0}, {2026, 12, 7, 9, 0, 0}}, 0},
      {"back by more than a day", {{2026, 12, 8, 8, 0, 0}, {2026, 12, 7, 7, 59, 0}}, 1},
  };
  for (const auto& c : cases) {
    host::PlausibilityCount count(rules, now);
    for (const WallTime& r : c.records) count.Add(r);
    EXPECT_EQ(count.implausible(), c.implausible) << c.name;
  }
  // The stored form of a time (days since 1899-12-30) reads back to the second.
  EXPECT_EQ(host::WallOfDate(46364.0 + (13 * 3600 + 45 * 60 + 7) / 86400.0), (WallTime{2026, 12, 8, 13, 45, 7}));
}

}  // namespace
}  // namespace vanto
