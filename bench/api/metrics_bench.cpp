// What GET /metrics costs and what a request pays for being counted: RequestCounters::Count per
// request from 1 and 4 threads at once (nanoseconds each), and the site's figures read from an
// SQLite database of 1,000,000 swipes of four terminals (two with identity, two without) with
// 10,000 recorded syncs of them.
// Run: build/bench/api/metrics_bench (medians of 5 repetitions).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "host/db/database.h"
#include "host/metrics.h"
#include "web/metrics.h"

namespace {

vanto::web::RequestCounters counters;

void CountRequest(benchmark::State& state) {
  const auto took = std::chrono::microseconds(800);
  for (auto _ : state) counters.Count(vanto::web::RouteGroup::Page, 200, took);
}
BENCHMARK(CountRequest)->Threads(1)->Threads(4)->Repetitions(5)->ReportAggregatesOnly(true);

constexpr int kSwipes = 1000000;
constexpr int kRuns = 10000;

// A folder of its own, removed when the program ends.
struct Folder {
  std::filesystem::path path;
  Folder() {
    char pattern[] = "/tmp/vanto-metrics-bench-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~Folder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

std::string FilledDatabase() {
  static Folder folder;
  static std::string location;
  if (!location.empty()) return location;
  location = (folder.path / "site.db").string();
  auto db = vanto::db::Database::Open(location);
  {
    auto store = db->Swipes();
    std::vector<vanto::store::StoredSwipe> rows;
    for (int i = 0; i < kSwipes; ++i) {
      vanto::store::StoredSwipe s;
      s.port = 1;
      s.terminal = 1 + i % 4;
      s.person = i % 500;
      const int minute = i / 4;
      char text[32];
      std::snprintf(text, sizeof text, "2026-%02d-%02d %02d:%02d", 1 + minute / 40000 % 12, 1 + minute / 1440 % 28,
                    minute / 60 % 24, minute % 60);
      s.minute = text;
      s.time = s.minute + ":00";
      s.occurrence = 1;
      s.downloaded_at = "2026-12-08T09:00:00Z";
      if (s.terminal <= 2) {
        s.identity = 7000 + static_cast<std::uint32_t>(s.terminal);
        s.generation = 1;
        s.index = static_cast<std::uint32_t>(i / 4);
      }
      rows.push_back(s);
      if (rows.size() == 5000) {
        store->Insert(rows);
        rows.clear();
      }
    }
  }
  auto runs = db->SyncRuns();
  for (int r = 0; r < kRuns; ++r) {
    const std::int64_t id = runs->Begin("2026-12-01T00:00:00Z", vanto::store::RunStarter::Timer, "", "", "");
    std::vector<vanto::store::RunTerminal> terminals;
    for (int t = 1; t <= 4; ++t) {
      vanto::store::RunTerminal row;
      row.port = 1;
      row.terminal = t;
      row.outcome = t == 4 && r > 100 ? "failed" : "synced";  // terminal 4 stale for most runs
      terminals.push_back(row);
    }
    runs->Finish(id, "2026-12-01T00:00:05Z", terminals);
  }
  return location;
}

void ReadFigures(benchmark::State& state) {
  const auto db = vanto::db::Database::Open(FilledDatabase());
  vanto::host::FigureScope scope;
  scope.terminals = {{1, {1, 2, 3, 4}}};
  for (auto _ : state) {
    vanto::host::SiteFigures f = vanto::host::ReadSiteFigures(*db, scope, std::chrono::system_clock::now());
    benchmark::DoNotOptimize(f);
  }
}
BENCHMARK(ReadFigures)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
