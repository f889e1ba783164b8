// sync, check, site init and site show: the commands that work on the whole site.
#include <cctype>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "host/atomic_file.h"
#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/commands.h"
#include "accounts/accounts.h"
#include "host/check.h"
#include "host/clock.h"
#include "host/components.h"
#include "host/control_status.h"
#include "host/machine.h"
#include "host/said_values.h"
#include "host/text/messages.h"
#include "cli/output.h"
#include "cli/progress_line.h"
#include "cli/site_use.h"
#include "host/db/record_store.h"
#include "accounts/accounts_store.h"
#include "host/schedule.h"
#include "host/db/civil_time.h"
#include "host/db/sync_runs.h"
#include "host/database_location.h"
#include "host/sync.h"
#include "present/sync_words.h"
#include "host/terminal_sync.h"
#include "cli/version.h"
#include "platform/automation/module_resources.h"
#include "platform/automation/registry.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"
#include "driver/identifiers.h"
#include "terminal/control/settings.h"

namespace vanto::cli {
namespace {

namespace fs = std::filesystem;

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Values for programs: {name: value}, in the order given.
nlohmann::ordered_json ValuesJson(const store::CauseValues& values) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (const auto& [name, value] : values)
    if (!IsSaidValue(name)) object[name] = value;
  return object;
}

// Notes for programs: [{"code": ..., "values": {...}}].
nlohmann::ordered_json NotesJson(const std::vector<SyncNote>& notes) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const SyncNote& note : notes) list.push_back({{"code", note.code}, {"values", ValuesJson(note.values)}});
  return list;
}

std::string OutcomeText(const TerminalSync& row) {
  const std::string cause = CauseText(Language::kProcess, row);
  if (row.ok) return Tr("synced");
  if (row.cancelled)
    return TrNFill("cancelled: {0} record delivered, {1} new stored", "cancelled: {0} records delivered, {1} new stored",
                   static_cast<unsigned long>(row.delivered), {std::to_string(row.delivered), std::to_string(row.added)});
  // As --json and the exit status have it: a terminal with records quarantined or a log kept in
  // a new epoch did not sync (its cause says that every record delivered is stored).
  return TrFill("failed: {0}", {cause});
}

// Who started a run, in words (--json gives the stored name).
std::string StarterText(store::RunStarter starter) {
  switch (starter) {
    case store::RunStarter::Command: return Tr("command");
    case store::RunStarter::Timer: return Tr("timer");
    case store::RunStarter::Console: return Tr("console");
    case store::RunStarter::Schedule: return Tr("schedule");
  }
  return store::RunStarterName(starter);
}

}  // namespace

// The recorded runs of the chosen site (every site's with --all-sites, each with its site),
// newest first: one line per run, then its terminals that did not sync.
int RunSyncHistory(const SyncOptions& o, Io& io) {
  if (o.all || o.timer || o.quiet || o.progress)
    throw UsageError(
        Tr("--history lists the recorded runs: it takes only --json, --limit, --all-sites, --site and --db"));
  const std::optional<std::string> site = ReadingSite(o, o.all_sites);
  std::vector<store::SyncRun> runs =
      CommandDatabase(o, DatabaseUse::kExisting)->SyncRuns()->Recent(static_cast<std::size_t>(o.limit), site);
  auto by = [](const store::SyncRun& r) {
    const std::string starter = StarterText(r.started_by);
    return r.who.empty() ? starter : TrFill("{0} ({1})", {starter, r.who});
  };
  if (o.json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const store::SyncRun& r : runs) {
      nlohmann::ordered_json terminals = nlohmann::ordered_json::array();
      for (const store::RunTerminal& t : r.terminals) {
        nlohmann::ordered_json row = {{"port", t.port},
                                      {"terminal", t.terminal ? nlohmann::ordered_json(t.terminal) : nlohmann::ordered_json(nullptr)},
                                      {"outcome", t.outcome},
                                      {"delivered", t.delivered},
                                      {"new", t.added}};
        if (!t.cause_code.empty()) row["cause_code"] = t.cause_code, row["cause"] = CauseText(Language::kProcess, t);
        if (t.quarantined) row["quarantined"] = t.quarantined;
        if (t.capacity) row["held"] = t.held, row["capacity"] = t.capacity;
        terminals.push_back(row);
      }
      list.push_back({{"id", r.id},
                      {"started_at", r.started_at},
                      {"ended_at", r.ended_at ? nlohmann::ordered_json(*r.ended_at) : nlohmann::ordered_json(nullptr)},
                      {"started_by", store::RunStarterName(r.started_by)},
                      {"who", r.who},
                      {"ports", r.ports},
                      {"terminals", terminals}});
      if (o.all_sites) list.back()["site"] = r.site;
    }
    io.out << list.dump(2) << "\n";
    return kExitOk;
  }
  std::vector<std::vector<std::string>> table;
  for (const store::SyncRun& r : runs) {
    std::int64_t added = 0;
    std::size_t synced = 0;
    for (const store::RunTerminal& t : r.terminals) added += t.added, synced += t.outcome == "synced";
    table.push_back({std::to_string(r.id), r.started_at, r.ended_at.value_or(Tr("unfinished")), by(r), r.ports,
                     std::to_string(synced) + "/" + std::to_string(r.terminals.size()), std::to_string(added)});
    if (o.all_sites) table.back().insert(table.back().begin() + 1, r.site);
  }
  std::vector<std::string> heads{Tr("RUN"), Tr("STARTED"), Tr("ENDED"), Tr("BY"), Tr("PORTS"), Tr("SYNCED"), Tr("NEW")};
  std::vector<bool> right{true, false, false, false, false, true, true};
  if (o.all_sites) heads.insert(heads.begin() + 1, Tr("SITE")), right.insert(right.begin() + 1, false);
  WriteTable(io.out, heads, table, right);
  for (const store::SyncRun& r : runs)
    for (const store::RunTerminal& t : r.terminals)
      if (t.outcome != "synced")
        io.out << TrFill("run {0}", {std::to_string(r.id)}) << ": "
               << (t.terminal ? TrFill("port {0}, terminal {1}", {std::to_string(t.port), std::to_string(t.terminal)})
                              : TrFill("port {0}", {std::to_string(t.port)}))
               << ": " << (t.outcome == "cancelled" ? Tr("cancelled") : Tr("failed")) << " [" << t.cause_code << "] "
               << CauseText(Language::kProcess, t) << "\n";
  return kExitOk;
}

int RunSync(const SyncOptions& o, Io& io) {
  if (o.history) return RunSyncHistory(o, io);
  if (o.all_sites) throw UsageError(Tr("--all-sites is for --history: a sync reads the chosen site's terminals"));
  const site::Site* site = CurrentSite();
  if (!site) throw HostError("no site");  // UseSite(required) refused before
  if (o.quiet && o.progress) throw UsageError(Tr("--quiet and --progress exclude each other"));
  SyncSettings options;
  const std::string database = DatabasePath(o.db, true);  // as the summary names it
  options.recorded_cause = [](const TerminalSync& row) { return CauseText(Language::kEnglish, row); };
  options.lock_timeout = o.lock_timeout;
  options.all = o.all;
  options.clock.zone = SiteTimeZone(*site);
  std::optional<accounts::Accounts> accounts;
  if (site->clock.set_when_drift_above) {
    // The site lets sync set clocks that drift too far: by the same rules as 'vanto clock --set'
    // (never while the host's clock is not synchronised), audited under this user's name.
    options.clock.host_clock = ReadHostClockState();
    if (options.clock.host_clock.synchronised) {
      accounts.emplace(CommandDatabase(o, DatabaseUse::kWrite)->Accounts());
      const accounts::Actor actor{OsUser(), "sync"};
      options.clock.audit = [&accounts, actor](const ClockAudit& a) { accounts->Audit(actor, a.action, a.details); };
    }
  }
  options.started_by = o.timer ? store::RunStarter::Timer : store::RunStarter::Command;
  options.who = o.timer ? std::string() : OsUser();
  options.on_record_failure = [&io](const SyncNote& failure) {
    io.err << "vanto sync: " << Tr("warning") << ": " << NoteText(Language::kProcess, failure) << std::endl;
  };
  const bool progress = o.progress || (io.progress && !o.quiet && !o.json);
  std::vector<int> ports;
  for (const auto& port : site->ports) ports.push_back(port.number);
  // --progress without cursor codes: a line per change.
  ProgressBoard board(progress ? &io.err : nullptr, ports, Tr("waiting"), !io.progress);
  options.on_progress = [&](int port, const PortProgress& p) {
    std::string text;
    const std::string label = TrFill("terminal {0} ({1} of {2})", {std::to_string(p.terminal), std::to_string(p.index),
                                                                  std::to_string(p.count)});
    switch (p.stage) {
      case PortProgress::Stage::kScanning:
        text = TrFill("looking for terminals {0}-{1}", {std::to_string(p.first), std::to_string(p.last)});
        break;
      case PortProgress::Stage::kStarting: text = label + ": " + Tr("starting"); break;
      case PortProgress::Stage::kReading: {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.0f", p.rate);
        text = label + ": " + TrNFill("{0} record, {1} records/s", "{0} records, {1} records/s",
                                        static_cast<unsigned long>(p.records), {std::to_string(p.records), rate});
        break;
      }
      case PortProgress::Stage::kDone: text = Tr("done"); break;
    }
    board.Set(port, TrFill("port {0}: {1}", {std::to_string(port), text}), p.stage != PortProgress::Stage::kReading);
  };
  // The host's part first: a database that cannot be opened stops the sync before any traffic.
  // Every port and the run's record share this one handle.
  options.db = CommandDatabase(o, DatabaseUse::kWrite);
  options.site_name = CommandSite(o, DatabaseUse::kWrite).name;
  // A sync someone started by hand is audited under the operating-system user's name (the
  // intent before it, the outcome after it), as the console's are; the timer's runs are only
  // recorded, or they would fill the trail.
  AuditWriter audit;
  if (!o.timer)
    audit = [db = options.db, who = options.who](const std::string& action, const std::string& details) {
      db->Audit({0, store::UtcNowText(), who, "command line", action, details});
    };
  std::vector<TerminalSync> rows = RunSyncNow(*site, options, audit, [&io](const std::string& problem) {
    io.err << "vanto sync: " << Tr("warning") << ": "
           << TrFill("the audit trail could not record the sync's end: {0}", {problem}) << "\n";
  });
  board.Finish();
  const SyncReport report = ReportOf(rows);

  bool host_failed = false, failed = false;
  for (const TerminalSync& r : rows) host_failed |= r.host_failed, failed |= !r.ok;
  if (o.json) {
    nlohmann::ordered_json terminals = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const TerminalSync& r = rows[i];
      nlohmann::ordered_json row = {{"port", r.port},
                            {"terminal", r.terminal ? nlohmann::ordered_json(r.terminal) : nlohmann::ordered_json(nullptr)},
                            {"delivered", r.delivered},
                            {"new", r.added},
                            {"seconds", std::round(r.seconds * 1000) / 1000},
                            {"outcome", r.ok ? "synced" : "failed"}};
      if (r.quarantined) row["quarantined"] = r.quarantined;
      if (r.implausible) row["implausible"] = r.implausible;
      if (r.clock) {
        nlohmann::ordered_json clock = {{"state", r.clock->state == ClockState::kRead      ? "read"
                                                    : r.clock->state == ClockState::kNoClock ? "none"
                                                    : r.clock->state == ClockState::kInvalid ? "invalid"
                                                                                            : "not-read"}};
        if (r.clock->state == ClockState::kRead) clock["drift_seconds"] = r.clock->drift;
        if (r.clock->state == ClockState::kSilent && !r.clock->fault.empty()) clock["fault"] = r.clock->fault;
        if (r.clock->set != ClockSet::kNotAsked)
          clock["set"] = r.clock->set == ClockSet::kSet ? "set" : r.clock->set == ClockSet::kUnsynchronised ? "unsynchronised" : "not-set";
        if (r.clock->set == ClockSet::kSet) clock["set_to"] = site::WallText(r.clock->set_to);
        row["clock"] = clock;
      }
      // Words for people beside codes and values for programs (every field of before kept).
      if (!r.details.empty()) {
        nlohmann::ordered_json texts = nlohmann::ordered_json::array();
        for (const SyncNote& d : r.details) texts.push_back(NoteText(Language::kProcess, d));
        row["conflicts"] = texts;
        row["conflict_details"] = NotesJson(r.details);
      }
      if (r.clone) row["clone"] = true;
      if (!r.ok) {
        row["cause"] = CauseText(Language::kProcess, r);
        row["cause_code"] = r.cause_code;
        row["cause_values"] = ValuesJson(r.cause_values);
      }
      if (!r.message.empty()) row["message"] = r.message;
      if (!r.warnings.empty()) {
        row["warning"] = NotesText(Language::kProcess, r.warnings);
        row["warnings"] = NotesJson(r.warnings);
      }
      // The fields the API writes too ("added" beside "new", the cause's code and values).
      const nlohmann::ordered_json shared = SyncRowJson(report.terminals[i]);
      for (auto field = shared.begin(); field != shared.end(); ++field)
        if (!row.contains(field.key())) row[field.key()] = field.value();
      terminals.push_back(row);
    }
    nlohmann::ordered_json summary = {{"site", site->path},
                                      {"database", ShownLocation(database)},
                                      {"terminals", terminals},
                                      {"counts", SyncCountsJson(report.counts)}};
    io.out << summary.dump(2) << "\n";
  } else {
    std::vector<std::vector<std::string>> table;
    for (const TerminalSync& r : rows)
      table.push_back({std::to_string(r.port), r.terminal ? std::to_string(r.terminal) : "-", std::to_string(r.delivered),
                       std::to_string(r.added), Fixed(r.seconds, 1),
                       OutcomeText(r) + (r.implausible ? "; " + TrNFill("{0} with an implausible time (kept)", "{0} with implausible times (kept)", static_cast<unsigned long>(r.implausible), {std::to_string(r.implausible)}) : "")});
    WriteTable(io.out, {Tr("PORT"), Tr("TERMINAL"), Tr("DELIVERED"), Tr("NEW"), Tr("SECONDS"), Tr("OUTCOME")}, table,
               {true, true, true, true, true, false});
  }
  for (const TerminalSync& r : rows)
    if (!r.warnings.empty())
      io.err << "vanto sync: " << Tr("warning") << ": " << NotesText(Language::kProcess, r.warnings) << "\n";
  // A feature-only part of the site file that is wrong: said, the terminals' exit status kept.
  for (const site::SiteProblem& p : site->problems)
    io.err << "vanto sync: " << Tr("warning") << ": " << SiteProblemText(p)
           << "\n";
  bool unsynchronised_told = false;
  for (const TerminalSync& r : rows) {
    const std::string where = TrFill("port {0}, terminal {1}", {std::to_string(r.port), std::to_string(r.terminal)});
    if (r.implausible)
      io.err << "vanto sync: " << Tr("warning") << ": " << where << ": "
             << TrNFill("{0} record with an implausible time, stored all the same (is its clock right? 'vanto "
                        "clock' shows it)",
                        "{0} records with implausible times, stored all the same (is its clock right? 'vanto clock' "
                        "shows it)",
                        static_cast<unsigned long>(r.implausible), {std::to_string(r.implausible)})
             << "\n";
    if (!r.clock) continue;
    const TerminalClock& c = *r.clock;
    if (c.state == ClockState::kInvalid && c.set == ClockSet::kNotAsked)
      io.err << "vanto sync: " << Tr("warning") << ": " << where << ": "
             << TrFill("its clock shows no valid date and time ({0}); 'vanto clock --set' sets it",
                       {ClockSaid(c)})
             << "\n";
    else if (c.set == ClockSet::kSet && c.state == ClockState::kInvalid)
      io.err << "vanto sync: " << where << ": "
             << TrFill("its clock showed no valid date and time; set to {0}", {site::WallText(c.set_to)}) << "\n";
    else if (c.set == ClockSet::kSet)
      io.err << "vanto sync: " << where << ": "
             << TrFill("its clock was {0} off; set to {1}", {DriftText(c.drift), site::WallText(c.set_to)}) << "\n";
    else if (c.set == ClockSet::kUnsynchronised) {
      if (!unsynchronised_told)
        io.err << "vanto sync: " << Tr("warning") << ": "
               << TrFill("the host's clock is not synchronised ({0}): no terminal clock is set",
                         {options.clock.host_clock.reason})
               << "\n";
      unsynchronised_told = true;
    } else if (c.set != ClockSet::kNotAsked && c.set != ClockSet::kUnsynchronised) {
      const std::string why =
          c.set == ClockSet::kRefused ? TrFill("refusal {0}", {std::to_string(c.refusal)}) : ClockSaid(c);
      io.err << "vanto sync: " << Tr("warning") << ": " << where << ": "
             << (c.state == ClockState::kInvalid
                     ? TrFill("its clock shows no valid date and time and could not be set ({0})", {why})
                     : TrFill("its clock is {0} off and could not be set ({1})", {DriftText(c.drift), why}))
             << "\n";
    }
  }
  for (const TerminalSync& r : rows) {
    if (r.ok) continue;
    const std::string driver = DriverSaid(r.message);
    const std::string where = r.terminal ? TrFill("port {0}, terminal {1}", {std::to_string(r.port), std::to_string(r.terminal)})
                                         : TrFill("port {0}", {std::to_string(r.port)});
    // A port's own fault names the port already ("port 1 (/dev/ttyS0): ..."): not twice.
    const bool named = !r.terminal && IsPortFault(r.cause_code);
    io.err << "vanto sync: " << (named ? "" : where + ": ") << CauseText(Language::kProcess, r)
           << (driver.empty() ? "" : " (" + driver + ")") << "\n";
    for (const SyncNote& detail : r.details) io.err << "vanto sync: " << NoteText(Language::kProcess, detail) << "\n";
  }
  if (host_failed) return kExitHost;
  return failed ? kExitFalse : kExitOk;
}

namespace {

// A finding of check in words (the values named by the finding's code).
std::string FindingText(const CheckFinding& f) {
  auto v = [&](const char* name) { return f.Value(name); };
  const std::string port = std::to_string(f.port), terminal = std::to_string(f.terminal);
  const std::string& c = f.code;
  if (c == "site-file") return TrFill("site file {0} ({1} ports)", {v("path"), v("ports")});
  if (c == "site-part-misconfigured") return SiteProblemText(v("part"), v("endpoint"), Translate(ErrorValue(f.values, "error")));
  if (c == "module") return v("prog_id") + ": " + TrFill("{0} ({1}), loads", {v("path"), v("version")});
  if (c == "module-unregistered") return v("prog_id") + ": " + TrFill("not registered in {0}", {v("registry")});
  if (c == "module-without-path")
    return v("prog_id") + ": " + TrFill("registered without a module path in {0}", {v("registry")});
  if (c == "modules-failed") return TrFill("modules: {0}", {Translate(ErrorValue(f.values, "error"))});
  if (c == "database-missing") return TrFill("database {0} does not exist yet; the first sync creates it", {v("location")});
  if (c == "database-folder-unwritable")
    return TrFill("database folder {0} is not writable by this user", {v("folder")});
  if (c == "database-missing-unwritable")
    return TrFill("database {0} does not exist and folder {1} is not writable by this user", {v("location"), v("folder")});
  if (c == "database-unwritable") return TrFill("database {0} is not writable by this user", {v("location")});
  if (c == "database-writable") return TrFill("database {0} is writable", {v("location")});
  if (c == "database-opens") return TrFill("database {0} opens", {ShownLocation(v("location"))});
  if (c == "console-database-moved")
    return TrFill("the site file {0} names no database, so the console uses {1}; the console kept its users and "
                  "runs in {2} before: to keep using it, add database = \"{2}\" to the site file (the sync then "
                  "uses it too)",
                  {v("site"), ShownLocation(v("database")), v("earlier")});
  if (c == "database-empty")
    return TrFill("database {0} holds no tables yet; the first sync creates them", {ShownLocation(v("location"))});
  if (c == "database-failed") return TrFill("database: {0}", {Translate(ErrorValue(f.values, "error"))});
  if (c == "database-readable-by-others")
    return TrFill("{0} holds people's data and can be read by every user of this computer (chmod o-r)", {v("file")});
  if (c == "site-file-readable-by-others")
    return TrFill("site file {0} can be read by every user of this computer (chmod o-r)", {v("file")});
  if (c == "secret-readable-by-others")
    return TrFill("the secret of push endpoint {0}, {1}, can be read by every user of this computer (chmod 600)",
                  {v("push"), v("file")});
  if (c == "conflicts-unacknowledged")
    return TrNFill("{0} record conflict not acknowledged yet (a terminal that reused an identity or log)",
                   "{0} record conflicts not acknowledged yet (terminals that reused an identity or log)",
                   std::stoul(v("count")), {v("count")});
  if (c == "schedules-both")
    return TrFill("the site file {0} has a [schedule] for 'vanto serve' and vanto-sync.timer is enabled too: use one "
                  "('systemctl disable --now vanto-sync.timer', or remove [schedule] from the site file)",
                  {v("where")});
  if (c == "port-failed") return CauseText(Language::kProcess, v("fault"), f.values);
  if (c == "port-opens") return TrFill("port {0} ({1}) opens", {port, v("device")});
  if (c == "scan-failed")
    return TrFill("port {0}", {port}) + ": " + Tr("the scan failed") +
           (v("message").empty() ? "" : " (" + DriverSaid(v("message")) + ")");
  if (c == "terminals-answer")
    return TrNFill("port {0}: {1} terminal answers in {2}-{3}", "port {0}: {1} terminals answer in {2}-{3}",
                   std::stoul(v("count")), {port, v("count"), v("first"), v("last")});
  if (c == "terminal-answers") return TrFill("port {0}, terminal {1} answers", {port, terminal});
  if (c == "terminal-silent") return TrFill("port {0}, terminal {1} does not answer", {port, terminal});
  if (c == "clock-drift")
    return TrFill("port {0}, terminal {1}: its clock is {2} off the host's (more than {3} s; 'vanto clock --set' sets it)",
                  {port, terminal, DriftText(std::stoll(v("drift_seconds"))), v("limit_seconds")});
  if (c == "clock-invalid")
    return TrFill("port {0}, terminal {1}: its clock shows no valid date and time ('vanto clock --set' sets it)",
                  {port, terminal}) +
           " (" + DriverSaid(v("message")) + ")";
  if (c == "clocks-failed") return TrFill("port {0}: the clocks could not be read: {1}", {port, Translate(ErrorValue(f.values, "error"))});
  std::string text = c;  // a finding this front end has no words for yet: its code and values
  for (const auto& [name, value] : f.values)
    if (!IsSaidValue(name)) text += " " + name + "=" + value;
  return text;
}

const char* SeverityName(Severity s) {
  switch (s) {
    case Severity::kOk: return "ok";
    case Severity::kWarning: return "warning";
    case Severity::kFail: return "fail";
  }
  return "?";
}

}  // namespace

int RunCheck(const CheckOptions& o, Io& io) {
  const site::Site* site = CurrentSite();
  CheckSettings settings;
  settings.database = DatabasePath(o.db, false);
  settings.open_database = [&o] { return CommandDatabase(o, DatabaseUse::kRead); };
  settings.clock.zone = SiteTimeZone(*site);
  const char* env_db = std::getenv(site::kDatabaseVariable);
  if (!o.db && !(env_db && *env_db) && !site->database) settings.earlier_console_database = kEarlierConsoleDatabase;
  const CheckResult result = CheckSite(*site, settings);
  if (o.json) {
    nlohmann::ordered_json findings = nlohmann::ordered_json::array();
    for (const CheckFinding& f : result.findings) {
      nlohmann::ordered_json row = {{"code", f.code}, {"severity", SeverityName(f.severity)}};
      if (f.port) row["port"] = f.port;
      if (f.terminal) row["terminal"] = f.terminal;
      if (!f.file.empty()) row["file"] = ShownLocation(f.file);
      nlohmann::ordered_json values = nlohmann::ordered_json::object();
      for (const auto& [name, value] : f.values)
        if (!IsSaidValue(name)) values[name] = name == "location" ? ShownLocation(value) : value;
      // A port that failed: its cause in words too, under the name it has always had.
      if (f.code == "port-failed") values["cause"] = FindingText(f);
      row["values"] = values;
      row["text"] = FindingText(f);
      findings.push_back(row);
    }
    io.out << nlohmann::ordered_json{{"site", site->path}, {"passed", result.Passed()}, {"findings", findings}}.dump(2)
           << "\n";
  } else {
    for (const CheckFinding& f : result.findings) {
      const char* mark = f.severity == Severity::kOk ? "ok    " : f.severity == Severity::kWarning ? "WARN  " : "FAIL  ";
      io.out << mark << FindingText(f) << "\n";  // fixed words, for scripts
    }
  }
  if (result.modules_failed) return kExitHost;
  return result.Passed() ? kExitOk : kExitFalse;
}

int RunSiteShow(const DatabaseOptions& o, Io& io) {
  const site::Site* site = CurrentSite();
  std::vector<site::Effective> rows = site::EffectiveSettings(*site, ProcessEnvironment(), o.db);
  std::vector<std::vector<std::string>> table = {{"site file", site->path, CurrentSiteOrigin()}};
  for (auto& r : rows) {
    if (r.name == "database" && r.origin == "default") {
      r.value = DefaultDatabasePath();
    } else if (r.name == "database" && r.origin != "--db" && r.origin != std::string("$") + site::kDatabaseVariable) {
      if (auto db = SiteDatabase(*site)) r.value = *db;
      else r.value = DefaultDatabasePath();
    }
    if (r.name == "database") r.value = ShownLocation(r.value);
    table.push_back({r.name, r.value, r.origin});
  }
  WriteTable(io.out, {Tr("SETTING"), Tr("VALUE"), Tr("FROM")}, table, {false, false, false});
  return kExitOk;
}

int RunSiteInit(const SiteInitOptions& o, Io& io) {
  if (o.ports.first == 0) throw UsageError(TrFill("missing option '{0}'", {"--ports"}));
  const Range ports = o.ports, terminals = o.terminals;
  site::SiteLocation where = site::LocateSite(o.site, ProcessEnvironment());
  std::error_code ec;
  if (fs::exists(where.path, ec) && !o.force)
    throw UsageError(TrFill("the site file {0} exists already (give --force to replace it)", {where.path}));
  // The file would keep a password where others may read it.
  if (o.db && LocationHoldsPassword(*o.db))
    throw UsageError(TrFill("--db {0}: {1}; {2}", {ShownLocation(*o.db), Tr("holds a password"), Translate(site::PasswordAdvice())}));

  Machine machine = Machine::Create();
  ControlStatus control = ControlStatus::Create();
  std::vector<FoundTerminal> found;
  Outcome outcome = machine.Scan(ports, terminals, &found);
  std::ostringstream text;
  text << "# The site file of vanto, written by 'vanto site init --ports " << ports.first << "-" << ports.last
       << " --terminals " << terminals.first << "-" << terminals.last << "'.\n"
       << "# Environment variables (VANTO_DB, VANTO_FK_*) override what is here, for one run.\n\n"
       << "# The database: a file (relative to this file's folder) or a postgresql:// address.\n";
  if (auto db = o.db)
    text << "database = " << nlohmann::json(*db).dump() << "\n";
  else
    text << "# database = \"/var/lib/vanto/vanto.db\"\n";
  text << "\n# When a working day starts, for reports (HH:MM).\nday_starts = \"00:00\"\n\n"
       << "# Line settings of every port; a [[port]] may override any of them.\n[line]\n";
  for (const site::LineKey& key : site::LineKeys()) {
    long long fallback = 0;
    for (const auto& s : terminal::control::NumberSettings())
      if (std::string(s.variable) == key.variable) fallback = s.fallback;
    std::string value = std::to_string(fallback);
    bool set = false;
    if (const char* env = std::getenv(key.variable); env && terminal::control::CheckSetting(key.variable, env).empty())
      value = env, set = true;
    if (key.variable == std::string(terminal::control::kLockTimeoutVariable) && !set) value = "300000", set = true;
    text << (set ? "" : "# ") << key.key << " = " << value << "  # " << key.help << "\n";
  }
  std::map<int, std::vector<int>> by_port;
  for (const FoundTerminal& f : found) by_port[f.port].push_back(f.terminal);
  int written = 0;
  for (int port = ports.first; port <= ports.last; ++port) {
    PortCause cause = control.Status(port);
    auto terminals_found = by_port.find(port);
    if (terminals_found == by_port.end()) {
      text << "\n# Port " << port << " (" << cause.device << "): "
           << (cause.PortUnusable() ? DescribeCause(port, cause) : "no terminal answered") << ".\n";
      if (cause.PortUnusable()) io.err << "vanto site init: " << DescribeCause(port, cause) << "\n";
      continue;
    }
    text << "\n[[port]]\nnumber = " << port << "\ndevice = " << nlohmann::json(cause.device).dump()
         << "\nterminals = [";
    for (std::size_t i = 0; i < terminals_found->second.size(); ++i) text << (i ? ", " : "") << terminals_found->second[i];
    text << "]\n";
    ++written;
  }
  if (written == 0) {
    io.err << "vanto site init: "
           << TrFill("no terminal answered on ports {0}-{1} (terminals {2}-{3}); nothing written",
                     {std::to_string(ports.first), std::to_string(ports.last), std::to_string(terminals.first),
                      std::to_string(terminals.last)})
           << (outcome.message.empty() ? "" : " (" + DriverSaid(outcome.message) + ")") << "\n";
    return kExitFalse;
  }
  fs::path path(where.path);
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  const std::string temporary = where.path + ".new";
  // Private to its owner, like every file the host writes for people.
  if (auto failed = ReplaceFileAtomically(temporary, text.str(), kPrivateFileMode))
    throw HostError(TrFill("cannot write the site file {0}", {temporary}) + ": " + *failed);
  try {
    site::LoadSite(temporary);  // what we wrote reads back
  } catch (...) {
    fs::remove(temporary, ec);
    throw;
  }
  fs::rename(temporary, where.path, ec);
  if (ec) throw HostError(TrFill("cannot write the site file {0}", {where.path}) + ": " + ec.message());
  io.out << TrFill("wrote {0}: {1} on {2}",
                   {where.path,
                    TrNFill("{0} terminal", "{0} terminals", found.size(), {std::to_string(found.size())}),
                    TrNFill("{0} port", "{0} ports", static_cast<unsigned long>(written), {std::to_string(written)})})
         << "\n";
  return kExitOk;
}

Command SyncCommand() {
  return {"sync", TrLater("download every terminal of the site into the database"),
          "vanto sync [--site FILE] [--json] [--db PATH]\n"
          "vanto sync --history [--limit N] [--json] [--all-sites]",
          TrLater("Every port of the site file at once, one thread each; the terminals of a port one after\n"
          "the other. Prints a table of port, terminal, records delivered, new ones, seconds and the\n"
          "outcome with its cause (or --json). Exit 0 when every terminal synced, 1 when some failed\n"
          "(the others still synced; each failure is named on standard error with its cause), 3 when\n"
          "the host could not do its part (database, components). A port another process uses is\n"
          "waited for (line.lock_timeout_ms in the site file), so two syncs at once take turns.\n"
          "Every run is recorded in the database with who started it; --history lists the site's recent\n"
          "runs (the command line's, the timer's, the console's and its schedule's); with --all-sites\n"
          "every site's, each with its site."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<SyncOptions>();
            p.Flag("json", TrLater("print the summary as JSON"), &o->json);
            p.Flag("all", TrLater("read every record of each terminal, not only the new ones (still stores nothing twice)"),
                   &o->all);
            p.Flag("quiet", TrLater("no progress lines"), &o->quiet);
            p.Flag("progress", TrLater("show the progress lines even when standard error is no terminal"), &o->progress);
            p.Flag("timer", TrLater("record the run as started by the package's timer (its service gives this)"), &o->timer);
            p.Flag("history", TrLater("list the recorded runs (whoever started them) instead of syncing"), &o->history);
            p.Number("limit", "N", TrLater("with --history: how many runs (newest first; default 20)"), &o->limit, 1, 10000);
            p.Flag("all-sites", TrLater("with --history: every site's runs, each with its site"), &o->all_sites);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kRequired);
            return [o](Io& io) { return RunSync(*o, io); };
          }};
}

Command CheckCommand() {
  return {"check", TrLater("check the site: its file, modules, database, ports and terminals"),
          "vanto check [--site FILE] [--json] [--db PATH]",
          TrLater("Exit 0 only when the site file is valid, the modules are registered and load (their paths\n"
          "and versions are shown), the database is writable, every port's device opens and every\n"
          "listed terminal answers; 1 otherwise, each failure named with its cause. Warnings (WARN)\n"
          "change nothing and leave the exit status alone: a database or site file every user can\n"
          "read, record conflicts not acknowledged yet, a terminal clock off by more than the site's\n"
          "clock.warn_drift_above. Check only looks: it creates, migrates and sets nothing."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<CheckOptions>();
            p.Flag("json", TrLater("print the findings as JSON (a code, severity and values each)"), &o->json);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kRequired);
            return [o](Io& io) { return RunCheck(*o, io); };
          }};
}

Command SiteInitCommand() {
  return {"site init", TrLater("find the terminals and write a site file"),
          "vanto site init --ports N[-M] [--terminals N[-M]] [--site FILE] [--db PATH] [--force]",
          TrLater("Scans with the current settings (VANTO_FK_*, as 'vanto sim' prints them), then writes a\n"
          "commented site file naming each port's device and the terminals that answered, to --site\n"
          "FILE, else $VANTO_SITE, else $XDG_CONFIG_HOME/vanto/site.toml (~/.config/vanto/site.toml)."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<SiteInitOptions>();
            p.RangeOf("ports", "N[-M]", TrLater("serial ports to scan (1..255)"), &o->ports, 1, 255);
            p.RangeOf("terminals", "N[-M]", TrLater("terminal numbers to probe on each port (1..255, default 1-255)"),
                      &o->terminals, 1, kMaxTerminal);
            p.Text("db", "PATH", TrLater("the database to name in the file"), &o->db);
            p.Flag("force", TrLater("replace an existing site file"), &o->force);
            p.Text("site", "FILE", TrLater("where to write the site file"), &o->site);
            return [o](Io& io) { return RunSiteInit(*o, io); };
          }};
}

Command SiteShowCommand() {
  return {"site show", TrLater("print the effective settings of the site and where each comes from"),
          "vanto site show [--site FILE] [--db PATH-OR-URL]",
          TrLater("Each setting with its value and its origin, in the order every command resolves them: the\n"
          "command line (--db), an environment variable that overrides the file for this run, the\n"
          "site file's line, or the default."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<DatabaseOptions>();
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kRequired);
            return [o](Io& io) { return RunSiteShow(*o, io); };
          }};
}

}  // namespace vanto::cli
