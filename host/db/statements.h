// The statement texts both engines run alike, each written once. A shared text numbers its
// parameters as PostgreSQL does ($1, $2, ...; a number may come again and in any order); the
// SQLite side runs the same text with each such placeholder written ?1, ?2, ... (SQLite would
// take "$1" for a parameter named "$1" and number it by its first appearance, not by its digits).
// The conversion is made once, when the program is compiled, and touches only placeholders: a
// `$` inside a string literal, a quoted name, a comment or a name (col$1) stays as it is.
// Where the engines really differ (types, locking, schema, a statement of another shape) each
// engine keeps its own text in its own file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vanto::store {

// Rewrites the placeholders $N of `text[0, size)` as ?N in place (the same length: one character
// changes). Quotes ('...', "..."), comments (-- to the line's end, /* */) and names are skipped.
constexpr void SqlitePlaceholdersInPlace(char* text, std::size_t size) {
  auto name_char = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           static_cast<unsigned char>(c) >= 0x80;
  };
  std::size_t i = 0;
  while (i < size) {
    const char c = text[i];
    if (c == '\'' || c == '"') {  // a literal or a quoted name; a doubled quote closes and reopens it
      ++i;
      while (i < size && text[i] != c) ++i;
      ++i;
    } else if (c == '-' && i + 1 < size && text[i + 1] == '-') {
      while (i < size && text[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < size && text[i + 1] == '*') {
      i += 2;
      while (i < size && !(text[i] == '*' && i + 1 < size && text[i + 1] == '/')) ++i;
      i += 2;
    } else if (name_char(c) && c != '$') {  // a name or a number, with any $ inside it
      while (i < size && name_char(text[i])) ++i;
    } else {
      if (c == '$' && i + 1 < size && text[i + 1] >= '0' && text[i + 1] <= '9') text[i] = '?';
      ++i;
    }
  }
}

// `text` with its placeholders as SQLite numbers them, for a statement put together at run time
// from shared parts.
std::string SqliteText(std::string_view text);

// A statement of both engines: its text, and the same text for SQLite, both fixed at compile time.
template <std::size_t N>
class SharedSql {
 public:
  consteval SharedSql(const char (&text)[N]) {  // NOLINT: a literal stands for its statement
    for (std::size_t i = 0; i < N; ++i) postgres_[i] = sqlite_[i] = text[i];
    SqlitePlaceholdersInPlace(sqlite_, N - 1);
  }
  constexpr const char* postgres() const { return postgres_; }
  constexpr const char* sqlite() const { return sqlite_; }

 private:
  char postgres_[N]{};
  char sqlite_[N]{};
};


// ---- The statements -------------------------------------------------------------------------
// Each binds its parameters in the order of its numbers; the comments name them.
namespace sql {

// The audit trail. $1 at, $2 actor, $3 origin, $4 action, $5 details.
inline constexpr SharedSql kInsertAudit{
    "INSERT INTO audit (at, actor, origin, action, details) VALUES ($1, $2, $3, $4, $5)"};
// $1 the id to read below (NULL: from the newest), $2 how many.
inline constexpr SharedSql kAuditTrail{
    "SELECT id, at, actor, origin, action, details FROM audit WHERE CAST($1 AS bigint) IS NULL "
    "OR id < CAST($1 AS bigint) ORDER BY id DESC LIMIT CAST($2 AS bigint)"};

inline constexpr SharedSql kAuditCount{"SELECT count(*) FROM audit"};

// The schema's version. $1 version, $2 what, $3 applied at.
inline constexpr SharedSql kSchemaVersion{"SELECT coalesce(max(version), 0) FROM schema_version"};
inline constexpr SharedSql kRecordSchemaVersion{
    "INSERT INTO schema_version (version, what, applied_at) VALUES ($1, $2, $3)"};

// Users. Rows: name, role, disabled, language, created_at (and password_hash).
inline constexpr SharedSql kUsers{"SELECT name, role, disabled, language, created_at, sites FROM users ORDER BY name"};
inline constexpr SharedSql kFindUser{
    "SELECT name, role, disabled, language, created_at, sites, password_hash FROM users WHERE name = $1"};
// $1 name, $2 role, $3 password hash, $4 disabled (0 or 1), $5 language, $6 created at, $7 sites;
// a row when added.
inline constexpr SharedSql kAddUser{
    "INSERT INTO users (name, role, password_hash, disabled, language, created_at, password_changed_at, sites) "
    "VALUES ($1, $2, $3, $4, $5, $6, $6, $7) ON CONFLICT (name) DO NOTHING RETURNING name"};
// $1 name, $2 sites (joined by ","); a row when the user exists.
inline constexpr SharedSql kSetSites{"UPDATE users SET sites = $2 WHERE name = $1 RETURNING name"};
// $1 name, $2 hash, $3 changed at; a row when the user exists.
inline constexpr SharedSql kSetPassword{
    "UPDATE users SET password_hash = $2, password_changed_at = $3 WHERE name = $1 RETURNING name"};
// $1 name, $2 disabled (0 or 1); a row when the user exists.
inline constexpr SharedSql kSetDisabled{"UPDATE users SET disabled = $2 WHERE name = $1 RETURNING name"};
// $1 name, $2 language; a row when the user exists.
inline constexpr SharedSql kSetLanguage{"UPDATE users SET language = $2 WHERE name = $1 RETURNING name"};

// Sessions. $1 token hash, $2 user, $3 csrf, $4 created, $5 last seen, $6 origin.
inline constexpr SharedSql kAddSession{
    "INSERT INTO sessions (token_hash, user_name, csrf, created, last_seen, origin) VALUES ($1, $2, $3, $4, $5, $6)"};
inline constexpr SharedSql kFindSession{
    "SELECT token_hash, user_name, csrf, created, last_seen, origin FROM sessions WHERE token_hash = $1"};
// $1 token hash, $2 seen at (never moved back).
inline constexpr SharedSql kTouchSession{
    "UPDATE sessions SET last_seen = $2 WHERE token_hash = $1 AND last_seen < $2"};
inline constexpr SharedSql kRemoveSession{"DELETE FROM sessions WHERE token_hash = $1"};
inline constexpr SharedSql kRemoveSessionsOf{"DELETE FROM sessions WHERE user_name = $1"};
// $1 created before, $2 last seen before.
inline constexpr SharedSql kRemoveExpiredSessions{"DELETE FROM sessions WHERE created < $1 OR last_seen < $2"};

// API tokens. Rows: name, scopes, created_at, created_by, expires_at.
// $1 name, $2 hash, $3 scopes, $4 created at, $5 by, $6 expires at; a row when added.
inline constexpr SharedSql kAddToken{
    "INSERT INTO api_tokens (name, token_hash, scopes, created_at, created_by, expires_at, sites) "
    "VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT (name) DO NOTHING RETURNING name"};
inline constexpr SharedSql kTokens{
    "SELECT name, scopes, created_at, created_by, expires_at, sites FROM api_tokens ORDER BY name"};
inline constexpr SharedSql kFindToken{
    "SELECT name, scopes, created_at, created_by, expires_at, sites FROM api_tokens WHERE token_hash = $1"};
// A row when there was the token.
inline constexpr SharedSql kRevokeToken{"DELETE FROM api_tokens WHERE name = $1 RETURNING name"};
// $1 token, $2 hour, $3 reads to add.
inline constexpr SharedSql kCountTokenReads{
    "INSERT INTO api_token_reads (token, hour, reads) VALUES ($1, $2, CAST($3 AS bigint)) "
    "ON CONFLICT (token, hour) DO UPDATE SET reads = api_token_reads.reads + excluded.reads"};
inline constexpr SharedSql kTokenReads{"SELECT reads FROM api_token_reads WHERE token = $1 AND hour = $2"};

// Sync runs. $1 started at, $2 by, $3 who, $4 ports; the new run's id.
// $5 the site the run syncs ('' a database of no site).
inline constexpr SharedSql kBeginRun{
    "INSERT INTO sync_runs (started_at, started_by, who, ports, site) VALUES ($1, $2, $3, $4, $5) RETURNING id"};
// $1 run, $2 ended at; a row when there is the run.
inline constexpr SharedSql kEndRun{"UPDATE sync_runs SET ended_at = $2 WHERE id = $1 RETURNING id"};
// $1 run, $2 port, $3 terminal, $4 outcome, $5 cause code, $6 cause, $7 delivered, $8 added,
// $9 quarantined, $10 held, $11 capacity, $12 clock, $13 clock drift (NULL: none), $14 cause values.
inline constexpr SharedSql kRunTerminal{
    "INSERT INTO sync_run_terminals (run, port, terminal, outcome, cause_code, cause, delivered, added, "
    "quarantined, held, capacity, clock, clock_drift, cause_values) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, "
    "$10, $11, $12, $13, $14) "
    "ON CONFLICT (run, port, terminal) DO UPDATE SET outcome = EXCLUDED.outcome, cause_code = "
    "EXCLUDED.cause_code, cause = EXCLUDED.cause, delivered = EXCLUDED.delivered, added = EXCLUDED.added, "
    "quarantined = EXCLUDED.quarantined, held = EXCLUDED.held, capacity = EXCLUDED.capacity, clock = EXCLUDED.clock, "
    "clock_drift = EXCLUDED.clock_drift, cause_values = EXCLUDED.cause_values"};
// $1 how many, $2 the newest id, $3 '1' every site's runs (else only those of site $4).
inline constexpr SharedSql kRunsUpto{
    "SELECT id, started_at, ended_at, started_by, who, ports, site FROM sync_runs WHERE id <= $2 AND ($3 = '1' OR "
    "site = $4) ORDER BY id DESC LIMIT $1"};
// The terminals' columns as kRunTerminals and kLastRunTerminals read them (t.run first; the last
// adds r.ended_at after them).
#define VANTO_RUN_TERMINAL_COLUMNS                                                                                    \
  "t.run, t.port, t.terminal, t.outcome, t.cause_code, t.cause, t.delivered, t.added, t.quarantined, t.held, "     \
  "t.capacity, t.clock, t.clock_drift, t.cause_values"
inline constexpr int kRunTerminalEndedAt = 14;
// $1 the oldest run, $2 the newest.
inline constexpr SharedSql kRunTerminals{
    "SELECT " VANTO_RUN_TERMINAL_COLUMNS
    " FROM sync_run_terminals t WHERE t.run >= $1 AND t.run <= $2 ORDER BY t.run, t.port, t.terminal"};
// $1 the site: its runs only (two sites' port 1, terminal 1 are two terminals).
inline constexpr SharedSql kLastRunTerminals{
    "SELECT " VANTO_RUN_TERMINAL_COLUMNS
    ", r.ended_at FROM sync_run_terminals t JOIN sync_runs r ON r.id = t.run WHERE r.site = $1 AND t.run = "
    "(SELECT MAX(u.run) FROM sync_run_terminals u JOIN sync_runs v ON v.id = u.run "
    "WHERE v.site = $1 AND u.port = t.port AND u.terminal = t.terminal)"};
#undef VANTO_RUN_TERMINAL_COLUMNS
// Each terminal's last complete sync at a site (the monitor's figures and the attendance's
// pending rule read it). $1 the site. Rows: port, terminal, the end (UTC text) of the site's
// newest finished run that synced the terminal (NULL: none did), the site's newest run that
// reached it (NULL: no run of the site did). Terminal 0 (a port that failed before any terminal
// answered) is no terminal and left out.
// The distinct terminals of the runs' records, a few seeks on the index by terminal (port,
// terminal, run) each: the next terminal of the same port, else the first of the next port. Per
// terminal, its newest complete run of the site, read backwards on the same index until the first
// run of the site that synced it, and whether a run of the site recorded it at all.
#define VANTO_NEXT_PORT "(SELECT m.port FROM sync_run_terminals m WHERE m.port > p.port ORDER BY m.port LIMIT 1)"
#define VANTO_NEXT_TERMINAL                                                                                      \
  "(SELECT n.terminal FROM sync_run_terminals n WHERE n.port = p.port AND n.terminal > p.terminal ORDER BY " \
  "n.terminal LIMIT 1)"
#define VANTO_RUN_OF_SITE                                                                                  \
  " FROM sync_run_terminals t JOIN sync_runs r ON r.id = t.run WHERE t.port = p.port AND t.terminal = p.terminal" \
  " AND r.site = $1"
inline constexpr SharedSql kLastCompleteSyncs{
    "WITH RECURSIVE places (port, terminal) AS ("
    " SELECT port, terminal FROM (SELECT port, terminal FROM sync_run_terminals ORDER BY port, terminal LIMIT 1) "
    "first_place"
    " UNION ALL"
    " SELECT CASE WHEN " VANTO_NEXT_TERMINAL " IS NOT NULL THEN p.port ELSE " VANTO_NEXT_PORT " END,"
    " coalesce(" VANTO_NEXT_TERMINAL ", (SELECT n.terminal FROM sync_run_terminals n WHERE n.port = " VANTO_NEXT_PORT
    " ORDER BY n.terminal LIMIT 1))"
    " FROM places p WHERE p.port IS NOT NULL) "
    "SELECT p.port, p.terminal, (SELECT r.ended_at" VANTO_RUN_OF_SITE
    " AND t.outcome = 'synced' AND r.ended_at IS NOT NULL ORDER BY t.run DESC LIMIT 1),"
    " (SELECT t.run" VANTO_RUN_OF_SITE " ORDER BY t.run DESC LIMIT 1) "
    "FROM places p WHERE p.port IS NOT NULL AND p.terminal <> 0"};
#undef VANTO_NEXT_PORT
#undef VANTO_NEXT_TERMINAL
#undef VANTO_RUN_OF_SITE

// Push endpoints (each keyed by its site and name). Rows: name, cursor_xid, cursor_seq, added_at,
// failures, next_attempt, last_error, last_error_at, last_success, delivered, site, all_sites.
inline constexpr SharedSql kPushEndpoints{
    "SELECT name, cursor_xid, cursor_seq, added_at, failures, next_attempt, last_error, last_error_at, last_success, "
    "delivered, site, CASE WHEN all_sites THEN 1 ELSE 0 END FROM push_endpoints ORDER BY site, name"};
// $1 name, $2 cursor xid, $3 cursor seq, $4 added at, $5 site; a row when added.
inline constexpr SharedSql kAddPushEndpoint{
    "INSERT INTO push_endpoints (name, cursor_xid, cursor_seq, added_at, site) VALUES ($1, $2, $3, $4, $5) "
    "ON CONFLICT (site, name) DO NOTHING RETURNING name"};
// $1 name, $2 site.
inline constexpr SharedSql kRemovePushEndpoint{"DELETE FROM push_endpoints WHERE name = $1 AND site = $2"};
// $1 name, $2 site: the endpoint of no site of that name becomes the site's (unless it has one).
inline constexpr SharedSql kAdoptPushEndpoint{
    "UPDATE push_endpoints SET site = $2 WHERE name = $1 AND site = '' AND $2 <> '' AND NOT EXISTS "
    "(SELECT 1 FROM push_endpoints o WHERE o.name = $1 AND o.site = $2)"};
// $1 name, $2 site, $3 all sites (1 or 0).
inline constexpr SharedSql kPushAllSites{
    "UPDATE push_endpoints SET all_sites = ($3 = 1) WHERE name = $1 AND site = $2 AND all_sites <> ($3 = 1)"};
// $1 name, $2 cursor xid, $3 cursor seq, $4 delivered now, $5 at, $6 site.
inline constexpr SharedSql kPushDelivered{
    "UPDATE push_endpoints SET cursor_xid = $2, cursor_seq = $3, delivered = delivered + $4, failures = 0, "
    "next_attempt = 0, last_success = $5 WHERE name = $1 AND site = $6"};
// $1 name, $2 failures, $3 next attempt, $4 error, $5 at, $6 site.
inline constexpr SharedSql kPushFailed{
    "UPDATE push_endpoints SET failures = $2, next_attempt = $3, last_error = $4, last_error_at = $5 "
    "WHERE name = $1 AND site = $6"};
// $1 name, $2 next attempt, $3 site.
inline constexpr SharedSql kPushDefer{"UPDATE push_endpoints SET next_attempt = $2 WHERE name = $1 AND site = $3"};
// The feed position after which a push key of a swipe without identity carries its site.
inline constexpr SharedSql kPushKeySites{"SELECT CAST(from_xid AS TEXT), from_seq FROM push_key_sites"};

// People, keyed by site and person. $1 person, $2 name, $3 department, $4 site, $5 employee code.
// Every site's people, or one site's ($1), from a database of schema `version` (one before sites
// or employee codes answers '' for them), in PostgreSQL's numbering.
std::string PeopleSql(int version, bool one_site);
inline constexpr SharedSql kPersonHeld{
    "SELECT name, department, employee_code FROM people WHERE site = $2 AND person = $1"};
inline constexpr SharedSql kAddPerson{
    "INSERT INTO people (person, name, department, site, employee_code) VALUES ($1, $2, $3, $4, $5) "
    "ON CONFLICT (site, person) DO UPDATE SET name = excluded.name, department = excluded.department, "
    "employee_code = excluded.employee_code"};
// The departments, in no order (each engine's collation differs; the reader sorts them by bytes):
// every site's, and one site's ($1).
inline constexpr SharedSql kDepartments{"SELECT DISTINCT department FROM people WHERE department <> ''"};
inline constexpr SharedSql kSiteDepartments{
    "SELECT DISTINCT department FROM people WHERE department <> '' AND site = $1"};
// The people among $1, $2, ... $count (person numbers), of the site $count+1 when `one_site`, in
// PostgreSQL's numbering.
std::string PeopleAmongSql(std::size_t count, bool one_site, int version);
inline constexpr SharedSql kUpdatePerson{
    "UPDATE people SET name = $2, department = $3, employee_code = $5 WHERE site = $4 AND person = $1"};

// The driver's enrolment table, as it names its columns: every row, or one site's ($1).
inline constexpr SharedSql kEnrolments{
    "SELECT \"cPsn_Num\", \"iFingerprintNO\", \"imachineno\" FROM enrolment ORDER BY 1, 2, 3"};
inline constexpr SharedSql kSiteEnrolments{
    "SELECT \"cPsn_Num\", \"iFingerprintNO\", \"imachineno\" FROM enrolment WHERE site = $1 ORDER BY 1, 2, 3"};

// Rejected records. $1 port, $2 terminal, $3 identity, $4 generation (NULL, NULL: no log),
// $5 record index, $6 person, $7 year, $8 month, $9 day, $10 hour, $11 minute, $12 reason,
// $13 first seen, $14 epoch, $15 site; a row when kept (not there already).
inline constexpr SharedSql kAddRejected{
    "INSERT INTO rejected_records (port, terminal, identity, generation, record_index, person, year, month, day, "
    "hour, minute, reason, first_seen, epoch, site) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, "
    "$14, $15) "
    "ON CONFLICT DO NOTHING RETURNING 1"};
// Every site's rejected records, or one site's ($1), from a database of schema `version`.
std::string RejectedSql(int version, bool one_site);

// Conflicts: their columns in the order every reader takes them. The test for "not acknowledged"
// is each engine's own (a boolean, an integer).
inline constexpr const char* kConflictColumns =
    "id, identity, generation, epoch, record_index, port, terminal, found_at, person, swipe_time, stored_person, "
    "stored_time, stored_port, stored_terminal, stored_downloaded_at, acknowledged, acknowledged_by, acknowledged_at";
// kConflictColumns and the site ('' before sites), from a database of schema `version`.
std::string ConflictColumns(int version);

}  // namespace sql

}  // namespace vanto::store
