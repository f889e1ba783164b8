// The figures a monitor scrapes of a site, read from its database in a few cheap statements: per
// terminal the time since its last complete sync and the swipes stored, the open conflicts and
// the rejected records held, and per push endpoint its backlog and failures. Values only: a front
// end writes them in its format (the console: the Prometheus text format, web/metrics_text.h).
// Every figure is of the sites the scope names, keyed with its site; a figure's labels come from
// its row here alone. The dashboard, /metrics and the view over the sites (host/site_view.h) all
// read a terminal's figures here.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/db/database.h"
#include "host/site/site.h"
#include "host/site_choice.h"

namespace vanto::host {

// Which terminals and push endpoints the figures are of: the site file's (a terminal a sync
// recorded or whose swipes are stored is shown as well), of its site or of every site.
struct FigureScope {
  std::string site;  // the site the listed terminals are at ('' a database that holds no site)
  bool every_site = true;  // also every other site's terminals (false: `site`'s alone)
  std::vector<std::pair<int, std::vector<int>>> terminals;  // port -> its listed terminals (a scanned port: none)
  std::vector<site::SitePush> pushes;
  std::string push_site;  // the site the endpoints belong to (host::SiteChoice::name)
};
// The site file's terminals and endpoints at `site_name` (the site its handle chose).
FigureScope FigureScopeOf(const site::Site& site, const std::string& site_name);

// One terminal at a port and address. A place whose terminal was replaced by another with an
// identity has a row for each identity read there: the one read last carries the place's sync,
// the others only their swipes.
struct TerminalFigures {
  std::string site;  // '' a terminal of rows stored before the database knew sites
  int port = 0;
  int terminal = 0;
  std::optional<std::uint32_t> identity;  // the terminal's serial number, when one was read there
  // When its newest complete sync ended (UTC "YYYY-MM-DDTHH:MM:SSZ") and how long before `now`
  // that was, in whole seconds (never negative); nothing when it was never synced completely.
  std::optional<std::string> last_complete_sync;
  std::optional<std::int64_t> last_sync_age_seconds;
  // Swipes stored of it: of every log of its identity, and those read at its port and address
  // from a terminal without identity.
  std::int64_t swipes = 0;
  // Records it holds back: rejected ones and conflicts not acknowledged (on the place's current
  // row; a replaced terminal's row shows none).
  std::int64_t rejected = 0;
  std::int64_t conflicts_open = 0;
};

struct PushFigures {
  std::string endpoint;   // its name in the site file
  bool in_store = false;  // false: not drained yet (no backlog or failures to tell)
  std::int64_t backlog = 0;    // swipes it has not been delivered that its filters take
  std::int64_t failures = 0;   // failed attempts since its last delivery
  std::int64_t delivered = 0;  // swipes delivered to it in all
};

struct SiteFigures {
  // By site, port, then terminal (the place's current one first).
  std::vector<TerminalFigures> terminals;
  std::int64_t conflicts_open = 0;         // record conflicts not acknowledged, of the sites shown
  std::int64_t rejected = 0;               // records kept that the driver could not convert
  std::vector<PushFigures> pushes;         // in the site file's order
};

// Throws store::StoreError naming the database when it cannot be read.
SiteFigures ReadSiteFigures(db::Database& db, const FigureScope& scope, std::chrono::system_clock::time_point now);

// Seconds since 1970 of a UTC time as the host keeps it ("YYYY-MM-DDTHH:MM:SSZ"); nothing for
// any other text.
std::optional<std::int64_t> UnixSecondsOfUtc(const std::string& utc);

// Whether the process reaches its database: one read, borrowed from the handle. Throws
// store::StoreError naming what failed when it does not.
void CheckDatabaseAnswers(db::Database& db);

}  // namespace vanto::host
