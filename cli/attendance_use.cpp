// Shared readings of the attendance commands' options and their listings.
#include "cli/attendance_use.h"

#include <algorithm>
#include <tuple>

#include "cli/site_use.h"
#include "host/report/dates.h"
#include "host/text/messages.h"
#include "present/report/date_options.h"

namespace vanto::cli {

AttendanceSite CommandAttendance(const DatabaseOptions& o, DatabaseUse use) {
  const SiteChoice& choice = CommandSite(o, use);
  std::shared_ptr<db::Database> db = CommandDatabase(o, use);  // kept open until the command ends
  return AttendanceSite{*db, choice, CurrentSite(), {OsUser(), "command line"}, std::nullopt};
}

namespace {
bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}
}  // namespace

int ParseClockOption(const std::string& text, const std::string& option) {
  if (std::optional<int> minutes = site::ParseTimeOfDay(text)) return *minutes;
  throw UsageError(TrFill("{0} '{1}' is not a time of day HH:MM (00:00..23:59)", {option, text}));
}

std::pair<int, int> ParseClockRange(const std::string& text, const std::string& option) {
  const auto dash = text.find('-');
  if (dash == std::string::npos) throw UsageError(TrFill("{0} '{1}' is not a range HH:MM-HH:MM", {option, text}));
  return {ParseClockOption(text.substr(0, dash), option), ParseClockOption(text.substr(dash + 1), option)};
}

int ParseMinutesOption(const std::string& text, const std::string& option, int max) {
  if (!AllDigits(text) || text.size() > 5 || std::stoi(text) > max)
    throw UsageError(TrFill("{0} '{1}' is not a number of minutes from 0 to {2}", {option, text, std::to_string(max)}));
  return std::stoi(text);
}

std::vector<bool> ParseWeekDays(const std::string& text, const std::string& option) {
  static const char* const kDays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
  auto day = [&](std::string word) {
    std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
    for (int i = 0; i < 7; ++i)
      if (word == kDays[i]) return i;
    throw UsageError(TrFill("{0} '{1}': '{2}' is no day (mon, tue, wed, thu, fri, sat, sun)", {option, text, word}));
  };
  std::vector<bool> days(7, false);
  std::size_t begin = 0;
  while (begin <= text.size()) {
    const std::size_t comma = std::min(text.find(',', begin), text.size());
    const std::string part = text.substr(begin, comma - begin);
    const auto dash = part.find('-');
    const int first = day(part.substr(0, dash)), last = dash == std::string::npos ? first : day(part.substr(dash + 1));
    for (int d = first;; d = (d + 1) % 7) {  // "sat-mon" wraps
      days[d] = true;
      if (d == last) break;
    }
    begin = comma + 1;
  }
  return days;
}

std::int32_t PersonOf(const std::string& text, const char* option) {
  const std::vector<std::int32_t> people = host::PeopleNumbers(text, option);
  if (people.size() != 1) throw UsageError(TrFill("{0} '{1}' names more than one person", {option, text}));
  return people[0];
}

std::pair<std::string, std::string> MonthRange(const std::string& month, const std::string& option) {
  const report::DayRange days = ParseDates([&] { return report::ParseMonth(month); });
  (void)option;
  return {report::DateText(days.first), report::DateText(days.last)};
}

std::int64_t ParseId(const std::string& text, const char* what) {
  if (!AllDigits(text) || text.size() > 18 || std::stoll(text) < 1)
    throw UsageError(TrFill("'{0}' is no {1} number", {text, Tr(what)}));
  return std::stoll(text);
}

void WriteListing(std::ostream& out, const Listing& l, report::Format format) {
  switch (format) {
    case report::Format::Table:
      report::WriteTable(out, l.headings, l.rows, l.right);
      return;
    case report::Format::Json:
      for (const nlohmann::json& o : l.objects) out << o.dump() << "\n";
      return;
    case report::Format::Csv:
    case report::Format::RawCsv:
      for (std::size_t i = 0; i < l.keys.size(); ++i) out << (i ? "," : "") << l.keys[i];
      out << "\n";
      for (const auto& row : l.rows) {
        for (std::size_t i = 0; i < row.size(); ++i) out << (i ? "," : "") << report::CsvField(row[i], report::CellsOf(format));
        out << "\n";
      }
      return;
  }
}

std::string Clock(int minutes) { return report::ClockText(minutes); }

int RunWithdraw(const DatabaseOptions& o, const std::vector<std::string>& words, Io& io, const WithdrawWords& texts,
                void (*withdraw)(const AttendanceSite&, std::int64_t)) {
  if (words.size() != 1) throw UsageError(Tr(texts.needs_number));
  const std::int64_t id = ParseId(words[0], texts.what);
  withdraw(CommandAttendance(o, DatabaseUse::kWrite), id);
  io.out << TrFill(texts.done, {std::to_string(id)}) << "\n";
  return kExitOk;
}

int RunMonthList(const DatabaseOptions& o, const std::vector<std::string>& words, const std::optional<std::string>& month,
                 const std::optional<std::string>& person, bool json, Io& io, const MonthListWords& texts,
                 const std::function<Listing(const AttendanceSite&, const MonthListQuery&)>& list) {
  if (!words.empty()) throw UsageError(Tr(texts.takes_no_words));
  if (!month) throw UsageError(Tr(texts.needs_month));
  MonthListQuery query;
  std::tie(query.from, query.to) = MonthRange(*month, "--month");
  if (person) query.person = PersonOf(*person, "--person");
  const Listing listing = list(CommandAttendance(o, DatabaseUse::kRead), query);
  if (listing.rows.empty() && !json) {
    io.err << Tr(texts.none) << "\n";
    return kExitOk;
  }
  WriteListing(io.out, listing, json ? report::Format::Json : report::Format::Table);
  return kExitOk;
}

}  // namespace vanto::cli
