// Attendance in the host library: each operation checks its input, writes the site's rows through
// store::AttendanceRows and its audit row, and JudgeMonth gathers a month's input for the rules.
#include "host/attendance_host.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include "host/calendar.h"
#include "host/attendance_data.h"
#include "host/attendance_dates.h"
#include "host/db/attendance_rows.h"
#include "host/db/civil_time.h"
#include "host/db/database.h"
#include "host/errors.h"
#include "host/site/zone.h"

namespace vanto::host {
namespace {

using attendance::Assignment;
using attendance::Correction;
using attendance::CorrectionKind;
using attendance::DayOff;
using attendance::DayResult;
using attendance::Leave;
using attendance::Pattern;
using attendance::Shift;

// A site's rows over a connection of its own, kept while the operation works.
struct SiteRows {
  explicit SiteRows(const AttendanceSite& at) : tables(at.db.Tables(false)), rows(*tables, at.site.name) {}
  // Gives the connection back to the pool before the audit row, which borrows one of its own
  // (holding one while waiting for another can wait out the lock timeout when as many requests at
  // once hold every connection). Nothing of `rows` is used after.
  void Release() { tables.reset(); }
  std::unique_ptr<store::TableConnection> tables;
  store::AttendanceRows rows;
};

std::string Number(std::int64_t n) { return std::to_string(n); }

// "HH:MM" of minutes after midnight.
std::string ClockText(int minutes) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d", (minutes / 60) % 24, minutes % 60);
  return text;
}

std::int64_t UnixSeconds(const AttendanceSite& at) {
  const auto now = at.now ? *at.now : std::chrono::system_clock::now();
  return std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
}
std::string NowText(const AttendanceSite& at) { return store::UtcText(UnixSeconds(at)); }

// The site's time zone: the site file's, else the host's.
std::string ZoneName(const AttendanceSite& at) {
  if (at.file && at.file->timezone) return *at.file->timezone;
  return site::TimeZone::Host().name();
}

// Today's date in the site's zone.
std::string TodayText(const AttendanceSite& at) {
  const std::optional<site::TimeZone> zone = site::TimeZone::Find(ZoneName(at));
  const site::TimeZone tz = zone ? *zone : site::TimeZone::Host();
  const site::WallTime wall = tz.WallAt(std::chrono::system_clock::time_point(std::chrono::seconds(UnixSeconds(at))));
  return site::WallText(wall).substr(0, 10);
}

void Audit(const AttendanceSite& at, const std::string& action, const std::string& details) {
  const std::string site = at.site.name.empty() ? "" : "site " + at.site.name + ", ";
  at.db.Audit({0, NowText(at), at.actor.name, at.actor.origin, action, site + details});
}

}  // namespace

// ---- Dates ----

std::optional<std::int64_t> DayNumber(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  int y = 0, m = 0, d = 0;
  for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u})
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  y = std::stoi(text.substr(0, 4)), m = std::stoi(text.substr(5, 2)), d = std::stoi(text.substr(8, 2));
  if (m < 1 || m > 12 || d < 1 || d > calendar::DaysInMonth(y, m)) return std::nullopt;
  return calendar::DaysFromCivil(y, m, d);
}

std::string DateOfDay(std::int64_t days) {
  const calendar::CivilDate c = calendar::CivilFromDays(days);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", c.year, c.month, c.day);
  return text;
}

std::int64_t CheckedDate(const std::string& text, const char* what) {
  std::optional<std::int64_t> day = DayNumber(text);
  if (!day) throw InputError(Message("{0} '{1}' is not a date YYYY-MM-DD", {what, text}));
  return *day;
}

std::vector<std::int32_t> PeopleNumbers(const std::string& text, const std::string& what) {
  std::vector<std::int32_t> people;
  std::set<std::int32_t> seen;
  auto number = [&](std::string part) {
    part.erase(0, part.find_first_not_of(' '));
    part.erase(part.find_last_not_of(' ') + 1);
    if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(part) < 1)
      throw InputError(Message("{0} '{1}': '{2}' is no person number", {what, text, part}));
    return static_cast<std::int32_t>(std::stol(part));
  };
  std::size_t begin = 0;
  while (begin <= text.size()) {
    const std::size_t comma = std::min(text.find(',', begin), text.size());
    const std::string part = text.substr(begin, comma - begin);
    const auto dash = part.find('-');
    const std::int32_t first = number(part.substr(0, dash)),
                       last = dash == std::string::npos ? first : number(part.substr(dash + 1));
    if (last < first) throw InputError(Message("{0} '{1}': range '{2}' is inverted", {what, text, part}));
    if (last - first >= 100000) throw InputError(Message("{0} '{1}': range '{2}' is too long", {what, text, part}));
    for (std::int32_t p = first; p <= last; ++p)
      if (seen.insert(p).second) people.push_back(p);
    if (people.size() > 100000) throw InputError(Message("{0} '{1}' names more than 100000 people", {what, text}));
    begin = comma + 1;
  }
  return people;
}

namespace {

// "YYYY-MM" -> its first and last dates.
std::pair<std::string, std::string> MonthDates(const std::string& month) {
  std::optional<std::int64_t> first = month.size() == 7 ? DayNumber(month + "-01") : std::nullopt;
  if (!first) throw InputError(Message("month '{0}' is not a month YYYY-MM", {month}));
  const calendar::CivilDate c = calendar::CivilFromDays(*first);
  return {DateOfDay(*first), DateOfDay(*first + calendar::DaysInMonth(c.year, c.month) - 1)};
}

void CheckWhole(int value, int low, int high, const char* what) {
  if (value < low || value > high)
    throw InputError(Message("{0} {1} is out of range ({2}..{3})", {what, Number(value), Number(low), Number(high)}));
}

// Refused when any month from..to is closed (its days are kept as they were judged).
void RefuseClosed(store::AttendanceRows& rows, const std::string& from, const std::string& to) {
  const std::vector<std::string> closed = rows.ClosedMonths();
  for (const std::string& month : closed)
    if (month >= from.substr(0, 7) && month <= to.substr(0, 7))
      throw InputError(Message("month {0} is closed: reopen it first (vanto month reopen {0})", {month}));
}

// ---- Shifts and patterns ----

void CheckShiftValues(const Shift& s) {
  if (s.name.empty()) throw InputError(Message("a shift needs a name"));
  if (s.name.find(',') != std::string::npos) throw InputError(Message("shift name '{0}' holds a comma", {s.name}));
  CheckWhole(s.start, 0, 1439, "start");
  CheckWhole(s.end, 0, 1439, "end");
  CheckWhole(s.late_grace, 0, 1439, "late grace");
  CheckWhole(s.early_grace, 0, 1439, "early grace");
  CheckWhole(s.break_minutes, 0, 1439, "break");
  CheckWhole(s.window_before, 0, 1439, "window before");
  CheckWhole(s.window_after, 0, 1439, "window after");
  CheckWhole(s.full_day_minutes, 0, 2880, "full day");
  CheckWhole(s.half_day_minutes, 0, 2880, "half day");
  if (s.flexible) {
    CheckWhole(s.core_start, 0, 1439, "core start");
    CheckWhole(s.core_end, 0, 1439, "core end");
    CheckWhole(s.required_minutes, 1, 2880, "required minutes");
  }
}

void CheckAll(const std::vector<Shift>& shifts, const std::vector<Pattern>& patterns) {
  if (std::optional<Message> problem = attendance::CheckPatterns(shifts, patterns)) throw InputError(*problem);
}

std::string ShiftDetails(const Shift& s) {
  return "shift " + s.name + " " + ClockText(s.start) + "-" + ClockText(s.end);
}

Pattern WeekPatternOf(const Shift& shift, const std::vector<bool>& days) {
  if (days.size() != 7) throw InputError(Message("a week has 7 days, not {0}", {Number(static_cast<std::int64_t>(days.size()))}));
  Pattern p;
  p.name = shift.name;
  p.kind = attendance::PatternKind::kWeek;
  for (bool works : days) p.days.push_back(works ? shift.name : "");
  return p;
}

}  // namespace

void AddShift(const AttendanceSite& at, const Shift& shift, const std::optional<std::vector<bool>>& week_days) {
  CheckShiftValues(shift);
  SiteRows r(at);
  std::vector<Shift> shifts = r.rows.Shifts();
  std::vector<Pattern> patterns = r.rows.Patterns();
  for (const Shift& s : shifts)
    if (s.name == shift.name) throw InputError(Message("shift {0} exists already", {shift.name}));
  std::optional<Pattern> week;
  if (week_days) {
    week = WeekPatternOf(shift, *week_days);
    for (const Pattern& p : patterns)
      if (p.name == week->name) throw InputError(Message("pattern {0} exists already", {week->name}));
    patterns.push_back(*week);
  }
  shifts.push_back(shift);
  CheckAll(shifts, patterns);
  if (!r.rows.AddShift(shift)) throw InputError(Message("shift {0} exists already", {shift.name}));
  if (week && !r.rows.AddPattern(*week)) {
    r.rows.RemoveShift(shift.name);  // nothing kept of a shift whose pattern could not be
    throw InputError(Message("pattern {0} exists already", {week->name}));
  }
  r.Release();
  Audit(at, "shift.add", ShiftDetails(shift) + (week ? ", with its week pattern" : ""));
}

void ChangeShift(const AttendanceSite& at, const Shift& shift) {
  CheckShiftValues(shift);
  SiteRows r(at);
  std::vector<Shift> shifts = r.rows.Shifts();
  auto found = std::find_if(shifts.begin(), shifts.end(), [&](const Shift& s) { return s.name == shift.name; });
  if (found == shifts.end()) throw InputError(Message("there is no shift {0}", {shift.name}));
  *found = shift;
  CheckAll(shifts, r.rows.Patterns());
  if (!r.rows.ReplaceShift(shift)) throw InputError(Message("there is no shift {0}", {shift.name}));
  r.Release();
  Audit(at, "shift.change", ShiftDetails(shift));
}

void RemoveShift(const AttendanceSite& at, const std::string& name) {
  SiteRows r(at);
  std::string users;
  for (const Pattern& p : r.rows.Patterns())
    if (std::find(p.days.begin(), p.days.end(), name) != p.days.end()) users += (users.empty() ? "" : ", ") + p.name;
  if (!users.empty()) throw InputError(Message("shift {0} is worked in pattern {1}: remove those first", {name, users}));
  if (!r.rows.RemoveShift(name)) throw InputError(Message("there is no shift {0}", {name}));
  r.Release();
  Audit(at, "shift.remove", "shift " + name);
}

std::vector<Shift> ListShifts(const AttendanceSite& at) { return SiteRows(at).rows.Shifts(); }

void AddPattern(const AttendanceSite& at, const Pattern& pattern) {
  if (pattern.name.empty()) throw InputError(Message("a pattern needs a name"));
  if (pattern.kind == attendance::PatternKind::kRotation) {
    CheckedDate(pattern.starts, "rotation start");
    if (pattern.days.empty()) throw InputError(Message("rotation {0} has no days", {pattern.name}));
  } else if (pattern.days.size() != 7) {
    throw InputError(Message("a week has 7 days, not {0}", {Number(static_cast<std::int64_t>(pattern.days.size()))}));
  }
  SiteRows r(at);
  std::vector<Pattern> patterns = r.rows.Patterns();
  for (const Pattern& p : patterns)
    if (p.name == pattern.name) throw InputError(Message("pattern {0} exists already", {pattern.name}));
  patterns.push_back(pattern);
  CheckAll(r.rows.Shifts(), patterns);
  if (!r.rows.AddPattern(pattern)) throw InputError(Message("pattern {0} exists already", {pattern.name}));
  std::string days;
  for (const std::string& d : pattern.days) days += (days.empty() ? "" : ",") + d;
  r.Release();
  Audit(at, "pattern.add", "pattern " + pattern.name + " (" + attendance::PatternKindWord(pattern.kind) + ") " + days);
}

void RemovePattern(const AttendanceSite& at, const std::string& name) {
  SiteRows r(at);
  std::string ids;
  for (const Assignment& a : r.rows.Assignments())
    if (a.pattern == name) ids += (ids.empty() ? "" : ", ") + Number(a.id);
  if (!ids.empty()) throw InputError(Message("pattern {0} is assigned (assignments {1}): unassign them first", {name, ids}));
  if (!r.rows.RemovePattern(name)) throw InputError(Message("there is no pattern {0}", {name}));
  r.Release();
  Audit(at, "pattern.remove", "pattern " + name);
}

std::vector<Pattern> ListPatterns(const AttendanceSite& at) { return SiteRows(at).rows.Patterns(); }

namespace {
std::string AssignmentDetails(const Assignment& a) {
  std::string who = a.target == attendance::TargetKind::kPerson ? "person " + Number(a.person) : "department " + a.department;
  return "assignment " + Number(a.id) + ": pattern " + a.pattern + " to " + who + " from " + a.from +
         (a.until ? " until " + *a.until : "");
}
}  // namespace

std::int64_t Assign(const AttendanceSite& at, const Assignment& assignment) {
  const std::vector<std::int32_t> person{assignment.person};
  return Assign(at, assignment, assignment.target == attendance::TargetKind::kPerson ? person : std::vector<std::int32_t>{}).at(0);
}

std::vector<std::int64_t> Assign(const AttendanceSite& at, const Assignment& assignment,
                                 const std::vector<std::int32_t>& people) {
  std::vector<Assignment> each;
  if (assignment.target == attendance::TargetKind::kPerson) {
    if (people.empty()) throw InputError(Message("an assignment to people needs at least one person"));
    for (std::int32_t person : people) {
      if (person <= 0) throw InputError(Message("person {0} is no person number (1 or more)", {Number(person)}));
      if (std::any_of(each.begin(), each.end(), [&](const Assignment& a) { return a.person == person; }))
        throw InputError(Message("person {0} is named twice", {Number(person)}));
      each.push_back(assignment);
      each.back().person = person;
    }
  } else {
    if (assignment.department.empty()) throw InputError(Message("an assignment to a department needs the department's name"));
    each.push_back(assignment);
  }
  const std::int64_t from = CheckedDate(assignment.from, "from");
  if (assignment.until && CheckedDate(*assignment.until, "until") < from)
    throw InputError(Message("until {0} is before from {1}", {*assignment.until, assignment.from}));
  SiteRows r(at);
  const std::vector<Pattern> patterns = r.rows.Patterns();
  if (std::none_of(patterns.begin(), patterns.end(), [&](const Pattern& p) { return p.name == assignment.pattern; }))
    throw InputError(Message("there is no pattern {0}", {assignment.pattern}));
  // Every one checked, against the stored and those before it, before any is written.
  std::vector<Assignment> held = r.rows.Assignments();
  for (const Assignment& a : each) {
    if (std::optional<Assignment> clash = attendance::ClashingAssignment(held, a)) {
      if (a.target == attendance::TargetKind::kPerson)
        throw InputError(Message("person {0} has assignment {1} (pattern {2}) on those days already; nothing assigned",
                                 {Number(a.person), Number(clash->id), clash->pattern}));
      throw InputError(Message("this gives the same people two patterns on one day: it overlaps {0}",
                               {AssignmentDetails(*clash)}));
    }
    held.push_back(a);
  }
  const std::vector<std::int64_t> ids = r.rows.AddAssignments(each);
  r.Release();
  for (std::size_t i = 0; i < each.size() && i < ids.size(); ++i) {
    each[i].id = ids[i];
    Audit(at, "shift.assign", AssignmentDetails(each[i]));
  }
  return ids;
}

void Unassign(const AttendanceSite& at, std::int64_t id) {
  SiteRows r(at);
  if (!r.rows.RemoveAssignment(id)) throw InputError(Message("there is no assignment {0}", {Number(id)}));
  r.Release();
  Audit(at, "shift.unassign", "assignment " + Number(id));
}

std::vector<Assignment> ListAssignments(const AttendanceSite& at) { return SiteRows(at).rows.Assignments(); }

void SetDayOff(const AttendanceSite& at, const DayOff& day) {
  CheckedDate(day.date, "date");
  SiteRows(at).rows.SetDayOff(day);
  Audit(at, "holiday.set",
        std::string(attendance::DayOffKindWord(day.kind)) + " " + day.date + (day.name.empty() ? "" : " " + day.name));
}

void RemoveDayOff(const AttendanceSite& at, const std::string& date) {
  CheckedDate(date, "date");
  if (!SiteRows(at).rows.RemoveDayOff(date)) throw InputError(Message("{0} is no holiday or rest day", {date}));
  Audit(at, "holiday.remove", "day " + date);
}

std::vector<DayOff> ListDaysOff(const AttendanceSite& at, const std::optional<std::string>& year) {
  if (!year) return SiteRows(at).rows.DaysOff();
  if (year->size() != 4 || year->find_first_not_of("0123456789") != std::string::npos)
    throw InputError(Message("year '{0}' is not a year YYYY", {*year}));
  return SiteRows(at).rows.DaysOff(*year + "-01-01", *year + "-12-31");
}

// ---- Leave ----

namespace {

// Why one leave cannot be kept, none when it can (against the kinds, the closed months, the
// person's other leave and the leave before it in the same batch).
std::optional<Message> LeaveProblem(const Leave& l, const std::vector<std::string>& kinds,
                                    const std::vector<std::string>& closed, const std::vector<Leave>& others) {
  if (l.person <= 0) return Message("person {0} is no person number (1 or more)", {Number(l.person)});
  if (std::find(kinds.begin(), kinds.end(), l.kind) == kinds.end()) {
    std::string known;
    for (const std::string& k : kinds) known += (known.empty() ? "" : ", ") + k;
    return Message("'{0}' is no leave kind of this site (the kinds: {1})", {l.kind, known});
  }
  const std::optional<std::int64_t> from = DayNumber(l.from), to = DayNumber(l.to);
  if (!from) return Message("from '{0}' is not a date YYYY-MM-DD", {l.from});
  if (!to) return Message("to '{0}' is not a date YYYY-MM-DD", {l.to});
  if (*to < *from) return Message("to {0} is before from {1}", {l.to, l.from});
  if (l.part_start.has_value() != l.part_end.has_value()) return Message("a part of a day needs its start and its end");
  if (l.part_start) {
    if (l.from != l.to) return Message("a part of a day is one day: from and to must be the same date");
    if (*l.part_start < 0 || *l.part_end > 1439 || *l.part_start >= *l.part_end)
      return Message("part {0}-{1} is not a part of a day (start before end, 00:00..23:59)",
                     {ClockText(std::max(0, *l.part_start)), ClockText(std::max(0, *l.part_end))});
  }
  for (const std::string& month : closed)
    if (month >= l.from.substr(0, 7) && month <= l.to.substr(0, 7))
      return Message("month {0} is closed: reopen it first (vanto month reopen {0})", {month});
  for (const Leave& o : others) {
    if (o.entered.withdrawn() || o.person != l.person || o.to < l.from || l.to < o.from) continue;
    // Two parts of one day that do not overlap may both be taken.
    if (o.part_start && l.part_start && (*o.part_end <= *l.part_start || *l.part_end <= *o.part_start)) continue;
    return o.id ? Message("person {0} is on leave {1} ({2} to {3}) already", {Number(l.person), Number(o.id), o.from, o.to})
                : Message("person {0}'s leave from {1} to {2} is given twice", {Number(l.person), o.from, o.to});
  }
  return std::nullopt;
}

std::vector<std::int64_t> StoreLeave(const AttendanceSite& at, SiteRows& r, std::vector<Leave> leave) {
  for (Leave& l : leave) {
    l.id = 0;
    l.entered = {at.actor.name, NowText(at), std::nullopt, std::nullopt};
  }
  std::vector<std::int64_t> ids = r.rows.AddLeave(leave);
  r.Release();
  for (std::size_t i = 0; i < leave.size() && i < ids.size(); ++i) {
    const Leave& l = leave[i];
    Audit(at, "leave.add",
          "leave " + Number(ids[i]) + ": person " + Number(l.person) + ", " + l.kind + ", " + l.from + " to " + l.to +
              (l.part_start ? " " + ClockText(*l.part_start) + "-" + ClockText(*l.part_end) : ""));
  }
  return ids;
}

// Every leave of the people in `leave` over its dates, withdrawn ones too.
std::vector<Leave> LeaveAround(store::AttendanceRows& rows, const std::vector<Leave>& leave) {
  std::string from = "9999-12-31", to = "0000-01-01";
  for (const Leave& l : leave) from = std::min(from, l.from), to = std::max(to, l.to);
  if (leave.empty()) return {};
  return rows.Leave(from, to);
}

}  // namespace

std::vector<std::int64_t> AddLeave(const AttendanceSite& at, const std::vector<Leave>& leave) {
  if (leave.empty()) return {};
  SiteRows r(at);
  const std::vector<std::string> kinds = r.rows.LeaveKinds(), closed = r.rows.ClosedMonths();
  std::vector<Leave> others = LeaveAround(r.rows, leave);
  for (const Leave& l : leave) {
    if (std::optional<Message> problem = LeaveProblem(l, kinds, closed, others)) throw InputError(*problem);
    others.push_back(l);
    others.back().id = 0;
  }
  return StoreLeave(at, r, leave);
}

namespace {

// One CSV record's fields (RFC 4180: quoted fields may hold commas, quotes as "", line breaks);
// `line` is where the record began. False at the end of the text.
bool NextCsvRecord(const std::string& text, std::size_t& at, int& line, std::vector<std::string>& fields, int& began,
                   bool& unterminated) {
  fields.clear();
  unterminated = false;
  if (at >= text.size()) return false;
  began = line;
  std::string field;
  bool quoted = false, was_quoted = false;
  while (at < text.size()) {
    const char c = text[at++];
    if (quoted) {
      if (c == '"') {
        if (at < text.size() && text[at] == '"') field += '"', ++at;
        else quoted = false;
      } else {
        if (c == '\n') ++line;
        field += c;
      }
    } else if (c == '"' && field.empty() && !was_quoted) {
      quoted = was_quoted = true;
    } else if (c == ',') {
      fields.push_back(std::move(field));
      field.clear();
      was_quoted = false;
    } else if (c == '\n') {
      ++line;
      break;
    } else if (c != '\r') {
      field += c;
    }
  }
  unterminated = quoted;
  fields.push_back(std::move(field));
  return true;
}

std::optional<int> TimeOfDay(const std::string& text) {
  if (text.size() != 5 || text[2] != ':') return std::nullopt;
  if (text.find_first_not_of("0123456789", 0) != 2 || text.substr(3).find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int h = std::stoi(text.substr(0, 2)), m = std::stoi(text.substr(3));
  if (h > 23 || m > 59) return std::nullopt;
  return h * 60 + m;
}

}  // namespace

std::vector<std::int64_t> ImportLeaveCsv(const AttendanceSite& at, const std::string& csv) {
  std::string text = csv;
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // a spreadsheet's byte order mark
  std::size_t pos = 0;
  int line = 1, began = 1;
  bool unterminated = false;
  std::vector<std::string> fields;
  if (!NextCsvRecord(text, pos, line, fields, began, unterminated))
    throw InputError(Message("the leave file is empty (it needs a header: person,kind,from,to,part_start,part_end,note)"));
  std::map<std::string, std::size_t> column;
  const std::set<std::string> known = {"person", "kind", "from", "to", "part_start", "part_end", "note"};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::string name = fields[i];
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (!known.count(name))
      throw InputError(Message("line 1: column '{0}' is unknown (the columns: person, kind, from, to, part_start, part_end, note)", {name}));
    column[name] = i;
  }
  for (const char* needed : {"person", "kind", "from", "to"})
    if (!column.count(needed)) throw InputError(Message("line 1: the header has no column '{0}'", {needed}));

  SiteRows r(at);
  const std::vector<std::string> kinds = r.rows.LeaveKinds(), closed = r.rows.ClosedMonths();
  std::vector<Leave> leave;
  std::vector<int> lines;
  std::vector<Message> problems;
  auto field = [&](const char* name) -> std::string {
    auto c = column.find(name);
    return c == column.end() || c->second >= fields.size() ? "" : fields[c->second];
  };
  while (NextCsvRecord(text, pos, line, fields, began, unterminated)) {
    if (fields.size() == 1 && fields[0].empty()) continue;  // a blank line
    auto bad = [&](Message why) { problems.push_back(Message::Join({"line " + Number(began) + ": ", std::move(why)})); };
    if (unterminated) {
      bad(Message("a quoted field is not closed"));
      break;
    }
    Leave l;
    const std::string person = field("person");
    if (person.empty() || person.size() > 9 || person.find_first_not_of("0123456789") != std::string::npos) {
      bad(Message("person '{0}' is no person number", {person}));
      continue;
    }
    l.person = static_cast<std::int32_t>(std::stol(person));
    l.kind = field("kind");
    l.from = field("from");
    l.to = field("to").empty() ? l.from : field("to");
    l.note = field("note");
    const std::string ps = field("part_start"), pe = field("part_end");
    if (!ps.empty() || !pe.empty()) {
      const std::optional<int> s = TimeOfDay(ps), e = TimeOfDay(pe);
      if (!s || !e) {
        bad(Message("part '{0}'-'{1}' is not two times of day HH:MM", {ps, pe}));
        continue;
      }
      l.part_start = s, l.part_end = e;
    }
    std::vector<Leave> others = LeaveAround(r.rows, {l});
    others.insert(others.end(), leave.begin(), leave.end());
    if (std::optional<Message> problem = LeaveProblem(l, kinds, closed, others)) {
      bad(*problem);
      continue;
    }
    leave.push_back(l);
    lines.push_back(began);
  }
  if (!problems.empty()) {
    // Every bad row by its line (the first kShown of them; then how many more).
    constexpr std::size_t kShown = 20;
    std::string slots;
    std::vector<Message> values;
    for (std::size_t i = 0; i < problems.size() && i < kShown; ++i) {
      slots += (i ? "; {" : "{") + Number(static_cast<std::int64_t>(i)) + "}";
      values.push_back(problems[i]);
    }
    if (problems.size() > kShown) {
      slots += "; {" + Number(static_cast<std::int64_t>(kShown)) + "}";
      values.push_back(Message("and {0} more", {Number(static_cast<std::int64_t>(problems.size() - kShown))}));
    }
    throw InputError(Message::Join({Message("{0} bad rows; nothing imported", {Number(static_cast<std::int64_t>(problems.size()))}),
                                    ": ", Message::Of(slots, false, values)}));
  }
  if (leave.empty()) throw InputError(Message("the leave file lists no leave"));
  return StoreLeave(at, r, leave);
}

void WithdrawLeave(const AttendanceSite& at, std::int64_t id) {
  SiteRows r(at);
  const std::optional<Leave> found = r.rows.FindLeave(id);
  if (!found) throw InputError(Message("there is no leave {0}", {Number(id)}));
  if (found->entered.withdrawn()) throw InputError(Message("leave {0} is withdrawn already", {Number(id)}));
  RefuseClosed(r.rows, found->from, found->to);
  if (!r.rows.WithdrawLeave(id, at.actor.name, NowText(at)))
    throw InputError(Message("leave {0} is withdrawn already", {Number(id)}));
  r.Release();
  Audit(at, "leave.withdraw", "leave " + Number(id) + ": person " + Number(found->person));
}

std::vector<Leave> ListLeave(const AttendanceSite& at, const std::string& from, const std::string& to,
                             std::optional<std::int32_t> person) {
  if (CheckedDate(to, "to") < CheckedDate(from, "from")) throw InputError(Message("to {0} is before from {1}", {to, from}));
  return SiteRows(at).rows.Leave(from, to, person);
}

std::vector<std::string> LeaveKinds(const AttendanceSite& at) { return SiteRows(at).rows.LeaveKinds(); }

void SetLeaveKinds(const AttendanceSite& at, const std::vector<std::string>& kinds) {
  if (kinds.empty()) throw InputError(Message("a site needs at least one leave kind"));
  std::set<std::string> seen;
  for (const std::string& k : kinds) {
    if (k.empty() || k.size() > 32 || k.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_") != std::string::npos)
      throw InputError(Message("leave kind '{0}' is not a word of 1 to 32 small letters, digits, '-' and '_'", {k}));
    if (!seen.insert(k).second) throw InputError(Message("leave kind '{0}' is given twice", {k}));
  }
  SiteRows(at).rows.SetLeaveKinds(kinds);
  std::string list;
  for (const std::string& k : kinds) list += (list.empty() ? "" : ", ") + k;
  Audit(at, "leave.kinds", "leave kinds " + list);
}

// ---- Judging ----

namespace {

// The last complete sync (UTC end, "" never) of each terminal the site's runs reached.
std::map<std::pair<int, int>, std::string> LastCompleteSyncs(const AttendanceSite& at) {
  return at.db.SyncRuns()->LastCompleteSyncs(at.site.name);
}

std::vector<attendance::TerminalState> Terminals(const AttendanceSite& at) {
  const std::map<std::pair<int, int>, std::string> synced = LastCompleteSyncs(at);
  std::map<std::pair<int, int>, attendance::TerminalState> all;
  for (const auto& [key, when] : synced) all[key] = {key.first, key.second, when, true, attendance::Direction::kUnknown};
  if (at.file) {
    for (const site::SitePort& port : at.file->ports) {
      auto has = [](const std::vector<int>& list, int t) { return std::find(list.begin(), list.end(), t) != list.end(); };
      if (!port.scan)  // a scanned range: only the terminals found (those with sync runs)
        for (int t : port.terminals) all.try_emplace({port.number, t}, attendance::TerminalState{port.number, t, "", true});
      for (auto& [key, state] : all) {
        if (key.first != port.number) continue;
        if (has(port.in_terminals, key.second)) state.direction = attendance::Direction::kIn;
        if (has(port.out_terminals, key.second)) state.direction = attendance::Direction::kOut;
        if (has(port.not_collected, key.second)) state.collected = false;
      }
    }
  }
  std::vector<attendance::TerminalState> list;
  for (auto& [key, state] : all) list.push_back(state);
  return list;
}

// The swipes of the site (of `person` only when given) at wall times of the dates from..to
// (inclusive), by time, as the rules take them: one narrow read of the swipe store. Each is
// handed to `seen` too when given.
std::vector<attendance::Swipe> ReadSwipes(const AttendanceSite& at, const std::string& from, const std::string& to,
                                          std::optional<std::int32_t> person, const SwipeSeen* seen = nullptr) {
  store::SwipeQuery query;
  query.from = from;
  query.to = to;
  query.site = at.site.filter;
  if (person) query.persons = {*person};
  std::vector<attendance::Swipe> swipes;
  std::unique_ptr<store::SwipeStore> store = at.db.Swipes();
  store->EachBrief(query, [&](const store::BriefSwipe& s) {
    if (seen && *seen) (*seen)(s);
    swipes.push_back({s.person, s.time, s.port, s.terminal});
    return true;
  });
  return swipes;
}

// What GatherInput reads besides the site's settings. A part of a month (first..last inside
// month_first..month_last) takes the month's leave and corrections and names the month's people
// (everyone with a swipe in it too), so that its days are judged as the month judges them.
struct Gathered {
  std::string month_first, month_last;
  const std::vector<attendance::Swipe>* swipes = nullptr;  // by time, covering first - 1 .. last + 2; none: read
};

// The input of first..last for the rules: people (of `person` only), swipes from the day before
// to two days after, the site's settings and entries. It holds one connection of the database's
// pool at a time (the swipes', the sync runs', then the attendance rows'), and its caller holds
// none while it reads: a request that held one while waiting for another could wait out the lock
// timeout whenever as many requests at once hold the pool's every connection.
attendance::MonthInput GatherInput(const AttendanceSite& at, const std::string& first, const std::string& last,
                                   std::optional<std::int32_t> person, const Gathered& given = {}) {
  attendance::MonthInput in;
  in.site = at.site.name;
  in.timezone = ZoneName(at);
  in.first = first;
  in.last = last;
  if (at.file) {
    in.day_starts = site::ParseTimeOfDay(at.file->day_starts).value_or(0);
    if (at.file->late_after) in.late_after = site::ParseTimeOfDay(*at.file->late_after);
    in.pending_limit_days = at.file->pending_limit;
  }
  in.now = NowText(at);
  const std::int64_t first_day = *DayNumber(first), last_day = *DayNumber(last);
  const std::int64_t month_first = given.month_first.empty() ? first_day : *DayNumber(given.month_first);
  const std::int64_t month_last = given.month_last.empty() ? last_day : *DayNumber(given.month_last);
  const bool part = month_first != first_day || month_last != last_day;
  std::vector<std::int32_t> swiped;  // a part of a month: who swiped in the whole month
  {
    std::unique_ptr<store::SwipeStore> swipes = at.db.Swipes();
    for (const report::Person& p : StoredPeople(*swipes, at.site.filter))
      if (!person || p.number == *person) in.people.push_back({p.number, p.department});
    if (part && !person) {
      store::SwipeQuery month;
      month.from = DateOfDay(month_first - 1);
      month.to = DateOfDay(month_last + 2);
      month.site = at.site.filter;
      swiped = swipes->PersonsWithSwipes(month);
    }
  }
  // Only what the rules take, from one index (a whole site's month: a million swipes and more).
  const std::string swipes_from = DateOfDay(first_day - 1), swipes_to = DateOfDay(last_day + 2);
  if (given.swipes) {
    const std::vector<attendance::Swipe>& all = *given.swipes;
    auto begin = std::lower_bound(all.begin(), all.end(), swipes_from,
                                  [](const attendance::Swipe& s, const std::string& t) { return s.time < t; });
    auto end = std::lower_bound(begin, all.end(), swipes_to + "~",
                                [](const attendance::Swipe& s, const std::string& t) { return s.time < t; });
    in.swipes.assign(begin, end);
  } else {
    in.swipes = ReadSwipes(at, swipes_from, swipes_to, person);
  }
  in.terminals = Terminals(at);
  SiteRows r(at);
  store::AttendanceRows& rows = r.rows;
  in.shifts = rows.Shifts();
  in.patterns = rows.Patterns();
  in.assignments = rows.Assignments();
  // Everyone given a pattern of their own is judged, named in the people table or not (and the
  // person asked for).
  std::set<std::int32_t> listed;
  for (const attendance::PersonInput& p : in.people) listed.insert(p.person);
  auto judged = [&](std::int32_t number) {
    if ((!person || number == *person) && listed.insert(number).second) in.people.push_back({number, ""});
  };
  for (const Assignment& a : in.assignments)
    if (a.target == attendance::TargetKind::kPerson) judged(a.person);
  if (person) judged(*person);
  for (std::int32_t number : swiped) judged(number);
  in.days_off = rows.DaysOff(DateOfDay(first_day - 1), DateOfDay(last_day + 1));
  in.leave = rows.Leave(DateOfDay(month_first - 1), DateOfDay(month_last + 1), person);
  in.corrections = rows.Corrections(DateOfDay(month_first - 1), DateOfDay(month_last + 2), person);
  return in;
}

// Days a part of a month is judged from before its first day. A day's window opens where the
// windows before it closed, so a day can hang on the days before it; but no window closes later
// than three days after its day begins (start, length, window after: each under a day) and none
// opens before the day before, so a window of 3 or more days earlier never reaches a judged
// day. Shifts outside those bounds (never stored by AddShift) are judged from the month's start.
constexpr std::int64_t kDaysBefore = 3;

bool WindowsWithinADay(const std::vector<Shift>& shifts) {
  return std::all_of(shifts.begin(), shifts.end(), [](const Shift& s) {
    auto within = [](int minutes) { return minutes >= 0 && minutes < 1440; };
    return within(s.start) && within(s.end) && within(s.window_before) && within(s.window_after);
  });
}

std::vector<DayResult> DaysOfClosed(const attendance::ClosedMonth& closed, std::optional<std::int32_t> person) {
  std::vector<DayResult> days;
  nlohmann::json all;
  try {
    all = nlohmann::json::parse(closed.days_json);
    for (const nlohmann::json& day : all) {
      DayResult d = DayFromJson(day);
      if (!person || d.person == *person) days.push_back(std::move(d));
    }
  } catch (const nlohmann::json::exception& e) {
    throw HostError(Message("the stored days of closed month {0} cannot be read: {1}", {closed.month, e.what()}));
  }
  return days;
}

// The month judged now; `until`: when the clock alone judges one of its days otherwise.
MonthAttendance JudgeMonthNow(const AttendanceSite& at, const std::string& month, std::optional<std::int32_t> person,
                              std::int64_t* until) {
  const auto [first, last] = MonthDates(month);
  MonthAttendance result;
  result.month = month;
  *until = std::numeric_limits<std::int64_t>::max();
  if (std::optional<attendance::ClosedMonth> closed = SiteRows(at).rows.Closed(month)) {
    result.closed = true;
    result.closed_by = closed->closed_by;
    result.closed_at = closed->closed_at;
    result.days = DaysOfClosed(*closed, person);
    return result;
  }
  attendance::MonthInput in = GatherInput(at, first, last, person);
  result.days = attendance::JudgeDays(in, until);
  if (person) std::erase_if(result.days, [&](const DayResult& d) { return d.person != *person; });
  return result;
}

// What a kept month was judged for besides the database's rows: the site, the site file's
// settings the rules take, the month and the person.
std::string KeptKey(const AttendanceSite& at, const std::string& month, std::optional<std::int32_t> person) {
  nlohmann::json key = {at.site.name, at.site.filter ? nlohmann::json(*at.site.filter) : nlohmann::json(), ZoneName(at),
                        month, person ? nlohmann::json(*person) : nlohmann::json()};
  if (at.file) {
    key.push_back({at.file->day_starts, at.file->late_after ? nlohmann::json(*at.file->late_after) : nlohmann::json(),
                   at.file->pending_limit});
    for (const site::SitePort& port : at.file->ports)
      key.push_back({port.number, port.scan, port.terminals, port.in_terminals, port.out_terminals, port.not_collected});
  }
  return key.dump();
}

}  // namespace

MonthAttendance JudgeMonth(const AttendanceSite& at, const std::string& month, std::optional<std::int32_t> person) {
  if (at.judged) return *JudgedMonth(at, month, person);
  std::int64_t until = 0;
  return JudgeMonthNow(at, month, person, &until);
}

std::shared_ptr<const MonthAttendance> JudgedMonth(const AttendanceSite& at, const std::string& month,
                                                   std::optional<std::int32_t> person) {
  MonthDates(month);
  std::int64_t until = 0;
  // The count is read before anything the month is judged from: a write in between is judged
  // with the month but leaves a count that holds no longer, so it is judged again next time.
  const std::optional<std::int64_t> changes = at.judged ? SiteRows(at).rows.Changes() : std::nullopt;
  if (!changes) return std::make_shared<const MonthAttendance>(JudgeMonthNow(at, month, person, &until));
  const std::string key = KeptKey(at, month, person);
  const std::int64_t now = UnixSeconds(at);
  bool claimed = false;
  if (std::shared_ptr<const MonthAttendance> kept = at.judged->Claim(key, *changes, now, at.db.lock_timeout(), &claimed))
    return kept;
  struct Claim {
    JudgedMonths* months;
    const std::string& key;
    ~Claim() {
      if (months) months->Release(key);
    }
  } claim{claimed ? at.judged : nullptr, key};
  if (person) {
    // A person's days of the site's month kept: judged as judging the person alone judges them
    // (each person is judged on their own, from the same settings and entries).
    if (std::shared_ptr<const MonthAttendance> site = at.judged->Find(KeptKey(at, month, std::nullopt), *changes, now, &until)) {
      auto mine = std::make_shared<MonthAttendance>();
      mine->month = site->month;
      mine->closed = site->closed;
      mine->closed_by = site->closed_by;
      mine->closed_at = site->closed_at;
      for (const DayResult& d : site->days)
        if (d.person == *person) mine->days.push_back(d);
      if (!mine->days.empty()) {  // else judged alone: someone the site's month does not name
        at.judged->Keep(key, *changes, until, mine);
        return mine;
      }
    }
  }
  auto judged = std::make_shared<const MonthAttendance>(JudgeMonthNow(at, month, person, &until));
  at.judged->Keep(key, *changes, until, judged);
  return judged;
}

std::shared_ptr<const MonthAttendance> JudgedMonths::Find(const std::string& key, std::int64_t changes, std::int64_t now,
                                                          std::int64_t* until) {
  const std::lock_guard<std::mutex> lock(mutex_);
  return Holding(key, changes, now, until);
}

std::shared_ptr<const MonthAttendance> JudgedMonths::Claim(const std::string& key, std::int64_t changes, std::int64_t now,
                                                           std::chrono::milliseconds wait, bool* claimed) {
  *claimed = false;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    if (std::shared_ptr<const MonthAttendance> kept = Holding(key, changes, now, nullptr)) return kept;
    if (judging_.insert(key).second) {
      *claimed = true;
      return nullptr;
    }
    if (released_.wait_until(lock, deadline) == std::cv_status::timeout) return Holding(key, changes, now, nullptr);
  }
}

void JudgedMonths::Release(const std::string& key) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    judging_.erase(key);
  }
  released_.notify_all();
}

// The entry under `key` when it holds; the caller holds mutex_.
std::shared_ptr<const MonthAttendance> JudgedMonths::Holding(const std::string& key, std::int64_t changes, std::int64_t now,
                                                             std::int64_t* until) {
  auto it = entries_.find(key);
  if (it == entries_.end() || it->second.changes != changes || now >= it->second.until) return nullptr;
  it->second.used = ++uses_;
  if (until) *until = it->second.until;
  return it->second.month;
}

void JudgedMonths::Keep(const std::string& key, std::int64_t changes, std::int64_t until,
                        std::shared_ptr<const MonthAttendance> month) {
  const std::lock_guard<std::mutex> lock(mutex_);
  // Counts only grow: a month judged under an older count than one kept holds no longer, and
  // neither do the ones kept under an older count than this month's.
  for (const auto& [k, e] : entries_)
    if (e.changes > changes) return;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->first == key || it->second.changes < changes) {
      days_ -= it->second.month->days.size();
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  const std::size_t days = month->days.size();
  while (!entries_.empty() && days_ + days > max_days_) {
    auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                   [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
    days_ -= oldest->second.month->days.size();
    entries_.erase(oldest);
  }
  if (days > max_days_) return;
  days_ += days;
  entries_[key] = Entry{changes, until, ++uses_, std::move(month)};
}

std::size_t JudgedMonths::size() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

std::vector<DayResult> JudgeRange(const AttendanceSite& at, const std::string& first, const std::string& last,
                                  std::optional<std::int32_t> person) {
  return JudgeRange(at, first, last, person, SwipeSeen());
}

std::vector<DayResult> JudgeRange(const AttendanceSite& at, const std::string& first, const std::string& last,
                                  std::optional<std::int32_t> person, const SwipeSeen& seen) {
  const std::int64_t from = CheckedDate(first, "first day"), to = CheckedDate(last, "last day");
  if (to < from) throw InputError(Message("the last day {0} comes before the first day {1}", {last, first}));
  // Each month touched: the part of it asked for, as it was kept when closed.
  struct Part {
    std::string month, month_first, month_last, first, last;
    std::optional<attendance::ClosedMonth> closed;
  };
  std::vector<Part> parts;
  bool judging = false;
  std::vector<Shift> shifts;
  {  // the rows' connection given back before the swipes are read
    SiteRows r(at);
    for (std::string month = first.substr(0, 7); month <= last.substr(0, 7);) {
      const auto [begins, ends] = MonthDates(month);
      parts.push_back({month, begins, ends, std::max(begins, first), std::min(ends, last), r.rows.Closed(month)});
      month = DateOfDay(*DayNumber(ends) + 1).substr(0, 7);
    }
    judging = std::any_of(parts.begin(), parts.end(), [](const Part& p) { return !p.closed; });
    if (judging) shifts = r.rows.Shifts();
  }
  // One read of the swipes every open part needs (the days before its first, and two after its
  // last), also the ones handed to `seen`.
  std::vector<attendance::Swipe> swipes;
  const bool narrow = WindowsWithinADay(shifts);
  if (judging || seen) {
    std::int64_t earliest = from;
    for (const Part& p : parts)
      if (!p.closed) {
        earliest = std::min(earliest, narrow ? std::max(*DayNumber(p.month_first), *DayNumber(p.first) - kDaysBefore)
                                             : *DayNumber(p.month_first));
        break;  // the first open part starts earliest
      }
    swipes = ReadSwipes(at, DateOfDay(earliest - 1), DateOfDay(to + 2), person, &seen);
  }
  std::vector<DayResult> days;
  for (const Part& p : parts) {
    std::vector<DayResult> judged;
    if (p.closed) {
      judged = DaysOfClosed(*p.closed, person);
    } else {
      const std::string judged_first =
          narrow ? std::max(p.month_first, DateOfDay(*DayNumber(p.first) - kDaysBefore)) : p.month_first;
      attendance::MonthInput in =
          GatherInput(at, judged_first, p.last, person, Gathered{p.month_first, p.month_last, &swipes});
      judged = attendance::JudgeDays(in);
    }
    for (DayResult& d : judged)
      if (d.date >= p.first && d.date <= p.last && (!person || d.person == *person)) days.push_back(std::move(d));
  }
  // Each month lists by person, then date: merged, the period does.
  std::stable_sort(days.begin(), days.end(), [](const DayResult& a, const DayResult& b) { return a.person < b.person; });
  return days;
}

void CloseMonth(const AttendanceSite& at, const std::string& month) {
  const auto [first, last] = MonthDates(month);
  if (last >= TodayText(at))
    throw InputError(Message("month {0} is not over yet in the site's time zone ({1}): it can be closed from the day after {2}",
                             {month, ZoneName(at), last}));
  if (std::optional<attendance::ClosedMonth> closed = SiteRows(at).rows.Closed(month))
    throw InputError(Message("month {0} is closed already (by {1} at {2})", {month, closed->closed_by, closed->closed_at}));
  attendance::MonthInput in = GatherInput(at, first, last, std::nullopt);
  const std::vector<DayResult> days = attendance::JudgeDays(in);
  std::size_t pending = 0;
  const DayResult* example = nullptr;
  for (const DayResult& d : days)
    if (d.status == attendance::Status::kPending && pending++ == 0) example = &d;
  if (example) {
    std::string waiting;
    for (const attendance::Waiting& w : example->pending) waiting += (waiting.empty() ? "" : ", ") + w.terminal;
    throw InputError(Message("month {0} has {1} days still pending (the first: person {2} on {3}, waiting for terminal {4}): "
                             "sync those terminals first",
                             {month, Number(static_cast<std::int64_t>(pending)), Number(example->person), example->date, waiting}));
  }
  nlohmann::json all = nlohmann::json::array();
  for (const DayResult& d : days) all.push_back(DayJson(d));
  if (!SiteRows(at).rows.Close({month, at.actor.name, NowText(at), all.dump()}))
    throw InputError(Message("month {0} is closed already", {month}));
  Audit(at, "month.close", "month " + month + ", " + Number(static_cast<std::int64_t>(days.size())) + " days kept");
}

void ReopenMonth(const AttendanceSite& at, const std::string& month) {
  MonthDates(month);
  if (!SiteRows(at).rows.Reopen(month)) throw InputError(Message("month {0} is not closed", {month}));
  Audit(at, "month.reopen", "month " + month);
}

// ---- Corrections ----

namespace {
std::string CorrectionDetails(const Correction& c) {
  std::string text = "correction " + Number(c.id) + ": person " + Number(c.person) + ", " +
                     attendance::CorrectionKindWord(c.kind) + " " + c.time;
  if (c.kind == CorrectionKind::kAdd) text += std::string(" ") + attendance::DirectionWord(c.direction);
  else text += " port " + Number(c.port) + " terminal " + Number(c.terminal);
  return text + ", reason: " + c.reason;
}
}  // namespace

std::int64_t AddCorrection(const AttendanceSite& at, const Correction& correction) {
  Correction c = correction;
  auto blank = [](const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; };
  if (blank(c.reason)) throw InputError(Message("a correction needs its reason"));
  if (c.person <= 0) throw InputError(Message("person {0} is no person number (1 or more)", {Number(c.person)}));
  if (c.time.size() == 16) c.time += ":00";
  const std::optional<std::int64_t> day = c.time.size() == 19 ? DayNumber(c.time.substr(0, 10)) : std::nullopt;
  if (!day || c.time[10] != ' ' || !attendance::WallTimeExists("UTC", c.time))
    throw InputError(Message("time '{0}' is not a time YYYY-MM-DD HH:MM:SS", {correction.time}));
  if (!attendance::WallTimeExists(ZoneName(at), c.time))
    throw InputError(Message("{0} does not exist in time zone {1} (the clocks skipped it)", {c.time, ZoneName(at)}));
  if (c.kind == CorrectionKind::kAdd && c.direction == attendance::Direction::kUnknown)
    throw InputError(Message("an added swipe is a check-in or a check-out (--in or --out)"));
  {  // the rows' connection given back before the day is gathered (GatherInput)
    SiteRows r(at);
    RefuseClosed(r.rows, c.time.substr(0, 10), c.time.substr(0, 10));
    for (const Correction& o : r.rows.Corrections(DateOfDay(*day - 1), DateOfDay(*day + 1), c.person)) {
      if (o.entered.withdrawn() || o.kind != c.kind || o.person != c.person) continue;
      const bool same = c.kind == CorrectionKind::kAdd ? o.time.substr(0, 16) == c.time.substr(0, 16)
                                                       : o.time == c.time && o.port == c.port && o.terminal == c.terminal;
      if (same)
        throw InputError(c.kind == CorrectionKind::kAdd
                             ? Message("correction {0} adds a swipe of person {1} at {2} already", {Number(o.id), Number(c.person), o.time})
                             : Message("correction {0} sets this swipe aside already", {Number(o.id)}));
    }
  }
  const attendance::MonthInput context = GatherInput(at, DateOfDay(*day - 1), DateOfDay(*day), c.person);
  if (std::optional<Message> problem = attendance::CheckCorrection(context, c)) throw InputError(*problem);
  c.entered = {at.actor.name, NowText(at), std::nullopt, std::nullopt};
  c.id = SiteRows(at).rows.AddCorrection(c);
  Audit(at, "correction.add", CorrectionDetails(c));
  return c.id;
}

void WithdrawCorrection(const AttendanceSite& at, std::int64_t id) {
  SiteRows r(at);
  const std::optional<Correction> found = r.rows.FindCorrection(id);
  if (!found) throw InputError(Message("there is no correction {0}", {Number(id)}));
  if (found->entered.withdrawn()) throw InputError(Message("correction {0} is withdrawn already", {Number(id)}));
  RefuseClosed(r.rows, found->time.substr(0, 10), found->time.substr(0, 10));
  if (!r.rows.WithdrawCorrection(id, at.actor.name, NowText(at)))
    throw InputError(Message("correction {0} is withdrawn already", {Number(id)}));
  r.Release();
  Audit(at, "correction.withdraw", CorrectionDetails(*found));
}

std::vector<Correction> ListCorrections(const AttendanceSite& at, const std::string& from, const std::string& to,
                                        std::optional<std::int32_t> person) {
  if (CheckedDate(to, "to") < CheckedDate(from, "from")) throw InputError(Message("to {0} is before from {1}", {to, from}));
  return SiteRows(at).rows.Corrections(from, to, person);
}

// ---- A day as JSON ----

namespace {
std::optional<attendance::FindingKind> FindingOf(const std::string& word) {
  for (int k = 0; k <= static_cast<int>(attendance::FindingKind::kSimpleRule); ++k)
    if (word == attendance::FindingWord(static_cast<attendance::FindingKind>(k))) return static_cast<attendance::FindingKind>(k);
  return std::nullopt;
}
}  // namespace

nlohmann::json DayJson(const DayResult& day) {
  nlohmann::json j = {{"site", day.site},
                      {"person", day.person},
                      {"date", day.date},
                      {"status", attendance::StatusWord(day.status)},
                      {"shift", day.shift},
                      {"late_minutes", day.late_minutes},
                      {"early_minutes", day.early_minutes},
                      {"worked_minutes", day.worked_minutes},
                      {"break_minutes", day.break_minutes},
                      {"overtime_minutes", day.overtime_minutes},
                      {"leave_kind", day.leave_kind},
                      {"first_in", day.first_in ? nlohmann::json(*day.first_in) : nlohmann::json(nullptr)},
                      {"last_out", day.last_out ? nlohmann::json(*day.last_out) : nlohmann::json(nullptr)}};
  nlohmann::json findings = nlohmann::json::array();
  for (const attendance::Finding& f : day.findings)
    findings.push_back({{"kind", attendance::FindingWord(f.kind)}, {"minutes", f.minutes}, {"value", f.value}});
  j["findings"] = std::move(findings);
  if (!day.pending.empty()) {
    nlohmann::json pending = nlohmann::json::array();
    for (const attendance::Waiting& w : day.pending) pending.push_back({{"terminal", w.terminal}, {"since", w.since}});
    j["pending"] = std::move(pending);
  }
  return j;
}

DayResult DayFromJson(const nlohmann::json& j) {
  DayResult d;
  d.site = j.at("site").get<std::string>();
  d.person = j.at("person").get<std::int32_t>();
  d.date = j.at("date").get<std::string>();
  const std::string status = j.at("status").get<std::string>();
  std::optional<attendance::Status> s = attendance::StatusOf(status);
  if (!s) throw nlohmann::json::other_error::create(501, "unknown status '" + status + "'", &j);
  d.status = *s;
  d.shift = j.value("shift", "");
  d.late_minutes = j.value("late_minutes", 0);
  d.early_minutes = j.value("early_minutes", 0);
  d.worked_minutes = j.value("worked_minutes", 0);
  d.break_minutes = j.value("break_minutes", 0);
  d.overtime_minutes = j.value("overtime_minutes", 0);
  d.leave_kind = j.value("leave_kind", "");
  if (j.contains("first_in") && j["first_in"].is_string()) d.first_in = j["first_in"].get<std::string>();
  if (j.contains("last_out") && j["last_out"].is_string()) d.last_out = j["last_out"].get<std::string>();
  if (j.contains("findings"))
    for (const nlohmann::json& f : j["findings"]) {
      const std::string word = f.at("kind").get<std::string>();
      std::optional<attendance::FindingKind> kind = FindingOf(word);
      if (!kind) throw nlohmann::json::other_error::create(501, "unknown finding '" + word + "'", &f);
      d.findings.push_back({*kind, f.value("minutes", 0), f.value("value", "")});
    }
  if (j.contains("pending"))
    for (const nlohmann::json& w : j["pending"]) d.pending.push_back({w.at("terminal").get<std::string>(), w.value("since", "")});
  return d;
}

}  // namespace vanto::host
