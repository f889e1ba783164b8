// leave add / import / withdraw / list / kinds: people's leave, whole days or a part of one day.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cli/attendance_use.h"
#include "cli/command.h"
#include "host/text/messages.h"
#include "present/report/date_options.h"

namespace vanto::cli {
namespace {

struct LeaveOptions : DatabaseOptions {
  std::vector<std::string> words;
  std::optional<std::string> kind, from, to, part, note, month, person;
  bool json = false;
};

std::string DateOption(const std::string& text, const char* option) {
  return report::DateText(ParseDates([&] { return report::ParseDate(text, option); }));
}

int RunLeaveAdd(const LeaveOptions& o, Io& io) {
  if (o.words.size() != 1) throw UsageError(Tr("'leave add' needs the person: vanto leave add PERSON --kind K --from DATE"));
  if (!o.kind || !o.from) throw UsageError(Tr("'leave add' needs --kind K and --from DATE"));
  attendance::Leave l;
  l.person = PersonOf(o.words[0], "PERSON");
  l.kind = *o.kind;
  l.from = DateOption(*o.from, "--from");
  l.to = o.to ? DateOption(*o.to, "--to") : l.from;
  if (o.part) {
    const auto [start, end] = ParseClockRange(*o.part, "--part");
    l.part_start = start, l.part_end = end;
  }
  l.note = o.note.value_or("");
  const std::vector<std::int64_t> ids = AddLeave(CommandAttendance(o, DatabaseUse::kWrite), {l});
  io.out << TrFill("leave {0} added: person {1}, {2}, {3} to {4}",
                   {std::to_string(ids.at(0)), std::to_string(l.person), l.kind, l.from, l.to})
         << "\n";
  return kExitOk;
}

int RunLeaveImport(const LeaveOptions& o, Io& io) {
  if (o.words.size() != 1) throw UsageError(Tr("'leave import' needs the file: vanto leave import FILE.csv"));
  const std::string& file = o.words[0];
  std::ifstream in(file, std::ios::binary);
  if (!in) throw UsageError(TrFill("cannot read leave file {0}: {1}", {file, std::strerror(errno)}));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw UsageError(TrFill("cannot read leave file {0}: {1}", {file, std::strerror(errno)}));
  std::vector<std::int64_t> ids;
  try {
    ids = ImportLeaveCsv(CommandAttendance(o, DatabaseUse::kWrite), text.str());
  } catch (const InputError& e) {
    throw UsageError(TrFill("{0}: {1}", {file, Translate(e)}));
  }
  io.out << TrFill("imported {0} leave entries from {1}", {std::to_string(ids.size()), file}) << "\n";
  return kExitOk;
}

int RunLeaveWithdraw(const LeaveOptions& o, Io& io) {
  return RunWithdraw(o, o.words, io,
                     {TrLater("'leave withdraw' needs the leave's number: vanto leave withdraw ID"), TrLater("leave"),
                      TrLater("leave {0} withdrawn")},
                     &WithdrawLeave);
}

int RunLeaveList(const LeaveOptions& o, Io& io) {
  const MonthListWords texts{TrLater("'leave list' takes no words: give --month YYYY-MM [--person N]"),
                             TrLater("'leave list' needs --month YYYY-MM"), TrLater("no leave in that month")};
  return RunMonthList(o, o.words, o.month, o.person, o.json, io, texts, [](const AttendanceSite& at, const MonthListQuery& q) {
    Listing l;
    l.headings = {Tr("ID"), Tr("PERSON"), Tr("KIND"), Tr("FROM"), Tr("TO"), Tr("PART"), Tr("BY"), Tr("WITHDRAWN"), Tr("NOTE")};
    l.right = {true, true, false, false, false, false, false, false, false};
    for (const attendance::Leave& v : ListLeave(at, q.from, q.to, q.person)) {
      const std::string part = v.part_start ? Clock(*v.part_start) + "-" + Clock(*v.part_end) : "";
      l.rows.push_back({std::to_string(v.id), std::to_string(v.person), v.kind, v.from, v.to, part, v.entered.by,
                        v.entered.withdrawn_at.value_or(""), report::OneLine(v.note)});
      nlohmann::json j = {{"id", v.id}, {"person", v.person}, {"kind", v.kind}, {"from", v.from}, {"to", v.to},
                          {"note", v.note}, {"by", v.entered.by}, {"at", v.entered.at}, {"withdrawn", v.entered.withdrawn()}};
      if (v.part_start) j["part_start"] = Clock(*v.part_start), j["part_end"] = Clock(*v.part_end);
      if (v.entered.withdrawn()) j["withdrawn_by"] = v.entered.withdrawn_by.value_or(""), j["withdrawn_at"] = *v.entered.withdrawn_at;
      l.objects.push_back(std::move(j));
    }
    return l;
  });
}

int RunLeaveKinds(const LeaveOptions& o, Io& io) {
  AttendanceSite at = CommandAttendance(o, o.words.empty() ? DatabaseUse::kRead : DatabaseUse::kWrite);
  if (!o.words.empty()) SetLeaveKinds(at, o.words);
  for (const std::string& kind : LeaveKinds(at)) io.out << kind << "\n";
  return kExitOk;
}

Run Bind(std::shared_ptr<LeaveOptions> o, int (*run)(const LeaveOptions&, Io&)) {
  return [o, run](Io& io) { return run(*o, io); };
}

}  // namespace

Command LeaveAddCommand() {
  return {"leave add", TrLater("add a person's leave: whole days, or a part of one day"),
          "vanto leave add PERSON --kind K --from DATE [--to DATE] [--part HH:MM-HH:MM] [--note TEXT]",
          TrLater("--kind is one of the site's leave kinds ('vanto leave kinds'). A whole day of leave is judged\n"
                  "'leave'; a part of a day counts towards the day's thresholds, and a part at the start or the\n"
                  "end of the shift moves the time lateness or leaving early is judged from. Refused in a\n"
                  "closed month and over the person's other leave."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<LeaveOptions>();
            p.Words("PERSON", &o->words, 1);
            p.Text("kind", "K", TrLater("the leave kind"), &o->kind);
            p.Text("from", "DATE", TrLater("first day (YYYY-MM-DD)"), &o->from);
            p.Text("to", "DATE", TrLater("last day, inclusive (default: --from)"), &o->to);
            p.Text("part", "HH:MM-HH:MM", TrLater("only this part of the one day"), &o->part);
            p.Text("note", "TEXT", TrLater("a note"), &o->note);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunLeaveAdd);
          }};
}

Command LeaveImportCommand() {
  return {"leave import", TrLater("add leave from a CSV file: all rows or none"), "vanto leave import FILE.csv",
          TrLater("A UTF-8 CSV file: a header row naming the columns person, kind, from, to (and optionally\n"
                  "part_start, part_end, note), then one row per leave, for example\n"
                  "\n"
                  "    person,kind,from,to,part_start,part_end,note\n"
                  "    17,annual,2026-12-21,2026-12-24,,,\n"
                  "    23,sick,2026-12-03,2026-12-03,13:00,17:00,dentist\n"
                  "\n"
                  "A file with any bad row is refused, each bad row named with its line, and nothing is added."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<LeaveOptions>();
            p.Words("FILE.csv", &o->words, 1);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunLeaveImport);
          }};
}

Command LeaveWithdrawCommand() {
  return {"leave withdraw", TrLater("withdraw a leave (it stays listed as withdrawn)"), "vanto leave withdraw ID",
          TrLater("ID as 'vanto leave list' lists it. A withdrawn leave counts for nothing; who withdrew it and\n"
                  "when is kept. Refused in a closed month."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<LeaveOptions>();
            p.Words("ID", &o->words, 1);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunLeaveWithdraw);
          }};
}

Command LeaveListCommand() {
  return {"leave list", TrLater("list the leave of a month"), "vanto leave list --month YYYY-MM [--person N] [--json]",
          TrLater("Every leave overlapping the month, withdrawn ones too (marked so)."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<LeaveOptions>();
            p.Words("", &o->words, 1);
            p.Text("month", "YYYY-MM", TrLater("the month"), &o->month);
            p.Text("person", "N", TrLater("only this person's"), &o->person);
            p.Flag("json", TrLater("one JSON object per line"), &o->json);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunLeaveList);
          }};
}

Command LeaveKindsCommand() {
  return {"leave kinds", TrLater("list the site's leave kinds, or set them"), "vanto leave kinds [KIND...]",
          TrLater("Without words: the kinds (annual, sick and unpaid unless set). With words: these become the\n"
                  "site's kinds (small letters, digits, '-' and '_')."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<LeaveOptions>();
            p.Words("[KIND...]", &o->words, 64);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunLeaveKinds);
          }};
}

}  // namespace vanto::cli
