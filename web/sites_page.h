// The Sites page (admins): every site of the database with the host that last synced it, its
// terminals' last complete syncs (stale ones marked), open conflicts and rejected records, and
// the push endpoints' backlog (host/site_view.h). The dashboard shows one such section, read-only,
// for a site other than the serving host's own.
#pragma once

#include <string>
#include <vector>

#include "host/site_view.h"
#include "web/page.h"

namespace vanto::web {

// GET /sites.
std::vector<Route> SitesRoutes(const PageHost& host);

// One site's section, rendered.
std::string SiteSection(const host::SiteView& site, Language language, const ShownTimes& times);

}  // namespace vanto::web
