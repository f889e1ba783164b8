// Attendance settings and HR's entries as a site keeps them: shifts, work patterns, assignments,
// holidays and rest days, leave, corrections and closed months. Plain values, shared by the
// database (which stores them) and the rules (which judge days with them):
//   - dates are "YYYY-MM-DD", months "YYYY-MM";
//   - times of day are minutes after midnight (0..1439);
//   - wall times are "YYYY-MM-DD HH:MM:SS" in the site's time zone, as swipes are stored;
//   - moments (when an entry was made or withdrawn) are UTC "YYYY-MM-DDTHH:MM:SSZ".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vanto::attendance {

struct Shift {
  std::string name;
  // Minutes after midnight. An end at or before the start ends on the next day (it crosses
  // midnight); the day it belongs to is the day it starts.
  int start = 9 * 60, end = 18 * 60;
  int late_grace = 0;   // arriving up to this many minutes after the start is not late
  int early_grace = 0;  // leaving up to this many minutes before the end is not leaving early
  int break_minutes = 0;  // unpaid: deducted from the worked minutes of a day worked longer than it
  // Swipes from this many minutes before the start to this many after the end belong to the shift.
  int window_before = 240, window_after = 360;
  // Worked minutes at least, for a full day and for a half day (0: the shift's length less its
  // break; half of the full day's).
  int full_day_minutes = 0, half_day_minutes = 0;
  // A flexible shift: work counts anywhere between start and end; the core hours core_start to
  // core_end must be covered and required_minutes worked (late and left early are judged
  // against the core hours).
  bool flexible = false;
  int core_start = 0, core_end = 0, required_minutes = 0;
  bool operator==(const Shift&) const = default;
};

enum class PatternKind { kWeek, kRotation };

// Shifts over days: a week (7 days, Monday first) or a rotation of N days from a date.
struct Pattern {
  std::string name;
  PatternKind kind = PatternKind::kWeek;
  std::string starts;             // kRotation: the date of the rotation's first day; kWeek: ""
  std::vector<std::string> days;  // a shift's name per day, "" a rest day
  bool operator==(const Pattern&) const = default;
};

enum class TargetKind { kPerson, kDepartment };

// A pattern given to a person or to a department's people from a date (until a date, inclusive).
// A person's own assignment comes before their department's.
struct Assignment {
  std::int64_t id = 0;
  std::string pattern;
  TargetKind target = TargetKind::kPerson;
  std::int32_t person = 0;   // kPerson
  std::string department;    // kDepartment
  std::string from;
  std::optional<std::string> until;  // none: open-ended
  bool operator==(const Assignment&) const = default;
};

enum class DayOffKind { kHoliday, kRest };

// A site's holiday or rest day: nobody of the site is expected to work.
struct DayOff {
  std::string date;
  DayOffKind kind = DayOffKind::kHoliday;
  std::string name;  // "New Year" ('' none)
  bool operator==(const DayOff&) const = default;
};

// Who made an entry and who withdrew it. Withdrawn entries are kept (and listed as withdrawn)
// but count for nothing.
struct Entered {
  std::string by, at;
  std::optional<std::string> withdrawn_by, withdrawn_at;
  bool withdrawn() const { return withdrawn_at.has_value(); }
  bool operator==(const Entered&) const = default;
};

struct Leave {
  std::int64_t id = 0;
  std::int32_t person = 0;
  std::string kind;        // one of the site's leave kinds ("annual", "sick", "unpaid", ...)
  std::string from, to;    // dates, inclusive
  // Part of one day (from == to): minutes after midnight; none: whole days.
  std::optional<int> part_start, part_end;
  std::string note;
  Entered entered;
  bool operator==(const Leave&) const = default;
};

enum class CorrectionKind { kAdd, kSetAside };
enum class Direction { kUnknown, kIn, kOut };

// A correction never changes a stored swipe: an added swipe is a row of its own, and a swipe set
// aside stays stored and is left out of every judgement.
struct Correction {
  std::int64_t id = 0;
  std::int32_t person = 0;
  CorrectionKind kind = CorrectionKind::kAdd;
  std::string time;  // wall time: the swipe added, or the stored swipe set aside
  Direction direction = Direction::kUnknown;  // kAdd: in or out
  int port = 0, terminal = 0;                 // kSetAside: the stored swipe's terminal
  std::string reason;
  Entered entered;
  bool operator==(const Correction&) const = default;
};

// A closed month: its days as judged when it was closed (JSON, the attendance answer's days),
// answered from then on instead of judging again, until an admin reopens it.
struct ClosedMonth {
  std::string month;
  std::string closed_by, closed_at;
  std::string days_json;
};

// A day HR marked reviewed: who, when (UTC) and their note. Marking changes no judgement; it
// only says the day was looked at.
struct ReviewedDay {
  std::int32_t person = 0;
  std::string date;
  std::string by, at;
  std::string note;
  bool operator==(const ReviewedDay&) const = default;
};

// "present", "in", "out", ...: the words the database stores and the API speaks.
const char* PatternKindWord(PatternKind kind);   // "week", "rotation"
const char* TargetKindWord(TargetKind kind);     // "person", "department"
const char* DayOffKindWord(DayOffKind kind);     // "holiday", "rest"
const char* CorrectionKindWord(CorrectionKind kind);  // "add", "set-aside"
const char* DirectionWord(Direction direction);  // "", "in", "out"
std::optional<PatternKind> PatternKindOf(const std::string& word);
std::optional<TargetKind> TargetKindOf(const std::string& word);
std::optional<DayOffKind> DayOffKindOf(const std::string& word);
std::optional<CorrectionKind> CorrectionKindOf(const std::string& word);
std::optional<Direction> DirectionOf(const std::string& word);

}  // namespace vanto::attendance
