// Which site of a database a command acts on: the site the site file names (or --site-name),
// else the only site the database holds. Every front end chooses through ChooseSite, once per
// database handle, and passes the choice on (the sync stores as it, the listings read it).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/db/sites.h"

namespace vanto::db {
class Database;
}

namespace vanto::host {

// What the choice is: the site rows are stored as and read from (defined beside the sites
// table, since the database handle takes it too).
using SiteChoice = store::SiteChoice;

// `requested`: --site-name, else the site file's `site`. A database that holds no site takes the
// requested one (with `adopt`, a handle that writes: it is added and takes every row of no
// site). Throws site::SiteError (a usage error) when the database holds sites and none is
// requested while it holds several (naming them), or the requested one is not among them
// (naming `vanto site add` and `vanto site rename`). `by`: who, for the site's row.
SiteChoice ChooseSite(db::Database& db, const std::optional<std::string>& requested, bool adopt,
                      const std::string& by);

}  // namespace vanto::host
