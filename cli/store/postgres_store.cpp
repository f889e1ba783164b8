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
    // The log key (NULL for a terminal without identity).
    auto optionals = [&](std::optional<std::uint32_t> StoredSwipe::*field) {
      std::string out = "{";
      for (std::size_t i = 0; i < rows.size(); ++i)
        (out += i ? "," : "") += (rows[i].*field) ? std::to_string(*(rows[i].*field)) : std::string("NULL");
      return out + "}";
    };
    std::string identities = optionals(&StoredSwipe::identity), generations = optionals(&StoredSwipe::generation),
                indexes = optionals(&StoredSwipe::index);
    // One statement per batch; rows go in in key order, so concurrent writers of overlapping
    // batches take their locks in one order and do not deadlock.
    // A row stored before its terminal told its identity gets it when the same swipe comes again
    // (matched by the old key) instead of a second row: it is then no new row.
    static const std::string sql =
        std::string("WITH batch AS (SELECT * FROM unnest($1::integer[], $2::integer[], $3::integer[], $4::text[], "
                    "$5::integer[], $6::text[], $7::text[], $8::bigint[], $9::bigint[], $10::bigint[]) "
                    "AS b(port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation, "
                    "record_index)), "
                    "adopted AS (UPDATE swipes s SET identity = b.identity, generation = b.generation, "
                    "record_index = b.record_index FROM batch b WHERE b.identity IS NOT NULL AND s.identity IS NULL "
                    "AND s.port = b.port AND s.terminal = b.terminal AND s.person = b.person AND s.minute = b.minute "
                    "AND s.occurrence = b.occurrence RETURNING s.port, s.terminal, s.person, s.minute, s.occurrence) "
                    "INSERT INTO swipes (") +
        kSwipeColumns +
        ") SELECT * FROM batch WHERE (port, terminal, person, minute, occurrence) NOT IN (SELECT * FROM adopted) "
        "ORDER BY 1, 2, 3, 4, 5 ON CONFLICT DO NOTHING RETURNING port, terminal, person, minute, occurrence";
    // One statement: a transaction of its own, one round trip per batch.
    connection_.Retry("storing swipes", [&] {
      std::fill(added.begin(), added.end(), false);
      PgResult stored = connection_.ExecPrepared("vanto_insert_swipes", sql,
                                         {ports.c_str(), terminals.c_str(), persons.c_str(), minutes.c_str(),
                                          occurrences.c_str(), times.c_str(), downloaded.c_str(), identities.c_str(),
                                          generations.c_str(), indexes.c_str()},
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

  int CountEarlier(const LogKey& log, std::int32_t person, const std::string& minute,
                   std::uint32_t before) const override {
    std::string id = std::to_string(log.identity), gen = std::to_string(log.generation),
                who = std::to_string(person), upto = std::to_string(before);
    int count = 0;
    connection_.Retry("counting earlier swipes", [&] {
      PgResult r = connection_.Exec(
          "SELECT count(*) FROM swipes WHERE identity = $1 AND generation = $2 AND person = $3 AND minute = $4 "
          "AND record_index < $5",
          {id.c_str(), gen.c_str(), who.c_str(), minute.c_str(), upto.c_str()}, "counting earlier swipes");
      count = std::atoi(r.text(0, 0));
    });
    return count;
  }

  LogCoverage Coverage(const LogKey& log) const override {
    std::string id = std::to_string(log.identity), gen = std::to_string(log.generation);
    LogCoverage coverage;
    connection_.Retry("counting the records of a terminal", [&] {
      PgResult r = connection_.Exec(
          "SELECT coalesce((SELECT held FROM log_records WHERE identity = $1 AND generation = $2), 0), "
          "greatest(coalesce((SELECT max(record_index) + 1 FROM swipes WHERE identity = $1 AND generation = $2), 0), "
          "coalesce((SELECT max(record_index) + 1 FROM rejected_records WHERE identity = $1 AND generation = $2), 0))",
          {id.c_str(), gen.c_str()}, "counting the records of a terminal");
      coverage.count = std::atoll(r.text(0, 0));
      coverage.next = std::atoll(r.text(0, 1));
    });
    return coverage;
  }

  std::vector<std::pair<std::uint32_t, std::uint32_t>> Missing(const LogKey& log, std::uint32_t held,
                                                               std::size_t limit) const override {
    std::string id = std::to_string(log.identity), gen = std::to_string(log.generation), upto = std::to_string(held);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> missing;
    connection_.Retry("finding the records not stored", [&] {
      missing.clear();
      PgResult r = connection_.Exec(
          "SELECT record_index FROM swipes WHERE identity = $1 AND generation = $2 AND record_index < $3 "
          "UNION SELECT record_index FROM rejected_records WHERE identity = $1 AND generation = $2 "
          "AND record_index < $3 ORDER BY 1",
          {id.c_str(), gen.c_str(), upto.c_str()}, "finding the records not stored");
      std::int64_t expected = 0;
      auto gap = [&](std::int64_t to) {
        if (to > expected && missing.size() < limit)
          missing.push_back({static_cast<std::uint32_t>(expected), static_cast<std::uint32_t>(to - 1)});
      };
      for (int i = 0; i < r.rows(); ++i) {
        const std::int64_t index = std::atoll(r.text(i, 0));
        gap(index);
        expected = index + 1;
      }
      gap(held);
    });
    return missing;
  }

  bool AddRejected(const RejectedRecord& rec) override {
    std::string port = std::to_string(rec.port), terminal = std::to_string(rec.terminal),
                index = std::to_string(rec.index), person = std::to_string(rec.person), year = std::to_string(rec.year),
                month = std::to_string(rec.month), day = std::to_string(rec.day), hour = std::to_string(rec.hour),
                minute = std::to_string(rec.minute), seen = rec.first_seen.empty() ? UtcNowText() : rec.first_seen;
    std::string id = rec.log ? std::to_string(rec.log->identity) : "", gen = rec.log ? std::to_string(rec.log->generation) : "";
    bool added = false;
    connection_.Retry("keeping a rejected record", [&] {
      PgResult r = connection_.Exec(
          "INSERT INTO rejected_records (port, terminal, identity, generation, record_index, person, year, month, day, "
          "hour, minute, reason, first_seen) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13) "
          "ON CONFLICT DO NOTHING RETURNING 1",
          {port.c_str(), terminal.c_str(), rec.log ? id.c_str() : nullptr, rec.log ? gen.c_str() : nullptr,
           index.c_str(), person.c_str(), year.c_str(), month.c_str(), day.c_str(), hour.c_str(), minute.c_str(),
           rec.reason.c_str(), seen.c_str()},
          "keeping a rejected record");
      added = r.rows() > 0;
    });
    return added;
  }

  std::vector<RejectedRecord> Rejected() const override {
    std::vector<RejectedRecord> result;
    connection_.Retry("reading rejected records", [&] {
      result.clear();
      PgResult r = connection_.Exec(
          "SELECT port, terminal, identity, generation, record_index, person, year, month, day, hour, minute, reason, "
          "first_seen FROM rejected_records ORDER BY first_seen, identity, generation, record_index",
          "reading rejected records");
      for (int i = 0; i < r.rows(); ++i) {
        RejectedRecord rec;
        rec.port = std::atoi(r.text(i, 0));
        rec.terminal = std::atoi(r.text(i, 1));
        if (*r.text(i, 2))
          rec.log = LogKey{static_cast<std::uint32_t>(std::atoll(r.text(i, 2))),
                           static_cast<std::uint32_t>(std::atoll(r.text(i, 3)))};
        rec.index = static_cast<std::uint32_t>(std::atoll(r.text(i, 4)));
        rec.person = std::atoi(r.text(i, 5));
        rec.year = std::atoi(r.text(i, 6));
        rec.month = std::atoi(r.text(i, 7));
        rec.day = std::atoi(r.text(i, 8));
        rec.hour = std::atoi(r.text(i, 9));
        rec.minute = std::atoi(r.text(i, 10));
        rec.reason = r.text(i, 11);
        rec.first_seen = r.text(i, 12);
        result.push_back(std::move(rec));
      }
    });
    return result;
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
                      std::atoi(result.text(0, 4)), result.text(0, 5), result.text(0, 6), {}, {}, {}};
        if (!PQgetisnull(raw, 0, 7)) {
          s.identity = static_cast<std::uint32_t>(std::atoll(result.text(0, 7)));
          s.generation = static_cast<std::uint32_t>(std::atoll(result.text(0, 8)));
        }
        if (!PQgetisnull(raw, 0, 9)) s.index = static_cast<std::uint32_t>(std::atoll(result.text(0, 9)));
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
