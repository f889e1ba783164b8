#include "host/metrics.h"

#include <algorithm>
#include <map>

#include "host/calendar.h"
#include "host/db/figures.h"
#include "host/db/push_store.h"

namespace vanto::host {

FigureScope FigureScopeOf(const site::Site& site, const std::string& site_name) {
  FigureScope scope;
  scope.site = site_name;
  for (const site::SitePort& port : site.ports)
    scope.terminals.push_back({port.number, port.scan ? std::vector<int>{} : port.terminals});
  scope.pushes = site.pushes;
  scope.push_site = site_name;
  return scope;
}

std::optional<std::int64_t> UnixSecondsOfUtc(const std::string& utc) {
  // YYYY-MM-DDTHH:MM:SSZ
  if (utc.size() != 20 || utc[4] != '-' || utc[7] != '-' || utc[10] != 'T' || utc[13] != ':' || utc[16] != ':' ||
      utc[19] != 'Z')
    return std::nullopt;
  auto field = [&](std::size_t at, std::size_t length) -> std::optional<int> {
    int value = 0;
    for (std::size_t i = at; i < at + length; ++i) {
      if (utc[i] < '0' || utc[i] > '9') return std::nullopt;
      value = value * 10 + (utc[i] - '0');
    }
    return value;
  };
  const auto year = field(0, 4), month = field(5, 2), day = field(8, 2), hour = field(11, 2), minute = field(14, 2),
             second = field(17, 2);
  if (!year || !month || !day || !hour || !minute || !second || *month < 1 || *month > 12 || *day < 1 ||
      *day > calendar::DaysInMonth(*year, *month) || *hour > 23 || *minute > 59 || *second > 59)
    return std::nullopt;
  return calendar::DaysFromCivil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second;
}

SiteFigures ReadSiteFigures(db::Database& db, const FigureScope& scope, std::chrono::system_clock::time_point now) {
  store::StoreFigures stored;
  {
    auto tables = db.Tables(/*read_only=*/true);
    stored = store::ReadStoreFigures(*tables);
  }
  const auto shown = [&](const store::SitePlace& place) { return scope.every_site || place.site == scope.site; };
  std::map<store::SitePlace, TerminalFigures> terminals;
  auto at = [&](const store::SitePlace& place) -> TerminalFigures& {
    TerminalFigures& t = terminals[place];
    t.site = place.site;
    t.port = place.port;
    t.terminal = place.terminal;
    return t;
  };
  for (const auto& [port, listed] : scope.terminals)
    for (int terminal : listed) at({scope.site, port, terminal});
  const std::int64_t now_seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  for (const auto& [place, ended] : stored.last_complete_sync) {
    if (!shown(place)) continue;
    TerminalFigures& t = at(place);
    if (!ended) continue;
    t.last_complete_sync = *ended;
    if (std::optional<std::int64_t> seconds = UnixSecondsOfUtc(*ended))
      t.last_sync_age_seconds = std::max<std::int64_t>(0, now_seconds - *seconds);
  }
  for (const auto& [place, swipes] : stored.unidentified_swipes)
    if (shown(place)) at(place).swipes += swipes;
  SiteFigures f;
  for (const auto& [place, held] : stored.held) {
    if (!shown(place)) continue;
    TerminalFigures& t = at(place);
    t.rejected = held.rejected;
    t.conflicts_open = held.conflicts_open;
    f.rejected += held.rejected;
    f.conflicts_open += held.conflicts_open;
  }
  // Per place the identity whose last record was stored last; another read there before it (a
  // terminal since replaced) keeps a row of its own for its swipes.
  std::map<store::SitePlace, std::string> current_since;
  std::map<store::SitePlace, std::int64_t> identity_swipes;  // of the current identity
  std::multimap<store::SitePlace, TerminalFigures> earlier;
  for (const auto& [identity, figures] : stored.identities) {
    if (!figures.place || !shown(*figures.place)) continue;  // no swipe of it stored: nowhere to show it
    TerminalFigures& t = at(*figures.place);
    TerminalFigures own;
    own.site = t.site;
    own.port = t.port;
    own.terminal = t.terminal;
    own.identity = identity;
    own.swipes = figures.swipes;
    auto [since, first] = current_since.try_emplace(*figures.place, figures.downloaded_at);
    if (!first && figures.downloaded_at < since->second) {
      earlier.emplace(*figures.place, std::move(own));
      continue;
    }
    if (t.identity) {  // the one it replaces
      TerminalFigures before = own;
      before.identity = t.identity;
      before.swipes = identity_swipes[*figures.place];
      t.swipes -= before.swipes;
      earlier.emplace(*figures.place, std::move(before));
    }
    since->second = figures.downloaded_at;
    t.identity = identity;
    t.swipes += figures.swipes;
    identity_swipes[*figures.place] = figures.swipes;
  }
  for (auto& [place, t] : terminals) {
    f.terminals.push_back(std::move(t));
    auto [from, to] = earlier.equal_range(place);
    for (auto it = from; it != to; ++it) f.terminals.push_back(std::move(it->second));
  }
  if (!scope.pushes.empty()) {
    auto push = db.Push();
    std::map<std::string, store::PushEndpointRow> rows;
    for (store::PushEndpointRow& r : push->Endpoints())
      if (r.site == scope.push_site) rows.emplace(r.name, std::move(r));
    for (const site::SitePush& e : scope.pushes) {
      PushFigures p;
      p.endpoint = e.name;
      if (auto row = rows.find(e.name); row != rows.end()) {
        p.in_store = true;
        p.backlog = push->Backlog(row->second.cursor,
                                  store::PushFilter::Of(e.ports, e.people, e.all_sites, scope.push_site));
        p.failures = row->second.failures;
        p.delivered = row->second.delivered;
      }
      f.pushes.push_back(std::move(p));
    }
  }
  return f;
}

void CheckDatabaseAnswers(db::Database& db) {
  auto tables = db.Tables(/*read_only=*/true);
  store::ReadSchemaVersion(*tables);
}

}  // namespace vanto::host
