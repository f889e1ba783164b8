#include "web/dashboard_page.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include <nlohmann/json.hpp>

#include "host/db/record_store.h"
#include "host/facade.h"
#include "host/push/push.h"
#include "present/recorded_words.h"
#include "host/db/sync_runs.h"
#include "host/sync_jobs.h"
#include "present/sync_words.h"
#include "host/metrics.h"
#include "host/site_view.h"
#include "web/sites_page.h"
#include "web/templates.h"

namespace vanto::web {
namespace {

using kainjow::mustache::data;
using kainjow::mustache::list;

constexpr std::size_t kRecentRuns = 10;
// How long an event stream waits for a change before it sends a keep-alive, and how soon the
// browser reconnects when a held stream ends (its life or idle bound).
constexpr std::chrono::seconds kStreamBeat{5};
constexpr std::chrono::seconds kStreamRetry{3};
// How long a stream waits for a change before it looks whether its client is still there.
constexpr std::chrono::milliseconds kStreamSlice{1000};

constexpr const char* kDashboard = R"html(<script src="/static/dashboard.js" defer></script>
<section id="sync-now">
{{#no_site}}<p class="placeholder" id="no-site">{{t.no_site}}</p>{{/no_site}}
<div id="progress" data-finished="{{finished}}"{{^running}} hidden{{/running}}>
<p id="sync-state" role="status">{{#running}}{{t.sync_running}}{{/running}}</p>
<ul>{{#progress}}<li>{{t.port}} {{port}}: <span class="progress" id="progress-{{port}}">{{text}}</span></li>{{/progress}}</ul>
<p><a href="/dashboard">{{t.refresh}}</a></p>
</div>
{{#may_sync}}
<form method="post" action="/sync" class="inline" id="sync-site"><input type="hidden" name="csrf" value="{{csrf}}"><button id="sync-site-button">{{t.sync_site}}</button></form>
{{/may_sync}}
</section>
{{#ports}}
<h2 id="port-{{number}}">{{t.port}} {{number}} <small>{{device}}</small></h2>
{{#may_sync}}<form method="post" action="/sync" class="inline sync-port"><input type="hidden" name="csrf" value="{{csrf}}"><input type="hidden" name="port" value="{{number}}"><button>{{t.sync_port}} {{number}}</button></form>{{/may_sync}}
<table class="terminals" id="terminals-{{number}}">
<thead><tr><th>{{t.terminal}}</th><th>{{t.last_sync}}{{zone}}</th><th>{{t.outcome}}</th><th>{{t.cause}}</th><th>{{t.new_records}}</th><th>{{t.held_capacity}}</th><th>{{t.clock}}</th><th>{{t.quarantined}}</th><th>{{t.conflicting}}</th></tr></thead>
<tbody>
{{#terminals}}<tr class="terminal" data-port="{{port}}" data-terminal="{{terminal}}">
<td>{{terminal_label}}</td><td>{{when}}</td><td class="{{outcome}}">{{outcome_label}}</td><td class="cause" data-code="{{cause_code}}">{{cause}}</td>
<td class="new">{{added}}</td><td>{{held}}</td><td class="clock{{#clock_off}} clock-off{{/clock_off}}" data-drift="{{drift}}"{{#clock_off}} title="{{t.clock_off_hint}}"{{/clock_off}}>{{clock}}</td><td class="quarantined">{{quarantined}}</td><td class="conflicting">{{conflicts}}</td>
</tr>{{/terminals}}
</tbody>
</table>
{{/ports}}
<h2>{{t.recent_runs}}</h2>
<table id="runs">
<thead><tr><th>{{t.run}}</th><th>{{t.started}}{{zone}}</th><th>{{t.ended}}{{zone}}</th><th>{{t.started_by}}</th><th>{{t.ports_heading}}</th><th>{{t.synced}}</th><th>{{t.new_records}}</th></tr></thead>
<tbody>
{{#runs}}<tr class="run"><td>{{id}}</td><td>{{started_at}}</td><td>{{ended_at}}</td><td class="by">{{by}}</td><td>{{ports}}</td><td>{{synced}}</td><td class="new">{{added}}</td></tr>{{/runs}}
</tbody>
</table>
{{#has_pushes}}
<h2>{{t.push_heading}}</h2>
<table id="pushes">
<thead><tr><th>{{t.push_endpoint}}</th><th>{{t.push_backlog}}</th><th>{{t.push_last_success}}{{zone}}</th><th>{{t.push_last_error}}</th><th>{{t.push_next_attempt}}{{zone}}</th></tr></thead>
<tbody>
{{#pushes}}<tr class="push{{#failing}} failing{{/failing}}{{#misconfigured}} misconfigured{{/misconfigured}}" data-name="{{name}}"><td>{{name}}</td><td class="backlog">{{backlog}}</td><td>{{last_success}}</td><td class="error">{{last_error}}</td><td>{{next_attempt}}</td></tr>{{/pushes}}
</tbody>
</table>
{{#push_problems}}<p class="push-problem">{{t.push_misconfigured}} {{text}}</p>{{/push_problems}}
{{/has_pushes}}
)html";

// Follows the sync's progress; reloads the page when a sync ends so its rows show.
constexpr const char* kDashboardScript = R"js("use strict";
(function () {
  var box = document.getElementById("progress");
  if (!box || !window.EventSource) return;
  var finished = box.getAttribute("data-finished");
  var source = new EventSource("/sync/events");
  source.addEventListener("progress", function (event) {
    var state = JSON.parse(event.data);
    if (String(state.finished) !== finished) {
      source.close();
      window.location.replace("/dashboard");
      return;
    }
    box.hidden = !state.running;
    document.getElementById("sync-state").textContent = state.state;
    var list = box.querySelector("ul");
    state.ports.forEach(function (port) {
      var span = document.getElementById("progress-" + port.port);
      if (!span) {
        var item = document.createElement("li");
        item.textContent = state.port_word + " " + port.port + ": ";
        span = document.createElement("span");
        span.className = "progress";
        span.id = "progress-" + port.port;
        item.appendChild(span);
        list.appendChild(item);
      }
      span.textContent = port.text;
    });
  });
})();
)js";

std::string Number(std::int64_t n) { return std::to_string(n); }

// A span of seconds in at most two units: "2 d 3 h", "5 min 7 s", "40 s".
std::string SpanText(Language language, std::int64_t seconds) {
  struct Unit {
    std::int64_t seconds;
    const char* word;
  };
  constexpr Unit kUnits[] = {{86400, "unit_day"}, {3600, "unit_hour"}, {60, "unit_minute"}, {1, "unit_second"}};
  const char* gap = language == Language::kChinese ? "" : " ";
  std::string text;
  int shown = 0;
  for (const Unit& unit : kUnits) {
    const std::int64_t n = seconds / unit.seconds;
    if (n == 0 && !(unit.seconds == 1 && shown == 0)) {
      if (shown) break;  // "2 d 0 h" says no more than "2 d"
      continue;
    }
    seconds -= n * unit.seconds;
    text += (shown ? gap : "") + Number(n) + gap + Say(language, unit.word);
    if (++shown == 2) break;
  }
  return text;
}

// A drift as words: "5 min 7 s ahead", "40 s behind", "in step".
std::string DriftWords(Language language, std::int64_t drift) {
  if (drift == 0) return Say(language, "clock_in_step");
  const std::string span = SpanText(language, drift < 0 ? -drift : drift);
  const std::string side = Say(language, drift > 0 ? "clock_ahead" : "clock_behind");
  return language == Language::kChinese ? side + span : span + " " + side;
}

const char* StarterWord(store::RunStarter by) {
  switch (by) {
    case store::RunStarter::Command: return "by_command";
    case store::RunStarter::Timer: return "by_timer";
    case store::RunStarter::Console: return "by_console";
    case store::RunStarter::Schedule: return "by_schedule";
  }
  return "by_command";
}

std::string ProgressText(Language language, const host::PortProgress& p) {
  using Stage = host::PortProgress::Stage;
  const std::string terminal = Say(language, "terminal") + " " + Number(p.terminal) + " (" + Number(static_cast<std::int64_t>(p.index)) +
                               "/" + Number(static_cast<std::int64_t>(p.count)) + ")";
  switch (p.stage) {
    case Stage::kScanning: return Say(language, "progress_scanning") + " " + Number(p.first) + "-" + Number(p.last);
    case Stage::kStarting: return terminal + ": " + Say(language, "progress_starting");
    case Stage::kReading: return terminal + ": " + Number(p.records) + " " + Say(language, "progress_records");
    case Stage::kDone: return Say(language, "progress_done");
  }
  return "";
}

// The running sync's progress, a port at a time (the ports not begun yet: waiting).
std::vector<std::pair<int, std::string>> Progress(Language language, const host::SyncJobs& jobs,
                                                  const host::SyncJobs::State& state) {
  std::vector<std::pair<int, std::string>> ports;
  if (!state.running) return ports;
  for (const site::SitePort& port : jobs.site().ports) {
    if (state.port && *state.port != port.number) continue;
    auto found = state.ports.find(port.number);
    ports.emplace_back(port.number, found == state.ports.end() ? Say(language, "progress_waiting")
                                                               : ProgressText(language, found->second));
  }
  return ports;
}

// The port number of the form into `port` (empty: the whole site); false when it is no port number.
bool PortField(const std::string& text, std::optional<int>& port) {
  port.reset();
  if (text.empty()) return true;
  if (text.size() > 3 || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
    return false;
  port = std::stoi(text);
  return true;
}

// The progress streams held open, by session and by user, against their caps.
class StreamSlots : public std::enable_shared_from_this<StreamSlots> {
 public:
  explicit StreamSlots(const StreamLimits& limits) : limits_(limits) {}

  // A slot for one more stream of `session` (of `user`), released when its last copy goes; null
  // when a cap is reached.
  std::shared_ptr<void> Take(const std::string& session, const std::string& user) {
    std::lock_guard lock(mutex_);
    if (total_ >= limits_.total || by_session_[session] >= limits_.per_session || by_user_[user] >= limits_.per_user) {
      Forget(session, user);
      return nullptr;
    }
    ++total_, ++by_session_[session], ++by_user_[user];
    std::shared_ptr<StreamSlots> self = shared_from_this();
    return std::shared_ptr<void>(self.get(), [self, session, user](void*) {
      std::lock_guard lock(self->mutex_);
      --self->total_, --self->by_session_[session], --self->by_user_[user];
      self->Forget(session, user);
    });
  }

 private:
  // No entry stays for a session or user that holds no stream.
  void Forget(const std::string& session, const std::string& user) {
    if (auto it = by_session_.find(session); it != by_session_.end() && it->second == 0) by_session_.erase(it);
    if (auto it = by_user_.find(user); it != by_user_.end() && it->second == 0) by_user_.erase(it);
  }

  const StreamLimits limits_;
  std::mutex mutex_;
  std::size_t total_ = 0;
  std::map<std::string, std::size_t> by_session_, by_user_;
};

class Dashboard {
 public:
  Dashboard(const PageHost& host, host::SyncJobs* jobs, const StreamLimits& limits)
      : host_(host), jobs_(jobs), limits_(limits), slots_(std::make_shared<StreamSlots>(limits)) {}

  void Page(Context& c, int status = 200, const std::string& notice = "", const std::string& error = "") const {
    data d;
    d.set("zone", host_.times().Note(c.language));
    d.set("csrf", c.who->session.csrf);
    if (!c.own_site) return OtherSite(c);
    const bool may_sync = jobs_ && Allowed(c.who->user.role, Action::Sync);
    d.set("may_sync", may_sync);
    if (!jobs_) {
      d.set("no_site", true);
      d.set("finished", "0");
      d.set("ports", list());
      d.set("runs", list());
      return host_.Answer(c, status, Say(c.language, "nav_dashboard"), RenderText("dashboard", kDashboard, d, c.language), notice, error);
    }
    host::SyncJobs::State state = jobs_->Snapshot();
    d.set("finished", std::to_string(state.finished));
    d.set("running", state.running);
    list progress;
    for (const auto& [port, text] : Progress(c.language, *jobs_, state)) {
      data p;
      p.set("port", Number(port));
      p.set("text", text);
      progress.push_back(p);
    }
    d.set("progress", progress);

    std::string problem;
    std::map<std::pair<int, int>, store::LastSync> last;
    std::vector<store::SyncRun> runs;
    std::map<std::pair<int, int>, std::int64_t> quarantined, conflicts;
    try {
      db::Database& database = host_.database();
      {
        auto record = database.SyncRuns();
        last = record->LastByTerminal(jobs_->site_name());
        runs = record->Recent(kRecentRuns, c.site);  // the chosen site's runs (the serving host's own)
      }
      host::FigureScope scope;
      scope.site = c.site.value_or("");
      scope.every_site = false;
      for (const host::TerminalFigures& t : host::ReadSiteFigures(database, scope, std::chrono::system_clock::now()).terminals) {
        quarantined[{t.port, t.terminal}] += t.rejected;
        conflicts[{t.port, t.terminal}] += t.conflicts_open;
      }
    } catch (const std::exception& e) {
      host_.Log("dashboard: " + std::string(e.what()));
      problem = Say(c.language, "store_unreadable") + " " + host::Translate(e, c.language);
    }

    list ports;
    for (const site::SitePort& port : jobs_->site().ports) {
      std::set<int> terminals;
      if (!port.scan) terminals.insert(port.terminals.begin(), port.terminals.end());
      std::int64_t newest = 0;
      for (const auto& [key, sync] : last)
        if (key.first == port.number && key.second != 0) terminals.insert(key.second), newest = std::max(newest, sync.run);
      list rows;
      // The port's own failure (no terminal reached) when it is newer than any terminal's sync.
      if (auto own = last.find({port.number, 0}); own != last.end() && own->second.run > newest)
        rows.push_back(Row(c.language, port.number, 0, &own->second, 0, 0));
      for (int t : terminals) {
        auto found = last.find({port.number, t});
        rows.push_back(Row(c.language, port.number, t, found == last.end() ? nullptr : &found->second,
                           quarantined[{port.number, t}], conflicts[{port.number, t}]));
      }
      data p;
      p.set("number", Number(port.number));
      p.set("device", port.device);
      p.set("terminals", rows);
      p.set("may_sync", may_sync);
      p.set("csrf", c.who->session.csrf);
      ports.push_back(p);
    }
    d.set("ports", ports);

    list run_rows;
    for (const store::SyncRun& r : runs) {
      std::int64_t added = 0, synced = 0;
      for (const store::RunTerminal& t : r.terminals) added += t.added, synced += t.outcome == "synced";
      data row;
      row.set("id", Number(r.id));
      row.set("started_at", host_.times().Of(r.started_at));
      row.set("ended_at", r.ended_at ? host_.times().Of(*r.ended_at) : Say(c.language, "unfinished"));
      row.set("by", Say(c.language, StarterWord(r.started_by)) + (r.who.empty() ? "" : " (" + r.who + ")"));
      row.set("ports", r.ports);
      row.set("synced", Number(synced) + "/" + Number(static_cast<std::int64_t>(r.terminals.size())));
      row.set("added", Number(added));
      run_rows.push_back(row);
    }
    d.set("runs", run_rows);
    // A [[push]] table too wrong to name its endpoint is shown below the endpoints.
    list push_problems;
    for (const site::SiteProblem& p : jobs_->site().problems)
      if (p.part == site::SitePart::kPush && p.endpoint.empty()) {
        data row;
        row.set("text", host::PushProblemText(c.language, p.message));
        push_problems.push_back(row);
      }
    d.set("has_pushes", !jobs_->site().pushes.empty() || !push_problems.empty());
    d.set("push_problems", push_problems);
    d.set("pushes", PushRows(c.language, problem));
    std::string shown = notice;
    if (shown.empty() && c.req.has_param("sync") && c.req.get_param_value("sync") == "started")
      shown = Say(c.language, "sync_started");
    // A database that cannot be read (locked past the wait, its server gone): 503, with the cause.
    host_.Answer(c, problem.empty() ? status : 503, Say(c.language, "nav_dashboard"),
                 RenderText("dashboard", kDashboard, d, c.language), shown, error.empty() ? problem : error);
  }

  // Another site than the serving host's own: its terminals' figures, read-only, naming the host
  // that runs them (no sync, no progress: that host's console has them).
  void OtherSite(Context& c) const {
    std::string body;
    try {
      for (const host::SiteView& s : host::ReadSitesOverview(host_.database(), std::chrono::system_clock::now()).sites)
        if (c.site && s.name == *c.site) body = SiteSection(s, c.language, host_.times());
    } catch (const std::exception& e) {
      host_.Log("dashboard: " + std::string(e.what()));
      return host_.Answer(c, 503, Say(c.language, "nav_dashboard"), "", "",
                          Say(c.language, "store_unreadable") + " " + host::Translate(e, c.language));
    }
    const std::string note = Say(c.language, "site_read_only") + " " + Say(c.language, "site_host") + ": " +
                             (c.site_host.empty() ? Say(c.language, "unknown_host") : c.site_host) + ".";
    host_.Answer(c, 200, Say(c.language, "nav_dashboard"), body, note);
  }

  // Each push endpoint of the site as the store has it (nothing when the site names none).
  list PushRows(Language language, std::string& problem) const {
    list rows;
    if (jobs_->site().pushes.empty()) return rows;
    push::PushOptions options;
    options.database = jobs_->database();
    push::UseSiteEndpoints(options, jobs_->site());
    options.site = jobs_->site_name();
    std::vector<push::EndpointStatus> all;
    try {
      all = push::Status(options);
    } catch (const std::exception& e) {
      host_.Log("dashboard: " + std::string(e.what()));
      if (problem.empty()) problem = Say(language, "store_unreadable") + " " + host::Translate(e, language);
    }
    for (const push::EndpointStatus& s : all) {
      data row;
      row.set("name", s.name);
      row.set("backlog", s.in_store ? Number(s.backlog) : Say(language, "push_not_yet"));
      row.set("last_success", s.last_success.empty() ? "" : host_.times().Of(s.last_success));
      // A misconfigured endpoint: why, from the site file (nothing is sent to it until it is mended).
      row.set("last_error", !s.problem.empty()      ? Say(language, "push_misconfigured") + " " +
                                                             host::PushProblemText(language, s.problem)
                            : s.last_error.empty() ? ""
                                                   : host_.times().Of(s.last_error_at) + " " +
                                                         host::PushErrorText(language, s.last_error));
      row.set("failing", s.failures > 0 || !s.problem.empty());
      row.set("misconfigured", !s.problem.empty());
      row.set("next_attempt", s.next_attempt > 0 ? host_.times().Of(s.next_attempt) : std::string());
      rows.push_back(row);
    }
    return rows;
  }

  void SyncNow(Context& c) const {
    if (!jobs_) return host_.Refuse(c, 409, "no_site");
    std::optional<int> port;
    if (!PortField(Field(c.req, "port"), port)) return Page(c, 400, "", Say(c.language, "bad_request"));
    if (port && !jobs_->site().Port(*port)) return Page(c, 404, "", Say(c.language, "no_such_port"));
    const accounts::Actor actor = c.Actor();
    accounts::Accounts& accounts = host_.accounts();
    const PageHost& host = host_;
    // The facade audits the intent, the outcome and a refusal under the signed-in user.
    const host::AuditWriter audit = [&accounts, actor](const std::string& action, const std::string& details) {
      accounts.Audit(actor, action, details);
    };
    const host::ProblemSink audit_failed = [&host](const std::string& problem) {
      host.Log("the audit trail could not record a sync: " + problem);
    };
    const host::SyncJobs::Start started =
        host::StartSync(*jobs_, store::RunStarter::Console, actor.name, port, audit, audit_failed);
    if (started != host::SyncJobs::Start::Started) {
      // Busy with no sync running: an action on terminals holds a port of it.
      const char* word = started == host::SyncJobs::Start::Stopping ? "server_stopping"
                         : jobs_->Snapshot().running                ? "sync_busy"
                                                                    : "port_busy";
      return Page(c, 409, "", Say(c.language, word));
    }
    c.res.set_redirect("/dashboard?sync=started", 303);
  }

  // The sync's progress as server-sent events: an event now, and while a sync runs (and the
  // session, its user and the server hold fewer streams than their caps) an event at each change
  // with keep-alives, until the sync ends, nothing changed for the idle bound, the stream's life
  // ends or the client goes. Otherwise that one event alone, and the browser asks again later:
  // an open dashboard holds no stream (nor a server thread) while nothing runs.
  void Events(Context& c) const {
    if (!jobs_) return host_.Refuse(c, 409, "no_site");
    const Language language = c.language;
    host::SyncJobs* jobs = jobs_;
    const host::SyncJobs::State now = jobs->Snapshot();
    std::shared_ptr<void> slot = now.running ? slots_->Take(c.who->session.token_hash, c.who->user.name) : nullptr;
    c.res.set_header("X-Accel-Buffering", "no");
    if (!slot) {
      c.res.set_content(Event(language, *jobs, now, limits_.poll), "text/event-stream");
      return;
    }
    const auto start = std::chrono::steady_clock::now();
    const StreamLimits limits = limits_;
    auto seen = std::make_shared<std::optional<std::uint64_t>>();
    // When the state last changed, and when the stream last sent anything.
    auto changed = std::make_shared<std::chrono::steady_clock::time_point>(start);
    auto sent = std::make_shared<std::chrono::steady_clock::time_point>(start);
    c.res.set_chunked_content_provider(
        "text/event-stream", [jobs, language, start, limits, seen, changed, sent, slot](std::size_t, httplib::DataSink& sink) {
          const auto at = std::chrono::steady_clock::now();
          // A client gone is seen within a slice (its slot freed), not at the next keep-alive.
          if (at - start >= limits.life || at - *changed >= limits.idle || !sink.is_writable()) {
            sink.done();
            return true;
          }
          host::SyncJobs::State state = *seen ? jobs->WaitFor(**seen, kStreamSlice) : jobs->Snapshot();
          const auto now = std::chrono::steady_clock::now();
          if (*seen && state.version == **seen) {
            if (now - *sent < kStreamBeat) return true;  // nothing to send yet
            *sent = now;
            return sink.write(": alive\n\n", 9);
          }
          *seen = state.version;
          *changed = *sent = now;
          const std::string message = Event(language, *jobs, state, kStreamRetry);
          if (!sink.write(message.data(), message.size())) return false;
          if (!state.running) sink.done();  // the sync ended: the page reloads
          return true;
        });
  }

  // One progress event, with how soon the browser reconnects when the stream ends.
  static std::string Event(Language language, const host::SyncJobs& jobs, const host::SyncJobs::State& state,
                           std::chrono::seconds retry) {
    nlohmann::json ports = nlohmann::json::array();
    for (const auto& [port, text] : Progress(language, jobs, state)) ports.push_back({{"port", port}, {"text", text}});
    nlohmann::json event = {{"running", state.running},
                            {"finished", state.finished},
                            {"state", state.running ? Say(language, "sync_running") : ""},
                            {"port_word", Say(language, "port")},
                            {"ports", ports}};
    return "retry: " + std::to_string(retry.count() * 1000) + "\nevent: progress\ndata: " + event.dump() + "\n\n";
  }

 private:
  data Row(Language language, int port, int terminal, const store::LastSync* sync, std::int64_t quarantined,
           std::int64_t conflicts) const {
    data row;
    row.set("port", Number(port));
    row.set("terminal", Number(terminal));
    row.set("terminal_label", terminal ? Number(terminal) : Say(language, "whole_port"));
    row.set("quarantined", Number(quarantined));
    row.set("conflicts", Number(conflicts));
    if (!sync) {
      row.set("when", Say(language, "never_synced"));
      row.set("outcome", "never");
      row.set("outcome_label", "-");
      row.set("added", "-");
      row.set("held", "-");
      row.set("clock", "-");
      return row;
    }
    const store::RunTerminal& t = sync->terminal;
    row.set("when", host_.times().Of(sync->ended_at));
    row.set("outcome", t.outcome);
    row.set("outcome_label", Say(language, "outcome_" + t.outcome));
    row.set("cause_code", t.cause_code);
    // One text: the cause in the reader's language (it names what failed), else its label.
    const std::string cause = host::CauseText(language, t);
    if (!cause.empty()) row.set("cause", cause);
    else if (!t.cause_code.empty()) row.set("cause", CauseWords(language, t.cause_code));
    row.set("added", Number(t.added));
    row.set("held", t.capacity ? Number(t.held) + " / " + Number(t.capacity) : "-");
    row.set("clock", ClockText(language, t));
    if (t.clock_drift) {
      row.set("drift", Number(*t.clock_drift));
      const std::int64_t off = *t.clock_drift < 0 ? -*t.clock_drift : *t.clock_drift;
      if (t.clock == "read" && jobs_ && off > jobs_->site().clock.warn_drift_above) row.set("clock_off", true);
    }
    return row;
  }

  static std::string ClockText(Language language, const store::RunTerminal& t) {
    if (t.clock == "none") return Say(language, "clock_none");
    if (t.clock == "invalid") return Say(language, "clock_invalid");
    if (t.clock == "read" && t.clock_drift) return DriftWords(language, *t.clock_drift);
    if (t.clock == "set")
      return (t.clock_drift ? Say(language, "clock_was") + " " + DriftWords(language, *t.clock_drift)
                            : Say(language, "clock_invalid")) +
             (language == Language::kChinese ? "；" : "; ") + Say(language, "clock_set");
    return "-";
  }

  const PageHost& host_;
  host::SyncJobs* jobs_;
  const StreamLimits limits_;
  std::shared_ptr<StreamSlots> slots_;
};

}  // namespace

std::string CauseWords(Language language, const std::string& code) {
  static const std::set<std::string> kKnown = {"missing", "permission", "busy",  "not-serial", "setting",
                                               "open",    "line",       "no-terminal", "terminal", "download",
                                               "store",   "host",       "quarantined", "cancelled", "conflict", "clone"};
  if (!kKnown.count(code)) return code;
  return Say(language, "cause_" + code);
}

std::vector<Route> DashboardRoutes(const PageHost& host, host::SyncJobs* sync, const StreamLimits& streams) {
  auto page = std::make_shared<Dashboard>(host, sync, streams);
  return {
      {"GET", "/dashboard", Access::Page, Action::ViewDashboard, [page](Context& c) { page->Page(c); }},
      {"POST", "/sync", Access::Form, Action::Sync, [page](Context& c) { page->SyncNow(c); }},
      {"GET", "/sync/events", Access::Form, Action::ViewDashboard, [page](Context& c) { page->Events(c); }},
      {"GET", "/static/dashboard.js", Access::Public, Action::ViewDashboard,
       [](Context& c) { c.res.set_content(kDashboardScript, "text/javascript; charset=utf-8"); }},
  };
}

}  // namespace vanto::web
