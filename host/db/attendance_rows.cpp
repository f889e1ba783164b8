#include "host/db/attendance_rows.h"

#include <nlohmann/json.hpp>

#include <utility>

#include "host/db/schema.h"
#include "host/db/store_failure.h"
#include "host/message.h"

namespace vanto::store {
namespace {

using attendance::CorrectionKind;
using attendance::DayOffKind;
using attendance::Direction;
using attendance::PatternKind;
using attendance::TargetKind;

// The words the tables store (the same the model's word functions speak; kept here so the
// database reads and writes them without the rules' library).
constexpr std::pair<PatternKind, const char*> kPatternKinds[] = {{PatternKind::kWeek, "week"},
                                                                 {PatternKind::kRotation, "rotation"}};
constexpr std::pair<TargetKind, const char*> kTargetKinds[] = {{TargetKind::kPerson, "person"},
                                                               {TargetKind::kDepartment, "department"}};
constexpr std::pair<DayOffKind, const char*> kDayOffKinds[] = {{DayOffKind::kHoliday, "holiday"},
                                                               {DayOffKind::kRest, "rest"}};
constexpr std::pair<CorrectionKind, const char*> kCorrectionKinds[] = {{CorrectionKind::kAdd, "add"},
                                                                       {CorrectionKind::kSetAside, "set-aside"}};
constexpr std::pair<Direction, const char*> kDirections[] = {
    {Direction::kUnknown, ""}, {Direction::kIn, "in"}, {Direction::kOut, "out"}};

template <typename E, std::size_t N>
std::string WordOf(const std::pair<E, const char*> (&words)[N], E value) {
  for (const auto& [v, word] : words)
    if (v == value) return word;
  return "";
}

constexpr const char* kDefaultLeaveKinds[] = {"annual", "sick", "unpaid"};

// What a row of `table` read: its values in the order selected, checked as it is taken apart.
class Reader {
 public:
  Reader(TableConnection& db, const char* table, const TableRow& row) : db_(db), table_(table), row_(row) {}

  std::string Text(std::size_t i) const { return row_.at(i).value_or(""); }
  std::optional<std::string> Maybe(std::size_t i) const { return row_.at(i); }
  int Int(std::size_t i, const char* column) const { return static_cast<int>(Long(i, column)); }
  std::int64_t Long(std::size_t i, const char* column) const {
    const std::string text = Text(i);
    try {
      std::size_t used = 0;
      const long long value = std::stoll(text, &used);
      if (used == text.size()) return value;
    } catch (const std::exception&) {
    }
    throw Unknown(column, text);
  }
  std::optional<int> MaybeInt(std::size_t i, const char* column) const {
    if (!row_.at(i)) return std::nullopt;
    return Int(i, column);
  }
  template <typename E, std::size_t N>
  E Word(std::size_t i, const std::pair<E, const char*> (&words)[N], const char* column) const {
    const std::string text = Text(i);
    for (const auto& [v, word] : words)
      if (text == word) return v;
    throw Unknown(column, text);
  }

  // A value this program does not know (written by a newer one, or by hand).
  StoreError Unknown(const char* column, const std::string& value) const {
    return StoreError(StoreFailure::Invalid,
                      host::Message("database {0}: table {1} holds the value {2} in column {3}, which this vanto does "
                                    "not know",
                                    {db_.location(), table_, value, column}));
  }

 private:
  TableConnection& db_;
  const char* table_;
  const TableRow& row_;
};

std::string Number(std::int64_t n) { return std::to_string(n); }
TableValue MaybeNumber(const std::optional<int>& n) {
  return n ? TableValue(std::to_string(*n)) : TableValue();
}

constexpr const char* kShiftColumns =
    "name, start_minute, end_minute, late_grace, early_grace, break_minutes, window_before, window_after, "
    "full_day_minutes, half_day_minutes, flexible, core_start, core_end, required_minutes";

attendance::Shift ShiftOf(TableConnection& db, const TableRow& row) {
  Reader r(db, "shifts", row);
  attendance::Shift s;
  s.name = r.Text(0);
  s.start = r.Int(1, "start_minute");
  s.end = r.Int(2, "end_minute");
  s.late_grace = r.Int(3, "late_grace");
  s.early_grace = r.Int(4, "early_grace");
  s.break_minutes = r.Int(5, "break_minutes");
  s.window_before = r.Int(6, "window_before");
  s.window_after = r.Int(7, "window_after");
  s.full_day_minutes = r.Int(8, "full_day_minutes");
  s.half_day_minutes = r.Int(9, "half_day_minutes");
  s.flexible = r.Int(10, "flexible") != 0;
  s.core_start = r.Int(11, "core_start");
  s.core_end = r.Int(12, "core_end");
  s.required_minutes = r.Int(13, "required_minutes");
  return s;
}

// A shift's values after the site, in kShiftColumns' order.
TableRow ShiftValues(const std::string& site, const attendance::Shift& s) {
  return {site,
          s.name,
          Number(s.start),
          Number(s.end),
          Number(s.late_grace),
          Number(s.early_grace),
          Number(s.break_minutes),
          Number(s.window_before),
          Number(s.window_after),
          Number(s.full_day_minutes),
          Number(s.half_day_minutes),
          Number(s.flexible ? 1 : 0),
          Number(s.core_start),
          Number(s.core_end),
          Number(s.required_minutes)};
}

attendance::Pattern PatternOf(TableConnection& db, const TableRow& row) {
  Reader r(db, "work_patterns", row);
  attendance::Pattern p;
  p.name = r.Text(0);
  p.kind = r.Word(1, kPatternKinds, "kind");
  p.starts = r.Text(2);
  const nlohmann::json days = nlohmann::json::parse(r.Text(3), nullptr, /*allow_exceptions=*/false);
  if (!days.is_array()) throw r.Unknown("days", r.Text(3));
  for (const nlohmann::json& day : days) {
    if (!day.is_string()) throw r.Unknown("days", r.Text(3));
    p.days.push_back(day.get<std::string>());
  }
  return p;
}

std::string DaysText(const attendance::Pattern& p) { return nlohmann::json(p.days).dump(); }

constexpr const char* kAssignmentColumns = "id, pattern, target, person, department, from_date, until_date";

attendance::Assignment AssignmentOf(TableConnection& db, const TableRow& row) {
  Reader r(db, "shift_assignments", row);
  attendance::Assignment a;
  a.id = r.Long(0, "id");
  a.pattern = r.Text(1);
  a.target = r.Word(2, kTargetKinds, "target");
  a.person = static_cast<std::int32_t>(r.Long(3, "person"));
  a.department = r.Text(4);
  a.from = r.Text(5);
  a.until = r.Maybe(6);
  return a;
}

constexpr const char* kLeaveColumns =
    "id, person, kind, from_date, to_date, part_start, part_end, note, added_by, added_at, withdrawn_by, withdrawn_at";

attendance::Leave LeaveOf(TableConnection& db, const TableRow& row) {
  Reader r(db, "leave_entries", row);
  attendance::Leave l;
  l.id = r.Long(0, "id");
  l.person = static_cast<std::int32_t>(r.Long(1, "person"));
  l.kind = r.Text(2);
  l.from = r.Text(3);
  l.to = r.Text(4);
  l.part_start = r.MaybeInt(5, "part_start");
  l.part_end = r.MaybeInt(6, "part_end");
  l.note = r.Text(7);
  l.entered = {r.Text(8), r.Text(9), r.Maybe(10), r.Maybe(11)};
  return l;
}

constexpr const char* kCorrectionColumns =
    "id, person, kind, at_time, direction, port, terminal, reason, added_by, added_at, withdrawn_by, withdrawn_at";

attendance::Correction CorrectionOf(TableConnection& db, const TableRow& row) {
  Reader r(db, "corrections", row);
  attendance::Correction c;
  c.id = r.Long(0, "id");
  c.person = static_cast<std::int32_t>(r.Long(1, "person"));
  c.kind = r.Word(2, kCorrectionKinds, "kind");
  c.time = r.Text(3);
  c.direction = r.Word(4, kDirections, "direction");
  c.port = r.Int(5, "port");
  c.terminal = r.Int(6, "terminal");
  c.reason = r.Text(7);
  c.entered = {r.Text(8), r.Text(9), r.Maybe(10), r.Maybe(11)};
  return c;
}

// Every write starts here: a database before the attendance tables refuses it.
void RequireHeld(bool held, TableConnection& db) {
  if (!held)
    throw StoreError(StoreFailure::Invalid,
                     host::Message("database {0} holds no attendance rows yet (its schema is older): open it for "
                                   "writing once to bring it up to date",
                                   {db.location()}));
}

}  // namespace

bool AttendanceRows::Held() { return db_.SchemaVersion() >= kAttendanceSchemaVersion; }


// ---- Shifts ----

std::vector<attendance::Shift> AttendanceRows::Shifts() {
  std::vector<attendance::Shift> shifts;
  db_.Reading("reading the shifts", [&] {
    shifts.clear();
    if (!Held()) return;
    db_.Query(std::string("SELECT ") + kShiftColumns + " FROM shifts WHERE site = $1 ORDER BY name", {site_},
              [&](const TableRow& r) { shifts.push_back(ShiftOf(db_, r)); }, "reading the shifts");
  });
  return shifts;
}

bool AttendanceRows::AddShift(const attendance::Shift& shift) {
  RequireHeld(Held(), db_);
  return db_.Exec(std::string("INSERT INTO shifts (site, ") + kShiftColumns +
                      ") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15) "
                      "ON CONFLICT (site, name) DO NOTHING",
                  ShiftValues(site_, shift), "adding a shift") > 0;
}

bool AttendanceRows::ReplaceShift(const attendance::Shift& shift) {
  RequireHeld(Held(), db_);
  return db_.Exec("UPDATE shifts SET start_minute = $3, end_minute = $4, late_grace = $5, early_grace = $6, "
                  "break_minutes = $7, window_before = $8, window_after = $9, full_day_minutes = $10, "
                  "half_day_minutes = $11, flexible = $12, core_start = $13, core_end = $14, required_minutes = $15 "
                  "WHERE site = $1 AND name = $2",
                  ShiftValues(site_, shift), "changing a shift") > 0;
}

bool AttendanceRows::RemoveShift(const std::string& name) {
  RequireHeld(Held(), db_);
  return db_.Exec("DELETE FROM shifts WHERE site = $1 AND name = $2", {site_, name}, "removing a shift") > 0;
}

// ---- Patterns ----

std::vector<attendance::Pattern> AttendanceRows::Patterns() {
  std::vector<attendance::Pattern> patterns;
  db_.Reading("reading the work patterns", [&] {
    patterns.clear();
    if (!Held()) return;
    db_.Query("SELECT name, kind, starts, days FROM work_patterns WHERE site = $1 ORDER BY name", {site_},
              [&](const TableRow& r) { patterns.push_back(PatternOf(db_, r)); }, "reading the work patterns");
  });
  return patterns;
}

bool AttendanceRows::AddPattern(const attendance::Pattern& pattern) {
  RequireHeld(Held(), db_);
  return db_.Exec("INSERT INTO work_patterns (site, name, kind, starts, days) VALUES ($1, $2, $3, $4, $5) "
                  "ON CONFLICT (site, name) DO NOTHING",
                  {site_, pattern.name, WordOf(kPatternKinds, pattern.kind), pattern.starts, DaysText(pattern)},
                  "adding a work pattern") > 0;
}

bool AttendanceRows::ReplacePattern(const attendance::Pattern& pattern) {
  RequireHeld(Held(), db_);
  return db_.Exec("UPDATE work_patterns SET kind = $3, starts = $4, days = $5 WHERE site = $1 AND name = $2",
                  {site_, pattern.name, WordOf(kPatternKinds, pattern.kind), pattern.starts, DaysText(pattern)},
                  "changing a work pattern") > 0;
}

bool AttendanceRows::RemovePattern(const std::string& name) {
  RequireHeld(Held(), db_);
  return db_.Exec("DELETE FROM work_patterns WHERE site = $1 AND name = $2", {site_, name},
                  "removing a work pattern") > 0;
}

// ---- Assignments ----

std::vector<attendance::Assignment> AttendanceRows::Assignments() {
  std::vector<attendance::Assignment> assignments;
  db_.Reading("reading the shift assignments", [&] {
    assignments.clear();
    if (!Held()) return;
    db_.Query(std::string("SELECT ") + kAssignmentColumns + " FROM shift_assignments WHERE site = $1 ORDER BY id",
              {site_}, [&](const TableRow& r) { assignments.push_back(AssignmentOf(db_, r)); },
              "reading the shift assignments");
  });
  return assignments;
}

std::int64_t AttendanceRows::AddAssignment(const attendance::Assignment& a) { return AddAssignments({a}).at(0); }

std::vector<std::int64_t> AttendanceRows::AddAssignments(const std::vector<attendance::Assignment>& assignments) {
  RequireHeld(Held(), db_);
  std::vector<std::int64_t> ids;
  db_.Transaction("assigning a work pattern", [&] {
    ids.clear();
    for (const attendance::Assignment& a : assignments)
      db_.Query("INSERT INTO shift_assignments (site, pattern, target, person, department, from_date, until_date) "
                "VALUES ($1, $2, $3, $4, $5, $6, $7) RETURNING id",
                {site_, a.pattern, WordOf(kTargetKinds, a.target),
                 Number(a.target == TargetKind::kPerson ? a.person : 0),
                 a.target == TargetKind::kDepartment ? a.department : std::string(), a.from, a.until},
                [&](const TableRow& r) { ids.push_back(Reader(db_, "shift_assignments", r).Long(0, "id")); },
                "assigning a work pattern");
  });
  return ids;
}

bool AttendanceRows::RemoveAssignment(std::int64_t id) {
  RequireHeld(Held(), db_);
  return db_.Exec("DELETE FROM shift_assignments WHERE site = $1 AND id = $2", {site_, Number(id)},
                  "removing a shift assignment") > 0;
}

// ---- Holidays and rest days ----

std::vector<attendance::DayOff> AttendanceRows::DaysOff(const std::optional<std::string>& from,
                                                        const std::optional<std::string>& to) {
  std::vector<attendance::DayOff> days;
  db_.Reading("reading the holidays and rest days", [&] {
    days.clear();
    if (!Held()) return;
    std::string sql = "SELECT day, kind, name FROM days_off WHERE site = $1";
    TableRow params{site_};
    if (from) {
      params.push_back(*from);
      sql += " AND day >= $" + std::to_string(params.size());
    }
    if (to) {
      params.push_back(*to);
      sql += " AND day <= $" + std::to_string(params.size());
    }
    db_.Query(sql + " ORDER BY day", params,
              [&](const TableRow& row) {
                Reader r(db_, "days_off", row);
                days.push_back({r.Text(0), r.Word(1, kDayOffKinds, "kind"), r.Text(2)});
              },
              "reading the holidays and rest days");
  });
  return days;
}

void AttendanceRows::SetDayOff(const attendance::DayOff& day) {
  RequireHeld(Held(), db_);
  db_.Exec("INSERT INTO days_off (site, day, kind, name) VALUES ($1, $2, $3, $4) "
           "ON CONFLICT (site, day) DO UPDATE SET kind = excluded.kind, name = excluded.name",
           {site_, day.date, WordOf(kDayOffKinds, day.kind), day.name}, "setting a holiday or rest day");
}

bool AttendanceRows::RemoveDayOff(const std::string& date) {
  RequireHeld(Held(), db_);
  return db_.Exec("DELETE FROM days_off WHERE site = $1 AND day = $2", {site_, date},
                  "removing a holiday or rest day") > 0;
}

// ---- Leave ----

std::vector<attendance::Leave> AttendanceRows::Leave(const std::string& from, const std::string& to,
                                                     std::optional<std::int32_t> person) {
  std::vector<attendance::Leave> leave;
  db_.Reading("reading the leave", [&] {
    leave.clear();
    if (!Held()) return;
    TableRow params{site_, to, from};
    std::string sql = std::string("SELECT ") + kLeaveColumns +
                      " FROM leave_entries WHERE site = $1 AND from_date <= $2 AND to_date >= $3";
    if (person) {
      params.push_back(Number(*person));
      sql += " AND person = $4";
    }
    db_.Query(sql + " ORDER BY id", params, [&](const TableRow& r) { leave.push_back(LeaveOf(db_, r)); },
              "reading the leave");
  });
  return leave;
}

std::optional<attendance::Leave> AttendanceRows::FindLeave(std::int64_t id) {
  std::optional<attendance::Leave> found;
  db_.Reading("reading a leave entry", [&] {
    found.reset();
    if (!Held()) return;
    db_.Query(std::string("SELECT ") + kLeaveColumns + " FROM leave_entries WHERE site = $1 AND id = $2",
              {site_, Number(id)}, [&](const TableRow& r) { found = LeaveOf(db_, r); }, "reading a leave entry");
  });
  return found;
}

std::vector<std::int64_t> AttendanceRows::AddLeave(const std::vector<attendance::Leave>& leave) {
  RequireHeld(Held(), db_);
  std::vector<std::int64_t> ids;
  db_.Transaction("adding leave", [&] {
    ids.clear();
    for (const attendance::Leave& l : leave)
      db_.Query("INSERT INTO leave_entries (site, person, kind, from_date, to_date, part_start, part_end, note, "
                "added_by, added_at, withdrawn_by, withdrawn_at) "
                "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12) RETURNING id",
                {site_, Number(l.person), l.kind, l.from, l.to, MaybeNumber(l.part_start), MaybeNumber(l.part_end),
                 l.note, l.entered.by, l.entered.at, l.entered.withdrawn_by, l.entered.withdrawn_at},
                [&](const TableRow& r) { ids.push_back(Reader(db_, "leave_entries", r).Long(0, "id")); },
                "adding leave");
  });
  return ids;
}

bool AttendanceRows::WithdrawLeave(std::int64_t id, const std::string& by, const std::string& at) {
  RequireHeld(Held(), db_);
  return db_.Exec("UPDATE leave_entries SET withdrawn_by = $3, withdrawn_at = $4 "
                  "WHERE site = $1 AND id = $2 AND withdrawn_at IS NULL",
                  {site_, Number(id), by, at}, "withdrawing leave") > 0;
}

// ---- Corrections ----

std::vector<attendance::Correction> AttendanceRows::Corrections(const std::string& from, const std::string& to,
                                                                std::optional<std::int32_t> person) {
  std::vector<attendance::Correction> corrections;
  db_.Reading("reading the corrections", [&] {
    corrections.clear();
    if (!Held()) return;
    // Wall times of the dates from..to: at or after `from`, and before `to` followed by '~'
    // (after "YYYY-MM-DD" a wall time has ' ', which sorts before '~'; both engines compare
    // these columns byte by byte).
    TableRow params{site_, from, to + "~"};
    std::string sql = std::string("SELECT ") + kCorrectionColumns +
                      " FROM corrections WHERE site = $1 AND at_time >= $2 AND at_time < $3";
    if (person) {
      params.push_back(Number(*person));
      sql += " AND person = $4";
    }
    db_.Query(sql + " ORDER BY id", params, [&](const TableRow& r) { corrections.push_back(CorrectionOf(db_, r)); },
              "reading the corrections");
  });
  return corrections;
}

std::optional<attendance::Correction> AttendanceRows::FindCorrection(std::int64_t id) {
  std::optional<attendance::Correction> found;
  db_.Reading("reading a correction", [&] {
    found.reset();
    if (!Held()) return;
    db_.Query(std::string("SELECT ") + kCorrectionColumns + " FROM corrections WHERE site = $1 AND id = $2",
              {site_, Number(id)}, [&](const TableRow& r) { found = CorrectionOf(db_, r); }, "reading a correction");
  });
  return found;
}

std::int64_t AttendanceRows::AddCorrection(const attendance::Correction& c) {
  RequireHeld(Held(), db_);
  std::int64_t id = 0;
  db_.Transaction("adding a correction", [&] {
    id = 0;
    db_.Query("INSERT INTO corrections (site, person, kind, at_time, direction, port, terminal, reason, added_by, "
              "added_at, withdrawn_by, withdrawn_at) "
              "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12) RETURNING id",
              {site_, Number(c.person), WordOf(kCorrectionKinds, c.kind), c.time, WordOf(kDirections, c.direction),
               Number(c.port), Number(c.terminal), c.reason, c.entered.by, c.entered.at, c.entered.withdrawn_by,
               c.entered.withdrawn_at},
              [&](const TableRow& r) { id = Reader(db_, "corrections", r).Long(0, "id"); }, "adding a correction");
  });
  return id;
}

bool AttendanceRows::WithdrawCorrection(std::int64_t id, const std::string& by, const std::string& at) {
  RequireHeld(Held(), db_);
  return db_.Exec("UPDATE corrections SET withdrawn_by = $3, withdrawn_at = $4 "
                  "WHERE site = $1 AND id = $2 AND withdrawn_at IS NULL",
                  {site_, Number(id), by, at}, "withdrawing a correction") > 0;
}

// ---- Closed months ----

std::optional<attendance::ClosedMonth> AttendanceRows::Closed(const std::string& month) {
  std::optional<attendance::ClosedMonth> closed;
  db_.Reading("reading a closed month", [&] {
    closed.reset();
    if (!Held()) return;
    db_.Query("SELECT month, closed_by, closed_at, days_json FROM closed_months WHERE site = $1 AND month = $2",
              {site_, month},
              [&](const TableRow& r) {
                closed = attendance::ClosedMonth{r[0].value_or(""), r[1].value_or(""), r[2].value_or(""),
                                                 r[3].value_or("")};
              },
              "reading a closed month");
  });
  return closed;
}

std::vector<std::string> AttendanceRows::ClosedMonths() {
  std::vector<std::string> months;
  db_.Reading("reading the closed months", [&] {
    months.clear();
    if (!Held()) return;
    db_.Query("SELECT month FROM closed_months WHERE site = $1 ORDER BY month", {site_},
              [&](const TableRow& r) { months.push_back(r[0].value_or("")); }, "reading the closed months");
  });
  return months;
}

bool AttendanceRows::Close(const attendance::ClosedMonth& month) {
  RequireHeld(Held(), db_);
  return db_.Exec("INSERT INTO closed_months (site, month, closed_by, closed_at, days_json) VALUES ($1, $2, $3, $4, $5) "
                  "ON CONFLICT (site, month) DO NOTHING",
                  {site_, month.month, month.closed_by, month.closed_at, month.days_json}, "closing a month") > 0;
}

bool AttendanceRows::Reopen(const std::string& month) {
  RequireHeld(Held(), db_);
  return db_.Exec("DELETE FROM closed_months WHERE site = $1 AND month = $2", {site_, month}, "reopening a month") > 0;
}

// ---- Days reviewed ----

std::vector<attendance::ReviewedDay> AttendanceRows::Reviewed(const std::string& from, const std::string& to,
                                                              std::optional<std::int32_t> person) {
  std::vector<attendance::ReviewedDay> days;
  db_.Reading("reading the days reviewed", [&] {
    days.clear();
    if (db_.SchemaVersion() < kReviewedSchemaVersion) return;
    TableRow params{site_, from, to};
    std::string sql = "SELECT person, day, reviewed_by, reviewed_at, note FROM days_reviewed "
                      "WHERE site = $1 AND day >= $2 AND day <= $3";
    if (person) {
      params.push_back(Number(*person));
      sql += " AND person = $4";
    }
    db_.Query(sql + " ORDER BY person, day", params, [&](const TableRow& row) {
      Reader r(db_, "days_reviewed", row);
      days.push_back({r.Int(0, "person"), r.Text(1), r.Text(2), r.Text(3), r.Text(4)});
    }, "reading the days reviewed");
  });
  return days;
}

void AttendanceRows::MarkReviewed(const attendance::ReviewedDay& day) {
  RequireHeld(db_.SchemaVersion() >= kReviewedSchemaVersion, db_);
  db_.Exec("INSERT INTO days_reviewed (site, person, day, reviewed_by, reviewed_at, note) VALUES ($1, $2, $3, $4, $5, $6) "
           "ON CONFLICT (site, person, day) DO UPDATE SET reviewed_by = excluded.reviewed_by, "
           "reviewed_at = excluded.reviewed_at, note = excluded.note",
           {site_, Number(day.person), day.date, day.by, day.at, day.note}, "marking a day reviewed");
}

bool AttendanceRows::UnmarkReviewed(std::int32_t person, const std::string& date) {
  RequireHeld(db_.SchemaVersion() >= kReviewedSchemaVersion, db_);
  return db_.Exec("DELETE FROM days_reviewed WHERE site = $1 AND person = $2 AND day = $3", {site_, Number(person), date},
                  "unmarking a day reviewed") > 0;
}

// ---- Changes ----

std::optional<std::int64_t> AttendanceRows::Changes() {
  std::optional<std::int64_t> changes;
  db_.Reading("reading the count of changes", [&] {
    changes.reset();
    if (db_.SchemaVersion() < kChangesSchemaVersion) return;
    db_.Query("SELECT changes FROM data_changes WHERE id = 1", {}, [&](const TableRow& row) {
      Reader r(db_, "data_changes", row);
      changes = r.Long(0, "changes");
    }, "reading the count of changes");
  });
  return changes;
}

// ---- Leave kinds ----

std::vector<std::string> AttendanceRows::LeaveKinds() {
  std::vector<std::string> kinds;
  db_.Reading("reading the leave kinds", [&] {
    kinds.clear();
    if (Held())
      db_.Query("SELECT kind FROM leave_kinds WHERE site = $1 ORDER BY position, kind", {site_},
                [&](const TableRow& r) { kinds.push_back(r[0].value_or("")); }, "reading the leave kinds");
  });
  if (kinds.empty()) kinds.assign(std::begin(kDefaultLeaveKinds), std::end(kDefaultLeaveKinds));
  return kinds;
}

void AttendanceRows::SetLeaveKinds(const std::vector<std::string>& kinds) {
  RequireHeld(Held(), db_);
  db_.Transaction("setting the leave kinds", [&] {
    db_.Exec("DELETE FROM leave_kinds WHERE site = $1", {site_}, "setting the leave kinds");
    int position = 0;
    // A kind given twice is kept once, at its first place.
    for (const std::string& kind : kinds)
      db_.Exec("INSERT INTO leave_kinds (site, kind, position) VALUES ($1, $2, $3) ON CONFLICT (site, kind) DO NOTHING",
               {site_, kind, Number(position++)}, "setting the leave kinds");
  });
}

}  // namespace vanto::store
