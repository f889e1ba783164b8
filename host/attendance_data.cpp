#include "host/attendance_data.h"

#include <algorithm>

#include "host/message.h"

namespace vanto::host {

report::Format ChooseFormat(bool csv, bool json, bool raw) {
  if (csv && json) throw InputError(Message("give --csv or --json, not both"));
  if (raw && !csv) throw InputError(Message("--raw is for --csv (JSON keeps every value as stored)"));
  return csv ? (raw ? report::Format::RawCsv : report::Format::Csv) : json ? report::Format::Json : report::Format::Table;
}

bool HoldsPeople(const store::SwipeStore& store) { return store.schema_version() >= kPeopleSchemaVersion; }

std::vector<report::Person> StoredPeople(const store::SwipeStore& store, const std::optional<std::string>& site) {
  std::vector<report::Person> people;
  if (!HoldsPeople(store)) return people;
  for (store::PersonName& p : store.People(site))
    people.push_back({p.person, std::move(p.name), std::move(p.department), std::move(p.employee_code), std::move(p.site)});
  return people;
}

store::SwipeQuery ReportScope(std::optional<std::string> site, std::vector<std::int32_t> persons) {
  store::SwipeQuery scope;
  scope.site = std::move(site);
  scope.persons = std::move(persons);
  return scope;
}

report::Report BuildReport(const store::SwipeStore& store, report::DayRange days, int day_starts,
                           std::optional<int> late_after, store::SwipeQuery query) {
  report::ReportBuilder builder(days, day_starts, late_after);
  report::TimeRange window = builder.Window();
  query.from = window.from;
  query.to = window.to;
  const std::vector<std::int32_t>& persons = query.persons;
  store.Each(query, [&](const store::StoredSwipe& s) {
    builder.Add(s.person, s.time);
    return true;
  });
  std::vector<report::Person> people = StoredPeople(store, query.site);
  if (!persons.empty())
    std::erase_if(people, [&](const report::Person& p) {
      return std::find(persons.begin(), persons.end(), p.number) == persons.end();
    });
  return builder.Finish(people);
}

}  // namespace vanto::host
