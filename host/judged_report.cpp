#include "host/judged_report.h"

#include <algorithm>
#include <map>

#include "host/attendance_data.h"
#include "host/db/attendance_rows.h"
#include "host/db/database.h"

namespace vanto::host {

void AddJudgement(report::Report& report, const std::vector<attendance::DayResult>& judged,
                  const std::vector<std::int32_t>& persons) {
  report.judged = true;
  const std::string first = report::DateText(report.days.first), last = report::DateText(report.days.last);
  std::map<std::int32_t, report::PersonReport> added;  // people the report lacks
  auto person_of = [&](std::int32_t number) -> report::PersonReport& {
    auto held = std::lower_bound(report.people.begin(), report.people.end(), number,
                                 [](const report::PersonReport& p, std::int32_t n) { return p.person < n; });
    if (held != report.people.end() && held->person == number) return *held;
    report::PersonReport& p = added[number];
    p.person = number;
    return p;
  };
  for (const attendance::DayResult& d : judged) {
    if (d.date < first || d.date > last) continue;
    if (!persons.empty() && std::find(persons.begin(), persons.end(), d.person) == persons.end()) continue;
    report::Date date;
    // The rules' dates are "YYYY-MM-DD" within the period checked above.
    date.year = std::stoi(d.date.substr(0, 4)), date.month = std::stoi(d.date.substr(5, 2)), date.day = std::stoi(d.date.substr(8, 2));
    person_of(d.person).judged.push_back(
        {date, attendance::StatusWord(d.status), d.late_minutes, d.early_minutes, d.worked_minutes, d.overtime_minutes});
  }
  for (auto& [number, p] : added) report.people.push_back(std::move(p));
  std::sort(report.people.begin(), report.people.end(),
            [](const report::PersonReport& a, const report::PersonReport& b) { return a.person < b.person; });
  for (report::PersonReport& p : report.people)
    std::stable_sort(p.judged.begin(), p.judged.end(),
                     [](const report::JudgedDay& a, const report::JudgedDay& b) { return a.day < b.day; });
}

report::Report BuildJudgedReport(const AttendanceSite& at, report::DayRange days, int day_starts,
                                 std::optional<int> late_after, std::vector<std::int32_t> persons) {
  std::unique_ptr<store::SwipeStore> swipes = at.db.Swipes();
  report::Report report = BuildReport(*swipes, days, day_starts, late_after, ReportScope(at.site.filter, persons));
  if (swipes->schema_version() < store::kAttendanceSchemaVersion) return report;
  swipes.reset();  // its connection back before the rules borrow theirs
  std::optional<std::int32_t> one;
  if (persons.size() == 1) one = persons.front();
  AddJudgement(report, JudgeRange(at, report::DateText(days.first), report::DateText(days.last), one), persons);
  return report;
}

}  // namespace vanto::host
