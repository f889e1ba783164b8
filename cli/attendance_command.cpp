// attendance: each person's status for each day of a month; month close / reopen keep a month's
// days as judged.
#include <map>

#include "cli/attendance_use.h"
#include "cli/command.h"
#include "host/attendance_data.h"
#include "host/text/messages.h"
#include "present/report/date_options.h"

namespace vanto::cli {
namespace {

struct AttendanceOptions : DatabaseOptions {
  std::vector<std::string> words;
  std::optional<std::string> month, person;
  bool csv = false, raw = false, json = false;
};

// "HH:MM" of a wall time, "+N" when it falls N days after `date`.
std::string TimeOnDay(const std::optional<std::string>& wall, const std::string& date) {
  if (!wall || wall->size() < 16) return "";
  std::string text = wall->substr(11, 5);
  if (wall->substr(0, 10) != date) {
    const auto day = report::MinuteOfTimeText(*wall), start = report::MinuteOfTimeText(date + " 00:00");
    if (day && start) {
      const std::int64_t after = (*day / 1440) - (*start / 1440);
      text += (after > 0 ? " +" : " -") + std::to_string(after > 0 ? after : -after);
    }
  }
  return text;
}

std::string Hours(int minutes) {
  return std::to_string(minutes / 60) + ":" + (minutes % 60 < 10 ? "0" : "") + std::to_string(minutes % 60);
}

std::string FindingsText(const attendance::DayResult& d) {
  std::string text;
  for (const attendance::Finding& f : d.findings) {
    text += (text.empty() ? "" : ", ") + std::string(attendance::FindingWord(f.kind));
    if (f.minutes) text += " " + std::to_string(f.minutes);
    if (!f.value.empty()) text += " " + f.value;
  }
  if (!d.pending.empty()) {
    std::string terminals;
    for (const attendance::Waiting& w : d.pending) terminals += (terminals.empty() ? "" : " ") + w.terminal;
    text += (text.empty() ? "" : ", ") + TrFill("waiting for {0}", {terminals});
  }
  return text;
}

int RunAttendance(const AttendanceOptions& o, Io& io) {
  if (!o.words.empty()) throw UsageError(Tr("'attendance' takes no words: give --month YYYY-MM"));
  if (!o.month) throw UsageError(Tr("'attendance' needs --month YYYY-MM"));
  const report::Format format = ChooseFormat(o.csv, o.json, o.raw);
  MonthRange(*o.month, "--month");
  std::optional<std::int32_t> person;
  if (o.person) person = PersonOf(*o.person, "--person");
  AttendanceSite at = CommandAttendance(o, DatabaseUse::kRead);
  const MonthAttendance month = JudgeMonth(at, *o.month, person);
  if (format == report::Format::Json) {
    for (const attendance::DayResult& d : month.days) io.out << DayJson(d).dump() << "\n";
    return kExitOk;
  }
  std::map<std::int32_t, std::string> names;
  for (const report::Person& p : StoredPeople(*at.db.Swipes(), at.site.filter)) names[p.number] = p.name;
  Listing l;
  l.headings = {Tr("PERSON"), Tr("NAME"),   Tr("DATE"),   Tr("STATUS"),   Tr("SHIFT"),   Tr("IN"),
                Tr("OUT"),    Tr("LATE"),   Tr("EARLY"),  Tr("WORKED"),   Tr("OVERTIME"), Tr("FINDINGS")};
  l.keys = {"person", "name", "date", "status", "shift", "first_in", "last_out", "late_minutes", "early_minutes",
            "worked_minutes", "overtime_minutes", "findings"};
  l.right = {true, false, false, false, false, false, false, true, true, true, true, false};
  const bool table = format == report::Format::Table;
  for (const attendance::DayResult& d : month.days) {
    auto minutes = [&](int m) { return table ? (m ? std::to_string(m) : std::string()) : std::to_string(m); };
    const auto name = names.find(d.person);
    l.rows.push_back({std::to_string(d.person), name == names.end() ? "" : (table ? report::OneLine(name->second) : name->second),
                      d.date, attendance::StatusWord(d.status), d.shift,
                      table ? TimeOnDay(d.first_in, d.date) : d.first_in.value_or(""),
                      table ? TimeOnDay(d.last_out, d.date) : d.last_out.value_or(""), minutes(d.late_minutes),
                      minutes(d.early_minutes), table ? (d.worked_minutes ? Hours(d.worked_minutes) : "") : std::to_string(d.worked_minutes),
                      table ? (d.overtime_minutes ? Hours(d.overtime_minutes) : "") : std::to_string(d.overtime_minutes),
                      FindingsText(d)});
  }
  if (table && month.closed)
    io.err << TrFill("month {0} was closed by {1} at {2}: its days as judged then", {month.month, month.closed_by, month.closed_at})
           << "\n";
  if (table && month.days.empty()) {
    io.err << Tr("no people and no swipes in that month") << "\n";
    return kExitOk;
  }
  WriteListing(io.out, l, format);
  return kExitOk;
}

struct MonthOptions : DatabaseOptions {
  std::vector<std::string> words;
};

std::string MonthWord(const MonthOptions& o, const char* command) {
  if (o.words.size() != 1) throw UsageError(TrFill("'{0}' needs the month: vanto {0} YYYY-MM", {command}));
  MonthRange(o.words[0], "YYYY-MM");
  return o.words[0];
}

int RunMonthClose(const MonthOptions& o, Io& io) {
  const std::string month = MonthWord(o, "month close");
  CloseMonth(CommandAttendance(o, DatabaseUse::kWrite), month);
  io.out << TrFill("month {0} closed: its days are kept as judged now", {month}) << "\n";
  return kExitOk;
}

int RunMonthReopen(const MonthOptions& o, Io& io) {
  const std::string month = MonthWord(o, "month reopen");
  ReopenMonth(CommandAttendance(o, DatabaseUse::kWrite), month);
  io.out << TrFill("month {0} reopened: its days are judged afresh", {month}) << "\n";
  return kExitOk;
}

}  // namespace

Command AttendanceCommand() {
  return {"attendance", TrLater("each person's status for each day of a month, from shifts, leave and swipes"),
          "vanto attendance --month YYYY-MM [--person N] [--csv [--raw] | --json]",
          TrLater("One line per person and day: the status (present, late, left-early, absent, missing-swipe,\n"
                  "half-day, leave, holiday, rest, not-scheduled or pending), the shift, the first check-in and\n"
                  "last check-out, minutes late and early, hours worked and overtime, and what was found. A day is\n"
                  "pending until every terminal of the site has synced completely after the day's window closed\n"
                  "(the terminals it waits for are named); after the site file's pending_limit days it is judged\n"
                  "anyway, with a finding naming the terminal. A closed month shows its days as judged when it was\n"
                  "closed. --json: one object per line, as the API gives it."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<AttendanceOptions>();
            p.Words("", &o->words, 1);
            p.Text("month", "YYYY-MM", TrLater("the month"), &o->month);
            p.Text("person", "N", TrLater("only this person's days"), &o->person);
            p.Flag("csv", TrLater("CSV, one row per person and day"), &o->csv);
            p.Flag("raw", TrLater("with --csv: every value as stored, for programs (no apostrophe before = + - @)"), &o->raw);
            p.Flag("json", TrLater("one JSON object per line"), &o->json);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunAttendance(*o, io); };
          }};
}

Command MonthCloseCommand() {
  return {"month close", TrLater("keep a month's days as judged now"), "vanto month close YYYY-MM",
          TrLater("From then on 'vanto attendance' and the API answer the month's days as they were judged at\n"
                  "closing, whatever changes later; leave and corrections of the month are refused. Refused for\n"
                  "a month not yet over in the site's time zone, and while any of its days is pending."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<MonthOptions>();
            p.Words("YYYY-MM", &o->words, 1);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunMonthClose(*o, io); };
          }};
}

Command MonthReopenCommand() {
  return {"month reopen", TrLater("reopen a closed month: its days are judged afresh"), "vanto month reopen YYYY-MM",
          TrLater("The kept days are dropped; the month is judged from the current shifts, leave and swipes."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<MonthOptions>();
            p.Words("YYYY-MM", &o->words, 1);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunMonthReopen(*o, io); };
          }};
}

}  // namespace vanto::cli
