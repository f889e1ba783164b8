// One terminal's sync at 115200 baud over the simulator (paced at the line speed, 1 ms
// turnaround), through the host, the driver, the control and a pseudo-terminal:
//  - BM_SyncHundredNew/N: the terminal holds N records, all stored already, plus 100 new; the
//    sync reads and stores those 100. Goal: at most 0.3 s, flat in N (within 20 %).
//  - BM_FullRead: every one of 10,000 records read and stored. Goal: at least 1,700 records/s.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "cli/command_support.h"
#include "cli/site_use.h"
#include "terminal/sim/front_end.h"
#include "host/machine.h"
#include "host/db/record_store.h"
#include "host/terminal_control.h"
#include "host/terminal_sync.h"
#include "terminal/sim/simulator.h"
#include "host/db/openers.h"

namespace {

using namespace vanto;
using terminal::sim::CardRecordFields;

CardRecordFields RecordAt(std::int64_t i) {
  return {static_cast<std::int32_t>(1000 + i % 800), 2020 + static_cast<int>(i / 500000), 1 + static_cast<int>(i / 40000 % 12),
          1 + static_cast<int>(i / 1440 % 28), static_cast<int>(i / 60 % 24), static_cast<int>(i % 60)};
}

DATE DateOf(const CardRecordFields& r) {
  using namespace std::chrono;
  const auto day = sys_days(year(r.year) / month(static_cast<unsigned>(r.month)) / static_cast<unsigned>(r.day));
  const auto epoch = sys_days(year(1899) / December / 30);
  return static_cast<double>((day - epoch).count()) + (r.hour * 60 + r.minute) / 1440.0;
}

// A folder with the registry and database, a simulated terminal (1, 1) and the host's objects.
class Site {
 public:
  explicit Site(std::int64_t records) {
    char pattern[] = "/tmp/vanto-bench-XXXXXX";
    folder_ = ::mkdtemp(pattern);
    ::setenv("VANTO_REGISTRY", (folder_ / "registry").c_str(), 1);
    db_ = (folder_ / "vanto.db").string();
    auto& t = site_.AddTerminal(1, 1);
    t.records.reserve(static_cast<std::size_t>(records) + 10000);
    for (std::int64_t i = 0; i < records; ++i) t.records.push_back(RecordAt(i));
    site_.Options().linkDir = (folder_ / "ports").string();
    for (const auto& [name, value] : terminal::sim::PortSettings(site_.Start()))
      if (name.rfind("VANTO_FK_PORT_", 0) == 0 || !std::getenv(name.c_str())) ::setenv(name.c_str(), value.c_str(), 1);
    host::PreferLargeRecordBatches(cli::ProcessEnvironment());  // as every vanto command does
    // The control reads its port settings when it is created.
    machine_.emplace(cli::Machine::Create());
    control_.emplace(cli::HostControl::Create());
  }
  ~Site() {
    site_.Stop();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  // Stores the first `count` records as a sync would have.
  void StoreFirst(std::int64_t count) {
    auto store = store::OpenRecordStore(db_);
    const auto t = *site_.Terminal(1, 1);
    store::Delivery delivery(store, 1, 1);
    delivery.Position(store::LogKey{t.identity, t.generation}, 0);
    std::vector<store::Swipe> swipes;
    for (std::int64_t i = 0; i < count; ++i) swipes.push_back({t.records[static_cast<std::size_t>(i)].person, DateOf(t.records[static_cast<std::size_t>(i)])});
    delivery.Store(swipes);
  }
  void Add(std::int64_t count) {
    site_.EditTerminal(1, 1, [&](auto& t) {
      const auto at = static_cast<std::int64_t>(t.records.size());
      for (std::int64_t i = at; i < at + count; ++i) t.records.push_back(RecordAt(i));
    });
  }
  void RemoveDatabase() {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db_ + suffix);
  }
  // On a thread of its own, as `vanto download` in a process of its own: the driver's link
  // (one per thread) then opens this site's ports.
  cli::SyncResult Sync(bool all) {
    cli::SyncResult result;
    std::thread run([&] {
      auto store = store::OpenRecordStore(db_);
      cli::TerminalSyncOptions options;
      options.all = all;
      result = cli::SyncTerminal(store, *machine_, *control_, 1, 1, options);
    });
    run.join();
    return result;
  }

 private:
  std::filesystem::path folder_;
  std::string db_;
  terminal::sim::SimulatorSite site_;
  std::optional<cli::Machine> machine_;
  std::optional<cli::HostControl> control_;
};

void BM_SyncHundredNew(benchmark::State& state) {
  const std::int64_t held = state.range(0);
  Site site(held);
  site.StoreFirst(held);
  for (auto _ : state) {
    state.PauseTiming();
    site.Add(100);
    state.ResumeTiming();
    const cli::SyncResult result = site.Sync(false);
    if (result.added != 100 || !result.outcome.ok || result.start == 0) {
      std::fprintf(stderr, "added %zu, start %u, %s %s\n", result.added, result.start, result.outcome.message.c_str(),
                   (result.terminal_error ? result.terminal_error->English() : result.store_error.value_or("")).c_str());
      state.SkipWithError("the sync did not store exactly the 100 new records");
      break;
    }
  }
}
BENCHMARK(BM_SyncHundredNew)
    ->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(5)->UseRealTime()
    ->ReportAggregatesOnly(true);

// Storing alone: 10,000 swipes of one log in batches of 500, as a full read stores them.
void BM_StoreBatches(benchmark::State& state) {
  char pattern[] = "/tmp/vanto-bench-store-XXXXXX";
  const std::filesystem::path folder = ::mkdtemp(pattern);
  const std::string db = (folder / "vanto.db").string();
  std::vector<store::Swipe> swipes;
  for (std::int64_t i = 0; i < 10000; ++i) swipes.push_back({RecordAt(i).person, DateOf(RecordAt(i))});
  for (auto _ : state) {
    state.PauseTiming();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db + suffix);
    auto store = store::OpenRecordStore(db);
    store::Delivery delivery(store, 1, 1);
    delivery.Position(store::LogKey{7, 1}, 0);
    state.ResumeTiming();
    for (std::size_t at = 0; at < swipes.size(); at += 500)
      delivery.Store(std::span(swipes).subspan(at, std::min<std::size_t>(500, swipes.size() - at)));
  }
  state.SetItemsProcessed(state.iterations() * 10000);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}
BENCHMARK(BM_StoreBatches)->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(3)->UseRealTime()->ReportAggregatesOnly(true);

void BM_FullRead(benchmark::State& state) {
  constexpr std::int64_t kHeld = 10000;
  Site site(kHeld);
  for (auto _ : state) {
    state.PauseTiming();
    site.RemoveDatabase();
    state.ResumeTiming();
    const cli::SyncResult result = site.Sync(true);
    if (static_cast<std::int64_t>(result.added) != kHeld || !result.outcome.ok) {
      state.SkipWithError("the full read did not store every record");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kHeld);
}
BENCHMARK(BM_FullRead)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime()->ReportAggregatesOnly(true);

}  // namespace
