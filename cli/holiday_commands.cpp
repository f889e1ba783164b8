// holiday set / remove / list: the site's holidays and rest days, when nobody is expected to work.
#include "cli/attendance_use.h"
#include "cli/command.h"
#include "host/text/messages.h"
#include "present/report/date_options.h"

namespace vanto::cli {
namespace {

struct HolidayOptions : DatabaseOptions {
  std::vector<std::string> words;
  std::optional<std::string> name, year;
  bool rest = false, json = false;
};

std::string OneDate(const HolidayOptions& o, const char* command) {
  if (o.words.size() != 1) throw UsageError(TrFill("'{0}' needs the date: vanto {0} YYYY-MM-DD", {command}));
  return report::DateText(ParseDates([&] { return report::ParseDate(o.words[0], "DATE"); }));
}

int RunHolidaySet(const HolidayOptions& o, Io& io) {
  attendance::DayOff day;
  day.date = OneDate(o, "holiday set");
  day.kind = o.rest ? attendance::DayOffKind::kRest : attendance::DayOffKind::kHoliday;
  day.name = o.name.value_or("");
  SetDayOff(CommandAttendance(o, DatabaseUse::kWrite), day);
  io.out << (o.rest ? TrFill("{0} is a rest day", {day.date}) : TrFill("{0} is a holiday", {day.date})) << "\n";
  return kExitOk;
}

int RunHolidayRemove(const HolidayOptions& o, Io& io) {
  const std::string date = OneDate(o, "holiday remove");
  RemoveDayOff(CommandAttendance(o, DatabaseUse::kWrite), date);
  io.out << TrFill("{0} is a day like any other again", {date}) << "\n";
  return kExitOk;
}

int RunHolidayList(const HolidayOptions& o, Io& io) {
  if (!o.words.empty()) throw UsageError(Tr("'holiday list' takes no date (--year YYYY lists one year)"));
  const std::vector<attendance::DayOff> days = ListDaysOff(CommandAttendance(o, DatabaseUse::kRead), o.year);
  if (days.empty() && !o.json) {
    io.err << Tr("no holidays or rest days: 'vanto holiday set DATE' adds one") << "\n";
    return kExitOk;
  }
  Listing l;
  l.headings = {Tr("DATE"), Tr("KIND"), Tr("NAME")};
  l.right = {false, false, false};
  for (const attendance::DayOff& d : days) {
    l.rows.push_back({d.date, d.kind == attendance::DayOffKind::kRest ? Tr("rest day") : Tr("holiday"), d.name});
    l.objects.push_back({{"date", d.date}, {"kind", attendance::DayOffKindWord(d.kind)}, {"name", d.name}});
  }
  WriteListing(io.out, l, o.json ? report::Format::Json : report::Format::Table);
  return kExitOk;
}

Run Bind(std::shared_ptr<HolidayOptions> o, int (*run)(const HolidayOptions&, Io&)) {
  return [o, run](Io& io) { return run(*o, io); };
}

}  // namespace

Command HolidaySetCommand() {
  return {"holiday set", TrLater("make a date a holiday (or with --rest a rest day) of the site"),
          "vanto holiday set DATE [--name TEXT] [--rest]",
          TrLater("Nobody of the site is expected to work that day: a day without swipes is a holiday (or rest\n"
                  "day), not absent; minutes worked that day are overtime. Setting a date again replaces it."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<HolidayOptions>();
            p.Words("DATE", &o->words, 1);
            p.Text("name", "TEXT", TrLater("what the day is called"), &o->name);
            p.Flag("rest", TrLater("a rest day rather than a holiday"), &o->rest);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunHolidaySet);
          }};
}

Command HolidayRemoveCommand() {
  return {"holiday remove", TrLater("make a holiday or rest day an ordinary day again"), "vanto holiday remove DATE",
          TrLater("The day is judged by each person's pattern again."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<HolidayOptions>();
            p.Words("DATE", &o->words, 1);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunHolidayRemove);
          }};
}

Command HolidayListCommand() {
  return {"holiday list", TrLater("list the site's holidays and rest days"), "vanto holiday list [--year YYYY] [--json]",
          TrLater("Every holiday and rest day, or those of one year."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<HolidayOptions>();
            p.Words("", &o->words, 1);
            p.Text("year", "YYYY", TrLater("only this year's"), &o->year);
            p.Flag("json", TrLater("one JSON object per line"), &o->json);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunHolidayList);
          }};
}

}  // namespace vanto::cli
