// A site's attendance settings and HR's entries in the database (schema step 25): shifts,
// patterns, assignments, holidays and rest days, leave, corrections and closed months. Written
// once over a TableConnection, for both engines, like the sites' rows.
//
//   auto tables = db->Tables(false);
//   store::AttendanceRows rows(*tables, site.name);   // '' a database of no site
//   rows.AddShift(shift);
//
// Every call reads and writes the rows of its site only. A write that breaks a key (a second
// shift of one name) answers false and writes nothing; any other failure throws StoreError.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/attendance/model.h"
#include "host/db/table_rows.h"

namespace vanto::store {

// The first schema version that holds attendance rows.
inline constexpr int kAttendanceSchemaVersion = 25;
// The first that holds the days marked reviewed.
inline constexpr int kReviewedSchemaVersion = 27;

class AttendanceRows {
 public:
  AttendanceRows(TableConnection& db, std::string site) : db_(db), site_(std::move(site)) {}

  // Whether the database holds the attendance tables (older ones hold none: every listing is
  // empty and every write throws StoreError).
  bool Held();

  // Shifts, by name. Add: false when one of that name exists. Replace: false when none does.
  std::vector<attendance::Shift> Shifts();
  bool AddShift(const attendance::Shift& shift);
  bool ReplaceShift(const attendance::Shift& shift);
  bool RemoveShift(const std::string& name);

  // Patterns, by name (the same answers as shifts').
  std::vector<attendance::Pattern> Patterns();
  bool AddPattern(const attendance::Pattern& pattern);
  bool ReplacePattern(const attendance::Pattern& pattern);
  bool RemovePattern(const std::string& name);

  // Assignments, by id; Add answers the new id.
  std::vector<attendance::Assignment> Assignments();
  std::int64_t AddAssignment(const attendance::Assignment& assignment);
  // All or nothing: the new ids, in order.
  std::vector<std::int64_t> AddAssignments(const std::vector<attendance::Assignment>& assignments);
  bool RemoveAssignment(std::int64_t id);

  // Holidays and rest days from `from` to `to` (inclusive; none: every one), by date. Set
  // replaces the day's entry; Remove answers false when there was none.
  std::vector<attendance::DayOff> DaysOff(const std::optional<std::string>& from = std::nullopt,
                                         const std::optional<std::string>& to = std::nullopt);
  void SetDayOff(const attendance::DayOff& day);
  bool RemoveDayOff(const std::string& date);

  // Leave overlapping from..to (inclusive), of `person` when given, withdrawn ones too, by id.
  std::vector<attendance::Leave> Leave(const std::string& from, const std::string& to,
                                       std::optional<std::int32_t> person = std::nullopt);
  std::optional<attendance::Leave> FindLeave(std::int64_t id);
  // All or nothing: the new ids, in order.
  std::vector<std::int64_t> AddLeave(const std::vector<attendance::Leave>& leave);
  // False when there is no such leave or it is withdrawn already.
  bool WithdrawLeave(std::int64_t id, const std::string& by, const std::string& at);

  // Corrections whose time falls on from..to (dates, inclusive), of `person` when given,
  // withdrawn ones too, by id.
  std::vector<attendance::Correction> Corrections(const std::string& from, const std::string& to,
                                                  std::optional<std::int32_t> person = std::nullopt);
  std::optional<attendance::Correction> FindCorrection(std::int64_t id);
  std::int64_t AddCorrection(const attendance::Correction& correction);
  bool WithdrawCorrection(std::int64_t id, const std::string& by, const std::string& at);

  // Closed months. Close: false when closed already. Reopen: false when it was not closed.
  std::optional<attendance::ClosedMonth> Closed(const std::string& month);
  std::vector<std::string> ClosedMonths();
  bool Close(const attendance::ClosedMonth& month);
  bool Reopen(const std::string& month);

  // Days marked reviewed on from..to (inclusive), of `person` when given, by person then date
  // (none in a database older than step 27). Mark keeps the day's one mark (a second one
  // replaces who, when and the note); Unmark answers false when the day was not marked.
  std::vector<attendance::ReviewedDay> Reviewed(const std::string& from, const std::string& to,
                                                std::optional<std::int32_t> person = std::nullopt);
  void MarkReviewed(const attendance::ReviewedDay& day);
  bool UnmarkReviewed(std::int32_t person, const std::string& date);

  // How many writes that can change a judged day the database has counted (every site's, by
  // every process: the schema's triggers count them), or nothing in a database older than step
  // 28. A count read before a month is judged that is still the count later means the month
  // would be judged the same, but for the clock.
  std::optional<std::int64_t> Changes();

  // The site's leave kinds (the site's own list, else "annual", "sick", "unpaid").
  std::vector<std::string> LeaveKinds();
  void SetLeaveKinds(const std::vector<std::string>& kinds);

 private:
  TableConnection& db_;
  std::string site_;
};

}  // namespace vanto::store
