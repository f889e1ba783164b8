#include "cli/store/postgres_store.h"

#include <libpq-fe.h>

#include <unordered_map>

#include "cli/store/civil_time.h"
#include "cli/store/schema.h"
#include "platform/ado/pg_connection.h"

namespace vanto::store {
namespace {

// Any fixed number: the advisory lock that lets one process at a time take schema steps.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(730531)";

std::string IntArray(std::span<const StoredSwipe> rows, int StoredSwipe::*field) {
  std::string text = "{";
  for (std::size_t i = 0; i < rows.size(); ++i) (text += i ? "," : "") += std::to_string(rows[i].*field);
  return text + "}";
}

std::string TextArray(std::span<const StoredSwipe> rows, std::string StoredSwipe::*field) {
  std::string text = "{";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    text += i ? ",\"" : "\"";
    for (char c : rows[i].*field) {
      if (c == '"' || c == '\\') text += '\\';
      text += c;
    }
    text += '"';
  }
  return text + "}";
}

std::string Key(int port, int terminal, long long person, const std::string& minute, int occurrence) {
  return std::to_string(port) + "|" + std::to_string(terminal) + "|" + std::to_string(person) + "|" + minute + "|" +
         std::to_string(occurrence);
}

struct Params {
  std::vector<std::string> texts;
  std::vector<const char*> pointers;
};

Params ParamsOf(const SqlFilter& filter) {
  Params p;
  for (const SqlValue& v : filter.values)
    p.texts.push_back(std::holds_alternative<std::int64_t>(v) ? std::to_string(std::get<std::int64_t>(v))
                                                              : std::get<std::string>(v));
  for (const std::string& t : p.texts) p.pointers.push_back(t.c_str());
  return p;
}

class PostgresSwipeStore final : public SwipeStore {
 public:
  PostgresSwipeStore(const std::string& url, const OpenOptions& options)
      : connection_(url, PgOptions{.connect_timeout = std::chrono::milliseconds(10000),
                                   .lock_timeout = options.lock_timeout,
                                   .reconnect_attempts = 5,
                                   .race_attempts = 8}) {}

  const std::string& location() const override { return connection_.server(); }
  int schema_version() const override { return version_; }

  int ReadVersion() {
    PgResult exists = connection_.Exec("SELECT to_regclass('schema_version') IS NOT NULL", "reading the schema version");
    if (std::string(exists.text(0, 0)) != "t") return 0;
    PgResult max = connection_.Exec("SELECT coalesce(max(version), 0) FROM schema_version", "reading the schema version");
    return std::stoi(max.text(0, 0));
  }

  void ReadOnly() {
    connection_.Exec("SET default_transaction_read_only = on", "opening for reading");
    version_ = ReadVersion();
    if (version_ == 0 && std::string(connection_.Exec("SELECT to_regclass('swipes') IS NOT NULL", "reading the list of tables")
                                         .text(0, 0)) != "t")
      throw StoreError(StoreFailure::Invalid, "database " + location() + " holds no swipes (not a vanto database?)");
    CheckReadableSchema(location(), version_);
  }

  void Migrate() {
    version_ = ReadVersion();
    if (version_ > LatestSchemaVersion()) throw StoreError(StoreFailure::NewerSchema, NewerSchemaMessage(location(), version_));
    if (version_ == LatestSchemaVersion()) return;
    connection_.Transaction("bringing the schema up to date", [&] {
      connection_.Exec(kMigrationLock, "bringing the schema up to date");
      connection_.Exec(SchemaVersionTableSql(Engine::Postgres), "bringing the schema up to date");
      version_ = ReadVersion();  // another process may have taken the steps meanwhile
      if (version_ > LatestSchemaVersion())
        throw StoreError(StoreFailure::NewerSchema, NewerSchemaMessage(location(), version_));
      for (const SchemaStep& step : SchemaSteps()) {
        if (step.version <= version_) continue;
        std::string label = "bringing the schema to version " + std::to_string(step.version);
        connection_.Exec(SchemaStepSql(step, Engine::Postgres), label);
        std::string version = std::to_string(step.version), now = UtcNowText();
        connection_.Exec("INSERT INTO schema_version (version, what, applied_at) VALUES ($1, $2, $3)",
                         {version.c_str(), step.what, now.c_str()}, label);
      }
    });
    version_ = ReadVersion();
  }

  std::vector<bool> Insert(std::span<const StoredSwipe> rows) override {
    std::vector<bool> added(rows.size(), false);
    if (rows.empty()) return added;
    std::string ports = IntArray(rows, &StoredSwipe::port), terminals = IntArray(rows, &StoredSwipe::terminal),
                occurrences = IntArray(rows, &StoredSwipe::occurrence);
    std::string persons = "{";
    for (std::size_t i = 0; i < rows.size(); ++i) (persons += i ? "," : "") += std::to_string(rows[i].person);
    persons += "}";
    std::string minutes = TextArray(rows, &StoredSwipe::minute), times = TextArray(rows, &StoredSwipe::time),
                downloaded = TextArray(rows, &StoredSwipe::downloaded_at);
    // One statement per batch; rows go in in key order, so concurrent writers of overlapping
    // batches take their locks in one order and do not deadlock.
    static const std::string sql = std::string("INSERT INTO swipes (") + kSwipeColumns +
                                   ") SELECT * FROM unnest($1::integer[], $2::integer[], $3::integer[], $4::text[], "
                                   "$5::integer[], $6::text[], $7::text[]) ORDER BY 1, 2, 3, 4, 5 "
                                   "ON CONFLICT DO NOTHING RETURNING port, terminal, person, minute, occurrence";
    // One statement: a transaction of its own, one round trip per batch.
    connection_.Retry("storing swipes", [&] {
      std::fill(added.begin(), added.end(), false);
      PgResult stored = connection_.ExecPrepared("vanto_insert_swipes", sql,
                                         {ports.c_str(), terminals.c_str(), persons.c_str(), minutes.c_str(),
                                          occurrences.c_str(), times.c_str(), downloaded.c_str()},
                                         "storing swipes");
      if (stored.rows() == 0) return;
      std::unordered_map<std::string, std::size_t> index;
      index.reserve(rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i)
        index.emplace(Key(rows[i].port, rows[i].terminal, rows[i].person, rows[i].minute, rows[i].occurrence), i);
      for (int r = 0; r < stored.rows(); ++r) {
        auto it = index.find(Key(std::atoi(stored.text(r, 0)), std::atoi(stored.text(r, 1)), std::atoll(stored.text(r, 2)),
                                 stored.text(r, 3), std::atoi(stored.text(r, 4))));
        if (it != index.end()) added[it->second] = true;
      }
    });
    return added;
  }

  PeopleImport PutPeople(std::span<const PersonName> people) override {
    PeopleImport result;
    if (people.empty()) return result;
    // All or nothing, in one transaction; a lost race runs the whole import again.
    connection_.Transaction("storing people", [&] {
      result = {};
      for (const PersonName& p : people) {
        std::string number = std::to_string(p.person);
        PgResult held = connection_.Exec("SELECT name, department FROM people WHERE person = $1 FOR UPDATE",
                                         {number.c_str()}, "reading people");
        if (held.rows() > 0) {
          if (p.name == held.text(0, 0) && p.department == held.text(0, 1)) {
            ++result.unchanged;
            continue;
          }
          connection_.Exec("UPDATE people SET name = $2, department = $3 WHERE person = $1",
                           {number.c_str(), p.name.c_str(), p.department.c_str()}, "storing people");
          ++result.updated;
        } else {
          connection_.Exec("INSERT INTO people (person, name, department) VALUES ($1, $2, $3) "
                           "ON CONFLICT (person) DO UPDATE SET name = excluded.name, department = excluded.department",
                           {number.c_str(), p.name.c_str(), p.department.c_str()}, "storing people");
          ++result.added;
        }
      }
    });
    return result;
  }

  std::vector<PersonName> People() const override {
    std::vector<PersonName> people;
    connection_.Retry("reading people", [&] {
      people.clear();
      PgResult rows = connection_.Exec("SELECT person, name, department FROM people ORDER BY person", "reading people");
      for (int r = 0; r < rows.rows(); ++r)
        people.push_back({static_cast<std::int32_t>(std::atoll(rows.text(r, 0))), rows.text(r, 1), rows.text(r, 2)});
    });
    return people;
  }

  std::int64_t Count(const SwipeQuery& query) const override {
    SqlFilter filter = BuildFilter(query, Engine::Postgres);
    Params params = ParamsOf(filter);
    std::int64_t count = 0;
    connection_.Retry("counting swipes", [&] {
      PgResult result = connection_.Exec("SELECT count(*) FROM swipes" + filter.where, params.pointers, "counting swipes");
      count = std::atoll(result.text(0, 0));
    });
    return count;
  }

  void Each(const SwipeQuery& query, const std::function<bool(const StoredSwipe&)>& row) const override {
    SqlFilter filter = BuildFilter(query, Engine::Postgres);
    Params params = ParamsOf(filter);
    connection_.EnsureConnected();
    std::string sql = std::string("SELECT ") + kSwipeColumns + " FROM swipes" + filter.where + kSwipeOrder;
    PGconn* conn = connection_.get();
    if (!PQsendQueryParams(conn, sql.c_str(), static_cast<int>(params.pointers.size()), nullptr,
                           params.pointers.data(), nullptr, nullptr, 0))
      throw StoreError(StoreFailure::Unreachable,
                       "database " + location() + ": reading swipes failed: " + PQerrorMessage(conn));
    PQsetSingleRowMode(conn);  // one row at a time: memory stays flat
    bool wanted = true;
    std::optional<StoreError> failure;
    while (PGresult* raw = PQgetResult(conn)) {
      PgResult result(raw);
      ExecStatusType status = PQresultStatus(raw);
      if (status == PGRES_SINGLE_TUPLE && wanted && !failure) {
        StoredSwipe s{std::atoi(result.text(0, 0)), std::atoi(result.text(0, 1)),
                      static_cast<std::int32_t>(std::atoll(result.text(0, 2))), result.text(0, 3),
                      std::atoi(result.text(0, 4)), result.text(0, 5), result.text(0, 6)};
        try {
          wanted = row(s);
        } catch (const StoreError& e) {
          failure = e;
          wanted = false;
        } catch (...) {
          Drain(conn);
          throw;
        }
        if (!wanted) Drain(conn);
      } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK && !failure) {
        failure = StoreError(PQstatus(conn) == CONNECTION_OK ? StoreFailure::Other : StoreFailure::Unreachable,
                             "database " + location() + ": reading swipes failed: " + PQresultErrorMessage(raw));
      }
    }
    if (failure) throw *failure;
  }

 private:
  // Stops a query that is still sending rows and reads what is left of it.
  static void Drain(PGconn* conn) {
    if (PGcancel* cancel = PQgetCancel(conn)) {
      char error[256];
      PQcancel(cancel, error, sizeof error);
      PQfreeCancel(cancel);
    }
    while (PGresult* rest = PQgetResult(conn)) PQclear(rest);
  }

  mutable PgConnection connection_;
  int version_ = 0;
};

}  // namespace

std::unique_ptr<SwipeStore> OpenPostgresStore(const std::string& url, const OpenOptions& options) {
  auto store = std::make_unique<PostgresSwipeStore>(url, options);
  store->Migrate();
  return store;
}

std::unique_ptr<SwipeStore> OpenPostgresStoreForReading(const std::string& url, std::chrono::milliseconds lock_timeout) {
  OpenOptions options;
  options.lock_timeout = lock_timeout;
  auto store = std::make_unique<PostgresSwipeStore>(url, options);
  store->ReadOnly();
  return store;
}

bool PostgresHasTable(const std::string& url, const std::string& table, std::chrono::milliseconds lock_timeout) {
  PgConnection connection(url, PgOptions{.connect_timeout = std::chrono::milliseconds(10000),
                                         .lock_timeout = lock_timeout,
                                         .reconnect_attempts = 5,
                                         .race_attempts = 8});
  PgResult result = connection.Exec("SELECT to_regclass($1) IS NOT NULL", {table.c_str()}, "reading the list of tables");
  return std::string(result.text(0, 0)) == "t";
}

}  // namespace vanto::store
