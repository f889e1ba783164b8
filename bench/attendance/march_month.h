// The month the attendance benchmarks judge: 1,000 people, March 2026 in Europe/Berlin (a
// daylight-saving change inside it), 1,000,000 swipes (about 32 a person-day: in/out pairs through
// the day, each swipe repeated within a minute), day and night shifts by department and by person,
// people without a shift, weekends, a holiday, leave and corrections, four terminals. Built once
// as the rules' input; the store benchmark stores the same month and reads it back.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "host/attendance/rules.h"

namespace vanto::bench {

inline constexpr int kMonthPeople = 1000;
inline constexpr int kMonthDays = 31;
inline constexpr std::size_t kMonthSwipes = 1'000'000;

// "2026-03-DD HH:MM:SS" of `minute` after midnight of March `day` (past midnight: the next day).
inline std::string MarchWall(int day, int minute, int second) {
  char text[32];
  const int d = day + minute / 1440, m = minute % 1440;
  if (d <= 31)
    std::snprintf(text, sizeof text, "2026-03-%02d %02d:%02d:%02d", d, m / 60, m % 60, second);
  else
    std::snprintf(text, sizeof text, "2026-04-%02d %02d:%02d:%02d", d - 31, m / 60, m % 60, second);
  return text;
}

inline const attendance::MonthInput& MarchMonth() {
  using namespace vanto::attendance;
  static const MonthInput month = [] {
    MonthInput in;
    in.site = "main";
    in.timezone = "Europe/Berlin";
    in.first = "2026-03-01";
    in.last = "2026-03-31";
    in.day_starts = 4 * 60;
    in.late_after = 9 * 60;
    in.now = "2026-04-05T12:00:00Z";
    Shift day{"day", 9 * 60, 18 * 60, 5, 5, 60};
    Shift night{"night", 22 * 60, 6 * 60, 5, 5, 30, 120, 180};
    in.shifts = {day, night};
    in.patterns = {{"office", PatternKind::kWeek, "", {"day", "day", "day", "day", "day", "", ""}},
                   {"nights", PatternKind::kRotation, "2026-01-01", {"night", "night", "night", "", ""}}};
    in.assignments = {{1, "office", TargetKind::kDepartment, 0, "office", "2026-01-01", std::nullopt}};
    in.days_off = {{"2026-03-17", DayOffKind::kHoliday, "Founders' Day"}};
    in.terminals = {{1, 1, "2026-04-05T06:00:00Z", true, Direction::kIn},
                    {1, 2, "2026-04-05T06:00:00Z", true, Direction::kOut},
                    {2, 1, "2026-04-05T06:00:00Z", true, Direction::kUnknown},
                    {2, 2, "2026-03-30T06:00:00Z", true, Direction::kUnknown}};  // the last days wait
    for (int p = 1; p <= kMonthPeople; ++p) {
      const int kind = p % 10;  // 0..5 office, 6..7 nights, 8..9 no shift
      in.people.push_back({p, kind <= 5 ? "office" : "plant"});
      if (kind == 6 || kind == 7)
        in.assignments.push_back({p + 1, "nights", TargetKind::kPerson, p, "", "2026-01-01", std::nullopt});
      if (p % 25 == 0) {
        Leave l;
        l.id = p, l.person = p, l.kind = "annual", l.from = "2026-03-09", l.to = "2026-03-13";
        in.leave.push_back(l);
      }
    }
    in.swipes.reserve(kMonthSwipes);
    for (int day = 1; day <= kMonthDays; ++day)
      for (int p = 1; p <= kMonthPeople && in.swipes.size() < kMonthSwipes; ++p) {
        const int kind = p % 10;
        const bool known = p % 2 == 0;
        const int start = (kind == 6 || kind == 7) ? 22 * 60 - 10 : 9 * 60 - 10 + p % 20;
        if ((p + day) % 37 == 0) continue;  // away
        // 16 swipes in, out, in, out... through 9 hours (64 minutes in, 6 out), each repeated 20
        // seconds later.
        for (int k = 0; k < 16 && in.swipes.size() + 3 <= kMonthSwipes; ++k) {
          const int minute = start + (k / 2) * 70 + (k % 2) * 64 + (p + day) % 3;
          const int port = known ? 1 : 2, terminal = known ? (k % 2 ? 2 : 1) : 1 + (p % 2);
          in.swipes.push_back({p, MarchWall(day, minute, 5), port, terminal});
          in.swipes.push_back({p, MarchWall(day, minute, 25), port, terminal});
          if (k == 0 || (k == 15 && (p + day) % 6 == 0))  // and a third time
            in.swipes.push_back({p, MarchWall(day, minute, 45), port, terminal});
        }
        if (p % 50 == 0 && day == 5) {
          Correction c;
          c.id = p * 100 + day, c.person = p, c.kind = CorrectionKind::kSetAside;
          c.time = MarchWall(day, start + (p + day) % 3, 5);
          c.port = known ? 1 : 2, c.terminal = known ? 1 : 1 + (p % 2), c.reason = "twice";
          in.corrections.push_back(c);
        }
      }
    // The rest: stray single swipes (a missing swipe on those days).
    for (std::size_t i = 0; in.swipes.size() < kMonthSwipes; ++i)
      in.swipes.push_back({static_cast<std::int32_t>(i % kMonthPeople) + 1,
                           MarchWall(static_cast<int>(i % kMonthDays) + 1, 12 * 60 + 7, 45), 2, 1});
    return in;
  }();
  return month;
}

}  // namespace vanto::bench
