#include "present/report/date_options.h"

#include "host/text/messages.h"

#include <cstdio>

namespace vanto::report {
namespace {

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// "YYYY-MM-DD" at the start of `text`; the reason on failure.
std::optional<Date> LeadingDate(std::string_view text, std::string* why) {
  Date d;
  if (text.size() < 10 || !Digits(text, 0, 4, &d.year) || text[4] != '-' || !Digits(text, 5, 2, &d.month) ||
      text[7] != '-' || !Digits(text, 8, 2, &d.day)) {
    *why = vanto::host::Tr("expected a date YYYY-MM-DD");
    return std::nullopt;
  }
  if (d.year < 1 || d.month < 1 || d.month > 12) {
    *why = d.year < 1 ? vanto::host::TrFill("there is no month {0} or year 0", {std::to_string(d.month)})
                      : vanto::host::TrFill("there is no month {0}", {std::to_string(d.month)});
    return std::nullopt;
  }
  if (d.day < 1 || d.day > DaysInMonth(d.year, d.month)) {
    char text_date[32];
    std::snprintf(text_date, sizeof text_date, "%04d-%02d", d.year, d.month);
    *why = vanto::host::TrFill("{0} has no day {1}", {text_date, std::to_string(d.day)});
    return std::nullopt;
  }
  return d;
}

}  // namespace

std::string ParseTimeBound(const std::string& text, bool end, const std::string& option) {
  std::string why;
  std::optional<Date> date = LeadingDate(text, &why);
  if (!date) {
    if (why == vanto::host::Tr("expected a date YYYY-MM-DD"))
      why = vanto::host::Tr("expected a date YYYY-MM-DD or YYYY-MM-DD HH:MM[:SS]");
    throw DateError(option + " " + Quoted(text) + ": " + why);
  }
  std::string day = DateText(*date);
  if (text.size() == 10) return day + (end ? " 23:59:59" : " 00:00:00");
  int hour = 0, minute = 0, second = end ? 59 : 0;
  bool form = (text[10] == ' ' || text[10] == 'T') && Digits(text, 11, 2, &hour) && text.size() >= 16 &&
              text[13] == ':' && Digits(text, 14, 2, &minute);
  if (form && text.size() == 19) form = text[16] == ':' && Digits(text, 17, 2, &second);
  else if (text.size() != 16) form = false;
  if (!form) throw DateError(option + " " + Quoted(text) + ": " + vanto::host::Tr("expected YYYY-MM-DD or YYYY-MM-DD HH:MM[:SS]"));
  if (hour > 23 || minute > 59 || second > 59)
    throw DateError(option + " " + Quoted(text) + ": " + vanto::host::TrFill("there is no time {0} in a day", {text.substr(11)}));
  char clock[40];  // room for any int, as the compiler sees Digits from another file
  std::snprintf(clock, sizeof clock, " %02d:%02d:%02d", hour, minute, second);
  return day + clock;
}

TimeRange ParseTimeRange(const std::optional<std::string>& from, const std::optional<std::string>& to) {
  TimeRange range;
  if (from) range.from = ParseTimeBound(*from, false, "--from");
  if (to) range.to = ParseTimeBound(*to, true, "--to");
  if (range.from && range.to && *range.from > *range.to)
    throw DateError(vanto::host::TrFill("--from {0} is after --to {1}", {Quoted(*from), Quoted(*to)}));
  return range;
}

DayRange ParseMonth(const std::string& text) {
  int year = 0, month = 0;
  if (text.size() != 7 || !Digits(text, 0, 4, &year) || text[4] != '-' || !Digits(text, 5, 2, &month))
    throw DateError("--month " + Quoted(text) + ": " + vanto::host::Tr("expected a month YYYY-MM, for example 2026-03"));
  if (month < 1 || month > 12) throw DateError("--month " + Quoted(text) + ": " + vanto::host::TrFill("there is no month {0}", {std::to_string(month)}));
  if (year < 1) throw DateError("--month " + Quoted(text) + ": " + vanto::host::Tr("there is no year 0"));
  return {{year, month, 1}, {year, month, DaysInMonth(year, month)}};
}

Date ParseDate(const std::string& text, const std::string& option) {
  std::string why;
  std::optional<Date> date = LeadingDate(text, &why);
  if (!date) throw DateError(option + " " + Quoted(text) + ": " + why);
  if (text.size() != 10)
    throw DateError(option + " " + Quoted(text) + ": " + vanto::host::Tr("expected a date YYYY-MM-DD (a report counts whole working days)"));
  return *date;
}

DayRange ParseReportDays(const std::optional<std::string>& month, const std::optional<std::string>& from,
                         const std::optional<std::string>& to, int max_days) {
  if (month && (from || to)) throw DateError(vanto::host::Tr("give either --month or --from/--to, not both"));
  if (month) return ParseMonth(*month);
  if (!from || !to) throw DateError(vanto::host::Tr("give --month YYYY-MM, or both --from and --to (dates)"));
  DayRange range{ParseDate(*from, "--from"), ParseDate(*to, "--to")};
  if (range.first > range.last) throw DateError(vanto::host::TrFill("--from {0} is after --to {1}", {Quoted(*from), Quoted(*to)}));
  std::int64_t days = DaysFromDate(range.last) - DaysFromDate(range.first) + 1;
  if (days > max_days)
    throw DateError(vanto::host::TrFill("--from {0} to --to {1} spans {2} days; a report covers at most {3}",
                                       {Quoted(*from), Quoted(*to), std::to_string(days), std::to_string(max_days)}));
  return range;
}

int ParseDayStarts(const std::string& text, const std::string& what) {
  int hour = 0, minute = 0;
  if (text.size() != 5 || !Digits(text, 0, 2, &hour) || text[2] != ':' || !Digits(text, 3, 2, &minute) || hour > 23 ||
      minute > 59)
    throw DateError(what + " " + Quoted(text) + ": " + vanto::host::Tr("expected a time of day HH:MM from 00:00 to 23:59"));
  return hour * 60 + minute;
}

}  // namespace vanto::report
