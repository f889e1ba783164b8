// The Terminals page (hr and admin): the site's check (its file, the database, each port's
// device, which schedule syncs it), and the records the host keeps apart: rejected records and
// conflicting ones, which an admin acknowledges.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "web/page.h"

namespace vanto::host {
class SyncJobs;
}

namespace vanto::web {

// GET /terminals, GET /terminals/rejected, POST /conflicts/acknowledge. `sync` may be null (no site).
// `site`: the serving site, whose rejected records and conflicts the pages list (none: every row,
// a database of no site).
std::vector<Route> TerminalsRoutes(const PageHost& host, host::SyncJobs* sync,
                                   std::optional<std::string> site = std::nullopt);

}  // namespace vanto::web
