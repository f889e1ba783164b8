// The attendance report: per person and working day the first and last swipe, the number of
// swipes and the span between them; per person the days present and the total span.
//
// A working day starts at the site's `day_starts` (minutes after midnight): a swipe belongs to
// the working day whose start is the latest one not after it, so with day_starts 12:00 a night
// shift from 22:00 to 06:00 is one working day, dated by the day it started. Swipes of one person
// in the same minute (a repeated check-in, or two terminals) count once: first and last are
// minutes and the swipe count counts distinct minutes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/report/dates.h"
#include "host/report/people.h"

namespace vanto::report {

struct DayEntry {
  Date day;                  // the working day
  std::int64_t first = 0;    // minutes since 1970-01-01 00:00
  std::int64_t last = 0;
  int swipes = 0;            // distinct minutes
  bool late = false;         // the first swipe came after the report's late_after
  int span() const { return static_cast<int>(last - first); }  // minutes
};

// A day as the attendance rules judged it for one person (host::JudgeRange), in the rules' exact
// status word: "present", "late", "absent", "pending", ... Dated as the rules date a day: by the
// start of its shift, by `day_starts` for a day without a shift.
struct JudgedDay {
  Date day;
  std::string status;
  int late_minutes = 0, early_minutes = 0, worked_minutes = 0, overtime_minutes = 0;
  friend bool operator==(const JudgedDay&, const JudgedDay&) = default;
};

struct PersonReport {
  std::int32_t person = 0;
  std::optional<std::string> name;  // nothing: the person is not in the people table
  std::string department;
  std::string employee_code;        // '' none
  std::vector<DayEntry> days;       // by day; only days with swipes
  int days_present() const { return static_cast<int>(days.size()); }
  std::int64_t total_span() const;  // minutes
  // Every day of the report's period the rules judged for the person, by date, swipes or not
  // (absent, leave, holiday, pending ...); empty when the report was not judged.
  std::vector<JudgedDay> judged;
  // The judged day of `day` (a DayEntry's day: the same date), or null.
  const JudgedDay* JudgedOn(const Date& day) const;
  // How many judged days have each status, by status word.
  std::map<std::string, int> StatusCounts() const;
};

struct Report {
  DayRange days;
  int day_starts = 0;  // minutes after midnight
  // A first swipe after this time (minutes after the working day's date began) is late; nothing:
  // the site sets no such time and no day is late.
  std::optional<int> late_after;
  std::vector<PersonReport> people;  // by person number
  std::size_t day_count() const;     // person-days in the report
  // Whether the attendance rules judged the period (each person's `judged`): not for a database
  // older than the attendance tables.
  bool judged = false;
};

class ReportBuilder {
 public:
  ReportBuilder(DayRange days, int day_starts, std::optional<int> late_after = std::nullopt);

  // The stored swipe times that can fall into the report's working days, inclusive
  // ("YYYY-MM-DD HH:MM:SS"): from the first day's start to just before the day after the last.
  TimeRange Window() const;

  // One swipe, as stored. A person's swipes must come in time order (the store lists them so);
  // swipes outside the report's working days are ignored. Throws std::invalid_argument for a
  // time that is not "YYYY-MM-DD HH:MM[:SS]" or comes before that person's previous swipe.
  void Add(std::int32_t person, std::string_view time);

  // The report: every person with swipes, and every person of `people` (with or without).
  Report Finish(const std::vector<Person>& people) const;

 private:
  struct Accumulator {
    std::int64_t first = 0, last = 0;
    int swipes = 0;
  };
  DayRange days_;
  int day_starts_;
  std::optional<int> late_after_;
  std::int64_t first_day_, last_day_;  // days since 1970-01-01
  std::unordered_map<std::int32_t, std::int64_t> last_minute_;  // per person
  // By (person, working day) packed in one key: person in the high half, day in the low.
  std::unordered_map<std::uint64_t, Accumulator> entries_;
};

// "H:MM" of a span in minutes (hours may exceed 24).
std::string SpanText(std::int64_t minutes);

}  // namespace vanto::report
