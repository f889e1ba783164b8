// shift add / change / remove / list / assign / unassign / assignments: the site's shifts and who
// works which pattern from when.
#include "cli/attendance_use.h"
#include "cli/command.h"
#include <tuple>

#include "host/text/messages.h"
#include "present/report/date_options.h"

namespace vanto::cli {
namespace {

struct ShiftOptions : DatabaseOptions {
  std::vector<std::string> words;
  std::optional<std::string> start, end, late_grace, early_grace, break_minutes, window_before, window_after, full_day,
      half_day, core, required, days;
  bool flexible = false, json = false;
};

std::string OneName(const std::vector<std::string>& words, const char* command) {
  if (words.size() != 1 || words[0].empty())
    throw UsageError(TrFill("'{0}' needs the shift's name: vanto {0} NAME", {command}));
  return words[0];
}

// The options given, over `shift` (a new one's defaults, or the shift as it is).
attendance::Shift Apply(attendance::Shift shift, const ShiftOptions& o) {
  if (o.start) shift.start = ParseClockOption(*o.start, "--start");
  if (o.end) shift.end = ParseClockOption(*o.end, "--end");
  auto minutes = [](const std::optional<std::string>& text, const char* option, int* target, int max) {
    if (text) *target = ParseMinutesOption(*text, option, max);
  };
  minutes(o.late_grace, "--late-grace", &shift.late_grace, 1439);
  minutes(o.early_grace, "--early-grace", &shift.early_grace, 1439);
  minutes(o.break_minutes, "--break", &shift.break_minutes, 1439);
  minutes(o.window_before, "--window-before", &shift.window_before, 1439);
  minutes(o.window_after, "--window-after", &shift.window_after, 1439);
  minutes(o.full_day, "--full-day", &shift.full_day_minutes, 2880);
  minutes(o.half_day, "--half-day", &shift.half_day_minutes, 2880);
  if (o.flexible) shift.flexible = true;
  if ((o.core || o.required) && !shift.flexible) throw UsageError(Tr("--core and --required are for a --flexible shift"));
  if (o.core) std::tie(shift.core_start, shift.core_end) = ParseClockRange(*o.core, "--core");
  minutes(o.required, "--required", &shift.required_minutes, 2880);
  if (shift.flexible && (!shift.required_minutes || shift.core_start == shift.core_end))
    throw UsageError(Tr("a --flexible shift needs its --core HH:MM-HH:MM and --required minutes"));
  return shift;
}

void DeclareShiftOptions(Parser& p, ShiftOptions& o, bool days) {
  p.Text("start", "HH:MM", TrLater("when the shift starts"), &o.start);
  p.Text("end", "HH:MM", TrLater("when it ends (at or before the start: the next day)"), &o.end);
  p.Text("late-grace", "N", TrLater("minutes after the start that are not yet late (default 0)"), &o.late_grace);
  p.Text("early-grace", "N", TrLater("minutes before the end that are not yet leaving early (default 0)"), &o.early_grace);
  p.Text("break", "N", TrLater("unpaid break in minutes (default 0)"), &o.break_minutes);
  p.Text("window-before", "N", TrLater("swipes this many minutes before the start belong to the shift (default 240)"),
         &o.window_before);
  p.Text("window-after", "N", TrLater("swipes this many minutes after the end belong to the shift (default 360)"),
         &o.window_after);
  p.Text("full-day", "N", TrLater("worked minutes of a full day (default: the length less the break)"), &o.full_day);
  p.Text("half-day", "N", TrLater("worked minutes of a half day (default: half a full day)"), &o.half_day);
  p.Flag("flexible", TrLater("work counts anywhere from start to end; give --core and --required"), &o.flexible);
  p.Text("core", "HH:MM-HH:MM", TrLater("a flexible shift's core hours"), &o.core);
  p.Text("required", "N", TrLater("a flexible shift's minutes to work"), &o.required);
  if (days) p.Text("days", "mon-fri", TrLater("also make a week pattern of the shift's name working it on these days"), &o.days);
  p.Database(&o.db, &o.lock_timeout);
  p.Site(SiteNeed::kOptional);
}

int RunShiftAdd(const ShiftOptions& o, Io& io) {
  attendance::Shift shift;
  shift.name = OneName(o.words, "shift add");
  if (!o.start || !o.end) throw UsageError(Tr("a new shift needs --start HH:MM and --end HH:MM"));
  shift = Apply(shift, o);
  std::optional<std::vector<bool>> days;
  if (o.days) days = ParseWeekDays(*o.days, "--days");
  AddShift(CommandAttendance(o, DatabaseUse::kWrite), shift, days);
  io.out << TrFill("shift {0} added: {1}-{2}", {shift.name, Clock(shift.start), Clock(shift.end)});
  if (days) io.out << " " << TrFill("(with week pattern {0})", {shift.name});
  io.out << "\n";
  return kExitOk;
}

int RunShiftChange(const ShiftOptions& o, Io& io) {
  const std::string name = OneName(o.words, "shift change");
  AttendanceSite at = CommandAttendance(o, DatabaseUse::kWrite);
  std::optional<attendance::Shift> now;
  for (const attendance::Shift& s : ListShifts(at))
    if (s.name == name) now = s;
  if (!now) throw UsageError(TrFill("there is no shift {0}", {name}));
  const attendance::Shift shift = Apply(*now, o);
  ChangeShift(at, shift);
  io.out << TrFill("shift {0} changed: {1}-{2}", {shift.name, Clock(shift.start), Clock(shift.end)}) << "\n";
  return kExitOk;
}

int RunShiftRemove(const ShiftOptions& o, Io& io) {
  const std::string name = OneName(o.words, "shift remove");
  RemoveShift(CommandAttendance(o, DatabaseUse::kWrite), name);
  io.out << TrFill("shift {0} removed", {name}) << "\n";
  return kExitOk;
}

int RunShiftList(const ShiftOptions& o, Io& io) {
  if (!o.words.empty()) throw UsageError(Tr("'shift list' takes no name"));
  const std::vector<attendance::Shift> shifts = ListShifts(CommandAttendance(o, DatabaseUse::kRead));
  if (shifts.empty() && !o.json) {
    io.err << Tr("no shifts yet: 'vanto shift add NAME --start HH:MM --end HH:MM' adds one") << "\n";
    return kExitOk;
  }
  Listing l;
  l.headings = {Tr("SHIFT"), Tr("START"), Tr("END"), Tr("LATE GRACE"), Tr("EARLY GRACE"), Tr("BREAK"), Tr("WINDOW"),
                Tr("FULL DAY"), Tr("HALF DAY"), Tr("FLEXIBLE")};
  l.right = {false, false, false, true, true, true, false, true, true, false};
  for (const attendance::Shift& s : shifts) {
    l.rows.push_back({s.name, Clock(s.start), Clock(s.end), std::to_string(s.late_grace), std::to_string(s.early_grace),
                      std::to_string(s.break_minutes),
                      "-" + std::to_string(s.window_before) + " +" + std::to_string(s.window_after),
                      std::to_string(s.full_day_minutes), std::to_string(s.half_day_minutes),
                      s.flexible ? Clock(s.core_start) + "-" + Clock(s.core_end) + " " + std::to_string(s.required_minutes) : ""});
    l.objects.push_back({{"name", s.name}, {"start", Clock(s.start)}, {"end", Clock(s.end)}, {"late_grace", s.late_grace},
                         {"early_grace", s.early_grace}, {"break_minutes", s.break_minutes},
                         {"window_before", s.window_before}, {"window_after", s.window_after},
                         {"full_day_minutes", s.full_day_minutes}, {"half_day_minutes", s.half_day_minutes},
                         {"flexible", s.flexible}, {"core_start", Clock(s.core_start)}, {"core_end", Clock(s.core_end)},
                         {"required_minutes", s.required_minutes}});
  }
  WriteListing(io.out, l, o.json ? report::Format::Json : report::Format::Table);
  return kExitOk;
}

struct AssignOptions : DatabaseOptions {
  std::vector<std::string> words;
  std::optional<std::string> people, department, from, until;
  bool json = false;
};

int RunShiftAssign(const AssignOptions& o, Io& io) {
  if (o.words.size() != 1) throw UsageError(Tr("'shift assign' needs the pattern's name: vanto shift assign PATTERN ..."));
  if (o.people.has_value() == o.department.has_value()) throw UsageError(Tr("give one of --people and --department"));
  if (!o.from) throw UsageError(Tr("'shift assign' needs --from DATE"));
  attendance::Assignment a;
  a.pattern = o.words[0];
  a.from = report::DateText(ParseDates([&] { return report::ParseDate(*o.from, "--from"); }));
  if (o.until) a.until = report::DateText(ParseDates([&] { return report::ParseDate(*o.until, "--until"); }));
  AttendanceSite at = CommandAttendance(o, DatabaseUse::kWrite);
  std::vector<std::int64_t> ids;
  if (o.department) {
    if (o.department->empty()) throw UsageError(Tr("--department needs the department's name"));
    a.target = attendance::TargetKind::kDepartment;
    a.department = *o.department;
    ids.push_back(Assign(at, a));
  } else {
    // All or nothing: the host checks every person before it stores any.
    a.target = attendance::TargetKind::kPerson;
    ids = Assign(at, a, host::PeopleNumbers(*o.people, "--people"));
  }
  for (std::int64_t id : ids) io.out << TrFill("assignment {0} added: pattern {1}", {std::to_string(id), a.pattern}) << "\n";
  return kExitOk;
}

int RunShiftUnassign(const AssignOptions& o, Io& io) {
  if (o.words.size() != 1) throw UsageError(Tr("'shift unassign' needs the assignment's number: vanto shift unassign ID"));
  const std::int64_t id = ParseId(o.words[0], TrLater("assignment"));
  Unassign(CommandAttendance(o, DatabaseUse::kWrite), id);
  io.out << TrFill("assignment {0} removed", {std::to_string(id)}) << "\n";
  return kExitOk;
}

int RunShiftAssignments(const AssignOptions& o, Io& io) {
  if (!o.words.empty()) throw UsageError(Tr("'shift assignments' takes no name"));
  const std::vector<attendance::Assignment> all = ListAssignments(CommandAttendance(o, DatabaseUse::kRead));
  if (all.empty() && !o.json) {
    io.err << Tr("no assignments yet: 'vanto shift assign PATTERN --people N --from DATE' adds one") << "\n";
    return kExitOk;
  }
  Listing l;
  l.headings = {Tr("ID"), Tr("PATTERN"), Tr("PEOPLE"), Tr("FROM"), Tr("UNTIL")};
  l.right = {true, false, false, false, false};
  for (const attendance::Assignment& a : all) {
    const bool person = a.target == attendance::TargetKind::kPerson;
    const std::string who = person ? TrFill("person {0}", {std::to_string(a.person)}) : TrFill("department {0}", {a.department});
    l.rows.push_back({std::to_string(a.id), a.pattern, who, a.from, a.until.value_or("")});
    nlohmann::json j = {{"id", a.id}, {"pattern", a.pattern}, {"target", attendance::TargetKindWord(a.target)},
                        {"from", a.from}, {"until", a.until ? nlohmann::json(*a.until) : nlohmann::json(nullptr)}};
    if (person) j["person"] = a.person;
    else j["department"] = a.department;
    l.objects.push_back(std::move(j));
  }
  WriteListing(io.out, l, o.json ? report::Format::Json : report::Format::Table);
  return kExitOk;
}

template <class Options>
Run Bind(std::shared_ptr<Options> o, int (*run)(const Options&, Io&)) {
  return [o, run](Io& io) { return run(*o, io); };
}

}  // namespace

Command ShiftAddCommand() {
  return {"shift add", TrLater("add a shift (and with --days a week pattern working it)"),
          "vanto shift add NAME --start HH:MM --end HH:MM [--late-grace N] [--early-grace N] [--break N]\n"
          "       [--window-before N] [--window-after N] [--full-day N] [--half-day N]\n"
          "       [--flexible --core HH:MM-HH:MM --required N] [--days mon-fri]",
          TrLater("A shift is a working time of a day: late and leaving early are judged against its start and\n"
                  "end (with the graces), its unpaid break is deducted, and swipes from --window-before minutes\n"
                  "before the start to --window-after minutes after the end belong to it. An end at or before\n"
                  "the start ends the next day (a night shift belongs to the day it starts). With --days the\n"
                  "shift gets a week pattern of its own name, ready for 'vanto shift assign'."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<ShiftOptions>();
            p.Words("NAME", &o->words, 1);
            DeclareShiftOptions(p, *o, true);
            return Bind(o, &RunShiftAdd);
          }};
}

Command ShiftChangeCommand() {
  return {"shift change", TrLater("change a shift's times and rules (a closed month keeps its days)"),
          "vanto shift change NAME [--start HH:MM] [--end HH:MM] [--late-grace N] [...]",
          TrLater("Changes only the settings given; the others stay. Months already closed keep their days as\n"
                  "they were judged; open months are judged with the changed shift."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<ShiftOptions>();
            p.Words("NAME", &o->words, 1);
            DeclareShiftOptions(p, *o, false);
            return Bind(o, &RunShiftChange);
          }};
}

Command ShiftRemoveCommand() {
  return {"shift remove", TrLater("remove a shift no pattern works"), "vanto shift remove NAME",
          TrLater("Refused while a pattern works the shift: remove the pattern first."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<ShiftOptions>();
            p.Words("NAME", &o->words, 1);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunShiftRemove);
          }};
}

Command ShiftListCommand() {
  return {"shift list", TrLater("list the site's shifts"), "vanto shift list [--json]",
          TrLater("Each shift with its times, graces, break, window and thresholds (minutes)."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<ShiftOptions>();
            p.Words("", &o->words, 1);
            p.Flag("json", TrLater("one JSON object per line"), &o->json);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunShiftList);
          }};
}

Command ShiftAssignCommand() {
  return {"shift assign", TrLater("give people or a department a work pattern from a date"),
          "vanto shift assign PATTERN (--people 17-19,23 | --department NAME) --from DATE [--until DATE]",
          TrLater("A person's own assignment comes before their department's. Refused when it would give anyone\n"
                  "two patterns on one day (naming the assignment it clashes with); then nothing is assigned."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<AssignOptions>();
            p.Words("PATTERN", &o->words, 1);
            p.Text("people", "17-19,23", TrLater("the people (numbers and ranges)"), &o->people);
            p.Text("department", "NAME", TrLater("a department's people"), &o->department);
            p.Text("from", "DATE", TrLater("first day (YYYY-MM-DD)"), &o->from);
            p.Text("until", "DATE", TrLater("last day, inclusive (default: open-ended)"), &o->until);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunShiftAssign);
          }};
}

Command ShiftUnassignCommand() {
  return {"shift unassign", TrLater("remove an assignment"), "vanto shift unassign ID",
          TrLater("ID as 'vanto shift assignments' lists it."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<AssignOptions>();
            p.Words("ID", &o->words, 1);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunShiftUnassign);
          }};
}

Command ShiftAssignmentsCommand() {
  return {"shift assignments", TrLater("list who works which pattern from when"), "vanto shift assignments [--json]",
          TrLater("Each assignment with its number, pattern, person or department, and dates."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<AssignOptions>();
            p.Words("", &o->words, 1);
            p.Flag("json", TrLater("one JSON object per line"), &o->json);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunShiftAssignments);
          }};
}

}  // namespace vanto::cli
