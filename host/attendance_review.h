// The days HR looks at first: each day of a site's people whose status needs a look (late, left
// early, absent, a missing swipe, a half day, pending), with the person's name and department,
// the day's swipes and whether it was marked reviewed; and the mark itself. Values only: the
// console and the exports put them into words.
//
//   host::ReviewOptions options;                 // every department, reviewed days left out
//   host::ReviewList list = host::ToReview(at, "2026-11-28", "2026-12-04", options);
//   host::MarkReviewed(at, 12, "2026-12-01", "spoke to her");
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/attendance/model.h"
#include "host/attendance/rules.h"
#include "host/attendance_host.h"

namespace vanto::host {

// Whether a day's status asks HR to look: late, left-early, absent, missing-swipe, half-day,
// pending.
bool NeedsReview(attendance::Status status);

// A swipe of a day as HR sees it: a stored one (set aside or not) or one a correction added.
struct ReviewSwipe {
  std::string time;  // wall time in the site's zone
  int port = 0, terminal = 0;  // a stored swipe's terminal (0, 0: added by a correction)
  bool added = false;          // added by correction `correction`
  bool set_aside = false;      // set aside by correction `correction`
  std::int64_t correction = 0;
  attendance::Direction direction = attendance::Direction::kUnknown;  // an added one's
  bool operator==(const ReviewSwipe&) const = default;
};

struct ReviewDay {
  attendance::DayResult day;  // status, findings (with minutes), first in, last out, pending
  std::string name;           // '' not in the people table
  std::string department;
  std::vector<ReviewSwipe> swipes;  // by time
  std::optional<attendance::ReviewedDay> reviewed;
};

struct ReviewOptions {
  std::optional<std::string> department;  // only this department's people
  bool include_reviewed = false;          // reviewed days too
};

struct ReviewList {
  std::string timezone;  // the site's zone the dates and times are in
  std::vector<std::string> departments;  // of the site's people (every one, whatever the options), sorted
  std::vector<ReviewDay> days;  // by date, then person
};

// The days first..last (inclusive, across month ends; at most 366 days) that need review, from
// host::JudgeRange. InputError: a date that is none, last before first, too long a range.
ReviewList ToReview(const AttendanceSite& at, const std::string& first, const std::string& last,
                    const ReviewOptions& options);

// Marks a day of a person reviewed (a second mark replaces the note). Refused: a date that is
// none or after today in the site's zone, a person the site does not know (not in its people,
// no pattern of their own, no swipe that day), a note over 500 characters. A closed month's day
// may be marked: the mark changes nothing judged. Audited ("day.review").
void MarkReviewed(const AttendanceSite& at, std::int32_t person, const std::string& date, const std::string& note);
// Takes the mark away; refused when the day is not marked. Audited ("day.unreview").
void UnmarkReviewed(const AttendanceSite& at, std::int32_t person, const std::string& date);

// The site's time zone (the site file's, else the host's) and today's date in it.
std::string SiteZoneName(const AttendanceSite& at);
std::string SiteToday(const AttendanceSite& at);

}  // namespace vanto::host
