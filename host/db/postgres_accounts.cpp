// The accounts store in the site's PostgreSQL database.
#include <memory>
#include <mutex>

#include "host/db/accounts_engines.h"
#include "host/db/postgres_store.h"
#include "host/db/audit_writer.h"
#include "host/db/pg_engines.h"
#include "host/db/pg_pool.h"
#include "host/db/pg_connection.h"
#include "host/db/statements.h"

namespace vanto::store {
namespace {


class PostgresAccounts final : public AccountsStore {
 public:
  explicit PostgresAccounts(PgLease lease) : lease_(std::move(lease)), location_(c_.server()) {}

  const std::string& location() const override { return location_; }

  std::vector<User> Users() override {
    std::vector<User> users;
    c_.Retry("listing the users", [&] {
      users.clear();
      PgResult r = c_.Exec(sql::kUsers.postgres(), {},
                           "listing the users");
      for (int i = 0; i < r.rows(); ++i) users.push_back(ReadUser(r, i));
    });
    return users;
  }

  std::optional<User> FindUser(const std::string& name, std::string* password_hash) override {
    std::optional<User> user;
    c_.Retry("reading a user", [&] {
      PgResult r = c_.Exec(sql::kFindUser.postgres(), {name.c_str()}, "reading a user");
      user.reset();
      if (r.rows() == 0) return;
      if (password_hash) *password_hash = r.text(0, 6);
      user = ReadUser(r, 0);
    });
    return user;
  }

  bool AddUser(const User& user, const std::string& password_hash, const AuditEntry& audit) override {
    bool added = false;
    std::string disabled = user.disabled ? "1" : "0";
    const std::string sites = JoinSites(user.sites);
    c_.Transaction("adding a user", [&] {
      PgResult r = c_.Exec(
          sql::kAddUser.postgres(),
          {user.name.c_str(), RoleName(user.role), password_hash.c_str(), disabled.c_str(), user.language.c_str(),
           user.created_at.c_str(), sites.c_str()},
          "adding a user");
      added = r.rows() > 0;
      if (added) InsertAudit(audit);
    });
    return added;
  }

  bool SetPassword(const std::string& name, const std::string& password_hash, const AuditEntry& audit) override {
    bool changed = false;
    c_.Transaction("changing a password", [&] {
      PgResult r = c_.Exec(
          sql::kSetPassword.postgres(),
          {name.c_str(), password_hash.c_str(), audit.at.c_str()}, "changing a password");
      changed = r.rows() > 0;
      if (!changed) return;
      c_.Exec(sql::kRemoveSessionsOf.postgres(), {name.c_str()}, "removing a user's sessions");
      InsertAudit(audit);
    });
    return changed;
  }

  bool SetDisabled(const std::string& name, bool disabled, const AuditEntry& audit) override {
    bool changed = false;
    c_.Transaction("disabling a user", [&] {
      PgResult r = c_.Exec(sql::kSetDisabled.postgres(),
                           {name.c_str(), disabled ? "1" : "0"}, "disabling a user");
      changed = r.rows() > 0;
      if (!changed) return;
      if (disabled) c_.Exec(sql::kRemoveSessionsOf.postgres(), {name.c_str()}, "removing a user's sessions");
      InsertAudit(audit);
    });
    return changed;
  }

  bool AcknowledgeConflict(std::int64_t id, const std::string& by, const AuditEntry& audit) override {
    bool changed = false;
    const std::string number = std::to_string(id);
    c_.Transaction("acknowledging a conflict", [&] {
      PgResult r = c_.Exec(
          "UPDATE conflicts SET acknowledged = true, acknowledged_by = $2, acknowledged_at = $3 WHERE id = $1 AND "
          "NOT acknowledged RETURNING id",
          {number.c_str(), by.c_str(), audit.at.c_str()}, "acknowledging a conflict");
      changed = r.rows() > 0;
      if (changed) InsertAudit(audit);
    });
    return changed;
  }

  bool SetSites(const std::string& name, const std::vector<std::string>& sites, const AuditEntry& audit) override {
    bool changed = false;
    const std::string joined = JoinSites(sites);
    c_.Transaction("limiting a user to sites", [&] {
      PgResult r = c_.Exec(sql::kSetSites.postgres(), {name.c_str(), joined.c_str()}, "limiting a user to sites");
      changed = r.rows() > 0;
      if (changed) InsertAudit(audit);
    });
    return changed;
  }

  bool SetLanguage(const std::string& name, const std::string& language) override {
    bool changed = false;
    c_.Retry("choosing a language", [&] {
      PgResult r = c_.Exec(sql::kSetLanguage.postgres(),
                           {name.c_str(), language.c_str()}, "choosing a language");
      changed = r.rows() > 0;
    });
    return changed;
  }

  void AddSession(const SessionRecord& s, const AuditEntry& audit) override {
    std::string created = std::to_string(s.created), seen = std::to_string(s.last_seen);
    c_.Transaction("storing a session", [&] {
      c_.Exec(
          sql::kAddSession.postgres(),
          {s.token_hash.c_str(), s.user.c_str(), s.csrf.c_str(), created.c_str(), seen.c_str(), s.origin.c_str()},
          "storing a session");
      InsertAudit(audit);
    });
  }

  std::optional<SessionRecord> FindSession(const std::string& token_hash) override {
    std::optional<SessionRecord> session;
    c_.Retry("reading a session", [&] {
      PgResult r = c_.Exec(sql::kFindSession.postgres(), {token_hash.c_str()}, "reading a session");
      session.reset();
      if (r.rows() == 0) return;
      session = SessionRecord{r.text(0, 0), r.text(0, 1), r.text(0, 2), std::stoll(r.text(0, 3)),
                              std::stoll(r.text(0, 4)), r.text(0, 5)};
    });
    return session;
  }

  void TouchSession(const std::string& token_hash, std::int64_t last_seen) override {
    std::string seen = std::to_string(last_seen);
    c_.Retry("updating a session", [&] {
      c_.Exec(sql::kTouchSession.postgres(), {token_hash.c_str(), seen.c_str()}, "updating a session");
    });
  }

  void RemoveSession(const std::string& token_hash, const AuditEntry* audit) override {
    c_.Transaction("removing a session", [&] {
      c_.Exec(sql::kRemoveSession.postgres(), {token_hash.c_str()}, "removing a session");
      if (audit) InsertAudit(*audit);
    });
  }

  void RemoveExpiredSessions(std::int64_t created_before, std::int64_t seen_before) override {
    std::string created = std::to_string(created_before), seen = std::to_string(seen_before);
    c_.Retry("removing expired sessions", [&] {
      c_.Exec(sql::kRemoveExpiredSessions.postgres(), {created.c_str(), seen.c_str()}, "removing expired sessions");
    });
  }

  void Audit(const AuditEntry& entry) override {
    c_.Retry("writing the audit trail", [&] { InsertAudit(entry); });
  }

  std::vector<AuditEntry> AuditTrail(std::size_t limit, std::optional<std::int64_t> before_id) override {
    std::vector<AuditEntry> rows;
    std::string before = before_id ? std::to_string(*before_id) : "";
    std::string count = std::to_string(limit);
    c_.Retry("reading the audit trail", [&] {
      rows.clear();
      PgResult r = c_.Exec(
          sql::kAuditTrail.postgres(),
          {before_id ? before.c_str() : nullptr, count.c_str()}, "reading the audit trail");
      for (int i = 0; i < r.rows(); ++i)
        rows.push_back({std::stoll(r.text(i, 0)), r.text(i, 1), r.text(i, 2), r.text(i, 3), r.text(i, 4), r.text(i, 5)});
    });
    return rows;
  }

  std::int64_t AuditCount() override {
    std::int64_t count = 0;
    c_.Retry("counting the audit trail", [&] {
      PgResult r = c_.Exec(sql::kAuditCount.postgres(), {}, "counting the audit trail");
      count = std::stoll(r.text(0, 0));
    });
    return count;
  }

 private:
  User ReadUser(const PgResult& r, int row) const {
    User u;
    u.name = r.text(row, 0);
    std::optional<Role> role = ParseRole(r.text(row, 1));
    if (!role)
      throw StoreError(StoreFailure::Invalid, "database " + location_ + ": user " + u.name + " has an unknown role");
    u.role = *role;
    u.disabled = std::string(r.text(row, 2)) != "0";
    u.language = r.text(row, 3);
    u.created_at = r.text(row, 4);
    u.sites = SplitSites(r.text(row, 5));
    return u;
  }
  void InsertAudit(const AuditEntry& e) { store::InsertAudit(c_, e); }

  PgLease lease_;
  PgConnection& c_ = *lease_;
  std::string location_;
};

}  // namespace

std::unique_ptr<AccountsStore> OpenPostgresAccounts(const std::string& url, std::chrono::milliseconds lock_timeout) {
  return std::make_unique<PostgresAccounts>(ConnectOwn(url, lock_timeout));
}

std::unique_ptr<AccountsStore> PostgresAccountsOver(PgLease lease) {
  return std::make_unique<PostgresAccounts>(std::move(lease));
}

}  // namespace vanto::store
