// The attendance report with the day statuses of the attendance rules: the swipes' report
// (host/attendance_data.h: first and last swipe, swipes, span per person and working day) and,
// per person, every day of the period as the rules judge it (host::JudgeRange), so a day without
// a swipe (absent, leave, holiday, pending ...) still shows in the person's counts.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "host/attendance/rules.h"
#include "host/attendance_host.h"
#include "host/report/attendance.h"

namespace vanto::host {

// The report of `days` over the site of `at` (its swipes and people; of `persons` only when
// given), working days from `day_starts`, first swipes after `late_after` marked late, judged
// by the rules: one JudgeRange for the site (or, for one person, for that person). A database
// older than the attendance tables is reported unjudged (Report::judged false).
report::Report BuildJudgedReport(const AttendanceSite& at, report::DayRange days, int day_starts,
                                 std::optional<int> late_after, std::vector<std::int32_t> persons = {});

// Puts judged days into a report: each day of the report's period goes to its person's
// `judged` (a person the rules judge but the report lacks, such as one with a shift and no
// swipe nor name, is added); days of other dates, and of people not among `persons` (when
// given), are left out. A report's working day and a judged day match by date: a night shift's
// judged day is dated by the shift's start, so with day_starts 00:00 its morning swipes make a
// working day of the next date, which shows that date's status.
void AddJudgement(report::Report& report, const std::vector<attendance::DayResult>& judged,
                  const std::vector<std::int32_t>& persons = {});

}  // namespace vanto::host
