// The view over every site of a database: each site with the ports and terminals its last sync ran
// with, the host that ran it, each terminal's last complete sync (stale when older than the site's
// `stale_after`, or never), its open conflicts and rejected records, and the push endpoints'
// backlog as the database knows them. `vanto site list` and the console's Sites page present it;
// its terminal figures are host/metrics.h's.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/db/database.h"
#include "host/metrics.h"
#include "host/site/site.h"

namespace vanto::host {

struct SitePortView {
  int number = 0;
  std::vector<int> terminals;  // as listed in its site file (a scanned port: the range it scans)
  bool scan = false;
};

struct SiteTerminalView {
  TerminalFigures figures;  // its site, place, identity, last complete sync, swipes, held records
  bool stale = false;       // not synced completely within the site's stale_after (or never)
};

struct SiteView {
  std::string name;
  std::string timezone;    // as its last sync ran ('' the host's, or never synced)
  std::string first_sync;  // UTC; '' never synced
  std::string last_sync;
  std::string last_host;   // the host that ran its last sync ('' not known)
  long long stale_after = 86400;  // seconds, as its last sync's site file said
  std::vector<SitePortView> ports;
  std::vector<SiteTerminalView> terminals;  // by port, then terminal
  std::int64_t conflicts_open = 0;
  std::int64_t rejected = 0;
  std::int64_t stale = 0;  // terminals shown stale
};

struct SitesOverview {
  std::vector<SiteView> sites;  // by name
  // Each push endpoint the database holds, with every swipe after its position as its backlog
  // (its filters are its site file's, which the database does not know).
  std::vector<PushFigures> pushes;
};

// Throws store::StoreError naming the database when it cannot be read.
SitesOverview ReadSitesOverview(db::Database& db, std::chrono::system_clock::time_point now);

// The names among `names` the database does not hold as sites, in their order.
std::vector<std::string> SitesNotHeld(db::Database& db, const std::vector<std::string>& names);

// The names of the sites the database holds.
std::vector<std::string> SiteNames(db::Database& db);

// Site `name` as its last sync recorded it in the database, for judging its attendance on a host
// without its site file: its time zone, day_starts, late_after, pending_limit and ports (their
// terminals, in/out and not-collected terminals). nullopt: the database holds no such site, or
// it never synced. A part the record lacks (written by an older host) keeps the file's default.
std::optional<site::Site> SiteAsLastSynced(db::Database& db, const std::string& name);

}  // namespace vanto::host
