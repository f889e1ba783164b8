#include "web/terminals_page.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "host/schedule.h"
#include "present/sync_words.h"
#include "host/db/record_store.h"
#include "host/sync_jobs.h"
#include "web/enrolments_page.h"
#include "web/templates.h"

namespace vanto::web {
namespace {

using kainjow::mustache::data;
using kainjow::mustache::list;

constexpr const char* kTerminals = R"html({{#no_site}}<p class="placeholder" id="no-site">{{t.no_site}}</p>{{/no_site}}
<table id="check">
<tbody>
{{#checks}}<tr class="{{state}}"><td>{{state_label}}</td><td>{{text}}</td></tr>{{/checks}}
</tbody>
</table>
<p><a href="/terminals/rejected" id="rejected-link">{{t.rejected}}</a></p>
{{#has_clear}}<h2>{{t.clear_title}}</h2>
<p class="meta">{{t.clear_explained}}</p>
<table id="clear-forms"><tbody>
{{#clear}}<tr><td>{{label}}</td><td><form method="post" action="/terminals/clear" class="inline clear-form" id="clear-{{id}}"><input type="hidden" name="csrf" value="{{csrf}}"><input type="hidden" name="terminal" value="{{value}}">
<label><input type="checkbox" name="understood" value="yes" required> {{t.clear_understood}}</label> <button>{{t.clear_button}}</button></form></td></tr>
{{/clear}}</tbody></table>{{/has_clear}}
)html";

constexpr const char* kRejected = R"html(<h2>{{t.rejected_records}}</h2>
<table id="rejected">
<thead><tr><th>{{t.port}}</th><th>{{t.terminal}}</th><th>{{t.record_index}}</th><th>{{t.person}}</th><th>{{t.as_delivered}}</th><th>{{t.reason}}</th><th>{{t.first_seen}}{{zone}}</th></tr></thead>
<tbody>
{{#rejected}}<tr><td>{{port}}</td><td>{{terminal}}</td><td>{{index}}</td><td>{{person}}</td><td>{{fields}}</td><td>{{reason}}</td><td>{{first_seen}}</td></tr>{{/rejected}}
</tbody>
</table>
<h2>{{t.conflicting_records}}</h2>
<table id="conflicts">
<thead><tr><th>#</th><th>{{t.port}}</th><th>{{t.terminal}}</th><th>{{t.found}}{{zone}}</th><th>{{t.record_key}}</th><th>{{t.as_delivered}}</th><th>{{t.as_stored}}</th><th>{{t.status}}</th></tr></thead>
<tbody>
{{#conflicts}}<tr class="conflict" data-id="{{id}}"><td>{{id}}</td><td>{{port}}</td><td>{{terminal}}</td><td>{{found_at}}</td><td>{{key}}</td><td>{{delivered}}</td><td>{{stored}}</td>
<td>{{#acknowledged}}{{t.acknowledged_by}} {{by}} ({{at}}){{/acknowledged}}{{^acknowledged}}{{#may_acknowledge}}<form method="post" action="/conflicts/acknowledge" class="inline"><input type="hidden" name="csrf" value="{{csrf}}"><input type="hidden" name="id" value="{{id}}"><button class="acknowledge">{{t.acknowledge}}</button></form>{{/may_acknowledge}}{{^may_acknowledge}}{{t.open}}{{/may_acknowledge}}{{/acknowledged}}</td></tr>{{/conflicts}}
</tbody>
</table>
<h2>{{t.doubles_title}}</h2>
<p class="meta">{{t.doubles_explained}}</p>
<table id="doubles">
<thead><tr><th>{{t.port}}</th><th>{{t.terminal}}</th><th>{{t.record_key}}</th><th>{{t.person}}</th><th>{{t.time}}</th><th>{{t.doubles_kept}}</th><th>{{t.doubles_again}}</th></tr></thead>
<tbody>
{{#doubles}}<tr class="double"><td>{{port}}</td><td>{{terminal}}</td><td>{{key}}</td><td>{{person}}</td><td>{{time}}</td><td>{{kept}}</td><td>{{again}}</td></tr>{{/doubles}}
{{^doubles}}<tr><td colspan="7" class="placeholder">{{t.doubles_none}}</td></tr>{{/doubles}}
</tbody>
</table>
{{#may_fold}}<form method="post" action="/conflicts/fold" class="inline" id="fold"><input type="hidden" name="csrf" value="{{csrf}}">
<label><input type="checkbox" name="understood" value="yes" required> {{t.doubles_understood}}</label> <button>{{t.doubles_fold}}</button></form>{{/may_fold}}
)html";

std::string N(std::int64_t n) { return std::to_string(n); }

std::string Two(int n) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", n);
  return text;
}

class TerminalsPage {
 public:
  TerminalsPage(const PageHost& host, host::SyncJobs* jobs, std::optional<std::string> site)
      : host_(host), jobs_(jobs), site_(std::move(site)) {}

  // The check: what can be told without taking a port from a sync (the ports' devices are looked
  // at, not opened).
  void Check(Context& c) const {
    data d;
    list checks;
    auto add = [&](bool ok, const std::string& text, bool warning = false) {
      data row;
      row.set("state", warning ? "warning" : ok ? "synced" : "failed");
      row.set("state_label", Say(c.language, warning ? "check_warn" : ok ? "check_ok" : "check_fail"));
      row.set("text", text);
      checks.push_back(row);
    };
    if (!jobs_) {
      d.set("no_site", true);
    } else {
      const site::Site& site = jobs_->site();
      add(true, Say(c.language, "check_site") + " " + site.path + " (" + N(static_cast<std::int64_t>(site.ports.size())) + " " +
                    Say(c.language, "ports") + ")");
      try {
        // The store names its location as messages do: a server's address without its password.
        const auto opened = host_.database().Swipes();
        add(true, Say(c.language, "check_database") + " " + opened->location());
      } catch (const std::exception& e) {
        add(false, Say(c.language, "check_database") + " " + host::Translate(e, c.language));
      }
      for (const site::SitePort& port : site.ports) {
        std::error_code ec;
        const bool present = std::filesystem::exists(port.device, ec);
        add(present, Say(c.language, "port") + " " + N(port.number) + " (" + port.device + "): " +
                         Say(c.language, present ? "device_present" : "cause_missing"));
      }
      if (site.sync_every)
        add(true, Say(c.language, "check_schedule") + " " + N(site.sync_every->count()) + " s");
      if (auto both = host::BothSchedules(site)) add(false, host::BothSchedulesText(c.language, *both), true);
      if (Allowed(c.who->user.role, Action::ClearTerminal)) {
        list forms;
        for (const host::TerminalAt& at : OfferedTerminals(*jobs_, host_)) {
          data f;
          f.set("value", N(at.port) + "." + N(at.terminal));
          f.set("id", N(at.port) + "-" + N(at.terminal));
          f.set("label", Say(c.language, "port") + " " + N(at.port) + " · " + Say(c.language, "terminal") + " " + N(at.terminal));
          f.set("csrf", c.who->session.csrf);
          forms.push_back(f);
        }
        d.set("has_clear", !forms.empty());
        d.set("clear", forms);
      }
    }
    d.set("checks", checks);
    host_.Answer(c, 200, Say(c.language, "nav_terminals"), RenderText("terminals", kTerminals, d, c.language));
  }

  void Rejected(Context& c, int status = 200, const std::string& notice = "", const std::string& error = "") const {
    data d;
    d.set("zone", host_.times().Note(c.language));
    list rejected, conflicts, doubles;
    std::string problem = error;
    bool unreadable = false;
    if (!jobs_) {
      problem = Say(c.language, "no_site");
    } else {
      try {
        std::unique_ptr<store::SwipeStore> store = host_.database().Swipes();
        for (const store::RejectedRecord& r : store->Rejected(site_)) {
          data row;
          row.set("port", N(r.port));
          row.set("terminal", N(r.terminal));
          row.set("index", N(r.index));
          row.set("person", N(r.person));
          row.set("fields", N(r.year) + "-" + Two(r.month) + "-" + Two(r.day) + " " + Two(r.hour) + ":" + Two(r.minute));
          row.set("reason", r.reason);
          row.set("first_seen", host_.times().Of(r.first_seen));
          rejected.push_back(row);
        }
        // Each double: where each copy was read and under which epoch (the kept one stays).
        auto where = [&](const store::StoredSwipe& s) {
          return Say(c.language, "port") + " " + N(s.port) + " · " + Say(c.language, "epoch") + " " + N(s.epoch) + " · " +
                 host_.times().Of(s.downloaded_at);
        };
        for (const store::StoredDouble& x : store->Doubles()) {
          data row;
          row.set("port", N(x.doubled.port));
          row.set("terminal", N(x.doubled.terminal));
          row.set("key", N(x.doubled.identity.value_or(0)) + "/" + N(x.doubled.generation.value_or(0)) + " #" +
                             N(x.doubled.index.value_or(0)));
          row.set("person", N(x.doubled.person));
          row.set("time", x.doubled.time);
          row.set("kept", where(x.kept));
          row.set("again", where(x.doubled));
          doubles.push_back(row);
        }
        const bool may = Allowed(c.who->user.role, Action::AcknowledgeConflict);
        for (const store::RecordConflict& r : store->Conflicts(true, site_)) {
          data row;
          row.set("id", N(r.id));
          row.set("port", N(r.port));
          row.set("terminal", N(r.terminal));
          row.set("found_at", host_.times().Of(r.found_at));
          row.set("key", N(r.log.identity) + "/" + N(r.log.generation) + "/" + N(r.log.epoch) + " #" + N(r.index));
          row.set("delivered", N(r.person) + " " + r.time);
          row.set("stored", N(r.stored_person) + " " + r.stored_time + " (" + Say(c.language, "port") + " " +
                                N(r.stored_port) + ", " + Say(c.language, "terminal") + " " + N(r.stored_terminal) + ")");
          row.set("acknowledged", r.acknowledged);
          row.set("by", r.acknowledged_by);
          row.set("at", host_.times().Of(r.acknowledged_at));
          row.set("may_acknowledge", may);
          row.set("csrf", c.who->session.csrf);
          conflicts.push_back(row);
        }
      } catch (const std::exception& e) {
        host_.Log("terminals: " + std::string(e.what()));
        problem = Say(c.language, "store_unreadable") + " " + host::Translate(e, c.language);
        unreadable = true;
      }
    }
    d.set("rejected", rejected);
    d.set("conflicts", conflicts);
    d.set("doubles", doubles);
    d.set("may_fold", !doubles.empty() && Allowed(c.who->user.role, Action::FoldDoubles));
    d.set("csrf", c.who->session.csrf);
    std::string shown = notice;
    if (shown.empty() && c.req.has_param("done")) {
      const std::string done = c.req.get_param_value("done");
      if (done == "acknowledged") shown = Say(c.language, "done_acknowledged");
      if (done == "folded") shown = Say(c.language, "done_folded");
    }
    host_.Answer(c, unreadable ? 503 : status, Say(c.language, "rejected"),
                 RenderText("rejected", kRejected, d, c.language), shown, problem);
  }

  void Acknowledge(Context& c) const {
    if (!jobs_) return host_.Refuse(c, 409, "no_site", "/terminals");
    const std::string text = Field(c.req, "id");
    if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), [](unsigned char ch) { return std::isdigit(ch); }))
      return Rejected(c, 400, "", Say(c.language, "bad_request"));
    if (!host_.accounts().AcknowledgeConflict(c.Actor(), std::stoll(text)))
      return Rejected(c, 404, "", Say(c.language, "no_such_conflict"));
    c.res.set_redirect("/terminals/rejected?done=acknowledged", 303);
  }

  // Folds every double (the same as `vanto conflicts fold`): the first stored stays, each other
  // copy leaves the store and the feed withdraws it; audited with the fold, in its transaction.
  void Fold(Context& c) const {
    if (!jobs_) return host_.Refuse(c, 409, "no_site", "/terminals");
    if (Field(c.req, "understood") != "yes") return Rejected(c, 400, "", Say(c.language, "doubles_confirm"));
    try {
      host_.database().Swipes()->FoldDoubles(
          {store::UtcNowText(), c.who->user.name, c.client, "swipes.fold", "doubles stored under two epochs"});
    } catch (const std::exception& e) {
      host_.Log("fold: " + std::string(e.what()));
      return Rejected(c, 503, "", Say(c.language, "store_unreadable") + " " + host::Translate(e, c.language));
    }
    c.res.set_redirect("/terminals/rejected?done=folded", 303);
  }

 private:
  const PageHost& host_;
  host::SyncJobs* jobs_;
  const std::optional<std::string> site_;  // the serving site's rows (none: every row)
};

}  // namespace

std::vector<Route> TerminalsRoutes(const PageHost& host, host::SyncJobs* sync, std::optional<std::string> site) {
  auto page = std::make_shared<TerminalsPage>(host, sync, std::move(site));
  return {
      {"GET", "/terminals", Access::Page, Action::ViewTerminals, [page](Context& c) { page->Check(c); }},
      {"GET", "/terminals/rejected", Access::Page, Action::ViewRejected, [page](Context& c) { page->Rejected(c); }},
      {"POST", "/conflicts/acknowledge", Access::Form, Action::AcknowledgeConflict,
       [page](Context& c) { page->Acknowledge(c); }},
      {"POST", "/conflicts/fold", Access::Form, Action::FoldDoubles, [page](Context& c) { page->Fold(c); }},
  };
}

}  // namespace vanto::web
