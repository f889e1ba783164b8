// pattern add / remove / list: which shift a person works on which day, by week or by rotation.
#include "cli/attendance_use.h"
#include "cli/command.h"
#include "host/text/messages.h"
#include "present/report/date_options.h"

namespace vanto::cli {
namespace {

struct PatternOptions : DatabaseOptions {
  std::vector<std::string> words;
  std::optional<std::string> week, rotation, starts;
  bool json = false;
};

// "day,day,,": a shift's name per day, "" a rest day.
std::vector<std::string> Days(const std::string& text) {
  std::vector<std::string> days;
  std::size_t begin = 0;
  while (true) {
    const std::size_t comma = text.find(',', begin);
    days.push_back(text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  return days;
}

int RunPatternAdd(const PatternOptions& o, Io& io) {
  if (o.words.size() != 1) throw UsageError(Tr("'pattern add' needs the pattern's name: vanto pattern add NAME ..."));
  if (o.week.has_value() == o.rotation.has_value()) throw UsageError(Tr("give one of --week and --rotation"));
  attendance::Pattern p;
  p.name = o.words[0];
  if (o.week) {
    if (o.starts) throw UsageError(Tr("--starts is for a --rotation"));
    p.kind = attendance::PatternKind::kWeek;
    p.days = Days(*o.week);
    if (p.days.size() != 7)
      throw UsageError(TrFill("--week '{0}' names {1} days: give 7, Monday first (an empty one is a rest day)",
                              {*o.week, std::to_string(p.days.size())}));
  } else {
    if (!o.starts) throw UsageError(Tr("a --rotation needs --starts DATE (its first day)"));
    p.kind = attendance::PatternKind::kRotation;
    p.days = Days(*o.rotation);
    p.starts = report::DateText(ParseDates([&] { return report::ParseDate(*o.starts, "--starts"); }));
  }
  AddPattern(CommandAttendance(o, DatabaseUse::kWrite), p);
  io.out << TrFill("pattern {0} added ({1} days)", {p.name, std::to_string(p.days.size())}) << "\n";
  return kExitOk;
}

int RunPatternRemove(const PatternOptions& o, Io& io) {
  if (o.words.size() != 1) throw UsageError(Tr("'pattern remove' needs the pattern's name"));
  RemovePattern(CommandAttendance(o, DatabaseUse::kWrite), o.words[0]);
  io.out << TrFill("pattern {0} removed", {o.words[0]}) << "\n";
  return kExitOk;
}

int RunPatternList(const PatternOptions& o, Io& io) {
  if (!o.words.empty()) throw UsageError(Tr("'pattern list' takes no name"));
  const std::vector<attendance::Pattern> all = ListPatterns(CommandAttendance(o, DatabaseUse::kRead));
  if (all.empty() && !o.json) {
    io.err << Tr("no patterns yet: 'vanto pattern add NAME --week day,day,day,day,day,,' adds one") << "\n";
    return kExitOk;
  }
  Listing l;
  l.headings = {Tr("PATTERN"), Tr("KIND"), Tr("STARTS"), Tr("DAYS")};
  l.right = {false, false, false, false};
  for (const attendance::Pattern& p : all) {
    std::string days;
    for (std::size_t i = 0; i < p.days.size(); ++i) days += (i ? "," : "") + p.days[i];
    l.rows.push_back({p.name, attendance::PatternKindWord(p.kind), p.starts, days});
    l.objects.push_back({{"name", p.name}, {"kind", attendance::PatternKindWord(p.kind)}, {"starts", p.starts}, {"days", p.days}});
  }
  WriteListing(io.out, l, o.json ? report::Format::Json : report::Format::Table);
  return kExitOk;
}

Run Bind(std::shared_ptr<PatternOptions> o, int (*run)(const PatternOptions&, Io&)) {
  return [o, run](Io& io) { return run(*o, io); };
}

}  // namespace

Command PatternAddCommand() {
  return {"pattern add", TrLater("add a work pattern: a week, or a rotation of days"),
          "vanto pattern add NAME (--week day,day,day,day,day,, | --rotation day,day,night,, --starts DATE)",
          TrLater("Each day names the shift worked that day, or nothing for a rest day. A week lists 7 days,\n"
                  "Monday first; a rotation repeats its days from --starts on (nothing is scheduled before).\n"
                  "Refused when a shift's window would overlap the next day's shift's."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<PatternOptions>();
            p.Words("NAME", &o->words, 1);
            p.Text("week", "S,S,S,S,S,,", TrLater("the shift of each weekday, Monday first"), &o->week);
            p.Text("rotation", "S,S,N,,", TrLater("the shift of each day of the rotation"), &o->rotation);
            p.Text("starts", "DATE", TrLater("the rotation's first day"), &o->starts);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunPatternAdd);
          }};
}

Command PatternRemoveCommand() {
  return {"pattern remove", TrLater("remove a pattern no one is assigned"), "vanto pattern remove NAME",
          TrLater("Refused while an assignment names the pattern: unassign it first."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<PatternOptions>();
            p.Words("NAME", &o->words, 1);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunPatternRemove);
          }};
}

Command PatternListCommand() {
  return {"pattern list", TrLater("list the site's work patterns"), "vanto pattern list [--json]",
          TrLater("Each pattern with its kind, its first day (a rotation) and the shift of each day."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<PatternOptions>();
            p.Words("", &o->words, 1);
            p.Flag("json", TrLater("one JSON object per line"), &o->json);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunPatternList);
          }};
}

}  // namespace vanto::cli
