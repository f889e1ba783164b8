// The console's accounts and the API's tokens in the site's database, whichever engine holds it:
// users with their role and password hash, login sessions (kept only as hashes of their tokens),
// API tokens (kept only as hashes too) and the audit trail. Every change that is audited writes its
// audit row in the same transaction. The rules over these rows (passwords, throttling, scopes,
// rate limits) live in accounts/; these are only the rows.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vanto::store {


// Who may do what is decided by role alone (web/role_matrix.h holds the one table).
enum class Role { Viewer, Hr, Admin };
const char* RoleName(Role role);  // "viewer", "hr", "admin": as stored
std::optional<Role> ParseRole(std::string_view text);

struct User {
  std::string name;
  Role role = Role::Viewer;
  bool disabled = false;
  std::string language;    // "en", "zh_CN" or empty (the browser's choice)
  std::string created_at;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  // The sites the user may see in the console, by name (none: every site).
  std::vector<std::string> sites;
  bool MaySee(const std::string& site) const;
};

// Sites as stored: "a,b,c" ('' every site); and back.
std::string JoinSites(const std::vector<std::string>& sites);
std::vector<std::string> SplitSites(const std::string& text);

// One login session. Times are seconds since the epoch (UTC).
struct SessionRecord {
  std::string token_hash;  // SHA-256 of the cookie's token, hex: the token itself is never stored
  std::string user;
  std::string csrf;        // the synchronizer token of the session's forms
  std::int64_t created = 0;
  std::int64_t last_seen = 0;
  std::string origin;      // the address it logged in from
};

// One row of the audit trail: who did what, when and from where.
struct AuditEntry {
  std::int64_t id = 0;     // assigned by the store, ascending
  std::string at;          // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  std::string actor;       // a console user, or the operating-system user of a command
  std::string origin;      // a client address, or "command line"
  std::string action;      // "login", "login.failed", "user.add", ...
  std::string details;
};

class AccountsStore {
 public:
  virtual ~AccountsStore() = default;
  virtual const std::string& location() const = 0;

  virtual std::vector<User> Users() = 0;
  // The user of that name (and its password hash, when `password_hash` is given).
  virtual std::optional<User> FindUser(const std::string& name, std::string* password_hash) = 0;
  // Adds the user with its audit row; false when the name is taken (nothing is written then).
  virtual bool AddUser(const User& user, const std::string& password_hash, const AuditEntry& audit) = 0;
  // Replaces the password hash and removes every session of the user, with the audit row; false
  // when there is no such user.
  virtual bool SetPassword(const std::string& name, const std::string& password_hash, const AuditEntry& audit) = 0;
  // Disables (removing the user's sessions) or enables the user, with the audit row.
  virtual bool SetDisabled(const std::string& name, bool disabled, const AuditEntry& audit) = 0;
  virtual bool SetLanguage(const std::string& name, const std::string& language) = 0;
  // Limits the user to `sites` (none: every site), with the audit row; false when there is no
  // such user.
  virtual bool SetSites(const std::string& name, const std::vector<std::string>& sites, const AuditEntry& audit) = 0;

  // Stores a new session with its audit row (the login).
  virtual void AddSession(const SessionRecord& session, const AuditEntry& audit) = 0;
  virtual std::optional<SessionRecord> FindSession(const std::string& token_hash) = 0;
  virtual void TouchSession(const std::string& token_hash, std::int64_t last_seen) = 0;
  // Removes the session, with the audit row when one is given (a logout).
  virtual void RemoveSession(const std::string& token_hash, const AuditEntry* audit) = 0;
  // Removes sessions created before `created_before` or last seen before `seen_before`.
  virtual void RemoveExpiredSessions(std::int64_t created_before, std::int64_t seen_before) = 0;

  virtual void Audit(const AuditEntry& entry) = 0;
  // Marks the record conflict `id` (the swipe store's conflicts) acknowledged by `by` at the
  // audit row's time, with the audit row, in one transaction; false (nothing written) when there
  // is no such conflict or it was acknowledged already.
  virtual bool AcknowledgeConflict(std::int64_t id, const std::string& by, const AuditEntry& audit) = 0;
  // The newest `limit` rows, newest first, with ids below `before_id` when given.
  virtual std::vector<AuditEntry> AuditTrail(std::size_t limit, std::optional<std::int64_t> before_id) = 0;
  // How many entries the audit trail holds (counted by the database, nothing read).
  virtual std::int64_t AuditCount() = 0;
};

// An API token's row: its name and scopes (an area and an access: "swipes:read", ...), when and
// by whom it was made, and when it expires.
struct ApiToken {
  std::string name;
  std::vector<std::string> scopes;
  std::string created_at;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  std::string created_by;
  std::string expires_at;  // UTC, "YYYY-MM-DDTHH:MM:SSZ": refused from then on; "" never expires
  std::vector<std::string> sites{};  // the sites whose swipes it may read (empty: every site's)
  bool Allows(const std::string& scope) const;
  // Whether it may read `site`'s swipes.
  bool AllowsSite(const std::string& site) const;
  // Whether the token has expired at `now` (seconds since 1970).
  bool ExpiredAt(std::int64_t now) const;
};

// Scopes as stored: "a,b,c"; and back (empty parts passed over).
std::string JoinScopes(const std::vector<std::string>& scopes);
std::vector<std::string> SplitScopes(const std::string& text);

// The API tokens' rows (each kept as the SHA-256 hash of the token) and their read counters.
class TokenStore {
 public:
  virtual ~TokenStore() = default;
  // Adds the token with its audit row in one transaction; false when the name is taken.
  virtual bool Add(const ApiToken& token, const std::string& hash, const AuditEntry& audit) = 0;
  virtual std::vector<ApiToken> List() = 0;
  virtual std::optional<ApiToken> FindByHash(const std::string& hash) = 0;
  // Removes the token with its audit row; false when there is no such token.
  virtual bool Revoke(const std::string& name, const AuditEntry& audit) = 0;
  // Adds `reads` to the token's counter of `hour` ("YYYY-MM-DDTHH").
  virtual void CountReads(const std::string& name, const std::string& hour, std::int64_t reads) = 0;
  virtual std::int64_t Reads(const std::string& name, const std::string& hour) = 0;
  virtual void Audit(const AuditEntry& entry) = 0;
};

}  // namespace vanto::store
