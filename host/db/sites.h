// The sites a database holds (schema step 20): each site's row in `sites`, and the site column of
// every table whose rows belong to one. Written once over a TableConnection, for both engines.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/db/table_rows.h"

namespace vanto::store {

// The first schema version that knows sites.
inline constexpr int kSitesSchemaVersion = 20;
// The first that records the host of each site's last sync and limits console users to sites.
inline constexpr int kSiteViewSchemaVersion = 23;
// The first that gives each site a push-key name a rename never changes.
inline constexpr int kSiteKeySchemaVersion = 24;

// Which site a command acts on, as chosen (host::ChooseSite): the site rows are stored as and
// the site a listing reads.
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

// The tables whose rows carry their site ('' a row of no site yet: stored before the database
// knew sites).
std::span<const char* const> SiteTables();

struct SiteRow {
  std::string name;
  std::string timezone;    // as its last sync ran ('' the host's, or never synced)
  std::string first_sync;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"; '' never synced
  std::string last_sync;
  std::string settings;    // JSON: the settings its last sync ran with ('' none yet)
  std::string added_at;
  std::string added_by;
  std::string last_host;   // the host that ran its last sync ('' never synced, or before step 23)
  // The name its version 1 swipes' push keys and hr-checkin device carry: its name when its row
  // was made, never changed by a rename (before step 24: its name).
  std::string key_name;
};

// The sites, by name. A database before step 20 holds none.
std::vector<SiteRow> ListSites(TableConnection& db);

// A site's name and the host that ran its last sync ('' never synced, or before step 23).
struct SiteName {
  std::string name;
  std::string last_host;
};
// The sites' names, by name: only what choosing among them needs (no settings).
std::vector<SiteName> ListSiteNames(TableConnection& db);

// The site, other than one named `name`, whose push-key name is `name` (a site that was renamed
// from it): a site added or renamed so would key its swipes as that one does. nullopt: none.
std::optional<std::string> SiteKeyedAs(TableConnection& db, const std::string& name);

// Adds `name` (its rows: none yet; its key name: `name`). Answers false when the database holds
// it already; throws StoreError when another site's key name is `name` (SiteKeyedAs).
bool AddSite(TableConnection& db, const std::string& name, const std::string& by);

// Adds `name` when the database holds no site yet and gives it every row of no site, in one
// transaction (the first site to open a database takes what it held). Answers the rows it took,
// nullopt when the database held a site already (nothing changed).
std::optional<std::int64_t> AdoptFirstSite(TableConnection& db, const std::string& name, const std::string& by);

// Gives every row of no site to `name` (added when missing). Answers the rows it gave.
std::int64_t AssignRowsToSite(TableConnection& db, const std::string& name, const std::string& by);

// Renames site `from` to `to`, and every row of it with it, in one transaction. Answers false
// when the database holds no site `from`; throws StoreError when it holds `to` already or
// another site's key name is `to` (SiteKeyedAs; the site may take back its own key name). The
// site's key name stays.
bool RenameSite(TableConnection& db, const std::string& from, const std::string& to);

// A sync of `name` at `at` (UTC) run on `host`: its first sync when it has none, its last, its
// time zone, the settings it ran with and the host. The site is added when missing.
void RecordSiteSync(TableConnection& db, const std::string& name, const std::string& timezone,
                    const std::string& settings, const std::string& at, const std::string& host);

}  // namespace vanto::store
