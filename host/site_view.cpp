#include "host/site_view.h"

#include <algorithm>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "host/db/push_store.h"
#include "host/db/sites.h"

namespace vanto::host {
namespace {

std::vector<int> IntList(const nlohmann::json& object, const char* key) {
  std::vector<int> list;
  if (auto it = object.find(key); it != object.end() && it->is_array())
    for (const auto& v : *it)
      if (v.is_number_integer()) list.push_back(v.get<int>());
  return list;
}

std::optional<std::string> Text(const nlohmann::json& object, const char* key) {
  if (auto it = object.find(key); it != object.end() && it->is_string() && !it->get<std::string>().empty())
    return it->get<std::string>();
  return std::nullopt;
}

// The site a sync recorded (its settings as JSON, and the zone of its row); what it cannot read
// is left as the site file's default.
site::Site RecordedSite(const std::string& name, const std::string& text, const std::string& row_timezone) {
  site::Site site;
  site.name = name;
  if (!row_timezone.empty()) site.timezone = row_timezone;
  const nlohmann::json settings = nlohmann::json::parse(text.empty() ? "{}" : text, nullptr, false);
  if (!settings.is_object()) return site;
  if (auto zone = Text(settings, "timezone")) site.timezone = zone;
  if (auto starts = Text(settings, "day_starts")) site.day_starts = *starts;
  site.late_after = Text(settings, "late_after");
  if (auto s = settings.find("stale_after"); s != settings.end() && s->is_number_integer() && s->get<long long>() > 0)
    site.stale_after = s->get<long long>();
  if (auto p = settings.find("pending_limit"); p != settings.end() && p->is_number_integer() && p->get<int>() >= 0)
    site.pending_limit = p->get<int>();
  if (auto ports = settings.find("ports"); ports != settings.end() && ports->is_array())
    for (const auto& port : *ports) {
      if (!port.is_object() || !port.contains("number") || !port["number"].is_number_integer()) continue;
      site::SitePort p;
      p.number = port["number"].get<int>();
      p.device = Text(port, "device").value_or("");
      if (port.contains("scan") && port["scan"].is_boolean()) p.scan = port["scan"].get<bool>();
      p.terminals = IntList(port, "terminals");
      p.in_terminals = IntList(port, "in");
      p.out_terminals = IntList(port, "out");
      p.not_collected = IntList(port, "not_collected");
      site.ports.push_back(std::move(p));
    }
  return site;
}

// The parts of a site's settings (its last sync's) the view shows.
void ReadSettings(const std::string& text, SiteView& view) {
  const site::Site site = RecordedSite(view.name, text, "");
  view.stale_after = site.stale_after;
  for (const site::SitePort& port : site.ports) {
    SitePortView p;
    p.number = port.number;
    p.scan = port.scan;
    p.terminals = port.terminals;
    view.ports.push_back(std::move(p));
  }
}

}  // namespace

SitesOverview ReadSitesOverview(db::Database& db, std::chrono::system_clock::time_point now) {
  SitesOverview overview;
  std::vector<store::SiteRow> rows;
  {
    auto tables = db.Tables(/*read_only=*/true);
    rows = store::ListSites(*tables);
  }
  if (rows.empty()) return overview;
  const SiteFigures figures = ReadSiteFigures(db, FigureScope{}, now);
  std::map<std::string, std::vector<const TerminalFigures*>> by_site;
  for (const TerminalFigures& t : figures.terminals) by_site[t.site].push_back(&t);
  for (const store::SiteRow& row : rows) {
    SiteView site;
    site.name = row.name;
    site.timezone = row.timezone;
    site.first_sync = row.first_sync;
    site.last_sync = row.last_sync;
    site.last_host = row.last_host;
    ReadSettings(row.settings, site);
    // The terminals its site file lists, synced or not, and every terminal the database holds of it.
    std::map<std::pair<int, int>, std::vector<SiteTerminalView>> terminals;
    for (const SitePortView& port : site.ports)
      if (!port.scan)
        for (int t : port.terminals) {
          SiteTerminalView v;
          v.figures.site = site.name;
          v.figures.port = port.number;
          v.figures.terminal = t;
          terminals[{port.number, t}].push_back(v);
        }
    // A listed place's row gives way to what the database holds of it.
    std::set<std::pair<int, int>> held;
    for (const TerminalFigures* t : by_site[site.name]) {
      const std::pair<int, int> place{t->port, t->terminal};
      if (held.insert(place).second) terminals[place].clear();
      terminals[place].push_back({*t, false});
    }
    for (auto& [place, views] : terminals)
      for (std::size_t i = 0; i < views.size(); ++i) {
        SiteTerminalView& v = views[i];
        // A replaced terminal (a later row of its place) is history, never stale.
        v.stale = i == 0 && (!v.figures.last_sync_age_seconds || *v.figures.last_sync_age_seconds > site.stale_after);
        site.stale += v.stale;
        site.conflicts_open += v.figures.conflicts_open;
        site.rejected += v.figures.rejected;
        site.terminals.push_back(std::move(v));
      }
    overview.sites.push_back(std::move(site));
  }
  auto push = db.Push();
  for (const store::PushEndpointRow& e : push->Endpoints()) {
    PushFigures p;
    p.endpoint = e.name;
    p.in_store = true;
    p.backlog = push->Backlog(e.cursor, store::PushFilter{});
    p.failures = e.failures;
    p.delivered = e.delivered;
    overview.pushes.push_back(std::move(p));
  }
  return overview;
}

std::vector<std::string> SiteNames(db::Database& db) {
  std::vector<std::string> names;
  auto tables = db.Tables(/*read_only=*/true);
  for (const store::SiteName& row : store::ListSiteNames(*tables)) names.push_back(row.name);
  return names;
}

std::optional<site::Site> SiteAsLastSynced(db::Database& db, const std::string& name) {
  std::vector<store::SiteRow> rows;
  {
    auto tables = db.Tables(/*read_only=*/true);
    rows = store::ListSites(*tables);
  }
  auto row = std::find_if(rows.begin(), rows.end(), [&](const store::SiteRow& r) { return r.name == name; });
  if (row == rows.end() || row->settings.empty()) return std::nullopt;
  return RecordedSite(name, row->settings, row->timezone);
}

std::vector<std::string> SitesNotHeld(db::Database& db, const std::vector<std::string>& names) {
  const std::vector<std::string> held = SiteNames(db);
  std::vector<std::string> missing;
  for (const std::string& name : names)
    if (std::find(held.begin(), held.end(), name) == held.end()) missing.push_back(name);
  return missing;
}

}  // namespace vanto::host
