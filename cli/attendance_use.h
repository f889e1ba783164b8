// What the attendance commands (shift, pattern, holiday, leave, correction, attendance, month)
// share: the site of the command's database as the host's attendance operations take it, and the
// readings of their options (times of day, week days, people, months) and listings.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/command_support.h"
#include "host/attendance_host.h"
#include "host/report/cells.h"

namespace vanto::cli {

// The command's database and site (chosen once), the site file when there is one, acting as the
// operating-system user from the command line.
AttendanceSite CommandAttendance(const DatabaseOptions& o, DatabaseUse use);

// "HH:MM" -> minutes after midnight; UsageError naming `option`.
int ParseClockOption(const std::string& text, const std::string& option);
// "HH:MM-HH:MM" -> both.
std::pair<int, int> ParseClockRange(const std::string& text, const std::string& option);
// Whole minutes 0..`max`.
int ParseMinutesOption(const std::string& text, const std::string& option, int max);
// "mon-fri", "mon,wed,fri", "sat-sun" -> 7 flags, Monday first.
std::vector<bool> ParseWeekDays(const std::string& text, const std::string& option);
// One person ("17"); a usage error naming the option when the text names more.
std::int32_t PersonOf(const std::string& text, const char* option);
// "YYYY-MM" -> its first and last dates.
std::pair<std::string, std::string> MonthRange(const std::string& month, const std::string& option);
// A positive id.
std::int64_t ParseId(const std::string& text, const char* what);

// A listing as a table (headings in words), CSV (`keys` as its header) or JSON lines (`keys`).
struct Listing {
  std::vector<std::string> headings;  // translated
  std::vector<std::string> keys;
  std::vector<bool> right;
  std::vector<std::vector<std::string>> rows;
  std::vector<nlohmann::json> objects;  // one per row, for --json
};
void WriteListing(std::ostream& out, const Listing& listing, report::Format format);

// "HH:MM".
std::string Clock(int minutes);

// The `withdraw` command of numbered entries (leave, corrections): its one word the entry's number
// (`what` names the entry), `withdraw` the host's operation, then `done` ("... {0} withdrawn")
// with the number. The texts are English, marked with TrLater, and translated here.
struct WithdrawWords {
  const char* needs_number;  // the refusal of anything but one word
  const char* what;
  const char* done;
};
int RunWithdraw(const DatabaseOptions& o, const std::vector<std::string>& words, Io& io, const WithdrawWords& texts,
                void (*withdraw)(const AttendanceSite&, std::int64_t));

// The `list` command of a month's entries: no words, --month YYYY-MM, perhaps --person N; the
// listing `list` makes of the entries from..to (dates, inclusive) of the person, or `none` on the
// error stream when it holds no row (--json: nothing). Texts as above.
struct MonthListWords {
  const char* takes_no_words;
  const char* needs_month;
  const char* none;
};
struct MonthListQuery {
  std::string from, to;
  std::optional<std::int32_t> person;
};
int RunMonthList(const DatabaseOptions& o, const std::vector<std::string>& words, const std::optional<std::string>& month,
                 const std::optional<std::string>& person, bool json, Io& io, const MonthListWords& texts,
                 const std::function<Listing(const AttendanceSite&, const MonthListQuery&)>& list);

}  // namespace vanto::cli
