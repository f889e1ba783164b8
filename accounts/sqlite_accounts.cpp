// The accounts store in the site's SQLite file.
#include <sqlite3.h>

#include <memory>

#include "accounts/accounts_engines.h"
#include "platform/ado/store_failure.h"

namespace vanto::accounts {
namespace {

using vanto::store::StoreError;
using vanto::store::StoreFailure;

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalize {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, Finalize>;

class SqliteAccounts final : public AccountsStore {
 public:
  SqliteAccounts(const std::string& path, std::chrono::milliseconds lock_timeout) : path_(path), wait_(lock_timeout) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    db_.reset(raw);
    if (rc != SQLITE_OK) Fail(rc, "opening the accounts");
    sqlite3_extended_result_codes(raw, 1);
    long long ms = lock_timeout.count();
    sqlite3_busy_timeout(raw, ms < 0 ? 0 : ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms));
    Exec("PRAGMA foreign_keys = ON", "opening the accounts");
  }

  const std::string& location() const override { return path_; }

  std::vector<User> Users() override {
    auto q = Prepare("SELECT name, role, disabled, language, created_at FROM users ORDER BY name");
    std::vector<User> users;
    while (Step(q.get(), "listing the users") == SQLITE_ROW) users.push_back(ReadUser(q.get()));
    return users;
  }

  std::optional<User> FindUser(const std::string& name, std::string* password_hash) override {
    auto q = Prepare("SELECT name, role, disabled, language, created_at, password_hash FROM users WHERE name = ?1");
    BindText(q.get(), 1, name);
    if (Step(q.get(), "reading a user") != SQLITE_ROW) return std::nullopt;
    if (password_hash) *password_hash = Text(q.get(), 5);
    return ReadUser(q.get());
  }

  bool AddUser(const User& user, const std::string& password_hash, const AuditEntry& audit) override {
    Transaction t(*this, "adding a user");
    auto exists = Prepare("SELECT 1 FROM users WHERE name = ?1");
    BindText(exists.get(), 1, user.name);
    if (Step(exists.get(), "adding a user") == SQLITE_ROW) return false;
    auto q = Prepare(
        "INSERT INTO users (name, role, password_hash, disabled, language, created_at, password_changed_at) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?6)");
    BindText(q.get(), 1, user.name);
    BindText(q.get(), 2, RoleName(user.role));
    BindText(q.get(), 3, password_hash);
    sqlite3_bind_int(q.get(), 4, user.disabled ? 1 : 0);
    BindText(q.get(), 5, user.language);
    BindText(q.get(), 6, user.created_at);
    Step(q.get(), "adding a user");
    InsertAudit(audit);
    t.Commit();
    return true;
  }

  bool SetPassword(const std::string& name, const std::string& password_hash, const AuditEntry& audit) override {
    Transaction t(*this, "changing a password");
    auto q = Prepare("UPDATE users SET password_hash = ?2, password_changed_at = ?3 WHERE name = ?1");
    BindText(q.get(), 1, name);
    BindText(q.get(), 2, password_hash);
    BindText(q.get(), 3, audit.at);
    Step(q.get(), "changing a password");
    if (sqlite3_changes(db_.get()) == 0) return false;
    RemoveSessionsOf(name);
    InsertAudit(audit);
    t.Commit();
    return true;
  }

  bool SetDisabled(const std::string& name, bool disabled, const AuditEntry& audit) override {
    Transaction t(*this, "disabling a user");
    auto q = Prepare("UPDATE users SET disabled = ?2 WHERE name = ?1");
    BindText(q.get(), 1, name);
    sqlite3_bind_int(q.get(), 2, disabled ? 1 : 0);
    Step(q.get(), "disabling a user");
    if (sqlite3_changes(db_.get()) == 0) return false;
    if (disabled) RemoveSessionsOf(name);
    InsertAudit(audit);
    t.Commit();
    return true;
  }

  bool AcknowledgeConflict(std::int64_t id, const std::string& by, const AuditEntry& audit) override {
    Transaction t(*this, "acknowledging a conflict");
    auto q = Prepare(
        "UPDATE conflicts SET acknowledged = 1, acknowledged_by = ?2, acknowledged_at = ?3 WHERE id = ?1 AND acknowledged = 0");
    sqlite3_bind_int64(q.get(), 1, id);
    BindText(q.get(), 2, by);
    BindText(q.get(), 3, audit.at);
    Step(q.get(), "acknowledging a conflict");
    if (sqlite3_changes(db_.get()) == 0) return false;
    InsertAudit(audit);
    t.Commit();
    return true;
  }

  bool SetLanguage(const std::string& name, const std::string& language) override {
    auto q = Prepare("UPDATE users SET language = ?2 WHERE name = ?1");
    BindText(q.get(), 1, name);
    BindText(q.get(), 2, language);
    Step(q.get(), "choosing a language");
    return sqlite3_changes(db_.get()) > 0;
  }

  void AddSession(const SessionRecord& s, const AuditEntry& audit) override {
    Transaction t(*this, "storing a session");
    auto q = Prepare(
        "INSERT INTO sessions (token_hash, user_name, csrf, created, last_seen, origin) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    BindText(q.get(), 1, s.token_hash);
    BindText(q.get(), 2, s.user);
    BindText(q.get(), 3, s.csrf);
    sqlite3_bind_int64(q.get(), 4, s.created);
    sqlite3_bind_int64(q.get(), 5, s.last_seen);
    BindText(q.get(), 6, s.origin);
    Step(q.get(), "storing a session");
    InsertAudit(audit);
    t.Commit();
  }

  std::optional<SessionRecord> FindSession(const std::string& token_hash) override {
    auto q = Prepare(
        "SELECT token_hash, user_name, csrf, created, last_seen, origin FROM sessions WHERE token_hash = ?1");
    BindText(q.get(), 1, token_hash);
    if (Step(q.get(), "reading a session") != SQLITE_ROW) return std::nullopt;
    return SessionRecord{Text(q.get(), 0), Text(q.get(), 1), Text(q.get(), 2), sqlite3_column_int64(q.get(), 3),
                         sqlite3_column_int64(q.get(), 4), Text(q.get(), 5)};
  }

  void TouchSession(const std::string& token_hash, std::int64_t last_seen) override {
    auto q = Prepare("UPDATE sessions SET last_seen = ?2 WHERE token_hash = ?1 AND last_seen < ?2");
    BindText(q.get(), 1, token_hash);
    sqlite3_bind_int64(q.get(), 2, last_seen);
    Step(q.get(), "updating a session");
  }

  void RemoveSession(const std::string& token_hash, const AuditEntry* audit) override {
    Transaction t(*this, "removing a session");
    auto q = Prepare("DELETE FROM sessions WHERE token_hash = ?1");
    BindText(q.get(), 1, token_hash);
    Step(q.get(), "removing a session");
    if (audit) InsertAudit(*audit);
    t.Commit();
  }

  void RemoveExpiredSessions(std::int64_t created_before, std::int64_t seen_before) override {
    auto q = Prepare("DELETE FROM sessions WHERE created < ?1 OR last_seen < ?2");
    sqlite3_bind_int64(q.get(), 1, created_before);
    sqlite3_bind_int64(q.get(), 2, seen_before);
    Step(q.get(), "removing expired sessions");
  }

  void Audit(const AuditEntry& entry) override { InsertAudit(entry); }

  std::vector<AuditEntry> AuditTrail(std::size_t limit, std::optional<std::int64_t> before_id) override {
    auto q = Prepare(
        "SELECT id, at, actor, origin, action, details FROM audit WHERE ?1 IS NULL OR id < ?1 ORDER BY id DESC "
        "LIMIT ?2");
    if (before_id) sqlite3_bind_int64(q.get(), 1, *before_id);
    sqlite3_bind_int64(q.get(), 2, static_cast<sqlite3_int64>(limit));
    std::vector<AuditEntry> rows;
    while (Step(q.get(), "reading the audit trail") == SQLITE_ROW)
      rows.push_back({sqlite3_column_int64(q.get(), 0), Text(q.get(), 1), Text(q.get(), 2), Text(q.get(), 3),
                      Text(q.get(), 4), Text(q.get(), 5)});
    return rows;
  }

 private:
  // A write transaction taken at once, rolled back unless committed.
  class Transaction {
   public:
    Transaction(SqliteAccounts& s, const char* step) : s_(s) { s_.Exec("BEGIN IMMEDIATE", step); }
    void Commit() {
      s_.Exec("COMMIT", "committing");
      open_ = false;
    }
    ~Transaction() {
      if (open_) sqlite3_exec(s_.db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }

   private:
    SqliteAccounts& s_;
    bool open_ = true;
  };

  [[noreturn]] void Fail(int rc, const std::string& step) const {
    vanto::store::ThrowSqlite(db_.get(), rc, path_, step, wait_);
  }
  void Exec(const char* sql, const char* step) {
    int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(rc, step);
  }
  StatementPtr Prepare(const char* sql) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr);
    StatementPtr stmt(raw);
    if (rc != SQLITE_OK) Fail(rc, "preparing an accounts query");
    return stmt;
  }
  int Step(sqlite3_stmt* stmt, const char* step) {
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(rc, step);
    return rc;
  }
  static void BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  static std::string Text(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(stmt, column)) : "";
  }
  User ReadUser(sqlite3_stmt* q) const {
    User u;
    u.name = Text(q, 0);
    std::optional<Role> role = ParseRole(Text(q, 1));
    if (!role) throw StoreError(StoreFailure::Invalid, "database " + path_ + ": user " + u.name + " has an unknown role");
    u.role = *role;
    u.disabled = sqlite3_column_int(q, 2) != 0;
    u.language = Text(q, 3);
    u.created_at = Text(q, 4);
    return u;
  }
  void RemoveSessionsOf(const std::string& name) {
    auto q = Prepare("DELETE FROM sessions WHERE user_name = ?1");
    BindText(q.get(), 1, name);
    Step(q.get(), "removing a user's sessions");
  }
  void InsertAudit(const AuditEntry& e) {
    auto q = Prepare("INSERT INTO audit (at, actor, origin, action, details) VALUES (?1, ?2, ?3, ?4, ?5)");
    BindText(q.get(), 1, e.at);
    BindText(q.get(), 2, e.actor);
    BindText(q.get(), 3, e.origin);
    BindText(q.get(), 4, e.action);
    BindText(q.get(), 5, e.details);
    Step(q.get(), "writing the audit trail");
  }

  std::string path_;
  std::chrono::milliseconds wait_;
  std::unique_ptr<sqlite3, CloseDatabase> db_;
};

}  // namespace

std::unique_ptr<AccountsStore> OpenSqliteAccounts(const std::string& path, std::chrono::milliseconds lock_timeout) {
  return std::make_unique<SqliteAccounts>(path, lock_timeout);
}

}  // namespace vanto::accounts
