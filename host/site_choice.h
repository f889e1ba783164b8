// Which site of a database a command acts on: the site the site file names (or --site-name),
// else the only site the database holds. Every front end chooses through ChooseSite, once per
// database handle, and passes the choice on (the sync stores as it, the listings read it).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vanto::db {
class Database;
}

namespace vanto::host {

struct SiteChoice {
  // The site rows are stored as: '' when the database holds no site and none is named (rows of
  // no site, as before sites).
  std::string name;
  // The site a listing reads (nullopt: every row, as in a database that holds no site).
  std::optional<std::string> filter;
  // The sites the database holds (after this choice), by name.
  std::vector<std::string> sites;
  // With `adopt`: the rows of no site this choice gave the named site (it is the first site to
  // open the database); nullopt when it took none.
  std::optional<std::int64_t> adopted;
};

// `requested`: --site-name, else the site file's `site`. A database that holds no site takes the
// requested one (with `adopt`, a handle that writes: it is added and takes every row of no
// site). Throws site::SiteError (a usage error) when the database holds sites and none is
// requested while it holds several (naming them), or the requested one is not among them
// (naming `vanto site add` and `vanto site rename`). `by`: who, for the site's row.
SiteChoice ChooseSite(db::Database& db, const std::optional<std::string>& requested, bool adopt,
                      const std::string& by);

}  // namespace vanto::host
