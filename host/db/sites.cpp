#include "host/db/sites.h"

#include <string_view>

#include "host/db/civil_time.h"
#include "host/db/store_failure.h"
#include "host/message.h"

namespace vanto::store {
namespace {
constexpr const char* kSiteTables[] = {"swipes",        "swipes_withdrawn", "rejected_records", "conflicts",
                                       "sync_runs",     "people",           "enrolment",        "push_endpoints",
                                       "shifts",        "work_patterns",    "shift_assignments", "days_off",
                                       "leave_entries", "corrections",      "closed_months",    "leave_kinds",
                                       "days_reviewed"};

// The column that, with the site, keys a table's rows (nullptr: the table's key is not the site's).
const char* SiteKeyColumn(std::string_view table) {
  if (table == "people") return "person";
  if (table == "shifts" || table == "work_patterns") return "name";
  if (table == "days_off") return "day";
  if (table == "closed_months") return "month";
  if (table == "leave_kinds") return "kind";
  if (table == "days_reviewed") return "person || ' ' || day";
  return nullptr;
}

// Refuses (StoreError) a site named `name` when another site keys its swipes so.
// `renamed`: the site being renamed, which may take back the name it keys with.
void CheckKeyName(TableConnection& db, const std::string& name, const std::string& renamed = "") {
  if (auto holder = SiteKeyedAs(db, name); holder && *holder != renamed)
    throw StoreError(StoreFailure::Other,
                     host::Message("database {0}: site {1} keys its push keys with the name {2} (it was named so "
                                   "before): choose another name",
                                   {db.location(), *holder, name}));
}

// Adds `name` unless held, its key name written once; answers whether it was added.
bool Insert(TableConnection& db, const std::string& name, const std::string& by) {
  bool held = false;
  db.Query("SELECT 1 FROM sites WHERE name = $1", {name}, [&](const TableRow&) { held = true; }, "reading the sites");
  if (held) return false;
  CheckKeyName(db, name);
  // Another host may add the same site at the same moment: its row conflicts on the name and on
  // the key name alike, and either is "held" (PostgreSQL checks only a conflict's named index, so
  // none is named). A key name taken meanwhile by a site of another name is said as above.
  const bool added = db.Exec("INSERT INTO sites (name, added_at, added_by, key_name) VALUES ($1, $2, $3, $1) ON CONFLICT "
                             "DO NOTHING",
                             {name, UtcNowText(), by}, "adding a site") > 0;
  if (!added) CheckKeyName(db, name);
  return added;
}

std::int64_t GiveRows(TableConnection& db, const std::string& from, const std::string& to) {
  std::int64_t changed = 0;
  for (const char* table : kSiteTables) {
    // A person is keyed by site and number (a shift by site and name, ...): one the site holds
    // already keeps its row there, and the other stays where it was (nothing is overwritten or
    // lost).
    const char* key = SiteKeyColumn(table);
    changed += db.Exec(std::string("UPDATE ") + table + " SET site = $1 WHERE site = $2" +
                           (key ? std::string(" AND ") + key + " NOT IN (SELECT " + key + " FROM " + table +
                                      " WHERE site = $1)"
                                : ""),
                       {to, from}, "giving rows to a site");
  }
  return changed;
}
}  // namespace

std::span<const char* const> SiteTables() { return kSiteTables; }

std::vector<SiteRow> ListSites(TableConnection& db) {
  std::vector<SiteRow> sites;
  db.Reading("reading the sites", [&] {
    sites.clear();
    if (!db.HasTable("sites")) return;
    const int version = db.SchemaVersion();
    db.Query(std::string("SELECT name, timezone, first_sync, last_sync, settings, added_at, added_by, ") +
                 (version >= kSiteViewSchemaVersion ? "last_host" : "''") + ", " +
                 (version >= kSiteKeySchemaVersion ? "key_name" : "name") + " FROM sites ORDER BY name",
             {},
             [&](const TableRow& r) {
               sites.push_back({r[0].value_or(""), r[1].value_or(""), r[2].value_or(""), r[3].value_or(""),
                                r[4].value_or(""), r[5].value_or(""), r[6].value_or(""), r[7].value_or(""),
                                r[8].value_or("")});
             },
             "reading the sites");
  });
  return sites;
}

std::optional<std::string> SiteKeyedAs(TableConnection& db, const std::string& name) {
  std::optional<std::string> holder;
  if (db.SchemaVersion() < kSiteKeySchemaVersion) return holder;
  db.Query("SELECT name FROM sites WHERE key_name = $1 AND name <> $1", {name},
           [&](const TableRow& r) { holder = r[0].value_or(""); }, "reading the sites' key names");
  return holder;
}

std::vector<SiteName> ListSiteNames(TableConnection& db) {
  std::vector<SiteName> sites;
  db.Reading("reading the sites' names", [&] {
    sites.clear();
    if (!db.HasTable("sites")) return;
    const bool hosts = db.SchemaVersion() >= kSiteViewSchemaVersion;
    db.Query(std::string("SELECT name, ") + (hosts ? "last_host" : "''") + " FROM sites ORDER BY name", {},
             [&](const TableRow& r) { sites.push_back({r[0].value_or(""), r[1].value_or("")}); },
             "reading the sites' names");
  });
  return sites;
}

bool AddSite(TableConnection& db, const std::string& name, const std::string& by) {
  bool added = false;
  db.Transaction("adding a site", [&] { added = Insert(db, name, by); });
  return added;
}

std::optional<std::int64_t> AdoptFirstSite(TableConnection& db, const std::string& name, const std::string& by) {
  std::optional<std::int64_t> taken;
  db.Transaction("adding the first site", [&] {
    taken.reset();
    bool any = false;
    db.Query("SELECT 1 FROM sites LIMIT 1", {}, [&](const TableRow&) { any = true; }, "reading the sites");
    if (any) return;
    Insert(db, name, by);
    taken = GiveRows(db, "", name);
  });
  return taken;
}

std::int64_t AssignRowsToSite(TableConnection& db, const std::string& name, const std::string& by) {
  std::int64_t given = 0;
  db.Transaction("giving rows to a site", [&] {
    Insert(db, name, by);
    given = GiveRows(db, "", name);
  });
  return given;
}

bool RenameSite(TableConnection& db, const std::string& from, const std::string& to) {
  bool renamed = false;
  db.Transaction("renaming a site", [&] {
    renamed = false;
    bool held = false;
    db.Query("SELECT 1 FROM sites WHERE name = $1", {to}, [&](const TableRow&) { held = true; }, "reading the sites");
    if (held)
      throw StoreError(StoreFailure::Other,
                       host::Message("database {0} holds a site {1} already", {db.location(), to}));
    CheckKeyName(db, to, from);
    if (db.Exec("UPDATE sites SET name = $1 WHERE name = $2", {to, from}, "renaming a site") == 0) return;
    GiveRows(db, from, to);
    renamed = true;
  });
  return renamed;
}

void RecordSiteSync(TableConnection& db, const std::string& name, const std::string& timezone,
                    const std::string& settings, const std::string& at, const std::string& host) {
  db.Transaction("recording a site's sync", [&] {
    Insert(db, name, "");
    db.Exec("UPDATE sites SET first_sync = CASE WHEN first_sync = '' THEN $2 ELSE first_sync END, last_sync = $2, "
            "timezone = $3, settings = $4, last_host = $5 WHERE name = $1",
            {name, at, timezone, settings, host}, "recording a site's sync");
  });
}

}  // namespace vanto::store
