// The accounts store in the site's SQLite file.
#include <sqlite3.h>

#include <memory>

#include "host/db/accounts_engines.h"
#include "host/db/audit_writer.h"
#include "host/db/sqlite_store.h"
#include "host/db/sqlite_connection.h"
#include "host/db/statements.h"
#include "host/db/store_failure.h"

namespace vanto::store {
namespace {



class SqliteAccounts final : public AccountsStore, public SqliteBacked {
 public:
  sqlite3* sqlite_connection() const override { return db_.get(); }
  SqliteAccounts(const std::string& path, std::chrono::milliseconds lock_timeout, bool read_only)
      : db_(path, lock_timeout, "opening the accounts", "preparing an accounts query",
            read_only ? store::SqliteConnection::Mode::ReadOnly : store::SqliteConnection::Mode::ReadWrite,
            store::HostSqliteMessage) {
    db_.Exec("PRAGMA foreign_keys = ON", "opening the accounts");
  }

  const std::string& location() const override { return db_.path(); }

  std::vector<User> Users() override {
    auto q = db_.Prepare(sql::kUsers.sqlite());
    std::vector<User> users;
    while (db_.Step(q.get(), "listing the users") == SQLITE_ROW) users.push_back(ReadUser(q.get()));
    return users;
  }

  std::optional<User> FindUser(const std::string& name, std::string* password_hash) override {
    auto q = db_.Prepare(sql::kFindUser.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    if (db_.Step(q.get(), "reading a user") != SQLITE_ROW) return std::nullopt;
    if (password_hash) *password_hash = Text(q.get(), 6);
    return ReadUser(q.get());
  }

  bool AddUser(const User& user, const std::string& password_hash, const AuditEntry& audit) override {
    SqliteTransaction t(db_, "adding a user");
    auto q = db_.Prepare(sql::kAddUser.sqlite());
    SqliteConnection::Bind(q.get(), 1, user.name);
    SqliteConnection::Bind(q.get(), 2, RoleName(user.role));
    SqliteConnection::Bind(q.get(), 3, password_hash);
    sqlite3_bind_int(q.get(), 4, user.disabled ? 1 : 0);
    SqliteConnection::Bind(q.get(), 5, user.language);
    SqliteConnection::Bind(q.get(), 6, user.created_at);
    SqliteConnection::Bind(q.get(), 7, JoinSites(user.sites));
    if (db_.Rows(q.get(), "adding a user") == 0) return false;
    InsertAudit(audit);
    t.Commit();
    return true;
  }

  bool SetPassword(const std::string& name, const std::string& password_hash, const AuditEntry& audit) override {
    SqliteTransaction t(db_, "changing a password");
    auto q = db_.Prepare(sql::kSetPassword.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    SqliteConnection::Bind(q.get(), 2, password_hash);
    SqliteConnection::Bind(q.get(), 3, audit.at);
    if (db_.Rows(q.get(), "changing a password") == 0) return false;
    RemoveSessionsOf(name);
    InsertAudit(audit);
    t.Commit();
    return true;
  }

  bool SetDisabled(const std::string& name, bool disabled, const AuditEntry& audit) override {
    SqliteTransaction t(db_, "disabling a user");
    auto q = db_.Prepare(sql::kSetDisabled.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    sqlite3_bind_int(q.get(), 2, disabled ? 1 : 0);
    if (db_.Rows(q.get(), "disabling a user") == 0) return false;
    if (disabled) RemoveSessionsOf(name);
    InsertAudit(audit);
    t.Commit();
    return true;
  }

  bool AcknowledgeConflict(std::int64_t id, const std::string& by, const AuditEntry& audit) override {
    SqliteTransaction t(db_, "acknowledging a conflict");
    auto q = db_.Prepare(
        "UPDATE conflicts SET acknowledged = 1, acknowledged_by = ?2, acknowledged_at = ?3 WHERE id = ?1 AND acknowledged = 0");
    sqlite3_bind_int64(q.get(), 1, id);
    SqliteConnection::Bind(q.get(), 2, by);
    SqliteConnection::Bind(q.get(), 3, audit.at);
    db_.Step(q.get(), "acknowledging a conflict");
    if (sqlite3_changes(db_.get()) == 0) return false;
    InsertAudit(audit);
    t.Commit();
    return true;
  }

  bool SetSites(const std::string& name, const std::vector<std::string>& sites, const AuditEntry& audit) override {
    SqliteTransaction t(db_, "limiting a user to sites");
    auto q = db_.Prepare(sql::kSetSites.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    SqliteConnection::Bind(q.get(), 2, JoinSites(sites));
    if (db_.Rows(q.get(), "limiting a user to sites") == 0) return false;
    InsertAudit(audit);
    t.Commit();
    return true;
  }

  bool SetLanguage(const std::string& name, const std::string& language) override {
    auto q = db_.Prepare(sql::kSetLanguage.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    SqliteConnection::Bind(q.get(), 2, language);
    return db_.Rows(q.get(), "choosing a language") > 0;
  }

  void AddSession(const SessionRecord& s, const AuditEntry& audit) override {
    SqliteTransaction t(db_, "storing a session");
    auto q = db_.Prepare(sql::kAddSession.sqlite());
    SqliteConnection::Bind(q.get(), 1, s.token_hash);
    SqliteConnection::Bind(q.get(), 2, s.user);
    SqliteConnection::Bind(q.get(), 3, s.csrf);
    sqlite3_bind_int64(q.get(), 4, s.created);
    sqlite3_bind_int64(q.get(), 5, s.last_seen);
    SqliteConnection::Bind(q.get(), 6, s.origin);
    db_.Step(q.get(), "storing a session");
    InsertAudit(audit);
    t.Commit();
  }

  std::optional<SessionRecord> FindSession(const std::string& token_hash) override {
    auto q = db_.Prepare(sql::kFindSession.sqlite());
    SqliteConnection::Bind(q.get(), 1, token_hash);
    if (db_.Step(q.get(), "reading a session") != SQLITE_ROW) return std::nullopt;
    return SessionRecord{Text(q.get(), 0), Text(q.get(), 1), Text(q.get(), 2), sqlite3_column_int64(q.get(), 3),
                         sqlite3_column_int64(q.get(), 4), Text(q.get(), 5)};
  }

  void TouchSession(const std::string& token_hash, std::int64_t last_seen) override {
    auto q = db_.Prepare(sql::kTouchSession.sqlite());
    SqliteConnection::Bind(q.get(), 1, token_hash);
    sqlite3_bind_int64(q.get(), 2, last_seen);
    db_.Step(q.get(), "updating a session");
  }

  void RemoveSession(const std::string& token_hash, const AuditEntry* audit) override {
    SqliteTransaction t(db_, "removing a session");
    auto q = db_.Prepare(sql::kRemoveSession.sqlite());
    SqliteConnection::Bind(q.get(), 1, token_hash);
    db_.Step(q.get(), "removing a session");
    if (audit) InsertAudit(*audit);
    t.Commit();
  }

  void RemoveExpiredSessions(std::int64_t created_before, std::int64_t seen_before) override {
    auto q = db_.Prepare(sql::kRemoveExpiredSessions.sqlite());
    sqlite3_bind_int64(q.get(), 1, created_before);
    sqlite3_bind_int64(q.get(), 2, seen_before);
    db_.Step(q.get(), "removing expired sessions");
  }

  void Audit(const AuditEntry& entry) override { InsertAudit(entry); }

  std::vector<AuditEntry> AuditTrail(std::size_t limit, std::optional<std::int64_t> before_id) override {
    auto q = db_.Prepare(sql::kAuditTrail.sqlite());
    if (before_id) sqlite3_bind_int64(q.get(), 1, *before_id);
    sqlite3_bind_int64(q.get(), 2, static_cast<sqlite3_int64>(limit));
    std::vector<AuditEntry> rows;
    while (db_.Step(q.get(), "reading the audit trail") == SQLITE_ROW)
      rows.push_back({sqlite3_column_int64(q.get(), 0), Text(q.get(), 1), Text(q.get(), 2), Text(q.get(), 3),
                      Text(q.get(), 4), Text(q.get(), 5)});
    return rows;
  }

  std::int64_t AuditCount() override {
    auto q = db_.Prepare(sql::kAuditCount.sqlite());
    db_.Step(q.get(), "counting the audit trail");
    return sqlite3_column_int64(q.get(), 0);
  }

 private:
  static std::string Text(sqlite3_stmt* q, int column) { return SqliteConnection::Text(q, column); }
  User ReadUser(sqlite3_stmt* q) const {
    User u;
    u.name = Text(q, 0);
    std::optional<Role> role = ParseRole(Text(q, 1));
    if (!role) throw StoreError(StoreFailure::Invalid, "database " + db_.path() + ": user " + u.name + " has an unknown role");
    u.role = *role;
    u.disabled = sqlite3_column_int(q, 2) != 0;
    u.language = Text(q, 3);
    u.created_at = Text(q, 4);
    u.sites = SplitSites(Text(q, 5));
    return u;
  }
  void RemoveSessionsOf(const std::string& name) {
    auto q = db_.Prepare(sql::kRemoveSessionsOf.sqlite());
    SqliteConnection::Bind(q.get(), 1, name);
    db_.Step(q.get(), "removing a user's sessions");
  }
  void InsertAudit(const AuditEntry& e) { store::InsertAudit(db_, e); }

  SqliteConnection db_;
};

}  // namespace

std::unique_ptr<AccountsStore> OpenSqliteAccounts(const std::string& path, std::chrono::milliseconds lock_timeout,
                                                  bool read_only) {
  return std::make_unique<SqliteAccounts>(path, lock_timeout, read_only);
}

}  // namespace vanto::store
