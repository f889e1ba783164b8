// Attendance in the host library: what the command line (`vanto shift`, `vanto leave`,
// `vanto correction`, `vanto attendance`, ...) and the API (/api/v1/attendance, its corrections
// and leave) do alike, written once. Each operation works on the chosen site of one database
// handle, checks its input (host::InputError naming what is wrong and why), writes its rows and
// its audit row, and answers values; a front end only parses and presents.
//
//   host::AttendanceSite at{db, choice, &site_file, {"alice", "command line"}};
//   host::AddShift(at, shift, pattern_days);
//   std::vector<attendance::DayResult> days = host::JudgeMonth(at, "2026-12", std::nullopt);
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/attendance/model.h"
#include "host/attendance/rules.h"
#include "host/db/swipe_store.h"
#include "host/site/site.h"
#include "host/site_choice.h"

namespace vanto::db {
class Database;
}

namespace vanto::host {

// Who acts: the console user, the API token or the operating-system user, and from where
// ("command line", a client address), as the audit trail and the entries' `by` name them.
struct AttendanceActor {
  std::string name;
  std::string origin;
};

class JudgedMonths;

// One site of one database, with the settings of its site file when there is one (time zone,
// day_starts, late_after, the terminals to wait for, in/out terminals, pending_limit).
struct AttendanceSite {
  db::Database& db;
  const SiteChoice& site;
  const site::Site* file = nullptr;  // none: the host's zone, day starts 00:00, no late_after
  AttendanceActor actor;
  // "Now" for the pending rule and for the entries' times (tests set it); none: the clock.
  std::optional<std::chrono::system_clock::time_point> now;
  // Months judged before, kept for JudgeMonth (none: each is judged anew). A long-lived front end
  // (the console) owns one per database handle.
  JudgedMonths* judged = nullptr;
};

// ---- Shifts, patterns, assignments, holidays ----

// Adds a shift, and with `week_days` (7 flags, Monday first) a week pattern of the same name
// that works it on those days. Refused: a name held already, times out of range, a window
// overlapping the next day's shift of a pattern (naming both). Audited ("shift.add").
void AddShift(const AttendanceSite& at, const attendance::Shift& shift,
              const std::optional<std::vector<bool>>& week_days = std::nullopt);
// Changes a shift (its name stays); refused like AddShift, and when there is none. A closed
// month keeps its judged days. Audited ("shift.change").
void ChangeShift(const AttendanceSite& at, const attendance::Shift& shift);
// Removes a shift no pattern uses (refused naming the patterns otherwise). Audited.
void RemoveShift(const AttendanceSite& at, const std::string& name);
std::vector<attendance::Shift> ListShifts(const AttendanceSite& at);

void AddPattern(const AttendanceSite& at, const attendance::Pattern& pattern);  // "pattern.add"
void RemovePattern(const AttendanceSite& at, const std::string& name);          // refused while assigned
std::vector<attendance::Pattern> ListPatterns(const AttendanceSite& at);

// Refused: an unknown pattern, until before from, a person or department given two patterns on
// one day (naming the assignment it clashes with). Answers the new id. Audited ("shift.assign").
std::int64_t Assign(const AttendanceSite& at, const attendance::Assignment& assignment);
// "17-19,23": the people numbers of a list of numbers and ranges (spaces around a part allowed),
// each once, in order. InputError naming `what`, the text and the part when a part is no number
// from 1, a range is inverted or longer than 100000, or the list names more than 100000 people.
std::vector<std::int32_t> PeopleNumbers(const std::string& text, const std::string& what);
// The pattern to each of `people` (an assignment to people; its `person` is not read), all or
// nothing: each is checked as above, against the stored ones and those before it, before any is
// written, and all are written in one transaction. Answers the new ids in the order of `people`.
// Audited per person ("shift.assign"). A department's assignment: `people` is not read.
std::vector<std::int64_t> Assign(const AttendanceSite& at, const attendance::Assignment& assignment,
                                 const std::vector<std::int32_t>& people);
void Unassign(const AttendanceSite& at, std::int64_t id);
std::vector<attendance::Assignment> ListAssignments(const AttendanceSite& at);

void SetDayOff(const AttendanceSite& at, const attendance::DayOff& day);  // "holiday.set"
void RemoveDayOff(const AttendanceSite& at, const std::string& date);
std::vector<attendance::DayOff> ListDaysOff(const AttendanceSite& at, const std::optional<std::string>& year);

// ---- Leave and corrections ----

// Refused: an unknown kind (naming the site's kinds), to before from, a part of a day over more
// than one day, a date in a closed month. Answers the new ids. Audited ("leave.add").
std::vector<std::int64_t> AddLeave(const AttendanceSite& at, const std::vector<attendance::Leave>& leave);
// A CSV of leave: a header "person,kind,from,to[,part_start,part_end][,note]", a row per leave.
// All or nothing: any bad row refuses the whole file, each bad row named with its line.
std::vector<std::int64_t> ImportLeaveCsv(const AttendanceSite& at, const std::string& csv);
void WithdrawLeave(const AttendanceSite& at, std::int64_t id);  // "leave.withdraw"
std::vector<attendance::Leave> ListLeave(const AttendanceSite& at, const std::string& from, const std::string& to,
                                         std::optional<std::int32_t> person);
std::vector<std::string> LeaveKinds(const AttendanceSite& at);
void SetLeaveKinds(const AttendanceSite& at, const std::vector<std::string>& kinds);  // "leave.kinds"

// Refused with the reason: a time that does not exist in the site's zone, an added swipe that
// duplicates a stored one or lies outside every window of the person's shifts, a set-aside of
// no stored swipe, a date in a closed month, an empty reason. Audited ("correction.add").
std::int64_t AddCorrection(const AttendanceSite& at, const attendance::Correction& correction);
void WithdrawCorrection(const AttendanceSite& at, std::int64_t id);  // "correction.withdraw"
std::vector<attendance::Correction> ListCorrections(const AttendanceSite& at, const std::string& from,
                                                    const std::string& to, std::optional<std::int32_t> person);

// ---- Judging and closing months ----

// The days of `month` ("YYYY-MM") of the site's people (of `person` only when given), judged now,
// or as judged when the month was closed.
struct MonthAttendance {
  std::string month;
  bool closed = false;
  std::string closed_by, closed_at;
  std::vector<attendance::DayResult> days;  // by person, then date
};
MonthAttendance JudgeMonth(const AttendanceSite& at, const std::string& month, std::optional<std::int32_t> person);
// The same, shared: with `at.judged`, a month judged before is answered again as long as the
// database has counted no change since it was judged (store::AttendanceRows::Changes: a write by
// any process or host) and the clock has not reached a time that judges one of its days
// otherwise; else it is judged and kept. A person's month is taken from the site's month when that
// is kept.
std::shared_ptr<const MonthAttendance> JudgedMonth(const AttendanceSite& at, const std::string& month,
                                                   std::optional<std::int32_t> person);

// Judged months kept between requests (JudgedMonth), safe to share between threads: at most
// `max_days` days in all, the ones used least lately given up first. An entry holds while the
// database's count of changes is the one read before it was judged and the clock is before the
// time its days change by the clock alone.
class JudgedMonths {
 public:
  explicit JudgedMonths(std::size_t max_days = 200000) : max_days_(max_days) {}
  // The month kept under `key` when it still holds (`until`: when it stops holding by the clock).
  std::shared_ptr<const MonthAttendance> Find(const std::string& key, std::int64_t changes, std::int64_t now,
                                              std::int64_t* until = nullptr);
  // Find, but one caller at a time judges a month others ask for at once: the month kept when it
  // holds (or is kept by another caller while this one waits, at most `wait`); else nothing, and
  // `claimed` tells whether this caller is now the one judging it (it Keeps the month and
  // Releases the key, also when judging fails). Nothing unclaimed: the wait ran out.
  std::shared_ptr<const MonthAttendance> Claim(const std::string& key, std::int64_t changes, std::int64_t now,
                                               std::chrono::milliseconds wait, bool* claimed);
  void Release(const std::string& key);
  void Keep(const std::string& key, std::int64_t changes, std::int64_t until, std::shared_ptr<const MonthAttendance> month);
  std::size_t size() const;

 private:
  struct Entry {
    std::int64_t changes = 0, until = 0;
    std::uint64_t used = 0;
    std::shared_ptr<const MonthAttendance> month;
  };
  std::shared_ptr<const MonthAttendance> Holding(const std::string& key, std::int64_t changes, std::int64_t now,
                                                 std::int64_t* until);
  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::set<std::string> judging_;
  std::map<std::string, Entry> entries_;
  std::size_t days_ = 0;
  std::uint64_t uses_ = 0;
  const std::size_t max_days_;
};
// The days first..last (dates "YYYY-MM-DD", inclusive, over month ends) of the site's people (of
// `person` only when given), each month touched judged as JudgeMonth judges it, once for the site
// (or the person), each closed month as it was kept; by person, then date. InputError for a date
// that is none, or last before first.
std::vector<attendance::DayResult> JudgeRange(const AttendanceSite& at, const std::string& first, const std::string& last,
                                              std::optional<std::int32_t> person);
// JudgeRange, judging only the days asked for (and the few before them a day's window can hang
// on), each month's part as the whole month judges it: the same days, the same people. Every
// swipe of the site (of `person` when given) it reads is handed to `seen` once, by time: all of
// the dates first - 1 .. last + 2 at least (more before `first` when a month needs judging), so
// a report over first..last reads the swipes once for both (host/judged_report.h).
using SwipeSeen = std::function<void(const store::BriefSwipe&)>;
std::vector<attendance::DayResult> JudgeRange(const AttendanceSite& at, const std::string& first, const std::string& last,
                                              std::optional<std::int32_t> person, const SwipeSeen& seen);

// Closes a month: its days as judged now are kept and answered until an admin reopens it.
// Refused: closed already, a month not yet over. Audited ("month.close", "month.reopen").
void CloseMonth(const AttendanceSite& at, const std::string& month);
void ReopenMonth(const AttendanceSite& at, const std::string& month);

// One day as `vanto attendance --json` and the API give it (the words of attendance::StatusWord).
nlohmann::json DayJson(const attendance::DayResult& day);
attendance::DayResult DayFromJson(const nlohmann::json& json);

}  // namespace vanto::host
