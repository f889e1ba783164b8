// The days to review: host::JudgeRange's days whose status needs a look, joined with the
// people's names, the day's swipes and corrections, and the days marked reviewed.
#include "host/attendance_review.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include "host/attendance_data.h"
#include "host/attendance_dates.h"
#include "host/calendar.h"
#include "host/db/attendance_rows.h"
#include "host/db/civil_time.h"
#include "host/db/database.h"
#include "host/db/swipe_store.h"
#include "host/errors.h"
#include "host/site/zone.h"

namespace vanto::host {
namespace {

using attendance::DayResult;
using attendance::Status;

constexpr std::int64_t kLongestRange = 366;
constexpr std::size_t kLongestNote = 500;

std::string Number(std::int64_t n) { return std::to_string(n); }

std::int64_t UnixSeconds(const AttendanceSite& at) {
  const auto now = at.now ? *at.now : std::chrono::system_clock::now();
  return std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
}

void Audit(const AttendanceSite& at, const std::string& action, const std::string& details) {
  const std::string site = at.site.name.empty() ? "" : "site " + at.site.name + ", ";
  at.db.Audit({0, store::UtcText(UnixSeconds(at)), at.actor.name, at.actor.origin, action, site + details});
}

// The site's swipes (of `person` only when given) at wall times of the dates from..to
// (inclusive), by time, through the swipe store's narrow read; `row` answers false to stop.
void EachSwipe(const AttendanceSite& at, const std::string& from, const std::string& to,
               std::optional<std::int32_t> person, const std::function<bool(const store::BriefSwipe&)>& row) {
  store::SwipeQuery query;
  query.from = from;
  query.to = to;
  query.site = at.site.filter;
  if (person) query.persons = {*person};
  at.db.Swipes()->EachBrief(query, row);
}

// Whether the site knows `person` on `date`: in its people, given a pattern of their own, or
// with a swipe that day.
bool KnownPerson(const AttendanceSite& at, std::int32_t person, const std::string& date) {
  {
    std::unique_ptr<store::SwipeStore> swipes = at.db.Swipes();
    for (const report::Person& p : StoredPeople(*swipes, at.site.filter))
      if (p.number == person) return true;
  }
  bool swiped = false;
  EachSwipe(at, date, date, person, [&](const store::BriefSwipe&) {
    swiped = true;
    return false;
  });
  if (swiped) return true;
  std::unique_ptr<store::TableConnection> tables = at.db.Tables(false);
  for (const attendance::Assignment& a : store::AttendanceRows(*tables, at.site.name).Assignments())
    if (a.target == attendance::TargetKind::kPerson && a.person == person) return true;
  return false;
}

}  // namespace

bool NeedsReview(Status status) {
  switch (status) {
    case Status::kLate:
    case Status::kLeftEarly:
    case Status::kAbsent:
    case Status::kMissingSwipe:
    case Status::kHalfDay:
    case Status::kPending:
      return true;
    default:
      return false;
  }
}

std::string SiteZoneName(const AttendanceSite& at) {
  if (at.file && at.file->timezone) return *at.file->timezone;
  return site::TimeZone::Host().name();
}

std::string SiteToday(const AttendanceSite& at) {
  const std::optional<site::TimeZone> zone = site::TimeZone::Find(SiteZoneName(at));
  const site::TimeZone tz = zone ? *zone : site::TimeZone::Host();
  const site::WallTime wall = tz.WallAt(std::chrono::system_clock::time_point(std::chrono::seconds(UnixSeconds(at))));
  return site::WallText(wall).substr(0, 10);
}

ReviewList ToReview(const AttendanceSite& at, const std::string& first, const std::string& last,
                    const ReviewOptions& options) {
  const std::int64_t from = CheckedDate(first, "first day"), to = CheckedDate(last, "last day");
  if (to < from) throw InputError(Message("the last day {0} comes before the first day {1}", {last, first}));
  if (to - from + 1 > kLongestRange)
    throw InputError(Message("{0} to {1} is more than {2} days: choose a shorter period",
                             {first, last, Number(kLongestRange)}));
  ReviewList list;
  list.timezone = SiteZoneName(at);

  std::map<std::int32_t, report::Person> people;
  {
    std::unique_ptr<store::SwipeStore> swipes = at.db.Swipes();
    for (report::Person& p : StoredPeople(*swipes, at.site.filter)) people[p.number] = std::move(p);
  }
  std::set<std::string> departments;
  for (const auto& [number, p] : people)
    if (!p.department.empty()) departments.insert(p.department);
  list.departments.assign(departments.begin(), departments.end());
  std::vector<DayResult> judged = JudgeRange(at, first, last, std::nullopt);

  const std::string after = DateOfDay(to + 1);
  std::map<std::pair<std::int32_t, std::string>, attendance::ReviewedDay> reviewed;
  std::vector<attendance::Correction> corrections;
  {  // the rows' connection given back before the swipes are read: one of the pool's at a time
    std::unique_ptr<store::TableConnection> tables = at.db.Tables(false);
    store::AttendanceRows rows(*tables, at.site.name);
    for (attendance::ReviewedDay& r : rows.Reviewed(first, last)) reviewed[{r.person, r.date}] = std::move(r);
    corrections = rows.Corrections(first, after);
  }

  for (DayResult& d : judged) {
    if (!NeedsReview(d.status)) continue;
    ReviewDay day;
    if (auto p = people.find(d.person); p != people.end()) {
      day.name = p->second.name;
      day.department = p->second.department;
    }
    if (options.department && day.department != *options.department) continue;
    if (auto r = reviewed.find({d.person, d.date}); r != reviewed.end()) {
      if (!options.include_reviewed) continue;
      day.reviewed = r->second;
    }
    day.day = std::move(d);
    list.days.push_back(std::move(day));
  }
  std::stable_sort(list.days.begin(), list.days.end(), [](const ReviewDay& a, const ReviewDay& b) {
    return a.day.date != b.day.date ? a.day.date < b.day.date : a.day.person < b.day.person;
  });
  if (list.days.empty()) return list;

  // The swipes of each listed day: those of its date, and those after it up to its last swipe
  // used (a shift past midnight).
  std::map<std::pair<std::int32_t, std::string>, ReviewDay*> listed;
  for (ReviewDay& d : list.days) listed[{d.day.person, d.day.date}] = &d;
  auto owner = [&](std::int32_t person, const std::string& time) -> ReviewDay* {
    const std::string date = time.substr(0, 10);
    if (auto f = listed.find({person, date}); f != listed.end()) return f->second;
    const std::optional<std::int64_t> n = DayNumber(date);
    if (!n) return nullptr;
    if (auto f = listed.find({person, DateOfDay(*n - 1)}); f != listed.end())
      if (f->second->day.last_out && time <= *f->second->day.last_out) return f->second;
    return nullptr;
  };
  EachSwipe(at, first, after, std::nullopt, [&](const store::BriefSwipe& s) {
    if (ReviewDay* d = owner(s.person, s.time)) d->swipes.push_back({s.time, s.port, s.terminal});
    return true;
  });
  for (const attendance::Correction& c : corrections) {
    if (c.entered.withdrawn()) continue;
    ReviewDay* d = owner(c.person, c.time);
    if (!d) continue;
    if (c.kind == attendance::CorrectionKind::kAdd) {
      d->swipes.push_back({c.time, 0, 0, true, false, c.id, c.direction});
      continue;
    }
    for (ReviewSwipe& s : d->swipes)
      if (!s.added && s.time == c.time && s.port == c.port && s.terminal == c.terminal) {
        s.set_aside = true;
        s.correction = c.id;
      }
  }
  for (ReviewDay& d : list.days)
    std::stable_sort(d.swipes.begin(), d.swipes.end(),
                     [](const ReviewSwipe& a, const ReviewSwipe& b) { return a.time < b.time; });
  return list;
}

void MarkReviewed(const AttendanceSite& at, std::int32_t person, const std::string& date, const std::string& note) {
  if (person <= 0) throw InputError(Message("person {0} is no person number (1 or more)", {Number(person)}));
  CheckedDate(date, "date");
  const std::string today = SiteToday(at);
  if (date > today)
    throw InputError(Message("{0} is after today ({1} in time zone {2}): a day is reviewed once it has come",
                             {date, today, SiteZoneName(at)}));
  if (note.size() > kLongestNote)
    throw InputError(Message("the note has {0} characters; at most {1}",
                             {Number(static_cast<std::int64_t>(note.size())), Number(kLongestNote)}));
  // One connection of the pool's at a time: the person looked up, the day marked, then the audit row.
  if (!KnownPerson(at, person, date))
    throw InputError(Message("person {0} is not known at this site (no name, no pattern, no swipe on {1})",
                             {Number(person), date}));
  {
    std::unique_ptr<store::TableConnection> tables = at.db.Tables(false);
    store::AttendanceRows(*tables, at.site.name).MarkReviewed({person, date, at.actor.name, store::UtcText(UnixSeconds(at)), note});
  }
  Audit(at, "day.review", "person " + Number(person) + " on " + date + (note.empty() ? "" : ", note: " + note));
}

void UnmarkReviewed(const AttendanceSite& at, std::int32_t person, const std::string& date) {
  CheckedDate(date, "date");
  {
    std::unique_ptr<store::TableConnection> tables = at.db.Tables(false);
    if (!store::AttendanceRows(*tables, at.site.name).UnmarkReviewed(person, date))
      throw InputError(Message("person {0} on {1} is not marked reviewed", {Number(person), date}));
  }
  Audit(at, "day.unreview", "person " + Number(person) + " on " + date);
}

}  // namespace vanto::host
