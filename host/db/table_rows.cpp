#include "host/db/table_rows.h"

#include <sqlite3.h>

#include <cctype>
#include <map>

#include "host/db/pg_engines.h"
#include "host/db/postgres_store.h"
#include "host/db/sqlite_store.h"
#include "host/db/swipe_store.h"
#include "host/message.h"
#include "host/db/pg_connection.h"
#include "host/db/sqlite_connection.h"
#include "host/db/statements.h"
#include "host/db/openers.h"

namespace vanto::store {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string BytesOfHex(const std::string& hex, const std::string& where) {
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]), low = i + 1 < hex.size() ? HexDigit(hex[i + 1]) : -1;
    if (high < 0 || low < 0)
      throw StoreError(StoreFailure::Invalid, host::Message("{0}: bytes that are not hexadecimal text", {where}));
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

// Statements come numbered as both engines share them ($1, ...): SqliteText numbers them for SQLite.
class SqliteTables final : public TableConnection, public SqliteBacked {
 public:
  sqlite3* sqlite_connection() const override { return db_.get(); }
  SqliteTables(const std::string& path, std::chrono::milliseconds wait, bool read_only)
      : db_(path, wait, "opening the tables", "preparing a statement on the tables",
            read_only ? SqliteConnection::Mode::ReadOnly : SqliteConnection::Mode::ReadWrite, HostSqliteMessage) {}
  ~SqliteTables() override {
    statements_.clear();
    if (snapshot_) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }

  Engine engine() const override { return Engine::Sqlite; }
  const std::string& location() const override { return db_.path(); }

  void BeginSnapshot() override {
    db_.Exec("BEGIN", "beginning a snapshot");
    snapshot_ = true;
    // A read transaction takes its snapshot at its first read.
    Query("SELECT count(*) FROM sqlite_master", {}, [](const TableRow&) {}, "beginning a snapshot");
  }

  void Query(const std::string& sql, const TableRow& params, const std::function<void(const TableRow&)>& row,
             const std::string& step) override {
    sqlite3_stmt* q = Statement(sql, params, {});
    const int columns = sqlite3_column_count(q);
    TableRow values(static_cast<std::size_t>(columns));
    int rc;
    while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
      for (int c = 0; c < columns; ++c) {
        TableValue& value = values[static_cast<std::size_t>(c)];
        if (sqlite3_column_type(q, c) == SQLITE_NULL) {
          value.reset();
        } else {  // into the string of the row before: no allocation per value
          const unsigned char* text = sqlite3_column_text(q, c);
          const auto size = static_cast<std::size_t>(sqlite3_column_bytes(q, c));
          if (!value) value.emplace();
          value->assign(text ? reinterpret_cast<const char*>(text) : "", text ? size : 0);
        }
      }
      row(values);
    }
    sqlite3_reset(q);
    if (rc != SQLITE_DONE) db_.Fail(rc, step);
  }

  std::int64_t Exec(const std::string& sql, const TableRow& params, const std::string& step,
                    const std::set<int>& blobs) override {
    sqlite3_stmt* q = Statement(sql, params, blobs);
    const int rc = sqlite3_step(q);
    sqlite3_reset(q);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) db_.Fail(rc, step);
    return sqlite3_changes(db_.get());
  }

  void Transaction(const std::string& step, const std::function<void()>& work) override {
    SqliteTransaction transaction(db_, step);
    work();
    transaction.Commit();
  }

 private:
  sqlite3_stmt* Statement(const std::string& sql, const TableRow& params, const std::set<int>& blobs) {
    auto it = statements_.find(sql);
    if (it == statements_.end()) it = statements_.emplace(sql, db_.Prepare(SqliteText(sql).c_str())).first;
    sqlite3_stmt* q = it->second.get();
    sqlite3_reset(q);
    sqlite3_clear_bindings(q);
    for (std::size_t i = 0; i < params.size(); ++i) {
      const int at = static_cast<int>(i) + 1;
      if (!params[i]) {
        sqlite3_bind_null(q, at);
      } else if (blobs.count(at)) {
        const std::string bytes = BytesOfHex(*params[i], db_.path());
        sqlite3_bind_blob(q, at, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
      } else {
        SqliteConnection::Bind(q, at, *params[i]);
      }
    }
    return q;
  }

  SqliteConnection db_;
  std::map<std::string, SqliteStatement> statements_;
  bool snapshot_ = false;
};

class PostgresTables final : public TableConnection {
  static constexpr int kPage = 2000;  // rows a cursor hands over at a time
  // A flag raised while a scope runs, lowered however it ends.
  struct Raised {
    explicit Raised(bool& raised) : flag(raised) { flag = true; }
    ~Raised() { flag = false; }
    Raised(const Raised&) = delete;
    Raised& operator=(const Raised&) = delete;
    bool& flag;
  };

 public:
  explicit PostgresTables(PgLease lease) : lease_(std::move(lease)) {}
  ~PostgresTables() override {
    if (in_transaction_) {
      try {
        c_.Exec("ROLLBACK", "ending a snapshot");
      } catch (const StoreError&) {
      }
    }
  }

  Engine engine() const override { return Engine::Postgres; }
  const std::string& location() const override { return c_.server(); }

  void BeginSnapshot() override {
    c_.Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", "beginning a snapshot");
    in_transaction_ = true;
    c_.Exec("SELECT 1", "beginning a snapshot");  // takes the snapshot
  }

  // Read through a cursor, a page at a time, so that memory stays flat however many rows.
  void Query(const std::string& sql, const TableRow& params, const std::function<void(const TableRow&)>& row,
             const std::string& step) override {
    if (whole_ || sql.rfind("SELECT", 0) != 0) {  // small reads, INSERT ... RETURNING: no cursor
      std::vector<const char*> values;
      for (const TableValue& v : params) values.push_back(v ? v->c_str() : nullptr);
      // Small reads come again (the figures on every page): planned once per connection.
      Hand(whole_ ? c_.ExecCached(sql, values, step) : c_.Exec(sql, values, step), row);
      return;
    }
    const bool own = !in_transaction_;
    if (own) c_.Exec("BEGIN", step);
    try {
      std::vector<const char*> values;
      for (const TableValue& v : params) values.push_back(v ? v->c_str() : nullptr);
      c_.Exec("DECLARE copy_rows NO SCROLL CURSOR FOR " + sql, values, step);
      for (;;) {
        PgResult r = c_.Exec("FETCH " + std::to_string(kPage) + " FROM copy_rows", step);
        Hand(r, row);
        if (r.rows() < kPage) break;  // the last page
      }
      c_.Exec("CLOSE copy_rows", step);
    } catch (...) {
      if (own) {
        try {
          c_.Exec("ROLLBACK", step);
        } catch (const StoreError&) {
        }
      }
      throw;
    }
    if (own) c_.Exec("COMMIT", step);
  }

  std::int64_t Exec(const std::string& sql, const TableRow& params, const std::string& step, const std::set<int>&) override {
    std::vector<const char*> values;
    for (const TableValue& v : params) values.push_back(v ? v->c_str() : nullptr);
    PgResult r = c_.Exec(sql, values, step);
    return ChangedRows(r);
  }

  void Reading(const std::string& step, const std::function<void()>& work) override {
    if (in_transaction_) return work();
    Transaction(step, [&] {
      Raised whole(whole_);
      work();
    });
  }

  void Transaction(const std::string& step, const std::function<void()>& work) override {
    c_.Transaction(step, [&] {
      Raised inside(in_transaction_);
      work();
    });
  }

 private:
  static void Hand(const PgResult& r, const std::function<void(const TableRow&)>& row) {
    const int columns = PQnfieldsOf(r);
    TableRow out(static_cast<std::size_t>(columns));
    for (int i = 0; i < r.rows(); ++i) {
      for (int c = 0; c < columns; ++c) {
        TableValue& value = out[static_cast<std::size_t>(c)];
        if (r.null(i, c)) {
          value.reset();
        } else {  // into the string of the row before: no allocation per value
          if (!value) value.emplace();
          value->assign(r.text(i, c), static_cast<std::size_t>(r.length(i, c)));
        }
      }
      row(out);
    }
  }
  static int PQnfieldsOf(const PgResult& r);
  static std::int64_t ChangedRows(const PgResult& r);
  PgLease lease_;
  PgConnection& c_ = *lease_;
  bool in_transaction_ = false;
  bool whole_ = false;  // inside Reading: every result read whole
};

}  // namespace
}  // namespace vanto::store

#include <libpq-fe.h>

namespace vanto::store {
namespace {
int PostgresTables::PQnfieldsOf(const PgResult& r) { return PQnfields(r.get()); }
std::int64_t PostgresTables::ChangedRows(const PgResult& r) {
  const char* n = PQcmdTuples(r.get());
  return n && *n ? std::stoll(n) : 0;
}
}  // namespace

bool TableConnection::HasTable(const std::string& table) {
  bool has = false;
  const std::string sql = engine() == Engine::Sqlite
                              ? "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = $1"
                              : "SELECT 1 FROM pg_catalog.pg_tables WHERE schemaname = current_schema() AND "
                                "tablename = $1";
  Query(sql, {table}, [&](const TableRow&) { has = true; }, "reading the list of tables");
  return has;
}

int TableConnection::SchemaVersion() {
  if (!HasTable("schema_version")) return 0;
  int version = 0;
  Query(sql::kSchemaVersion.postgres(), {},
        [&](const TableRow& r) { version = r[0] ? std::stoi(*r[0]) : 0; }, "reading the schema version");
  return version;
}

std::unique_ptr<TableConnection> OpenTableConnection(const std::string& location, std::chrono::milliseconds lock_timeout,
                                                     bool read_only) {
  if (IsDatabaseUrl(location)) return std::make_unique<PostgresTables>(ConnectOwn(location, lock_timeout));
  return std::make_unique<SqliteTables>(location, lock_timeout, read_only);
}

std::unique_ptr<TableConnection> PostgresTablesOver(PgLease lease) {
  return std::make_unique<PostgresTables>(std::move(lease));
}

std::string HexColumn(Engine engine, const std::string& column) {
  return engine == Engine::Sqlite ? "CASE WHEN " + column + " IS NULL THEN NULL ELSE lower(hex(" + column + ")) END"
                                  : "encode(" + column + ", 'hex')";
}

std::string BlobParameter(Engine engine, int n) {
  return engine == Engine::Sqlite ? "$" + std::to_string(n) : "decode($" + std::to_string(n) + ", 'hex')";
}

}  // namespace vanto::store
