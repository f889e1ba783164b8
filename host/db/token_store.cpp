// The API tokens' rows in either engine.
#include <sqlite3.h>

#include <algorithm>

#include "host/db/accounts_engines.h"
#include "host/db/audit_writer.h"
#include "host/db/civil_time.h"
#include "host/db/postgres_store.h"
#include "host/db/sqlite_store.h"
#include "host/db/pg_engines.h"
#include "host/db/pg_pool.h"
#include "host/db/pg_connection.h"
#include "host/db/sqlite_connection.h"
#include "host/db/statements.h"
#include "host/db/store_failure.h"

namespace vanto::store {

std::string JoinScopes(const std::vector<std::string>& scopes) {
  std::string text;
  for (const std::string& s : scopes) text += (text.empty() ? "" : ",") + s;
  return text;
}

std::string JoinSites(const std::vector<std::string>& sites) { return JoinScopes(sites); }
std::vector<std::string> SplitSites(const std::string& text) { return SplitScopes(text); }

bool User::MaySee(const std::string& site) const {
  return sites.empty() || std::find(sites.begin(), sites.end(), site) != sites.end();
}

std::vector<std::string> SplitScopes(const std::string& text) {
  std::vector<std::string> scopes;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    if (comma > start) scopes.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return scopes;
}

bool ApiToken::Allows(const std::string& scope) const {
  return std::find(scopes.begin(), scopes.end(), scope) != scopes.end();
}

bool ApiToken::AllowsSite(const std::string& site) const {
  return sites.empty() || std::find(sites.begin(), sites.end(), site) != sites.end();
}

bool ApiToken::ExpiredAt(std::int64_t now) const { return !expires_at.empty() && expires_at <= UtcText(now); }

namespace {

class SqliteTokens final : public TokenStore, public SqliteBacked {
 public:
  sqlite3* sqlite_connection() const override { return db_.get(); }
  SqliteTokens(const std::string& path, std::chrono::milliseconds wait, bool read_only)
      : db_(path, wait, "opening the API tokens", "preparing a token query",
            read_only ? SqliteConnection::Mode::ReadOnly : SqliteConnection::Mode::ReadWrite, HostSqliteMessage) {}

  bool Add(const ApiToken& t, const std::string& hash, const AuditEntry& audit) override {
    store::SqliteTransaction transaction(db_, "adding a token");
    auto q = db_.Prepare(sql::kAddToken.sqlite());
    Bind(q.get(), {t.name, hash, JoinScopes(t.scopes), t.created_at, t.created_by, t.expires_at, JoinScopes(t.sites)});
    if (db_.Rows(q.get(), "adding a token") == 0) return false;
    InsertAudit(audit);
    transaction.Commit();
    return true;
  }

  std::vector<ApiToken> List() override {
    auto q = db_.Prepare(sql::kTokens.sqlite());
    std::vector<ApiToken> tokens;
    while (db_.Step(q.get(), "listing the tokens") == SQLITE_ROW) tokens.push_back(Read(q.get()));
    return tokens;
  }

  std::optional<ApiToken> FindByHash(const std::string& hash) override {
    auto q = db_.Prepare(sql::kFindToken.sqlite());
    Bind(q.get(), {hash});
    if (db_.Step(q.get(), "reading a token") != SQLITE_ROW) return std::nullopt;
    return Read(q.get());
  }

  bool Revoke(const std::string& name, const AuditEntry& audit) override {
    store::SqliteTransaction transaction(db_, "revoking a token");
    auto q = db_.Prepare(sql::kRevokeToken.sqlite());
    Bind(q.get(), {name});
    if (db_.Rows(q.get(), "revoking a token") == 0) return false;
    InsertAudit(audit);
    transaction.Commit();
    return true;
  }

  void CountReads(const std::string& name, const std::string& hour, std::int64_t reads) override {
    auto q = db_.Prepare(sql::kCountTokenReads.sqlite());
    Bind(q.get(), {name, hour});
    sqlite3_bind_int64(q.get(), 3, reads);
    db_.Step(q.get(), "counting a token's reads");
  }

  std::int64_t Reads(const std::string& name, const std::string& hour) override {
    auto q = db_.Prepare(sql::kTokenReads.sqlite());
    Bind(q.get(), {name, hour});
    return db_.Step(q.get(), "reading a token's reads") == SQLITE_ROW ? sqlite3_column_int64(q.get(), 0) : 0;
  }

  void Audit(const AuditEntry& entry) override { InsertAudit(entry); }

 private:
  static void Bind(sqlite3_stmt* q, std::initializer_list<std::string> texts) {
    int i = 0;
    for (const std::string& t : texts) SqliteConnection::Bind(q, ++i, t);
  }
  static std::string Text(sqlite3_stmt* q, int column) { return SqliteConnection::Text(q, column); }
  static ApiToken Read(sqlite3_stmt* q) {
    return {Text(q, 0), SplitScopes(Text(q, 1)), Text(q, 2), Text(q, 3), Text(q, 4), SplitScopes(Text(q, 5))};
  }
  void InsertAudit(const AuditEntry& e) { store::InsertAudit(db_, e); }

  SqliteConnection db_;
};

class PostgresTokens final : public TokenStore {
 public:
  explicit PostgresTokens(PgLease lease) : lease_(std::move(lease)) {}

  bool Add(const ApiToken& t, const std::string& hash, const AuditEntry& audit) override {
    bool added = false;
    std::string scopes = JoinScopes(t.scopes), sites = JoinScopes(t.sites);
    c_.Transaction("adding a token", [&] {
      PgResult r = c_.Exec(
          sql::kAddToken.postgres(),
          {t.name.c_str(), hash.c_str(), scopes.c_str(), t.created_at.c_str(), t.created_by.c_str(),
           t.expires_at.c_str(), sites.c_str()},
          "adding a token");
      added = r.rows() > 0;
      if (added) InsertAudit(audit);
    });
    return added;
  }

  std::vector<ApiToken> List() override {
    std::vector<ApiToken> tokens;
    c_.Retry("listing the tokens", [&] {
      tokens.clear();
      PgResult r = c_.Exec(sql::kTokens.postgres(), {},
                           "listing the tokens");
      for (int i = 0; i < r.rows(); ++i) tokens.push_back(Read(r, i));
    });
    return tokens;
  }

  std::optional<ApiToken> FindByHash(const std::string& hash) override {
    std::optional<ApiToken> token;
    c_.Retry("reading a token", [&] {
      token.reset();
      PgResult r = c_.Exec(sql::kFindToken.postgres(), {hash.c_str()}, "reading a token");
      if (r.rows() > 0) token = Read(r, 0);
    });
    return token;
  }

  bool Revoke(const std::string& name, const AuditEntry& audit) override {
    bool removed = false;
    c_.Transaction("revoking a token", [&] {
      PgResult r = c_.Exec(sql::kRevokeToken.postgres(), {name.c_str()}, "revoking a token");
      removed = r.rows() > 0;
      if (removed) InsertAudit(audit);
    });
    return removed;
  }

  void CountReads(const std::string& name, const std::string& hour, std::int64_t reads) override {
    std::string n = std::to_string(reads);
    c_.Retry("counting a token's reads", [&] {
      c_.Exec(
          sql::kCountTokenReads.postgres(),
          {name.c_str(), hour.c_str(), n.c_str()}, "counting a token's reads");
    });
  }

  std::int64_t Reads(const std::string& name, const std::string& hour) override {
    std::int64_t reads = 0;
    c_.Retry("reading a token's reads", [&] {
      PgResult r = c_.Exec(sql::kTokenReads.postgres(), {name.c_str(), hour.c_str()}, "reading a token's reads");
      reads = r.rows() > 0 ? std::stoll(r.text(0, 0)) : 0;
    });
    return reads;
  }

  void Audit(const AuditEntry& entry) override {
    c_.Retry("writing the audit trail", [&] { InsertAudit(entry); });
  }

 private:
  static ApiToken Read(const PgResult& r, int row) {
    return {r.text(row, 0), SplitScopes(r.text(row, 1)), r.text(row, 2), r.text(row, 3), r.text(row, 4),
            SplitScopes(r.text(row, 5))};
  }
  void InsertAudit(const AuditEntry& e) { store::InsertAudit(c_, e); }
  PgLease lease_;
  PgConnection& c_ = *lease_;
};

}  // namespace

std::unique_ptr<TokenStore> OpenSqliteTokens(const std::string& path, std::chrono::milliseconds lock_timeout,
                                             bool read_only) {
  return std::make_unique<SqliteTokens>(path, lock_timeout, read_only);
}

std::unique_ptr<TokenStore> OpenPostgresTokens(const std::string& url, std::chrono::milliseconds lock_timeout) {
  return std::make_unique<PostgresTokens>(ConnectOwn(url, lock_timeout));
}

std::unique_ptr<TokenStore> PostgresTokensOver(PgLease lease) { return std::make_unique<PostgresTokens>(std::move(lease)); }

}  // namespace vanto::store
