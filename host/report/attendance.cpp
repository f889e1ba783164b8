#include "host/report/attendance.h"

#include <algorithm>
#include <stdexcept>

namespace vanto::report {

std::int64_t PersonReport::total_span() const {
  std::int64_t total = 0;
  for (const DayEntry& d : days) total += d.span();
  return total;
}

const JudgedDay* PersonReport::JudgedOn(const Date& day) const {
  auto at = std::lower_bound(judged.begin(), judged.end(), day, [](const JudgedDay& j, const Date& d) { return j.day < d; });
  return at != judged.end() && at->day == day ? &*at : nullptr;
}

std::map<std::string, int> PersonReport::StatusCounts() const {
  std::map<std::string, int> counts;
  for (const JudgedDay& j : judged) ++counts[j.status];
  return counts;
}

std::size_t Report::day_count() const {
  std::size_t count = 0;
  for (const PersonReport& p : people) count += p.days.size();
  return count;
}

ReportBuilder::ReportBuilder(DayRange days, int day_starts, std::optional<int> late_after)
    : days_(days), day_starts_(day_starts), late_after_(late_after), first_day_(DaysFromDate(days.first)), last_day_(DaysFromDate(days.last)) {
  if (day_starts < 0 || day_starts >= 1440) throw std::invalid_argument("day_starts must be within a day");
  if (late_after && (*late_after < 0 || *late_after >= 1440)) throw std::invalid_argument("late_after must be within a day");
  if (first_day_ > last_day_) throw std::invalid_argument("a report's first day comes after its last");
}

TimeRange ReportBuilder::Window() const {
  std::int64_t from = first_day_ * 1440 + day_starts_;
  std::int64_t to = (last_day_ + 1) * 1440 + day_starts_ - 1;  // the last minute of the last working day
  return {MinuteText(from) + ":00", MinuteText(to) + ":59"};
}

void ReportBuilder::Add(std::int32_t person, std::string_view time) {
  std::optional<std::int64_t> minute = MinuteOfTimeText(time);
  if (!minute) throw std::invalid_argument("stored swipe time '" + std::string(time) + "' is no date and time");
  auto [previous, first_of_person] = last_minute_.try_emplace(person, *minute);
  if (!first_of_person) {
    if (*minute < previous->second)
      throw std::invalid_argument("swipes of person " + std::to_string(person) + " out of time order at " +
                                  std::string(time));
    if (*minute == previous->second) return;  // a repeat within the same minute
    previous->second = *minute;
  }
  std::int64_t shifted = *minute - day_starts_;
  std::int64_t day = shifted >= 0 ? shifted / 1440 : -((-shifted + 1439) / 1440);
  if (day < first_day_ || day > last_day_) return;
  std::uint64_t key = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(person)) << 32) |
                      static_cast<std::uint32_t>(static_cast<std::int32_t>(day));
  auto [entry, added] = entries_.try_emplace(key, Accumulator{*minute, *minute, 0});
  entry->second.last = *minute;
  ++entry->second.swipes;
}

Report ReportBuilder::Finish(const std::vector<Person>& people) const {
  Report report;
  report.days = days_;
  report.day_starts = day_starts_;
  report.late_after = late_after_;
  std::map<std::int32_t, PersonReport> by_person;
  for (const Person& p : people) {
    PersonReport& r = by_person[p.number];
    r.person = p.number;
    r.name = p.name;
    r.department = p.department;
    r.employee_code = p.employee_code;
  }
  for (const auto& [key, acc] : entries_) {
    auto person = static_cast<std::int32_t>(static_cast<std::uint32_t>(key >> 32));
    auto day = static_cast<std::int32_t>(static_cast<std::uint32_t>(key & 0xFFFFFFFFu));
    PersonReport& r = by_person[person];
    r.person = person;
    bool late = late_after_ && acc.first - std::int64_t{day} * 1440 > *late_after_;
    r.days.push_back({DateFromDays(day), acc.first, acc.last, acc.swipes, late});
  }
  for (auto& [number, r] : by_person)
    std::sort(r.days.begin(), r.days.end(), [](const DayEntry& a, const DayEntry& b) { return a.day < b.day; });
  report.people.reserve(by_person.size());
  for (auto& [number, r] : by_person) report.people.push_back(std::move(r));
  return report;
}

std::string SpanText(std::int64_t minutes) {
  std::string sign = minutes < 0 ? "-" : "";
  if (minutes < 0) minutes = -minutes;
  std::string mm = std::to_string(minutes % 60);
  return sign + std::to_string(minutes / 60) + ":" + (mm.size() < 2 ? "0" : "") + mm;
}

}  // namespace vanto::report
