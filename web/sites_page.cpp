#include "web/sites_page.h"

#include <chrono>

#include "web/templates.h"

namespace vanto::web {
namespace {

using kainjow::mustache::data;
using kainjow::mustache::list;

constexpr const char* kSite = R"html(<section class="site" id="site-{{name}}">
<h2>{{t.site}} {{name}}</h2>
<p>{{t.last_sync}}: {{last_sync}} · {{t.site_host}}: <span class="site-host">{{host}}</span> · {{t.stale_after}}: {{stale_after}} · {{t.stale_terminals}}: <span class="stale-count">{{stale}}</span> · {{t.open_conflicts}}: {{conflicts}}</p>
<table class="site-terminals">
<thead><tr><th>{{t.port}}</th><th>{{t.terminal}}</th><th>{{t.serial}}</th><th>{{t.last_complete_sync}}{{zone}}</th><th>{{t.conflicting}}</th><th>{{t.quarantined}}</th><th>{{t.swipes}}</th></tr></thead>
<tbody>
{{#terminals}}<tr class="terminal{{#stale}} stale{{/stale}}" data-terminal="{{port}}.{{terminal}}"><td>{{port}}</td><td>{{terminal}}</td><td>{{serial}}</td><td>{{synced}}{{#stale}} <strong class="stale-mark">{{t.stale}}</strong>{{/stale}}</td><td>{{conflicts}}</td><td>{{rejected}}</td><td>{{swipes}}</td></tr>
{{/terminals}}</tbody>
</table>
</section>
)html";

constexpr const char* kSites = R"html({{^sites}}<p id="no-sites">{{t.sites_none}}</p>{{/sites}}{{#sites}}{{{section}}}{{/sites}}
{{#has_pushes}}<h2>{{t.push_heading}}</h2>
<table id="push-endpoints"><thead><tr><th>{{t.push_endpoint}}</th><th>{{t.push_backlog}}</th><th>{{t.push_failures}}</th></tr></thead>
<tbody>{{#pushes}}<tr><td>{{endpoint}}</td><td>{{backlog}}</td><td>{{failures}}</td></tr>{{/pushes}}</tbody></table>{{/has_pushes}}
)html";

std::string Duration(long long seconds) {
  if (seconds % 86400 == 0) return std::to_string(seconds / 86400) + " d";
  if (seconds % 3600 == 0) return std::to_string(seconds / 3600) + " h";
  if (seconds % 60 == 0) return std::to_string(seconds / 60) + " min";
  return std::to_string(seconds) + " s";
}

void SitesPage(const PageHost& host, Context& c) {
  host::SitesOverview overview;
  try {
    overview = host::ReadSitesOverview(host.database(), std::chrono::system_clock::now());
  } catch (const std::exception& e) {
    host.Log("sites page for " + c.client + ": " + e.what());
    return host.Answer(c, 503, Say(c.language, "nav_sites"), "", "",
                       Say(c.language, "store_unreadable") + " " + host::Translate(e, c.language));
  }
  data d;
  list sites;
  for (const host::SiteView& s : overview.sites) {
    data section;
    section.set("section", SiteSection(s, c.language, host.times()));
    sites.push_back(section);
  }
  d.set("sites", sites);
  list pushes;
  for (const host::PushFigures& p : overview.pushes) {
    data row;
    row.set("endpoint", p.endpoint);
    row.set("backlog", std::to_string(p.backlog));
    row.set("failures", std::to_string(p.failures));
    pushes.push_back(row);
  }
  d.set("has_pushes", !overview.pushes.empty());
  d.set("pushes", pushes);
  host.Answer(c, 200, Say(c.language, "nav_sites"), RenderText("sites", kSites, d, c.language));
}

}  // namespace

std::string SiteSection(const host::SiteView& s, Language language, const ShownTimes& times) {
  data d;
  d.set("name", s.name);
  d.set("last_sync", s.last_sync.empty() ? Say(language, "never") : times.Of(s.last_sync));
  d.set("host", s.last_host.empty() ? Say(language, "unknown_host") : s.last_host);
  d.set("stale_after", Duration(s.stale_after));
  d.set("stale", std::to_string(s.stale));
  d.set("conflicts", std::to_string(s.conflicts_open));
  d.set("zone", times.Note(language));
  list terminals;
  for (const host::SiteTerminalView& v : s.terminals) {
    const host::TerminalFigures& t = v.figures;
    data row;
    row.set("port", std::to_string(t.port));
    row.set("terminal", std::to_string(t.terminal));
    row.set("serial", t.identity ? std::to_string(*t.identity) : "-");
    row.set("synced", t.last_complete_sync ? times.Of(*t.last_complete_sync) : Say(language, "never"));
    row.set("stale", v.stale);
    row.set("conflicts", std::to_string(t.conflicts_open));
    row.set("rejected", std::to_string(t.rejected));
    row.set("swipes", std::to_string(t.swipes));
    terminals.push_back(row);
  }
  d.set("terminals", terminals);
  return RenderText("site", kSite, d, language);
}

std::vector<Route> SitesRoutes(const PageHost& host) {
  return {{"GET", "/sites", Access::Page, Action::ViewSites, [&host](Context& c) { SitesPage(host, c); }}};
}

}  // namespace vanto::web
