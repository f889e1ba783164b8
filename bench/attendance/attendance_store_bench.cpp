// A month read and judged end to end (host::JudgeMonth: people, swipes, shifts, patterns,
// assignments, days off, leave, corrections and the terminals' last complete syncs read from the
// store, then the rules), on SQLite and on PostgreSQL. The store holds the month of
// bench/attendance/march_month.h (1,000 people, 1,000,000 swipes in March 2026, Europe/Berlin),
// stored once per engine through the host's own operations, with three months of sync runs every
// two hours so no day of March waits (on PostgreSQL vacuumed afterwards, as autovacuum leaves a
// table of past months). Goal: the whole site's month in at most 1 s; one person's
// month (the console's person page) in a small part of that. Medians of repeated runs.
// PostgreSQL: the server in VANTO_BENCH_PG_URL (else VANTO_TEST_PG_URL), e.g. the socket of a
// cluster from scripts/pg-cluster.sh (eval "$(bash scripts/pg-cluster.sh start)"); a database of
// its own is created and dropped. Without a server the PostgreSQL benchmarks say so and are
// skipped.
// Measured on a 2-core machine under a load of 5 to 7 (medians of 7; wall, this process's CPU):
// the site's month, SQLite 1732 ms / 1151 ms CPU when the swipes were read beside the index by
// time, 790 ms / 526 ms read from the index by site and time; PostgreSQL 1943 / 563 ms before,
// 1654 / 315 ms after (its server's share is not this process's CPU). One person's month:
// 2 to 4 ms on either engine. The read alone is most of the rest: the rules take about 120 ms.
// Run: build/bench/attendance/attendance_store_bench (the stores are filled first: a minute or
// two, printed on stderr).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/attendance/march_month.h"
#include "bench/bench_server.h"
#include "host/attendance_host.h"
#include "host/db/attendance_rows.h"
#include "host/db/database.h"
#include "host/db/swipe_store.h"
#include "host/db/sync_runs.h"
#include "host/site/site.h"
#include "host/site_choice.h"

namespace {

using namespace vanto;
namespace fs = std::filesystem;

constexpr const char* kSiteFile =
    "site = \"main\"\n"
    "timezone = \"Europe/Berlin\"\n"
    "day_starts = \"04:00\"\n"
    "late_after = \"09:00\"\n"
    "[[port]]\nnumber = 1\ndevice = \"/dev/ttyS0\"\nterminals = [1, 2]\nin = [1]\nout = [2]\n"
    "[[port]]\nnumber = 2\ndevice = \"/dev/ttyS1\"\nterminals = [1, 2]\n";
constexpr std::int32_t kPersonShown = 50;  // an office worker with leave and a correction

std::chrono::system_clock::time_point Utc(int month, int day, int hour) {
  return std::chrono::sys_days(std::chrono::year{2026} / month / day) + std::chrono::hours(hour);
}

std::string UtcText(std::chrono::system_clock::time_point t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// The month stored at `location`, through the host's operations; throws when any part of it is
// not stored whole.
class StoredMonth {
 public:
  explicit StoredMonth(const std::string& location) {
    const auto started = std::chrono::steady_clock::now();
    const attendance::MonthInput& in = bench::MarchMonth();
    db_ = db::Database::Open(location);
    file_ = site::ParseSite(kSiteFile, "bench.toml");
    choice_ = host::ChooseSite(*db_, std::string("main"), /*adopt=*/true, "bench");
    const host::AttendanceSite at = Site();

    std::vector<store::PersonName> people;
    for (const attendance::PersonInput& p : in.people)
      people.push_back({p.person, "Person " + std::to_string(p.person), p.department, "main"});
    db_->Swipes()->PutPeople(people);
    StoreSwipes(in);

    for (const attendance::Shift& s : in.shifts) host::AddShift(at, s);
    for (const attendance::Pattern& p : in.patterns) host::AddPattern(at, p);
    for (const attendance::Assignment& a : in.assignments) host::Assign(at, a);
    for (const attendance::DayOff& d : in.days_off) host::SetDayOff(at, d);
    host::AddLeave(at, in.leave);
    for (const attendance::Correction& c : in.corrections) host::AddCorrection(at, c);
    StoreSyncRuns();
    std::fprintf(stderr, "%s: the month stored in %.1f s\n", db_->location().c_str(),
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }

  db::Database& db() const { return *db_; }
  const host::SiteChoice& choice() const { return choice_; }

  host::AttendanceSite Site() const {
    return host::AttendanceSite{*db_, choice_, &file_, {"bench", "bench"}, Utc(4, 6, 12)};
  }

 private:
  // The swipes as the terminals delivered them (each person's k-th swipe in a minute numbered k).
  void StoreSwipes(const attendance::MonthInput& in) {
    auto swipes = db_->Swipes();
    std::vector<store::StoredSwipe> batch;
    std::size_t stored = 0;
    store::StoredSwipe previous;
    for (const attendance::Swipe& s : in.swipes) {
      store::StoredSwipe row{s.port, s.terminal, s.person, s.time.substr(0, 16), 1, s.time, "2026-04-05T06:00:00Z"};
      row.site = "main";
      if (row.port == previous.port && row.terminal == previous.terminal && row.person == previous.person &&
          row.minute == previous.minute)
        row.occurrence = previous.occurrence + 1;
      previous = row;
      batch.push_back(std::move(row));
      if (batch.size() == 10000 || &s == &in.swipes.back()) {
        for (bool added : swipes->Insert(batch)) stored += added ? 1 : 0;
        batch.clear();
      }
    }
    if (stored != in.swipes.size())
      throw std::runtime_error("stored " + std::to_string(stored) + " of " + std::to_string(in.swipes.size()) +
                               " swipes: two share a key");
  }

  // A run every two hours from January to 6 April 06:00 UTC, each terminal synced; once a day
  // port 2 fails before any terminal answers (terminal 0), and in the last run terminal 2:2 fails,
  // so its last complete sync is an older run.
  void StoreSyncRuns() {
    auto runs = db_->SyncRuns();
    const auto last = Utc(4, 6, 6);
    for (auto t = Utc(1, 1, 0); t <= last; t += std::chrono::hours(2)) {
      const std::string begun = UtcText(t), ended = UtcText(t + std::chrono::minutes(3));
      const std::int64_t run = runs->Begin(begun, store::RunStarter::Timer, "", "", "main");
      std::vector<store::RunTerminal> rows;
      const bool port_fails = (t - Utc(1, 1, 0)) % std::chrono::hours(24) == std::chrono::hours(0);
      for (int port : {1, 2})
        for (int terminal : {1, 2}) {
          store::RunTerminal row;
          row.port = port, row.terminal = terminal, row.outcome = "synced", row.delivered = row.added = 40;
          if (port == 2 && t == last && terminal == 2) row.outcome = "failed", row.cause_code = "line", row.added = 0;
          if (port == 2 && port_fails) {
            if (terminal == 2) continue;
            row.terminal = 0, row.outcome = "failed", row.cause_code = "missing", row.added = 0;
          }
          rows.push_back(row);
        }
      runs->Finish(run, ended, rows);
    }
  }

  std::shared_ptr<db::Database> db_;
  site::Site file_;
  host::SiteChoice choice_;
};

// The month stored on one engine, filled on first use, or why there is none.
class Engine {
 public:
  StoredMonth* month() { return month_.get(); }
  const std::string& why_not() const { return why_not_; }

 protected:
  void Fill(const std::string& location) {
    try {
      month_ = std::make_unique<StoredMonth>(location);
    } catch (const std::exception& e) {
      why_not_ = std::string("storing the month failed: ") + e.what();
    }
  }
  std::unique_ptr<StoredMonth> month_;
  std::string why_not_;
};

class SqliteEngine final : public Engine {
 public:
  static SqliteEngine& Get() {
    static SqliteEngine instance;
    return instance;
  }
  ~SqliteEngine() {
    month_.reset();
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

 private:
  SqliteEngine() {
    char pattern[] = "/tmp/vanto-attendance-bench-XXXXXX";
    folder_ = mkdtemp(pattern);
    Fill((folder_ / "bench.db").string());
  }
  fs::path folder_;
};

class PostgresEngine final : public Engine {
 public:
  static PostgresEngine& Get() {
    static PostgresEngine instance;
    return instance;
  }
  ~PostgresEngine() { month_.reset(); }  // before its database is dropped

 private:
  PostgresEngine() {
    const std::optional<std::string> server = bench::ServerUrl();
    if (!server) {
      why_not_ = "no PostgreSQL server: set VANTO_BENCH_PG_URL (eval \"$(bash scripts/pg-cluster.sh start)\" gives one)";
      return;
    }
    database_.emplace(*server);
    if (!database_->ok()) {
      why_not_ = "cannot create a database on the server in VANTO_BENCH_PG_URL (or VANTO_TEST_PG_URL)";
      return;
    }
    Fill(database_->url());
    // As the server's autovacuum leaves a table whose month is over: its pages all visible, so
    // the month's swipes are read from the index alone.
    if (month_ && !bench::Admin(database_->url(), "VACUUM (ANALYZE) swipes"))
      std::fprintf(stderr, "VACUUM of the swipes failed: the reads may visit the table's rows\n");
  }
  std::optional<bench::BenchDatabase> database_;
};

void Judge(benchmark::State& state, Engine& engine, std::optional<std::int32_t> person) {
  if (!engine.month()) return state.SkipWithError(engine.why_not().c_str());
  const host::AttendanceSite at = engine.month()->Site();
  host::MonthAttendance judged;
  for (auto _ : state) {
    judged = host::JudgeMonth(at, "2026-03", person);
    benchmark::DoNotOptimize(judged.days.data());
  }
  // How the days came out: a realistic month, and none of them waiting for a sync.
  state.counters["person_days"] = static_cast<double>(judged.days.size());
  state.counters["pending"] = 0;
  for (const attendance::DayResult& day : judged.days) state.counters[attendance::StatusWord(day.status)] += 1;
  if (judged.days.empty()) state.SkipWithError("no day judged: the month was not stored");
}

// The read alone: the site's swipes of the month as GatherInput reads them (the days around it
// too), to tell the read's share from the rules'.
void ReadSwipes(benchmark::State& state, Engine& engine) {
  if (!engine.month()) return state.SkipWithError(engine.why_not().c_str());
  const StoredMonth& month = *engine.month();
  std::vector<attendance::Swipe> swipes;
  for (auto _ : state) {
    swipes.clear();
    store::SwipeQuery query;
    query.from = "2026-02-28";
    query.to = "2026-04-02";
    query.site = month.choice().filter;
    month.db().Swipes()->EachBrief(query, [&](const store::BriefSwipe& s) {
      swipes.push_back({s.person, s.time, s.port, s.terminal});
      return true;
    });
    benchmark::DoNotOptimize(swipes.data());
  }
  state.counters["swipes"] = static_cast<double>(swipes.size());
}

void BM_SqliteSiteMonth(benchmark::State& state) { Judge(state, SqliteEngine::Get(), std::nullopt); }
void BM_PostgresSiteMonth(benchmark::State& state) { Judge(state, PostgresEngine::Get(), std::nullopt); }
void BM_SqlitePersonMonth(benchmark::State& state) { Judge(state, SqliteEngine::Get(), kPersonShown); }
void BM_PostgresPersonMonth(benchmark::State& state) { Judge(state, PostgresEngine::Get(), kPersonShown); }

void BM_SqliteMonthSwipes(benchmark::State& state) { ReadSwipes(state, SqliteEngine::Get()); }
void BM_PostgresMonthSwipes(benchmark::State& state) { ReadSwipes(state, PostgresEngine::Get()); }

BENCHMARK(BM_SqliteSiteMonth)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_PostgresSiteMonth)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_SqlitePersonMonth)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_PostgresPersonMonth)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_SqliteMonthSwipes)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_PostgresMonthSwipes)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7)->ReportAggregatesOnly(true);

}  // namespace
