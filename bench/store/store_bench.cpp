// Swipes stored per second through the store seam (keying and storing, batches of 500, one
// transaction each), into SQLite and into PostgreSQL, for a terminal without identity and for a
// version 2 terminal's log (new, and read again: every record compared with the one held); and four writers storing overlapping
// deliveries into one PostgreSQL database at once, checked for lost or doubled rows.
// PostgreSQL: the server in VANTO_BENCH_PG_URL (else VANTO_TEST_PG_URL), e.g. the socket of a
// cluster from scripts/pg-cluster.sh; a database of its own is created and dropped.
// Start the server with its default durability for numbers that mean something
// (PG_CLUSTER_FSYNC=on scripts/pg-cluster.sh start: the test cluster runs with fsync off).
// Run: build/bench/store/store_bench (medians of 5 repetitions, by the wall clock: a store
// waits on its database, so the time another process spends counts).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_server.h"
#include "host/db/record_store.h"
#include "host/db/openers.h"

namespace {

using vanto::store::Delivery;
using vanto::store::OpenSwipeStore;
using vanto::store::Swipe;

constexpr int kBatch = 500;

using vanto::bench::Admin;
using vanto::bench::ServerUrl;
using vanto::bench::WithDatabase;

using vanto::bench::BenchDatabase;

// The swipes of batch `n`: 500 different keys (distinct minutes), five persons a minute.
std::vector<Swipe> BatchOf(long n) {
  std::vector<Swipe> swipes(kBatch);
  for (int i = 0; i < kBatch; ++i)
    swipes[i] = {static_cast<std::int32_t>(i % 5), 40000.0 + (static_cast<double>(n) * kBatch + i) / 5 / 1440.0};
  return swipes;
}

void StoreBatches(benchmark::State& state, const std::string& location) {
  auto store = OpenSwipeStore(location);
  Delivery delivery(*store, 1, 1);
  long n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<Swipe> batch = BatchOf(n++);
    state.ResumeTiming();
    delivery.Store(batch);
  }
  if (delivery.added() != static_cast<std::size_t>(n) * kBatch) state.SkipWithError("a batch was not stored whole");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kBatch);
}

// A version 2 terminal's log: each batch new (`reread` false), or the same log read again after
// it was stored whole (`reread` true: every record is compared with the one held under its key).
void StoreLog(benchmark::State& state, const std::string& location, bool reread) {
  auto store = OpenSwipeStore(location);
  const vanto::store::LogKey log{4000000001u, 7};
  long n = 0;
  if (reread) {
    Delivery first(*store, 1, 1);
    first.Position(log, 0);
    for (long b = 0; b < 20; ++b) first.Store(BatchOf(b));
  }
  Delivery delivery(*store, 1, 1);
  delivery.Position(log, 0);
  for (auto _ : state) {
    state.PauseTiming();
    if (reread && n % 20 == 0) delivery.Position(log, 0);
    std::vector<Swipe> batch = BatchOf(reread ? n % 20 : n);
    ++n;
    state.ResumeTiming();
    delivery.Store(batch);
  }
  const std::size_t expected = reread ? 0 : static_cast<std::size_t>(n) * kBatch;
  if (delivery.added() != expected) state.SkipWithError("a batch was not stored whole, or stored twice");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kBatch);
}

void BM_SqliteLogSwipesPerSecond(benchmark::State& state) {
  char pattern[] = "/tmp/vanto-bench-XXXXXX";
  std::filesystem::path folder = mkdtemp(pattern);
  StoreLog(state, (folder / "bench.db").string(), state.range(0) != 0);
  std::filesystem::remove_all(folder);
}

void BM_PostgresLogSwipesPerSecond(benchmark::State& state) {
  std::optional<std::string> server = ServerUrl();
  if (!server) {
    state.SkipWithError("no PostgreSQL server: set VANTO_BENCH_PG_URL");
    for (auto _ : state) {
    }
    return;
  }
  BenchDatabase database(*server);
  if (!database.ok()) {
    state.SkipWithError("cannot create a database on the server in VANTO_BENCH_PG_URL");
    for (auto _ : state) {
    }
    return;
  }
  StoreLog(state, database.url(), state.range(0) != 0);
}

void BM_SqliteSwipesPerSecond(benchmark::State& state) {
  char pattern[] = "/tmp/vanto-bench-XXXXXX";
  std::filesystem::path folder = mkdtemp(pattern);
  StoreBatches(state, (folder / "bench.db").string());
  std::filesystem::remove_all(folder);
}

void BM_PostgresSwipesPerSecond(benchmark::State& state) {
  std::optional<std::string> server = ServerUrl();
  if (!server) {
    state.SkipWithError("no PostgreSQL server: set VANTO_BENCH_PG_URL (eval \"$(scripts/pg-cluster.sh start)\" gives one)");
    for (auto _ : state) {
    }
    return;
  }
  BenchDatabase database(*server);
  if (!database.ok()) {
    state.SkipWithError("cannot create a database on the server in VANTO_BENCH_PG_URL");
    for (auto _ : state) {
    }
    return;
  }
  StoreBatches(state, database.url());
}

// Four writers, each with its own connection, store the same delivery of 5,000 swipes (ten
// batches of 500, cut at different places) into one database at once. Every swipe must be
// stored exactly once: the sum of what the writers added equals the count in the table.
void BM_PostgresFourWritersOverlapping(benchmark::State& state) {
  std::optional<std::string> server = ServerUrl();
  if (!server) {
    state.SkipWithError("no PostgreSQL server: set VANTO_BENCH_PG_URL");
    for (auto _ : state) {
    }
    return;
  }
  BenchDatabase database(*server);
  std::vector<Swipe> shared;
  for (long n = 0; n < 10; ++n) {
    auto b = BatchOf(n);
    shared.insert(shared.end(), b.begin(), b.end());
  }
  std::vector<std::unique_ptr<vanto::store::SwipeStore>> stores;
  for (int w = 0; w < 4; ++w) stores.push_back(OpenSwipeStore(database.url()));
  int terminal = 0;
  bool sound = true;
  for (auto _ : state) {
    ++terminal;
    std::atomic<std::size_t> added{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
      writers.emplace_back([&, w] {
        try {
          Delivery delivery(*stores[w], 9, terminal);
          std::size_t step = kBatch - 37 * static_cast<std::size_t>(w);
          for (std::size_t at = 0; at < shared.size(); at += step)
            delivery.Store(std::span(shared).subspan(at, std::min(step, shared.size() - at)));
          added += delivery.added();
        } catch (const std::exception&) {
          failed = true;
        }
      });
    for (auto& t : writers) t.join();
    state.PauseTiming();
    if (failed || added != shared.size() || stores[0]->CountSwipes(9, terminal) != static_cast<std::int64_t>(shared.size()))
      sound = false;
    state.ResumeTiming();
  }
  if (!sound) state.SkipWithError("a swipe was lost or stored twice");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(shared.size()));
  state.counters["offered_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()) * 4 * shared.size(),
                                                       benchmark::Counter::kIsRate);
}

BENCHMARK(BM_SqliteSwipesPerSecond)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_PostgresSwipesPerSecond)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime()->MinTime(1.0);
// Arg 0: a new log stored batch by batch; arg 1: a stored log read again (all held).
BENCHMARK(BM_SqliteLogSwipesPerSecond)->Arg(0)->Arg(1)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_PostgresLogSwipesPerSecond)->Arg(0)->Arg(1)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_PostgresFourWritersOverlapping)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime()->MinTime(1.0);

}  // namespace
