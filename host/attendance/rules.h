// The attendance rules: a status for each person and day, judged from the swipes, the person's
// shifts (through patterns and assignments), the site's holidays and rest days, leave and
// corrections, in the site's time zone, and never before the day's swipes are known to be stored.
//
//   MonthInput in;            // everything one site's month needs, gathered by the host
//   std::vector<DayResult> days = JudgeDays(in);   // by person, then date
//
// Pure: no database, no clock (the input carries "now"). docs/host.md states every rule.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/attendance/model.h"
#include "host/message.h"

namespace vanto::attendance {

enum class Status {
  kPresent, kLate, kLeftEarly, kAbsent, kMissingSwipe, kHalfDay, kLeave, kHoliday, kRest, kNotScheduled, kPending
};
// "present", "late", "left-early", "absent", "missing-swipe", "half-day", "leave", "holiday",
// "rest", "not-scheduled", "pending": the words programs rely on.
const char* StatusWord(Status status);
std::optional<Status> StatusOf(const std::string& word);

// Everything noted of a day, beside its one status.
enum class FindingKind {
  kLate,             // minutes
  kLeftEarly,        // minutes
  kAbsent,
  kMissingSwipe,     // no swipe at one end, or an odd number of swipes
  kHalfDay,          // worked minutes: at least a half day, less than a full one
  kShortDay,         // worked minutes: less than a half day
  kCoreNotCovered,   // a flexible shift's core hours, minutes not covered
  kLeave,            // value: the leave kind (minutes: a part of a day)
  kHolidayWorked,    // minutes worked on a holiday (all overtime)
  kRestWorked,       // minutes worked on a rest day (all overtime)
  kOvertime,         // minutes
  kCorrectionAdded,  // value: the correction's id
  kSwipeSetAside,    // value: the correction's id
  kJudgedWithout,    // value: "PORT:TERMINAL", judged after the pending limit without it
  kSimpleRule,       // no shift assigned: judged by the site's day_starts and late_after
};
const char* FindingWord(FindingKind kind);  // "late", "left-early", ..., "simple-rule"

struct Finding {
  FindingKind kind = FindingKind::kLate;
  int minutes = 0;
  std::string value;
  bool operator==(const Finding&) const = default;
};

// A terminal a pending day waits for: "PORT:TERMINAL", and the end of its last complete sync
// (UTC; "" never synced completely).
struct Waiting {
  std::string terminal;
  std::string since;
  bool operator==(const Waiting&) const = default;
};

struct DayResult {
  std::string site;
  std::int32_t person = 0;
  std::string date;
  Status status = Status::kNotScheduled;
  std::string shift;  // the shift of the day ("" none)
  int late_minutes = 0, early_minutes = 0;
  int worked_minutes = 0;  // real minutes between paired swipes (a daylight-saving change counts), break deducted
  int break_minutes = 0;   // deducted
  int overtime_minutes = 0;
  std::string leave_kind;  // status kLeave, or a part-day leave
  std::optional<std::string> first_in, last_out;  // wall times of the day's first and last swipe used
  std::vector<Finding> findings;  // in the order found
  std::vector<Waiting> pending;   // status kPending: what it waits for
};

// A swipe as the store keeps it: the person's, at a wall time, from a terminal.
struct Swipe {
  std::int32_t person = 0;
  std::string time;  // wall time
  int port = 0, terminal = 0;
};

// A terminal of the site: its last complete sync (UTC end, "" none) and whether it is collected
// at all (a terminal the site file marks as not collected is never waited for). `direction`:
// the site file maps it to in or out (kUnknown: swipes are paired in time order).
struct TerminalState {
  int port = 0, terminal = 0;
  std::string last_complete;  // UTC "YYYY-MM-DDTHH:MM:SSZ", "" never
  bool collected = true;
  Direction direction = Direction::kUnknown;
};

struct PersonInput {
  std::int32_t person = 0;
  std::string department;
};

struct MonthInput {
  std::string site;      // as results name it
  std::string timezone;  // IANA name of the site's zone ("" the host's)
  std::string first, last;  // the dates to judge, inclusive
  // The simplest rule, for a person without a shift on a day: a working day starts at
  // `day_starts` (minutes after midnight); a first swipe after `late_after` is late (none: never).
  int day_starts = 0;
  std::optional<int> late_after;
  std::string now;        // UTC "YYYY-MM-DDTHH:MM:SSZ"
  int pending_limit_days = 7;
  std::vector<PersonInput> people;  // everyone judged (a person with swipes but not listed is added)
  std::vector<Shift> shifts;
  std::vector<Pattern> patterns;
  std::vector<Assignment> assignments;
  std::vector<DayOff> days_off;
  std::vector<Leave> leave;              // withdrawn ones are ignored
  std::vector<Correction> corrections;   // withdrawn ones are ignored
  // Every swipe of the site from the day before `first` to two days after `last` (the windows
  // of the first and last days reach beyond them), any order.
  std::vector<Swipe> swipes;
  std::vector<TerminalState> terminals;
};

// The days of every person of the input, first..last, by person then date.
std::vector<DayResult> JudgeDays(const MonthInput& input);
// The same, and in `changes_at` the first UTC time (seconds since 1970) after `now` at which the
// clock alone would judge a day otherwise (a window closing, a pending limit passing); the
// largest int64 when none will. Until then, the same input is judged the same.
std::vector<DayResult> JudgeDays(const MonthInput& input, std::int64_t* changes_at);

// ---- Checks before an entry is stored (the host refuses with the reason) ----

// Why a set of shifts and patterns cannot be kept, naming what it concerns (unworded: the front
// ends translate it); none when it can. A shift's window must not overlap the window of the next day's shift of any
// pattern using it; times of day 0..1439; graces and windows not negative.
std::optional<host::Message> CheckPatterns(const std::vector<Shift>& shifts, const std::vector<Pattern>& patterns);
// Whether `added` gives any person two assignments on one day among `existing` (a person's own
// overlapping another of their own, or a department's overlapping another of the same
// department); the clashing assignment when so.
std::optional<Assignment> ClashingAssignment(const std::vector<Assignment>& existing, const Assignment& added);
// Whether a wall time exists in the zone (a time skipped by a daylight-saving change does not),
// "" zone: the host's.
bool WallTimeExists(const std::string& timezone, const std::string& wall_time);

// Everything a correction needs checking against: why it is refused, none when it may be stored.
// An added swipe must lie inside the window of one of the person's shifts (or, without a shift,
// within the working day of the simple rule) and not duplicate a stored swipe of the same minute;
// a set-aside must name a stored swipe of the person.
std::optional<host::Message> CheckCorrection(const MonthInput& context, const Correction& correction);

}  // namespace vanto::attendance
