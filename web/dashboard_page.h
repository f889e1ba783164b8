// The dashboard: every port and terminal of the site with its last sync (when, outcome and cause,
// records new), records held against capacity, quarantined and conflicting records; "Sync now"
// for the site or one port with live progress per port (server-sent events, read by a small
// script; the page works without it), and the recent runs whoever started them.
#pragma once

#include <string>
#include <vector>

#include "web/console_server.h"
#include "web/page.h"

namespace vanto::host {
class SyncJobs;
}

namespace vanto::web {

// GET /dashboard, POST /sync, GET /sync/events (progress streams within `streams`),
// GET /static/dashboard.js. `sync` may be null (no site).
std::vector<Route> DashboardRoutes(const PageHost& host, host::SyncJobs* sync, const StreamLimits& streams);

// A sync's cause code ("missing", "busy", ... as the host library records it) in words.
std::string CauseWords(Language language, const std::string& code);

}  // namespace vanto::web
