// correction add / set-aside / withdraw / list: a missed swipe added, a stored swipe set aside.
// A stored swipe is never changed: each correction is a row of its own, with who, when and why.
#include "cli/attendance_use.h"
#include "cli/command.h"
#include "host/text/messages.h"
#include "present/report/date_options.h"

namespace vanto::cli {
namespace {

struct CorrectionOptions : DatabaseOptions {
  std::vector<std::string> words;
  std::optional<std::string> time, reason, month, person;
  bool in = false, out = false, json = false;
  int port = 0, terminal = 0;
};

std::int32_t PersonWord(const CorrectionOptions& o, const char* command) {
  if (o.words.size() != 1) throw UsageError(TrFill("'{0}' needs the person: vanto {0} PERSON ...", {command}));
  return PersonOf(o.words[0], "PERSON");
}

// "YYYY-MM-DD HH:MM" (add) or "YYYY-MM-DD HH:MM:SS" (set-aside) -> the wall time to the second.
std::string WallTimeOption(const std::string& text, bool seconds) {
  const bool fits = seconds ? text.size() == 19 : text.size() == 16;
  std::string time = text;
  if (fits && time[10] == 'T') time[10] = ' ';
  if (!fits || !report::MinuteOfTimeText(time) ||
      (seconds && (time[16] != ':' || time.substr(17).find_first_not_of("0123456789") != std::string::npos ||
                   std::stoi(time.substr(17)) > 59)))
    throw UsageError(seconds ? TrFill("--time '{0}' is not a time YYYY-MM-DD HH:MM:SS (as 'vanto swipes' lists it)", {text})
                             : TrFill("--time '{0}' is not a time YYYY-MM-DD HH:MM", {text}));
  return seconds ? time : time + ":00";
}

int RunCorrectionAdd(const CorrectionOptions& o, Io& io) {
  attendance::Correction c;
  c.person = PersonWord(o, "correction add");
  if (!o.time || !o.reason) throw UsageError(Tr("'correction add' needs --time, --in or --out, and --reason"));
  if (o.in == o.out) throw UsageError(Tr("give one of --in and --out"));
  c.kind = attendance::CorrectionKind::kAdd;
  c.time = WallTimeOption(*o.time, false);
  c.direction = o.in ? attendance::Direction::kIn : attendance::Direction::kOut;
  c.reason = *o.reason;
  const std::int64_t id = AddCorrection(CommandAttendance(o, DatabaseUse::kWrite), c);
  io.out << TrFill("correction {0} added: person {1}, {2} at {3}",
                   {std::to_string(id), std::to_string(c.person), o.in ? Tr("check-in") : Tr("check-out"), c.time.substr(0, 16)})
         << "\n";
  return kExitOk;
}

int RunCorrectionSetAside(const CorrectionOptions& o, Io& io) {
  attendance::Correction c;
  c.person = PersonWord(o, "correction set-aside");
  if (!o.time || !o.reason || !o.port || !o.terminal)
    throw UsageError(Tr("'correction set-aside' needs --time, --port, --terminal and --reason"));
  c.kind = attendance::CorrectionKind::kSetAside;
  c.time = WallTimeOption(*o.time, true);
  c.port = o.port;
  c.terminal = o.terminal;
  c.reason = *o.reason;
  const std::int64_t id = AddCorrection(CommandAttendance(o, DatabaseUse::kWrite), c);
  io.out << TrFill("correction {0} added: the swipe of person {1} at {2} (port {3}, terminal {4}) is set aside",
                   {std::to_string(id), std::to_string(c.person), c.time, std::to_string(c.port), std::to_string(c.terminal)})
         << "\n";
  return kExitOk;
}

int RunCorrectionWithdraw(const CorrectionOptions& o, Io& io) {
  return RunWithdraw(o, o.words, io,
                     {TrLater("'correction withdraw' needs the correction's number: vanto correction withdraw ID"),
                      TrLater("correction"), TrLater("correction {0} withdrawn")},
                     &WithdrawCorrection);
}

int RunCorrectionList(const CorrectionOptions& o, Io& io) {
  const MonthListWords texts{TrLater("'correction list' takes no words: give --month YYYY-MM [--person N]"),
                             TrLater("'correction list' needs --month YYYY-MM"), TrLater("no corrections in that month")};
  return RunMonthList(o, o.words, o.month, o.person, o.json, io, texts, [](const AttendanceSite& at, const MonthListQuery& q) {
    Listing l;
    l.headings = {Tr("ID"), Tr("PERSON"), Tr("KIND"), Tr("TIME"), Tr("SWIPE"), Tr("REASON"), Tr("BY"), Tr("WITHDRAWN")};
    l.right = {true, true, false, false, false, false, false, false};
    for (const attendance::Correction& c : ListCorrections(at, q.from, q.to, q.person)) {
      const bool add = c.kind == attendance::CorrectionKind::kAdd;
      const std::string swipe = add ? (c.direction == attendance::Direction::kIn ? Tr("check-in") : Tr("check-out"))
                                    : TrFill("port {0} terminal {1}", {std::to_string(c.port), std::to_string(c.terminal)});
      l.rows.push_back({std::to_string(c.id), std::to_string(c.person), add ? Tr("added") : Tr("set aside"), c.time, swipe,
                        report::OneLine(c.reason), c.entered.by, c.entered.withdrawn_at.value_or("")});
      nlohmann::json j = {{"id", c.id}, {"person", c.person}, {"kind", attendance::CorrectionKindWord(c.kind)},
                          {"time", c.time}, {"reason", c.reason}, {"by", c.entered.by}, {"at", c.entered.at},
                          {"withdrawn", c.entered.withdrawn()}};
      if (add) j["direction"] = attendance::DirectionWord(c.direction);
      else j["port"] = c.port, j["terminal"] = c.terminal;
      if (c.entered.withdrawn()) j["withdrawn_by"] = c.entered.withdrawn_by.value_or(""), j["withdrawn_at"] = *c.entered.withdrawn_at;
      l.objects.push_back(std::move(j));
    }
    return l;
  });
}

Run Bind(std::shared_ptr<CorrectionOptions> o, int (*run)(const CorrectionOptions&, Io&)) {
  return [o, run](Io& io) { return run(*o, io); };
}

void DeclareCommon(Parser& p, CorrectionOptions& o) {
  p.Text("reason", "TEXT", TrLater("why (kept with the correction)"), &o.reason);
  p.Database(&o.db, &o.lock_timeout);
  p.Site(SiteNeed::kOptional);
}

}  // namespace

Command CorrectionAddCommand() {
  return {"correction add", TrLater("add a swipe a person missed (the stored swipes stay as they are)"),
          "vanto correction add PERSON --time \"YYYY-MM-DD HH:MM\" (--in | --out) --reason TEXT",
          TrLater("The added swipe counts as a check-in or check-out at that wall time of the site's zone. Refused:\n"
                  "a time the clocks skipped, a time outside every window of the person's shifts, the minute of\n"
                  "a swipe stored already, a date in a closed month, no reason."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<CorrectionOptions>();
            p.Words("PERSON", &o->words, 1);
            p.Text("time", "\"YYYY-MM-DD HH:MM\"", TrLater("when the swipe should have been"), &o->time);
            p.Flag("in", TrLater("a check-in"), &o->in);
            p.Flag("out", TrLater("a check-out"), &o->out);
            DeclareCommon(p, *o);
            return Bind(o, &RunCorrectionAdd);
          }};
}

Command CorrectionSetAsideCommand() {
  return {"correction set-aside", TrLater("leave a stored swipe out of the attendance (it stays stored)"),
          "vanto correction set-aside PERSON --time \"YYYY-MM-DD HH:MM:SS\" --port P --terminal T --reason TEXT",
          TrLater("Names the stored swipe as 'vanto swipes' lists it: its time to the second, port and terminal.\n"
                  "The swipe stays in the database and in 'vanto swipes'; the attendance leaves it out."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<CorrectionOptions>();
            p.Words("PERSON", &o->words, 1);
            p.Text("time", "\"YYYY-MM-DD HH:MM:SS\"", TrLater("the stored swipe's time"), &o->time);
            p.Number("port", "P", TrLater("the stored swipe's port"), &o->port, 1, kMaxPort);
            p.Number("terminal", "T", TrLater("the stored swipe's terminal"), &o->terminal, 1, kMaxTerminal);
            DeclareCommon(p, *o);
            return Bind(o, &RunCorrectionSetAside);
          }};
}

Command CorrectionWithdrawCommand() {
  return {"correction withdraw", TrLater("withdraw a correction (it stays listed as withdrawn)"),
          "vanto correction withdraw ID",
          TrLater("ID as 'vanto correction list' lists it. Refused in a closed month."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<CorrectionOptions>();
            p.Words("ID", &o->words, 1);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunCorrectionWithdraw);
          }};
}

Command CorrectionListCommand() {
  return {"correction list", TrLater("list the corrections of a month"),
          "vanto correction list --month YYYY-MM [--person N] [--json]",
          TrLater("Every correction of the month, withdrawn ones too (marked so), with who made it and why."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<CorrectionOptions>();
            p.Words("", &o->words, 1);
            p.Text("month", "YYYY-MM", TrLater("the month"), &o->month);
            p.Text("person", "N", TrLater("only this person's"), &o->person);
            p.Flag("json", TrLater("one JSON object per line"), &o->json);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return Bind(o, &RunCorrectionList);
          }};
}

}  // namespace vanto::cli
