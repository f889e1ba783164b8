#include "host/site_choice.h"
#include "web/enrolments_page.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "host/attendance_data.h"
#include "host/clear.h"
#include "host/enrolment.h"
#include "host/facade.h"
#include "host/db/sync_runs.h"
#include "host/sync_jobs.h"
#include "present/sync_words.h"
#include "web/templates.h"

namespace vanto::web {
namespace {

using kainjow::mustache::data;
using kainjow::mustache::list;

// A port whose terminals are scanned offers the terminals a sync has reached; before any has,
// its whole range when the range is this small.
constexpr int kOfferedRange = 32;
constexpr std::size_t kMaxTargets = 64;

constexpr const char* kEnrolmentsTemplate = R"html({{#has_results}}<table id="enrolment-results">
<thead><tr><th>{{t.action}}</th><th>{{t.terminal}}</th><th>{{t.enrol_result}}</th><th>{{t.details}}</th></tr></thead>
<tbody>
{{#results}}<tr class="enrolment-result {{state}}" data-port="{{port}}" data-terminal="{{terminal}}"><td>{{what}}</td><td>{{where}}</td><td class="outcome">{{outcome}}</td><td class="words">{{words}}</td></tr>
{{/results}}</tbody>
</table>{{/has_results}}
<p class="meta" id="host-copy">{{t.enrolments_host_copy}}</p>
{{#has_rows}}<table id="enrolments">
<thead><tr><th>{{t.person}}</th><th>{{t.person_name}}</th><th>{{t.kind}}</th><th>{{t.terminal}}</th></tr></thead>
<tbody>
{{#rows}}<tr class="enrolment" data-person="{{person}}"><td>{{person}}</td><td>{{name}}</td><td>{{kind}}</td><td>{{terminal}}</td></tr>
{{/rows}}</tbody>
</table>{{/has_rows}}
{{^has_rows}}<p id="no-enrolments">{{t.no_enrolments}}</p>{{/has_rows}}
{{#may_act}}{{#has_terminals}}
<h2>{{t.enrol_backup_title}}</h2>
<form method="post" action="/enrolments/backup" id="backup-form"><input type="hidden" name="csrf" value="{{csrf}}">
<label>{{t.terminal}} <select name="terminal" id="backup-terminal">{{#terminals}}<option value="{{value}}">{{label}}</option>{{/terminals}}</select></label>
<label>{{t.person_number}} <input name="person" id="backup-person" inputmode="numeric" required></label>
<button id="backup-button">{{t.enrol_backup_button}}</button></form>
<h2>{{t.enrol_copy_title}}</h2>
<form method="post" action="/enrolments/write" id="copy-form"><input type="hidden" name="csrf" value="{{csrf}}">
<label>{{t.person_number}} <input name="person" id="copy-person" inputmode="numeric" required></label>
<label>{{t.enrol_from}} <select name="from" id="copy-from"><option value="">{{t.enrol_from_stored}}</option>{{#terminals}}<option value="{{value}}">{{label}}</option>{{/terminals}}</select></label>
<fieldset><legend>{{t.enrol_to}}</legend>{{#terminals}}<label><input type="checkbox" name="to" value="{{value}}" id="copy-to-{{id}}"> {{label}}</label> {{/terminals}}</fieldset>
<button id="copy-button">{{t.enrol_copy_button}}</button></form>
{{/has_terminals}}{{^has_terminals}}<p id="no-terminals">{{t.enrol_no_terminals}}</p>{{/has_terminals}}{{/may_act}}
)html";

std::string KindWord(Language language, const std::optional<std::int64_t>& kind) {
  if (!kind) return "";
  if (*kind == 0) return Say(language, "kind_fingerprint");
  if (*kind == 10) return Say(language, "kind_password");
  return Say(language, "kind_other") + " " + std::to_string(*kind);
}

std::string WhereWords(Language language, const host::TerminalAt& at) {
  return Say(language, "port") + " " + std::to_string(at.port) + " · " + Say(language, "terminal") + " " +
         std::to_string(at.terminal);
}

// One line of an action's results.
struct Shown {
  const char* what;  // "enrol_backup_button" or "enrol_copy_button"
  host::TerminalAt at;
  bool done = false;
  std::string outcome, words;
};

// The results of actions on terminals, a row each, for the page's template.
list ResultRows(Language language, const std::vector<Shown>& results) {
  list shown;
  for (const Shown& s : results) {
    data row;
    row.set("what", Say(language, s.what));
    row.set("port", std::to_string(s.at.port));
    row.set("terminal", std::to_string(s.at.terminal));
    row.set("where", WhereWords(language, s.at));
    row.set("state", s.done ? "done" : "failed");
    row.set("outcome", s.outcome);
    row.set("words", s.words);
    shown.push_back(row);
  }
  return shown;
}

Shown Show(Language language, const char* what, host::TerminalAt at, const host::EnrolmentResult& r,
           const std::optional<host::Message>& failure = std::nullopt) {
  using Status = host::EnrolmentResult::Status;
  Shown s{what, at, false, {}, {}};
  if (failure) {
    s.outcome = Say(language, "enrol_failed");
    s.words = host::Translate(*failure, language);
    return s;
  }
  if (r.port_cause) {  // the port itself, not the terminal
    s.outcome = Say(language, "enrol_port_failed");
    s.words = host::DescribePortCause(language, at.port, *r.port_cause);
    return s;
  }
  switch (r.status) {
    case Status::kDone:
      s.done = true;
      s.outcome = Say(language, "enrol_done");
      s.words = KindWord(language, r.kind);
      break;
    case Status::kRefused:
      s.outcome = Say(language, r.step == host::EnrolmentResult::Step::kBackup ? "enrol_backup_refused"
                                : r.step == host::EnrolmentResult::Step::kScan  ? "enrol_scan_failed"
                                                                                : "enrol_write_refused");
      s.words = r.outcome.message;
      break;
    case Status::kNotAnswering:
      s.outcome = Say(language, "enrol_not_answering");
      break;
    case Status::kNoneStored:
      s.outcome = Say(language, "enrol_none_stored");
      break;
    case Status::kNotAudited:
      s.outcome = Say(language, "enrol_not_audited");
      s.words = host::Translate(r.failure, language);
      break;
  }
  return s;
}

Shown ShowClear(Language language, host::TerminalAt at, const host::ClearResult& r) {
  using Status = host::ClearResult::Status;
  Shown s{"clear_button", at, false, {}, {}};
  switch (r.status) {
    case Status::kCleared:
      s.done = true;
      s.outcome = Say(language, "clear_done");
      s.words = std::to_string(r.info.held);
      break;
    case Status::kIncomplete:
      s.outcome = Say(language, "clear_incomplete");
      s.words = host::MissingText(r, 100);
      break;
    case Status::kRefused:
      s.outcome = Say(language, "clear_refused");
      break;
    case Status::kNoIdentity:
      s.outcome = Say(language, "clear_no_identity");
      break;
    case Status::kTerminalFailed:
      s.outcome = Say(language, "clear_failed");
      s.words = host::Translate(r.terminal_error, language);
      break;
    case Status::kNotAudited:
      s.outcome = Say(language, "enrol_not_audited");
      s.words = host::Translate(r.terminal_error, language);
      break;
  }
  return s;
}

constexpr const char* kClearTemplate = R"html(<table id="clear-results">
<thead><tr><th>{{t.action}}</th><th>{{t.terminal}}</th><th>{{t.enrol_result}}</th><th>{{t.details}}</th></tr></thead>
<tbody>
{{#results}}<tr class="clear-result {{state}}" data-port="{{port}}" data-terminal="{{terminal}}"><td>{{what}}</td><td>{{where}}</td><td class="outcome">{{outcome}}</td><td class="words">{{words}}</td></tr>
{{/results}}</tbody>
</table>
<p><a href="/terminals" id="back-to-terminals">{{t.nav_terminals}}</a></p>
)html";

class EnrolmentActions {
 public:
  EnrolmentActions(const PageHost& host, const RecordsSource& records, host::SyncJobs* jobs,
                   std::chrono::milliseconds wait)
      : host_(host), records_(records), jobs_(jobs), wait_(wait) {}

  void Page(Context& c, int status, const std::vector<Shown>& results = {}, const std::string& notice = "",
            const std::string& error = "") const {
    if (records_.database.empty()) return host_.Refuse(c, 503, "no_database");
    std::vector<store::EnrolmentEntry> entries;
    std::map<std::int32_t, std::string> names;
    try {
      std::unique_ptr<store::SwipeStore> store = OpenRecords(records_);
      // The site shown: the serving site's (with another chosen, the page names its host instead).
      entries = store->Enrolments(c.site);
      if (host::HoldsPeople(*store))
        for (store::PersonName& p : store->People(c.site)) names.emplace(p.person, std::move(p.name));
    } catch (const store::StoreError& e) {
      host_.Log("enrolments page for " + c.client + ": " + e.what());
      return host_.Answer(c, 503, Say(c.language, "nav_enrolments"), "", notice,
                          Say(c.language, "db_failed") + " " + host::Translate(e, c.language));
    }
    data d;
    list rows;
    for (const store::EnrolmentEntry& e : entries) {
      data row;
      row.set("person", e.person ? std::to_string(*e.person) : std::string());
      auto name = e.person ? names.find(*e.person) : names.end();
      row.set("name", name != names.end() ? name->second : std::string());
      row.set("kind", KindWord(c.language, e.kind));
      row.set("terminal", e.terminal ? std::to_string(*e.terminal) : std::string());
      rows.push_back(row);
    }
    d.set("has_rows", !entries.empty());
    d.set("rows", rows);
    list shown = ResultRows(c.language, results);
    d.set("has_results", !results.empty());
    d.set("results", shown);
    const bool may_act = Allowed(c.who->user.role, Action::BackupEnrolment) || Allowed(c.who->user.role, Action::WriteEnrolment);
    if (may_act && jobs_) {
      list terminals;
      for (const host::TerminalAt& at : Offered()) {
        data t;
        t.set("value", std::to_string(at.port) + "." + std::to_string(at.terminal));
        t.set("id", std::to_string(at.port) + "-" + std::to_string(at.terminal));
        t.set("label", WhereWords(c.language, at));
        terminals.push_back(t);
      }
      d.set("may_act", true);
      d.set("has_terminals", !terminals.empty());
      d.set("terminals", terminals);
      d.set("csrf", c.who->session.csrf);
    }
    host_.Answer(c, status, Say(c.language, "nav_enrolments"), RenderText("enrolments", kEnrolmentsTemplate, d, c.language), notice,
                 error);
  }

  // POST /enrolments/backup: person, terminal ("PORT.TERMINAL").
  void Backup(Context& c) {
    std::optional<host::TerminalAt> at = Terminal(Field(c.req, "terminal"));
    std::optional<std::int64_t> person = WholeNumber(Field(c.req, "person"), INT32_MIN, INT32_MAX);
    if (!Ready(c)) return;
    if (!at || !person) return Page(c, 400, {}, "", Say(c.language, "enrol_bad_form"));
    Act(c, "enrolment.backup", {*at}, [&](const host::EnrolmentAuditHook& audit) {
      host::Machine machine = host::Machine::Create();
      const host::EnrolmentResult r =
          host::BackupEnrolment(machine, host_.database(), Serving(), at->port, at->terminal,
                                static_cast<std::int32_t>(*person), audit);
      return std::vector<Shown>{Show(c.language, "enrol_backup_button", *at, r)};
    });
  }

  // POST /enrolments/write: person, from ("" the stored copy, or "PORT.TERMINAL"), to (one or more).
  void Write(Context& c) {
    std::optional<std::int64_t> person = WholeNumber(Field(c.req, "person"), -32768, 32767);
    const std::string from_field = Field(c.req, "from");
    std::optional<host::TerminalAt> from;
    bool valid = person.has_value();
    if (!from_field.empty()) valid = valid && (from = Terminal(from_field)).has_value();
    std::vector<host::TerminalAt> to;
    const std::size_t count = c.req.is_multipart_form_data() ? 0 : c.req.get_param_value_count("to");
    valid = valid && count >= 1 && count <= kMaxTargets;
    for (std::size_t i = 0; valid && i < count; ++i) {
      std::optional<host::TerminalAt> target = Terminal(c.req.get_param_value("to", i));
      valid = target.has_value();
      if (valid && std::find(to.begin(), to.end(), *target) == to.end()) to.push_back(*target);
    }
    if (!Ready(c)) return;
    if (!valid) return Page(c, 400, {}, "", Say(c.language, "enrol_bad_form"));
    std::vector<host::TerminalAt> ports = to;
    if (from) ports.push_back(*from);
    Act(c, "enrolment.write", ports, [&](const host::EnrolmentAuditHook& audit) {
      host::Machine machine = host::Machine::Create();
      const host::EnrolmentCopy copy =
          host::CopyEnrolment(machine, host_.database(), Serving(), static_cast<std::int32_t>(*person), from, to, audit);
      std::vector<Shown> shown;
      if (copy.backup) shown.push_back(Show(c.language, "enrol_backup_button", *from, *copy.backup));
      for (const host::EnrolmentCopy::Write& w : copy.writes)
        shown.push_back(Show(c.language, "enrol_copy_button", w.to, w.result, w.failure));
      if (copy.backup && copy.writes.empty())
        for (const host::TerminalAt& target : to) {
          Shown skipped{"enrol_copy_button", target, false, {}, {}};
          skipped.outcome = Say(c.language, "enrol_not_copied");
          shown.push_back(skipped);
        }
      return shown;
    });
  }

  // POST /terminals/clear: terminal ("PORT.TERMINAL"), understood ("yes"). Only ClearIfComplete's
  // rule clears: the database must hold every record of the terminal's log.
  void Clear(Context& c) {
    std::optional<host::TerminalAt> at = Terminal(Field(c.req, "terminal"));
    const bool understood = Field(c.req, "understood") == "yes";
    if (!Ready(c)) return;
    auto present = [this](Context& c, int status, const std::vector<Shown>& results, const std::string& notice,
                          const std::string& error) { ClearPage(c, status, results, notice, error); };
    if (!at || !understood) return present(c, 400, {}, "", Say(c.language, "clear_bad_form"));
    Act(
        c, "terminal.clear", {*at},
        [&](const host::EnrolmentAuditHook& audit) {
          const host::ClearAuditHook hook = [&audit](const host::ClearAudit& a) {
            audit({a.stage == host::ClearAudit::Stage::kIntent ? host::EnrolmentAudit::Stage::kIntent
                                                                : host::EnrolmentAudit::Stage::kOutcome,
                   a.action, a.details});
          };
          const store::RecordStore store(host_.database().Swipes());
          host::HostControl control = host::HostControl::Create();
          return std::vector<Shown>{ShowClear(c.language, *at, host::ClearIfComplete(store, control, at->port, at->terminal, hook))};
        },
        present);
  }

 private:
  void ClearPage(Context& c, int status, const std::vector<Shown>& results, const std::string& notice,
                 const std::string& error) const {
    data d;
    list shown = ResultRows(c.language, results);
    d.set("results", shown);
    host_.Answer(c, status, Say(c.language, "clear_title"), RenderText("clear", kClearTemplate, d, c.language), notice, error);
  }

  std::vector<host::TerminalAt> Offered() const { return OfferedTerminals(*jobs_, host_); }

  // "PORT.TERMINAL" of a terminal the forms offer; nothing for anything else.
  std::optional<host::TerminalAt> Terminal(const std::string& text) const {
    if (!jobs_ || text.size() > 12) return std::nullopt;
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos) return std::nullopt;
    std::optional<std::int64_t> port = WholeNumber(std::string_view(text).substr(0, dot), 1, 32767);
    std::optional<std::int64_t> terminal = WholeNumber(std::string_view(text).substr(dot + 1), 1, 255);
    if (!port || !terminal) return std::nullopt;
    const host::TerminalAt at{static_cast<int>(*port), static_cast<int>(*terminal)};
    const std::vector<host::TerminalAt> offered = Offered();
    if (std::find(offered.begin(), offered.end(), at) == offered.end()) return std::nullopt;
    return at;
  }

  // The serving site, whose people the actions back up and write (the only site they run on).
  host::SiteChoice Serving() const {
    host::SiteChoice site;
    site.name = jobs_->site_name();
    site.filter = records_.site;
    return site;
  }

  // The console can reach terminals: it has a database and a site.
  bool Ready(Context& c) const {
    if (records_.database.empty()) {
      host_.Refuse(c, 503, "no_database");
      return false;
    }
    if (!jobs_) {
      host_.Refuse(c, 409, "no_site", "/enrolments");
      return false;
    }
    return true;
  }

  // Runs `work` on the terminals of `ports` when neither a sync nor another action holds them
  // (SyncJobs::HoldPorts, waiting up to `wait_`), audited under the signed-in user; shows its results.
  template <class Work>
  void Act(Context& c, const std::string& action, const std::vector<host::TerminalAt>& ports, Work work) {
    Act(c, action, ports, work, [this](Context& c, int status, const std::vector<Shown>& results,
                                       const std::string& notice, const std::string& error) {
      Page(c, status, results, notice, error);
    });
  }
  template <class Work, class Present>
  void Act(Context& c, const std::string& action, const std::vector<host::TerminalAt>& ports, Work work,
           Present present) {
    const accounts::Actor actor = c.Actor();
    accounts::Accounts& accounts = host_.accounts();
    // The facade holds the ports, audits a refusal and each step under the signed-in user, runs
    // `work` on a thread of its own that releases the driver's ports, then lets the ports go.
    const host::AuditWriter audit = [&accounts, actor](const std::string& what, const std::string& details) {
      accounts.Audit(actor, what, details);
    };
    std::vector<Shown> results;
    const host::TerminalActionResult outcome = host::RunTerminalAction(
        *jobs_, action, ports, std::chrono::steady_clock::now() + wait_, audit,
        [&](const host::EnrolmentAuditHook& hook) { results = work(hook); },
        [&](const std::string& problem) { host_.Log("terminal action (" + action + "): " + problem); });
    if (outcome.status == host::TerminalActionResult::Status::kBusy)
      return present(c, 409, {}, "", Say(c.language, "port_busy"));
    if (outcome.status == host::TerminalActionResult::Status::kFailed) {
      host_.Log("terminal action (" + action + ") for " + c.client + ": " + outcome.failure.English());
      return present(c, 500, {}, "", Say(c.language, "enrol_failed") + " " + host::Translate(outcome.failure, c.language));
    }
    const bool done = std::all_of(results.begin(), results.end(), [](const Shown& s) { return s.done; });
    present(c, 200, results, done ? Say(c.language, "enrol_all_done") : "",
            done ? "" : Say(c.language, "enrol_some_failed"));
  }

  const PageHost& host_;
  const RecordsSource& records_;
  host::SyncJobs* jobs_;
  const std::chrono::milliseconds wait_;
};

}  // namespace

std::vector<host::TerminalAt> OfferedTerminals(const host::SyncJobs& jobs, const PageHost& host) {
  return OfferedTerminals(jobs, [&host]() -> db::Database& { return host.database(); });
}

std::vector<host::TerminalAt> OfferedTerminals(const host::SyncJobs& jobs, const std::function<db::Database&()>& database) {
  // The terminals of scanned ports that a sync has reached: this server's last sync and the
  // newest recorded row of each terminal (a database that cannot be read offers none of these).
  std::set<std::pair<int, int>> reached;
  for (const host::TerminalSync& r : jobs.Snapshot().last)
    if (r.terminal > 0) reached.insert({r.port, r.terminal});
  try {
    for (const auto& [at, row] : database().SyncRuns()->LastByTerminal(jobs.site_name()))
      if (at.second > 0) reached.insert(at);
  } catch (const std::exception&) {
  }
  std::vector<host::TerminalAt> offered;
  for (const site::SitePort& port : jobs.site().ports) {
    if (port.terminals.empty()) continue;
    if (!port.scan) {
      for (int t : port.terminals) offered.push_back({port.number, t});
      continue;
    }
    const std::size_t before = offered.size();
    for (const auto& [p, t] : reached)
      if (p == port.number && t >= port.terminals.front() && t <= port.terminals.back()) offered.push_back({p, t});
    // Before any sync has reached one, a small range is offered whole.
    if (offered.size() == before && port.terminals.back() - port.terminals.front() < kOfferedRange)
      for (int t = port.terminals.front(); t <= port.terminals.back(); ++t) offered.push_back({port.number, t});
  }
  return offered;
}

std::vector<Route> EnrolmentsRoutes(const PageHost& host, const RecordsSource& records, host::SyncJobs* jobs,
                                    std::chrono::milliseconds wait) {
  auto actions = std::make_shared<EnrolmentActions>(host, records, jobs, wait);
  return {{"GET", "/enrolments", Access::Page, Action::ViewEnrolments, [actions](Context& c) { actions->Page(c, 200); }},
          {"POST", "/enrolments/backup", Access::Form, Action::BackupEnrolment,
           [actions](Context& c) { actions->Backup(c); }},
          {"POST", "/enrolments/write", Access::Form, Action::WriteEnrolment,
           [actions](Context& c) { actions->Write(c); }},
          {"POST", "/terminals/clear", Access::Form, Action::ClearTerminal, [actions](Context& c) { actions->Clear(c); }}};
}

}  // namespace vanto::web
