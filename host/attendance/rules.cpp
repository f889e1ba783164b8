// The attendance rules. Every person's day is judged by these, in this order:
//
//  1. The plan of a person's day D: the person's own assignment covering D, else their
//     department's (the latest `from` when more than one covers it); its pattern gives the slot:
//     a week: days[Weekday(D)] (Monday 0); a rotation: days[(D - starts) mod N], nothing
//     scheduled before `starts`. A slot "" is a rest day. A site day off on D makes the day a
//     holiday or a rest day whatever the slot. No assignment (or nothing scheduled, or a pattern
//     or shift that is not there): the simple rule (9).
//  2. The shift's window: start S = D + start, end E = D + end (+1 day when end <= start); the
//     window is [S - window_before, E + window_after]. Swipes (wall times) inside it belong to D.
//     Durations are real: wall times are converted to UTC in the site's zone. A wall time in the
//     repeated hour of a daylight-saving change is taken as the first of the two; one in a
//     skipped hour counts as if the clock had not moved yet (the offset before the change). So a
//     night of a change may have an hour more or less, and worked minutes are real minutes.
//     Windows never share a swipe: a day's window starts no earlier than the previous day's ends,
//     and a day without a shift ends where the next day's shift window starts.
//  3. Punches: the person's swipes in the window, less those a set-aside correction names (same
//     person, wall time to the second, port and terminal), plus added corrections (with their
//     direction). In time order; a punch within one minute of the previous kept punch (same
//     direction, or either unknown) is a repeat and changes nothing. Direction: an added
//     correction's, else the terminal's (the site file's in/out terminals), else unknown.
//     Withdrawn corrections and leave count for nothing.
//  4. Pairing, in time order: an in opens (an in while one is open leaves that one without an
//     out: a missing swipe); an out closes the open one (an out with none open: a missing swipe);
//     an unknown direction is an out while one is open, else an in (so unknowns alternate in,
//     out, in, out). A known repeated check-in is never taken as a check-out. Worked minutes are
//     the real minutes of the pairs (swipes count to the minute: seconds are dropped).
//  5. Break: the unpaid break is deducted only for the part not already taken as gaps between
//     pairs: deducted = min(worked, max(0, break - gaps)).
//  6. Late = first punch - S when it is after S + late_grace (counted from S); left early =
//     E - last punch when it is before E - early_grace. Exactly at the grace minute is neither.
//     Late needs a first punch that opens a pair and left early a last punch that closes one
//     (an arrival or a leaving that is not known is not guessed). A flexible shift is judged
//     against its core hours and needs required_minutes; the core minutes no pair covers are a
//     finding core-not-covered.
//  7. Thresholds: full = a flexible shift's required_minutes when set, else full_day_minutes,
//     else the shift's real length less its break; half = half_day_minutes, else full / 2.
//     Part-day leave minutes count towards the thresholds (not towards worked minutes); a part
//     leave at the start of the shift moves S to its end, one at the end moves E to its start.
//  8. Status (one) and findings (all). With punches on a holiday or rest day: that status, a
//     finding holiday-worked / rest-worked with the minutes, all of them overtime. A full-day
//     leave: leave (with punches the worked minutes are kept). No punches: holiday, rest; a shift:
//     absent; no shift: not-scheduled. On a shift day: missing-swipe when any punch is unpaired
//     (worked counts the pairs); else absent with a finding short-day when worked + part leave <
//     half (and half > 0); else half-day when < full; else late; else left-early; else present.
//     Late and left early on one day are both findings. Overtime = max(0, worked - full).
//     first_in / last_out: the first and last punch used.
//  9. The simple rule (no shift): the working day is [D + day_starts, D + 1 day + day_starts);
//     with swipes: late when the first swipe is after D + late_after (minutes from late_after),
//     else present; worked = first to last swipe, no break, no missing swipe; a finding
//     simple-rule. No swipes: not-scheduled (nobody said the person was to work).
// 10. Pending: a day's window closes at C (the simple rule: the working day's end). Every
//     collected terminal must have completed a sync at or after C (in UTC). While one has not
//     and now < C + pending_limit_days, a shift day or a simple-rule day is pending, naming each
//     such terminal (since: its last complete sync, "" never); past the limit the day is judged
//     with a finding judged-without per terminal. A day whose window has not closed yet is
//     pending too. Holidays, rest days and full-day leave keep their status.
// 11. People: every person of the input, and anyone with a swipe or a correction in the range.
//     Results by person number, then date, first..last.
#include "host/attendance/rules.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include <date/tz.h>

#include "host/calendar.h"
#include "host/report/dates.h"

namespace vanto::attendance {

namespace {

using Seconds = std::int64_t;  // wall or UTC seconds since 1970-01-01 00:00:00
constexpr Seconds kDay = 86400;

// Input the rules cannot judge with (a date, a zone): a std::invalid_argument carrying its
// message unworded.
class BadInput : public std::invalid_argument, public host::CarriesMessage {
 public:
  explicit BadInput(host::Message message)
      : std::invalid_argument(message.English()), host::CarriesMessage(std::move(message)) {}
};

Seconds FloorDiv(Seconds a, Seconds b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

bool Num(std::string_view text, std::size_t at, std::size_t count, int* value) {
  return report::Digits(text, at, count, value);
}

std::optional<std::int64_t> ParseDate(std::string_view text) {
  int y = 0, m = 0, d = 0;
  if (text.size() != 10 || !Num(text, 0, 4, &y) || text[4] != '-' || !Num(text, 5, 2, &m) || text[7] != '-' ||
      !Num(text, 8, 2, &d) || m < 1 || m > 12 || d < 1 || d > calendar::DaysInMonth(y, m))
    return std::nullopt;
  return calendar::DaysFromCivil(y, m, d);
}

// "YYYY-MM-DD HH:MM:SS" (or without seconds; 'T' for the space) to seconds.
std::optional<Seconds> ParseStamp(std::string_view text) {
  if (text.size() < 16) return std::nullopt;
  const auto day = ParseDate(text.substr(0, 10));
  int h = 0, mi = 0, s = 0;
  if (!day || (text[10] != ' ' && text[10] != 'T') || !Num(text, 11, 2, &h) || text[13] != ':' ||
      !Num(text, 14, 2, &mi) || h > 23 || mi > 59)
    return std::nullopt;
  std::string_view rest = text.substr(16);
  if (!rest.empty() && rest[0] == ':') {
    if (!Num(rest, 1, 2, &s) || s > 59) return std::nullopt;
    rest = rest.substr(3);
  }
  return *day * kDay + h * 3600 + mi * 60 + s;
}

std::optional<Seconds> ParseWall(std::string_view text) {
  if (text.size() != 19 && text.size() != 16) return std::nullopt;
  return ParseStamp(text);
}

// UTC "YYYY-MM-DDTHH:MM:SSZ" (the Z may be left out).
std::optional<Seconds> ParseUtc(std::string_view text) {
  if (!text.empty() && text.back() == 'Z') text.remove_suffix(1);
  if (text.size() != 19) return std::nullopt;
  return ParseStamp(text);
}

std::string DayText(std::int64_t day) {
  return report::DateText(report::DateFromDays(day));
}

// A zone's offsets over a span of wall time, as rule 2 reads wall times: before a change's
// boundary (the later of the two wall clocks at the change) the old offset holds.
class Zone {
 public:
  static std::optional<Zone> Of(const std::string& name, Seconds from_wall, Seconds to_wall) {
    const date::time_zone* zone = nullptr;
    Zone z;
    try {
      if (name.empty()) {
        zone = date::current_zone();
      } else if (name != "UTC") {
        zone = date::locate_zone(name);
      }
      z.name_ = zone ? std::string(zone->name()) : "UTC";
    } catch (const std::exception&) {
      if (!name.empty()) return std::nullopt;
      z.name_ = "UTC";  // the host's zone cannot be told
    }
    if (!zone) {
      z.offsets_.push_back(0);
      return z;
    }
    using std::chrono::seconds;
    auto info = zone->get_info(date::sys_seconds(seconds(from_wall - 2 * kDay)));
    z.offsets_.push_back(info.offset.count());
    const Seconds until = to_wall + 2 * kDay;
    for (int guard = 0; guard < 10000 && info.end.time_since_epoch().count() < until; ++guard) {
      const Seconds change = info.end.time_since_epoch().count();
      const auto next = zone->get_info(info.end);
      const Seconds before = info.offset.count(), after = next.offset.count();
      if (before != after) {
        z.bounds_.push_back(change + std::max(before, after));
        z.offsets_.push_back(after);
        if (after > before) z.skipped_.push_back({change + before, change + after});
      }
      if (next.end <= info.end) break;
      info = next;
    }
    return z;
  }

  Seconds Utc(Seconds wall) const {
    const auto at = std::upper_bound(bounds_.begin(), bounds_.end(), wall) - bounds_.begin();
    return wall - offsets_[static_cast<std::size_t>(at)];
  }
  Seconds UtcMinute(Seconds wall) const { return FloorDiv(Utc(wall), 60); }
  bool Exists(Seconds wall) const {
    for (const auto& [from, to] : skipped_)
      if (wall >= from && wall < to) return false;
    return true;
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::vector<Seconds> bounds_;   // wall second from which offsets_[i + 1] holds
  std::vector<Seconds> offsets_;  // seconds east of UTC
  std::vector<std::pair<Seconds, Seconds>> skipped_;
};

Zone ZoneOrThrow(const std::string& name, Seconds from_wall, Seconds to_wall) {
  auto zone = Zone::Of(name, from_wall, to_wall);
  if (!zone) throw BadInput(host::Message("time zone {0} is not in the system's zone database", {name}));
  return std::move(*zone);
}

enum class DayKind { kShift, kOff, kSimple };

struct DayPlan {
  DayKind kind = DayKind::kSimple;
  const Shift* shift = nullptr;   // kShift; kOff when a day off falls on a shift's day
  DayOffKind off = DayOffKind::kRest;
  bool scheduled = false;         // a pattern gave the day (kOff: worked minutes by pairs)
};

// A day's window in wall seconds, half-open, and the shift's start and end.
struct Window {
  Seconds open = 0, close = 0;
  Seconds start = 0, end = 0;
  Seconds closes = 0;  // C: when the window is over
};

Window WindowOf(const DayPlan& plan, std::int64_t day, int day_starts) {
  Window w;
  const Seconds midnight = day * kDay;
  if (plan.shift) {
    const Shift& s = *plan.shift;
    w.start = midnight + s.start * 60;
    w.end = midnight + s.end * 60 + (s.end <= s.start ? kDay : 0);
    w.open = w.start - s.window_before * 60;
    w.closes = w.end + s.window_after * 60;
    w.close = w.closes + 1;  // the window's last second is inside
  } else {
    w.open = w.start = midnight + day_starts * 60;
    w.close = w.end = w.closes = w.open + kDay;
  }
  return w;
}

// A flexible shift's core hours in minutes from its start (a core after midnight of a night
// shift lies on the next day).
std::pair<int, int> CoreMinutes(const Shift& shift) {
  const auto from_start = [&](int minute) { return ((minute - shift.start) % 1440 + 1440) % 1440; };
  const int to = from_start(shift.core_end);
  return {from_start(shift.core_start), to == 0 ? 1440 : to};
}

int ShiftMinutes(const Shift& shift) { return shift.end > shift.start ? shift.end - shift.start : shift.end - shift.start + 1440; }

struct AssignmentSpan {
  std::int64_t from = 0, until = 0;
  const Assignment* assignment = nullptr;
};

// The plans of people's days from the shifts, patterns, assignments and days off.
class Planner {
 public:
  explicit Planner(const MonthInput& in) {
    for (const Shift& s : in.shifts) shifts_.emplace(s.name, &s);
    for (const Pattern& p : in.patterns) {
      PatternAt at{&p, 0};
      if (p.kind == PatternKind::kRotation) {
        const auto starts = ParseDate(p.starts);
        if (!starts) continue;  // no pattern: the simple rule
        at.starts = *starts;
      }
      patterns_.emplace(p.name, at);
    }
    for (const Assignment& a : in.assignments) {
      const auto from = ParseDate(a.from);
      const auto until = a.until ? ParseDate(*a.until) : std::optional<std::int64_t>(INT64_MAX);
      if (!from || !until)
        throw BadInput(host::Message("assignment {0} has a date that is not of the form YYYY-MM-DD",
                                     {std::to_string(a.id)}));
      const AssignmentSpan span{*from, *until, &a};
      if (a.target == TargetKind::kPerson)
        by_person_[a.person].push_back(span);
      else
        by_department_[a.department].push_back(span);
    }
    for (const DayOff& d : in.days_off)
      if (const auto day = ParseDate(d.date)) days_off_[*day] = d.kind;
    for (const PersonInput& p : in.people) departments_[p.person] = p.department;
  }

  const std::string& DepartmentOf(std::int32_t person) const {
    static const std::string kNone;
    const auto it = departments_.find(person);
    return it == departments_.end() ? kNone : it->second;
  }

  DayPlan Plan(std::int32_t person, std::int64_t day) const {
    DayPlan plan;
    const Assignment* assignment = Covering(by_person_, person, day);
    if (!assignment) {
      const std::string& department = DepartmentOf(person);
      if (!department.empty()) assignment = Covering(by_department_, department, day);
    }
    if (assignment) Slot(*assignment, day, &plan);
    if (const auto off = days_off_.find(day); off != days_off_.end()) {
      plan.kind = DayKind::kOff;
      plan.off = off->second;
    }
    return plan;
  }

 private:
  struct PatternAt {
    const Pattern* pattern;
    std::int64_t starts;
  };

  template <typename Map, typename Key>
  static const Assignment* Covering(const Map& map, const Key& key, std::int64_t day) {
    const auto it = map.find(key);
    if (it == map.end()) return nullptr;
    const AssignmentSpan* best = nullptr;
    for (const AssignmentSpan& span : it->second)
      if (span.from <= day && day <= span.until && (!best || span.from > best->from)) best = &span;
    return best ? best->assignment : nullptr;
  }

  void Slot(const Assignment& assignment, std::int64_t day, DayPlan* plan) const {
    const auto it = patterns_.find(assignment.pattern);
    if (it == patterns_.end()) return;
    const Pattern& p = *it->second.pattern;
    const std::string* slot = nullptr;
    if (p.kind == PatternKind::kWeek) {
      if (p.days.size() != 7) return;
      slot = &p.days[static_cast<std::size_t>(report::Weekday(report::DateFromDays(day)))];
    } else {
      if (p.days.empty() || day < it->second.starts) return;  // nothing scheduled yet
      slot = &p.days[static_cast<std::size_t>((day - it->second.starts) % static_cast<std::int64_t>(p.days.size()))];
    }
    plan->scheduled = true;
    if (slot->empty()) {
      plan->kind = DayKind::kOff;
      plan->off = DayOffKind::kRest;
      return;
    }
    const auto shift = shifts_.find(*slot);
    if (shift == shifts_.end()) {
      plan->scheduled = false;  // a shift that is not there: the simple rule
      return;
    }
    plan->kind = DayKind::kShift;
    plan->shift = shift->second;
  }

  std::unordered_map<std::string, const Shift*> shifts_;
  std::unordered_map<std::string, PatternAt> patterns_;
  std::unordered_map<std::int32_t, std::vector<AssignmentSpan>> by_person_;
  std::unordered_map<std::string, std::vector<AssignmentSpan>> by_department_;
  std::unordered_map<std::int64_t, DayOffKind> days_off_;
  std::unordered_map<std::int32_t, std::string> departments_;
};

struct Punch {
  Seconds wall = 0, utc = 0;
  Direction direction = Direction::kUnknown;
  const std::string* text = nullptr;
  std::int64_t added = 0;      // the correction that added it
  std::int64_t set_aside = 0;  // the correction that set it aside (it counts for nothing)
  Seconds minute() const { return FloorDiv(utc, 60); }
};

struct PersonData {
  std::vector<Punch> punches;
  std::vector<const Leave*> leave;
  bool sets_aside = false;  // a set-aside correction names a swipe of the person
};

// Wall times of swipes, most of them of a few dates: the day of the last date read is kept.
class WallReader {
 public:
  std::optional<Seconds> Read(std::string_view text) {
    if ((text.size() != 19 && text.size() != 16) || text.compare(0, 10, date_, 0, 10) != 0) return Slow(text);
    int h = 0, mi = 0, s = 0;
    if (text[10] != ' ' || !Num(text, 11, 2, &h) || text[13] != ':' || !Num(text, 14, 2, &mi) || h > 23 || mi > 59 ||
        (text.size() == 19 && (text[16] != ':' || !Num(text, 17, 2, &s) || s > 59)))
      return Slow(text);
    return day_ * kDay + h * 3600 + mi * 60 + s;
  }

 private:
  std::optional<Seconds> Slow(std::string_view text) {
    const auto wall = ParseWall(text);
    if (wall) {
      date_.assign(text.substr(0, 10));
      day_ = FloorDiv(*wall, kDay);
    }
    return wall;
  }
  std::string date_;
  std::int64_t day_ = 0;
};

// The punches kept (repeats and set-aside swipes left out) and the findings of corrections.
struct Kept {
  std::vector<const Punch*> punches;
  std::vector<Finding> corrections;
};

Kept Keep(const std::vector<Punch>& punches, std::size_t from, std::size_t to) {
  Kept kept;
  for (std::size_t i = from; i < to; ++i) {
    const Punch& p = punches[i];
    if (p.set_aside) {
      kept.corrections.push_back({FindingKind::kSwipeSetAside, 0, std::to_string(p.set_aside)});
      continue;
    }
    if (!kept.punches.empty()) {
      const Punch& last = *kept.punches.back();
      const bool alike = p.direction == last.direction || p.direction == Direction::kUnknown ||
                         last.direction == Direction::kUnknown;
      if (alike && p.utc - last.utc <= 60) continue;  // a repeat
    }
    if (p.added) kept.corrections.push_back({FindingKind::kCorrectionAdded, 0, std::to_string(p.added)});
    kept.punches.push_back(&p);
  }
  return kept;
}

struct Pairs {
  std::vector<std::pair<Seconds, Seconds>> spans;  // UTC minutes, in and out
  bool unpaired = false;
  bool opens = false;   // the first punch opened a pair (an arrival is known)
  bool closes = false;  // the last punch closed a pair (a leaving is known)
  int worked() const {
    Seconds sum = 0;
    for (const auto& [in, out] : spans) sum += out - in;
    return static_cast<int>(sum);
  }
  int gaps() const {
    Seconds sum = 0;
    for (std::size_t i = 1; i < spans.size(); ++i) sum += std::max<Seconds>(0, spans[i].first - spans[i - 1].second);
    return static_cast<int>(sum);
  }
};

Pairs Pair(const std::vector<const Punch*>& punches) {
  Pairs pairs;
  const Punch* open = nullptr;
  for (std::size_t i = 0; i < punches.size(); ++i) {
    const Punch* p = punches[i];
    Direction d = p->direction;
    if (d == Direction::kUnknown) d = open ? Direction::kOut : Direction::kIn;
    if (d == Direction::kIn) {
      if (open) pairs.unpaired = true;
      open = p;
      if (i == 0) pairs.opens = true;
    } else if (open) {
      pairs.spans.push_back({open->minute(), p->minute()});
      open = nullptr;
      if (i + 1 == punches.size()) pairs.closes = true;
    } else {
      pairs.unpaired = true;
    }
  }
  if (open) pairs.unpaired = true;
  return pairs;
}

// Minutes of [from, to) no span covers.
int Uncovered(Seconds from, Seconds to, const std::vector<std::pair<Seconds, Seconds>>& spans) {
  Seconds covered = 0;
  for (const auto& [in, out] : spans) covered += std::max<Seconds>(0, std::min(out, to) - std::max(in, from));
  return static_cast<int>(std::max<Seconds>(0, (to - from) - covered));
}

std::string TerminalName(int port, int terminal) { return std::to_string(port) + ":" + std::to_string(terminal); }

struct TerminalAt {
  std::string name;
  const std::string* since;
  std::optional<Seconds> completed;  // UTC
};

class Judge {
 public:
  Judge(const MonthInput& in, const Zone& zone, const Planner& planner, Seconds now)
      : in_(in), zone_(zone), planner_(planner), now_(now) {
    for (const TerminalState& t : in.terminals)
      if (t.collected) terminals_.push_back({TerminalName(t.port, t.terminal), &t.last_complete, ParseUtc(t.last_complete)});
  }

  void Person(std::int32_t person, const PersonData& data, std::int64_t first, std::int64_t last,
              std::vector<DayResult>* out) const {
    // The plans and windows of the days around the range, so that no window takes a swipe of
    // the day before or after.
    const std::int64_t from = first - 1, to = last + 1;
    const std::size_t n = static_cast<std::size_t>(to - from + 1);
    std::vector<DayPlan> plans(n);
    std::vector<Window> windows(n);
    for (std::size_t i = 0; i < n; ++i) {
      plans[i] = planner_.Plan(person, from + static_cast<std::int64_t>(i));
      windows[i] = WindowOf(plans[i], from + static_cast<std::int64_t>(i), in_.day_starts);
    }
    for (std::size_t i = 0; i + 1 < n; ++i)
      if (!plans[i].shift && plans[i + 1].shift) windows[i].close = std::min(windows[i].close, windows[i + 1].open);
    for (std::size_t i = 1; i < n; ++i) {
      windows[i].open = std::max(windows[i].open, windows[i - 1].close);
      windows[i].close = std::max(windows[i].close, windows[i].open);
    }
    std::size_t at = 0;
    const auto& punches = data.punches;
    for (std::size_t i = 0; i < n; ++i) {
      while (at < punches.size() && punches[at].wall < windows[i].open) ++at;
      const std::size_t begin = at;
      while (at < punches.size() && punches[at].wall < windows[i].close) ++at;
      const std::int64_t day = from + static_cast<std::int64_t>(i);
      if (day < first || day > last) continue;
      out->push_back(Day(person, day, plans[i], windows[i], Keep(punches, begin, at), data.leave));
    }
  }

 private:
  DayResult Day(std::int32_t person, std::int64_t day, const DayPlan& plan, const Window& window, Kept kept,
                const std::vector<const Leave*>& leave) const {
    DayResult r;
    r.site = in_.site;
    r.person = person;
    r.date = DayText(day);
    if (plan.shift) r.shift = plan.shift->name;
    const auto& punches = kept.punches;
    if (!punches.empty()) {
      r.first_in = *punches.front()->text;
      r.last_out = *punches.back()->text;
    }
    // Leave of the day: a full day, or parts of it (minutes after midnight of D).
    const Leave* full = nullptr;
    std::vector<const Leave*> parts;
    for (const Leave* l : leave) {
      const auto lf = ParseDate(l->from), lt = ParseDate(l->to);
      if (!lf || !lt || day < *lf || day > *lt) continue;
      if (l->part_start && l->part_end)
        parts.push_back(l);
      else if (!full)
        full = l;
    }
    if (!punches.empty() && plan.kind == DayKind::kOff) {
      Off(plan, punches, &r);
    } else if (full) {
      r.status = Status::kLeave;
      r.leave_kind = full->kind;
      r.findings.push_back({FindingKind::kLeave, 0, full->kind});
      if (!punches.empty()) {
        const Pairs pairs = Pair(punches);
        r.worked_minutes = plan.kind == DayKind::kSimple ? Span(punches) : pairs.worked();
        if (plan.kind != DayKind::kSimple && pairs.unpaired) r.findings.push_back({FindingKind::kMissingSwipe, 0, ""});
      }
    } else if (plan.kind == DayKind::kOff) {
      r.status = plan.off == DayOffKind::kHoliday ? Status::kHoliday : Status::kRest;
    } else if (plan.kind == DayKind::kShift) {
      Shifted(*plan.shift, day, window, punches, parts, &r);
      Pending(window.closes, &r);
    } else {
      Simple(day, punches, parts, &r);
      Pending(window.closes, &r);
    }
    for (Finding& f : kept.corrections) r.findings.push_back(std::move(f));
    return r;
  }

  static int Span(const std::vector<const Punch*>& punches) {
    return static_cast<int>(punches.back()->minute() - punches.front()->minute());
  }

  void Off(const DayPlan& plan, const std::vector<const Punch*>& punches, DayResult* r) const {
    const bool holiday = plan.off == DayOffKind::kHoliday;
    r->status = holiday ? Status::kHoliday : Status::kRest;
    int worked = 0;
    if (plan.scheduled) {
      const Pairs pairs = Pair(punches);
      worked = pairs.worked();
      if (plan.shift) {
        r->break_minutes = std::min(worked, std::max(0, plan.shift->break_minutes - pairs.gaps()));
        worked -= r->break_minutes;
      }
      if (pairs.unpaired) r->findings.push_back({FindingKind::kMissingSwipe, 0, ""});
    } else {
      worked = Span(punches);
    }
    r->worked_minutes = r->overtime_minutes = worked;
    r->findings.push_back({holiday ? FindingKind::kHolidayWorked : FindingKind::kRestWorked, worked, ""});
  }

  void Shifted(const Shift& shift, std::int64_t day, const Window& window, const std::vector<const Punch*>& punches,
               const std::vector<const Leave*>& parts, DayResult* r) const {
    const Seconds midnight = day * kDay;
    Seconds start = window.start, end = window.end;
    if (shift.flexible) {
      const auto [core_from, core_to] = CoreMinutes(shift);
      start = window.start + core_from * 60;
      end = window.start + core_to * 60;
    }
    const Seconds length = zone_.UtcMinute(window.end) - zone_.UtcMinute(window.start);
    const int full = shift.flexible && shift.required_minutes > 0 ? shift.required_minutes
                     : shift.full_day_minutes > 0 ? shift.full_day_minutes
                                                  : static_cast<int>(std::max<Seconds>(0, length - shift.break_minutes));
    const int half = shift.half_day_minutes > 0 ? shift.half_day_minutes : full / 2;
    // Part-day leave: towards the thresholds, and moving the start or the end it covers.
    int leave_minutes = 0;
    for (const Leave* l : parts) {
      const Seconds from = midnight + *l->part_start * 60, to = midnight + *l->part_end * 60;
      if (to <= from) continue;
      const int minutes = static_cast<int>(zone_.UtcMinute(to) - zone_.UtcMinute(from));
      leave_minutes += minutes;
      if (r->leave_kind.empty()) r->leave_kind = l->kind;
      r->findings.push_back({FindingKind::kLeave, minutes, l->kind});
      if (from <= start && to > start) start = std::min(to, end);
      if (to >= end && from < end) end = std::max(from, start);
    }
    std::vector<Finding> findings;
    if (punches.empty()) {
      r->status = Status::kAbsent;
      findings.swap(r->findings);
      r->findings.push_back({FindingKind::kAbsent, 0, ""});
      for (Finding& f : findings) r->findings.push_back(std::move(f));
      return;
    }
    const Pairs pairs = Pair(punches);
    int worked = pairs.worked();
    r->break_minutes = std::min(worked, std::max(0, shift.break_minutes - pairs.gaps()));
    worked -= r->break_minutes;
    r->worked_minutes = worked;
    const Seconds first = punches.front()->minute(), last = punches.back()->minute();
    const Seconds start_minute = zone_.UtcMinute(start), end_minute = zone_.UtcMinute(end);
    if (pairs.opens && first > start_minute + shift.late_grace) {
      r->late_minutes = static_cast<int>(first - start_minute);
      findings.push_back({FindingKind::kLate, r->late_minutes, ""});
    }
    if (pairs.closes && last < end_minute - shift.early_grace) {
      r->early_minutes = static_cast<int>(end_minute - last);
      findings.push_back({FindingKind::kLeftEarly, r->early_minutes, ""});
    }
    if (pairs.unpaired) {
      r->status = Status::kMissingSwipe;
      findings.push_back({FindingKind::kMissingSwipe, 0, ""});
    } else if (half > 0 && worked + leave_minutes < half) {
      r->status = Status::kAbsent;
      findings.push_back({FindingKind::kShortDay, worked, ""});
    } else if (worked + leave_minutes < full) {
      r->status = Status::kHalfDay;
      findings.push_back({FindingKind::kHalfDay, worked, ""});
    } else if (r->late_minutes > 0) {
      r->status = Status::kLate;
    } else if (r->early_minutes > 0) {
      r->status = Status::kLeftEarly;
    } else {
      r->status = Status::kPresent;
    }
    if (shift.flexible) {
      const int uncovered = Uncovered(zone_.UtcMinute(start), end_minute, pairs.spans);
      if (uncovered > 0) findings.push_back({FindingKind::kCoreNotCovered, uncovered, ""});
    }
    r->overtime_minutes = std::max(0, worked - full);
    if (r->overtime_minutes > 0) findings.push_back({FindingKind::kOvertime, r->overtime_minutes, ""});
    for (Finding& f : r->findings) findings.push_back(std::move(f));
    r->findings = std::move(findings);
  }

  void Simple(std::int64_t day, const std::vector<const Punch*>& punches, const std::vector<const Leave*>& parts,
              DayResult* r) const {
    for (const Leave* l : parts) {
      if (r->leave_kind.empty()) r->leave_kind = l->kind;
      r->findings.push_back({FindingKind::kLeave, std::max(0, *l->part_end - *l->part_start), l->kind});
    }
    if (punches.empty()) {
      r->status = Status::kNotScheduled;
      return;
    }
    r->worked_minutes = Span(punches);
    r->status = Status::kPresent;
    std::vector<Finding> findings;
    if (in_.late_after) {
      const Seconds late_after = day * kDay + *in_.late_after * 60;
      if (punches.front()->wall / 60 > late_after / 60) {
        r->status = Status::kLate;
        r->late_minutes = static_cast<int>(punches.front()->minute() - zone_.UtcMinute(late_after));
        findings.push_back({FindingKind::kLate, r->late_minutes, ""});
      }
    }
    findings.push_back({FindingKind::kSimpleRule, 0, ""});
    for (Finding& f : r->findings) findings.push_back(std::move(f));
    r->findings = std::move(findings);
  }

  // Rule 10: the day waits for every collected terminal's complete sync after it closed.
  void Pending(Seconds closes_wall, DayResult* r) const {
    const Seconds closes = zone_.Utc(closes_wall);
    std::vector<const TerminalAt*> waiting;
    for (const TerminalAt& t : terminals_)
      if (!t.completed || *t.completed < closes) waiting.push_back(&t);
    const bool open = now_ < closes;
    const Seconds limit = closes + static_cast<Seconds>(in_.pending_limit_days) * kDay;
    // The clock alone changes this day at the window's close, and while a terminal waits at the limit.
    if (open) changes_ = std::min(changes_, closes);
    else if (!waiting.empty() && now_ < limit) changes_ = std::min(changes_, limit);
    if (open || (!waiting.empty() && now_ < limit)) {
      // Only what is known so far: the minutes, the leave and the corrections; no judgement.
      r->status = Status::kPending;
      r->late_minutes = r->early_minutes = r->overtime_minutes = 0;
      std::erase_if(r->findings, [](const Finding& f) {
        return f.kind != FindingKind::kLeave && f.kind != FindingKind::kCorrectionAdded &&
               f.kind != FindingKind::kSwipeSetAside && f.kind != FindingKind::kSimpleRule;
      });
      for (const TerminalAt* t : waiting) r->pending.push_back({t->name, *t->since});
      return;
    }
    for (const TerminalAt* t : waiting) r->findings.push_back({FindingKind::kJudgedWithout, 0, t->name});
  }

  const MonthInput& in_;
  const Zone& zone_;
  const Planner& planner_;
  Seconds now_;
  std::vector<TerminalAt> terminals_;

 public:
  // The first UTC time after now at which the clock alone judges a day otherwise.
  mutable Seconds changes_ = std::numeric_limits<Seconds>::max();
};

struct SwipeKey {
  std::int32_t person;
  Seconds wall;
  int port, terminal;
  bool operator==(const SwipeKey&) const = default;
};
struct SwipeKeyHash {
  std::size_t operator()(const SwipeKey& k) const {
    std::size_t h = std::hash<std::int64_t>()(k.wall);
    h ^= std::hash<std::int64_t>()((static_cast<std::int64_t>(k.person) << 32) ^ (static_cast<std::int64_t>(k.port) << 16) ^
                                   k.terminal) +
         0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
  }
};

}  // namespace

const char* StatusWord(Status status) {
  static constexpr std::array<const char*, 11> kWords{"present", "late",     "left-early", "absent",
                                                      "missing-swipe", "half-day", "leave", "holiday",
                                                      "rest", "not-scheduled", "pending"};
  const auto at = static_cast<std::size_t>(status);
  return at < kWords.size() ? kWords[at] : "";
}

std::optional<Status> StatusOf(const std::string& word) {
  for (int s = 0; s <= static_cast<int>(Status::kPending); ++s)
    if (word == StatusWord(static_cast<Status>(s))) return static_cast<Status>(s);
  return std::nullopt;
}

const char* FindingWord(FindingKind kind) {
  static constexpr std::array<const char*, 15> kWords{
      "late",    "left-early",   "absent",        "missing-swipe",    "half-day",
      "short-day", "core-not-covered", "leave",   "holiday-worked",   "rest-worked",
      "overtime", "correction-added", "swipe-set-aside", "judged-without", "simple-rule"};
  const auto at = static_cast<std::size_t>(kind);
  return at < kWords.size() ? kWords[at] : "";
}

std::vector<DayResult> JudgeDays(const MonthInput& in) { return JudgeDays(in, nullptr); }

std::vector<DayResult> JudgeDays(const MonthInput& in, std::int64_t* changes_at) {
  const auto first = ParseDate(in.first), last = ParseDate(in.last);
  if (!first) throw BadInput(host::Message("the first day {0} is not a date of the form YYYY-MM-DD", {in.first}));
  if (!last) throw BadInput(host::Message("the last day {0} is not a date of the form YYYY-MM-DD", {in.last}));
  if (*last < *first) throw BadInput(host::Message("the last day {0} comes before the first day {1}", {in.last, in.first}));
  const auto now = ParseUtc(in.now);
  if (!now) throw BadInput(host::Message("the time now {0} is not a UTC time of the form YYYY-MM-DDTHH:MM:SSZ", {in.now}));
  const Zone zone = ZoneOrThrow(in.timezone, (*first - 2) * kDay, (*last + 4) * kDay);
  const Planner planner(in);

  const auto terminal_key = [](int port, int terminal) {
    return (static_cast<std::int64_t>(port) << 32) ^ static_cast<std::uint32_t>(terminal);
  };
  std::unordered_map<std::int64_t, Direction> directions;
  for (const TerminalState& t : in.terminals) directions[terminal_key(t.port, t.terminal)] = t.direction;
  std::unordered_map<SwipeKey, std::int64_t, SwipeKeyHash> set_aside;
  std::unordered_map<std::int32_t, PersonData> people;
  const std::size_t each = in.people.empty() ? 0 : in.swipes.size() / in.people.size() + 8;
  for (const PersonInput& p : in.people) people[p.person].punches.reserve(each);
  for (const Correction& c : in.corrections) {
    if (c.entered.withdrawn()) continue;
    const auto wall = ParseWall(c.time);
    if (!wall) continue;
    PersonData& data = people[c.person];
    if (c.kind == CorrectionKind::kSetAside) {
      set_aside.emplace(SwipeKey{c.person, *wall, c.port, c.terminal}, c.id);
      data.sets_aside = true;
    } else {
      Punch p;
      p.wall = *wall;
      p.utc = zone.Utc(*wall);
      p.direction = c.direction;
      p.text = &c.time;
      p.added = c.id;
      data.punches.push_back(p);
    }
  }
  PersonData* current = nullptr;
  std::int32_t current_person = 0;
  WallReader reader;
  for (const Swipe& s : in.swipes) {
    const auto wall = reader.Read(s.time);
    if (!wall) continue;  // not a wall time: no day can hold it
    if (!current || current_person != s.person) {
      current = &people[s.person];
      current_person = s.person;
    }
    Punch p;
    p.wall = *wall;
    p.utc = zone.Utc(*wall);
    const auto direction = directions.find(terminal_key(s.port, s.terminal));
    if (direction != directions.end()) p.direction = direction->second;
    p.text = &s.time;
    if (current->sets_aside) {
      const auto aside = set_aside.find(SwipeKey{s.person, *wall, s.port, s.terminal});
      if (aside != set_aside.end()) p.set_aside = aside->second;
    }
    current->punches.push_back(p);
  }
  for (const Leave& l : in.leave)
    if (!l.entered.withdrawn()) people[l.person].leave.push_back(&l);

  std::vector<std::int32_t> order;
  order.reserve(people.size());
  for (const auto& [person, data] : people) order.push_back(person);
  std::sort(order.begin(), order.end());

  const Judge judge(in, zone, planner, *now);
  std::vector<DayResult> out;
  out.reserve(order.size() * static_cast<std::size_t>(*last - *first + 1));
  for (std::int32_t person : order) {
    PersonData& data = people[person];
    const auto by_time = [](const Punch& a, const Punch& b) { return a.wall < b.wall; };
    if (!std::is_sorted(data.punches.begin(), data.punches.end(), by_time))
      std::stable_sort(data.punches.begin(), data.punches.end(), by_time);
    judge.Person(person, data, *first, *last, &out);
  }
  if (changes_at) *changes_at = judge.changes_;
  return out;
}

// ---- Checks ----

std::optional<host::Message> CheckPatterns(const std::vector<Shift>& shifts, const std::vector<Pattern>& patterns) {
  std::unordered_map<std::string, const Shift*> by_name;
  for (const Shift& s : shifts) {
    if (s.name.empty()) return host::Message("a shift needs a name");
    by_name.emplace(s.name, &s);
    const std::pair<const char*, int> times[] = {
        {"start", s.start}, {"end", s.end}, {"core_start", s.core_start}, {"core_end", s.core_end}};
    for (const auto& [field, value] : times)
      if (value < 0 || value > 1439)
        return host::Message("shift {0}: {1} must be a time of day from 00:00 to 23:59, not {2}",
                             {s.name, field, std::to_string(value)});
    const std::pair<const char*, int> amounts[] = {
        {"late_grace", s.late_grace},         {"early_grace", s.early_grace},
        {"break_minutes", s.break_minutes},   {"window_before", s.window_before},
        {"window_after", s.window_after},     {"full_day_minutes", s.full_day_minutes},
        {"half_day_minutes", s.half_day_minutes}, {"required_minutes", s.required_minutes}};
    for (const auto& [field, value] : amounts)
      if (value < 0)
        return host::Message("shift {0}: {1} must not be negative, not {2}", {s.name, field, std::to_string(value)});
    if (s.flexible) {
      const auto [core_from, core_to] = CoreMinutes(s);
      if (core_from >= core_to || core_to > ShiftMinutes(s))
        return host::Message("shift {0}: its core hours must lie between its start and its end", {s.name});
    }
  }
  for (const Pattern& p : patterns) {
    if (p.name.empty()) return host::Message("a work pattern needs a name");
    if (p.kind == PatternKind::kWeek && p.days.size() != 7)
      return host::Message("week pattern {0} has {1} days, not 7", {p.name, std::to_string(p.days.size())});
    if (p.kind == PatternKind::kRotation) {
      if (p.days.empty()) return host::Message("rotation pattern {0} has no days", {p.name});
      if (!ParseDate(p.starts))
        return host::Message("rotation pattern {0} starts on {1}, which is not a date of the form YYYY-MM-DD",
                             {p.name, p.starts});
    }
    for (const std::string& day : p.days)
      if (!day.empty() && !by_name.count(day))
        return host::Message("work pattern {0} names shift {1}, which does not exist", {p.name, day});
    for (std::size_t i = 0; i < p.days.size(); ++i) {
      const std::string& today = p.days[i];
      const std::string& tomorrow = p.days[(i + 1) % p.days.size()];
      if (today.empty() || tomorrow.empty()) continue;
      const Shift& a = *by_name.at(today);
      const Shift& b = *by_name.at(tomorrow);
      // Minutes from the midnight starting today.
      const int a_closes = a.start + ShiftMinutes(a) + a.window_after;
      const int b_opens = 1440 + b.start - b.window_before;
      if (a_closes > b_opens)
        return host::Message("shift {0}'s window overlaps shift {1}'s on the next day of pattern {2}",
                             {a.name, b.name, p.name});
    }
  }
  return std::nullopt;
}

std::optional<Assignment> ClashingAssignment(const std::vector<Assignment>& existing, const Assignment& added) {
  const auto from = ParseDate(added.from);
  const auto until = added.until ? ParseDate(*added.until) : std::optional<std::int64_t>(INT64_MAX);
  for (const Assignment& a : existing) {
    if (a.target != added.target || (added.id != 0 && a.id == added.id)) continue;
    if (a.target == TargetKind::kPerson ? a.person != added.person : a.department != added.department) continue;
    const auto a_from = ParseDate(a.from);
    const auto a_until = a.until ? ParseDate(*a.until) : std::optional<std::int64_t>(INT64_MAX);
    // A date that cannot be read is taken as open-ended: it cannot be shown not to clash.
    const std::int64_t f1 = from.value_or(INT64_MIN), u1 = until.value_or(INT64_MAX);
    const std::int64_t f2 = a_from.value_or(INT64_MIN), u2 = a_until.value_or(INT64_MAX);
    if (f1 <= u2 && f2 <= u1) return a;
  }
  return std::nullopt;
}

bool WallTimeExists(const std::string& timezone, const std::string& wall_time) {
  const auto wall = ParseWall(wall_time);
  if (!wall) return false;
  const auto zone = Zone::Of(timezone, *wall - kDay, *wall + kDay);
  return zone && zone->Exists(*wall);
}

std::optional<host::Message> CheckCorrection(const MonthInput& context, const Correction& c) {
  const bool blank = std::all_of(c.reason.begin(), c.reason.end(), [](unsigned char ch) { return std::isspace(ch); });
  if (blank) return host::Message("a correction needs a reason");
  const auto wall = ParseWall(c.time);
  if (!wall) return host::Message("{0} is not a date and time of the form YYYY-MM-DD HH:MM:SS", {c.time});
  const auto zone = Zone::Of(context.timezone, *wall - 2 * kDay, *wall + 2 * kDay);
  if (!zone) return host::Message("time zone {0} is not in the system's zone database", {context.timezone});
  if (!zone->Exists(*wall))
    return host::Message("{0} does not exist in time zone {1}: the clock skipped it", {c.time, zone->name()});
  const std::string person = std::to_string(c.person);
  if (c.kind == CorrectionKind::kSetAside) {
    bool stored = false;
    for (const Swipe& s : context.swipes)
      if (s.person == c.person && s.port == c.port && s.terminal == c.terminal && ParseWall(s.time) == wall) stored = true;
    if (!stored)
      return host::Message("person {0} has no stored swipe at {1} from terminal {2}",
                           {person, c.time, TerminalName(c.port, c.terminal)});
    for (const Correction& other : context.corrections)
      if (!other.entered.withdrawn() && other.kind == CorrectionKind::kSetAside && other.id != c.id &&
          other.person == c.person && other.port == c.port && other.terminal == c.terminal &&
          ParseWall(other.time) == wall)
        return host::Message("person {0}'s swipe at {1} is set aside already", {person, c.time});
    return std::nullopt;
  }
  // An added swipe: inside the window of the person's shift on its day or the day before.
  const Planner planner(context);
  const std::int64_t day = FloorDiv(*wall, kDay);
  bool shifts = false, inside = false;
  for (std::int64_t d : {day - 1, day}) {
    const DayPlan plan = planner.Plan(c.person, d);
    if (!plan.shift) continue;
    shifts = true;
    const Window w = WindowOf(plan, d, context.day_starts);
    if (*wall >= w.open && *wall < w.close) inside = true;
  }
  if (shifts && !inside)
    return host::Message("the added swipe at {0} lies outside the window of person {1}'s shift on {2} and on the day before",
                         {c.time, person, DayText(day)});
  for (const Swipe& s : context.swipes) {
    if (s.person != c.person) continue;
    const auto stored = ParseWall(s.time);
    if (stored && *stored / 60 == *wall / 60)
      return host::Message("person {0} has a stored swipe at {1} already", {person, s.time});
  }
  return std::nullopt;
}

}  // namespace vanto::attendance
