// A realistic attendance log, pinned by its seed, for measuring the record forms: `people`
// persons (numbers 1001 on); on working days (Monday to Friday, from Monday 2026-11-02) each
// arrives between 07:30 and 09:30, goes out between 11:30 and 12:30 and comes back 30 to 60
// minutes later, and leaves between 17:00 and 19:00; records in time order (persons swiping in
// the same minute in random order), `count` of them.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "terminal/protocol/records.h"

namespace bench {

inline std::vector<terminal::protocol::CardRecordFields> RealisticLog(std::size_t count, std::uint32_t seed = 2026,
                                                                       int people = 2000) {
  using namespace std::chrono;
  std::mt19937 random(seed);
  auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high - 1)(random); };
  std::vector<terminal::protocol::CardRecordFields> log;
  log.reserve(count);
  struct Swipe {
    int minute;
    std::uint32_t order;
    std::int32_t person;
  };
  std::vector<Swipe> day;
  for (sys_days date = sys_days(year(2026) / November / 2); log.size() < count; date += days(1)) {
    const weekday weekdayOf(date);
    if (weekdayOf == Saturday || weekdayOf == Sunday) continue;
    day.clear();
    for (int p = 0; p < people; ++p) {
      const std::int32_t person = 1001 + p;
      const int out = between(11 * 60 + 30, 12 * 60 + 30);
      for (const int minute : {between(7 * 60 + 30, 9 * 60 + 30), out, out + between(30, 61), between(17 * 60, 19 * 60)})
        day.push_back({minute, static_cast<std::uint32_t>(random()), person});
    }
    std::sort(day.begin(), day.end(), [](const Swipe& a, const Swipe& b) {
      return a.minute != b.minute ? a.minute < b.minute : a.order < b.order;
    });
    const year_month_day ymd(date);
    for (const Swipe& s : day) {
      if (log.size() == count) break;
      log.push_back({s.person, static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
                     static_cast<int>(static_cast<unsigned>(ymd.day())), s.minute / 60, s.minute % 60});
    }
  }
  return log;
}

}  // namespace bench
