// The Terminals page (hr and admin): the site's check (its file, the database, each port's
// device, which schedule syncs it), and the records the host keeps apart: rejected records and
// conflicting ones, which an admin acknowledges.
#pragma once

#include <vector>

#include "web/page.h"

namespace vanto::host {
class SyncJobs;
}

namespace vanto::web {

// GET /terminals, GET /terminals/rejected, POST /conflicts/acknowledge. `sync` may be null (no site).
std::vector<Route> TerminalsRoutes(const PageHost& host, host::SyncJobs* sync);

}  // namespace vanto::web
