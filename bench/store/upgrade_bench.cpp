// How long opening a database of 1,000,000 swipes at schema step 17 takes, the steps after it
// included (what a site's first start of this version costs), on SQLite and on PostgreSQL (the
// server as for store_bench: VANTO_BENCH_PG_URL, else VANTO_TEST_PG_URL). The database is made by
// the steps' own statements, the swipes of four terminals' logs by one statement each.
// Run: build/bench/store/upgrade_bench (one timed open per engine; the filling is not timed).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "bench/bench_server.h"
#include "host/db/database.h"
#include "host/db/schema.h"

namespace {

using vanto::store::Engine;

constexpr int kSwipes = 1000000;
constexpr int kFrom = 17;

// The schema of step kFrom and the swipes, as statements of `engine`.
std::string OldDatabaseSql(Engine engine) {
  std::string sql = vanto::store::SchemaVersionTableSql(engine) + std::string(";");
  for (const vanto::store::SchemaStep& step : vanto::store::SchemaSteps()) {
    if (step.version > kFrom) break;
    sql += vanto::store::SchemaStepSql(step, engine);
    sql += "INSERT INTO schema_version VALUES (" + std::to_string(step.version) + ", 'step', 'then');";
  }
  const std::string n = std::to_string(kSwipes / 4);
  for (int terminal = 1; terminal <= 4; ++terminal) {
    const std::string t = std::to_string(terminal);
    const std::string series = engine == Engine::Postgres
                                   ? "generate_series(0, " + n + " - 1) AS s(i)"
                                   : "(WITH RECURSIVE s(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM s WHERE i < " + n +
                                         " - 1) SELECT i FROM s) s";
    sql += "INSERT INTO swipes (port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, "
           "generation, record_index) SELECT 1, " + t + ", i % 500, '2026-12-08 08:00', 1, '2026-12-08 08:00:00', "
           "'2026-12-08T09:00:00Z', 4000000000 + " + t + ", 1, i FROM " + series + ";";
  }
  return sql;
}

void Report(benchmark::State& state, const std::string& location) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto db = vanto::db::Database::Open(location);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    state.counters["open_s"] = seconds;
    state.counters["schema"] = db->schema_version();
  }
}

void BM_SqliteOpenAfterStep17(benchmark::State& state) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("vanto-upgrade-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string location = (folder / "site.sqlite").string();
  sqlite3* db = nullptr;
  sqlite3_open(location.c_str(), &db);
  char* error = nullptr;
  if (sqlite3_exec(db, ("BEGIN;" + OldDatabaseSql(Engine::Sqlite) + "COMMIT;").c_str(), nullptr, nullptr, &error) !=
      SQLITE_OK) {
    state.SkipWithError(error ? error : "filling the database failed");
    sqlite3_free(error);
    sqlite3_close(db);
    std::filesystem::remove_all(folder);
    return;
  }
  sqlite3_close(db);
  Report(state, location);
  std::filesystem::remove_all(folder);
}

void BM_PostgresOpenAfterStep17(benchmark::State& state) {
  const auto server = vanto::bench::ServerUrl();
  if (!server) {
    state.SkipWithError("no PostgreSQL server: set VANTO_BENCH_PG_URL");
    return;
  }
  const std::string name = "vanto_upgrade_bench_" + std::to_string(getpid());
  if (!vanto::bench::Admin(*server, "CREATE DATABASE " + name)) {
    state.SkipWithError("cannot create the benchmark's database");
    return;
  }
  const std::string location = vanto::bench::WithDatabase(*server, name);
  PGconn* conn = PQconnectdb(location.c_str());
  PGresult* r = PQexec(conn, ("BEGIN;" + OldDatabaseSql(Engine::Postgres) + "COMMIT;").c_str());
  const bool filled = PQresultStatus(r) == PGRES_COMMAND_OK;
  if (!filled) state.SkipWithError(PQerrorMessage(conn));
  PQclear(r);
  PQfinish(conn);
  if (filled) Report(state, location);
  vanto::bench::Admin(*server, "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
}

BENCHMARK(BM_SqliteOpenAfterStep17)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostgresOpenAfterStep17)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
