#include "host/judged_report.h"

#include <algorithm>
#include <map>

#include "host/attendance_data.h"
#include "host/db/attendance_rows.h"
#include "host/db/database.h"
#include "host/errors.h"
#include "host/message.h"
#include "host/report/dates.h"

namespace vanto::host {

void AddJudgement(report::Report& report, const std::vector<attendance::DayResult>& judged,
                  const std::vector<std::int32_t>& persons) {
  report.judged = true;
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
    // The rules write "YYYY-MM-DD"; a closed month's kept days are read back from the database.
    const std::optional<std::int64_t> minute = d.date.size() == 10 ? report::MinuteOfTimeText(d.date + " 00:00") : std::nullopt;
    if (!minute)
      throw HostError(Message("the judged day {0} of person {1} is not a date YYYY-MM-DD", {d.date, std::to_string(d.person)}));
    const report::Date date = report::DateFromDays(*minute / (24 * 60));
    if (date < report.days.first || date > report.days.last) continue;
    if (!persons.empty() && std::find(persons.begin(), persons.end(), d.person) == persons.end()) continue;
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
  store::SwipeQuery scope = ReportScope(at.site.filter, persons);
  {
    std::unique_ptr<store::SwipeStore> swipes = at.db.Swipes();
    if (swipes->schema_version() < store::kAttendanceSchemaVersion)
      return BuildReport(*swipes, days, day_starts, late_after, std::move(scope));
  }  // its connection back before the rules borrow theirs
  std::optional<std::int32_t> one;
  if (persons.size() == 1) one = persons.front();
  // One read of the swipes for both: the rules' read hands the report every swipe it reads (the
  // builder takes those of its working days).
  report::ReportBuilder builder(days, day_starts, late_after);
  const std::vector<attendance::DayResult> judged =
      JudgeRange(at, report::DateText(days.first), report::DateText(days.last), one, [&](const store::BriefSwipe& s) {
        if (persons.empty() || std::find(persons.begin(), persons.end(), s.person) != persons.end())
          builder.Add(s.person, s.time);
      });
  std::vector<report::Person> people;
  {
    std::unique_ptr<store::SwipeStore> swipes = at.db.Swipes();
    people = StoredPeople(*swipes, at.site.filter);
  }
  if (!persons.empty())
    std::erase_if(people, [&](const report::Person& p) {
      return std::find(persons.begin(), persons.end(), p.number) == persons.end();
    });
  report::Report report = builder.Finish(people);
  AddJudgement(report, judged, persons);
  return report;
}

}  // namespace vanto::host
